// The commands that change which cues the list holds: import, the two duplicates and remove.
#include <QFile>
#include <QFutureWatcher>
#include <QScopeGuard>
#include <QtConcurrent/QtConcurrentRun>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <vector>

#include "audio/AudioEngine.h"
#include "audio/Voice.h"
#include "model/CXAudio.h"
#include "model/CueNumbers.h"
#include "platform/MainQueue.h"
#include "platform/MessageLog.h"
#include "storage/Importer.h"
#include "storage/StoragePaths.h"
#include "window/ImportJob.h"
#include "window/ImportPanel.h"
#include "window/ViewController.h"

namespace {

void say(const std::string& line) {
    std::cout << line << std::endl;
}

void reportImportFailure(const QStringList& chosen, int failed, const QString& why) {
    QString text = QStringLiteral("Import of “%1” failed: %2.").arg(chosen[failed], why);
    const int skipped = int(chosen.size()) - failed - 1;
    if (skipped == 1) text += QStringLiteral(" The file after it was not imported.");
    if (skipped > 1)
        text += QStringLiteral(" The %1 files after it were not imported.").arg(skipped);
    MessageLog::instance().report(text);
}

bool anyPlaying(const CueList& list, const std::string& fileName) {
    for (const auto& cue : list)
        if (cue->fileName == fileName && cue->player && cue->player->isPlaying()) return true;
    return false;
}

}  // namespace

bool ViewController::storedNameTaken(const QString& stored) const {
    const std::string name = stored.toStdString();
    for (const auto& cue : cxList)
        if (cue->fileName == name) return true;
    std::error_code ec;
    return std::filesystem::exists(storage::storedFilePath(name), ec) || ec;
}

QString ViewController::importName(const QString& source, const QString& stored, bool* stop) {
    if (importer::sameFile(QFile::encodeName(source).toStdString(),
                           storage::storedFilePath(stored.toStdString())) ||
        !storedNameTaken(stored))
        return stored;
    QWidget* window = audioTable_ ? audioTable_->window() : nullptr;
    NameTaken choice = nameTaken_ ? nameTaken_(window, stored) : askNameTaken(window, stored);
    if (choice == NameTaken::Cancel) {
        *stop = true;
        return {};
    }
    // Replacing the file under a sounding cue would change what the audience hears.
    if (choice == NameTaken::Replace && anyPlaying(cxList, stored.toStdString())) {
        MessageLog::instance().report(
            QStringLiteral("“%1” is playing and was not replaced; the new file is kept beside it.")
                .arg(stored));
        choice = NameTaken::KeepBoth;
    }
    if (choice == NameTaken::Replace) return stored;
    QString numbered;
    for (int n = 2; numbered.isEmpty() || storedNameTaken(numbered); ++n)
        numbered = importer::numberedName(stored, n);
    return numbered;
}

