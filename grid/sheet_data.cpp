#include "grid/sheet_data.h"

#include "db/utf8_text.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

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

constexpr uint32_t kWideEnds = uint32_t{1} << 31;

SheetData::RowLayout SheetData::Layout(StoredRow stored) {
    const uint32_t width = stored[0] & ~kWideEnds;
    const bool wide = (stored[0] & kWideEnds) != 0;
    const char* ends = reinterpret_cast<const char*>(stored + 1);
    return {width, wide, ends, ends + width * (wide ? sizeof(uint32_t) : sizeof(uint16_t))};
}

size_t SheetData::StoredBytes(StoredRow stored) {
    const RowLayout row = Layout(stored);
    return static_cast<size_t>(row.bytes - reinterpret_cast<const char*>(stored)) + row.end(row.width - 1);
}

std::string_view SheetData::StoredCell(StoredRow stored, int32_t column) {
    const RowLayout row = Layout(stored);
    if (static_cast<uint32_t>(column) >= row.width) return {};
    const uint32_t begin = row.begin(static_cast<uint32_t>(column));
    return {row.bytes + begin, row.end(static_cast<uint32_t>(column)) - begin};
}

SheetData::StoredRow SheetData::storedRow(int32_t row) const {
    return row >= 0 && static_cast<size_t>(row) < rows_.size() ? rows_[static_cast<size_t>(row)] : nullptr;
}

std::string_view SheetData::cellBytes(int32_t row, int32_t column) const {
    if (row < 0 || column < 0) return {};
    if (row == open_.row) {
        if (static_cast<size_t>(column) >= open_.width) return {};
        const OpenRow::Span& span = open_.cells[static_cast<size_t>(column)];
        return {open_.bytes.data() + span.offset, span.size};
    }
    const StoredRow stored = storedRow(row);
    return stored ? StoredCell(stored, column) : std::string_view();
}

bool SheetData::rowHasText(int32_t row, int32_t fromColumn) const {
    if (row == open_.row) {
        for (size_t c = static_cast<size_t>(fromColumn); c < open_.width; ++c)
            if (open_.cells[c].size) return true;
        return false;
    }
    const StoredRow stored = storedRow(row);
    if (!stored) return false;
    const RowLayout layout = Layout(stored);
    for (uint32_t c = static_cast<uint32_t>(fromColumn); c < layout.width; ++c)
        if (layout.end(c) != layout.begin(c)) return true;
    return false;
}

void SheetData::openRow(int32_t row) {
    if (row == open_.row) return;
    closeRow();
    if (const StoredRow stored = storedRow(row)) {
        const RowLayout layout = Layout(stored);
        widenOpenRow(layout.width);
        uint32_t begin = 0;
        for (uint32_t c = 0; c < layout.width; ++c) {
            open_.cells[c] = {begin, layout.end(c) - begin};
            begin = layout.end(c);
        }
        open_.bytes.assign(layout.bytes, begin);
    }
    open_.row = row;
}

void SheetData::widenOpenRow(size_t width) {
    if (width <= open_.width) return;
    if (width > open_.cells.size()) open_.cells.resize(std::max(width, 2 * open_.cells.size()));
    open_.width = width;
}

