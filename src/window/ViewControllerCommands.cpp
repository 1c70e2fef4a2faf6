// The menu commands, reached through the notification names registered at start-up. Those that
// need a cue act on the selected row and do nothing without one.
#include <utility>

#include "editor/AudioEditView.h"
#include "model/CXAudio.h"
#include "platform/MainQueue.h"
#include "platform/MessageLog.h"
#include "window/CXTableCell.h"
#include "window/ViewController.h"

namespace {

// The single-precision value nearest 0.1: ten steps from 0 overshoot 1 by a hair and are
// clamped, so the bounds are always reached exactly.
constexpr float kVolumeStep = 0.1f;
constexpr int kVolumeColumn = 5;
// Longer than the mixer's stop tail at any output rate.
constexpr double kStopTailHold = 0.05;

int selectedCue(ViewController& controller) {
    CueTableView* table = controller.audioTable();
    const int row = table ? table->selectedRow() : -1;
    return row >= 0 && std::size_t(row) < controller.cxList.size() ? row : -1;
}

void setVolume(ViewController& controller, int row, float volume) {
    const std::shared_ptr<CXAudio>& cue = controller.cxList[std::size_t(row)];
    const nlohmann::json before = cue->toJSON();
    cue->changeVolume(volume);
    controller.history().recordFields(cue, before);
    // A row out of view has no cell; it shows the new volume when it is next drawn.
    if (CXTableCell* cell = controller.audioTable()->viewAtColumn(kVolumeColumn, row))
        if (auto* slider = cell->cxVolumeSlider()) slider->setFloatValue(volume);
    controller.saveList();
}

void moveCue(ViewController& controller, int from, int to) {
    controller.closeAudioEditor();
    CueTableView* table = controller.audioTable();
    // Moved as a row, not reloaded: the selection travels with it, so the command repeats on
    // the same cue.
    table->beginUpdates();
    table->moveRowAtIndex(from, to);
    table->endUpdates();
    const CueList before = controller.cxList;
    std::swap(controller.cxList[std::size_t(from)], controller.cxList[std::size_t(to)]);
    controller.history().recordOrder(QStringLiteral("Move"), before, controller.cxList);
    controller.saveList();
    controller.renumberRows();
}

}  // namespace

void ViewController::closeWindowMenuButton() {
    // Dismissed with the field being typed in taken, then saved here as for any close.
    if (AudioEditView* editor = presentedViewController()) editor->dismissController();
    saveList();
    if (audioTable_) audioTable_->reloadData();
}

void ViewController::duplicateTrackMenuButton() {
    duplicateAudio();
}

void ViewController::duplicateWithoutOptionsMenuButton() {
    duplicateAudioWithoutOptions();
}

void ViewController::addTrackMenuButton() {
    addAudio();
}

void ViewController::removeTrackMenuButton() {
    removeAudio();
}

void ViewController::saveMenuButton() {
    saveList();
}

void ViewController::moveAudioUpMenuButton() {
    if (showMode_) return;
    const int row = selectedCue(*this);
    if (row > 0) moveCue(*this, row, row - 1);
}

void ViewController::moveAudioDownMenuButton() {
    if (showMode_) return;
    const int row = selectedCue(*this);
    if (row != -1 && std::size_t(row) + 1 < cxList.size()) moveCue(*this, row, row + 1);
}

void ViewController::volUpMenuButton() {
    const int row = selectedCue(*this);
    if (row == -1 || showMode_) return;
    const float sum = cxList[std::size_t(row)]->volumeLevel + kVolumeStep;
    setVolume(*this, row, sum > 1.0f ? 1.0f : sum);
}

void ViewController::volDownMenuButton() {
    const int row = selectedCue(*this);
    if (row == -1 || showMode_) return;
    const float difference = cxList[std::size_t(row)]->volumeLevel - kVolumeStep;
    setVolume(*this, row, difference < 0.0f ? 0.0f : difference);
}

void ViewController::editAudioMenuButton() {
    const int row = selectedCue(*this);
    if (row != -1) openAudioEditor(row);
}

void ViewController::resetCX() {
    if (showMode_) {
        MessageLog::instance().report(
            QStringLiteral("Reset Library was not done: show mode locks the list."));
        return;
    }
    closeAudioEditor();
    // Nothing the history held keeps its audio any more.
    history_.stack().clear();
    silenceShow();
    cxList.clear();
    if (audioTable_) audioTable_->reloadData();
    saveList();
    // To the trash, not deleted: a reset by mistake can still be undone from the desktop.
    trashUnusedAudio();
}

void ViewController::silenceShow() {
    // Deleting the context drops every fade completion and chained start scheduled so far: none
    // of them may start, or reset the display of, a cue after this.
    delete pendingWork_.data();
    pendingWork_ = new QObject(this);
    for (const std::shared_ptr<CXAudio>& cue : cxList) {
        cue->fadingIn = false;
        cue->fadingOut = false;
        if (cue->player) cue->player->stop();
        // A chain the engine still holds from this cue starts nothing now.
        if (cue->player) cue->player->setPlan({}, nullptr);
    }
    // The stopped players fade out over a few milliseconds; held that long, they end on their
    // short tail instead of being cut off by their release.
    MainQueue::runAfter(kStopTailHold, nullptr, [held = cxList] {});
}
