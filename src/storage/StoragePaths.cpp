#include "storage/StoragePaths.h"

#include <QDir>
#include <QStandardPaths>

namespace storage {

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

std::string backupFilePath() {
    return listFilePath() + ".bak";
}

std::string audioFolderPath() {
    return documentsFolder() + "/audio";
}

std::string storedFilePath(const std::string& fileName) {
    return documentsFolder() + "/audio/" + fileName;
}

}  // namespace storage
