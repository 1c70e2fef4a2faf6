#include "window/CueAccessibility.h"

#include <QAccessibleValueInterface>
#include <QScrollBar>
#include <QWindow>
#include <algorithm>

#include "widgets/DoubleSlider.h"
#include "widgets/SymbolImageView.h"
#include "window/CXTableCell.h"
#include "window/CueTableView.h"

namespace {

QString headerTitle(const CueTableView* table, int column) {
    return table->model()->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
}

// A row as a screen reader announces it: by its cue's number, as the "#" column shows it and
// the operator calls it; a row out of view, whose cells are gone, by its place.
QString rowLabel(const CueTableView* table, int row) {
    const CXTableCell* cell = table->viewAtColumn(0, row);
    if (cell && cell->cxIndex() && !cell->cxIndex()->text().isEmpty())
        return QStringLiteral("Cue %1").arg(cell->cxIndex()->text());
    return QStringLiteral("Row %1").arg(row + 1);
}

// A column as a screen reader announces it: its title, or what its untitled buttons do.
QString columnName(const CueTableView* table, int column) {
    const QString title = headerTitle(table, column);
    if (!title.isEmpty()) return title;
    if (column == 1) return QStringLiteral("Play");
    if (column == CueTableView::kColumnCount - 1) return QStringLiteral("Edit");
    return title;
}

// A row of the table. It is no widget: rows are drawn by the view, and their cells come and go
// as they scroll, so the row reads its cells from the table each time it is asked.
class CueRowAccessible : public QAccessibleInterface {
public:
    CueRowAccessible(CueTableView* table, int row) : table_(table), row_(row) {}

    bool isValid() const override { return table_ && row_ < table_->numberOfRows(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return table_ ? table_->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override {
        return QAccessible::queryAccessibleInterface(table_);
    }

    int childCount() const override { return int(cells().size()); }
    QAccessibleInterface* child(int index) const override {
        const QList<CXTableCell*> list = cells();
        return index >= 0 && index < list.size()
                   ? QAccessible::queryAccessibleInterface(list[index])
                   : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        if (!child) return -1;
        const QList<CXTableCell*> list = cells();
        return int(list.indexOf(qobject_cast<CXTableCell*>(child->object())));
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        for (CXTableCell* cell : cells()) {
            QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(cell);
            if (iface && iface->rect().contains(x, y)) return iface;
        }
        return nullptr;
    }

    QString text(QAccessible::Text t) const override {
        if (!table_) return {};
        // Where the cue is heard, as its route label's tooltip says it.
        if (t == QAccessible::Description) {
            CXTableCell* cell = table_->viewAtColumn(3, row_);
            return cell && cell->cxRouteLabel() ? cell->cxRouteLabel()->accessibleDescription()
                                                : QString();
        }
        if (t != QAccessible::Name) return {};
        // The row's number and its cue's title, as the operator reads the row.
        QString name = rowLabel(table_, row_);
        if (CXTableCell* cell = table_->viewAtColumn(2, row_))
            if (cell->cxAudioTitle() && !cell->cxAudioTitle()->text().isEmpty())
                name += QStringLiteral(": ") + cell->cxAudioTitle()->text();
        return name;
    }
    void setText(QAccessible::Text, const QString&) override {}

    QRect rect() const override {
        if (!table_ || !isValid()) return {};
        const QAbstractItemModel* model = table_->model();
        const QRect first = table_->visualRect(model->index(row_, 0));
        const QRect last = table_->visualRect(model->index(row_, model->columnCount() - 1));
        const QRect area = first.united(last);
        return QRect(table_->viewport()->mapToGlobal(area.topLeft()), area.size());
    }

    QAccessible::Role role() const override { return QAccessible::Row; }

    QAccessible::State state() const override {
        QAccessible::State state;
        if (!table_) {
            state.invalid = true;
            return state;
        }
        state.selectable = true;
        state.multiSelectable = true;
        state.selected = table_->selectionModel()->isRowSelected(row_, {});
        const bool current = table_->currentIndex().row() == row_;
        state.focusable = true;
        state.focused = current && table_->hasFocus();
        if (cells().isEmpty()) state.invisible = state.offscreen = true;
        return state;
    }

private:
    QList<CXTableCell*> cells() const {
        QList<CXTableCell*> list;
        if (!table_) return list;
        for (int column = 0; column < CueTableView::kColumnCount; ++column)
            if (CXTableCell* cell = table_->viewAtColumn(column, row_)) list.append(cell);
        return list;
    }

    QPointer<CueTableView> table_;
    int row_;
};

// A slider over doubles reports the value it stands for, not the step its handle is on, and an
// assistive technology that sets it moves it as the user would.
class DoubleSliderAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit DoubleSliderAccessible(DoubleSlider* slider)
        : QAccessibleWidget(slider, QAccessible::Slider) {}

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    QVariant currentValue() const override {
        const DoubleSlider* s = slider();
        // What the handle shows: a value set beyond the range sits at its nearer end.
        const double low = std::min(s->minValue(), s->maxValue());
        const double high = std::max(s->minValue(), s->maxValue());
        return std::clamp(s->doubleValue(), low, high);
    }
    void setCurrentValue(const QVariant& value) override {
        if (slider()->isEnabled()) slider()->moveToValue(value.toDouble());
    }
    QVariant maximumValue() const override { return slider()->maxValue(); }
    QVariant minimumValue() const override { return slider()->minValue(); }
    QVariant minimumStepSize() const override {
        const DoubleSlider* s = slider();
        return (s->maxValue() - s->minValue()) * s->singleStep() / DoubleSlider::kSteps;
    }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) return QString::number(currentValue().toDouble(), 'g', 4);
        return QAccessibleWidget::text(t);
    }

private:
    DoubleSlider* slider() const { return static_cast<DoubleSlider*>(widget()); }
};

