#include "db/plain_decimal.h"

#include "db/decimal_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

namespace velkin {

namespace {

// Expands sign, digits and a decimal exponent into plain text. `digits` holds
// only ASCII digits; `pointPos` is where the decimal point sits in `digits`.
std::string Assemble(bool negative, std::string digits, long long pointPos) {
    // Strip leading zeros (keeping track of the point) and trailing zeros after it.
    size_t lead = 0;
    while (lead < digits.size() && digits[lead] == '0') ++lead;
    digits.erase(0, lead);
    pointPos -= static_cast<long long>(lead);
    if (digits.empty()) return "0";
    while (!digits.empty() && digits.back() == '0' && static_cast<long long>(digits.size()) > pointPos)
        digits.pop_back();
    if (digits.empty()) return "0";

    std::string out;
    if (negative) out += '-';
    const long long n = static_cast<long long>(digits.size());
    if (pointPos <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-pointPos), '0');
        out += digits;
    } else if (pointPos >= n) {
        out += digits;
        out.append(static_cast<size_t>(pointPos - n), '0');
    } else {
        out += digits.substr(0, static_cast<size_t>(pointPos));
        out += '.';
        out += digits.substr(static_cast<size_t>(pointPos));
    }
    return out;
}

// A value that is exactly the double nearest to a decimal of at most 15
// significant digits (the usual database number: 1234.5, 0.25, 7) has that
// decimal as its shortest round-trip text: two such decimals never share a
// double. Found by scaling by powers of ten, which is much cheaper than the
// general shortest-text search; nothing for any other value.
std::optional<ShortDecimalParts> ShortDecimal(double value, std::string& out) {
    static constexpr double kPowers[] = {1e0, 1e1, 1e2, 1e3, 1e4,  1e5,  1e6,  1e7,
                                         1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    constexpr double kLimit = 1e15;  // below it, an integer has at most 15 digits
    const double magnitude = std::fabs(value);
    for (int places = 0; places < 16; ++places) {
        const double scaled = magnitude * kPowers[places];
        if (!(scaled < kLimit)) return std::nullopt;
        // std::nearbyint, without its call: below 2^52, adding 2^52 leaves
        // steps of one, so the sum rounds `scaled` to an integer as the
        // current rounding mode does, and taking 2^52 away again is exact.
        const double digits = (scaled + 0x1p52) - 0x1p52;
        if (digits >= kLimit) return std::nullopt;
        // Exact: the division by a power of ten up to 1e15 rounds correctly,
        // so equality means the decimal digits / 10^places reads back as the value.
        if (digits / kPowers[places] != magnitude) continue;
        char buffer[24];
        const auto end = std::to_chars(buffer, buffer + sizeof buffer, static_cast<uint64_t>(digits)).ptr;
        const auto length = static_cast<int>(end - buffer);
        // Put together here and handed over in one copy: a read makes this
        // text for every floating-point cell.
        char text[40];  // sign, "0.", 15 zeros and 15 digits at most
        char* at = text;
        if (value < 0) *at++ = '-';
        if (places == 0) {
            at = std::copy(buffer, end, at);
        } else if (length <= places) {
            *at++ = '0';
            *at++ = '.';
            at = std::fill_n(at, places - length, '0');
            at = std::copy(buffer, end, at);
        } else {
            at = std::copy(buffer, end - places, at);
            *at++ = '.';
            at = std::copy(end - places, end, at);
        }
        out.assign(text, at);
        return ShortDecimalParts{static_cast<uint64_t>(digits), places};
    }
    return std::nullopt;
}

}  // namespace

std::optional<ShortDecimalParts> PlainDecimalFromDouble(double value, std::string& out) {
    if (!std::isfinite(value)) {
        out = PlainDecimalFromText(QString::number(value)).toStdString();
        return std::nullopt;
    }
    if (value == 0) {  // also -0
        out.assign(1, '0');
        return ShortDecimalParts{};
    }
    if (std::optional<ShortDecimalParts> parts = ShortDecimal(value, out)) return parts;
    char buffer[64];
    // A read converts every floating-point cell, so the usual case goes first:
    // the shortest round-trip text is already plain when it has no exponent.
    // Below 1e15 its integer digits are exact, never padding beyond the shortest digits.
    if (std::fabs(value) < 1e15) {
        const auto shortest = std::to_chars(buffer, buffer + sizeof buffer, value);
        if (std::find(buffer, shortest.ptr, 'e') == shortest.ptr) {
            out.assign(buffer, shortest.ptr);
            return std::nullopt;
        }
    }
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::optional<DecimalText> number = ScanDecimal(std::string_view(buffer, static_cast<size_t>(result.ptr - buffer)));
    out = number ? Assemble(number->negative, std::move(number->digits), number->pointPos) : std::string(buffer, result.ptr);
    return std::nullopt;
}

QString PlainDecimalFromDouble(double value) {
    std::string text;
    PlainDecimalFromDouble(value, text);
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

QString PlainDecimalFromText(const QString& text) {
    std::optional<DecimalText> number = ScanDecimal(text.toStdString());
    if (!number) return text;
    return QString::fromStdString(Assemble(number->negative, std::move(number->digits), number->pointPos));
}

}  // namespace velkin
