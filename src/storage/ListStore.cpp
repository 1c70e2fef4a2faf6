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
#include "model/CueNumbers.h"
#include "platform/MessageLog.h"
#include "storage/AudioTrash.h"
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
    const std::string name = file.toStdString();
    const QString state =
        !storage::isStoredName(name) ? QStringLiteral("names a file outside the audio folder")
        : fs::exists(storage::storedFilePath(name), ec) ? QStringLiteral("cannot be played")
                                                        : QStringLiteral("is missing");
    return QStringLiteral("cue %1 “%2” (%3 %4)")
        .arg(index + 1)
        .arg(title.isEmpty() ? file : title, file, state);
}

}  // namespace

ListStore::ListStore() : writer_([this](const std::string& text) { writeText(text); }) {}

ListStore::~ListStore() {
    writer_.waitForIdle();
}

void ListStore::load(CueList& cxList, AudioPlayerDelegate* delegate) {
    backupPending_ = false;
    {
        // What an earlier show's list named has no say over this one's audio.
        std::lock_guard lock(namesMutex_);
        droppedNames_.clear();
        savedNames_.clear();
    }

    const std::string path = storage::listFilePath();
    if (!pathExists(path)) return;

    QString unreadable;
    const auto value = listfile::parse(readFile(path, &unreadable));
    if (!value) {
        say("Failed to read JSON");
        backupPending_ = true;
        MessageLog::instance().report(
            QStringLiteral("The cue list %1 could not be read (%2). Cuevox started with an "
                           "empty list; the file is backed up before anything replaces it.")
                .arg(qs(path),
                     unreadable.isEmpty() ? QStringLiteral("it is not a cue list") : unreadable));
        return;
    }
    // An empty list leaves the audio folder alone: it may hold a show's audio copied in first.
    if (value->empty()) return;

    bool failed = false;
    QStringList dropped;
    int missing = 0;
    const size_t count = value->size();
    const nlohmann::json noObject;
    for (size_t i = 0; i < count; ++i) {
        // The members of a top-level object are not list elements: they read as no object.
        // Read in place: copying an element recurses once per level of nesting, and a hand-made
        // file nested a hundred thousand deep overflowed the stack.
        const nlohmann::json& element = value->is_array() ? (*value)[i] : noObject;
        const auto file = element.is_object() ? element.find("fileName") : element.end();
        const std::string name =
            file != element.end() && file->is_string() ? file->get<std::string>() : "";
        try {
            // A received show's list must not reach files outside its audio folder.
            if (file != element.end() && file->is_string() && !storage::isStoredName(name))
                throw CXError(CXError::fileFailed, name + ": not a stored file name");
            auto cue = CXAudio::fromJSON(element);
            cue->player->setDelegate(delegate);
            cxList.push_back(std::move(cue));
        } catch (const CXError&) {
            // A missing file may be found again (a show moved without its audio): the cue
            // stays, as it was, and plays nothing until then.
            std::error_code ec;
            if (element.is_object() && storage::isStoredName(name) &&
                !fs::exists(storage::storedFilePath(name), ec)) {
                auto cue = CXAudio::missingFrom(element);
                cue->player->setDelegate(delegate);
                cxList.push_back(std::move(cue));
                ++missing;
                continue;
            }
            say("Unable to load audio track from JSON, Audio Track " + std::to_string(i));
            failed = true;
            dropped.append(describeDropped(i, element));
            std::lock_guard lock(namesMutex_);
            droppedNames_.insert(name);
        }
    }
    // Before any cue can be called by number: a list from before numbers reads 1, 2, 3….
    QStringList renumbered;
    std::vector<std::string> before;
    for (const auto& cue : cxList) before.push_back(cue->cueNumber);
    for (int row : cuenumbers::assignMissing(cxList))
        if (!before[std::size_t(row)].empty())
            renumbered.append(QStringLiteral("“%1” on row %2 is now %3")
                                  .arg(qs(before[std::size_t(row)]))
                                  .arg(row + 1)
                                  .arg(qs(cxList[std::size_t(row)]->cueNumber)));
    if (!renumbered.isEmpty())
        MessageLog::instance().report(
            QStringLiteral("Cue numbers used twice in the list were changed: %1.")
                .arg(renumbered.join(QStringLiteral("; "))));
    if (missing > 0)
        MessageLog::instance().report(
            QStringLiteral("%1 of %2 cues have no audio file; they stay in the list and play "
                           "nothing until Missing Audio finds their files.")
                .arg(missing)
                .arg(count));
    if (failed) {
        backupPending_ = true;
        MessageLog::instance().report(
            QStringLiteral("%1 of %2 cues could not be loaded and are left out: %3. The list "
                           "file is backed up before the next save.")
                .arg(dropped.size())
                .arg(count)
                .arg(dropped.join(QStringLiteral("; "))));
    }
}

void ListStore::save(const CueList& cxList) {
    saveInBackground(cxList);
    writer_.waitForIdle();
}

void ListStore::saveInBackground(const CueList& cxList) {
    std::set<std::string> names;
    for (const auto& cue : cxList) names.insert(cue->fileName);
    {
        std::lock_guard lock(namesMutex_);
        savedNames_ = std::move(names);
    }
    writer_.submit(listfile::text(cxList));
}

void ListStore::claim(const std::string& name) {
    std::lock_guard lock(namesMutex_);
    ++claims_[name];
}

void ListStore::release(const std::string& name) {
    std::lock_guard lock(namesMutex_);
    const auto it = claims_.find(name);
    if (it != claims_.end() && --it->second <= 0) claims_.erase(it);
}

bool ListStore::keeps(const std::set<std::string>& inUse, const std::string& name) {
    std::lock_guard lock(namesMutex_);
    return inUse.count(name) || savedNames_.count(name) || droppedNames_.count(name) ||
           claims_.count(name);
}

void ListStore::trashUnusedAudio(std::set<std::string> inUse) {
    writer_.submitAfter([this, inUse = std::move(inUse)] {
        // While the list file cannot be written it may still name these files.
        if (savesFailing_) return;
        const QStringList failures =
            storage::trashUnusedAudio([&](const std::string& name) { return keeps(inUse, name); });
        if (!failures.isEmpty())
            MessageLog::instance().report(QStringLiteral("Stored audio no cue uses was kept: %1.")
                                              .arg(failures.join(QStringLiteral("; "))));
    });
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
    const std::string backup = storage::newBackupFilePath();
    QString writeError;
    if (!writeAtomically(backup, bytes.toStdString(), &writeError)) {
        *why = QStringLiteral("the old list file cannot be backed up to %1 (%2)")
                   .arg(qs(backup), writeError);
        return false;
    }
    MessageLog::instance().report(
        QStringLiteral("The list file as it was before could not all be read; it is kept as %1.")
            .arg(qs(backup)));
    // Each incomplete load gets a backup of its own: a second one must not overwrite the first
    // with the shortened list it left.
    auto backups = storage::backupFilePaths();
    for (size_t i = 0; i + storage::kBackupsKept < backups.size(); ++i) {
        std::error_code ec;
        fs::remove(backups[i], ec);
    }
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
    storage::ensureShowFolder();
    QString why;
    if (!writeAtomically(path, text, &why)) {
        say("Failed to write savejson");
        saveFailed(QStringLiteral("the list file %1 cannot be written (%2)").arg(qs(path), why));
        return;
    }
    ++filesWritten_;
    saveSucceeded();
}
