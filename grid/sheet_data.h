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
    int32_t rowCount() const { return rowCount_; }
    int32_t columnCount() const { return columnCount_; }
    // Texts beyond the new size are dropped.
    void setRowCount(int32_t rows);
    void setColumnCount(int32_t columns);

    const QString& text(int32_t row, int32_t column) const;
    // The caller keeps row and column within the sheet.
    void setText(int32_t row, int32_t column, QString text);
    void clearTexts(const CellBlock& block);

    // Highest row (1 or more) holding text in a data column (1 or more); 0 when none.
    int32_t lastDataRow() const;

    uint32_t backColor(int32_t row, int32_t column) const;
    void paint(const CellBlock& block, uint32_t color);

private:
    void dropRowsFrom(int32_t row);

    int32_t rowCount_ = 0;
    int32_t columnCount_ = 0;
    std::vector<std::vector<QString>> rows_;  // only up to the highest row written
    // Painted blocks, later ones on top; a block wholly covered by a later one is dropped.
    std::vector<std::pair<CellBlock, uint32_t>> paints_;
    mutable int32_t lastDataRow_ = 0;  // an upper bound while lastDataRowStale_
    mutable bool lastDataRowStale_ = false;
};

}  // namespace velkin
