#pragma once
// Cell texts and column-catalogue entries of a table read.

#include "db/column_type.h"
#include "db/date_text.h"

#include <QString>
#include <array>
#include <cstdint>
#include <string_view>

namespace velkin {

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

// Type name, size and scale from a column's kind, size and scale:
//   Text -> VARCHAR2, size;  FixedChar -> CHAR, size;  Number -> NUMBER, size - 1, scale;
//   Date -> DATE, 8;  Other -> ETC, 0, 0.
// Size and scale are 0 unless stated.
ColumnInfo CatalogueEntry(ColumnKind kind, int32_t fieldSize, int32_t scale);

}  // namespace velkin
