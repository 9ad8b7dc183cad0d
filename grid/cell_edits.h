#pragma once
// The undoable steps of the user's: CellEdits, the texts a typed edit, a
// paste, a Delete, a fill or a replace changed, each cell with its text
// before and after; RowShift, rows inserted or deleted. Commands that the
// program runs (a read, the reset, the failure mark) write the sheet directly
// and are not steps of the user's.

#include "grid/sheet_data.h"
#include "grid/undo_history.h"

#include <QString>
#include <QStringView>
#include <functional>
#include <string>
#include <vector>

namespace velkin {

class CellEdits : public UndoStep {
public:
    // `changed` is told the block that every undo or redo rewrote.
    using ChangedBlock = std::function<void(const CellBlock&)>;

    CellEdits(const QString& name, SheetData& sheet, ChangedBlock changed);

    // Room for `cells` cells whose texts take `beforeBytes` and `afterBytes`
    // in UTF-8, so that a large step is built without regrowing.
    void reserve(std::size_t cells, std::size_t beforeBytes, std::size_t afterBytes);
    // Cell (row, column) gets `after`; the text it holds now is kept as the
    // one before. A cell whose text would stay the same is left out: kept
    // here, it would only cost memory on a large paste.
    void add(int32_t row, int32_t column, QStringView after);
    // Gives back what was reserved for cells that were left out.
    void shrink();

    void redo() override;
    void undo() override;

    // The cells the step touches; empty when it would change nothing.
    bool isEmpty() const { return cells_.empty(); }
    std::size_t bytes() const override;
    std::size_t undoBytes() const override { return before_.size(); }
    std::size_t redoBytes() const override { return after_.size(); }

    // What one cell costs a step beside its texts.
    static constexpr std::size_t kCellBytes = 4 * sizeof(int32_t);

private:
    // The texts as the sheet keeps them, UTF-8 (db/utf8_text.h), one after
    // another: a QString pair per cell would take three to five times as much.
    // A cell's texts follow those of the cells before it; the sheet keeps
    // no row of more than 4 GiB, so neither is a cell's text.
    struct Cell {
        int32_t row, column;
        uint32_t beforeBytes, afterBytes;
    };
    static_assert(sizeof(Cell) == kCellBytes);
    void apply(bool forward);
    // Writes the texts of cells [0, end) of one side into the sheet.
    void write(std::size_t end, bool forward);

    SheetData& sheet_;
    std::vector<Cell> cells_;
    std::string before_, after_;
    std::size_t written_ = 0;  // cells the last write got through
    CellBlock block_{};
    ChangedBlock changed_;
};

// Rows inserted above `row`, or deleted from it. The step holds the rows that
// are out of the sheet at the moment: before it is made, those it will put
// in (the empty inserted rows, or the empty rows a delete leaves at the end);
// once made, those it took out (the rows that fell off the end, or the
// deleted rows with their texts, records and colours).
class RowShift : public UndoStep {
public:
    enum class Kind { Insert, Delete };
    // `changed` is told the rows inserted or deleted after every undo or redo.
    RowShift(Kind kind, SheetData& sheet, int32_t row, SheetRows rows, CellEdits::ChangedBlock changed);

    void redo() override;
    void undo() override;

    std::size_t bytes() const override { return bytes_; }
    // The texts written back into the sheet; the row lists may grow to the sheet's size.
    std::size_t undoBytes() const override { return heldTexts_ + listBytes_; }
    std::size_t redoBytes() const override { return heldTexts_ + listBytes_; }

private:
    void move(bool insert);

    Kind kind_;
    SheetData& sheet_;
    int32_t row_;
    SheetRows held_;
    std::size_t bytes_ = 0, heldTexts_ = 0, listBytes_ = 0;
    CellEdits::ChangedBlock changed_;
};

}  // namespace velkin
