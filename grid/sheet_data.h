#pragma once
// The grid's cells, kept sparse: memory grows with the cells written, not with
// the row count, so an empty sheet of a million rows costs next to nothing.
// Row 0 and column 0 are the sheet's own header row and column.

#include <QString>
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velkin {

// Colours as the window system takes them: red in the lowest byte.
namespace GridColor {
constexpr uint32_t kWhite = 16777215;
constexpr uint32_t kYellow = 65535;
constexpr uint32_t kRed = 255;
}  // namespace GridColor

struct CellBlock {
    int32_t column1, row1, column2, row2;  // inclusive, column1 <= column2, row1 <= row2
    bool contains(int32_t row, int32_t column) const {
        return row >= row1 && row <= row2 && column >= column1 && column <= column2;
    }
};

// Whole rows as a user's insert or delete moves them (SheetData::takeRows,
// putRows): their texts, the record of the read each holds, and their
// colours, so that a row taken out and put back is itself again. A row
// still as read keeps no copy of its texts: its record's row is that copy.
class SheetRows {
public:
    int32_t count() const { return static_cast<int32_t>(rows_.size()); }
    // Memory the rows hold.
    size_t bytes() const {
        return sizeof(*this) + rows_.capacity() * sizeof(Row) + packed_.capacity() + paints_.capacity() * sizeof(Paint);
    }

private:
    friend class SheetData;
    struct Row {
        size_t begin = 0, size = 0;  // its stored row's bytes in packed_; size 0: no text
        int32_t record = -1;         // as the sheet keeps it: a record, -1, or an inserted row
        bool asRead = false;         // its texts are its record's
    };
    using Paint = std::pair<CellBlock, uint32_t>;
    std::vector<Row> rows_;
    std::string packed_;
    std::vector<Paint> paints_;  // rows counted from 0
};

class SheetData {
public:
    SheetData();
    ~SheetData();
    SheetData(const SheetData&) = delete;
    SheetData& operator=(const SheetData&) = delete;

    int32_t rowCount() const { return rowCount_; }
    int32_t columnCount() const { return columnCount_; }
    // Texts beyond the new size are dropped.
    void setRowCount(int32_t rows);
    void setColumnCount(int32_t columns);

    QString text(int32_t row, int32_t column) const;
    // The same as the sheet keeps it (db/utf8_text.h), valid until the sheet changes.
    std::string_view textUtf8(int32_t row, int32_t column) const { return cellBytes(row, column); }
    // What a cell can show on screen: its first line, at most kShownCharacters
    // of it, followed by "…" when the text goes on. Only a few kilobytes of
    // the text are looked at, however long it is: painting a text of a
    // hundred megabytes whole takes seconds at every repaint.
    QString shownText(int32_t row, int32_t column) const;
    static constexpr qsizetype kShownCharacters = 1000;
    // The bytes of the texts inside the block.
    size_t textBytes(const CellBlock& block) const;
    // The caller keeps row and column within the sheet.
    void setText(int32_t row, int32_t column, const QString& text);
    // The same from UTF-8 bytes (db/utf8_text.h), stored as they are: a read
    // hands over a million values, and none of them needs a QString until it
    // is painted, copied or edited.
    void setTextUtf8(int32_t row, int32_t column, std::string_view bytes);
    void clearTexts(const CellBlock& block);

    // Highest row (1 or more) holding text in a data column (1 or more); 0 when none.
    int32_t lastDataRow() const;

    // Memory taken from the system for texts and rows.
    size_t memoryBytes() const {
        return arena_.bytes() + rows_.capacity() * sizeof(StoredRow) + records_.capacity() * sizeof(StoredRow) +
               recordOfRow_.capacity() * sizeof(int32_t) +
               (readNulls_.capacity() + readUnpadded_.capacity()) * sizeof(uint64_t) +
               exactAt_.capacity() * sizeof(uint32_t) + (exactPool_.empty() ? 0 : exactPool_.capacity());
    }

    uint32_t backColor(int32_t row, int32_t column) const;
    void paint(const CellBlock& block, uint32_t color);
    // Every cell back to white.
    void clearPaints() { std::vector<std::pair<CellBlock, uint32_t>>().swap(paints_); }

    // What a read put in the sheet, so that the write-back can tell the cells
    // the user changed from those still as read. A read calls beginRead,
    // writes its records one per row from `firstRow` on, marks the cells it
    // read as NULL, and calls endRead. Each record keeps the packed row the
    // read wrote (no second copy of its texts) and each sheet row the index
    // of the record it holds. Emptying the whole sheet forgets the read.
    // Until a row is written, inserted or deleted, record i is row
    // firstRow + i and its stored row is that row's: neither list is kept.
    // `expectedRecords`, when the read knows it, makes room for them at once.
    void beginRead(int32_t firstRow, int32_t columns, int32_t expectedRecords = 0);
    void markReadNull(int32_t row, int32_t column);
    void endRead(int32_t recordsWritten);
    int32_t readRecordCount() const { return readRecords_; }
    // The record in `row`, or -1 for a row the read did not fill.
    int32_t recordOf(int32_t row) const { return std::max(rawRecordOf(row), -1); }
    // Highest row holding a record of the read, text or not; 0 when none.
    int32_t lastReadRow() const;
    // Whether `row` is one a user's insert made; it holds no record.
    bool insertedRow(int32_t row) const { return rawRecordOf(row) == kInsertedRow; }
    // The text the read gave a cell of record `record`, and whether it was NULL.
    std::string_view readText(int32_t record, int32_t column) const;
    bool readNull(int32_t record, int32_t column) const;
    // A value's exact form (grid/exact_form.h), given by the read for the few
    // values whose text cannot say them, between beginRead and endRead in
    // record order; empty for every other cell.
    void setReadExact(int32_t record, int32_t column, std::string_view encoded);
    std::string_view readExact(int32_t record, int32_t column) const;
    bool readHasExact() const { return !exactAt_.empty() || !readUnpadded_.empty(); }
    // True when `row` holds a record and the cell's text is the one the read
    // gave it, however it got there (untouched, undone, or retyped).
    bool unchangedSinceRead(int32_t row, int32_t column) const;
    // Forgets the read: every row is one the read did not fill.
    void forgetRead();
    // What the grid marks as not yet written: a cell of a record whose text
    // is no longer the one read, a cell with text in a row without a record,
    // and every cell of an inserted row. Costs the same on any sheet size.
    bool changedSinceRead(int32_t row, int32_t column) const;

    // Rows a user inserts or deletes. The sheet keeps its row count: putRows
    // puts `rows` in at `row`, the rows from there on move down, and as many
    // rows fall off the end; takeRows takes fill.count() rows out from
    // `row`, the rows below move up, and `fill` takes the end. Each returns
    // the rows it took out, texts, records and colours, so that the
    // opposite call puts the sheet back exactly as it was. The rows moved
    // lie within the sheet (row + count - 1 <= rowCount()). Either may throw
    // std::bad_alloc, and then leaves the sheet as it was.
    SheetRows putRows(int32_t row, const SheetRows& rows);
    SheetRows takeRows(int32_t row, const SheetRows& fill);
    // Empty rows as an insert makes them: marked as inserted, coloured as a
    // read colours its rows (column 1 yellow, the others white).
    static SheetRows InsertedRows(int32_t count);
    // Empty rows coloured as row `like` is: what a delete leaves at the end.
    SheetRows emptyRowsLike(int32_t like, int32_t count) const;
    // Whether any of the rows holds text in a data column or a record.
    bool rowsHoldData(int32_t row, int32_t count) const;
    // Rightmost column (1 or more) holding text in a row from 1 on; 0 when none.
    int32_t lastDataColumn() const;

private:
    // A stored row is one piece of the arena: its width w (uint32; the top
    // bit marks wide ends), the end offsets of its w cells' bytes (counted
    // from the first byte; uint16 each, uint32 when the row holds 64 KiB of
    // text or more), then the bytes. An empty cell is one whose end equals
    // the one before. One piece per row rather than per cell: a million rows
    // of ten cells would otherwise spend more on cell records than on text.
    using StoredRow = const uint32_t*;
    struct RowLayout {
        uint32_t width;
        bool wide;
        const void* ends;
        const char* bytes;
        uint32_t end(uint32_t column) const {
            return wide ? static_cast<const uint32_t*>(ends)[column] : static_cast<const uint16_t*>(ends)[column];
        }
        uint32_t begin(uint32_t column) const { return column == 0 ? 0 : end(column - 1); }
    };
    static RowLayout Layout(StoredRow stored);
    // The arena bytes the rest of a read is likely to take, from its rows so
    // far and the records it expects; SIZE_MAX when that is not known.
    size_t readBytesAhead() const;
    // Per-cell bits of the read (readNulls_, readUnpadded_).
    size_t readCellBit(int32_t record, int32_t column) const;
    // The words of readNulls_ or readUnpadded_ that `records` records take at most.
    size_t readBitWords(int32_t records) const;
    static void SetBit(std::vector<uint64_t>& bits, size_t bit);
    static bool BitSet(const std::vector<uint64_t>& bits, size_t bit);

    // The row being written: cells accumulate here and become a stored row
    // when writing moves to another row or anything else touches the sheet,
    // so a read that fills a row cell by cell packs it once.
    struct OpenRow {
        struct Span {
            uint32_t offset = 0, size = 0;
        };
        int32_t row = -1;
        size_t width = 0;         // cells beyond it are empty
        std::vector<Span> cells;  // index = column; kept sized and zeroed between rows
        std::string bytes;        // overwritten texts stay until the row is packed
    };

    // Rows and texts are carved from large blocks and given back block by
    // block: a read writes a million rows, and emptying the sheet must not
    // cost a million frees. Replaced rows stay until the sheet is emptied or
    // compacted.
    class Arena {
    public:
        ~Arena() { release(); }
        // `bytesAhead`: how much more is likely to follow at once (a read's
        // rest), which decides the size of a new block.
        void* allocate(size_t bytes, size_t align, size_t bytesAhead = SIZE_MAX);
        void release();
        void swap(Arena& other) noexcept;
        size_t bytes() const { return total_; }

    private:
        void* map(size_t bytes);
        void* mapLarge();

        struct Block {
            char* base;
            size_t size;
        };
        std::vector<Block> blocks_;
        char* next_ = nullptr;
        size_t left_ = 0;
        size_t total_ = 0;
    };

    static size_t StoredBytes(StoredRow stored);
    static std::string_view StoredCell(StoredRow stored, int32_t column);
    std::string_view cellBytes(int32_t row, int32_t column) const;
    bool rowHasText(int32_t row, int32_t fromColumn) const;
    StoredRow storedRow(int32_t row) const;
    void openRow(int32_t row);
    void widenOpenRow(size_t width);
    void closeRow();
    void compactIfWasteful();
    void dropRowsFrom(int32_t row);
    int32_t rawRecordOf(int32_t row) const {
        if (recordsImplicit_)
            return row >= readFirstRow_ && row - readFirstRow_ < readRecords_ ? row - readFirstRow_ : -1;
        return row >= 0 && static_cast<size_t>(row) < recordOfRow_.size() ? recordOfRow_[static_cast<size_t>(row)]
                                                                         : -1;
    }
    // The stored row the read wrote for `record` (0 <= record < readRecords_).
    StoredRow recordRow(int32_t record) const {
        return recordsImplicit_ ? storedRow(readFirstRow_ + record) : records_[static_cast<size_t>(record)];
    }
    // Makes records_ and recordOfRow_ say what recordsImplicit_ stood for,
    // before a row of the read is written, moved or dropped. May throw
    // std::bad_alloc, and then changes nothing.
    void keepRecordsExplicitly();
    bool holdsReadRow(int32_t row) const {
        return recordsImplicit_ && row >= readFirstRow_ && row - readFirstRow_ < readRecords_;
    }
    static constexpr int32_t kInsertedRow = -2;
    SheetRows copyRows(int32_t row, int32_t count) const;
    // Copies of the rows' texts in the arena, for placing them in the sheet.
    std::vector<StoredRow> storeRows(const SheetRows& rows);

    int32_t rowCount_ = 0;
    int32_t columnCount_ = 0;
    // Memory straight from the system, for the row list: it grows to a
    // million entries and must go back whole when the sheet is emptied,
    // which the C heap does not promise for a block that grew step by step.
    template <typename T>
    struct MappedAllocator {
        using value_type = T;
        MappedAllocator() = default;
        template <typename U>
        MappedAllocator(const MappedAllocator<U>&) noexcept {}
        T* allocate(size_t n);
        void deallocate(T* p, size_t n) noexcept;
        template <typename U>
        bool operator==(const MappedAllocator<U>&) const noexcept { return true; }
    };
    std::vector<StoredRow, MappedAllocator<StoredRow>> rows_;  // null: no text; only up to the highest row stored
    OpenRow open_;
    Arena arena_;
    size_t liveBytes_ = 0;  // arena bytes of the stored rows
    // Painted blocks, later ones on top; a block wholly covered by a later one is dropped.
    std::vector<std::pair<CellBlock, uint32_t>> paints_;
    // The read (beginRead): each record's packed row as the read wrote it,
    // kept in the arena while the read stands, and each sheet row's record.
    // Both stay empty while recordsImplicit_: a million records would spend
    // 12 bytes each repeating the row list and counting from 0.
    int32_t readRecords_ = 0;
    bool recordsImplicit_ = false;
    std::vector<StoredRow> records_;
    std::vector<int32_t> recordOfRow_;  // -1 beyond it; kInsertedRow for a row a user inserted
    std::vector<uint64_t> readNulls_;  // one bit per (record, column 0..readColumns_)
    // The cells whose exact form is kUnpaddedExact (grid/exact_form.h), indexed as readNulls_.
    std::vector<uint64_t> readUnpadded_;
    // The exact forms: per record, 1 + the offset in exactPool_ of its entries
    // (0: none), empty while no record has one. A record's entries are a
    // uint16 count, then per entry a uint16 column, a uint32 length and the
    // bytes; a record costs four bytes once any record has an exact form.
    std::vector<uint32_t> exactAt_;
    std::string exactPool_;
    int32_t readFirstRow_ = 0;
    int32_t readColumns_ = 0;
    size_t recordBytes_ = 0;  // arena bytes of the records' rows
    // A read under way: the records it expects (0: not known) and liveBytes_
    // when it began, for readBytesAhead.
    int32_t readExpected_ = 0;
    size_t readStartBytes_ = 0;

    mutable int32_t lastDataRow_ = 0;  // an upper bound while lastDataRowStale_
    mutable bool lastDataRowStale_ = false;
};

}  // namespace velkin
