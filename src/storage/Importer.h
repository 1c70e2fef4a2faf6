#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <string>

// Bringing audio files into the storage folder. Everything here is free of the window, so the
// copy can run on a worker thread while the GUI thread keeps painting.
namespace importer {

// The file name extensions the open panel offers, lower case, in the panel's order.
const QStringList& extensions();
// The open panel's name filter. Linux file dialogs match case-sensitively, so each extension
// appears in lower and in upper case.
QString nameFilter();

// The name a chosen file is stored under: its last path component without the characters that
// would make the name awkward to type or read back (tab, line feed, carriage return) and without
// spaces at its ends. Spaces inside stay, so "Intro 1.wav" and "Intro1.wav" stay two files.
// Whole user-perceived characters are compared, so a CR LF pair, or a space carrying a combining
// mark, is a character of its own and stays.
QString storedName(const QString& sourcePath);

// The stored name with a number before its extension, "Intro 1 (2).wav" for 2: the name an
// import takes beside a file that already has its name.
QString numberedName(const QString& storedName, int number);

// Whether the two paths name the same file on disk (also through links). False if either is
// missing.
bool sameFile(const std::string& a, const std::string& b);

// Copies `source` over `destination`. The destination is replaced only once the whole copy is
// on disk, so a failed copy leaves whatever was stored under that name before. `copied` counts
// the bytes written so far, for a progress display on another thread; `error` says why a copy
// failed.
bool copyFile(const std::string& source, const std::string& destination,
              std::atomic<int64_t>* copied = nullptr, std::string* error = nullptr);

// A free name in `folder` for the copy of an import that is checked before it takes the stored
// name `storedName`: hidden, short, and ending in the stored name's extension, which the decoder
// takes as a hint.
std::string stagingPath(const std::string& folder, const QString& storedName);

// Moves a checked copy over `destination` in one step: the stored file is either the old one or
// the new one, never missing or partly written. False (and nothing changed) when that fails.
bool replaceStoredFile(const std::string& staged, const std::string& destination);

// The size of a file, 0 when it cannot be read.
int64_t fileSize(const std::string& path);

}  // namespace importer
