#pragma once

#include <string>
#include <vector>

namespace storage {

// The user's Documents folder, looked up afresh on every call so that a changed HOME is seen.
std::string documentsFolder();
// A show is a folder holding its list file and its audio folder. The one in use is set once a
// show is opened; until then (and after an empty path is set) it is the Documents folder, the
// default show. Read from the writer thread too, so it is kept under a lock.
void setShowFolder(const std::string& folder);
std::string showFolder();
// Whether the show in use is the Documents folder.
bool isDefaultShow();
// Creates the show folder with its parents when missing; false if that fails.
bool ensureShowFolder();

constexpr const char* kListFileName = "cuevox.json";
std::string listFilePath();     // show folder + "/cuevox.json"
std::string audioFolderPath();  // show folder + "/audio"
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

// The show folder a path given by the operator names: the folder itself, or the one holding a
// list file named cuevox.json. A folder that does not exist yet, or is empty, is a new show.
// Empty, with `why` set, for anything else: a file of another name, or a folder holding other
// files but no show (a show's files never land among someone else's).
std::string showFolderFor(const std::string& path, std::string* why);
// Whether the folder holds anything but hidden files (a lock, a file manager's notes).
bool folderHoldsFiles(const std::string& folder);

}  // namespace storage
