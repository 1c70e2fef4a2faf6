#pragma once

#include <string>

namespace storage {

// The user's Documents folder, looked up afresh on every call so that a changed HOME is seen.
std::string documentsFolder();
// Creates the Documents folder with its parents when missing; false if that fails.
bool ensureDocumentsFolder();

std::string listFilePath();     // Documents + "/cuevox.json"
std::string backupFilePath();   // the list file + ".bak"
std::string audioFolderPath();  // Documents + "/audio"
// Plain concatenation, as the list file's names are taken as they are.
std::string storedFilePath(const std::string& fileName);

}  // namespace storage
