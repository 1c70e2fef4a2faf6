#include "window/CueTableView.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <cmath>

#include "window/CXTableCell.h"
#include "window/CueAccessibility.h"

namespace {

// An outline above the cells, which would hide anything the view draws under them. It is not
// the selection: a selected row of a table without focus shows no ring.
class FocusRing : public QWidget {
public:
    explicit FocusRing(QWidget* parent) : QWidget(parent) {
        setObjectName(QStringLiteral("focusRing"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(QPen(QColor(0x2f, 0x6f, 0xd0), 2));
        painter.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
    }
};

}  // namespace

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
    cueaccessibility::install();
    setAccessibleName(QStringLiteral("Cues"));
    setModel(model_);
    // Tab goes to the row's controls and on to the window's buttons, not across the columns
    // under those controls.
    setTabKeyNavigation(false);
    connect(qApp, &QApplication::focusChanged, this, [this] { placeFocusRing(); });
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
    setTextScale(1.0);
    horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
}

void CueTableView::setTextScale(double scale) {
    // What grows with the text: the number, the buttons, the route label and the two times
    // beside the position slider, which gives up some of its length to the title; the icons
    // and the volume slider keep their size.
    // The number column holds an operator's "10.5" or "12A"; longer ones show in full in the
    // cell's tooltip.
    static const int widths[kColumnCount] = {52, 76, 260, 150, 320, 120, 60};
    static const int growing[kColumnCount] = {52, 76, 0, 42, -24, 0, 60};
    for (int c = 0; c < kColumnCount; ++c)
        if (c != 2) setColumnWidth(c, widths[c] + int(std::lround(growing[c] * (scale - 1.0))));
    // Cells shown or kept for reuse were laid out for the old size.
    for (LiveRow& live : live_)
        for (auto& cell : live.cells) retire(cell);
    live_.clear();
    for (auto& spare : pool_)
        for (const QPointer<CXTableCell>& cell : spare)
            if (cell) cell->deleteLater();
    pool_.clear();
    reloadData();
}

CueTableView::~CueTableView() {
    // Focus moves while the widget tree comes down; the ring must not be placed by then.
    disconnect(qApp, &QApplication::focusChanged, this, nullptr);
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
    setDragEnabled(!types.isEmpty());
    // The cells cover the rows and would hide the view's own indicator; the table draws its own
    // above them.
    setDropIndicatorShown(false);
}

CXTableCell* CueTableView::viewAtColumn(int column, int row) const {
    if (row < 0 || column < 0 || column >= kColumnCount) return nullptr;
    for (const LiveRow& live : live_)
        if (live.index.isValid() && live.index.row() == row) return live.cells[column];
    return nullptr;
}

CXTableCell* CueTableView::makeViewWithIdentifier(const QString& identifier) {
    auto found = pool_.find(identifier);
    if (found != pool_.end()) {
        while (!found->empty()) {
            QPointer<CXTableCell> cell = found->back();
            found->pop_back();
            if (cell) return cell;
        }
    }
    CXTableCell* cell = CXTableCell::makeViewWithIdentifier(identifier, viewport());
    if (cell)
        for (QWidget* control : cell->findChildren<QWidget*>()) control->installEventFilter(this);
    if (cell && cell->cxAudioTitle())
        // Return commits the title (its editing finishes) and gives the keys back to the table,
        // where the arrows and the show keys work again. Queued, so the title's own handlers
        // have seen the Return first.
        connect(
            cell->cxAudioTitle(), &QLineEdit::returnPressed, this,
            [this] { setFocus(Qt::OtherFocusReason); }, Qt::QueuedConnection);
    return cell;
}

QList<int> CueTableView::rowsInView() const {
    QList<int> rows;
    for (const LiveRow& live : live_)
        if (live.index.isValid()) rows.append(live.index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::pair<int, int> CueTableView::locateCell(const CXTableCell* cell) const {
    if (!cell) return {-1, -1};
    for (const LiveRow& live : live_)
        for (int column = 0; column < kColumnCount; ++column)
            if (live.cells[column] == cell && live.index.isValid())
                return {live.index.row(), column};
    return {-1, -1};
}

int CueTableView::liveCellCount() const {
    int count = 0;
    for (const LiveRow& live : live_)
        for (const auto& cell : live.cells) count += cell ? 1 : 0;
    return count;
}

void CueTableView::retire(CXTableCell* cell) {
    if (!cell) return;
    cell->hide();
    pool_[cell->objectName()].push_back(cell);
}

void CueTableView::reloadData() {
    const int selected = selectedRow();
    model_->beginResetModel();
    model_->rows_ = dataSource_ ? std::max(0, dataSource_->numberOfRowsInTableView()) : 0;
    model_->endResetModel();
    for (LiveRow& live : live_)
        for (auto& cell : live.cells) retire(cell);
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
    // The cells followed their cues; rows by number now hold other cells.
    cueaccessibility::rowsChanged(this);
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

    // Rows that left the view, or left the table, give their cells back.
    std::vector<bool> covered(first >= 0 ? std::size_t(last - first + 1) : 0, false);
    bool changed = false;
    auto gone = std::remove_if(live_.begin(), live_.end(), [&](LiveRow& live) {
        const int row = live.index.isValid() ? live.index.row() : -1;
        if (row >= first && row <= last && first >= 0 && !covered[std::size_t(row - first)]) {
            covered[std::size_t(row - first)] = true;
            return false;
        }
        for (auto& cell : live.cells) retire(cell);
        changed = true;
        return true;
    });
    live_.erase(gone, live_.end());

    if (first >= 0 && dataSource_) {
        for (int row = first; row <= last; ++row) {
            if (covered[std::size_t(row - first)]) continue;
            LiveRow live{QPersistentModelIndex(model_->index(row, 0)), {}};
            for (int column = 0; column < kColumnCount; ++column)
                live.cells[column] = dataSource_->viewForTableColumn(column, row);
            live_.push_back(std::move(live));
            changed = true;
        }
    }
    placeCells();
    syncing_ = false;
    if (changed) cueaccessibility::rowsChanged(this);
}

void CueTableView::placeCells() {
    for (const LiveRow& live : live_) {
        const int row = live.index.row();
        for (int column = 0; column < kColumnCount; ++column) {
            CXTableCell* cell = live.cells[column];
            if (!cell) continue;
            if (cell->parentWidget() != viewport()) cell->setParent(viewport());
            cell->setGeometry(visualRect(model_->index(row, column)));
            if (!cell->isVisible()) cell->show();
        }
    }
    placeFocusRing();
}

QList<QWidget*> CueTableView::rowControls(int row) const {
    QList<QWidget*> controls;
    auto add = [&](QWidget* control) {
        if (control && control->isVisible() && control->isEnabled()) controls.append(control);
    };
    if (CXTableCell* cell = viewAtColumn(1, row)) add(cell->cxPlayButton());
    // A locked title (show mode) is no stop: focused, it would keep Space from Go.
    if (CXTableCell* cell = viewAtColumn(2, row))
        if (cell->cxAudioTitle() && !cell->cxAudioTitle()->isReadOnly()) add(cell->cxAudioTitle());
    if (CXTableCell* cell = viewAtColumn(4, row)) add(cell->cxLengthSlider());
    if (CXTableCell* cell = viewAtColumn(5, row)) add(cell->cxVolumeSlider());
    if (CXTableCell* cell = viewAtColumn(6, row)) add(cell->cxEditButton());
    return controls;
}

bool CueTableView::focusNextPrevChild(bool next) {
    QWidget* focus = QApplication::focusWidget();
    // The row in hand: the one whose control has focus, else the selected one.
    int row = -1;
    for (QWidget* w = focus; w && w != this; w = w->parentWidget())
        if (auto* cell = qobject_cast<CXTableCell*>(w)) {
            row = locateCell(cell).first;
            break;
        }
    if (row < 0) row = selectedRow();
    if (row >= 0 && focus == this && !viewAtColumn(1, row)) {
        scrollTo(model_->index(row, 0));
        syncCells();
    }

    QList<QWidget*> stops{this};
    stops += rowControls(row);
    const int at = std::max<qsizetype>(0, stops.indexOf(focus));
    const int to = at + (next ? 1 : -1);
    const Qt::FocusReason reason = next ? Qt::TabFocusReason : Qt::BacktabFocusReason;
    if (to >= 0 && to < stops.size()) {
        walkingRow_ = true;
        stops[to]->setFocus(reason);
        walkingRow_ = false;
        return true;
    }
    // Past either end: the table's neighbour in the window's own order. The rows' controls are
    // not in that order (they take focus only through the table), so it never lands on another
    // row's.
    for (QWidget* w = next ? nextInFocusChain() : previousInFocusChain(); w && w != this;
         w = next ? w->nextInFocusChain() : w->previousInFocusChain()) {
        if (isAncestorOf(w) || w->window() != window()) continue;
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisible() && w->isEnabled()) {
            w->setFocus(reason);
            return true;
        }
    }
    setFocus(reason);
    return true;
}

void CueTableView::focusInEvent(QFocusEvent* event) {
    QTableView::focusInEvent(event);
    // Shift+Tab from the window's buttons comes back into the row at its last control, the way
    // Tab left it.
    if (event->reason() == Qt::BacktabFocusReason && !walkingRow_) {
        const QList<QWidget*> controls = rowControls(selectedRow());
        if (!controls.isEmpty()) {
            controls.last()->setFocus(Qt::BacktabFocusReason);
            return;
        }
    }
    placeFocusRing();
    cueaccessibility::rowFocused(this, currentIndex().row());
}

void CueTableView::keyPressEvent(QKeyEvent* event) {
    const bool plainKey = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    // F2 opens the cue's number, Shift+F2 its title: Return and Enter come from Go pedals and
    // button boxes too, and the Space after them would replace the whole selected title. Only
    // the table's own key, not one a title field passes up.
    const bool shifted = (event->modifiers() & ~Qt::KeypadModifier) == Qt::ShiftModifier;
    if (event->key() == Qt::Key_F2 && (plainKey || shifted) && hasFocus() && selectedRow() >= 0) {
        if (shifted)
            editTitle(selectedRow());
        else
            emit numberEditRequested(selectedRow());
        event->accept();
        return;
    }
    const bool arrow = event->key() == Qt::Key_Up || event->key() == Qt::Key_Down;
    if (arrow && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier &&
        !selectionModel()->hasSelection() && numberOfRows() > 0) {
        // Nothing selected yet: the first arrow selects the row in hand rather than the one
        // past it, so the first cue can be reached from a fresh start.
        const int row = currentIndex().isValid() ? currentIndex().row() : 0;
        selectRowIndexes({row}, false);
        scrollTo(model_->index(row, 0));
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

void CueTableView::editTitle(int row) {
    if (row < 0 || row >= model_->rows_) return;
    scrollTo(model_->index(row, 2));
    syncCells();
    CXTableCell* cell = viewAtColumn(2, row);
    QLineEdit* title = cell ? cell->cxAudioTitle() : nullptr;
    // A locked title (show mode) keeps the keyboard on the table, where the show keys work.
    if (!title || title->isReadOnly()) return;
    title->setFocus(Qt::OtherFocusReason);
    title->selectAll();
}

bool CueTableView::eventFilter(QObject* watched, QEvent* event) {
    // The view filters its own scroll bars too; only the cells' controls are handled here.
    auto* control = qobject_cast<QWidget*>(watched);
    if (!control || !viewport()->isAncestorOf(control))
        return QTableView::eventFilter(watched, event);
    switch (event->type()) {
        case QEvent::Wheel:
            // The wheel over a row scrolls the table; a row's slider under the pointer must not
            // take it as a change of volume or position. Handed to the viewport, which scrolls.
            QCoreApplication::sendEvent(viewport(), event);
            return true;
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            if (auto* title = qobject_cast<QLineEdit*>(watched))
                return titleClicked(title, static_cast<QMouseEvent*>(event));
            if (event->type() == QEvent::MouseButtonDblClick &&
                watched->objectName() == QLatin1String("cxIndex")) {
                const int row =
                    locateCell(qobject_cast<CXTableCell*>(control->parentWidget())).first;
                if (row >= 0) {
                    selectRowIndexes({row}, false);
                    emit numberEditRequested(row);
                    return true;
                }
            }
            break;
        case QEvent::ContextMenu:
            // A title not being edited is part of its row: the row's menu, not the text's.
            if (auto* title = qobject_cast<QLineEdit*>(watched); title && !title->hasFocus()) {
                event->ignore();
                return true;
            }
            break;
        case QEvent::FocusIn:
            if (auto* title = qobject_cast<QLineEdit*>(watched)) title->setCursor(Qt::IBeamCursor);
            break;
        case QEvent::FocusOut:
            if (auto* title = qobject_cast<QLineEdit*>(watched)) title->setCursor(Qt::ArrowCursor);
            break;
        default:
            break;
    }
    return QTableView::eventFilter(watched, event);
}

bool CueTableView::titleClicked(QLineEdit* title, QMouseEvent* event) {
    // While the title is being edited a click places the cursor, as in any text field.
    if (title->hasFocus()) return false;
    const int row = locateCell(qobject_cast<CXTableCell*>(title->parentWidget())).first;
    if (row < 0) return false;
    const bool plain = event->button() == Qt::LeftButton &&
                       (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    const bool aloneSelected = selectedRow() == row && selectionModel()->selectedRows().size() == 1;
    if (plain && (event->type() == QEvent::MouseButtonDblClick || aloneSelected)) {
        selectRowIndexes({row}, false);
        editTitle(row);
        return true;
    }
    // Any other click is a click on the row: the table selects it (with the modifiers' usual
    // meaning, or starts a row drag) and keeps the keyboard, so the show keys still work.
    event->ignore();
    return true;
}

void CueTableView::focusOutEvent(QFocusEvent* event) {
    QTableView::focusOutEvent(event);
    placeFocusRing();
}

void CueTableView::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QAbstractItemView::currentChanged(current, previous);
    placeFocusRing();
    if (current.row() != previous.row()) cueaccessibility::rowFocused(this, current.row());
}

void CueTableView::selectionChanged(const QItemSelection& selected,
                                    const QItemSelection& deselected) {
    QAbstractItemView::selectionChanged(selected, deselected);
    if (!QAccessible::isActive()) return;
    QList<int> rows;
    for (const QItemSelection* part : {&selected, &deselected})
        for (const QItemSelectionRange& range : *part)
            for (int row = range.top(); row <= range.bottom(); ++row) rows.append(row);
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    cueaccessibility::rowsSelected(this, rows);
}

void CueTableView::placeFocusRing() {
    QRect area;
    QWidget* focus = QApplication::focusWidget();
    if (focus && focus == this) {
        const int row = currentIndex().row();
        if (row >= 0)
            area = visualRect(model_->index(row, 0))
                       .united(visualRect(model_->index(row, kColumnCount - 1)));
    } else if (focus && focus->isVisible() && viewport()->isAncestorOf(focus)) {
        area = QRect(focus->mapTo(viewport(), QPoint(0, 0)), focus->size()).adjusted(-2, -2, 2, 2);
    }
    area = area.intersected(viewport()->rect());
    if (area.isEmpty()) {
        if (focusRing_) focusRing_->hide();
        return;
    }
    if (!focusRing_) focusRing_ = new FocusRing(viewport());
    focusRing_->setGeometry(area);
    focusRing_->raise();
    focusRing_->show();
}

void CueTableView::updateGeometries() {
    QTableView::updateGeometries();
    // Column widths or the header moved: cells follow their items.
    placeCells();
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
