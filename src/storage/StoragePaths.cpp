#include "storage/StoragePaths.h"

#include <QDateTime>
#include <QDir>
#include <QStandardPaths>
#include <algorithm>
#include <filesystem>
#include <system_error>

namespace storage {

namespace {

const std::string kBackupSuffix = ".bak";

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

bool ensureDocumentsFolder() {
    return QDir().mkpath(QString::fromStdString(documentsFolder()));
}

std::string listFilePath() {
    return documentsFolder() + "/cuevox.json";
}

std::string audioFolderPath() {
    return documentsFolder() + "/audio";
}

std::string storedFilePath(const std::string& fileName) {
    return documentsFolder() + "/audio/" + fileName;
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
    for (const auto& entry : std::filesystem::directory_iterator(documentsFolder(), ec)) {
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

}  // namespace storage
