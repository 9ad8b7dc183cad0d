#pragma once
// SPD1, the spreadsheet grid: the widget that shows a sheet (grid/sheet_data.h)
// and lets the user work on it. The window reaches it through a current cell
// (current column and row) and, with block mode on, a block from there to the
// block end column and row; every cell is read and written as text. The
// database commands work on the sheet itself, and the window shows what they
// changed in one step (showSheetChanges).
// The user types into cells and copies and pastes blocks with Ctrl+C / Ctrl+V,
// inserts and deletes rows, finds and replaces, fills down, and moves with
// the keys spreadsheet users press (the README's table of the grid's keys).

#include "grid/sheet_data.h"
#include "grid/undo_history.h"

#include <QTableView>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <string_view>
#include <vector>

namespace velkin {

class SheetModel;
class CellEdits;
class FindBar;

// What the find bar looks for in the data rows.
struct FindQuery {
    QString text;
    bool matchCase = false;
    bool wholeCell = false;  // the cell's whole text, not a part of it
};

enum class GridAction : int32_t {
    ActivateCell = 0,  // make the current cell the active cell
    ClearText = 12,    // clear the text of every cell of the block
};

class SpreadGrid : public QTableView {
    Q_OBJECT
public:
    // Shows `sheet`, which the window owns and which outlives the grid.
    explicit SpreadGrid(SheetData& sheet, QWidget* parent = nullptr);
    // Shows a sheet of its own.
    explicit SpreadGrid(QWidget* parent = nullptr);
    ~SpreadGrid() override;

    // Sheet size; rows and columns are counted without the header row and column.
    void setColumnCount(int32_t columns);
    int32_t columnCount() const { return sheet_.columnCount(); }
    void setRowCount(int32_t rows);
    int32_t rowCount() const { return sheet_.rowCount(); }

    // The current cell and the block.
    void setCurrentColumn(int32_t column) { column_ = column; }
    void setCurrentRow(int32_t row) { row_ = row; }
    int32_t currentRow() const { return row_; }
    int32_t currentColumn() const { return column_; }
    void setBlockEndColumn(int32_t column) { column2_ = column; }
    void setBlockEndRow(int32_t row) { row2_ = row; }
    void setBlockMode(bool on) { blockMode_ = on; }

    void doAction(GridAction action);
    int32_t lastDataRow() const { return sheet_.lastDataRow(); }

    // Text of the current cell. Writing outside the sheet throws error 9.
    QString cellText() const { return sheet_.text(row_, column_); }
    void setCellText(QString text);
    void setCellText(int64_t number);
    // UTF-8 bytes (db/utf8_text.h), kept as they are: the way a read hands over its values.
    // A value the memory cannot hold throws error 7, and the sheet stays as it was.
    void setCellText(std::string_view utf8);

    // Back colour of the current cell, or of the block in block mode.
    uint32_t backColor() const { return sheet_.backColor(row_, column_); }
    void setBackColor(uint32_t color);
    // Every cell of the sheet back to white.
    void clearBackColors();

    // The redraw switch: while off the screen keeps its old picture.
    void setRedraw(bool on);

    // Puts the text of an open cell editor into its cell, so a command started
    // while the user is still typing sees what was typed.
    void commitPendingEdit();
    bool isEditing() const { return state() == QAbstractItemView::EditingState; }

    // Clipboard, as spreadsheet programs exchange blocks. Paste starts at the
    // active cell; a block that does not fit the sheet, or the memory, is
    // refused whole.
    void copySelection();
    void pasteClipboard();
    void clearSelection();

    // The user's own changes (typed edits, pastes, Delete) can be taken back
    // with Ctrl+Z and made again with Ctrl+Y or Ctrl+Shift+Z. The history
    // keeps the newest steps within kMaxUndoSteps and kMaxUndoBytes
    // (grid/undo_history.h); an undo or redo the memory cannot hold is refused.
    // None of these, nor a key, lets an exception out: Qt's event loop could
    // not pass it on, and the window would end with the user's grid.
    void editCell(int32_t row, int32_t column, const QString& text);
    void undo();
    void redo();
    // Commands that replace the whole sheet (a read, a reset, a committed
    // update) end the history: its steps would write into another table's rows.
    void clearUndoHistory() { undo_.clear(); }
    static constexpr size_t kMaxUndoSteps = 100;
    static constexpr size_t kMaxUndoBytes = size_t{256} << 20;

