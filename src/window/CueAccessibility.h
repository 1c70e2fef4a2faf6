#pragma once

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHash>
#include <QList>
#include <QPointer>

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

// The table: the rows in view in row order, then its scroll bars.
class CueTableAccessible : public QAccessibleWidget {
public:
    explicit CueTableAccessible(CueTableView* table);
    ~CueTableAccessible() override;

    int childCount() const override;
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QAccessibleInterface* focusChild() const override;

    // The row's interface, made the first time it is asked for. Its identity is the row number,
    // as a screen reader's "row 2" stays row 2 whichever cells scroll over it.
    QAccessibleInterface* row(int row) const;

private:
    CueTableView* table() const;
    QList<QAccessibleInterface*> children() const;

    mutable QHash<int, QAccessible::Id> rows_;
};

// A cell of a row in view. Its parent is the row it stands in, not the viewport it is placed on.
class CueCellAccessible : public QAccessibleWidget {
public:
    explicit CueCellAccessible(CXTableCell* cell);

    QAccessibleInterface* parent() const override;
    QString text(QAccessible::Text t) const override;

private:
    CueTableView* table() const;
};
