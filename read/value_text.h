#pragma once
// Cell texts and column-catalogue entries of a table read.

#include <QString>
#include <array>
#include <cstdint>
#include <string_view>

namespace velkin {

// The cell text of a DATE value: its eight digits yyyymmdd, without the time,
// the form the write-back turns into TO_DATE(...,'yyyymmdd'). Engines deliver
// dates as text in one of these forms:
//   "YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS[.fff][+TZ]", "YYYY-MM-DDTHH:MM...",
//   "YYYY/MM/DD...", "YYYYMMDD" and "YYYYMMDD..." followed by a non-digit.
// Month 01-12 and day 01-31 are required. Text that does not start with such a
// date is returned unchanged, so the user sees what is stored.
QString DateCellText(const QString& valueText);
// The same for UTF-8 text: the view returned is `valueText` itself, or the
// eight digits written to `digits`.
std::string_view DateCellTextUtf8(std::string_view valueText, std::array<char, 8>& digits);

// The type text of grid row 2: type + "(" + size + ("." + scale when scale > 0) + ")",
// e.g. "NUMBER(9.2)", "VARCHAR2(20)", "DATE(8)", "ETC(0)".
QString ColumnTypeText(const QString& type, int32_t size, int32_t scale);

struct ColumnInfo {
    QString type;
    int32_t size = 0;
    int32_t scale = 0;
};

// Type name, size and scale from Oracle's internal data type code:
//   1 -> VARCHAR2, size;  96 -> CHAR, size;  2 -> NUMBER, size - 1, scale;
//   12 -> DATE, 8;  anything else -> ETC, 0, 0.
// Size and scale are 0 unless stated.
ColumnInfo CatalogueEntry(int32_t oraTypeCode, int32_t fieldSize, int32_t oraScale);

}  // namespace velkin
