#include "window/CueTableView.h"

#include <QHeaderView>
#include <QScrollBar>
#include <algorithm>

#include "window/CXTableCell.h"

int CueTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

int CueTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : CueTableView::kColumnCount;
}

QVariant CueTableModel::data(const QModelIndex&, int) const {
    return {};
}

QVariant CueTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) return {};
    if (role == Qt::DisplayRole) {
        static const char* const titles[CueTableView::kColumnCount] = {
            "#", "", "Title", "Options", "Position", "Volume", ""};
        if (section >= 0 && section < CueTableView::kColumnCount) return titles[section];
    }
    if (role == Qt::TextAlignmentRole) return int(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

Qt::ItemFlags CueTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::ItemIsDropEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

CueTableView::CueTableView(QWidget* parent) : QTableView(parent), model_(new CueTableModel(this)) {
    setModel(model_);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(false);
    setAlternatingRowColors(true);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setMinimumSectionSize(1);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionsClickable(false);
    horizontalHeader()->setMinimumSectionSize(24);
    static const int widths[kColumnCount] = {40, 76, 260, 100, 320, 120, 60};
    for (int c = 0; c < kColumnCount; ++c) setColumnWidth(c, widths[c]);
    horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
}

void CueTableView::setDataSource(CueTableDataSource* dataSource) {
    dataSource_ = dataSource;
    reloadData();
}

void CueTableView::setUniformRowHeight(int height) {
    verticalHeader()->setDefaultSectionSize(height);
    syncCells();
}

int CueTableView::uniformRowHeight() const {
    return verticalHeader()->defaultSectionSize();
}

void CueTableView::registerForDraggedTypes(const QStringList& types) {
    draggedTypes_ = types;
    setAcceptDrops(!types.isEmpty());
}

CXTableCell* CueTableView::viewAtColumn(int column, int row) const {
    if (row < 0 || row >= model_->rows_ || column < 0 || column >= kColumnCount) return nullptr;
    return qobject_cast<CXTableCell*>(indexWidget(model_->index(row, column)));
}

void CueTableView::reloadData() {
    const int selected = selectedRow();
    model_->beginResetModel();
    model_->rows_ = dataSource_ ? std::max(0, dataSource_->numberOfRowsInTableView()) : 0;
    model_->endResetModel();
    // The view releases every index widget on a reset; our record of them is void.
    live_.clear();
    // Like a table that keeps its selection across a reload while the row still exists.
    if (selected >= 0 && selected < model_->rows_) selectRowIndexes({selected}, false);
    syncCells();
}

int CueTableView::selectedRow() const {
    const QItemSelectionModel* selection = selectionModel();
    if (!selection) return -1;
    const QModelIndex current = selection->currentIndex();
    if (current.isValid() && selection->isRowSelected(current.row())) return current.row();
    const QModelIndexList rows = selection->selectedRows();
    return rows.isEmpty() ? -1 : rows.last().row();
}

void CueTableView::selectRowIndexes(const QList<int>& rows, bool byExtendingSelection) {
    QItemSelection selection;
    for (int row : rows) {
        if (row < 0 || row >= model_->rows_) continue;
        selection.select(model_->index(row, 0), model_->index(row, kColumnCount - 1));
    }
    QItemSelectionModel::SelectionFlags flags = QItemSelectionModel::Select;
    if (!byExtendingSelection) flags |= QItemSelectionModel::Clear;
    selectionModel()->select(selection, flags);
    if (!rows.isEmpty() && rows.last() >= 0 && rows.last() < model_->rows_)
        selectionModel()->setCurrentIndex(model_->index(rows.last(), 0),
                                          QItemSelectionModel::NoUpdate);
}

void CueTableView::moveRowAtIndex(int from, int to) {
    if (from == to || from < 0 || to < 0 || from >= model_->rows_ || to >= model_->rows_) return;
    // Qt names the destination as the row the moved one goes before.
    const int destination = to > from ? to + 1 : to;
    model_->beginMoveRows({}, from, from, {}, destination);
    model_->endMoveRows();
}

void CueTableView::removeRowsAtIndexes(const QList<int>& rows) {
    QList<int> sorted = rows;
    std::sort(sorted.begin(), sorted.end(), std::greater<int>());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    for (int row : sorted) {
        if (row < 0 || row >= model_->rows_) continue;
        model_->beginRemoveRows({}, row, row);
        --model_->rows_;
        model_->endRemoveRows();
    }
    syncCells();
}

void CueTableView::syncCells() {
    if (syncing_) return;
    syncing_ = true;
    int first = -1, last = -1;
    if (model_->rows_ > 0 && viewport()->height() > 0 && isVisible()) {
        first = rowAt(0);
        last = rowAt(viewport()->height() - 1);
        if (last < 0) last = model_->rows_ - 1;
    }

    // Drop the cells of rows that left the view. Cells of removed rows are already released by
    // the view; their indexes read as invalid.
    auto gone = std::remove_if(live_.begin(), live_.end(), [&](const LiveCell& live) {
        const int row = live.index.row();
        if (live.index.isValid() && live.cell && row >= first && row <= last) return false;
        if (live.index.isValid() && indexWidget(live.index) == live.cell)
            setIndexWidget(live.index, nullptr);
        if (live.cell) live.cell->deleteLater();
        return true;
    });
    live_.erase(gone, live_.end());

    if (first >= 0 && dataSource_) {
        for (int row = first; row <= last; ++row) {
            for (int column = 0; column < kColumnCount; ++column) {
                const QModelIndex index = model_->index(row, column);
                if (indexWidget(index)) continue;
                CXTableCell* cell = dataSource_->viewForTableColumn(column, row);
                if (!cell) continue;
                setIndexWidget(index, cell);
                live_.push_back({QPersistentModelIndex(index), cell});
            }
        }
    }
    syncing_ = false;
}

void CueTableView::scrollContentsBy(int dx, int dy) {
    QTableView::scrollContentsBy(dx, dy);
    if (dy != 0) syncCells();
}

void CueTableView::resizeEvent(QResizeEvent* event) {
    QTableView::resizeEvent(event);
    syncCells();
}

void CueTableView::showEvent(QShowEvent* event) {
    QTableView::showEvent(event);
    syncCells();
}

QItemSelectionModel::SelectionFlags CueTableView::selectionCommand(const QModelIndex& index,
                                                                   const QEvent* event) const {
    if (index.isValid() && dataSource_ && !dataSource_->shouldSelectRow(index.row()))
        return QItemSelectionModel::NoUpdate;
    return QTableView::selectionCommand(index, event);
}