    // Rows, as Ctrl++ and Ctrl+- change them: as many empty rows as the
    // selection spans inserted above it, or the selected rows deleted. The
    // sheet keeps its row count; the header rows 1 and 2 stay where they
    // are, and an insert that would push rows holding data off the end is
    // refused with a message. Each is one step of the history.
    void insertRows();
    void deleteRows();
    // Ctrl+D: the top cell of each selected column goes into the rest of
    // the selection; one selected row takes the row above it.
    void fillDown();
    // Ctrl+X: a copy, then the selected cells cleared as one step.
    void cutSelection();

    // Find and replace in the data rows, from the current cell on and round
    // again from the top. A match becomes the current cell. Replace changes
    // the current cell when it matches and goes on to the next match;
    // replaceAll works in the selection when it spans more than one cell,
    // else in every data row, as one step, and gives the number of cells
    // it changed.
    void showFindBar(bool replace);
    bool findNext(const FindQuery& query, bool backward);
    void replaceCurrent(const FindQuery& query, const QString& replacement);
    int64_t replaceAll(const FindQuery& query, const QString& replacement);

    // Enter in the grid or its cell editor: the next cell down, or up.
    void moveAfterEnter(bool up);
    // One cell from the current one, rows and columns counted as steps; stops at the sheet's edges.
    void moveBy(int rows, int columns);
    // Whether the open cell editor holds an entry that typing started, which
    // the arrow keys finish, as in spreadsheet programs; in an edit opened
    // by F2 or a double click they move inside the text. F2 in an entry
    // makes it such an edit.
    bool typingEntry() const { return typingEntry_; }
    void setTypingEntry(bool on) { typingEntry_ = on; }
    using QTableView::edit;
    // Ctrl+Tab and Ctrl+Shift+Tab: the next or previous control of the window.
    void leaveGrid(bool backward);

    // Scrolls the view so that `row` can be seen; the current cell, the
    // selection and every text stay as they are.
    void revealRow(int32_t row);

    const SheetData& sheet() const { return sheet_; }

    // Shows what a command changed in the sheet: its size, and the cells of
    // `block` (sheet rows and columns), told to the view as one range.
    void showSheetChanges(const CellBlock& block);
    // A command emptied the sheet: shown whole, and the undo history ends.
    void showSheetEmptied();
    // Makes sheet cell (row, column) the current one and brings it into view.
    void activateCell(int32_t row, int32_t column);

signals:
    // A paste that does not fit the sheet or the memory was refused whole, or
    // an undo, redo, Delete or typed edit for want of memory; `why` says so to the user.
    void pasteRefused(const QString& why);

protected:
    bool event(QEvent* event) override;
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    CellBlock addressedBlock() const;
    void copy();
    void paste();
    void handleKey(QKeyEvent* event);
    void clearSelected();
    void step(bool forward);
    std::unique_ptr<CellEdits> newEdits(const QString& name);
    void pushEdits(std::unique_ptr<CellEdits> edits);
    // Runs one of the user's actions, named `what` for the message when it fails.
    void guarded(const QString& what, const std::function<void()>& action);
    // Refuses `what` that would take `bytes` more than the memory holds.
    void refuseForMemory(const QString& what, size_t bytes);
    void showChangedBlock(const CellBlock& block);
    void showShiftedRows(const CellBlock& rows);
    void shiftRows(bool insert);
    void fill();
    // The selection's bounding block in sheet rows and columns, or the
    // current cell; row1 is 0 when there is neither.
    CellBlock selectedBlock() const;
    // Where Ctrl+arrow lands from (row, column), one step being (dRow, dColumn).
    std::pair<int32_t, int32_t> dataEdge(int32_t row, int32_t column, int32_t dRow, int32_t dColumn) const;
    // Makes sheet cell (row, column) the current one and brings it into view, clear of the find bar.
    void goToCell(int32_t row, int32_t column);
    void placeFindBar();
    void scheduleRefresh();
    void refresh();

    std::unique_ptr<SheetData> ownSheet_;  // when made without the window's sheet
    SheetData& sheet_;
    SheetModel* model_;
    int32_t column_ = 0, row_ = 0, column2_ = 0, row2_ = 0;
    bool blockMode_ = false;
    bool refreshPending_ = false;
    UndoHistory undo_{kMaxUndoSteps, kMaxUndoBytes};
    bool stepping_ = false;  // an undo or redo is being applied
    bool typingEntry_ = false;
    FindBar* findBar_ = nullptr;  // made when first asked for
};

}  // namespace velkin
