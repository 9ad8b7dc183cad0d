#pragma once
// A result column's type as every engine describes it: the kind the commands
// tell apart, its declared size and scale, and how the engine turns the
// server's text of a value into the value's text.

#include <cstdint>

namespace velkin {

// The kinds of column the commands tell apart. Row 2 of the sheet names them
// (VARCHAR2, NUMBER, DATE, CHAR, ETC).
enum class ColumnKind : uint8_t {
    Text,       // variable-length character data
    Number,     // integers, decimals and binary floating point
    Date,       // dates and timestamps
    FixedChar,  // fixed-length character data, padded with blanks
    Other,      // anything else (bytes, bits, enumerations, ...)
};

// How an engine makes a value's text from what its client library hands over.
enum class ValueForm : uint8_t {
    AsText,        // the text as it is
    PlainDecimal,  // a number that may carry trailing zeros or an exponent
    FixedChar,     // fixed-length character data: padded or stripped as the cursor asks
    Hex,           // bytes, shown as upper-case hexadecimal digits
};

// A column's kind with its declared size and scale. For numbers the size is
// the precision + 1, so that the type text shows the precision.
struct ColumnType {
    ColumnKind kind = ColumnKind::Other;
    int32_t size = 0;
    int32_t scale = 0;
    ValueForm form = ValueForm::AsText;
    friend bool operator==(const ColumnType&, const ColumnType&) = default;
};

}  // namespace velkin
