#include "storage/ListStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QSaveFile>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "model/CXAudio.h"
#include "storage/StoragePaths.h"

namespace fs = std::filesystem;

namespace {

void say(const std::string& line) {
    std::cout << line << std::endl;
}

bool pathExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::path(path), ec);
}

// No content, unreadable or a folder: all read as empty text.
std::string readFile(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QByteArray bytes = file.readAll();
    return bytes.toStdString();
}

// Deletes the storage folder with everything in it. False when it is still there afterwards.
bool deleteStorageFolder() {
    const std::string folder = storage::audioFolderPath();
    std::error_code ec;
    const auto status = fs::symlink_status(folder, ec);
    if (ec || !fs::exists(status)) return true;
    fs::remove_all(folder, ec);
    return !ec;
}

// The rename is only durable once the folder entry itself is on disk.
void syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// Written whole or not at all: a temporary file beside the target, flushed to disk and renamed
// over it, so a crash or a full disk leaves the old content in place.
bool writeAtomically(const std::string& path, const std::string& text) {
    QSaveFile file(QString::fromStdString(path));
    // Unbuffered: a buffered QSaveFile loses a short write (full disk) in its final flush and
    // then commits the truncated text as if all were well.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return false;
    if (file.write(text.data(), qint64(text.size())) != qint64(text.size())) {
        file.cancelWriting();
        file.commit();
        return false;
    }
    if (!file.commit()) return false;
    syncFolder(fs::path(path).parent_path().string());
    return true;
}

}  // namespace

ListStore::ListStore() : writer_([this](const std::string& text) { writeText(text); }) {}

ListStore::~ListStore() {
    writer_.waitForIdle();
}

void ListStore::load(CueList& cxList, AudioPlayerDelegate* delegate) {
    backupPending_ = false;
    protectStorage_ = false;

    const std::string path = storage::listFilePath();
    if (!pathExists(path)) return;

    const auto value = listfile::parse(readFile(path));
    if (!value) {
        say("Failed to read JSON");
        backupPending_ = true;
        protectStorage_ = true;
        return;
    }
    if (value->empty()) {
        if (!deleteStorageFolder()) say("Failed to delete old song directory");
        return;
    }

    size_t loaded = 0;
    bool failed = false;
    const size_t count = value->size();
    const nlohmann::json noObject;
    for (size_t i = 0; i < count; ++i) {
        // The members of a top-level object are not list elements: they read as no object.
        // Read in place: copying an element recurses once per level of nesting, and a hand-made
        // file nested a hundred thousand deep overflowed the stack.
        const nlohmann::json& element = value->is_array() ? (*value)[i] : noObject;
        try {
            auto cue = CXAudio::fromJSON(element);
            cue->player->setDelegate(delegate);
            cxList.push_back(std::move(cue));
            ++loaded;
        } catch (const CXError&) {
            say("Unable to load audio track from JSON, Audio Track " + std::to_string(i));
            failed = true;
        }
    }
    if (failed) {
        backupPending_ = true;
        protectStorage_ = loaded == 0;
    }
}

bool ListStore::snapshot(const CueList& cxList, SaveCause cause, std::string& text) {
    text = listfile::text(cxList);
    if (!cxList.empty()) return true;
    if (cause == SaveCause::UserEmptiedList) protectStorage_ = false;
    // After a load that read nothing, an empty list may only mean the audio was briefly out of
    // reach; its stored files must survive until the user empties the list on purpose.
    if (protectStorage_) return true;
    if (!deleteStorageFolder()) {
        say("Failed to delete old song directory");
        return false;
    }
    return true;
}

void ListStore::save(const CueList& cxList, SaveCause cause) {
    saveInBackground(cxList, cause);
    writer_.waitForIdle();
}

void ListStore::saveInBackground(const CueList& cxList, SaveCause cause) {
    std::string text;
    if (snapshot(cxList, cause, text)) writer_.submit(std::move(text));
}

void ListStore::waitForIdle() {
    writer_.waitForIdle();
}

bool ListStore::backUpListFile(const std::string& listPath) {
    QFile source(QString::fromStdString(listPath));
    if (!source.open(QIODevice::ReadOnly)) return false;
    const QByteArray bytes = source.readAll();
    if (source.error() != QFileDevice::NoError) return false;
    return writeAtomically(storage::backupFilePath(), bytes.toStdString());
}

void ListStore::writeText(const std::string& text) {
    const std::string path = storage::listFilePath();
    if (pathExists(path)) {
        const auto old = listfile::parse(readFile(path));
        if (!old) {
            say("Error reading JSON");
        } else {
            const auto fresh = listfile::parse(text);
            if (fresh && *fresh == *old) return;
        }
        std::error_code ec;
        const bool regular = fs::is_regular_file(path, ec);
        if (backupPending_ && regular) {
            if (!backUpListFile(path)) {
                // Replacing it now would destroy what the load could not read.
                say("Failed to back up savejson");
                return;
            }
            backupPending_ = false;
        }
        // A regular file is replaced by the rename below; anything else would block it.
        if (!regular) {
            fs::remove_all(path, ec);
            if (ec) say("Unable to remove old savejson");
        }
    }
    storage::ensureDocumentsFolder();
    if (!writeAtomically(path, text)) {
        say("Failed to write savejson");
        return;
    }
    ++filesWritten_;
}
