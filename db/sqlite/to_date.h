#pragma once
// TO_DATE(text, 'yyyymmdd') for SQLite connections. The table replace writes
// every DATE cell as TO_DATE('20240131','yyyymmdd'), the form Oracle and
// PostgreSQL understand; SQLite has no such function, so each connection gets
// one that yields ISO text ('2024-01-31') and fails on anything that is not a
// real calendar date, as Oracle does.

#include <optional>
#include <string>
#include <string_view>

struct sqlite3;

namespace velkin {

// True for the one format the program writes, in any letter case.
bool IsYyyymmddFormat(std::string_view format);

// "20240131" -> "2024-01-31"; nullopt unless the text is exactly eight digits
// naming a day of the Gregorian calendar (years 0001 to 9999).
std::optional<std::string> IsoDateFromYyyymmdd(std::string_view text);

// Registers TO_DATE on `db`; returns SQLite's result code.
int RegisterToDate(sqlite3* db);

// REAL_FROM_BITS('3FF8000000000000') -> 1.5: a double from its IEEE bits in
// sixteen hexadecimal digits, for the values SQLite's text conversion does not
// give back (db/sqlite/real_text.h). Registers it on `db`; returns SQLite's
// result code.
int RegisterRealFromBits(sqlite3* db);

}  // namespace velkin
