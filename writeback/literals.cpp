#include "writeback/literals.h"

#include "db/error.h"
#include "writeback/number_literal.h"

#include <QDate>

namespace velkin {

namespace {

QString Quoted(const QString& text) {
    QString doubled = text;
    doubled.replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1Char('\'') + doubled + QLatin1Char('\'');
}

// Eight digits, year, month and day, naming a real calendar date.
bool IsDateCellText(const QString& text) {
    if (text.size() != 8) return false;
    for (QChar ch : text)
        if (ch < QLatin1Char('0') || ch > QLatin1Char('9')) return false;
    return QDate::isValid(text.left(4).toInt(), text.mid(4, 2).toInt(), text.mid(6, 2).toInt()) &&
           text.left(4).toInt() > 0;
}

}  // namespace

QString CellLiteral(const QString& columnType, const QString& cellText) {
    const bool empty = cellText.isEmpty();
    if (columnType == QLatin1String("NUMBER")) return empty ? QStringLiteral("0") : NumberLiteral(cellText);
    if (columnType == QLatin1String("DATE")) {
        // An empty date cell means "no date"; 0 would be refused by a date column.
        if (empty) return QStringLiteral("NULL");
        // Some engines' TO_DATE reads "2024-01-31" or "2024013" as another date
        // without complaint; such a cell is refused here instead of stored wrong.
        if (!IsDateCellText(cellText)) throw Error::TypeMismatch();
        return QLatin1String("TO_DATE(") + Quoted(cellText) + QLatin1String(",'yyyymmdd')");
    }
    if (columnType == QLatin1String("CHAR")) return empty ? QStringLiteral("' '") : Quoted(cellText);
    // VARCHAR2, ETC and any name the catalogue does not know.
    return Quoted(cellText);
}

QString QuotedIdentifier(const QString& name) {
    QString doubled = name;
    doubled.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + doubled + QLatin1Char('"');
}

}  // namespace velkin