void ViewController::addAudio() {
    if (importing_ || showMode_) return;
    QWidget* window = audioTable_ ? audioTable_->window() : nullptr;
    const QStringList chosen = fileChooser_ ? fileChooser_(window) : chooseAudioFiles(window);
    if (chosen.isEmpty()) return;
    closeAudioEditor();

    const std::string folder = storage::audioFolderPath();
    say(folder);
    std::error_code ec;
    if (!std::filesystem::exists(folder, ec)) {
        // A new show's folder (or a Linux account's Documents) may not be there yet; the
        // storage folder itself is made on its own, so a missing parent anywhere else still
        // fails.
        storage::ensureShowFolder();
        std::filesystem::create_directory(folder, ec);
        if (ec) {
            say("Failed to create directory at " + folder);
            MessageLog::instance().report(
                QStringLiteral("Import failed: the audio folder %1 could not be created (%2).")
                    .arg(QString::fromStdString(folder), QString::fromStdString(ec.message())));
            return;
        }
    }

    importing_ = true;
    std::vector<std::string> claimed;
    // Also when a file fails: the cues of the files before it stay, and undo as one import.
    const auto done = qScopeGuard([this, &claimed, before = cxList] {
        importing_ = false;
        if (audioTable_) audioTable_->reloadData();
        history_.recordOrder(QStringLiteral("Import"), before, cxList);
        // The cues brought in so far are in the list handed to the writer; their files no
        // longer need a claim of their own.
        saveList();
        for (const std::string& name : claimed) store_.release(name);
    });
    AudioEngine& engine = AudioEngine::shared();
    ImportProgress progress(window, chosen);
    for (int i = 0; i < int(chosen.size()); ++i) {
        ImportJob job;
        job.engine = &engine;
        job.source = QFile::encodeName(chosen[i]).toStdString();
        job.folder = folder;
        const QString stored = importer::storedName(chosen[i]);
        if (stored.isEmpty()) {
            // Such a name would name the storage folder itself.
            say("Failed to initialize audio file");
            reportImportFailure(chosen, i,
                                QStringLiteral("its name is made only of spaces and line breaks"));
            return;
        }
        bool stop = false;
        job.stored = importName(chosen[i], stored, &stop);
        if (stop) break;
        job.copy = !importer::sameFile(job.source, job.destination());
        job.voiceId = engine.reserveVoiceId();
        const std::string name = job.stored.toStdString();
        store_.claim(name);
        claimed.push_back(name);
        // Cues on a file of the same name that ran to its end keep running to the end of the
        // file that replaces it.
        std::vector<std::pair<CXAudio*, bool>> sameName;
        for (const auto& existing : cxList)
            if (existing->fileName == name)
                sameName.emplace_back(existing.get(),
                                      existing->endTime >= existing->player->duration());
        if (!progress.run(i, job.stored,
                          [&job](std::atomic<int64_t>* copied) { return job.run(copied); })) {
            // The cues of the earlier files stay in the list and reach the table and the file.
            say("Failed to initialize audio file");
            reportImportFailure(chosen, i, job.why);
            return;
        }
        if (job.replaced) {
            // Cues already on that name play the new file whole, not the old one's length.
            engine.fileReplaced(job.destination());
            for (auto [existing, toTheEnd] : sameName) {
                const double length = existing->player->duration();
                if (toTheEnd || existing->endTime > length) existing->endTime = length;
                if (existing->startTime >= existing->endTime) existing->startTime = 0.0;
            }
        }
        auto cue = CXAudio::withPlayer(name, engine.adoptVoice(std::move(job.voice), job.duration));
        // After the last cue's number: the whole number past it that no cue has.
        cue->cueNumber = cuenumbers::nextFree(cxList, int(cxList.size()) - 1);
        cxList.push_back(cue);
        cue->player->setDelegate(this);
        progress.fileDone(i);
        if (progress.stopRequested()) break;
    }
}

void ViewController::openInBackground(const std::string& fileName, Opened done) {
    AudioEngine& engine = AudioEngine::shared();
    const std::string path = storage::storedFilePath(fileName);
    const uint32_t id = engine.reserveVoiceId();
    struct Result {
        std::shared_ptr<Voice> voice;
        double duration = 0.0;
        std::string error;
    };
    store_.claim(fileName);
    ++opening_;
    auto* watcher = new QFutureWatcher<Result>(this);
    // One worker: the results come back, and are applied, in the order they were asked for.
    connect(watcher, &QFutureWatcherBase::finished, this,
            [this, watcher, fileName, done = std::move(done), &engine] {
                watcher->deleteLater();
                Result result = watcher->result();
                --opening_;
                std::unique_ptr<AudioPlayer> player;
                if (result.voice)
                    player = engine.adoptVoice(std::move(result.voice), result.duration);
                done(std::move(player), result.error);
                store_.release(fileName);
            });
    watcher->setFuture(QtConcurrent::run(&openPool_, [&engine, path, id] {
        Result result;
        result.voice = engine.openVoice(path, id, &result.duration, &result.error);
        return result;
    }));
}

