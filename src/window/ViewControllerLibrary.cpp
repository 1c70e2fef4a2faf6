// The commands that change which cues the list holds: import, the two duplicates and remove.
#include <QFile>
#include <QScopeGuard>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <vector>

#include "audio/AudioEngine.h"
#include "model/CXAudio.h"
#include "platform/MainQueue.h"
#include "platform/MessageLog.h"
#include "storage/Importer.h"
#include "storage/StoragePaths.h"
#include "window/ImportPanel.h"
#include "window/ViewController.h"

namespace {

void say(const std::string& line) {
    std::cout << line << std::endl;
}

using MakeCopy = std::shared_ptr<CXAudio> (*)(const CXAudio& source);

// Both duplicates append their cue at the end and select it there, so the operator sees the
// copy where it went rather than next to its source.
void appendDuplicate(ViewController& controller, MakeCopy makeCopy) {
    CueTableView* table = controller.audioTable();
    const int row = table ? table->selectedRow() : -1;
    if (row < 0 || std::size_t(row) >= controller.cxList.size()) return;
    controller.closeAudioEditor();
    std::shared_ptr<CXAudio> copy;
    try {
        copy = makeCopy(*controller.cxList[std::size_t(row)]);
    } catch (const CXError&) {
        say("Unable to duplicate");
        return;
    }
    const CueList before = controller.cxList;
    controller.cxList.push_back(copy);
    copy->player->setDelegate(&controller);
    controller.history().recordOrder(QStringLiteral("Duplicate"), before, controller.cxList);
    controller.saveList();
    table->reloadData();
    table->selectRowIndexes({int(controller.cxList.size()) - 1}, false);
}

// Brings one chosen file in under its stored name. The copy is opened as audio before it
// replaces anything: a file of the same name that cues already play stays as it was when the
// new one is no audio, cannot be read, or the disk fills.
// The decoder names the file it failed on; the message names it once already.
QString decoderReason(std::string reason, const std::string& path) {
    if (reason.rfind(path + ": ", 0) == 0) reason.erase(0, path.size() + 2);
    return reason.empty() ? QStringLiteral("unknown reason") : QString::fromStdString(reason);
}

// `why` says, in plain words, what kept the file out.
bool storeImport(ImportProgress& progress, int index, const QString& source, const QString& stored,
                 const std::string& folder, QString* why) {
    const std::string destination = folder + "/" + stored.toStdString();
    // The stored file itself, chosen again: used as it is.
    if (importer::sameFile(QFile::encodeName(source).toStdString(), destination)) return true;
    const std::string staged = importer::stagingPath(folder, stored);
    bool done = false;
    std::string error;
    if (!progress.copy(index, stored, staged)) {
        *why = QStringLiteral("it could not be copied into the audio folder (%1)")
                   .arg(progress.copyError());
    } else if (!AudioPlayer::initWithContentsOfURL(staged, &error)) {
        say("Failed to create audio player");
        *why = QStringLiteral("it is not audio that Cuevox can play (%1)")
                   .arg(decoderReason(error, staged));
    } else {
        std::error_code ec;
        const bool replacing = std::filesystem::exists(destination, ec);
        done = importer::replaceStoredFile(staged, destination);
        if (!done)
            *why = QStringLiteral("the stored file %1 could not be replaced")
                       .arg(QString::fromStdString(destination));
        // Cues already on that name play the new file whole, not the old one's length.
        if (done && replacing) AudioEngine::shared().fileReplaced(destination);
    }
    if (!done) {
        std::error_code ec;
        std::filesystem::remove(staged, ec);
    }
    return done;
}

std::shared_ptr<CXAudio> withOptions(const CXAudio& source) {
    return CXAudio::copyOf(source);
}

std::shared_ptr<CXAudio> withoutOptions(const CXAudio& source) {
    return CXAudio::fromFileName(source.fileName);
}

void reportImportFailure(const QStringList& chosen, int failed, const QString& why) {
    QString text = QStringLiteral("Import of “%1” failed: %2.").arg(chosen[failed], why);
    const int skipped = int(chosen.size()) - failed - 1;
    if (skipped == 1) text += QStringLiteral(" The file after it was not imported.");
    if (skipped > 1)
        text += QStringLiteral(" The %1 files after it were not imported.").arg(skipped);
    MessageLog::instance().report(text);
}

}  // namespace

