#pragma once
// The text a block of cells travels as between the grid and spreadsheet
// programs (Excel, LibreOffice Calc) through the clipboard: cells separated
// by TAB, rows ended by a line break.
//
// Writing, as Excel writes: every row, the last one included, ends with
// CR LF. A cell holding a TAB, CR, LF or '"' is enclosed in '"' with each
// inner '"' doubled; other cells go as they are.
//
// Reading:
//  - Rows end at CR LF, LF or a lone CR. One line break at the very end of
//    the text ends the last row and opens none, so "a\tb\r\n" is one row of
//    two cells; every further one is an empty row ("a\r\n\r\n" is two rows,
//    the second holding one empty cell). Empty text is no rows at all.
//  - A cell that starts with '"' is quoted: inside it "" is one '"', TAB and
//    line breaks are the cell's own, and it ends at a '"' that is followed by
//    a TAB, a line break or the end of the text. A '"' followed by anything
//    else is kept as a literal '"' and the cell goes on, as spreadsheet
//    programs accept a stray quote in a quoted cell.
//  - A quoted cell that never ends that way is no quoted cell: it is taken as
//    literal text, its opening '"' included, up to the next TAB or line break.
//  - Other cells are taken as they stand, quotes included.
//  - Rows may differ in length; the block's width is that of the widest row.
//
// ParseClipboardText(CellsToClipboardText(rows)) == rows for all cells, with
// one exception: a row with no cells at all comes back as one empty cell,
// since both are written as a bare line break.

#include <QString>

#include <cstddef>
#include <vector>

namespace velkin {

struct ClipboardBlock {
    std::vector<std::vector<QString>> rows;
    std::size_t width = 0;  // cells in the longest row
};

QString CellsToClipboardText(const std::vector<std::vector<QString>>& rows);
// Appends one row in the same form, its CR LF included, for writers that
// stream many rows without holding them all.
void AppendClipboardRow(QString& text, const std::vector<QString>& row);
ClipboardBlock ParseClipboardText(const QString& text);

}  // namespace velkin
