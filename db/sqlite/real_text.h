#pragma once
// Doubles that SQLite's own text-to-number conversion does not read back from
// their shortest decimal text (some values near 1e-300, and a few elsewhere,
// with SQLite 3.40): such a value is written through REAL_FROM_BITS, a
// function each connection gets, which takes the IEEE bits as hexadecimal.

#include "db/plain_decimal.h"

#include <QString>

#include <optional>
#include <string_view>

struct sqlite3;

namespace velkin {

// What SQLite 3.40 to 3.42 make of decimal text (sign, digits, point, digits,
// exponent), step for step, so that most values cost a division rather than
// a statement; `sure` is false where the library's own rounding could still
// tip the result, and the library is asked instead.
struct TextConversion {
    double value;
    bool sure;
};
TextConversion Sqlite340TextToDouble(std::string_view text);

// Whether the connection's library reads `text` as `value`. Cheap for the
// library versions whose conversion Sqlite340TextToDouble follows, where it is
// sure; otherwise the library is asked (a statement on `db`), for every text
// with a fraction or an exponent on other versions. `parts`, when given, are
// the decimal the text spells (PlainDecimalFromDouble's), and save reading it.
bool SqliteReadsBack(sqlite3* db, std::string_view text, double value,
                     std::optional<ShortDecimalParts> parts = std::nullopt);

// REAL_FROM_BITS('3FF8000000000000') for 1.5 (db/sqlite/to_date.h registers it).
QString RealFromBitsLiteral(double value);

}  // namespace velkin
