#pragma once
// The literal of a NUMBER cell: the cell text converted to the currency type
// (signed 64-bit fixed point, four decimals, -922337203685477.5808 to
// 922337203685477.5807) and written back in plain decimal.
//
// Accepted text, and nothing else:
//  - optional blanks around the number: space, tab, and the full-width space U+3000;
//  - an optional leading "+" or "-" directly before the digits;
//  - digits with an optional "." fraction; ".5" and "5." are accepted, a lone "." is not;
//  - an optional exponent: "e" or "E", an optional sign, at least one digit
//    ("1.23E+15" as a spreadsheet copies a large number);
//  - "," as a thousands separator, only when well formed and only before the
//    point: a first group of 1 to 3 digits not starting with 0, then groups of
//    exactly three ("1,234,567.5"). Anything else with a comma ("1,23",
//    "1,2345", "0,123", "1.234,5") could be a decimal comma and is refused,
//    never guessed;
//  - full-width digits, signs, point, comma and exponent letter (Japanese
//    input "１２３．５"), and the minus sign U+2212, read as their ASCII forms.
// Refused: currency signs, parentheses, percent, "NaN", "inf", a comma as the
// decimal point, blanks inside the number, a trailing sign.
//
// The arithmetic is exact decimal: the digits are never passed through binary
// floating point. More than four decimals round to four, a tie away from zero
// as a spreadsheet's ROUND does: 0.00005 -> "0.0001", -0.00005 -> "-0.0001".
//
// Output: no grouping, no exponent, no trailing zeros after the point, no point
// for a whole number, "-" for a negative value, "0" for zero (never "-0"), and
// always "." as the point whatever the locale, since a comma would split the
// VALUES list of the statement.

#include <QString>

namespace velkin {

// Throws Error::TypeMismatch() (13) for text that is not a number under the
// rules above (empty or blanks-only included) and Error::Overflow() (6) for a
// number outside the currency range after rounding.
QString NumberLiteral(const QString& cellText);

}  // namespace velkin
