#include "db/dialect.h"

namespace velkin {

QString Dialect::discoveryQuery(const QString& base) const {
    switch (kind_) {
    case DialectKind::Oracle: return base + QStringLiteral(" WHERE ROWNUM < 2 ");
    case DialectKind::SQLite:
    case DialectKind::PostgreSQL: return base + QStringLiteral(" LIMIT 1");
    case DialectKind::MySQL: return base + QStringLiteral(" LIMIT 1");
    case DialectKind::SqlServer:
        // TOP goes right after SELECT; any other text gets the standard form,
        // which SQL Server accepts only after an ORDER BY.
        if (base.startsWith(QLatin1String("SELECT "), Qt::CaseInsensitive))
            return QStringLiteral("SELECT TOP 1") + base.mid(6);
        return base + QStringLiteral(" ORDER BY (SELECT NULL) OFFSET 0 ROWS FETCH NEXT 1 ROWS ONLY");
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
    case DialectKind::MySQL:
        // The current database only; a view's comment is the word VIEW, which says nothing.
        return QStringLiteral(
            "SELECT TABLE_NAME AS TABLE_NAME, "
            "CASE WHEN TABLE_TYPE = 'VIEW' THEN '' ELSE TABLE_COMMENT END AS COMMENTS "
            "FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE() \r\nORDER BY TABLE_NAME");
    case DialectKind::SqlServer:
        // Tables and views of the user's default schema, with the comments
        // SQL Server's tools keep as the MS_Description property.
        return QStringLiteral(
            "SELECT o.name AS TABLE_NAME, CAST(p.value AS NVARCHAR(4000)) AS COMMENTS "
            "FROM sys.objects o LEFT JOIN sys.extended_properties p ON p.class = 1 AND p.major_id = o.object_id "
            "AND p.minor_id = 0 AND p.name = N'MS_Description' "
            "WHERE o.type IN ('U','V') AND o.is_ms_shipped = 0 AND o.schema_id = SCHEMA_ID() \r\nORDER BY TABLE_NAME");
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
    if (name.contains(QStringLiteral("mysql")) || name.contains(QStringLiteral("mariadb")))
        return Dialect(DialectKind::MySQL);
    if (name.contains(QStringLiteral("sql server"))) return Dialect(DialectKind::SqlServer);
    return Dialect(DialectKind::Standard);
}

// In their default mode MySQL and MariaDB read a double-quoted name as a
// string and a backslash in a string as an escape. The program writes column
// names between double quotes and texts with only the apostrophe doubled, as
// for every other database, and the table name box is used verbatim in every
// statement. Rather than quote the server's own way (backticks), which would
// give table names typed in the box a meaning of their own on this server,
// the session is put in the standard reading:
//  - ANSI_QUOTES: "NAME" is an identifier, as everywhere else;
//  - NO_BACKSLASH_ESCAPES: a backslash in a cell is stored as typed, and a
//    cell ending in one cannot end its literal early;
//  - STRICT_TRANS_TABLES: a value that does not fit its column is refused
//    instead of being cut short or replaced with a warning.
// The server's other modes are kept.
QString Dialect::mysqlSessionSetup() {
    return QStringLiteral(
        "SET SESSION sql_mode = CONCAT_WS(',', NULLIF(@@SESSION.sql_mode, ''), "
        "'ANSI_QUOTES', 'NO_BACKSLASH_ESCAPES', 'STRICT_TRANS_TABLES')");
}

// 0 is "never wait" since MariaDB 10.3; MySQL's minimum is 1 second, and it
// takes 0 as that minimum.
QString Dialect::mysqlNoLockWait() {
    return QStringLiteral("SET SESSION innodb_lock_wait_timeout = 0, SESSION lock_wait_timeout = 0");
}

QString Dialect::mysqlTransactionalQuery(const QString& schema, const QString& table) {
    const auto quoted = [](QString text) {
        text.replace(QLatin1Char('\''), QStringLiteral("''"));
        return QLatin1Char('\'') + text + QLatin1Char('\'');
    };
    return QStringLiteral(
               "SELECT t.ENGINE, e.TRANSACTIONS FROM information_schema.TABLES t "
               "JOIN information_schema.ENGINES e ON e.ENGINE = t.ENGINE "
               "WHERE t.TABLE_SCHEMA = %1 AND t.TABLE_NAME = %2")
        .arg(quoted(schema), quoted(table));
}

QString Dialect::sqlServerNoLockWait() { return QStringLiteral("SET LOCK_TIMEOUT 0"); }

}  // namespace velkin
