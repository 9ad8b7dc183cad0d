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

NameMatching Dialect::nameMatching() const {
    switch (kind_) {
    case DialectKind::Oracle: return NameMatching::FoldsUnquotedToUpper;
    case DialectKind::PostgreSQL: return NameMatching::FoldsUnquotedToLower;
    case DialectKind::SQLite: return NameMatching::AsciiCaseBlind;
    case DialectKind::MySQL: return NameMatching::Exact;
    // SQL Server and the rest match by the database's collation, which only the server knows.
    case DialectKind::SqlServer:
    case DialectKind::Standard: return NameMatching::Unknown;
    }
    return NameMatching::Unknown;
}

QString Dialect::deleteAll(const QString& table) const {
    if (kind_ == DialectKind::Oracle) return QStringLiteral("DELETE ") + table;
    return QStringLiteral("DELETE FROM ") + table;
}

QString Dialect::selectAll(const QString& table) const {
    // The same text in every dialect so far; kept here beside deleteAll so a dialect that needs its own can say so.
    return QStringLiteral("SELECT * FROM ") + table;
}

ReplaceLock Dialect::replaceLock(const QString& table) const {
    const QString all = selectAll(table);
    switch (kind_) {
    case DialectKind::Oracle:
    case DialectKind::PostgreSQL:
        // Other sessions still read; writers fail at once (NOWAIT). On
        // PostgreSQL it also locks a partitioned table's partitions.
        return {QStringLiteral("LOCK TABLE ") + table + QStringLiteral(" IN EXCLUSIVE MODE NOWAIT"), all, false};
    case DialectKind::MySQL:
        // A locking read under REPEATABLE READ locks every row and the gaps
        // between them, so another session's INSERT fails at once as well
        // (the session waits 0 s for locks); and it reads the rows as
        // committed now, not as an earlier read of the transaction saw them.
        return {QStringLiteral("SELECT COUNT(*) FROM ") + table + QStringLiteral(" FOR UPDATE"),
                all + QStringLiteral(" FOR UPDATE"), true};
    case DialectKind::SQLite:
        // A write, even one that matches no row, takes the file's write lock
        // for the rest of the transaction; the snapshot's read comes after it.
        // (Drivers begin their transactions deferred, so no BEGIN IMMEDIATE.)
        return {QStringLiteral("DELETE FROM ") + table + QStringLiteral(" WHERE 0 = 1"), all, false};
    case DialectKind::SqlServer:
        return {QStringLiteral("SELECT COUNT(*) FROM ") + table + QStringLiteral(" WITH (TABLOCKX, HOLDLOCK, NOWAIT)"),
                all, false};
    case DialectKind::Standard: break;
    }
    return {QString(), all, false};
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

Dialect Dialect::fromDriverFacts(const QString& facts) {
    const QString text = facts.toLower();
    auto names = [&](std::initializer_list<const char*> words) {
        for (const char* word : words)
            if (text.contains(QLatin1String(word))) return true;
        return false;
    };
    if (names({"mariadb", "mysql", "maodbc", "myodbc"})) return Dialect(DialectKind::MySQL);
    if (names({"postgres", "psqlodbc"})) return Dialect(DialectKind::PostgreSQL);
    // A SQLite file reached through a driver takes dates as ISO text.
    if (names({"sqlite"})) return Dialect(DialectKind::SQLite, DateLiteralForm::IsoText);
    if (names({"sql server", "freetds", "tdsodbc", "msodbcsql", "sqlncli"})) return Dialect(DialectKind::SqlServer);
    return Dialect(DialectKind::Oracle);
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

// The program writes a text as '...' with only the apostrophe doubled, and
// PostgreSQL reads it so while standard_conforming_strings is on (the default
// since 9.1). A database, a role or the server's configuration may turn it
// off; then a backslash in a cell escapes the character after it, so a text
// holding \' ends its literal early and the rest of the statement, cell text
// included, is read as SQL. Every route to PostgreSQL therefore turns it on
// when it connects, and a connection that does not report it on afterwards
// is refused (kPostgresStringRules).
QString Dialect::postgresSessionSetup() { return QStringLiteral("SET standard_conforming_strings = on"); }

// 0 is "never wait" since MariaDB 10.3; MySQL's minimum is 1 second, and it
// takes 0 as that minimum.
QString Dialect::mysqlNoLockWait() {
    return QStringLiteral("SET SESSION innodb_lock_wait_timeout = 0, SESSION lock_wait_timeout = 0");
}

QString Dialect::sqlStringLiteral(const QString& text) {
    QString doubled = text;
    doubled.replace(QLatin1Char('\''), QStringLiteral("''"));
    return QLatin1Char('\'') + doubled + QLatin1Char('\'');
}

QString Dialect::mysqlTransactionalQuery(const QString& schema, const QString& table) {
    return QStringLiteral(
               "SELECT t.ENGINE, e.TRANSACTIONS FROM information_schema.TABLES t "
               "JOIN information_schema.ENGINES e ON e.ENGINE = t.ENGINE "
               "WHERE t.TABLE_SCHEMA = %1 AND t.TABLE_NAME = %2")
        .arg(sqlStringLiteral(schema), sqlStringLiteral(table));
}

QString Dialect::sqlServerNoLockWait() { return QStringLiteral("SET LOCK_TIMEOUT 0"); }

namespace {

// The name of the pg_class row `c` in schema row `n`, qualified when it lies
// outside the current schema.
const char* const kPostgresShownName =
    "CASE WHEN n.nspname = pg_catalog.current_schema() THEN c.relname::text "
    "ELSE n.nspname || '.' || c.relname END";

}  // namespace

// A DELETE of a partitioned table deletes the rows of its partitions, and a
// DELETE of a partition deletes rows its ancestors show: the keys that count
// are those to the table, to any partition below it and to any table above
// it. Keys of tables whose rows the DELETE removes anyway (the table and its
// partitions) are left out. conparentid: a key declared on a partitioned
// table is repeated for each partition on either side; the one declared is
// enough to name.
QString Dialect::postgresReferringKeysQuery(const QString& tableName) {
    return QStringLiteral(
               "WITH target AS (SELECT pg_catalog.to_regclass(%1) AS oid), "
               "deleted AS (SELECT oid FROM target UNION "
               "SELECT p.relid FROM target, pg_catalog.pg_partition_tree(target.oid) p), "
               "reached AS (SELECT oid FROM deleted UNION "
               "SELECT a.relid FROM target, pg_catalog.pg_partition_ancestors(target.oid) a) "
               "SELECT %2, "
               "CASE k.confdeltype WHEN 'c' THEN 'CASCADE' WHEN 'n' THEN 'SET NULL' WHEN 'd' THEN 'SET DEFAULT' "
               "WHEN 'r' THEN 'RESTRICT' ELSE 'NO ACTION' END "
               "FROM pg_catalog.pg_constraint k JOIN pg_catalog.pg_class c ON c.oid = k.conrelid "
               "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
               "WHERE k.contype = 'f' AND k.conparentid = 0 AND k.confrelid IN (SELECT oid FROM reached) "
               "AND k.conrelid NOT IN (SELECT oid FROM deleted) ORDER BY 1, 2")
        .arg(tableName, QLatin1String(kPostgresShownName));
}

// relkind v (view), m (materialized view), f (foreign table); a DELETE of a
// table with inheritance children (relkind r; a partitioned table is p)
// deletes their rows too; pg_rewrite.ev_type 3 is INSERT, 4 DELETE.
QString Dialect::postgresOverreachQuery(const QString& tableName) {
    return QStringLiteral(
               "WITH target AS (SELECT c.oid, c.relkind, c.relname FROM pg_catalog.pg_class c "
               "WHERE c.oid = pg_catalog.to_regclass(%1)) "
               "SELECT 'view', t.relname::text FROM target t WHERE t.relkind IN ('v', 'm', 'f') "
               "UNION ALL SELECT 'view', %2 FROM target t, pg_catalog.pg_partition_tree(t.oid) p "
               "JOIN pg_catalog.pg_class c ON c.oid = p.relid JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
               "WHERE c.relkind = 'f' "
               "UNION ALL SELECT 'inherits', %2 FROM target t JOIN pg_catalog.pg_inherits i ON i.inhparent = t.oid "
               "JOIN pg_catalog.pg_class c ON c.oid = i.inhrelid JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
               "WHERE t.relkind = 'r' "
               "UNION ALL SELECT 'rule', r.rulename::text FROM target t "
               "JOIN pg_catalog.pg_rewrite r ON r.ev_class = t.oid WHERE r.ev_type IN ('3', '4') "
               "ORDER BY 1, 2")
        .arg(tableName, QLatin1String(kPostgresShownName));
}

QString Dialect::mysqlOverreachQuery(const QString& typed) {
    const std::vector<NamePart> parts = SplitTableName(typed);
    const QString schema = parts.size() > 1 ? sqlStringLiteral(parts[parts.size() - 2].text) : QStringLiteral("DATABASE()");
    return QStringLiteral(
               "SELECT 'view', TABLE_NAME FROM information_schema.TABLES "
               "WHERE TABLE_SCHEMA = %1 AND TABLE_NAME = %2 AND TABLE_TYPE LIKE '%VIEW' ORDER BY 2")
        .arg(schema, sqlStringLiteral(parts.back().text));
}

QString Dialect::sqliteOverreachQuery(const QString& schema, const QString& table) {
    QString quotedSchema = schema;
    quotedSchema.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QStringLiteral(
               "SELECT 'view', name FROM \"%1\".sqlite_master WHERE type = 'view' AND name = %2 COLLATE NOCASE")
        .arg(quotedSchema, sqlStringLiteral(table));
}

QString Dialect::overreachQuery(const QString& typed) const {
    switch (kind_) {
    case DialectKind::PostgreSQL: return postgresOverreachQuery(sqlStringLiteral(typed));
    case DialectKind::MySQL: return mysqlOverreachQuery(typed);
    case DialectKind::SQLite: {
        const std::vector<NamePart> parts = SplitTableName(typed);
        return sqliteOverreachQuery(parts.size() > 1 ? parts[parts.size() - 2].text : QStringLiteral("main"),
                                    parts.back().text);
    }
    case DialectKind::Oracle:
    case DialectKind::SqlServer:
    case DialectKind::Standard: break;
    }
    return QString();
}

// UNIQUE_CONSTRAINT_SCHEMA is the referenced table's database;
// CONSTRAINT_SCHEMA and TABLE_NAME are the referring table's.
QString Dialect::mysqlReferringKeysQuery(const QString& schema, const QString& table) {
    return QStringLiteral(
               "SELECT CASE WHEN CONSTRAINT_SCHEMA = %1 THEN TABLE_NAME "
               "ELSE CONCAT(CONSTRAINT_SCHEMA, '.', TABLE_NAME) END, DELETE_RULE "
               "FROM information_schema.REFERENTIAL_CONSTRAINTS "
               "WHERE UNIQUE_CONSTRAINT_SCHEMA = %1 AND REFERENCED_TABLE_NAME = %2 "
               "AND NOT (CONSTRAINT_SCHEMA = %1 AND TABLE_NAME = %2) ORDER BY 1, 2")
        .arg(sqlStringLiteral(schema), sqlStringLiteral(table));
}

QString Dialect::sqlServerReferringKeysQuery(const QString& table) {
    return QStringLiteral(
               "SELECT CASE WHEN o.schema_id = SCHEMA_ID() THEN o.name ELSE s.name + N'.' + o.name END, "
               "REPLACE(k.delete_referential_action_desc, N'_', N' ') "
               "FROM sys.foreign_keys k JOIN sys.objects o ON o.object_id = k.parent_object_id "
               "JOIN sys.schemas s ON s.schema_id = o.schema_id "
               "WHERE k.referenced_object_id = OBJECT_ID(N%1) AND k.parent_object_id <> k.referenced_object_id "
               "ORDER BY 1, 2")
        .arg(sqlStringLiteral(table));
}

// SQLite compares table names without regard to case, quoted or not, and a
// foreign key can only refer to a table of its own schema.
QString Dialect::sqliteReferringKeysQuery(const QString& schema, const QString& table) {
    QString quotedSchema = schema;
    quotedSchema.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QStringLiteral(
               "SELECT m.name, f.on_delete FROM \"%1\".sqlite_master AS m "
               "JOIN pragma_foreign_key_list(m.name, %2) AS f "
               "WHERE m.type = 'table' AND f.\"table\" = %3 COLLATE NOCASE AND m.name <> %3 COLLATE NOCASE "
               "AND (SELECT foreign_keys FROM pragma_foreign_keys) = 1 ORDER BY 1, 2")
        .arg(quotedSchema, sqlStringLiteral(schema), sqlStringLiteral(table));
}

std::vector<NamePart> SplitTableName(const QString& typed) {
    std::vector<NamePart> parts(1);
    QChar close;  // the quote being inside of; null outside quotes
    for (qsizetype i = 0; i < typed.size(); ++i) {
        const QChar ch = typed.at(i);
        if (!close.isNull()) {
            if (ch != close) {
                parts.back().text += ch;
            } else if (i + 1 < typed.size() && typed.at(i + 1) == close) {
                parts.back().text += ch;  // a doubled quote stands for one
                ++i;
            } else {
                close = QChar();
            }
        } else if (ch == QLatin1Char('"') || ch == QLatin1Char('`') || ch == QLatin1Char('[')) {
            close = ch == QLatin1Char('[') ? QLatin1Char(']') : ch;
            parts.back().quoted = true;
        } else if (ch == QLatin1Char('.')) {
            parts.emplace_back();
        } else if (!ch.isSpace()) {
            parts.back().text += ch;
        }
    }
    return parts;
}

bool IsPlainTableName(const QString& typed) {
    int parts = 0;
    qsizetype i = 0;
    const qsizetype n = typed.size();
    for (;;) {
        if (++parts > 2 || i >= n) return false;
        const QChar first = typed.at(i);
        if (first == QLatin1Char('"') || first == QLatin1Char('`')) {
            // Quoted: to the closing quote, a doubled one standing for one.
            qsizetype j = i + 1;
            for (;; ++j) {
                if (j >= n) return false;
                if (typed.at(j).isNull()) return false;
                if (typed.at(j) != first) continue;
                if (j + 1 < n && typed.at(j + 1) == first) {
                    ++j;
                    continue;
                }
                break;
            }
            if (j == i + 1) return false;  // an empty name
            i = j + 1;
        } else {
            const qsizetype start = i;
            for (; i < n; ++i) {
                const char16_t c = typed.at(i).unicode();
                const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                                   c == u'_' || c == u'$' || c >= 0x80;
                if (!plain) break;
            }
            if (i == start) return false;
        }
        if (i == n) return true;
        if (typed.at(i) != QLatin1Char('.')) return false;
        ++i;
    }
}

}  // namespace velkin
