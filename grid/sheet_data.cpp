#include "grid/sheet_data.h"

#include <algorithm>

namespace velkin {

namespace {
const QString kEmpty;
}

void SheetData::setRowCount(int32_t rows) {
    rowCount_ = std::max(rows, 0);
    dropRowsFrom(rowCount_ + 1);
}

void SheetData::setColumnCount(int32_t columns) {
    columnCount_ = std::max(columns, 0);
    const size_t keep = static_cast<size_t>(columnCount_) + 1;
    for (auto& row : rows_)
        if (row.size() > keep) row.resize(keep);
    lastDataRowStale_ = true;
}

void SheetData::dropRowsFrom(int32_t row) {
    if (static_cast<size_t>(row) < rows_.size()) {
        rows_.resize(static_cast<size_t>(row));
        lastDataRowStale_ = true;
    }
}

const QString& SheetData::text(int32_t row, int32_t column) const {
    if (row < 0 || column < 0 || static_cast<size_t>(row) >= rows_.size()) return kEmpty;
    const auto& cells = rows_[static_cast<size_t>(row)];
    return static_cast<size_t>(column) < cells.size() ? cells[static_cast<size_t>(column)] : kEmpty;
}

void SheetData::setText(int32_t row, int32_t column, QString text) {
    const size_t r = static_cast<size_t>(row), c = static_cast<size_t>(column);
    if (r >= rows_.size()) {
        if (text.isEmpty()) return;
        rows_.resize(r + 1);
    }
    auto& cells = rows_[r];
    if (c >= cells.size()) {
        if (text.isEmpty()) return;
        if (cells.empty()) cells.reserve(static_cast<size_t>(columnCount_) + 1);
        cells.resize(c + 1);
    }
    if (row >= 1 && column >= 1) {
        if (!text.isEmpty()) {
            if (row > lastDataRow_) lastDataRow_ = row;
        } else if (!cells[c].isEmpty()) {
            lastDataRowStale_ = true;
        }
    }
    cells[c] = std::move(text);
}

void SheetData::clearTexts(const CellBlock& block) {
    const int32_t lastStored = static_cast<int32_t>(rows_.size()) - 1;
    if (block.row1 <= 0 && block.column1 <= 0 && block.row2 >= lastStored && block.column2 >= columnCount_) {
        // The whole sheet: give the memory back at once.
        std::vector<std::vector<QString>>().swap(rows_);
        lastDataRow_ = 0;
        lastDataRowStale_ = false;
        return;
    }
    const int32_t lastRow = std::min(block.row2, lastStored);
    for (int32_t r = std::max(block.row1, 0); r <= lastRow; ++r) {
        auto& cells = rows_[static_cast<size_t>(r)];
        const int32_t lastColumn = std::min(block.column2, static_cast<int32_t>(cells.size()) - 1);
        for (int32_t c = std::max(block.column1, 0); c <= lastColumn; ++c) cells[static_cast<size_t>(c)].clear();
        if (block.column1 <= 0 && lastColumn == static_cast<int32_t>(cells.size()) - 1)
            std::vector<QString>().swap(cells);
    }
    while (!rows_.empty() && rows_.back().empty()) rows_.pop_back();
    lastDataRowStale_ = true;
}

int32_t SheetData::lastDataRow() const {
    if (lastDataRowStale_) {
        int32_t r = std::min(lastDataRow_, static_cast<int32_t>(rows_.size()) - 1);
        for (; r >= 1; --r) {
            const auto& cells = rows_[static_cast<size_t>(r)];
            if (std::any_of(cells.begin() + std::min<size_t>(1, cells.size()), cells.end(),
                            [](const QString& s) { return !s.isEmpty(); }))
                break;
        }
        lastDataRow_ = std::max(r, 0);
        lastDataRowStale_ = false;
    }
    return lastDataRow_;
}

uint32_t SheetData::backColor(int32_t row, int32_t column) const {
    for (auto it = paints_.rbegin(); it != paints_.rend(); ++it)
        if (it->first.contains(row, column)) return it->second;
    return GridColor::kWhite;
}

void SheetData::paint(const CellBlock& block, uint32_t color) {
    std::erase_if(paints_, [&](const auto& p) {
        const CellBlock& b = p.first;
        return b.row1 >= block.row1 && b.row2 <= block.row2 && b.column1 >= block.column1 &&
               b.column2 <= block.column2;
    });
    paints_.emplace_back(block, color);
}

}  // namespace velkin
