#pragma once
// What a SQLite column's declared type ("VARCHAR2(20)", "NUMBER(9,2)") means
// as the commands tell columns apart. SQLite itself keeps only the text; the
// program needs the kind, size and scale the declaration names.

#include "db/column_type.h"

#include <cstdint>
#include <string_view>

namespace velkin {

// Maps a declared type, case-insensitively and whatever the blanks:
//   VARCHAR2(n) VARCHAR(n) NVARCHAR2(n) TEXT CLOB ...        -> VARCHAR2, size n (unsized 0)
//   CHAR(n) NCHAR(n) CHARACTER(n)                            -> CHAR, size n (unsized 1)
//   NUMBER(p,s) NUMERIC DECIMAL INTEGER REAL FLOAT DOUBLE ... -> NUMBER, size p + 1, scale s
//                                       (unsized: precision 38, scale 0; NUMBER(*,s): precision 38)
//   DATE DATETIME TIMESTAMP[(n)] [WITH [LOCAL] TIME ZONE]    -> DATE, size 7 (Oracle's DATE length)
//   anything else, including an empty declaration            -> ETC (ColumnKind::Other), 0, 0
ColumnType MapDeclaredType(std::string_view declared);

}  // namespace velkin
