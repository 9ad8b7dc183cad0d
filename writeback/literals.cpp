#include "writeback/literals.h"

#include "db/error.h"
#include "writeback/number_literal.h"

#include <QDate>

namespace velkin {

namespace {

// 'text' with every apostrophe doubled, appended to `out`.
void AppendQuoted(QString& out, const QString& text) {
    out += QLatin1Char('\'');
    if (!text.contains(QLatin1Char('\''))) {
        out += text;
    } else {
        QString doubled = text;
        doubled.replace(QLatin1Char('\''), QLatin1String("''"));
        out += doubled;
    }
    out += QLatin1Char('\'');
}

int Digits(const QString& text, qsizetype from, qsizetype count) {
    int value = 0;
    for (qsizetype i = from; i < from + count; ++i) value = value * 10 + (text.at(i).unicode() - u'0');
    return value;
}

// Eight digits, year, month and day, naming a real calendar date.
bool IsDateCellText(const QString& text) {
    if (text.size() != 8) return false;
    for (QChar ch : text)
        if (ch < QLatin1Char('0') || ch > QLatin1Char('9')) return false;
    const int year = Digits(text, 0, 4);
    return year > 0 && QDate::isValid(year, Digits(text, 4, 2), Digits(text, 6, 2));
}

}  // namespace

// The replace writes a literal for every cell of every row; appending in place
// spares it the temporary strings of each literal.
void AppendCellLiteral(QString& out, const QString& columnType, const QString& cellText, DateLiteralForm dateForm) {
    const bool empty = cellText.isEmpty();
    if (columnType == QLatin1String("NUMBER")) {
        if (empty)
            out += QLatin1Char('0');
        else
            out += NumberLiteral(cellText);
        return;
    }
    if (columnType == QLatin1String("DATE")) {
        // An empty date cell means "no date"; 0 would be refused by a date column.
        if (empty) {
            out += QLatin1String("NULL");
            return;
        }
        // Some engines' TO_DATE reads "2024-01-31" or "2024013" as another date
        // without complaint; such a cell is refused here instead of stored wrong.
        if (!IsDateCellText(cellText)) throw Error::TypeMismatch();
        switch (dateForm) {
        case DateLiteralForm::ToDate:
            out += QLatin1String("TO_DATE(");
            AppendQuoted(out, cellText);
            out += QLatin1String(",'yyyymmdd')");
            return;
        case DateLiteralForm::CompactText: AppendQuoted(out, cellText); return;
        case DateLiteralForm::StandardDate: out += QLatin1String("DATE "); [[fallthrough]];
        case DateLiteralForm::IsoText:
            AppendQuoted(out, cellText.left(4) + QLatin1Char('-') + cellText.mid(4, 2) + QLatin1Char('-') +
                                  cellText.mid(6, 2));
            return;
        }
        return;
    }
    if (columnType == QLatin1String("CHAR") && empty) {
        out += QLatin1String("' '");
        return;
    }
    // CHAR, VARCHAR2, ETC and any name the catalogue does not know.
    AppendQuoted(out, cellText);
}

QString CellLiteral(const QString& columnType, const QString& cellText, DateLiteralForm dateForm) {
    QString literal;
    AppendCellLiteral(literal, columnType, cellText, dateForm);
    return literal;
}

QString QuotedIdentifier(const QString& name) {
    QString doubled = name;
    doubled.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + doubled + QLatin1Char('"');
}

}  // namespace velkin
