// Row drags on the cue table. The table only carries rows between its own gaps; what a row is
// written as and what a drop does are the data source's.
#include <QDrag>
#include <QDragEnterEvent>
#include <QMimeData>
#include <algorithm>

#include "window/CueTableView.h"

namespace {
// How near a row's top or bottom edge, in pixels, the pointer must be to point at the gap there
// rather than at the row.
constexpr int kGapMargin = 5;
}  // namespace

bool CueTableView::carriesRegisteredType(const QMimeData* data) const {
    if (!data) return false;
    return std::any_of(draggedTypes_.begin(), draggedTypes_.end(),
                       [data](const QString& type) { return data->hasFormat(type); });
}

std::pair<int, CueTableDataSource::DropOperation> CueTableView::proposedDrop(
    const QPoint& position) const {
    using Op = CueTableDataSource::DropOperation;
    const int row = rowAt(position.y());
    if (row < 0) return {numberOfRows(), Op::Above};
    const QRect rect = visualRect(model()->index(row, 0));
    const int margin = std::min(kGapMargin, rect.height() / 3);
    if (position.y() < rect.top() + margin) return {row, Op::Above};
    if (position.y() > rect.bottom() - margin) return {row + 1, Op::Above};
    return {row, Op::On};
}

void CueTableView::showDropIndicator(int row) {
    if (row < 0) {
        if (dropIndicator_) dropIndicator_->hide();
        return;
    }
    if (!dropIndicator_) {
        dropIndicator_ = new QWidget(viewport());
        dropIndicator_->setObjectName(QStringLiteral("dropIndicator"));
        dropIndicator_->setAttribute(Qt::WA_TransparentForMouseEvents);
        dropIndicator_->setAutoFillBackground(true);
        QPalette palette = dropIndicator_->palette();
        palette.setColor(QPalette::Window, palette.color(QPalette::Highlight));
        dropIndicator_->setPalette(palette);
    }
    const int y = row < numberOfRows() ? rowViewportPosition(row)
                                       : rowViewportPosition(row - 1) + rowHeight(row - 1);
    dropIndicator_->setGeometry(0, std::max(0, y - 1), viewport()->width(), 3);
    dropIndicator_->raise();
    dropIndicator_->show();
}

void CueTableView::startDrag(Qt::DropActions) {
    if (!dataSource_) return;
    QList<int> rows;
    for (const QModelIndex& index : selectionModel()->selectedRows()) rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    // One item per row, its text a line of its own under each type it carries.
    auto* data = new QMimeData;
    for (int row : rows) {
        std::unique_ptr<QMimeData> item(dataSource_->pasteboardWriterForRow(row));
        if (!item) continue;
        for (const QString& format : item->formats()) {
            QByteArray lines = data->data(format);
            if (!lines.isEmpty()) lines.append('\n');
            data->setData(format, lines + item->data(format));
        }
    }
    if (data->formats().isEmpty()) {
        delete data;
        return;
    }
    auto* drag = new QDrag(this);
    drag->setMimeData(data);
    drag->exec(Qt::MoveAction, Qt::MoveAction);
    showDropIndicator(-1);
}

void CueTableView::dragEnterEvent(QDragEnterEvent* event) {
    if (!carriesRegisteredType(event->mimeData())) {
        event->ignore();
        return;
    }
    setState(DraggingState);
    event->acceptProposedAction();
}

void CueTableView::dragMoveEvent(QDragMoveEvent* event) {
    // The base view scrolls the table when the pointer nears an edge; the answer is ours.
    QTableView::dragMoveEvent(event);
    const auto [row, operation] = proposedDrop(event->position().toPoint());
    const Qt::DropAction action = carriesRegisteredType(event->mimeData()) && dataSource_
                                      ? dataSource_->validateDrop(event->mimeData(), row, operation)
                                      : Qt::IgnoreAction;
    if (action == Qt::IgnoreAction) {
        showDropIndicator(-1);
        event->ignore();
        return;
    }
    showDropIndicator(row);
    event->setDropAction(action);
    event->accept();
}

void CueTableView::dragLeaveEvent(QDragLeaveEvent* event) {
    QTableView::dragLeaveEvent(event);
    showDropIndicator(-1);
}

void CueTableView::dropEvent(QDropEvent* event) {
    stopAutoScroll();
    setState(NoState);
    showDropIndicator(-1);
    const auto [row, operation] = proposedDrop(event->position().toPoint());
    if (!dataSource_ || !carriesRegisteredType(event->mimeData()) ||
        dataSource_->validateDrop(event->mimeData(), row, operation) == Qt::IgnoreAction) {
        event->ignore();
        return;
    }
    if (dataSource_->acceptDrop(event->mimeData(), row, operation)) {
        event->setDropAction(Qt::MoveAction);
        event->accept();
    } else {
        event->ignore();
    }
}
