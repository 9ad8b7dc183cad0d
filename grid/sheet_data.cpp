#include "grid/sheet_data.h"

#include "db/utf8_text.h"
#include "grid/exact_form.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace velkin {

namespace {

constexpr size_t kBlockBytes = size_t{1} << 20;
// The blocks after the first: one huge page each where the system gives them
// (see Arena::mapLarge).
constexpr size_t kLargeBlockBytes = size_t{2} << 20;
constexpr size_t kPageBytes = 4096;
// Cells this long get a block of their own instead of wasting a shared block's tail.
constexpr size_t kOwnBlockBytes = kBlockBytes / 4;
// The arena is compacted only beyond this size, when more than half of it is waste.
constexpr size_t kCompactFromBytes = 8 * kBlockBytes;

size_t RoundUp(size_t n, size_t to) { return (n + to - 1) / to * to; }

}  // namespace

// ---------------------------------------------------------------------------

void* SheetData::Arena::allocate(size_t bytes, size_t align, size_t bytesAhead) {
    size_t pad = (align - reinterpret_cast<uintptr_t>(next_) % align) % align;
    if (bytes + pad > left_) {
        if (bytes > kOwnBlockBytes) return map(bytes);
        const size_t size = blocks_.empty() || bytesAhead < kLargeBlockBytes ? kBlockBytes : kLargeBlockBytes;
        next_ = static_cast<char*>(size == kLargeBlockBytes ? mapLarge() : map(size));
        left_ = size;
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

// A sheet past its first block is a large read under way: its blocks are
// filled at once, and the system's 4 KiB pages would cost a page fault every
// 4 KiB of text (3,500 faults, some 15 ms, in a 100,000-row read). A block aligned to and as
// large as a huge page, marked for one, costs a single fault, and is still
// given back whole. Where the system has no huge pages for it, the block
// works as any other. A huge page takes its memory all at once, so the end
// of a read, with less than such a block to come, goes back to small pages.
void* SheetData::Arena::mapLarge() {
    void* raw = mmap(nullptr, 2 * kLargeBlockBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    char* const start = static_cast<char*>(raw);
    char* const end = start + 2 * kLargeBlockBytes;
    char* const base = start + (RoundUp(reinterpret_cast<uintptr_t>(start), kLargeBlockBytes) - reinterpret_cast<uintptr_t>(start));
    if (base > start) munmap(start, static_cast<size_t>(base - start));
    if (base + kLargeBlockBytes < end) munmap(base + kLargeBlockBytes, static_cast<size_t>(end - base - kLargeBlockBytes));
#ifdef MADV_HUGEPAGE
    madvise(base, kLargeBlockBytes, MADV_HUGEPAGE);
#endif
    blocks_.push_back({base, kLargeBlockBytes});
    total_ += kLargeBlockBytes;
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
    // The row is written: it no longer holds its record's stored row.
    if (holdsReadRow(open_.row)) keepRecordsExplicitly();
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
        auto* head = static_cast<uint32_t*>(arena_.allocate(packedBytes, alignof(uint32_t), readBytesAhead()));
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
    if (recordsImplicit_ && row < readFirstRow_ + readRecords_) keepRecordsExplicitly();
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
    // A read widens the row at every cell: mostly within the columns it has room for.
    if (static_cast<size_t>(column) >= open_.width) {
        if (static_cast<size_t>(column) < open_.cells.size()) open_.width = static_cast<size_t>(column) + 1;
        else widenOpenRow(static_cast<size_t>(column) + 1);
    }
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
        // A row still as read shares the record's copy (implicit records follow their rows).
        const int32_t record = recordsImplicit_ ? -1 : recordOf(static_cast<int32_t>(r));
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

int32_t SheetData::lastReadRow() const {
    if (recordsImplicit_) return readRecords_ > 0 ? readFirstRow_ + readRecords_ - 1 : 0;
    for (size_t r = recordOfRow_.size(); r-- > 0;)
        if (recordOfRow_[r] >= 0) return static_cast<int32_t>(r);
    return 0;
}

void SheetData::forgetRead() {
    std::vector<uint32_t>().swap(exactAt_);
    std::string().swap(exactPool_);
    std::vector<StoredRow>().swap(records_);
    std::vector<int32_t>().swap(recordOfRow_);
    readRecords_ = 0;
    recordsImplicit_ = false;
    std::vector<uint64_t>().swap(readNulls_);
    std::vector<uint64_t>().swap(readUnpadded_);
    recordBytes_ = 0;
    readColumns_ = 0;
    readExpected_ = 0;
}

void SheetData::beginRead(int32_t firstRow, int32_t columns, int32_t expectedRecords) {
    closeRow();
    forgetRead();
    readFirstRow_ = std::max(firstRow, 0);
    readColumns_ = std::max(columns, 0);
    readStartBytes_ = liveBytes_;
    if (expectedRecords <= 0) return;
    // Grown step by step, each list would end with up to twice the room it
    // needs, and endRead's shrink would copy it: at a million records, some
    // megabytes more at the read's peak. Pages reserved and never written
    // take no memory.
    const auto records = std::min(expectedRecords, std::max(rowCount_ - readFirstRow_ + 1, 0));
    readExpected_ = records;
    try {
        rows_.reserve(static_cast<size_t>(readFirstRow_ + records));
        readNulls_.reserve(readBitWords(records));
        readUnpadded_.reserve(readBitWords(records));
    } catch (const std::bad_alloc&) {
        // Only room ahead of time: without it the lists grow as the read goes.
    }
}

size_t SheetData::readBytesAhead() const {
    const int64_t written = static_cast<int64_t>(rows_.size()) - readFirstRow_;
    if (readExpected_ <= 0 || written <= 0 || liveBytes_ < readStartBytes_) return SIZE_MAX;
    const int64_t left = int64_t{readExpected_} - written;
    if (left <= 0) return 0;
    return (liveBytes_ - readStartBytes_) / static_cast<size_t>(written) * static_cast<size_t>(left);
}

size_t SheetData::readCellBit(int32_t record, int32_t column) const {
    return static_cast<size_t>(record) * static_cast<size_t>(readColumns_ + 1) + static_cast<size_t>(column);
}

size_t SheetData::readBitWords(int32_t records) const {
    return (static_cast<size_t>(records) * static_cast<size_t>(readColumns_ + 1) + 63) / 64;
}

void SheetData::SetBit(std::vector<uint64_t>& bits, size_t bit) {
    // resize grows the capacity geometrically where beginRead made no room;
    // the size stays exact, so that endRead's shrink_to_fit gives the spare
    // words back.
    if (bit / 64 >= bits.size()) bits.resize(bit / 64 + 1, 0);
    bits[bit / 64] |= uint64_t{1} << (bit % 64);
}

bool SheetData::BitSet(const std::vector<uint64_t>& bits, size_t bit) {
    return bit / 64 < bits.size() && (bits[bit / 64] >> (bit % 64) & 1) != 0;
}

void SheetData::markReadNull(int32_t row, int32_t column) {
    if (row < readFirstRow_ || column < 0 || column > readColumns_) return;
    SetBit(readNulls_, readCellBit(row - readFirstRow_, column));
}

void SheetData::endRead(int32_t recordsWritten) {
    closeRow();
    const size_t count = static_cast<size_t>(std::max(recordsWritten, 0));
    readRecords_ = static_cast<int32_t>(count);
    readExpected_ = 0;
    recordsImplicit_ = true;
    for (int32_t i = 0; i < readRecords_; ++i)
        if (const StoredRow stored = recordRow(i)) recordBytes_ += StoredBytes(stored);
    // Room made for the read's every cell (beginRead) stays: it is no more
    // than they take, and its unwritten pages take no memory.
    if (readNulls_.capacity() > readBitWords(readRecords_)) readNulls_.shrink_to_fit();
    if (readUnpadded_.capacity() > readBitWords(readRecords_)) readUnpadded_.shrink_to_fit();
    if (!exactAt_.empty()) exactAt_.resize(count, 0);
    exactAt_.shrink_to_fit();
    exactPool_.shrink_to_fit();
}

std::string_view SheetData::readText(int32_t record, int32_t column) const {
    if (record < 0 || record >= readRecords_) return {};
    const StoredRow stored = recordRow(record);
    return stored ? StoredCell(stored, column) : std::string_view();
}

void SheetData::keepRecordsExplicitly() {
    if (!recordsImplicit_) return;
    std::vector<StoredRow> records(static_cast<size_t>(readRecords_));
    std::vector<int32_t> recordOfRow(static_cast<size_t>(readFirstRow_ + readRecords_), -1);
    for (int32_t i = 0; i < readRecords_; ++i) {
        records[static_cast<size_t>(i)] = recordRow(i);
        recordOfRow[static_cast<size_t>(readFirstRow_ + i)] = i;
    }
    records_.swap(records);
    recordOfRow_.swap(recordOfRow);
    recordsImplicit_ = false;
}

bool SheetData::readNull(int32_t record, int32_t column) const {
    if (record < 0 || column < 0 || column > readColumns_) return false;
    return BitSet(readNulls_, readCellBit(record, column));
}

void SheetData::setReadExact(int32_t record, int32_t column, std::string_view encoded) {
    if (record < 0 || column < 0 || column > UINT16_MAX || encoded.size() > UINT32_MAX) return;
    if (encoded == kUnpaddedExact && column <= readColumns_) {
        SetBit(readUnpadded_, readCellBit(record, column));
        return;
    }
    const auto r = static_cast<size_t>(record);
    if (r >= exactAt_.size()) exactAt_.resize(std::max(r + 1, exactAt_.size() * 2), 0);
    if (exactAt_[r] == 0) {
        // Records come in order: a new one starts its entries at the end.
        if (exactPool_.size() >= UINT32_MAX - 1) throw std::length_error("too many exact values");
        exactAt_[r] = static_cast<uint32_t>(exactPool_.size()) + 1;
        exactPool_.append(sizeof(uint16_t), '\0');
    }
    char* countAt = exactPool_.data() + (exactAt_[r] - 1);
    uint16_t count;
    std::memcpy(&count, countAt, sizeof count);
    ++count;
    std::memcpy(countAt, &count, sizeof count);
    const auto c = static_cast<uint16_t>(column);
    const auto length = static_cast<uint32_t>(encoded.size());
    exactPool_.append(reinterpret_cast<const char*>(&c), sizeof c);
    exactPool_.append(reinterpret_cast<const char*>(&length), sizeof length);
    exactPool_.append(encoded);
}

std::string_view SheetData::readExact(int32_t record, int32_t column) const {
    if (record >= 0 && column >= 0 && column <= readColumns_ && BitSet(readUnpadded_, readCellBit(record, column)))
        return kUnpaddedExact;
    if (record < 0 || static_cast<size_t>(record) >= exactAt_.size() || exactAt_[static_cast<size_t>(record)] == 0)
        return {};
    const char* at = exactPool_.data() + (exactAt_[static_cast<size_t>(record)] - 1);
    uint16_t count;
    std::memcpy(&count, at, sizeof count);
    at += sizeof count;
    for (uint16_t i = 0; i < count; ++i) {
        uint16_t c;
        uint32_t length;
        std::memcpy(&c, at, sizeof c);
        std::memcpy(&length, at + sizeof c, sizeof length);
        at += sizeof c + sizeof length;
        if (c == column) return {at, length};
        at += length;
    }
    return {};
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

bool SheetData::changedSinceRead(int32_t row, int32_t column) const {
    const int32_t record = rawRecordOf(row);
    if (record == kInsertedRow) return true;
    if (record < 0) return !cellBytes(row, column).empty();
    // A row nobody wrote since the read is its record's row: no texts to compare.
    if (row != open_.row && storedRow(row) == recordRow(record)) return false;
    return !unchangedSinceRead(row, column);
}

int32_t SheetData::lastDataColumn() const {
    // A stored row ends at its last cell holding text.
    int32_t last = 0;
    for (size_t r = 1; r < rows_.size(); ++r)
        if (rows_[r] && static_cast<int32_t>(r) != open_.row)
            last = std::max(last, static_cast<int32_t>(Layout(rows_[r]).width) - 1);
    if (open_.row >= 1)
        for (size_t c = open_.width; c-- > 1;)
            if (open_.cells[c].size) {
                last = std::max(last, static_cast<int32_t>(c));
                break;
            }
    return last;
}

bool SheetData::rowsHoldData(int32_t row, int32_t count) const {
    for (int32_t r = row; r < row + count; ++r)
        if (recordOf(r) >= 0 || rowHasText(r, 1)) return true;
    return false;
}

namespace {

using Paint = std::pair<CellBlock, uint32_t>;

bool Overlap(const CellBlock& a, const CellBlock& b) {
    return a.row1 <= b.row2 && b.row1 <= a.row2 && a.column1 <= b.column2 && b.column1 <= a.column2;
}

// Joins blocks of one colour and the same columns that touch, so that the
// list stays as short as the colours on screen are simple: an insert splits
// the read's yellow column in three, and this makes it one again. A block
// moves to the later one's place only when nothing between them covers it.
void JoinPaints(std::vector<Paint>& paints) {
    for (bool joined = true; joined;) {
        joined = false;
        for (size_t j = 1; j < paints.size() && !joined; ++j)
            for (size_t i = 0; i < j && !joined; ++i) {
                const CellBlock& a = paints[i].first;
                CellBlock& b = paints[j].first;
                if (paints[i].second != paints[j].second || a.column1 != b.column1 || a.column2 != b.column2 ||
                    a.row2 + 1 < b.row1 || b.row2 + 1 < a.row1)
                    continue;
                bool covered = false;
                for (size_t k = i + 1; k < j && !covered; ++k) covered = Overlap(paints[k].first, a);
                if (covered) continue;
                b.row1 = std::min(a.row1, b.row1);
                b.row2 = std::max(a.row2, b.row2);
                paints.erase(paints.begin() + static_cast<ptrdiff_t>(i));
                joined = true;
            }
    }
}

// Puts `count` rows holding `empty` in at `at` of a list of rows whose
// missing tail is empty, within a sheet of `size` rows: as many fall off the
// end first. Allocates nothing when the list has room for `count` more.
template <typename List>
void OpenGap(List& list, size_t at, size_t count, size_t size, typename List::value_type empty) {
    if (list.size() > size - count) list.resize(size - count);
    if (at < list.size()) list.insert(list.begin() + static_cast<ptrdiff_t>(at), count, empty);
}

// The room OpenGap needs.
template <typename List>
void ReserveGap(List& list, size_t at, size_t count, size_t size) {
    const size_t kept = std::min(list.size(), size - count);
    if (at < kept) list.reserve(kept + count);
}

template <typename List>
void CloseGap(List& list, size_t at, size_t count) {
    if (at >= list.size()) return;
    list.erase(list.begin() + static_cast<ptrdiff_t>(at),
               list.begin() + static_cast<ptrdiff_t>(std::min(at + count, list.size())));
}

}  // namespace

SheetRows SheetData::copyRows(int32_t row, int32_t count) const {
    SheetRows out;
    out.rows_.resize(static_cast<size_t>(count));
    size_t bytes = 0;
    for (int32_t i = 0; i < count; ++i) {
        SheetRows::Row& copy = out.rows_[static_cast<size_t>(i)];
        const StoredRow stored = storedRow(row + i);
        copy.record = rawRecordOf(row + i);
        copy.asRead = stored && copy.record >= 0 && stored == recordRow(copy.record);
        if (stored && !copy.asRead) bytes += StoredBytes(stored);
    }
    out.packed_.reserve(bytes);
    for (int32_t i = 0; i < count; ++i) {
        SheetRows::Row& copy = out.rows_[static_cast<size_t>(i)];
        const StoredRow stored = storedRow(row + i);
        if (!stored || copy.asRead) continue;
        copy.begin = out.packed_.size();
        copy.size = StoredBytes(stored);
        out.packed_.append(reinterpret_cast<const char*>(stored), copy.size);
    }
    const CellBlock span{INT32_MIN, row, INT32_MAX, row + count - 1};
    for (const Paint& paint : paints_) {
        if (!Overlap(paint.first, span)) continue;
        CellBlock block = paint.first;
        block.row1 = std::max(block.row1, row) - row;
        block.row2 = std::min(block.row2, row + count - 1) - row;
        out.paints_.emplace_back(block, paint.second);
    }
    return out;
}

std::vector<SheetData::StoredRow> SheetData::storeRows(const SheetRows& rows) {
    std::vector<StoredRow> stored(rows.rows_.size());
    for (size_t i = 0; i < stored.size(); ++i) {
        const SheetRows::Row& row = rows.rows_[i];
        if (row.asRead) {
            // The read it belongs to still stands: a new read ends the undo history.
            if (row.record >= 0 && row.record < readRecords_) stored[i] = recordRow(row.record);
        } else if (row.size > 0) {
            void* copy = arena_.allocate(row.size, alignof(uint32_t));
            std::memcpy(copy, rows.packed_.data() + row.begin, row.size);
            stored[i] = static_cast<StoredRow>(copy);
        }
    }
    return stored;
}

SheetRows SheetData::putRows(int32_t row, const SheetRows& rows) {
    closeRow();
    keepRecordsExplicitly();
    const int32_t count = rows.count();
    const int32_t bottom = rowCount_ - count + 1;  // the first row that falls off the end
    SheetRows out = copyRows(bottom, count);
    const std::vector<StoredRow> in = storeRows(rows);
    // The colours: blocks across `row` are cut there, those below move down.
    std::vector<Paint> paints;
    paints.reserve(2 * paints_.size() + rows.paints_.size());
    for (const Paint& paint : paints_) {
        const CellBlock& b = paint.first;
        if (b.row1 < row) paints.emplace_back(CellBlock{b.column1, b.row1, b.column2, std::min(b.row2, row - 1)},
                                              paint.second);
        if (b.row2 >= row && std::max(b.row1, row) + count <= rowCount_)
            paints.emplace_back(
                CellBlock{b.column1, std::max(b.row1, row) + count, b.column2, std::min(b.row2 + count, rowCount_)},
                paint.second);
    }
    for (const Paint& paint : rows.paints_) {
        const CellBlock& b = paint.first;
        paints.emplace_back(CellBlock{b.column1, b.row1 + row, b.column2, b.row2 + row}, paint.second);
    }
    JoinPaints(paints);
    const size_t size = static_cast<size_t>(rowCount_) + 1;
    ReserveGap(rows_, static_cast<size_t>(row), static_cast<size_t>(count), size);
    if (std::any_of(in.begin(), in.end(), [](StoredRow r) { return r != nullptr; })) rows_.reserve(size);
    ReserveGap(recordOfRow_, static_cast<size_t>(row), static_cast<size_t>(count), size);
    if (std::any_of(rows.rows_.begin(), rows.rows_.end(), [](const SheetRows::Row& r) { return r.record != -1; }))
        recordOfRow_.reserve(size);

    // Nothing below allocates: the sheet changes whole or not at all.
    for (size_t r = static_cast<size_t>(bottom); r < rows_.size(); ++r)
        if (rows_[r]) liveBytes_ -= StoredBytes(rows_[r]);
    OpenGap(rows_, static_cast<size_t>(row), static_cast<size_t>(count), size, nullptr);
    OpenGap(recordOfRow_, static_cast<size_t>(row), static_cast<size_t>(count), size, -1);
    for (int32_t i = 0; i < count; ++i) {
        const size_t r = static_cast<size_t>(row + i);
        if (in[static_cast<size_t>(i)]) {
            if (r >= rows_.size()) rows_.resize(r + 1);
            rows_[r] = in[static_cast<size_t>(i)];
            liveBytes_ += StoredBytes(rows_[r]);
        }
        const int32_t record = rows.rows_[static_cast<size_t>(i)].record;
        if (record != -1) {
            if (r >= recordOfRow_.size()) recordOfRow_.resize(r + 1, -1);
            recordOfRow_[r] = record;
        }
    }
    while (!rows_.empty() && !rows_.back()) rows_.pop_back();
    paints_.swap(paints);
    lastDataRow_ = rowCount_;
    lastDataRowStale_ = true;
    return out;
}

SheetRows SheetData::takeRows(int32_t row, const SheetRows& fill) {
    closeRow();
    keepRecordsExplicitly();
    const int32_t count = fill.count();
    const int32_t bottom = rowCount_ - count + 1;  // where `fill` goes
    SheetRows out = copyRows(row, count);
    const std::vector<StoredRow> in = storeRows(fill);
    // The colours: blocks over the rows taken shrink, those below move up.
    std::vector<Paint> paints;
    paints.reserve(paints_.size() + fill.paints_.size());
    for (const Paint& paint : paints_) {
        CellBlock b = paint.first;
        if (b.row1 >= row + count) {
            b.row1 -= count;
            b.row2 -= count;
        } else if (b.row2 >= row) {
            b.row1 = std::min(b.row1, row);
            b.row2 = b.row2 >= row + count ? b.row2 - count : row - 1;
            if (b.row2 < b.row1) continue;
        }
        paints.emplace_back(b, paint.second);
    }
    for (const Paint& paint : fill.paints_) {
        const CellBlock& b = paint.first;
        paints.emplace_back(CellBlock{b.column1, b.row1 + bottom, b.column2, b.row2 + bottom}, paint.second);
    }
    JoinPaints(paints);
    const size_t size = static_cast<size_t>(rowCount_) + 1;
    if (std::any_of(in.begin(), in.end(), [](StoredRow r) { return r != nullptr; })) rows_.reserve(size);
    if (std::any_of(fill.rows_.begin(), fill.rows_.end(), [](const SheetRows::Row& r) { return r.record != -1; }))
        recordOfRow_.reserve(size);

    // Nothing below allocates: the sheet changes whole or not at all.
    for (size_t r = static_cast<size_t>(row); r < std::min(rows_.size(), static_cast<size_t>(row + count)); ++r)
        if (rows_[r]) liveBytes_ -= StoredBytes(rows_[r]);
    CloseGap(rows_, static_cast<size_t>(row), static_cast<size_t>(count));
    CloseGap(recordOfRow_, static_cast<size_t>(row), static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        const size_t r = static_cast<size_t>(bottom + i);
        if (in[static_cast<size_t>(i)]) {
            if (r >= rows_.size()) rows_.resize(r + 1);
            rows_[r] = in[static_cast<size_t>(i)];
            liveBytes_ += StoredBytes(rows_[r]);
        }
        const int32_t record = fill.rows_[static_cast<size_t>(i)].record;
        if (record != -1) {
            if (r >= recordOfRow_.size()) recordOfRow_.resize(r + 1, -1);
            recordOfRow_[r] = record;
        }
    }
    while (!rows_.empty() && !rows_.back()) rows_.pop_back();
    paints_.swap(paints);
    lastDataRow_ = rowCount_;
    lastDataRowStale_ = true;
    return out;
}

SheetRows SheetData::InsertedRows(int32_t count) {
    SheetRows rows;
    rows.rows_.resize(static_cast<size_t>(count));
    for (SheetRows::Row& row : rows.rows_) row.record = kInsertedRow;
    rows.paints_.emplace_back(CellBlock{1, 0, 1, count - 1}, GridColor::kYellow);
    return rows;
}

SheetRows SheetData::emptyRowsLike(int32_t like, int32_t count) const {
    SheetRows rows;
    rows.rows_.resize(static_cast<size_t>(count));
    for (const Paint& paint : paints_) {
        const CellBlock& b = paint.first;
        if (b.row1 <= like && like <= b.row2) rows.paints_.emplace_back(CellBlock{b.column1, 0, b.column2, count - 1}, paint.second);
    }
    return rows;
}

}  // namespace velkin
