#include "storage/AudioTrash.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <filesystem>
#include <system_error>
#include <vector>

#include "storage/StoragePaths.h"

namespace storage {

QStringList trashUnusedAudio(const std::function<bool(const std::string& name)>& keep) {
    QStringList failures;
    // The trash lives in the user's data folder, which a fresh account may not have yet; the
    // trash itself is made there on the first move.
    QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    std::vector<std::filesystem::path> listed;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(audioFolderPath(), ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with('.')) listed.push_back(entry.path());
    }
    for (const auto& path : listed) {
        if (keep(path.filename().string())) continue;
        const QString file = QFile::decodeName(path.c_str());
        if (!QFile::moveToTrash(file))
            failures << QStringLiteral("%1 could not be moved to the trash").arg(file);
    }
    return failures;
}

}  // namespace storage
