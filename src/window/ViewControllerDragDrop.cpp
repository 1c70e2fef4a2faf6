// Reordering the list by dragging rows between other rows.
#include <QMimeData>
#include <algorithm>

#include "model/CXAudio.h"
#include "window/ViewController.h"

namespace {

// The rows a drag carries: one decimal index per line, anything else skipped. Sorted and
// without repeats, since the moves below count on ascending order and a row moves only once.
std::vector<int> draggedRows(const QMimeData* info, const QString& type, int rowCount) {
    std::vector<int> rows;
    if (!info) return rows;
    for (const QByteArray& line : info->data(type).split('\n')) {
        if (line.isEmpty() ||
            !std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        bool ok = false;
        const int row = line.toInt(&ok, 10);
        if (ok && row < rowCount) rows.push_back(row);
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

}  // namespace

QMimeData* ViewController::pasteboardWriterForRow(int row) {
    // Nothing to carry: the table starts no drag at all.
    if (showMode_) return nullptr;
    auto* item = new QMimeData;
    item->setData(dragDropType, QByteArray::number(row));
    return item;
}

Qt::DropAction ViewController::validateDrop(const QMimeData*, int, DropOperation operation) {
    // A drag begun before show mode came on lands nowhere.
    return operation == DropOperation::Above && !showMode_ ? Qt::MoveAction : Qt::IgnoreAction;
}

bool ViewController::acceptDrop(const QMimeData* info, int row, DropOperation) {
    if (showMode_) return false;
    closeAudioEditor();
    const int count = int(cxList.size());
    const std::vector<int> oldRows = draggedRows(info, dragDropType, count);
    const int gap = std::clamp(row, 0, count);
    const CueList before = cxList;

    auto move = [this](int from, int to) {
        if (audioTable_) audioTable_->moveRowAtIndex(from, to);
        std::shared_ptr<CXAudio> cue = cxList[std::size_t(from)];
        cxList.erase(cxList.begin() + from);
        cxList.insert(cxList.begin() + to, std::move(cue));
    };
    if (audioTable_) audioTable_->beginUpdates();
    // Rows from above the gap close up to it one after another; rows from below line up under
    // the ones already placed.
    int takenFromAbove = 0;
    int placedFromBelow = 0;
    for (int old : oldRows) {
        if (old < gap) {
            move(old - takenFromAbove, gap - 1);
            ++takenFromAbove;
        } else {
            move(old, gap + placedFromBelow);
            ++placedFromBelow;
        }
    }
    if (audioTable_) audioTable_->endUpdates();
    history_.recordOrder(QStringLiteral("Move"), before, cxList);

    // The list is serialised here, on the GUI thread, and written on the store's worker: the
    // drop does not wait for the disk, and a later change cannot tear the save. A playing
    // cue's chain follows the new order at once.
    syncTimeline();
    store_.saveInBackground(cxList);
    QMetaObject::invokeMethod(
        this, [this] { renumberRows(); }, Qt::QueuedConnection);
    return true;
}
