#pragma once

#include <QString>
#include <atomic>
#include <functional>
#include <set>
#include <string>

#include "model/ListFile.h"
#include "storage/SaveWriter.h"

class AudioPlayerDelegate;

// Keeps the cue list in the list file between runs and ties the storage folder's life to it.
// The window's controller owns one and calls it from the GUI thread; the file itself is written
// on a writer thread, one text at a time, always from a snapshot serialised on the GUI thread.
class ListStore {
public:
    enum class SaveCause {
        Change,
        // The user's own remove of the last cue, or the reset command. Only then may an empty
        // list take the stored audio with it after a load that could not read everything.
        UserEmptiedList,
    };

    ListStore();
    ~ListStore();
    ListStore(const ListStore&) = delete;
    ListStore& operator=(const ListStore&) = delete;

    // Appends a cue for every element whose stored file opens; the delegate hears their ends.
    void load(CueList& cxList, AudioPlayerDelegate* delegate);

    // Writes the list file when its content changes; returns once the file is written. False
    // when the list was refused and the file left as it was: an empty list whose stored audio
    // could not be deleted (refusal() says why). A failed write is no refusal: it stands as a
    // warning in the message log until a later save succeeds.
    bool save(const CueList& cxList, SaveCause cause = SaveCause::Change);
    // Same, but returns as soon as the list is serialised and leaves the write to the writer.
    bool saveInBackground(const CueList& cxList, SaveCause cause = SaveCause::Change);
    // Why the last refused save was refused, in plain words.
    const QString& refusal() const { return lastRefusal_; }
    // Stored files of cues outside the list that may still come back (the undo history's): the
    // cleanup of the audio folder keeps them as it keeps those of the list.
    void setHeldFiles(std::function<std::set<std::string>()> held) { heldFiles_ = std::move(held); }
    // The stored file names the list's cues and the held ones play.
    std::set<std::string> filesInUse(const CueList& cxList) const;
    // Blocks until every save handed over has reached the disk (tests, exit).
    void waitForIdle();

    // The last load could not read everything, and the file it read has not been backed up yet.
    bool backupPending() const { return backupPending_; }
    // The last load could not read everything and found no cue, so an empty list may be a
    // failure rather than the user's wish.
    bool storageFolderProtected() const { return protectStorage_; }
    // How many times the list file was actually replaced.
    uint64_t filesWritten() const { return filesWritten_; }

private:
    bool snapshot(const CueList& cxList, SaveCause cause, std::string& text);
    void writeText(const std::string& text);
    bool backUpListFile(const std::string& listPath, QString* why);
    // Writer thread: keep the "not being saved" warning standing, or take it down.
    void saveFailed(const QString& why);
    void saveSucceeded();

    std::atomic<bool> backupPending_{false};
    bool protectStorage_ = false;
    std::atomic<uint64_t> filesWritten_{0};
    std::atomic<bool> savesFailing_{false};
    QString lastRefusal_;
    std::function<std::set<std::string>()> heldFiles_;
    // Last: its destructor waits for writes that use the members above.
    SaveWriter writer_;
};
