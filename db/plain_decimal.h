#pragma once
// Numbers as the grid shows them: plain decimal text, no exponent, no digit
// grouping, no trailing zeros after the point, "." as the point whatever the
// locale. The table replace reads this form back.

#include <QString>

#include <cstdint>
#include <optional>
#include <string>

namespace velkin {

// Shortest text that reads back as the same double, expanded to plain decimal:
// 0.1 -> "0.1", 1e20 -> "100000000000000000000", 1.5e-7 -> "0.00000015".
QString PlainDecimalFromDouble(double value);
// The same text in `out` (ASCII), reusing its storage. For a value that is
// the double nearest to a decimal of at most 15 significant digits (most
// database numbers), also the decimal the text spells: `digits` / 10^`places`,
// without the sign, and without trailing zeros after the point.
struct ShortDecimalParts {
    uint64_t digits = 0;
    int places = 0;
};
std::optional<ShortDecimalParts> PlainDecimalFromDouble(double value, std::string& out);

// Rewrites decimal text an engine printed ("12.50", "-1.5e+20", "1E-3") in the
// plain form. Text that is not a decimal number ("NaN", "Infinity") is returned as it is.
QString PlainDecimalFromText(const QString& text);

}  // namespace velkin
