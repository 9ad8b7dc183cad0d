#include "writeback/number_literal.h"

#include "db/error.h"

#include <cstdint>
#include <string>

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

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

[[noreturn]] void NotANumber() { throw Error::TypeMismatch(); }

}  // namespace

QString NumberLiteral(const QString& cellText) {
    // Trim blanks, then map to ASCII; any character without an ASCII form is refused.
    qsizetype begin = 0;
    qsizetype end = cellText.size();
    while (begin < end && IsBlank(cellText.at(begin).unicode())) ++begin;
    while (end > begin && IsBlank(cellText.at(end - 1).unicode())) --end;
    if (begin == end) NotANumber();

    std::string s;
    s.reserve(static_cast<size_t>(end - begin));
    for (qsizetype i = begin; i < end; ++i) {
        const char c = Ascii(cellText.at(i).unicode());
        if (c == 0) NotANumber();
        s += c;
    }

    size_t i = 0;
    bool negative = false;
    if (s[i] == '+' || s[i] == '-') negative = s[i++] == '-';

    // Integer part, possibly grouped. `digits` collects every mantissa digit.
    std::string digits;
    const size_t intStart = i;
    size_t firstGroupLen = 0;
    bool grouped = false;
    size_t sinceComma = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (IsDigit(c)) {
            digits += c;
            ++sinceComma;
        } else if (c == ',') {
            if (!grouped) {
                firstGroupLen = i - intStart;
                if (firstGroupLen < 1 || firstGroupLen > 3 || s[intStart] == '0') NotANumber();
                grouped = true;
            } else if (sinceComma != 3) {
                NotANumber();
            }
            sinceComma = 0;
        } else {
            break;
        }
    }
    if (grouped && sinceComma != 3) NotANumber();
    long long pointPos = static_cast<long long>(digits.size());

    if (i < s.size() && s[i] == '.') {
        for (++i; i < s.size() && IsDigit(s[i]); ++i) digits += s[i];
    }
    if (digits.empty()) NotANumber();

    long long exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool expNegative = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) expNegative = s[i++] == '-';
        if (i >= s.size() || !IsDigit(s[i])) NotANumber();
        for (; i < s.size() && IsDigit(s[i]); ++i) {
            if (exponent < kExponentClamp) exponent = exponent * 10 + (s[i] - '0');
        }
        if (expNegative) exponent = -exponent;
    }
    if (i != s.size()) NotANumber();

    // Value = 0.<digits without leading zeros> x 10^pointPos.
    size_t lead = 0;
    while (lead < digits.size() && digits[lead] == '0') ++lead;
    if (lead == digits.size()) return QStringLiteral("0");
    const std::string significant = digits.substr(lead);
    pointPos += exponent - static_cast<long long>(lead);

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
    if (units > (negative ? kMaxNegative : kMaxPositive)) throw Error::Overflow();
    if (units == 0) return QStringLiteral("0");

    std::string whole = std::to_string(units / 10000);
    std::string fraction = std::to_string(units % 10000);
    fraction.insert(0, 4 - fraction.size(), '0');
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();

    std::string out;
    if (negative) out += '-';
    out += whole;
    if (!fraction.empty()) {
        out += '.';
        out += fraction;
    }
    return QString::fromLatin1(out);
}

}  // namespace velkin
