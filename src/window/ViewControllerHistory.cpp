// Undo and redo: a step gives back the cues themselves or their stored fields, so nothing that
// stays in the list is rebuilt and a playing cue plays on.
#include <algorithm>
#include <unordered_set>

#include "model/CXAudio.h"
#include "window/ViewController.h"

void ViewController::undo() {
    // An import adds to the list from inside its progress loop.
    if (importing_) return;
    closeAudioEditor();
    history_.stack().undo();
}

void ViewController::redo() {
    if (importing_) return;
    closeAudioEditor();
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
    store_.save(cxList, cxList.empty() ? ListStore::SaveCause::UserEmptiedList
                                       : ListStore::SaveCause::Change);
}

void ViewController::showFields(const std::shared_ptr<CXAudio>& cue, const nlohmann::json& fields) {
    cue->restoreFields(fields);
    if (audioTable_) audioTable_->reloadData();
    saveList();
}
