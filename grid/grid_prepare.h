#pragma once
// What the commands do to the sheet beyond single texts: the reset to an
// empty sheet of the configured size, the colours of a read and of a failed
// update, and the checked writing of a cell's text. Works on the sheet
// alone: the window shows the result (CommandReport::sheetChanged).

#include "grid/sheet_data.h"

#include <QString>
#include <cstdint>
#include <string_view>

namespace velkin {

// Every reset gives the sheet this many columns.
inline constexpr int32_t kResetColumnCount = 20;
// The first sheet row that holds a record; rows 1 and 2 are the read's headers.
inline constexpr int32_t kFirstDataRow = 3;

// The block between two corners given in any order.
CellBlock BlockBetween(int32_t column1, int32_t row1, int32_t column2, int32_t row2);
// Every cell of the sheet, header row and column included.
CellBlock WholeSheet(const SheetData& sheet);

// Empties the sheet to kResetColumnCount columns and `rowCapacity` rows,
// header row and column included, paints every cell white and forgets the
// read. A negative capacity throws error 9.
void ResetSheet(SheetData& sheet, int32_t rowCapacity);

// Gives the first row marked red (back colour 255 in column 2) back its
// colours: yellow in column 1, white in the others; later rows are not looked
// at. Returns the row, or 0 when none was marked.
int32_t RemoveFailureMark(SheetData& sheet);

// Paints row `row` red from column 1 to the last column: the row an update failed on.
void MarkFailedRow(SheetData& sheet, int32_t row);

// Column 1 of every data row, filled or not, turns yellow: the rows a read gave.
void PaintReadColumn(SheetData& sheet);

// The text of cell (row, column), checked: a cell outside the sheet throws
// error 9, and a value the memory cannot hold error 7, the sheet staying as
// it was.
void WriteCellText(SheetData& sheet, int32_t row, int32_t column, const QString& text);
void WriteCellText(SheetData& sheet, int32_t row, int32_t column, std::string_view utf8);
void WriteCellNumber(SheetData& sheet, int32_t row, int32_t column, int64_t number);

}  // namespace velkin
