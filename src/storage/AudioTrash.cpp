#include "storage/AudioTrash.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <filesystem>
#include <system_error>
#include <vector>

#include "storage/StoragePaths.h"

namespace storage {

QStringList trashUnusedAudio(const std::function<bool(const std::string& name)>& keep) {
    QStringList failures;
    std::vector<std::filesystem::path> listed;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(audioFolderPath(), ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with('.')) listed.push_back(entry.path());
    }
    std::erase_if(listed, [&](const auto& path) { return keep(path.filename().string()); });
    if (listed.empty()) return failures;
    // The trash lives in the user's data folder, which a fresh account may not have yet. Where
    // it cannot be made, moveToTrash would put the files in folders named "files" and "info" in
    // the working directory: nothing moves then.
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    const QString trash = data + QStringLiteral("/Trash");
    if (!data.isEmpty() && QDir().mkpath(data))
        QDir(data).mkdir(QStringLiteral("Trash"),
                         QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (data.isEmpty() || !QFileInfo(trash).isDir())
        return {QStringLiteral("there is no trash folder at %1").arg(trash)};
    for (const auto& path : listed) {
        const QString file = QFile::decodeName(path.c_str());
        if (!QFile::moveToTrash(file))
            failures << QStringLiteral("%1 could not be moved to the trash").arg(file);
    }
    return failures;
}

}  // namespace storage