void SheetData::closeRow() {
    if (open_.row < 0) return;
    size_t width = open_.width;
    while (width > 0 && open_.cells[width - 1].size == 0) --width;
    // A row written left to right once, as a read writes it, already lies in
    // the buffer in cell order and goes over in one copy.
    size_t textBytes = 0;
    bool inOrder = true;
    for (size_t c = 0; c < width; ++c) {
        const OpenRow::Span& span = open_.cells[c];
        inOrder = inOrder && (span.size == 0 || span.offset == textBytes);
        textBytes += span.size;
    }
    if (textBytes > UINT32_MAX) throw std::length_error("row text too long");
    StoredRow packed = nullptr;
    size_t packedBytes = 0;
    if (width > 0) {
        compactIfWasteful();
        const bool wide = textBytes > UINT16_MAX;
        const size_t endBytes = wide ? sizeof(uint32_t) : sizeof(uint16_t);
        packedBytes = sizeof(uint32_t) + endBytes * width + textBytes;
        auto* head = static_cast<uint32_t*>(arena_.allocate(packedBytes, alignof(uint32_t)));
        head[0] = static_cast<uint32_t>(width) | (wide ? kWideEnds : 0);
        char* ends = reinterpret_cast<char*>(head + 1);
        char* out = ends + endBytes * width;
        uint32_t end = 0;
        for (size_t c = 0; c < width; ++c) {
            const OpenRow::Span& span = open_.cells[c];
            if (!inOrder) std::memcpy(out + end, open_.bytes.data() + span.offset, span.size);
            end += span.size;
            if (wide)
                reinterpret_cast<uint32_t*>(ends)[c] = end;
            else
                reinterpret_cast<uint16_t*>(ends)[c] = static_cast<uint16_t>(end);
        }
        if (inOrder) std::memcpy(out, open_.bytes.data(), textBytes);
        packed = head;
    }
    const size_t r = static_cast<size_t>(open_.row);
    if (r == rows_.size() && packed) rows_.push_back(nullptr);
    else if (r > rows_.size() && packed) rows_.resize(r + 1);
    if (r < rows_.size()) {
        if (rows_[r]) liveBytes_ -= StoredBytes(rows_[r]);
        rows_[r] = packed;
        liveBytes_ += packedBytes;
    }
    while (!rows_.empty() && !rows_.back()) rows_.pop_back();
    std::fill_n(open_.cells.begin(), open_.width, OpenRow::Span());
    open_.width = 0;
    open_.row = -1;
    open_.bytes.clear();
}

void SheetData::setRowCount(int32_t rows) {
    closeRow();
    rowCount_ = std::max(rows, 0);
    dropRowsFrom(rowCount_ + 1);
}

void SheetData::setColumnCount(int32_t columns) {
    closeRow();
    columnCount_ = std::max(columns, 0);
    // Texts beyond the last column are dropped.
    for (size_t r = 0; r < rows_.size(); ++r) {
        const StoredRow stored = rows_[r];
        if (!stored || Layout(stored).width <= static_cast<uint32_t>(columnCount_) + 1) continue;
        openRow(static_cast<int32_t>(r));
        std::fill(open_.cells.begin() + columnCount_ + 1, open_.cells.begin() + static_cast<ptrdiff_t>(open_.width),
                  OpenRow::Span());
        closeRow();
    }
    lastDataRowStale_ = true;
}

void SheetData::dropRowsFrom(int32_t row) {
    if (static_cast<size_t>(row) < recordOfRow_.size()) recordOfRow_.resize(static_cast<size_t>(row));
    if (static_cast<size_t>(row) >= rows_.size()) return;
    for (size_t r = static_cast<size_t>(row); r < rows_.size(); ++r)
        if (rows_[r]) liveBytes_ -= StoredBytes(rows_[r]);
    rows_.resize(static_cast<size_t>(row));
    while (!rows_.empty() && !rows_.back()) rows_.pop_back();
    lastDataRowStale_ = true;
}

QString SheetData::text(int32_t row, int32_t column) const { return FromUtf8(cellBytes(row, column)); }

QString SheetData::shownText(int32_t row, int32_t column) const {
    const std::string_view bytes = cellBytes(row, column);
    // A character takes at most 4 bytes; cut at the first line break, and
    // never inside a character.
    size_t cut = std::min(bytes.size(), static_cast<size_t>(kShownCharacters) * 4);
    cut = std::min(cut, bytes.substr(0, cut).find_first_of("\r\n"));
    while (cut < bytes.size() && cut > 0 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80) --cut;
    QString shown = FromUtf8(bytes.substr(0, cut));
    if (shown.size() > kShownCharacters) {
        shown.truncate(kShownCharacters);
        if (shown.back().isHighSurrogate()) shown.chop(1);
    } else if (cut == bytes.size()) {
        return shown;
    }
    shown += QChar(0x2026);
    return shown;
}

