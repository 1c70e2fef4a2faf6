#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QStringList>
#include <QTableView>
#include <array>
#include <utility>
#include <vector>

class CXTableCell;
class QLineEdit;
class QMimeData;
class QMouseEvent;

// What the cue table asks of its controller.
class CueTableDataSource {
public:
    virtual ~CueTableDataSource() = default;
    virtual int numberOfRowsInTableView() = 0;
    // A filled cell for the column (0…6) of the row, or null.
    virtual CXTableCell* viewForTableColumn(int column, int row) = 0;
    virtual bool shouldSelectRow(int row) = 0;

    // Row drags. A drop lands in the gap above a row (the row count: below the last one) or on
    // a row itself.
    enum class DropOperation { On = 0, Above = 1 };
    // What one dragged row carries; null when the row cannot be dragged.
    virtual QMimeData* pasteboardWriterForRow(int) { return nullptr; }
    virtual Qt::DropAction validateDrop(const QMimeData*, int, DropOperation) {
        return Qt::IgnoreAction;
    }
    virtual bool acceptDrop(const QMimeData*, int, DropOperation) { return false; }
};

// The row model behind the cue table. It holds no cue data, only the row count the table last
// learned from its data source; the cells are widgets made by the controller.
class CueTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    friend class CueTableView;
    int rows_ = 0;
};

// The cue table. Cell widgets exist only for the rows in view: rows that scroll in get cells
// from the data source, rows that scroll out lose theirs. A list of thousands of cues therefore
// costs a screenful of widgets, and whoever updates a row must first ask for its existing cell.
// The cells are plain children of the viewport placed over their rows (not item-view index
// widgets, which can only be deleted when they leave, never reused).
class CueTableView : public QTableView {
    Q_OBJECT
public:
    static constexpr int kColumnCount = 7;

    explicit CueTableView(QWidget* parent = nullptr);
    ~CueTableView() override;

    void setDataSource(CueTableDataSource* dataSource);

    void setUniformRowHeight(int height);
    // The columns laid out for a text size (1.0 the normal one), with cells built anew for it;
    // the title column takes what is left.
    void setTextScale(double scale);
    int uniformRowHeight() const;

    void registerForDraggedTypes(const QStringList& types);
    const QStringList& registeredDraggedTypes() const { return draggedTypes_; }

    // The cell of a row in view, or null; never makes one.
    CXTableCell* viewAtColumn(int column, int row) const;
    // A cell for the data source to fill: one that left the view, or a new one from the
    // prototype with that identifier. Null for an unknown identifier.
    CXTableCell* makeViewWithIdentifier(const QString& identifier);

    // Puts the keyboard into the row's title, all of it selected, to rename the cue; a
    // read-only title is left alone.
    void editTitle(int row);

    // Forgets every row and cell and asks the data source again.
    void reloadData();
    int numberOfRows() const { return model_->rows_; }

    // The most recently selected row that is still selected, -1 when none is.
    int selectedRow() const;
    void selectRowIndexes(const QList<int>& rows, bool byExtendingSelection);

    // Row changes that keep the cells of the rows that stay (and their state) where they are.
    void beginUpdates() {}
    void moveRowAtIndex(int from, int to);
    void endUpdates() { syncCells(); }
    void removeRowsAtIndexes(const QList<int>& rows);

    // Makes and drops cells to match the rows in view.
    void syncCells();
    int liveCellCount() const;
    // The rows that have cells, in row order.
    QList<int> rowsInView() const;
    // The row and column a cell of a row in view stands in; (-1, -1) for any other widget.
    std::pair<int, int> locateCell(const CXTableCell* cell) const;

signals:
    // F2 on the row, or a double click on its number: the controller opens the number's editor.
    void numberEditRequested(int row);

protected:
    // The cells' controls: the wheel scrolls the table, and a click on a title is a click on
    // its row unless the row is already selected.
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Tab walks the table, then the controls of the row in hand, then leaves the table.
    bool focusNextPrevChild(bool next) override;
    void focusInEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    // Qt's own accessibility events here name items of the model by index; the table reports
    // rows of its own instead.
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void selectionChanged(const QItemSelection& selected,
                          const QItemSelection& deselected) override;
    void scrollContentsBy(int dx, int dy) override;
    void resizeEvent(QResizeEvent* event) override;
    void updateGeometries() override;
    void showEvent(QShowEvent* event) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event) const override;
    // Row drags: the selected rows leave as the data source writes them; a drag of any type
    // the table was not registered for is refused.
    void startDrag(Qt::DropActions supportedActions) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // The cells of one row in view. The index follows the row through moves and removals.
    struct LiveRow {
        QPersistentModelIndex index;
        std::array<QPointer<CXTableCell>, kColumnCount> cells;
    };

    bool titleClicked(QLineEdit* title, QMouseEvent* event);
    bool carriesRegisteredType(const QMimeData* data) const;
    // The gap or row under a point of the viewport, and the line showing a gap.
    std::pair<int, CueTableDataSource::DropOperation> proposedDrop(const QPoint& position) const;
    void showDropIndicator(int row);

    void retire(CXTableCell* cell);
    void placeCells();
    // The controls of a row that Tab stops at, in column order.
    QList<QWidget*> rowControls(int row) const;
    // The ring around whatever in the table has keyboard focus: the current row while the table
    // itself has it, else the focused control of a row. Drawn above the cells, which cover the
    // view's own focus rectangle.
    void placeFocusRing();

    CueTableModel* model_;
    CueTableDataSource* dataSource_ = nullptr;
    QStringList draggedTypes_;
    QPointer<QWidget> dropIndicator_;
    QPointer<QWidget> focusRing_;
    std::vector<LiveRow> live_;
    // Hidden cells of rows that left the view, by identifier, refilled for rows that come in:
    // scrolling then costs a fill, not a widget tree.
    QHash<QString, std::vector<QPointer<CXTableCell>>> pool_;
    bool syncing_ = false;
    // Tab is moving focus between the table and a row's controls.
    bool walkingRow_ = false;
};
