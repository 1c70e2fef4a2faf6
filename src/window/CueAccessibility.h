#pragma once

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHash>
#include <QList>
#include <QPointer>
#include <utility>

class CueTableView;
class CXTableCell;

// What assistive technology sees of the cue table and of our own controls. An item view reports
// the items of its model, not widgets laid over them, so the table's rows and the controls in
// them would be invisible; here the table reports each row in view, the row its cells, and each
// cell the controls in it, so a screen reader reaches "Play" in row 2 like any other button.
namespace cueaccessibility {

// Makes the interfaces below the ones Qt hands out; done once, by the first of our widgets built.
void install();

// The table changed which rows are in view, or which cells they hold.
void rowsChanged(CueTableView* table);
// The row became current while the table has focus.
void rowFocused(CueTableView* table, int row);
// Rows whose selection changed.
void rowsSelected(CueTableView* table, const QList<int>& rows);

}  // namespace cueaccessibility

// The table: the rows in view in row order, then its scroll bars. It also answers as a table
// (count, look-up by row and column, row selection), so a screen reader's table commands
// work; only cells of rows in view exist to be looked up.
class CueTableAccessible : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit CueTableAccessible(CueTableView* table);
    ~CueTableAccessible() override;

    void* interface_cast(QAccessible::InterfaceType t) override;
    int childCount() const override;
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QAccessibleInterface* focusChild() const override;

    // The row's interface, made the first time it is asked for. Its identity is the row number,
    // as a screen reader's "row 2" stays row 2 whichever cells scroll over it.
    QAccessibleInterface* row(int row) const;

    QAccessibleInterface* cellAt(int row, int column) const override;
    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QString columnDescription(int column) const override;
    QString rowDescription(int row) const override;
    int columnCount() const override;
    int rowCount() const override;
    int selectedCellCount() const override { return int(selectedCells().size()); }
    QList<QAccessibleInterface*> selectedCells() const override;
    int selectedColumnCount() const override { return 0; }
    QList<int> selectedColumns() const override { return {}; }
    int selectedRowCount() const override { return int(selectedRows().size()); }
    QList<int> selectedRows() const override;
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override;
    // Rows are what the operator selects; a column can't be.
    bool selectRow(int row) override;
    bool selectColumn(int) override { return false; }
    bool unselectRow(int row) override;
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent*) override {}

private:
    CueTableView* table() const;
    QList<QAccessibleInterface*> children() const;

    mutable QHash<int, QAccessible::Id> rows_;
};

// A cell of a row in view. Its parent is the row it stands in, not the viewport it is placed on;
// as a table cell it knows its row and column.
class CueCellAccessible : public QAccessibleWidget, public QAccessibleTableCellInterface {
public:
    explicit CueCellAccessible(CXTableCell* cell);

    void* interface_cast(QAccessible::InterfaceType t) override;
    QAccessibleInterface* parent() const override;
    QString text(QAccessible::Text t) const override;

    bool isSelected() const override;
    QList<QAccessibleInterface*> columnHeaderCells() const override { return {}; }
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    int columnIndex() const override;
    int rowIndex() const override;
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override;

private:
    CueTableView* view() const;
    std::pair<int, int> place() const;
};
