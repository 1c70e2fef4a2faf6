// The commands that change which cues the list holds: import, the two duplicates and remove.
#include <QFile>
#include <QScopeGuard>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <vector>

#include "audio/AudioEngine.h"
#include "model/CXAudio.h"
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
    controller.cxList.push_back(copy);
    copy->player->setDelegate(&controller);
    controller.saveList();
    table->reloadData();
    table->selectRowIndexes({int(controller.cxList.size()) - 1}, false);
}

// Brings one chosen file in under its stored name. The copy is opened as audio before it
// replaces anything: a file of the same name that cues already play stays as it was when the
// new one is no audio, cannot be read, or the disk fills.
bool storeImport(ImportProgress& progress, int index, const QString& source, const QString& stored,
                 const std::string& folder) {
    const std::string destination = folder + "/" + stored.toStdString();
    // The stored file itself, chosen again: used as it is.
    if (importer::sameFile(QFile::encodeName(source).toStdString(), destination)) return true;
    const std::string staged = importer::stagingPath(folder, stored);
    bool done = false;
    if (progress.copy(index, stored, staged)) {
        if (AudioPlayer::initWithContentsOfURL(staged)) {
            std::error_code ec;
            const bool replacing = std::filesystem::exists(destination, ec);
            done = importer::replaceStoredFile(staged, destination);
            // Cues already on that name play the new file whole, not the old one's length.
            if (done && replacing) AudioEngine::shared().fileReplaced(destination);
        } else
            say("Failed to create audio player");
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
            return;
        }
    }

    importing_ = true;
    const auto done = qScopeGuard([this] { importing_ = false; });
    {
        ImportProgress progress(window, chosen);
        for (int i = 0; i < int(chosen.size()); ++i) {
            const QString stored = importer::storedName(chosen[i]);
            const std::string name = stored.toStdString();
            std::shared_ptr<CXAudio> cue;
            // A name made only of filtered characters would name the storage folder itself.
            // Cues on a file of the same name that ran to its end keep running to the end of
            // the file that replaces it.
            std::vector<std::pair<CXAudio*, bool>> sameName;
            for (const auto& existing : cxList)
                if (existing->fileName == name)
                    sameName.emplace_back(existing.get(),
                                          existing->endTime >= existing->player->duration());
            if (!stored.isEmpty() && storeImport(progress, i, chosen[i], stored, folder)) {
                for (auto [existing, toTheEnd] : sameName) {
                    const double length = existing->player->duration();
                    if (toTheEnd || existing->endTime > length) existing->endTime = length;
                    if (existing->startTime >= existing->endTime) existing->startTime = 0.0;
                }
                try {
                    cue = CXAudio::fromFileName(name);
                } catch (const CXError&) {
                }
            }
            if (!cue) {
                // The cues of the earlier files stay in the list; the next reload and save
                // bring them to the table and the list file.
                say("Failed to initialize audio file");
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
    if (cxList.size() == 1) {
        // The last cue takes the stored audio folder with it.
        const Confirmation question{
            QStringLiteral("Remove Last Cue"),
            QStringLiteral("Remove the last cue and delete the stored audio files?\n"
                           "This cannot be undone."),
            QStringLiteral("&Remove")};
        QWidget* window = audioTable_->window();
        if (!(confirmer_ ? confirmer_(window, question) : confirmDestructive(window, question)))
            return;
        // Asked in a loop of its own: the list may have changed while the question was up.
        if (!hasRow(row) || audioTable_->selectedRow() != row) return;
    }
    closeAudioEditor();
    cxList.erase(cxList.begin() + row);
    // Selected while the table still shows the old rows: the neighbour above, or for the first
    // row the one below, which becomes the new first row.
    if (!cxList.empty()) audioTable_->selectRowIndexes({row > 0 ? row - 1 : 1}, false);
    audioTable_->removeRowsAtIndexes({row});
    if (cxList.empty())
        store_.save(cxList, ListStore::SaveCause::UserEmptiedList);
    else
        saveList();
    renumberRows();
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
