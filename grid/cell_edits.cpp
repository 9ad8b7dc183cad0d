#include "grid/cell_edits.h"

#include "db/utf8_text.h"

#include <algorithm>
#include <stdexcept>

namespace velkin {

CellEdits::CellEdits(const QString& name, SheetData& sheet, ChangedBlock changed)
    : UndoStep(name), sheet_(sheet), changed_(std::move(changed)) {}

void CellEdits::reserve(std::size_t cells, std::size_t beforeBytes, std::size_t afterBytes) {
    cells_.reserve(cells);
    before_.reserve(beforeBytes);
    after_.reserve(afterBytes);
}

void CellEdits::add(int32_t row, int32_t column, QStringView after) {
    const std::string_view before = sheet_.textUtf8(row, column);
    const std::size_t afterStart = after_.size();
    AppendUtf8(after, after_);
    const std::string_view afterBytes = std::string_view(after_).substr(afterStart);
    // Bytes a read left that are no UTF-8 read as U+FFFD; typing that text
    // back is no change either.
    if (afterBytes == before || (!IsAscii(before) && FromUtf8(before) == after)) {
        after_.resize(afterStart);
        return;
    }
    if (afterBytes.size() > UINT32_MAX) {
        after_.resize(afterStart);
        throw std::length_error("cell text too long");
    }
    before_.append(before);
    cells_.push_back({row, column, static_cast<uint32_t>(before.size()), static_cast<uint32_t>(afterBytes.size())});
    if (cells_.size() == 1) block_ = {column, row, column, row};
    block_.column1 = std::min(block_.column1, column);
    block_.column2 = std::max(block_.column2, column);
    block_.row1 = std::min(block_.row1, row);
    block_.row2 = std::max(block_.row2, row);
}

void CellEdits::shrink() {
    cells_.shrink_to_fit();
    before_.shrink_to_fit();
    after_.shrink_to_fit();
}

std::size_t CellEdits::bytes() const {
    return sizeof(*this) + cells_.capacity() * sizeof(Cell) + before_.capacity() + after_.capacity();
}

void CellEdits::redo() { apply(true); }
void CellEdits::undo() { apply(false); }

void CellEdits::write(std::size_t end, bool forward) {
    const std::string_view texts = forward ? after_ : before_;
    std::size_t offset = 0;
    for (std::size_t i = 0; i < end; ++i) {
        const Cell& c = cells_[i];
        const uint32_t bytes = forward ? c.afterBytes : c.beforeBytes;
        // Counted before the write: when it throws, cells [0, i) are written.
        written_ = i;
        sheet_.setTextUtf8(c.row, c.column, texts.substr(offset, bytes));
        offset += bytes;
    }
    written_ = end;
}

void CellEdits::apply(bool forward) {
    if (cells_.empty()) return;
    try {
        write(cells_.size(), forward);
    } catch (...) {
        // Memory ran out inside the sheet: the cells written so far get their
        // texts back, so that the sheet shows the step wholly or not at all.
        try {
            write(written_, !forward);
        } catch (...) {
        }
        if (changed_) changed_(block_);
        throw;
    }
    if (changed_) changed_(block_);
}

RowShift::RowShift(Kind kind, SheetData& sheet, int32_t row, SheetRows rows, CellEdits::ChangedBlock changed)
    : UndoStep(kind == Kind::Insert ? QStringLiteral("Insert rows") : QStringLiteral("Delete rows")), kind_(kind),
      sheet_(sheet), row_(row), held_(std::move(rows)), changed_(std::move(changed)) {
    listBytes_ = (static_cast<std::size_t>(sheet.rowCount()) + 1) * (sizeof(void*) + sizeof(int32_t));
}

void RowShift::redo() { move(kind_ == Kind::Insert); }
void RowShift::undo() { move(kind_ != Kind::Insert); }

void RowShift::move(bool insert) {
    const int32_t count = held_.count();
    // Taken over only once the sheet has changed: a move that fails keeps them.
    held_ = insert ? sheet_.putRows(row_, held_) : sheet_.takeRows(row_, held_);
    // Fixed from the first run on: the history counts a step's size once.
    // The larger of the two sets is what the step holds at most.
    if (bytes_ == 0) {
        heldTexts_ = held_.bytes();
        bytes_ = sizeof(*this) + heldTexts_;
    }
    if (changed_) changed_({1, row_, std::max(sheet_.columnCount(), 1), row_ + count - 1});
}

}  // namespace velkin
