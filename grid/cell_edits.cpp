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

}  // namespace velkin
