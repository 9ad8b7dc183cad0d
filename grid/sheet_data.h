#pragma once
// The grid's cells, kept sparse: memory grows with the cells written, not with
// the row count, so an empty sheet of a million rows costs next to nothing.
// Row 0 and column 0 are the sheet's own header row and column.

#include <QString>
#include <cstdint>
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
    // The caller keeps row and column within the sheet.
    void setText(int32_t row, int32_t column, const QString& text);
    void clearTexts(const CellBlock& block);

    // Highest row (1 or more) holding text in a data column (1 or more); 0 when none.
    int32_t lastDataRow() const;

    uint32_t backColor(int32_t row, int32_t column) const;
    void paint(const CellBlock& block, uint32_t color);

private:
    // A cell's text lives in the arena; an empty cell has size 0.
    struct Cell {
        const char16_t* data = nullptr;
        qsizetype size = 0;
    };
    // The cells of one stored row, columns 0 to width - 1, also in the arena.
    struct Row {
        Cell* cells = nullptr;
        int32_t width = 0;
    };
    // Cells and texts are carved from large blocks and given back block by
    // block: a read writes a million cells, and emptying the sheet must not
    // cost a million frees. Overwritten texts stay until the sheet is emptied
    // or compacted.
    class Arena {
    public:
        ~Arena() { release(); }
        void* allocate(size_t bytes, size_t align);
        void release();
        void swap(Arena& other) noexcept;
        size_t bytes() const { return total_; }

    private:
        void* map(size_t bytes);

        struct Block {
            char* base;
            size_t size;
        };
        std::vector<Block> blocks_;
        char* next_ = nullptr;
        size_t left_ = 0;
        size_t total_ = 0;
    };

    Cell& slot(int32_t row, int32_t column);
    void store(Cell& cell, const QString& text);
    void drop(Cell& cell);
    static bool RowHasText(const Row& line, int32_t fromColumn);
    void compactIfWasteful();
    void dropRowsFrom(int32_t row);

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
    std::vector<Row, MappedAllocator<Row>> rows_;  // only up to the highest row written
    Arena arena_;
    size_t liveBytes_ = 0;  // arena bytes still in use (cells of stored rows, current texts)
    // Painted blocks, later ones on top; a block wholly covered by a later one is dropped.
    std::vector<std::pair<CellBlock, uint32_t>> paints_;
    mutable int32_t lastDataRow_ = 0;  // an upper bound while lastDataRowStale_
    mutable bool lastDataRowStale_ = false;
};

}  // namespace velkin
