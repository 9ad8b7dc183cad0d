#pragma once
// Decimal number text, read in one place for the program's three readers of
// it: the plain form of an engine's number text (db/plain_decimal.h), the
// replace's NUMBER literal (writeback/number_literal.h), and the test whether
// a cell's text is a number SQL reads without quotes (writeback/literals.cpp).
//
// The form: an optional "+" or "-", digits with an optional "." fraction (at
// least one digit in all: ".5" and "5." are numbers, a lone "." is not), an
// optional exponent ("e" or "E", an optional sign, at least one digit), and
// nothing else: ASCII only, no blanks.

#include <optional>
#include <string>
#include <string_view>

namespace velkin {

struct DecimalText {
    bool negative = false;
    std::string digits;      // every digit of the mantissa, in order, zeros included
    long long pointPos = 0;  // how many of `digits` stand before the point, the exponent applied
};

struct DecimalRules {
    // Whether "," may group the digits before the point in thousands, only
    // when well formed: a first group of 1 to 3 digits not starting with 0,
    // then groups of exactly three ("1,234,567.5").
    bool thousandsGroups = false;
    // An exponent grows no further once it exceeds this, so that no exponent
    // drives a long loop or a large allocation.
    long long exponentClamp = 100000;
};

// The parts of `text`; nullopt when it is not of the form above.
std::optional<DecimalText> ScanDecimal(std::string_view text, const DecimalRules& rules = {});

}  // namespace velkin
