#include "writeback/literals.h"

#include "writeback/number_literal.h"

namespace velkin {

namespace {

QString Quoted(const QString& text) {
    QString doubled = text;
    doubled.replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1Char('\'') + doubled + QLatin1Char('\'');
}

}  // namespace

QString CellLiteral(const QString& columnType, const QString& cellText) {
    const bool empty = cellText.isEmpty();
    if (columnType == QLatin1String("NUMBER")) return empty ? QStringLiteral("0") : NumberLiteral(cellText);
    if (columnType == QLatin1String("DATE")) {
        // An empty date cell means "no date"; 0 would be refused by a date column.
        if (empty) return QStringLiteral("NULL");
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
