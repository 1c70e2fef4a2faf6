#include "storage/ListStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QSaveFile>
#include <QStringList>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "model/CXAudio.h"
#include "platform/MessageLog.h"
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

const char* const kSaveWarning = "save";

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// No content, unreadable or a folder: all read as empty text. `why` says what kept it unread.
std::string readFile(const std::string& path, QString* why = nullptr) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        if (why) *why = file.errorString();
        return {};
    }
    const QByteArray bytes = file.readAll();
    if (why && file.error() != QFileDevice::NoError) *why = file.errorString();
    return bytes.toStdString();
}

// Deletes the storage folder with everything in it. False when it is still there afterwards.
// The folder is first moved aside in one rename, so a folder that cannot go is left whole: a
// half-deleted folder would leave cues on files that are gone. What cannot be deleted after
// the move is left aside and reported; the list no longer refers to it.
bool deleteStorageFolder(std::string* why = nullptr) {
    const std::string folder = storage::audioFolderPath();
    std::error_code ec;
    const auto status = fs::symlink_status(folder, ec);
    if (ec || !fs::exists(status)) return true;
    static std::atomic<int> serial{0};
    const std::string aside = storage::documentsFolder() + "/.audio-deleted-" +
                              std::to_string(::getpid()) + "-" + std::to_string(++serial);
    fs::rename(folder, aside, ec);
    if (ec) {
        if (why) *why = ec.message();
        return false;
    }
    fs::remove_all(aside, ec);
    if (ec)
        MessageLog::instance().report(
            QStringLiteral("Some of the deleted audio could not be removed from the disk (%1); "
                           "it is left in %2.")
                .arg(qs(ec.message()), qs(aside)));
    return true;
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
bool writeAtomically(const std::string& path, const std::string& text, QString* why = nullptr) {
    QSaveFile file(QString::fromStdString(path));
    auto fail = [&] {
        if (why) *why = file.errorString();
        return false;
    };
    // Unbuffered: a buffered QSaveFile loses a short write (full disk) in its final flush and
    // then commits the truncated text as if all were well.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return fail();
    if (file.write(text.data(), qint64(text.size())) != qint64(text.size())) {
        fail();
        file.cancelWriting();
        file.commit();
        return false;
    }
    if (!file.commit()) return fail();
    syncFolder(fs::path(path).parent_path().string());
    return true;
}

// One cue the load left out, named so the operator can tell which: its title and stored file,
// and whether the file is missing or only unplayable.
QString describeDropped(size_t index, const nlohmann::json& element) {
    const auto text = [&](const char* key) {
        const auto it = element.is_object() ? element.find(key) : element.end();
        return it != element.end() && it->is_string() ? qs(it->get<std::string>()) : QString();
    };
    const QString title = text("audioTitle");
    const QString file = text("fileName");
    if (!element.is_object() || file.isEmpty())
        return QStringLiteral("entry %1 (not a cue)").arg(index + 1);
    std::error_code ec;
    const bool present = fs::exists(storage::storedFilePath(file.toStdString()), ec);
    return QStringLiteral("cue %1 “%2” (%3 %4)")
        .arg(index + 1)
        .arg(title.isEmpty() ? file : title, file,
             present ? QStringLiteral("cannot be played") : QStringLiteral("is missing"));
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

    QString unreadable;
    const auto value = listfile::parse(readFile(path, &unreadable));
    if (!value) {
        say("Failed to read JSON");
        backupPending_ = true;
        protectStorage_ = true;
        MessageLog::instance().report(
            QStringLiteral("The cue list %1 could not be read (%2). Cuevox started with an "
                           "empty list; the file is backed up before anything replaces it.")
                .arg(qs(path),
                     unreadable.isEmpty() ? QStringLiteral("it is not a cue list") : unreadable));
        return;
    }
    if (value->empty()) {
        std::string why;
        if (!deleteStorageFolder(&why)) {
            say("Failed to delete old song directory");
            MessageLog::instance().report(
                QStringLiteral("The audio folder %1 of the empty list could not be deleted (%2).")
                    .arg(qs(storage::audioFolderPath()), qs(why)));
        }
        return;
    }

    size_t loaded = 0;
    bool failed = false;
    QStringList dropped;
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
            dropped.append(describeDropped(i, element));
        }
    }
    if (failed) {
        backupPending_ = true;
        protectStorage_ = loaded == 0;
        MessageLog::instance().report(
            QStringLiteral("%1 of %2 cues could not be loaded and are left out: %3. The list "
                           "file is backed up before the next save.")
                .arg(dropped.size())
                .arg(count)
                .arg(dropped.join(QStringLiteral("; "))));
    }
}

