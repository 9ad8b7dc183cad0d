#include "writeback/number_literal.h"

#include "db/decimal_text.h"
#include "db/error.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velkin {

namespace {

// Limits of the currency type, in units of 1/10000.
constexpr uint64_t kMaxPositive = 9223372036854775807ULL;
constexpr uint64_t kMaxNegative = 9223372036854775808ULL;

// Beyond this many decimal places either way the value is certainly out of
// range or certainly rounds to zero, so larger exponents are clamped here and
// never drive a loop or an allocation.
constexpr long long kExponentClamp = 1000000;

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\u3000'; }

// Maps one character to the ASCII form the parser knows; 0 for anything else.
char Ascii(char16_t c) {
    if (c < 0x80) return static_cast<char>(c);
    if (c >= u'\uFF10' && c <= u'\uFF19') return static_cast<char>('0' + (c - u'\uFF10'));
    switch (c) {
        case u'\uFF0B': return '+';
        case u'\uFF0D': return '-';
        case u'\u2212': return '-';
        case u'\uFF0E': return '.';
        case u'\uFF0C': return ',';
        case u'\uFF45': return 'e';
        case u'\uFF25': return 'E';
        default: return 0;
    }
}

[[noreturn]] void NotANumber() { throw Error::TypeMismatch(); }

// The cell text without the blanks around it, every character in its ASCII
// form; refused when empty or when a character has none.
std::string AsciiForm(const QString& cellText) {
    qsizetype begin = 0;
    qsizetype end = cellText.size();
    while (begin < end && IsBlank(cellText.at(begin).unicode())) ++begin;
    while (end > begin && IsBlank(cellText.at(end - 1).unicode())) --end;
    if (begin == end) NotANumber();
    std::string ascii;
    ascii.reserve(static_cast<size_t>(end - begin));
    for (qsizetype i = begin; i < end; ++i) {
        const char c = Ascii(cellText.at(i).unicode());
        if (c == 0) NotANumber();
        ascii += c;
    }
    return ascii;
}

// The number's magnitude in units of 1/10000, rounded half away from zero;
// refused when beyond the currency range.
uint64_t CurrencyUnits(const DecimalText& number) {
    // Value = 0.<digits without leading zeros> x 10^pointPos.
    size_t lead = 0;
    while (lead < number.digits.size() && number.digits[lead] == '0') ++lead;
    if (lead == number.digits.size()) return 0;
    const std::string_view significant = std::string_view(number.digits).substr(lead);
    const long long pointPos = number.pointPos - static_cast<long long>(lead);

    // Keep the digits down to the fourth decimal; the first dropped digit decides
    // the rounding (half away from zero: 5 or more rounds the magnitude up).
    const long long keep = pointPos + 4;
    if (keep > 19) throw Error::Overflow();  // at least 10^19 units, beyond the range
    uint64_t units = 0;
    int firstDropped = 0;
    if (keep >= 0) {
        for (long long k = 0; k < keep; ++k) {
            const int d = k < static_cast<long long>(significant.size()) ? significant[static_cast<size_t>(k)] - '0' : 0;
            units = units * 10 + static_cast<uint64_t>(d);
        }
        if (keep < static_cast<long long>(significant.size()))
            firstDropped = significant[static_cast<size_t>(keep)] - '0';
    }
    if (firstDropped >= 5) ++units;  // at most 10^19, still fits in 64 bits
    if (units > (number.negative ? kMaxNegative : kMaxPositive)) throw Error::Overflow();
    return units;
}

// Plain decimal text of `units` / 10000: no trailing zeros, no point for a whole number.
QString CurrencyText(bool negative, uint64_t units) {
    if (units == 0) return QStringLiteral("0");
    std::string fraction = std::to_string(units % 10000);
    fraction.insert(0, 4 - fraction.size(), '0');
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();

    std::string out;
    if (negative) out += '-';
    out += std::to_string(units / 10000);
    if (!fraction.empty()) {
        out += '.';
        out += fraction;
    }
    return QString::fromLatin1(out);
}

}  // namespace

QString NumberLiteral(const QString& cellText) {
    const std::optional<DecimalText> number =
        ScanDecimal(AsciiForm(cellText), {.thousandsGroups = true, .exponentClamp = kExponentClamp});
    if (!number) NotANumber();
    return CurrencyText(number->negative, CurrencyUnits(*number));
}

}  // namespace velkin
