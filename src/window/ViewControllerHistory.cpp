// Undo and redo: a step gives back the cues themselves or their stored fields, so nothing that
// stays in the list is rebuilt and a playing cue plays on.
#include <QApplication>
#include <algorithm>
#include <unordered_set>

#include "model/CXAudio.h"
#include "widgets/CueIcons.h"
#include "window/CXTableCell.h"
#include "window/ViewController.h"

// A title typed into a row is taken before a step changes the list, as a step of its own: once
// the rows are rebuilt under it, its field would report the edit finished for another cue.
void ViewController::takeRowEdit() {
    QWidget* focus = QApplication::focusWidget();
    if (audioTable_ && focus && focus != audioTable_ && audioTable_->isAncestorOf(focus))
        audioTable_->setFocus();
}

void ViewController::undo() {
    // An import adds to the list from inside its progress loop.
    if (importing_ || showMode_) return;
    closeAudioEditor();
    takeRowEdit();
    history_.stack().undo();
}

void ViewController::redo() {
    if (importing_ || showMode_) return;
    closeAudioEditor();
    takeRowEdit();
    history_.stack().redo();
}

void ViewController::showOrder(const CueList& order) {
    const int oldRow = audioTable_ ? audioTable_->selectedRow() : -1;
    const CXAudio* selected = hasRow(oldRow) ? cxList[std::size_t(oldRow)].get() : nullptr;
    const CueList old = std::exchange(cxList, order);

    std::unordered_set<const CXAudio*> before, after;
    for (const auto& cue : old) before.insert(cue.get());
    for (const auto& cue : cxList) after.insert(cue.get());
    int returned = -1, kept = -1;
    for (std::size_t row = 0; row < cxList.size(); ++row) {
        const std::shared_ptr<CXAudio>& cue = cxList[row];
        if (cue.get() == selected) kept = int(row);
        if (before.count(cue.get())) continue;
        // Back in the list: stopped when it left, it starts again from its cut as a fresh cue.
        cue->player->setDelegate(this);
        cue->resetPlayer();
        if (returned < 0) returned = int(row);
    }
    // What comes back is what the operator looks for; otherwise the selection stays on its cue.
    int select = returned >= 0 ? returned : kept;
    for (const auto& cue : old)
        if (!after.count(cue.get())) silenceRemoved(cue);
    if (select < 0 && oldRow >= 0 && !cxList.empty())
        select = std::min(oldRow, int(cxList.size()) - 1);

    if (audioTable_) {
        audioTable_->reloadData();
        audioTable_->selectRowIndexes(select >= 0 ? QList<int>{select} : QList<int>{}, false);
    }
    saveList();
}

void ViewController::showFields(const ListHistory::CueFields& changes) {
    for (const auto& [cue, fields] : changes) {
        cue->restoreFields(fields);
        const auto found = std::find(cxList.begin(), cxList.end(), cue);
        if (found != cxList.end()) showFieldsOnRow(int(found - cxList.begin()));
    }
    saveList();
}

void ViewController::showFieldsOnRow(int row) {
    if (!audioTable_) return;
    // In place, not reloaded: the play button, which may say "Fading", stays as it is.
    const std::shared_ptr<CXAudio>& cue = cxList[std::size_t(row)];
    if (CXTableCell* cell = audioTable_->viewAtColumn(2, row)) {
        cell->cxAudioTitle()->setText(QString::fromStdString(cue->audioTitle));
        cell->cxAudioTitle()->setCursorPosition(0);
    }
    if (CXTableCell* cell = audioTable_->viewAtColumn(3, row))
        CueIcons::showCue(*cue, cell->cxPersistExtendIcon(), cell->cxCutIcon(), cell->cxFadeIcon(),
                          cell->cxRepeatIcon());
    showRoute(row);
    showCueNumber(row);
    if (CXTableCell* cell = audioTable_->viewAtColumn(4, row)) {
        // A playing row's start label shows the position, which the scrub pass keeps.
        if (!cue->player->isPlaying()) cell->cxStartTime()->setText(formatTime(cue->startTime));
        cell->cxEndTime()->setText(formatTime(cue->endTime));
        cell->cxLengthSlider()->setMinValue(cue->startTime);
        cell->cxLengthSlider()->setMaxValue(cue->endTime);
    }
    if (CXTableCell* cell = audioTable_->viewAtColumn(5, row))
        cell->cxVolumeSlider()->setFloatValue(cue->volumeLevel);
}