bool ListStore::snapshot(const CueList& cxList, SaveCause cause, std::string& text) {
    text = listfile::text(cxList);
    if (!cxList.empty()) return true;
    // After a load that read nothing, an empty list may only mean the audio was briefly out of
    // reach; its stored files must survive until the user empties the list on purpose.
    if (protectStorage_ && cause != SaveCause::UserEmptiedList) return true;
    // The folder goes whole, so a single file still in use keeps it.
    if (!filesInUse(cxList).empty()) {
        if (cause == SaveCause::UserEmptiedList) protectStorage_ = false;
        return true;
    }
    std::string why;
    if (!deleteStorageFolder(&why)) {
        say("Failed to delete old song directory");
        lastRefusal_ = QStringLiteral("the audio folder %1 could not be deleted (%2)")
                           .arg(qs(storage::audioFolderPath()), qs(why));
        return false;
    }
    if (cause == SaveCause::UserEmptiedList) protectStorage_ = false;
    return true;
}

std::set<std::string> ListStore::filesInUse(const CueList& cxList) const {
    std::set<std::string> names = heldFiles_ ? heldFiles_() : std::set<std::string>();
    for (const auto& cue : cxList) names.insert(cue->fileName);
    return names;
}

bool ListStore::save(const CueList& cxList, SaveCause cause) {
    const bool taken = saveInBackground(cxList, cause);
    writer_.waitForIdle();
    return taken;
}

bool ListStore::saveInBackground(const CueList& cxList, SaveCause cause) {
    std::string text;
    if (!snapshot(cxList, cause, text)) return false;
    writer_.submit(std::move(text));
    return true;
}

void ListStore::waitForIdle() {
    writer_.waitForIdle();
}

bool ListStore::backUpListFile(const std::string& listPath, QString* why) {
    QFile source(QString::fromStdString(listPath));
    const bool read = source.open(QIODevice::ReadOnly);
    const QByteArray bytes = read ? source.readAll() : QByteArray();
    if (!read || source.error() != QFileDevice::NoError) {
        *why = QStringLiteral(
                   "the list file %1 cannot be read (%2), and it is kept until it "
                   "can be backed up")
                   .arg(qs(listPath), source.errorString());
        return false;
    }
    const std::string backup = storage::backupFilePath();
    QString writeError;
    if (!writeAtomically(backup, bytes.toStdString(), &writeError)) {
        *why = QStringLiteral("the old list file cannot be backed up to %1 (%2)")
                   .arg(qs(backup), writeError);
        return false;
    }
    MessageLog::instance().report(
        QStringLiteral("The list file as it was before could not all be read; it is kept as %1.")
            .arg(qs(backup)));
    return true;
}

void ListStore::saveFailed(const QString& why) {
    MessageLog& log = MessageLog::instance();
    const QString text = QStringLiteral("Changes are not being saved: %1.").arg(why);
    // The log keeps when the trouble began; the warning stands for as long as it lasts.
    if (!savesFailing_.exchange(true) || log.warnings().value(kSaveWarning) != text)
        log.report(text);
    log.setWarning(kSaveWarning, text);
}

void ListStore::saveSucceeded() {
    if (!savesFailing_.exchange(false)) return;
    MessageLog::instance().clearWarning(kSaveWarning);
    MessageLog::instance().report(QStringLiteral("Changes are being saved again."));
}

void ListStore::writeText(const std::string& text) {
    const std::string path = storage::listFilePath();
    if (pathExists(path)) {
        const auto old = listfile::parse(readFile(path));
        if (!old) {
            say("Error reading JSON");
        } else {
            const auto fresh = listfile::parse(text);
            if (fresh && *fresh == *old) {
                saveSucceeded();
                return;
            }
        }
        std::error_code ec;
        const bool regular = fs::is_regular_file(path, ec);
        if (backupPending_ && regular) {
            QString why;
            if (!backUpListFile(path, &why)) {
                // Replacing it now would destroy what the load could not read.
                say("Failed to back up savejson");
                saveFailed(why);
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
    QString why;
    if (!writeAtomically(path, text, &why)) {
        say("Failed to write savejson");
        saveFailed(QStringLiteral("the list file %1 cannot be written (%2)").arg(qs(path), why));
        return;
    }
    ++filesWritten_;
    saveSucceeded();
}
