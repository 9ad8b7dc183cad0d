#include "db/dialect.h"

namespace velkin {

QString Dialect::discoveryQuery(const QString& base) const {
    switch (kind_) {
    case DialectKind::Oracle: return base + QStringLiteral(" WHERE ROWNUM < 2 ");
    case DialectKind::SQLite:
    case DialectKind::PostgreSQL: return base + QStringLiteral(" LIMIT 1");
    case DialectKind::Standard: return base + QStringLiteral(" FETCH FIRST 1 ROWS ONLY");
    }
    return base;
}

QString Dialect::deleteAll(const QString& table) const {
    if (kind_ == DialectKind::Oracle) return QStringLiteral("DELETE ") + table;
    return QStringLiteral("DELETE FROM ") + table;
}

QString Dialect::selectAll(const QString& table) const {
    // The same text in every dialect so far; kept here beside deleteAll so a dialect that needs its own can say so.
    return QStringLiteral("SELECT * FROM ") + table;
}

QString Dialect::tableListQuery() const {
    switch (kind_) {
    case DialectKind::Oracle:
        return QStringLiteral("SELECT TABLE_NAME,COMMENTS FROM USER_TAB_COMMENTS \r\nORDER BY TABLE_NAME");
    case DialectKind::SQLite:
        // SQLite keeps no comments; the column is there so the grid looks the same.
        return QStringLiteral(
            "SELECT name AS TABLE_NAME, '' AS COMMENTS FROM sqlite_master "
            "WHERE type IN ('table','view') AND name NOT LIKE 'sqlite_%' \r\nORDER BY TABLE_NAME");
    case DialectKind::PostgreSQL:
        return QStringLiteral(
            "SELECT c.relname AS \"TABLE_NAME\", obj_description(c.oid, 'pg_class') AS \"COMMENTS\" "
            "FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
            "WHERE c.relkind IN ('r','v','m','p','f') AND n.nspname = current_schema() "
            "\r\nORDER BY 1");
    case DialectKind::Standard:
        return QStringLiteral(
            "SELECT TABLE_NAME, '' AS COMMENTS FROM INFORMATION_SCHEMA.TABLES \r\nORDER BY TABLE_NAME");
    }
    return QString();
}

Dialect Dialect::fromDbmsName(const QString& dbmsName) {
    const QString name = dbmsName.toLower();
    if (name.contains(QStringLiteral("oracle"))) return Dialect(DialectKind::Oracle);
    if (name.contains(QStringLiteral("postgres"))) return Dialect(DialectKind::PostgreSQL);
    if (name.contains(QStringLiteral("sqlite"))) return Dialect(DialectKind::SQLite);
    return Dialect(DialectKind::Standard);
}

}  // namespace velkin