namespace {

// Both duplicates append their cue at the end and select it there, so the operator sees the
// copy where it went rather than next to its source. The copy's file is opened off the GUI
// thread; the cue joins the list once it is.
void appendDuplicate(ViewController& controller, bool withOptions) {
    CueTableView* table = controller.audioTable();
    const int row = table ? table->selectedRow() : -1;
    if (row < 0 || std::size_t(row) >= controller.cxList.size()) return;
    controller.closeAudioEditor();
    const CXAudio& source = *controller.cxList[std::size_t(row)];
    // Taken now: the source may change or go before the file is open.
    const nlohmann::json options = source.toJSON();
    const std::string fileName = source.fileName;
    QPointer<ViewController> self(&controller);
    const unsigned show = controller.showSerial();
    controller.openInBackground(
        fileName, [self, options, fileName, withOptions, show](std::unique_ptr<AudioPlayer> player,
                                                               const std::string&) {
            if (!player) {
                say("Failed to create audio player");
                say("Unable to duplicate");
                return;
            }
            auto copy = withOptions ? CXAudio::withPlayer(options, std::move(player))
                                    : CXAudio::withPlayer(fileName, std::move(player));
            // Another show opened meanwhile: the copy belongs to the one left.
            if (!self || self->showSerial() != show) return;
            ViewController& vc = *self;
            const CueList before = vc.cxList;
            // A copy is a cue of its own, never its source's number (nor one in the options).
            copy->cueNumber = cuenumbers::nextFree(vc.cxList, int(vc.cxList.size()) - 1);
            vc.cxList.push_back(copy);
            vc.history().recordOrder(QStringLiteral("Duplicate"), before, vc.cxList);
            copy->player->setDelegate(&vc);
            vc.saveList();
            if (CueTableView* table = vc.audioTable()) {
                table->reloadData();
                table->selectRowIndexes({int(vc.cxList.size()) - 1}, false);
            }
        });
}

}  // namespace

void ViewController::duplicateAudio() {
    if (!showMode_) appendDuplicate(*this, true);
}

void ViewController::duplicateAudioWithoutOptions() {
    if (!showMode_) appendDuplicate(*this, false);
}

void ViewController::removeAudio() {
    const int row = audioTable_ ? audioTable_->selectedRow() : -1;
    if (row < 0 || !hasRow(row) || showMode_) return;
    // Asked nothing, not even for the last cue: Undo brings it back, and the history keeps
    // its stored audio until then.
    closeAudioEditor();
    const CueList before = cxList;
    const std::shared_ptr<CXAudio> removed = cxList[std::size_t(row)];
    cxList.erase(cxList.begin() + row);
    history_.recordOrder(QStringLiteral("Remove"), before, cxList);
    // Selected while the table still shows the old rows: the neighbour above, or for the first
    // row the one below, which becomes the new first row.
    if (!cxList.empty()) audioTable_->selectRowIndexes({row > 0 ? row - 1 : 1}, false);
    audioTable_->removeRowsAtIndexes({row});
    saveList();
    trashUnusedAudio();
    renumberRows();
    silenceRemoved(removed);
    MessageLog::instance().report(QStringLiteral("Removed %1.").arg(cueName(*removed)));
    emit undoOffered();
}

void ViewController::silenceRemoved(const std::shared_ptr<CXAudio>& cue) {
    // A pending fade completion still holds the cue; with its flags down it finds nothing left
    // to do.
    cue->fadingIn = false;
    cue->fadingOut = false;
    if (!cue->player || !cue->player->isPlaying()) return;
    cue->player->stop();
    // The stop falls to silence over a short tail in the mixer's next blocks; a player that
    // went away now would cut it off. Kept a while longer than any device takes for a block.
    MainQueue::runAfter(kRemovedTailSeconds, this, [cue] {});
}

void ViewController::addAudioButton(QObject*) {
    addAudio();
}

void ViewController::duplicateAudioButton(QObject*) {
    duplicateAudio();
}

void ViewController::removeAudioButton(QObject*) {
    removeAudio();
}