size_t SheetData::textBytes(const CellBlock& block) const {
    size_t bytes = 0;
    const int32_t lastRow = std::min(block.row2, std::max(static_cast<int32_t>(rows_.size()) - 1, open_.row));
    for (int32_t r = std::max(block.row1, 0); r <= lastRow; ++r)
        for (int32_t c = std::max(block.column1, 0); c <= block.column2; ++c) bytes += cellBytes(r, c).size();
    return bytes;
}

void SheetData::setTextUtf8(int32_t row, int32_t column, std::string_view bytes) {
    if (bytes.empty()) {
        // Nothing to store where nothing was written.
        if (cellBytes(row, column).empty()) return;
        openRow(row);
        open_.cells[static_cast<size_t>(column)] = {};
        if (row >= 1 && column >= 1) lastDataRowStale_ = true;
        return;
    }
    if (row != open_.row) openRow(row);
    if (open_.bytes.size() + bytes.size() > UINT32_MAX) {
        // Texts overwritten in this row pile up until it is packed.
        closeRow();
        openRow(row);
        if (open_.bytes.size() + bytes.size() > UINT32_MAX) throw std::length_error("row text too long");
    }
    widenOpenRow(static_cast<size_t>(column) + 1);
    open_.cells[static_cast<size_t>(column)] = {static_cast<uint32_t>(open_.bytes.size()),
                                                static_cast<uint32_t>(bytes.size())};
    open_.bytes.append(bytes);
    if (row >= 1 && column >= 1 && row > lastDataRow_) lastDataRow_ = row;
}

void SheetData::setText(int32_t row, int32_t column, const QString& text) {
    if (text.isEmpty()) return setTextUtf8(row, column, {});
    std::string bytes;
    AppendUtf8(text, bytes);
    setTextUtf8(row, column, bytes);
}

void SheetData::compactIfWasteful() {
    // Replaced rows stay in the arena; once they are most of it, only the
    // stored rows move to a fresh one.
    // The read's rows count as stored too: the write-back compares with them.
    if (arena_.bytes() < kCompactFromBytes || (liveBytes_ + recordBytes_) * 2 >= arena_.bytes()) return;
    Arena fresh;
    auto move = [&fresh](StoredRow stored) {
        const size_t bytes = StoredBytes(stored);
        void* moved = fresh.allocate(bytes, alignof(uint32_t));
        std::memcpy(moved, stored, bytes);
        return static_cast<StoredRow>(moved);
    };
    std::vector<StoredRow> movedRecords(records_.size());
    for (size_t i = 0; i < records_.size(); ++i)
        if (records_[i]) movedRecords[i] = move(records_[i]);
    for (size_t r = 0; r < rows_.size(); ++r) {
        StoredRow& stored = rows_[r];
        if (!stored) continue;
        // A row still as read shares the record's copy.
        const int32_t record = recordOf(static_cast<int32_t>(r));
        if (record >= 0 && stored == records_[static_cast<size_t>(record)])
            stored = movedRecords[static_cast<size_t>(record)];
        else
            stored = move(stored);
    }
    records_.swap(movedRecords);
    arena_.swap(fresh);
}

