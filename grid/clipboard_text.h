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
#include <QStringView>

#include <cstddef>
#include <vector>

namespace velkin {

struct ClipboardBlock {
    std::vector<std::vector<QString>> rows;
    std::size_t width = 0;  // cells in the longest row
};

// The same block with the texts of all its cells in one string. A pasted
// block may hold millions of cells or one cell of many megabytes; this form
// takes about the text's own size plus 8 bytes a cell, where a QString of
// its own per cell would take several times that.
class ClipboardCells {
public:
    std::size_t rowCount() const { return rowEnds_.size(); }
    std::size_t width() const { return width_; }  // cells in the longest row
    std::size_t cellCount() const { return ends_.size(); }
    std::size_t rowWidth(std::size_t row) const { return rowEnds_[row] - firstCell(row); }
    QStringView cell(std::size_t row, std::size_t column) const {
        const std::size_t i = firstCell(row) + column;
        const qsizetype begin = i == 0 ? 0 : ends_[i - 1];
        return QStringView(texts_).mid(begin, ends_[i] - begin);
    }

private:
    friend class ClipboardParser;
    std::size_t firstCell(std::size_t row) const { return row == 0 ? 0 : rowEnds_[row - 1]; }

    QString texts_;
    std::vector<qsizetype> ends_;         // where each cell's text ends in texts_, row after row
    std::vector<std::size_t> rowEnds_;    // one past each row's last cell in ends_
    std::size_t width_ = 0;
};

QString CellsToClipboardText(const std::vector<std::vector<QString>>& rows);
// Appends one row in the same form, its CR LF included, for writers that
// stream many rows without holding them all.
void AppendClipboardRow(QString& text, const std::vector<QString>& row);
ClipboardCells ParseClipboardCells(const QString& text);
ClipboardBlock ParseClipboardText(const QString& text);
// What ParseClipboardCells(text) will take, in bytes, at most; counted
// without taking any, so that a paste can be refused before it is parsed.
std::size_t ClipboardCellsBytes(QStringView text);

}  // namespace velkin
