#include "grid/sheet_data.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace velkin {

namespace {

constexpr size_t kBlockBytes = size_t{1} << 20;
constexpr size_t kPageBytes = 4096;
// Cells this long get a block of their own instead of wasting a shared block's tail.
constexpr size_t kOwnBlockBytes = kBlockBytes / 4;
// The arena is compacted only beyond this size, when more than half of it is waste.
constexpr size_t kCompactFromBytes = 8 * kBlockBytes;

size_t RoundUp(size_t n, size_t to) { return (n + to - 1) / to * to; }

}  // namespace

// ---------------------------------------------------------------------------

void* SheetData::Arena::allocate(size_t bytes, size_t align) {
    size_t pad = (align - reinterpret_cast<uintptr_t>(next_) % align) % align;
    if (bytes + pad > left_) {
        if (bytes > kOwnBlockBytes) return map(bytes);
        next_ = static_cast<char*>(map(kBlockBytes));
        left_ = kBlockBytes;
        pad = 0;
    }
    char* p = next_ + pad;
    next_ = p + bytes;
    left_ -= bytes + pad;
    return p;
}

void* SheetData::Arena::map(size_t bytes) {
    // Straight from the system, so emptying the sheet returns the memory at once.
    const size_t size = RoundUp(bytes, kPageBytes);
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) throw std::bad_alloc();
    blocks_.push_back({static_cast<char*>(base), size});
    total_ += size;
    return base;
}

void SheetData::Arena::release() {
    for (const Block& block : blocks_) munmap(block.base, block.size);
    std::vector<Block>().swap(blocks_);
    next_ = nullptr;
    left_ = 0;
    total_ = 0;
}

void SheetData::Arena::swap(Arena& other) noexcept {
    blocks_.swap(other.blocks_);
    std::swap(next_, other.next_);
    std::swap(left_, other.left_);
    std::swap(total_, other.total_);
}

