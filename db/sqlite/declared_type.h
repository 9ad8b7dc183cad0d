#pragma once
// What a SQLite column's declared type ("VARCHAR2(20)", "NUMBER(9,2)") means
// in the Oracle terms the commands work with. SQLite itself keeps only the
// text; the program needs the type code, size and scale the declaration names.

#include <cstdint>
#include <string_view>

namespace velkin {

struct OraColumnType {
    int32_t type = 0;   // an OraType code
    int32_t size = 0;   // characters for character types; precision + 1 for numbers
    int32_t scale = 0;  // numbers only

    friend bool operator==(const OraColumnType&, const OraColumnType&) = default;
};

// Maps a declared type, case-insensitively and whatever the blanks:
//   VARCHAR2(n) VARCHAR(n) NVARCHAR2(n) TEXT CLOB ...        -> VARCHAR2, size n (unsized 0)
//   CHAR(n) NCHAR(n) CHARACTER(n)                            -> CHAR, size n (unsized 1)
//   NUMBER(p,s) NUMERIC DECIMAL INTEGER REAL FLOAT DOUBLE ... -> NUMBER, size p + 1, scale s
//                                       (unsized: precision 38, scale 0; NUMBER(*,s): precision 38)
//   DATE DATETIME TIMESTAMP[(n)] [WITH [LOCAL] TIME ZONE]    -> DATE, size 7 (Oracle's DATE length)
//   anything else, including an empty declaration            -> OraType::kOther, 0, 0
OraColumnType MapDeclaredType(std::string_view declared);

}  // namespace velkin