void ViewController::addAudio() {
    if (importing_) return;
    QWidget* window = audioTable_ ? audioTable_->window() : nullptr;
    const QStringList chosen = fileChooser_ ? fileChooser_(window) : chooseAudioFiles(window);
    if (chosen.isEmpty()) return;
    closeAudioEditor();

    const std::string folder = storage::audioFolderPath();
    say(folder);
    std::error_code ec;
    if (!std::filesystem::exists(folder, ec)) {
        // A Linux account may have no Documents folder yet; the storage folder itself is made
        // on its own, so a missing parent anywhere else still fails.
        storage::ensureDocumentsFolder();
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
    // Also when a file fails: the cues of the files before it stay, and undo as one import.
    const auto done = qScopeGuard([this, before = cxList] {
        importing_ = false;
        history_.recordOrder(QStringLiteral("Import"), before, cxList);
    });
    {
        ImportProgress progress(window, chosen);
        for (int i = 0; i < int(chosen.size()); ++i) {
            const QString stored = importer::storedName(chosen[i]);
            const std::string name = stored.toStdString();
            std::shared_ptr<CXAudio> cue;
            QString why;
            // A name made only of filtered characters would name the storage folder itself.
            // Cues on a file of the same name that ran to its end keep running to the end of
            // the file that replaces it.
            std::vector<std::pair<CXAudio*, bool>> sameName;
            for (const auto& existing : cxList)
                if (existing->fileName == name)
                    sameName.emplace_back(existing.get(),
                                          existing->endTime >= existing->player->duration());
            if (stored.isEmpty()) {
                why = QStringLiteral("its name is made only of spaces and line breaks");
            } else if (storeImport(progress, i, chosen[i], stored, folder, &why)) {
                for (auto [existing, toTheEnd] : sameName) {
                    const double length = existing->player->duration();
                    if (toTheEnd || existing->endTime > length) existing->endTime = length;
                    if (existing->startTime >= existing->endTime) existing->startTime = 0.0;
                }
                try {
                    cue = CXAudio::fromFileName(name);
                } catch (const CXError& error) {
                    why = QStringLiteral("it is not audio that Cuevox can play (%1)")
                              .arg(decoderReason(error.reason(), storage::storedFilePath(name)));
                }
            }
            if (!cue) {
                // The cues of the earlier files stay in the list; the next reload and save
                // bring them to the table and the list file.
                say("Failed to initialize audio file");
                reportImportFailure(chosen, i, why);
                return;
            }
            cxList.push_back(cue);
            cue->player->setDelegate(this);
            progress.fileDone(i);
            if (progress.stopRequested()) break;
        }
    }
    if (audioTable_) audioTable_->reloadData();
    saveList();
}

void ViewController::duplicateAudio() {
    appendDuplicate(*this, withOptions);
}

void ViewController::duplicateAudioWithoutOptions() {
    appendDuplicate(*this, withoutOptions);
}

void ViewController::removeAudio() {
    const int row = audioTable_ ? audioTable_->selectedRow() : -1;
    if (row < 0 || !hasRow(row)) return;
    // Asked nothing, not even for the last cue: Undo brings it back, and the history keeps
    // its stored audio until then.
    closeAudioEditor();
    const CueList before = cxList;
    const std::shared_ptr<CXAudio> removed = cxList[std::size_t(row)];
    cxList.erase(cxList.begin() + row);
    history_.recordOrder(QStringLiteral("Remove"), before, cxList);
    if (cxList.empty()) {
        audioTable_->removeRowsAtIndexes({row});
        store_.save(cxList, ListStore::SaveCause::UserEmptiedList);
    } else {
        // Selected while the table still shows the old rows: the neighbour above, or for the
        // first row the one below, which becomes the new first row.
        audioTable_->selectRowIndexes({row > 0 ? row - 1 : 1}, false);
        audioTable_->removeRowsAtIndexes({row});
        saveList();
        renumberRows();
    }
    silenceRemoved(removed);
    MessageLog::instance().report(
        QStringLiteral("Removed “%1”.").arg(QString::fromStdString(removed->audioTitle)));
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
