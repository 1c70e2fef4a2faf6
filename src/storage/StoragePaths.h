#pragma once

#include <string>
#include <vector>

namespace storage {

// The user's Documents folder, looked up afresh on every call so that a changed HOME is seen.
std::string documentsFolder();
// Creates the Documents folder with its parents when missing; false if that fails.
bool ensureDocumentsFolder();

std::string listFilePath();     // Documents + "/cuevox.json"
std::string audioFolderPath();  // Documents + "/audio"
// Plain concatenation: only names that pass isStoredName may reach it.
std::string storedFilePath(const std::string& fileName);
// A name that stays inside the audio folder: one path component, neither "." nor "..".
bool isStoredName(const std::string& fileName);

// Backups of the list file sit beside it as "cuevox.json.<local time>.bak", so their names sort
// by age and tell the operator when each was made.
constexpr int kBackupsKept = 10;
// A free name for a backup made now.
std::string newBackupFilePath();
// The backups on disk, oldest first.
std::vector<std::string> backupFilePaths();
// The newest backup, empty when there is none.
std::string backupFilePath();

}  // namespace storage