template <typename T>
T* SheetData::MappedAllocator<T>::allocate(size_t n) {
    void* p = mmap(nullptr, RoundUp(sizeof(T) * std::max<size_t>(n, 1), kPageBytes), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return static_cast<T*>(p);
}

template <typename T>
void SheetData::MappedAllocator<T>::deallocate(T* p, size_t n) noexcept {
    munmap(p, RoundUp(sizeof(T) * std::max<size_t>(n, 1), kPageBytes));
}

// ---------------------------------------------------------------------------

SheetData::SheetData() = default;
SheetData::~SheetData() = default;

void SheetData::setRowCount(int32_t rows) {
    rowCount_ = std::max(rows, 0);
    dropRowsFrom(rowCount_ + 1);
}

void SheetData::setColumnCount(int32_t columns) {
    columnCount_ = std::max(columns, 0);
    // Texts beyond the last column are dropped; the rows keep their width.
    for (Row& row : rows_)
        for (int32_t c = columnCount_ + 1; c < row.width; ++c) drop(row.cells[c]);
    lastDataRowStale_ = true;
}

void SheetData::dropRowsFrom(int32_t row) {
    if (static_cast<size_t>(row) >= rows_.size()) return;
    for (size_t r = static_cast<size_t>(row); r < rows_.size(); ++r) {
        Row& line = rows_[r];
        for (int32_t c = 0; c < line.width; ++c) drop(line.cells[c]);
        liveBytes_ -= sizeof(Cell) * static_cast<size_t>(line.width);
    }
    rows_.resize(static_cast<size_t>(row));
    lastDataRowStale_ = true;
}

QString SheetData::text(int32_t row, int32_t column) const {
    if (row < 0 || column < 0 || static_cast<size_t>(row) >= rows_.size()) return QString();
    const Row& line = rows_[static_cast<size_t>(row)];
    if (column >= line.width) return QString();
    const Cell& cell = line.cells[column];
    return cell.size ? QString(reinterpret_cast<const QChar*>(cell.data), cell.size) : QString();
}

SheetData::Cell& SheetData::slot(int32_t row, int32_t column) {
    const size_t r = static_cast<size_t>(row);
    if (r >= rows_.size()) rows_.resize(r + 1);
    Row& line = rows_[r];
    if (column >= line.width) {
        const int32_t width = std::max(columnCount_, column) + 1;
        auto* cells = static_cast<Cell*>(arena_.allocate(sizeof(Cell) * static_cast<size_t>(width), alignof(Cell)));
        for (int32_t c = 0; c < width; ++c) new (cells + c) Cell(c < line.width ? line.cells[c] : Cell());
        liveBytes_ += sizeof(Cell) * static_cast<size_t>(width - line.width);
        line = {cells, width};
    }
    return line.cells[column];
}

void SheetData::drop(Cell& cell) {
    liveBytes_ -= sizeof(char16_t) * static_cast<size_t>(cell.size);
    cell = Cell();
}

void SheetData::store(Cell& cell, const QString& text) {
    drop(cell);
    const size_t bytes = sizeof(char16_t) * static_cast<size_t>(text.size());
    auto* data = static_cast<char16_t*>(arena_.allocate(bytes, alignof(char16_t)));
    std::memcpy(data, text.utf16(), bytes);
    cell = {data, text.size()};
    liveBytes_ += bytes;
}

void SheetData::setText(int32_t row, int32_t column, const QString& text) {
    const size_t r = static_cast<size_t>(row);
    if (text.isEmpty()) {
        // Nothing to store where nothing was written.
        if (r >= rows_.size() || column >= rows_[r].width) return;
        Cell& cell = rows_[r].cells[column];
        if (cell.size != 0 && row >= 1 && column >= 1) lastDataRowStale_ = true;
        drop(cell);
        return;
    }
    compactIfWasteful();
    Cell& cell = slot(row, column);
    if (row >= 1 && column >= 1 && row > lastDataRow_) lastDataRow_ = row;
    store(cell, text);
}

void SheetData::compactIfWasteful() {
    // Overwritten texts stay in the arena; once they are most of it, only the
    // live cells move to a fresh one.
    if (arena_.bytes() < kCompactFromBytes || liveBytes_ * 2 >= arena_.bytes()) return;
    Arena fresh;
    for (Row& line : rows_) {
        if (line.width == 0) continue;
        auto* cells = static_cast<Cell*>(fresh.allocate(sizeof(Cell) * static_cast<size_t>(line.width), alignof(Cell)));
        for (int32_t c = 0; c < line.width; ++c) {
            const Cell& old = line.cells[c];
            Cell moved;
            if (old.size) {
                const size_t bytes = sizeof(char16_t) * static_cast<size_t>(old.size);
                auto* data = static_cast<char16_t*>(fresh.allocate(bytes, alignof(char16_t)));
                std::memcpy(data, old.data, bytes);
                moved = {data, old.size};
            }
            new (cells + c) Cell(moved);
        }
        line.cells = cells;
    }
    arena_.swap(fresh);
}

bool SheetData::RowHasText(const Row& line, int32_t fromColumn) {
    for (int32_t c = fromColumn; c < line.width; ++c)
        if (line.cells[c].size) return true;
    return false;
}

void SheetData::clearTexts(const CellBlock& block) {
    const int32_t lastStored = static_cast<int32_t>(rows_.size()) - 1;
    if (block.row1 <= 0 && block.column1 <= 0 && block.row2 >= lastStored && block.column2 >= columnCount_) {
        // The whole sheet: give the memory back at once.
        decltype(rows_)().swap(rows_);
        arena_.release();
        liveBytes_ = 0;
        lastDataRow_ = 0;
        lastDataRowStale_ = false;
        return;
    }
    const int32_t lastRow = std::min(block.row2, lastStored);
    for (int32_t r = std::max(block.row1, 0); r <= lastRow; ++r) {
        Row& line = rows_[static_cast<size_t>(r)];
        const int32_t lastColumn = std::min(block.column2, line.width - 1);
        for (int32_t c = std::max(block.column1, 0); c <= lastColumn; ++c) drop(line.cells[c]);
    }
    while (!rows_.empty() && !RowHasText(rows_.back(), 0)) {
        liveBytes_ -= sizeof(Cell) * static_cast<size_t>(rows_.back().width);
        rows_.pop_back();
    }
    lastDataRowStale_ = true;
}

int32_t SheetData::lastDataRow() const {
    if (lastDataRowStale_) {
        int32_t r = std::min(lastDataRow_, static_cast<int32_t>(rows_.size()) - 1);
        for (; r >= 1; --r)
            if (RowHasText(rows_[static_cast<size_t>(r)], 1)) break;
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