QAccessibleInterface* factory(const QString& className, QObject* object) {
    if (className == QLatin1String("CueTableView"))
        return new CueTableAccessible(static_cast<CueTableView*>(object));
    if (className == QLatin1String("CXTableCell"))
        return new CueCellAccessible(static_cast<CXTableCell*>(object));
    if (className == QLatin1String("DoubleSlider"))
        return new DoubleSliderAccessible(static_cast<DoubleSlider*>(object));
    // An option icon is a picture whose name is its state and whose description says which
    // option it stands for.
    if (className == QLatin1String("SymbolImageView") || className == QLatin1String("WaveformView"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Graphic);
    // A plain widget shown as a dialog window reads as a dialog, not as a pane of nothing.
    if (className == QLatin1String("SettingsViewController"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Dialog);
    return nullptr;
}

CueTableAccessible* tableInterface(CueTableView* table) {
    if (!table || !QAccessible::isActive()) return nullptr;
    return dynamic_cast<CueTableAccessible*>(QAccessible::queryAccessibleInterface(table));
}

}  // namespace

namespace cueaccessibility {

void install() {
    static const bool done = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    (void)done;
}

void rowsChanged(CueTableView* table) {
    CueTableAccessible* iface = tableInterface(table);
    if (!iface) return;
    QAccessibleEvent tableEvent(iface, QAccessible::ObjectReorder);
    QAccessible::updateAccessibility(&tableEvent);
    for (int row : table->rowsInView()) {
        QAccessibleEvent rowEvent(iface->row(row), QAccessible::ObjectReorder);
        QAccessible::updateAccessibility(&rowEvent);
    }
}

void rowFocused(CueTableView* table, int row) {
    CueTableAccessible* iface = tableInterface(table);
    if (!iface || row < 0 || !table->hasFocus()) return;
    QAccessibleEvent event(iface->row(row), QAccessible::Focus);
    QAccessible::updateAccessibility(&event);
}

void rowsSelected(CueTableView* table, const QList<int>& rows) {
    CueTableAccessible* iface = tableInterface(table);
    if (!iface) return;
    for (int row : rows) {
        QAccessibleEvent event(iface->row(row), QAccessible::Selection);
        QAccessible::updateAccessibility(&event);
    }
}

}  // namespace cueaccessibility

CueTableAccessible::CueTableAccessible(CueTableView* table)
    : QAccessibleWidget(table, QAccessible::Table) {}

CueTableAccessible::~CueTableAccessible() {
    for (QAccessible::Id id : std::as_const(rows_)) QAccessible::deleteAccessibleInterface(id);
}

CueTableView* CueTableAccessible::table() const {
    return static_cast<CueTableView*>(widget());
}

void* CueTableAccessible::interface_cast(QAccessible::InterfaceType t) {
    if (t == QAccessible::TableInterface) return static_cast<QAccessibleTableInterface*>(this);
    return QAccessibleWidget::interface_cast(t);
}

QAccessibleInterface* CueTableAccessible::cellAt(int row, int column) const {
    CXTableCell* cell = table()->viewAtColumn(column, row);
    return cell ? QAccessible::queryAccessibleInterface(cell) : nullptr;
}

QString CueTableAccessible::columnDescription(int column) const {
    return column >= 0 && column < columnCount() ? columnName(table(), column) : QString();
}

QString CueTableAccessible::rowDescription(int row) const {
    return row >= 0 && row < rowCount() ? rowLabel(table(), row) : QString();
}

int CueTableAccessible::columnCount() const {
    return CueTableView::kColumnCount;
}

int CueTableAccessible::rowCount() const {
    return table()->numberOfRows();
}

QList<int> CueTableAccessible::selectedRows() const {
    QList<int> rows;
    for (const QModelIndex& index : table()->selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

QList<QAccessibleInterface*> CueTableAccessible::selectedCells() const {
    QList<QAccessibleInterface*> cells;
    for (int row : selectedRows())
        for (int column = 0; column < columnCount(); ++column)
            if (QAccessibleInterface* cell = cellAt(row, column)) cells.append(cell);
    return cells;
}

bool CueTableAccessible::isRowSelected(int row) const {
    return table()->selectionModel()->isRowSelected(row, {});
}

bool CueTableAccessible::selectRow(int row) {
    if (row < 0 || row >= rowCount()) return false;
    table()->selectRowIndexes({row}, true);
    return true;
}

bool CueTableAccessible::unselectRow(int row) {
    if (row < 0 || row >= rowCount()) return false;
    const QAbstractItemModel* model = table()->model();
    table()->selectionModel()->select(
        QItemSelection(model->index(row, 0), model->index(row, columnCount() - 1)),
        QItemSelectionModel::Deselect);
    return true;
}

QAccessibleInterface* CueTableAccessible::row(int row) const {
    auto found = rows_.constFind(row);
    if (found != rows_.constEnd())
        if (QAccessibleInterface* iface = QAccessible::accessibleInterface(*found)) return iface;
    auto* iface = new CueRowAccessible(table(), row);
    rows_.insert(row, QAccessible::registerAccessibleInterface(iface));
    return iface;
}

QList<QAccessibleInterface*> CueTableAccessible::children() const {
    QList<QAccessibleInterface*> list;
    CueTableView* view = table();
    // No header: each cell is named by its column's title already.
    for (int r : view->rowsInView()) list.append(row(r));
    // Scroll bars sit in containers of the scroll area; the container is the table's child.
    for (QScrollBar* bar : {view->verticalScrollBar(), view->horizontalScrollBar()})
        if (bar->isVisible() && bar->parentWidget() && bar->parentWidget() != view)
            list.append(QAccessible::queryAccessibleInterface(bar->parentWidget()));
    list.removeAll(nullptr);
    return list;
}

int CueTableAccessible::childCount() const {
    return int(children().size());
}

QAccessibleInterface* CueTableAccessible::child(int index) const {
    const QList<QAccessibleInterface*> list = children();
    return index >= 0 && index < list.size() ? list[index] : nullptr;
}

int CueTableAccessible::indexOfChild(const QAccessibleInterface* child) const {
    return int(children().indexOf(const_cast<QAccessibleInterface*>(child)));
}

QAccessibleInterface* CueTableAccessible::focusChild() const {
    CueTableView* view = table();
    if (view->hasFocus()) {
        const int current = view->currentIndex().row();
        return current >= 0 ? row(current) : nullptr;
    }
    return QAccessibleWidget::focusChild();
}

CueCellAccessible::CueCellAccessible(CXTableCell* cell)
    : QAccessibleWidget(cell, QAccessible::Cell) {}

CueTableView* CueCellAccessible::view() const {
    QWidget* viewport = widget()->parentWidget();
    return viewport ? qobject_cast<CueTableView*>(viewport->parentWidget()) : nullptr;
}

std::pair<int, int> CueCellAccessible::place() const {
    CueTableView* table = view();
    return table ? table->locateCell(static_cast<CXTableCell*>(widget())) : std::pair{-1, -1};
}

void* CueCellAccessible::interface_cast(QAccessible::InterfaceType t) {
    if (t == QAccessible::TableCellInterface)
        return static_cast<QAccessibleTableCellInterface*>(this);
    return QAccessibleWidget::interface_cast(t);
}

QAccessibleInterface* CueCellAccessible::parent() const {
    const int row = place().first;
    if (row >= 0)
        if (auto* iface = dynamic_cast<CueTableAccessible*>(table())) return iface->row(row);
    return QAccessibleWidget::parent();
}

QString CueCellAccessible::text(QAccessible::Text t) const {
    if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) {
        const int column = place().second;
        if (column >= 0) return headerTitle(view(), column);
    }
    return QAccessibleWidget::text(t);
}

bool CueCellAccessible::isSelected() const {
    const int row = place().first;
    return row >= 0 && view()->selectionModel()->isRowSelected(row, {});
}

int CueCellAccessible::columnIndex() const {
    return place().second;
}

int CueCellAccessible::rowIndex() const {
    return place().first;
}

QAccessibleInterface* CueCellAccessible::table() const {
    CueTableView* table = view();
    return table ? QAccessible::queryAccessibleInterface(table) : nullptr;
}
