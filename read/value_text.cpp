#include "read/value_text.h"

#include <limits>

namespace velkin {

namespace {

bool DigitsAt(const QString& s, qsizetype pos, qsizetype count) {
    if (pos + count > s.size()) return false;
    for (qsizetype i = pos; i < pos + count; ++i) {
        const char16_t c = s.at(i).unicode();
        if (c < u'0' || c > u'9') return false;
    }
    return true;
}

int TwoDigits(const QString& s, qsizetype pos) {
    return (s.at(pos).unicode() - u'0') * 10 + (s.at(pos + 1).unicode() - u'0');
}

bool DigitAt(const QString& s, qsizetype pos) {
    return pos < s.size() && s.at(pos).unicode() >= u'0' && s.at(pos).unicode() <= u'9';
}

}  // namespace

QString DateCellText(const QString& valueText) {
    const QString& s = valueText;
    qsizetype monthPos = 0;
    qsizetype dayPos = 0;
    qsizetype endPos = 0;
    if (DigitsAt(s, 0, 4) && s.size() >= 10 && (s.at(4) == u'-' || s.at(4) == u'/') && s.at(7) == s.at(4) &&
        DigitsAt(s, 5, 2) && DigitsAt(s, 8, 2)) {
        monthPos = 5;
        dayPos = 8;
        endPos = 10;
    } else if (DigitsAt(s, 0, 8)) {
        monthPos = 4;
        dayPos = 6;
        endPos = 8;
    } else {
        return valueText;
    }
    // A digit right after the day means a longer number, not a date.
    if (DigitAt(s, endPos)) return valueText;
    const int month = TwoDigits(s, monthPos);
    const int day = TwoDigits(s, dayPos);
    if (month < 1 || month > 12 || day < 1 || day > 31) return valueText;
    // Built in place: a read converts every date cell this way.
    QString digits(8, Qt::Uninitialized);
    QChar* out = digits.data();
    const QChar* in = s.constData();
    for (qsizetype i = 0; i < 4; ++i) out[i] = in[i];
    out[4] = in[monthPos];
    out[5] = in[monthPos + 1];
    out[6] = in[dayPos];
    out[7] = in[dayPos + 1];
    return digits;
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
