#include "db/date_text.h"

#include <optional>

namespace velkin {

namespace {

// Where the date's parts sit in a value's text, for QString and UTF-8 alike
// (the parts are ASCII, so their positions are the same in either).
struct DateParts {
    qsizetype monthPos = 0, dayPos = 0;
    qsizetype timePos = -1;                       // shown only when the time is not midnight
    qsizetype fractionPos = -1, fractionEnd = -1;  // "." and its digits, shown only when not zero
};

char32_t Code(QStringView s, qsizetype pos) { return s[pos].unicode(); }
char32_t Code(std::string_view s, qsizetype pos) { return static_cast<unsigned char>(s[static_cast<size_t>(pos)]); }

template <typename Text>
bool DigitsAt(const Text& s, qsizetype pos, qsizetype count) {
    // One look at the size for the run: a read asks this of every date cell, twice.
    if (pos + count > static_cast<qsizetype>(s.size())) return false;
    for (qsizetype i = pos; i < pos + count; ++i) {
        const char32_t c = Code(s, i);
        if (c < U'0' || c > U'9') return false;
    }
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
        parts.monthPos = 5;
        parts.dayPos = 8;
        endPos = 10;
    } else if (DigitsAt(s, 0, 8)) {
        parts.monthPos = 4;
        parts.dayPos = 6;
        endPos = 8;
    } else {
        return std::nullopt;
    }
    const int month = TwoDigits(s, parts.monthPos);
    const int day = TwoDigits(s, parts.dayPos);
    if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
    if (endPos == size) return parts;
    // A time of day: " HH:MM:SS" or "THH:MM:SS", then an optional fraction,
    // then nothing. Anything else (a time zone, a shorter time) is shown as
    // stored, so that nothing the engine gave is lost on the way back.
    const qsizetype t = endPos + 1;
    if ((at(endPos) != U' ' && at(endPos) != U'T') || size < t + 8 || !DigitsAt(s, t, 2) || at(t + 2) != U':' ||
        !DigitsAt(s, t + 3, 2) || at(t + 5) != U':' || !DigitsAt(s, t + 6, 2))
        return std::nullopt;
    const qsizetype pos = t + 8;
    if (pos < size) {
        if (at(pos) != U'.') return std::nullopt;
        const qsizetype digits = size - pos - 1;
        if (digits < 1 || digits > kMaxFractionDigits || !DigitsAt(s, pos + 1, digits)) return std::nullopt;
        for (qsizetype i = pos + 1; i < size; ++i)
            if (at(i) != U'0') {
                parts.fractionPos = pos;
                parts.fractionEnd = size;
            }
    }
    bool midnight = parts.fractionPos < 0;
    for (qsizetype i : {t, t + 1, t + 3, t + 4, t + 6, t + 7}) midnight = midnight && at(i) == U'0';
    if (!midnight) parts.timePos = t;
    return parts;
}

// The cell text of `parts` of `s`, handed to `put` one character at a time.
template <typename Text, typename Put>
void WriteDateCell(const Text& s, const DateParts& parts, Put put) {
    const qsizetype from[8] = {0, 1, 2, 3, parts.monthPos, parts.monthPos + 1, parts.dayPos, parts.dayPos + 1};
    for (qsizetype i : from) put(Code(s, i));
    if (parts.timePos < 0) return;
    put(U' ');
    for (qsizetype i = parts.timePos; i < parts.timePos + 8; ++i) put(Code(s, i));
    if (parts.fractionPos < 0) return;
    for (qsizetype i = parts.fractionPos; i < parts.fractionEnd; ++i) put(Code(s, i));
}

}  // namespace

QString DateCellText(const QString& valueText) {
    const QStringView s(valueText);
    const std::optional<DateParts> parts = FindDate(s);
    if (!parts) return valueText;
    QString text;
    text.reserve(kMaxDateCellChars);
    WriteDateCell(s, *parts, [&](char32_t c) { text += QChar(static_cast<char16_t>(c)); });
    return text;
}

std::string_view DateCellTextUtf8(std::string_view valueText, DateCellBuffer& buffer) {
    const std::optional<DateParts> parts = FindDate(valueText);
    if (!parts) return valueText;
    size_t length = 0;
    WriteDateCell(valueText, *parts, [&](char32_t c) { buffer[length++] = static_cast<char>(c); });
    return {buffer.data(), length};
}

bool DateBytesSurviveTheirCell(std::string_view stored) {
    const std::optional<DateParts> parts = FindDate(stored);
    // Not a date: its cell text is itself, and only a text too short to
    // read as one goes back unchanged.
    if (!parts) return stored.size() < 8;
    // The cell's ISO text is "yyyy-mm-dd", then " " and the time when the
    // cell shows one, then the fraction when it shows one.
    if (stored[4] != '-') return false;
    if (stored.size() == 10) return true;
    const bool fractionStored = stored.size() > 19;
    return stored[10] == ' ' && parts->timePos >= 0 && (!fractionStored || parts->fractionPos >= 0);
}

QString IsoTextOfDateCell(const QString& cellText) {
    if (cellText.size() < 8) return cellText;
    QString text = cellText.left(4) + QLatin1Char('-') + cellText.mid(4, 2) + QLatin1Char('-') + cellText.mid(6);
    return text;
}

}  // namespace velkin
