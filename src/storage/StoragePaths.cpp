#include "storage/StoragePaths.h"

#include <QDateTime>
#include <QDir>
#include <QStandardPaths>
#include <algorithm>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace storage {

namespace {

namespace fs = std::filesystem;

const std::string kBackupSuffix = ".bak";

std::mutex showMutex;
std::string chosenShow;  // empty: the default show

std::string backupPrefix() {
    return std::filesystem::path(listFilePath()).filename().string() + ".";
}

}  // namespace

std::string documentsFolder() {
    QString docs = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    // A Linux account need not have one configured; fall back to the conventional place rather
    // than writing into the file system root.
    if (docs.isEmpty()) docs = QDir::homePath() + QStringLiteral("/Documents");
    return docs.toStdString();
}

void setShowFolder(const std::string& folder) {
    std::lock_guard lock(showMutex);
    chosenShow = folder;
}

std::string showFolder() {
    {
        std::lock_guard lock(showMutex);
        if (!chosenShow.empty()) return chosenShow;
    }
    return documentsFolder();
}

bool isDefaultShow() {
    const QString show = QDir::cleanPath(QString::fromStdString(showFolder()));
    return show == QDir::cleanPath(QString::fromStdString(documentsFolder()));
}

bool ensureShowFolder() {
    return QDir().mkpath(QString::fromStdString(showFolder()));
}

std::string listFilePath() {
    return showFolder() + "/" + kListFileName;
}

std::string audioFolderPath() {
    return showFolder() + "/audio";
}

std::string storedFilePath(const std::string& fileName) {
    return showFolder() + "/audio/" + fileName;
}

bool isStoredName(const std::string& fileName) {
    return !fileName.empty() && fileName != "." && fileName != ".." &&
           fileName.find('/') == std::string::npos && fileName.find('\0') == std::string::npos;
}

std::string newBackupFilePath() {
    // Milliseconds, so two backups of one second still get names of their own.
    const QString stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss.zzz"));
    const std::string base = listFilePath() + "." + stamp.toStdString();
    std::string path = base + kBackupSuffix;
    std::error_code ec;
    for (int n = 2; std::filesystem::exists(path, ec); ++n)
        path = base + "_" + std::to_string(n) + kBackupSuffix;
    return path;
}

std::vector<std::string> backupFilePaths() {
    std::vector<std::string> found;
    const std::string prefix = backupPrefix();
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(showFolder(), ec)) {
        const std::string name = entry.path().filename().string();
        // The plain ".bak" of earlier versions is the operator's to keep; it is not pruned.
        if (name.size() > prefix.size() + kBackupSuffix.size() && name.starts_with(prefix) &&
            name.ends_with(kBackupSuffix) && entry.is_regular_file(ec))
            found.push_back(entry.path().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::string backupFilePath() {
    const auto all = backupFilePaths();
    return all.empty() ? std::string() : all.back();
}

bool folderHoldsFiles(const std::string& folder) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (!entry.path().filename().string().starts_with('.')) return true;
    return false;
}

std::string showFolderFor(const std::string& path, std::string* why) {
    if (path.empty()) {
        *why = "no folder was given";
        return {};
    }
    std::error_code ec;
    fs::path given = fs::absolute(fs::path(path), ec).lexically_normal();
    if (!given.has_filename()) given = given.parent_path();  // a trailing slash
    const bool listFile = given.filename() == kListFileName;
    const fs::file_status status = fs::status(given, ec);
    if (fs::is_directory(status)) {
        // The default show may not have been saved yet among the operator's own documents.
        const bool show = given == fs::path(documentsFolder()).lexically_normal() ||
                          fs::exists(given / kListFileName, ec) ||
                          fs::is_directory(given / "audio", ec) || !folderHoldsFiles(given);
        if (!show) {
            *why = given.string() + " holds other files and no cue list: it is not a show folder";
            return {};
        }
        return given.string();
    }
    if (fs::exists(status) && !listFile) {
        *why = given.string() + " is neither a show folder nor a cuevox.json list file";
        return {};
    }
    if (!listFile) return given.string();  // a new show
    const fs::path folder = given.parent_path();
    if (fs::exists(folder, ec) && !fs::is_directory(folder, ec)) {
        *why = folder.string() + " is not a folder";
        return {};
    }
    return folder.string();
}

}  // namespace storage
