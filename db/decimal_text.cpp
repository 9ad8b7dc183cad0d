#include "db/decimal_text.h"

namespace velkin {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads text[i...] while it is a digit, or a thousands comma where the rules
// allow one; false for a grouping that is not well formed.
bool ScanWholeDigits(std::string_view text, size_t& i, const DecimalRules& rules, std::string& digits) {
    const size_t start = i;
    bool grouped = false;
    size_t sinceComma = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (IsDigit(c)) {
            digits += c;
            ++sinceComma;
        } else if (c == ',' && rules.thousandsGroups) {
            if (!grouped) {
                const size_t firstGroup = i - start;
                if (firstGroup < 1 || firstGroup > 3 || text[start] == '0') return false;
                grouped = true;
            } else if (sinceComma != 3) {
                return false;
            }
            sinceComma = 0;
        } else {
            break;
        }
    }
    return !grouped || sinceComma == 3;
}

// Reads an exponent's optional sign and digits after the "e"; false when no digit follows.
bool ScanExponent(std::string_view text, size_t& i, const DecimalRules& rules, long long& exponent) {
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size() || !IsDigit(text[i])) return false;
    exponent = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i)
        if (exponent < rules.exponentClamp) exponent = exponent * 10 + (text[i] - '0');
    if (negative) exponent = -exponent;
    return true;
}

}  // namespace

std::optional<DecimalText> ScanDecimal(std::string_view text, const DecimalRules& rules) {
    DecimalText number;
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) number.negative = text[i++] == '-';
    if (!ScanWholeDigits(text, i, rules, number.digits)) return std::nullopt;
    number.pointPos = static_cast<long long>(number.digits.size());
    if (i < text.size() && text[i] == '.')
        for (++i; i < text.size() && IsDigit(text[i]); ++i) number.digits += text[i];
    if (number.digits.empty()) return std::nullopt;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        long long exponent = 0;
        if (!ScanExponent(text, ++i, rules, exponent)) return std::nullopt;
        number.pointPos += exponent;
    }
    if (i != text.size()) return std::nullopt;
    return number;
}

}  // namespace velkin
