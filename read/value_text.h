#pragma once
// Cell texts and column-catalogue entries of a table read.

#include "db/date_text.h"

#include <QString>
#include <array>
#include <cstdint>
#include <string_view>

namespace velkin {

// What a column holds, as the catalogue tells the kinds apart.
enum class ColumnKind { Varchar2, Char, Number, Date, Other };

// The kind's name in the type text: "VARCHAR2", "CHAR", "NUMBER", "DATE", "ETC".
QString ColumnKindName(ColumnKind kind);

// The type text of grid row 2: type + "(" + size + ("." + scale when scale > 0) + ")",
// e.g. "NUMBER(9.2)", "VARCHAR2(20)", "DATE(8)", "ETC(0)".
QString ColumnTypeText(const QString& type, int32_t size, int32_t scale);

struct ColumnInfo {
    ColumnKind kind = ColumnKind::Other;
    int32_t size = 0;
    int32_t scale = 0;
};

// The type text of an entry, as ColumnTypeText gives it.
QString ColumnTypeText(const ColumnInfo& info);

// Type name, size and scale from Oracle's internal data type code:
//   1 -> VARCHAR2, size;  96 -> CHAR, size;  2 -> NUMBER, size - 1, scale;
//   12 -> DATE, 8;  anything else -> ETC, 0, 0.
// Size and scale are 0 unless stated.
ColumnInfo CatalogueEntry(int32_t oraTypeCode, int32_t fieldSize, int32_t oraScale);

}  // namespace velkin