void SheetData::clearTexts(const CellBlock& block) {
    closeRow();
    const int32_t lastStored = static_cast<int32_t>(rows_.size()) - 1;
    if (block.row1 <= 0 && block.column1 <= 0 && block.row2 >= lastStored && block.column2 >= columnCount_) {
        // The whole sheet: give the memory back at once.
        forgetRead();
        decltype(rows_)().swap(rows_);
        arena_.release();
        std::string().swap(open_.bytes);
        liveBytes_ = 0;
        lastDataRow_ = 0;
        lastDataRowStale_ = false;
        return;
    }
    const int32_t lastRow = std::min(block.row2, lastStored);
    for (int32_t r = std::max(block.row1, 0); r <= lastRow; ++r) {
        const StoredRow stored = rows_[static_cast<size_t>(r)];
        if (!stored) continue;
        const int32_t lastColumn = std::min(block.column2, static_cast<int32_t>(Layout(stored).width) - 1);
        const int32_t firstColumn = std::max(block.column1, 0);
        bool any = false;
        for (int32_t c = firstColumn; c <= lastColumn && !any; ++c) any = !StoredCell(stored, c).empty();
        if (!any) continue;
        openRow(r);
        for (int32_t c = firstColumn; c <= lastColumn; ++c) open_.cells[static_cast<size_t>(c)] = {};
        closeRow();
    }
    lastDataRowStale_ = true;
}

int32_t SheetData::lastDataRow() const {
    if (lastDataRowStale_) {
        const int32_t top = std::max(static_cast<int32_t>(rows_.size()) - 1, open_.row);
        int32_t r = std::min(lastDataRow_, top);
        for (; r >= 1; --r)
            if (rowHasText(r, 1)) break;
        lastDataRow_ = std::max(r, 0);
        lastDataRowStale_ = false;
    }
    return lastDataRow_;
}

void SheetData::forgetRead() {
    std::vector<StoredRow>().swap(records_);
    std::vector<int32_t>().swap(recordOfRow_);
    std::vector<uint64_t>().swap(readNulls_);
    recordBytes_ = 0;
    readColumns_ = 0;
}

void SheetData::beginRead(int32_t firstRow, int32_t columns) {
    closeRow();
    forgetRead();
    readFirstRow_ = std::max(firstRow, 0);
    readColumns_ = std::max(columns, 0);
}

void SheetData::markReadNull(int32_t row, int32_t column) {
    if (row < readFirstRow_ || column < 0 || column > readColumns_) return;
    const size_t bit = static_cast<size_t>(row - readFirstRow_) * static_cast<size_t>(readColumns_ + 1) +
                       static_cast<size_t>(column);
    if (bit / 64 >= readNulls_.size()) readNulls_.resize(std::max(bit / 64 + 1, readNulls_.size() * 2), 0);
    readNulls_[bit / 64] |= uint64_t{1} << (bit % 64);
}

void SheetData::endRead(int32_t recordsWritten) {
    closeRow();
    const size_t count = static_cast<size_t>(std::max(recordsWritten, 0));
    records_.assign(count, nullptr);
    recordOfRow_.assign(static_cast<size_t>(readFirstRow_) + count, -1);
    for (size_t i = 0; i < count; ++i) {
        const StoredRow stored = storedRow(readFirstRow_ + static_cast<int32_t>(i));
        records_[i] = stored;
        if (stored) recordBytes_ += StoredBytes(stored);
        recordOfRow_[static_cast<size_t>(readFirstRow_) + i] = static_cast<int32_t>(i);
    }
    readNulls_.shrink_to_fit();
}

std::string_view SheetData::readText(int32_t record, int32_t column) const {
    if (record < 0 || static_cast<size_t>(record) >= records_.size() || !records_[static_cast<size_t>(record)])
        return {};
    return StoredCell(records_[static_cast<size_t>(record)], column);
}

bool SheetData::readNull(int32_t record, int32_t column) const {
    if (record < 0 || column < 0 || column > readColumns_) return false;
    const size_t bit =
        static_cast<size_t>(record) * static_cast<size_t>(readColumns_ + 1) + static_cast<size_t>(column);
    return bit / 64 < readNulls_.size() && (readNulls_[bit / 64] >> (bit % 64) & 1) != 0;
}

bool SheetData::unchangedSinceRead(int32_t row, int32_t column) const {
    const int32_t record = recordOf(row);
    return record >= 0 && cellBytes(row, column) == readText(record, column);
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
