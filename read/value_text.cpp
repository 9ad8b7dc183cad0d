#include "read/value_text.h"

#include <limits>
#include <optional>

namespace velkin {

namespace {

// Where the date's parts sit in a value's text, for QString and UTF-8 alike
// (the parts are ASCII, so their positions are the same in either).
struct DateParts {
    qsizetype monthPos = 0, dayPos = 0;
};

char32_t Code(QStringView s, qsizetype pos) { return s[pos].unicode(); }
char32_t Code(std::string_view s, qsizetype pos) { return static_cast<unsigned char>(s[static_cast<size_t>(pos)]); }

template <typename Text>
bool IsDigit(const Text& s, qsizetype pos) {
    if (pos >= static_cast<qsizetype>(s.size())) return false;
    const char32_t c = Code(s, pos);
    return c >= U'0' && c <= U'9';
}

template <typename Text>
bool DigitsAt(const Text& s, qsizetype pos, qsizetype count) {
    for (qsizetype i = pos; i < pos + count; ++i)
        if (!IsDigit(s, i)) return false;
    return true;
}

template <typename Text>
int TwoDigits(const Text& s, qsizetype pos) {
    return static_cast<int>(Code(s, pos) - U'0') * 10 + static_cast<int>(Code(s, pos + 1) - U'0');
}

template <typename Text>
std::optional<DateParts> FindDate(const Text& s) {
    const auto size = static_cast<qsizetype>(s.size());
    auto at = [&](qsizetype i) { return Code(s, i); };
    DateParts parts;
    qsizetype endPos = 0;
    if (DigitsAt(s, 0, 4) && size >= 10 && (at(4) == U'-' || at(4) == U'/') && at(7) == at(4) &&
        DigitsAt(s, 5, 2) && DigitsAt(s, 8, 2)) {
        parts = {5, 8};
        endPos = 10;
    } else if (DigitsAt(s, 0, 8)) {
        parts = {4, 6};
        endPos = 8;
    } else {
        return std::nullopt;
    }
    // A digit right after the day means a longer number, not a date.
    if (IsDigit(s, endPos)) return std::nullopt;
    const int month = TwoDigits(s, parts.monthPos);
    const int day = TwoDigits(s, parts.dayPos);
    if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
    return parts;
}

template <typename Out, typename Text>
void CopyDigits(Out* out, const Text& s, const DateParts& parts) {
    const qsizetype from[8] = {0, 1, 2, 3, parts.monthPos, parts.monthPos + 1, parts.dayPos, parts.dayPos + 1};
    for (size_t i = 0; i < 8; ++i) out[i] = Out(static_cast<char>(Code(s, from[i])));
}

}  // namespace

QString DateCellText(const QString& valueText) {
    const QStringView s(valueText);
    const std::optional<DateParts> parts = FindDate(s);
    if (!parts) return valueText;
    // Built in place: a read converts every date cell this way.
    QString digits(8, Qt::Uninitialized);
    CopyDigits(digits.data(), s, *parts);
    return digits;
}

std::string_view DateCellTextUtf8(std::string_view valueText, std::array<char, 8>& digits) {
    const std::optional<DateParts> parts = FindDate(valueText);
    if (!parts) return valueText;
    CopyDigits(digits.data(), valueText, *parts);
    return {digits.data(), digits.size()};
}

QString ColumnTypeText(const QString& type, int32_t size, int32_t scale) {
    QString text = type + QLatin1Char('(') + QString::number(size);
    if (scale > 0) text += QLatin1Char('.') + QString::number(scale);
    return text + QLatin1Char(')');
}

ColumnInfo CatalogueEntry(int32_t oraTypeCode, int32_t fieldSize, int32_t oraScale) {
    switch (oraTypeCode) {
        case 1: return {QStringLiteral("VARCHAR2"), fieldSize, 0};
        case 96: return {QStringLiteral("CHAR"), fieldSize, 0};
        case 2: {
            // Stays defined for the smallest size a component could report.
            const int32_t size =
                fieldSize == std::numeric_limits<int32_t>::min() ? fieldSize : fieldSize - 1;
            return {QStringLiteral("NUMBER"), size, oraScale};
        }
        case 12: return {QStringLiteral("DATE"), 8, 0};
        default: return {QStringLiteral("ETC"), 0, 0};
    }
}

}  // namespace velkin
