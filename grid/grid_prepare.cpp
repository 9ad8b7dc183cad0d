#include "grid/grid_prepare.h"

#include "db/error.h"
#include "grid/memory_room.h"

#include <algorithm>
#include <charconv>
#include <new>

namespace velkin {

namespace {

// Values from this size on are checked for room before the sheet takes them;
// smaller ones are not worth reading the system's figures for.
constexpr size_t kCheckedValueBytes = size_t{1} << 20;

size_t Megabytes(size_t bytes) { return (bytes + (size_t{1} << 20) - 1) >> 20; }

Error OutOfMemory(size_t valueBytes) {
    return Error(Error::kOutOfMemory, QStringLiteral("メモリが足りません（%1 MB の値をシートに置けません）。").arg(Megabytes(valueBytes)));
}

void RequireInside(const SheetData& sheet, int32_t row, int32_t column) {
    if (row < 0 || column < 0 || row > sheet.rowCount() || column > sheet.columnCount())
        throw Error::SubscriptOutOfRange();
}

}  // namespace

CellBlock BlockBetween(int32_t column1, int32_t row1, int32_t column2, int32_t row2) {
    return {std::min(column1, column2), std::min(row1, row2), std::max(column1, column2), std::max(row1, row2)};
}

CellBlock WholeSheet(const SheetData& sheet) { return {0, 0, sheet.columnCount(), sheet.rowCount()}; }

void ResetSheet(SheetData& sheet, int32_t rowCapacity) {
    if (rowCapacity < 0) throw Error::SubscriptOutOfRange();
    sheet.setColumnCount(kResetColumnCount);
    sheet.setRowCount(rowCapacity);
    sheet.clearTexts(BlockBetween(0, 0, sheet.columnCount(), sheet.lastDataRow()));
    // A red mark must not outlive the rows it marked: the next read would
    // show it on whatever row then stands there.
    sheet.clearPaints();
    // Nothing of an emptied sheet shows as changed since a read.
    sheet.forgetRead();
}

int32_t RemoveFailureMark(SheetData& sheet) {
    const int32_t last = sheet.lastDataRow();
    for (int32_t r = kFirstDataRow; r <= last; ++r) {
        if (sheet.backColor(r, 2) != GridColor::kRed) continue;
        sheet.paint(BlockBetween(1, r, 1, r), GridColor::kYellow);
        sheet.paint(BlockBetween(2, r, sheet.columnCount(), r), GridColor::kWhite);
        return r;
    }
    return 0;
}

void MarkFailedRow(SheetData& sheet, int32_t row) {
    sheet.paint(BlockBetween(1, row, sheet.columnCount(), row), GridColor::kRed);
}

void PaintReadColumn(SheetData& sheet) {
    sheet.paint(BlockBetween(1, kFirstDataRow, 1, sheet.rowCount()), GridColor::kYellow);
}

void WriteCellText(SheetData& sheet, int32_t row, int32_t column, const QString& text) {
    RequireInside(sheet, row, column);
    sheet.setText(row, column, text);
}

void WriteCellText(SheetData& sheet, int32_t row, int32_t column, std::string_view utf8) {
    RequireInside(sheet, row, column);
    // The sheet copies the value while it packs the row it lands in.
    if (utf8.size() >= kCheckedValueBytes && !RoomFor(2 * utf8.size())) throw OutOfMemory(utf8.size());
    try {
        sheet.setTextUtf8(row, column, utf8);
    } catch (const std::bad_alloc&) {
        throw OutOfMemory(utf8.size());
    }
}

void WriteCellNumber(SheetData& sheet, int32_t row, int32_t column, int64_t number) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    WriteCellText(sheet, row, column, std::string_view(digits, static_cast<size_t>(end - digits)));
}

}  // namespace velkin
