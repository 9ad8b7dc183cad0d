#include "db/dialect.h"

#include <iterator>
#include <utility>

namespace velkin {

// The texts of the catalogue queries, by the names each one takes.

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
QString Dialect::postgresReferringKeysCtes(const QString& targets) {
    return QStringLiteral(
               "deleted AS (SELECT t.oid AS target, t.oid FROM %1 t UNION "
               "SELECT t.oid, p.relid FROM %1 t, pg_catalog.pg_partition_tree(t.oid) p), "
               "reached AS (SELECT target, oid FROM deleted UNION "
               "SELECT t.oid, a.relid FROM %1 t, pg_catalog.pg_partition_ancestors(t.oid) a), "
               "referring AS (SELECT r.target, k.oid AS key FROM reached r "
               "JOIN pg_catalog.pg_constraint k ON k.confrelid = r.oid "
               "WHERE k.contype = 'f' AND k.conparentid = 0 "
               "AND k.conrelid NOT IN (SELECT d.oid FROM deleted d WHERE d.target = r.target))")
        .arg(targets);
}

QString Dialect::postgresReferringKeysQuery(const QString& tableName) {
    return QStringLiteral(
               "WITH target AS (SELECT pg_catalog.to_regclass(%1) AS oid), %3 "
               "SELECT %2, "
               "CASE k.confdeltype WHEN 'c' THEN 'CASCADE' WHEN 'n' THEN 'SET NULL' WHEN 'd' THEN 'SET DEFAULT' "
               "WHEN 'r' THEN 'RESTRICT' ELSE 'NO ACTION' END "
               "FROM referring f JOIN pg_catalog.pg_constraint k ON k.oid = f.key "
               "JOIN pg_catalog.pg_class c ON c.oid = k.conrelid "
               "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace ORDER BY 1, 2")
        .arg(tableName, QLatin1String(kPostgresShownName), postgresReferringKeysCtes(QStringLiteral("target")));
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

// The unique indexes as rows of the index, whether it is the primary key,
// the column (NULL for an expression: MySQL's functional indexes), whether the
// column counts for a key (NOT NULL), its place in the index; and, on every
// row, whether keys of other tables refer to the table. One row of NULLs
// when the table has no unique index.
QString Dialect::mysqlKeyIndexesQuery(const QString& schema, const QString& table) {
    return QStringLiteral(
               "SELECT s.INDEX_NAME, s.INDEX_NAME = 'PRIMARY', s.COLUMN_NAME, "
               "s.COLUMN_NAME IS NOT NULL AND s.NULLABLE <> 'YES', s.SEQ_IN_INDEX, EXISTS (%3) "
               "FROM (SELECT 1) AS one LEFT JOIN information_schema.STATISTICS s "
               "ON s.TABLE_SCHEMA = %1 AND s.TABLE_NAME = %2 AND s.NON_UNIQUE = 0 "
               "ORDER BY 2 DESC, 1, 5")
        .arg(sqlStringLiteral(schema), sqlStringLiteral(table), mysqlReferringKeysQuery(schema, table));
}

// The name resolved as the DELETE will; a column of an expression has no
// attribute (attnum 0). Columns an index INCLUDEs are not of its key.
QString Dialect::postgresKeyIndexesQuery(const QString& tableName) {
    return QStringLiteral(
               "SELECT x.relname::text, i.indisprimary::int, a.attname::text, "
               "coalesce(a.attnotnull AND i.indisvalid AND i.indpred IS NULL AND i.indexprs IS NULL, false)::int, "
               "c.place FROM pg_catalog.pg_index i JOIN pg_catalog.pg_class x ON x.oid = i.indexrelid "
               "CROSS JOIN LATERAL unnest(i.indkey::pg_catalog.int2[]) WITH ORDINALITY AS c(num, place) "
               "LEFT JOIN pg_catalog.pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = c.num "
               "WHERE i.indrelid = pg_catalog.to_regclass(%1) AND i.indisunique AND c.place <= i.indnkeyatts "
               "ORDER BY 2 DESC, 1, 5")
        .arg(tableName);
}

// The primary key's columns from table_info (pk: the place in the key), and
// the indexes of UNIQUE constraints and CREATE UNIQUE INDEX from
// index_list; index_info names a column by cid, -1 the rowid and -2 an
// expression, which have no NOT NULL of their own.
QString Dialect::sqliteKeyIndexesQuery(const QString& schema, const QString& table) {
    return QStringLiteral(
               "SELECT '', 1, name, 1, pk FROM pragma_table_info(%2, %1) WHERE pk > 0 "
               "UNION ALL SELECT l.name, 0, i.name, l.partial = 0 AND i.cid >= 0 AND coalesce(t.\"notnull\", 0), "
               "i.seqno FROM pragma_index_list(%2, %1) AS l JOIN pragma_index_info(l.name, %1) AS i "
               "LEFT JOIN pragma_table_info(%2, %1) AS t ON t.cid = i.cid "
               "WHERE l.\"unique\" = 1 AND l.origin <> 'pk' ORDER BY 2 DESC, 1, 5")
        .arg(sqlStringLiteral(schema), sqlStringLiteral(table));
}

namespace {

// The catalogue queries by the name as typed, for the dialects whose
// builders above take it otherwise.
QString PostgresReferringKeysByName(const QString& typed) {
    return Dialect::postgresReferringKeysQuery(Dialect::sqlStringLiteral(typed));
}

QString PostgresOverreachByName(const QString& typed) {
    return Dialect::postgresOverreachQuery(Dialect::sqlStringLiteral(typed));
}

// SQLite: an unqualified name lies in "main".
std::pair<QString, QString> SqliteSchemaAndTable(const QString& typed) {
    const std::vector<NamePart> parts = SplitTableName(typed);
    return {parts.size() > 1 ? parts[parts.size() - 2].text : QStringLiteral("main"), parts.back().text};
}

QString SqliteReferringKeysByName(const QString& typed) {
    const auto [schema, table] = SqliteSchemaAndTable(typed);
    return Dialect::sqliteReferringKeysQuery(schema, table);
}

QString SqliteKeyIndexesByName(const QString& typed) {
    const auto [schema, table] = SqliteSchemaAndTable(typed);
    return Dialect::sqliteKeyIndexesQuery(schema, table);
}

QString PostgresKeyIndexesByName(const QString& typed) {
    return Dialect::postgresKeyIndexesQuery(Dialect::sqlStringLiteral(typed));
}

QString SqliteOverreachByName(const QString& typed) {
    const auto [schema, table] = SqliteSchemaAndTable(typed);
    return Dialect::sqliteOverreachQuery(schema, table);
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
constexpr const char* kMySqlSessionSetup =
    "SET SESSION sql_mode = CONCAT_WS(',', NULLIF(@@SESSION.sql_mode, ''), "
    "'ANSI_QUOTES', 'NO_BACKSLASH_ESCAPES', 'STRICT_TRANS_TABLES')";

// The program writes a text as '...' with only the apostrophe doubled, and
// PostgreSQL reads it so while standard_conforming_strings is on (the default
// since 9.1). A database, a role or the server's configuration may turn it
// off; then a backslash in a cell escapes the character after it, so a text
// holding \' ends its literal early and the rest of the statement, cell text
// included, is read as SQL. Every route to PostgreSQL therefore turns it on
// when it connects, and a connection that does not report it on afterwards
// is refused (kPostgresStringRules).
constexpr const char* kPostgresSessionSetup = "SET standard_conforming_strings = on";

// Every dialect doubles the apostrophe and nothing else; the two whose
// servers may read a backslash otherwise pin that in their session setup.
constexpr StringRules kApostropheDoubled{"'", nullptr, nullptr};

constexpr QuotedDateForm kIsoText{"", "", true};
constexpr QuotedDateForm kCompactText{"", "", false};
constexpr QuotedDateForm kStandardTimestamp{"TIMESTAMP ", "", true};
constexpr BinaryLiteralForm kHexString{"X'", "'", nullptr, false};

constexpr const char* kLimitOne = " LIMIT 1";

constexpr DialectDescription kDescriptions[] = {
    {
        .kind = DialectKind::Oracle,
        .name = "Oracle",
        .firstRowSuffix = " WHERE ROWNUM < 2 ",
        .firstRowAfterSelect = nullptr,
        .deleteAllPrefix = "DELETE ",
        .selectAllPrefix = "SELECT * FROM ",
        // Other sessions still read; writers fail at once (NOWAIT).
        .replaceLock = {"LOCK TABLE ", " IN EXCLUSIVE MODE NOWAIT", "", false},
        .rowLock = {nullptr, nullptr, "", " FOR UPDATE NOWAIT", false},
        .nameMatching = NameMatching::FoldsUnquotedToUpper,
        .dateForm = DateLiteralForm::ToDate,
        .driverDateForm = DateLiteralForm::ToDate,
        // DATE keeps seconds; only a TIMESTAMP has a fraction.
        .dateTime = {"TO_DATE(", ",'yyyymmdd hh24:mi:ss')", false},
        .dateTimeWithFraction = {"TO_TIMESTAMP(", ",'yyyymmdd hh24:mi:ss.ff')", false},
        .binary = {"HEXTORAW('", "')", nullptr, false},
        .quotesNumbersAsRead = false,
        .identifierQuote = '"',
        .identifierQuotePinnedBy = nullptr,
        .strings = kApostropheDoubled,
        .sessionSetup = nullptr,
        .noLockWait = nullptr,  // no session setting: the lock statement says NOWAIT
        .lockingIsolation = nullptr,
        .lostSavepointError = 0,
        .keepsWrittenText = false,
        .tableList = "SELECT TABLE_NAME,COMMENTS FROM USER_TAB_COMMENTS \r\nORDER BY TABLE_NAME",
        .referringKeys = nullptr,  // the driver's SQLForeignKeys answers
        .overreach = nullptr,      // the driver's SQLTables answers
        .keyIndexes = nullptr,
        .baseTableReferringKeys = nullptr,
        .transactional = nullptr,
    },
    {
        .kind = DialectKind::SQLite,
        .name = "SQLite",
        .firstRowSuffix = kLimitOne,
        .firstRowAfterSelect = nullptr,
        .deleteAllPrefix = "DELETE FROM ",
        .selectAllPrefix = "SELECT * FROM ",
        // A write, even one that matches no row, takes the file's write lock
        // for the rest of the transaction; the snapshot's read comes after it.
        // (Drivers begin their transactions deferred, so no BEGIN IMMEDIATE.)
        .replaceLock = {"DELETE FROM ", " WHERE 0 = 1", "", false},
        // The same empty DELETE: the write lock covers every row.
        .rowLock = {"DELETE FROM ", " WHERE 0 = 1", "", "", false},
        .nameMatching = NameMatching::AsciiCaseBlind,
        // TO_DATE is the embedded engine's own function; a SQLite file
        // reached through a driver takes dates as ISO text, the form the
        // read accepts.
        .dateForm = DateLiteralForm::ToDate,
        .driverDateForm = DateLiteralForm::IsoText,
        // What the embedded TO_DATE makes of a date, with the time after it.
        .dateTime = kIsoText,
        .dateTimeWithFraction = kIsoText,
        .binary = kHexString,
        .quotesNumbersAsRead = false,
        .identifierQuote = '"',
        .identifierQuotePinnedBy = nullptr,
        .strings = kApostropheDoubled,
        .sessionSetup = nullptr,
        .noLockWait = nullptr,  // the engine's busy timeout, or the data source's Timeout, decides
        .lockingIsolation = nullptr,
        .lostSavepointError = 0,
        .keepsWrittenText = true,
        // SQLite keeps no comments; the column is there so the grid looks the same.
        .tableList = "SELECT name AS TABLE_NAME, '' AS COMMENTS FROM sqlite_master "
                     "WHERE type IN ('table','view') AND name NOT LIKE 'sqlite_%' \r\nORDER BY TABLE_NAME",
        // SQLite's driver turns foreign keys on when the source says FKSupport=1.
        .referringKeys = SqliteReferringKeysByName,
        .overreach = SqliteOverreachByName,
        .keyIndexes = SqliteKeyIndexesByName,
        .baseTableReferringKeys = nullptr,
        .transactional = nullptr,
    },
    {
        .kind = DialectKind::PostgreSQL,
        .name = "PostgreSQL",
        .firstRowSuffix = kLimitOne,
        .firstRowAfterSelect = nullptr,
        .deleteAllPrefix = "DELETE FROM ",
        .selectAllPrefix = "SELECT * FROM ",
        // As on Oracle; it also locks a partitioned table's partitions.
        .replaceLock = {"LOCK TABLE ", " IN EXCLUSIVE MODE NOWAIT", "", false},
        // Its read cursors scroll, and a scrollable cursor cannot lock: the lock goes first.
        .rowLock = {nullptr, nullptr, "", " FOR UPDATE NOWAIT", true},
        .nameMatching = NameMatching::FoldsUnquotedToLower,
        .dateForm = DateLiteralForm::ToDate,
        .driverDateForm = DateLiteralForm::ToDate,
        .dateTime = kStandardTimestamp,
        .dateTimeWithFraction = kStandardTimestamp,
        // A cast to the column's own type where the engine reports one.
        .binary = {"'\\x", "'", "bytea", false},
        .quotesNumbersAsRead = false,
        .identifierQuote = '"',
        .identifierQuotePinnedBy = nullptr,
        .strings = {"'", Dialect::kPostgresStringRules, Dialect::kPostgresStringRulesValue},
        .sessionSetup = kPostgresSessionSetup,
        // As long as the native engine's kNoWaitLockTimeout: long enough to
        // pass a lock released at once, short enough not to be noticed.
        .noLockWait = "SET lock_timeout = '100ms'",
        .lockingIsolation = nullptr,
        .lostSavepointError = 0,
        .keepsWrittenText = false,
        .tableList = "SELECT c.relname AS \"TABLE_NAME\", obj_description(c.oid, 'pg_class') AS \"COMMENTS\" "
                     "FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
                     "WHERE c.relkind IN ('r','v','m','p','f') AND n.nspname = current_schema() "
                     "\r\nORDER BY 1",
        .referringKeys = PostgresReferringKeysByName,
        .overreach = PostgresOverreachByName,
        .keyIndexes = PostgresKeyIndexesByName,
        .baseTableReferringKeys = nullptr,
        .transactional = nullptr,
    },
    {
        .kind = DialectKind::MySQL,
        .name = "MySQL/MariaDB",
        .firstRowSuffix = kLimitOne,
        .firstRowAfterSelect = nullptr,
        .deleteAllPrefix = "DELETE FROM ",
        .selectAllPrefix = "SELECT * FROM ",
        // A locking read under REPEATABLE READ locks every row and the gaps
        // between them, so another session's INSERT fails at once as well
        // (the session waits 0 s for locks); and it reads the rows as
        // committed now, not as an earlier read of the transaction saw them.
        .replaceLock = {"SELECT COUNT(*) FROM ", " FOR UPDATE", " FOR UPDATE", true},
        // The session waits 0 s for locks, as for the replace.
        .rowLock = {nullptr, nullptr, "", " FOR UPDATE", false},
        // As typed, case included (table names are file names).
        .nameMatching = NameMatching::Exact,
        .dateForm = DateLiteralForm::StandardDate,
        .driverDateForm = DateLiteralForm::StandardDate,
        .dateTime = kStandardTimestamp,
        .dateTimeWithFraction = kStandardTimestamp,
        // A BIT column takes its bits; a hexadecimal string is as long as its
        // bytes and overflows a BIT(1).
        .binary = {"X'", "'", nullptr, true},
        // MySQL reads a long unquoted number as DECIMAL, 65 digits at most;
        // quoted, it converts the text to the column's own type.
        .quotesNumbersAsRead = true,
        .identifierQuote = '"',
        .identifierQuotePinnedBy = "ANSI_QUOTES",
        .strings = {"'", "NO_BACKSLASH_ESCAPES", nullptr},
        .sessionSetup = kMySqlSessionSetup,
        // 0 is "never wait" since MariaDB 10.3; MySQL's minimum is 1 second,
        // and it takes 0 as that minimum.
        .noLockWait = "SET SESSION innodb_lock_wait_timeout = 0, SESSION lock_wait_timeout = 0",
        .lockingIsolation = "SET SESSION TRANSACTION ISOLATION LEVEL REPEATABLE READ",
        // An abort (a deadlock, a cluster's certification conflict) between
        // two statements ends the transaction without a word; 1305 is "no
        // such savepoint".
        .lostSavepointError = 1305,
        .keepsWrittenText = false,
        // The current database only; a view's comment is the word VIEW, which says nothing.
        .tableList = "SELECT TABLE_NAME AS TABLE_NAME, "
                     "CASE WHEN TABLE_TYPE = 'VIEW' THEN '' ELSE TABLE_COMMENT END AS COMMENTS "
                     "FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE() \r\nORDER BY TABLE_NAME",
        // A name may be a view over tables of other databases: its keys are
        // asked by the tables behind it (baseTableReferringKeys).
        .referringKeys = nullptr,
        .overreach = Dialect::mysqlOverreachQuery,
        .keyIndexes = nullptr,
        .baseTableReferringKeys = Dialect::mysqlReferringKeysQuery,
        .transactional = Dialect::mysqlTransactionalQuery,
    },
    {
        .kind = DialectKind::SqlServer,
        .name = "SQL Server",
        // TOP goes right after SELECT; any other text gets the standard form,
        // which SQL Server accepts only after an ORDER BY.
        .firstRowSuffix = " ORDER BY (SELECT NULL) OFFSET 0 ROWS FETCH NEXT 1 ROWS ONLY",
        .firstRowAfterSelect = " TOP 1",
        .deleteAllPrefix = "DELETE FROM ",
        .selectAllPrefix = "SELECT * FROM ",
        .replaceLock = {"SELECT COUNT(*) FROM ", " WITH (TABLOCKX, HOLDLOCK, NOWAIT)", "", false},
        .rowLock = {nullptr, nullptr, " WITH (UPDLOCK, ROWLOCK, HOLDLOCK, NOWAIT)", "", false},
        // Names match by the database's collation, which only the server knows.
        .nameMatching = NameMatching::Unknown,
        // SQL Server reads yyyymmdd alike under every language and
        // DATEFORMAT setting (it may take '2024-01-31' as yyyy-dd-mm).
        .dateForm = DateLiteralForm::CompactText,
        .driverDateForm = DateLiteralForm::CompactText,
        .dateTime = kCompactText,
        .dateTimeWithFraction = kCompactText,
        .binary = {"0x", "", nullptr, false},
        .quotesNumbersAsRead = false,
        .identifierQuote = '"',  // QUOTED_IDENTIFIER, on in every ODBC connection
        .identifierQuotePinnedBy = nullptr,
        .strings = kApostropheDoubled,
        .sessionSetup = nullptr,
        .noLockWait = "SET LOCK_TIMEOUT 0",
        .lockingIsolation = nullptr,
        .lostSavepointError = 0,
        .keepsWrittenText = false,
        // Tables and views of the user's default schema, with the comments
        // SQL Server's tools keep as the MS_Description property.
        .tableList = "SELECT o.name AS TABLE_NAME, CAST(p.value AS NVARCHAR(4000)) AS COMMENTS "
                     "FROM sys.objects o LEFT JOIN sys.extended_properties p ON p.class = 1 AND p.major_id = o.object_id "
                     "AND p.minor_id = 0 AND p.name = N'MS_Description' "
                     "WHERE o.type IN ('U','V') AND o.is_ms_shipped = 0 AND o.schema_id = SCHEMA_ID() \r\nORDER BY TABLE_NAME",
        .referringKeys = Dialect::sqlServerReferringKeysQuery,
        .overreach = nullptr,  // the driver's SQLTables answers
        .keyIndexes = nullptr,
        .baseTableReferringKeys = nullptr,
        .transactional = nullptr,
    },
    {
        .kind = DialectKind::Standard,
        .name = "standard SQL",
        .firstRowSuffix = " FETCH FIRST 1 ROWS ONLY",
        .firstRowAfterSelect = nullptr,
        .deleteAllPrefix = "DELETE FROM ",
        .selectAllPrefix = "SELECT * FROM ",
        .replaceLock = {nullptr, nullptr, "", false},  // no lock statement is known
        .rowLock = {nullptr, nullptr, "", "", false},
        .nameMatching = NameMatching::Unknown,
        .dateForm = DateLiteralForm::StandardDate,
        .driverDateForm = DateLiteralForm::StandardDate,
        .dateTime = kStandardTimestamp,
        .dateTimeWithFraction = kStandardTimestamp,
        .binary = kHexString,
        .quotesNumbersAsRead = false,
        .identifierQuote = '"',
        .identifierQuotePinnedBy = nullptr,
        .strings = kApostropheDoubled,
        .sessionSetup = nullptr,
        .noLockWait = nullptr,
        .lockingIsolation = nullptr,
        .lostSavepointError = 0,
        .keepsWrittenText = false,
        .tableList = "SELECT TABLE_NAME, '' AS COMMENTS FROM INFORMATION_SCHEMA.TABLES \r\nORDER BY TABLE_NAME",
        .referringKeys = nullptr,
        .overreach = nullptr,
        .keyIndexes = nullptr,
        .baseTableReferringKeys = nullptr,
        .transactional = nullptr,
    },
};

// Describe indexes the table by kind.
constexpr bool InKindOrder() {
    for (size_t i = 0; i < std::size(kDescriptions); ++i)
        if (kDescriptions[i].kind != kDialectKinds[i]) return false;
    return std::size(kDescriptions) == std::size(kDialectKinds);
}
static_assert(InKindOrder(), "one description per DialectKind, in the enum's order");

QString Text(const char* text) { return text ? QString::fromLatin1(text) : QString(); }

}  // namespace

const DialectDescription& Describe(DialectKind kind) { return kDescriptions[static_cast<size_t>(kind)]; }

QString Dialect::discoveryQuery(const QString& base) const {
    const DialectDescription& d = description();
    if (d.firstRowAfterSelect && base.startsWith(QLatin1String("SELECT "), Qt::CaseInsensitive))
        return QStringLiteral("SELECT") + QLatin1String(d.firstRowAfterSelect) + base.mid(6);
    return base + QLatin1String(d.firstRowSuffix);
}

QString Dialect::deleteAll(const QString& table) const { return QLatin1String(description().deleteAllPrefix) + table; }

QString Dialect::selectAll(const QString& table) const { return QLatin1String(description().selectAllPrefix) + table; }

ReplaceLock Dialect::replaceLock(const QString& table) const {
    const ReplaceLockForm& lock = description().replaceLock;
    const QString all = selectAll(table);
    if (!lock.before) return {QString(), all, false};
    return {QLatin1String(lock.before) + table + QLatin1String(lock.after), all + QLatin1String(lock.snapshotAfter),
            lock.snapshotLocks};
}

RowLock Dialect::rowLock(const QString& table) const {
    const RowLockForm& lock = description().rowLock;
    RowLock texts{QString(), Text(lock.afterTable), Text(lock.afterWhere), lock.lockApart};
    if (lock.firstBefore) texts.first = QLatin1String(lock.firstBefore) + table + QLatin1String(lock.firstAfter);
    return texts;
}

QString Dialect::tableListQuery() const { return Text(description().tableList); }

const QuotedDateForm& Dialect::dateQuoting() const {
    // In DateLiteralForm's order.
    static constexpr QuotedDateForm kForms[] = {
        {"TO_DATE(", ",'yyyymmdd')", false},  // ToDate
        kIsoText,                              // IsoText
        {"DATE ", "", true},                   // StandardDate
        kCompactText,                          // CompactText
    };
    return kForms[static_cast<size_t>(dateForm_)];
}

const QuotedDateForm& Dialect::dateTimeQuoting(bool withFraction) const {
    if (dateForm_ == DateLiteralForm::IsoText) return kIsoText;
    return withFraction ? description().dateTimeWithFraction : description().dateTime;
}

QString Dialect::overreachQuery(const QString& typed) const {
    const DialectDescription& d = description();
    return d.overreach ? d.overreach(typed) : QString();
}

QString Dialect::keyIndexesQuery(const QString& typed) const {
    const DialectDescription& d = description();
    return d.keyIndexes ? d.keyIndexes(typed) : QString();
}

QString Dialect::referringKeysQuery(const QString& typed) const {
    const DialectDescription& d = description();
    return d.referringKeys ? d.referringKeys(typed) : QString();
}

namespace {

Dialect ThroughDriver(DialectKind kind) { return Dialect(kind, Describe(kind).driverDateForm); }

}  // namespace

Dialect Dialect::fromDbmsName(const QString& dbmsName) {
    const QString name = dbmsName.toLower();
    if (name.contains(QStringLiteral("oracle"))) return ThroughDriver(DialectKind::Oracle);
    if (name.contains(QStringLiteral("postgres"))) return ThroughDriver(DialectKind::PostgreSQL);
    if (name.contains(QStringLiteral("sqlite"))) return ThroughDriver(DialectKind::SQLite);
    if (name.contains(QStringLiteral("mysql")) || name.contains(QStringLiteral("mariadb")))
        return ThroughDriver(DialectKind::MySQL);
    if (name.contains(QStringLiteral("sql server"))) return ThroughDriver(DialectKind::SqlServer);
    return ThroughDriver(DialectKind::Standard);
}

Dialect Dialect::fromDriverFacts(const QString& facts) {
    const QString text = facts.toLower();
    auto names = [&](std::initializer_list<const char*> words) {
        for (const char* word : words)
            if (text.contains(QLatin1String(word))) return true;
        return false;
    };
    if (names({"mariadb", "mysql", "maodbc", "myodbc"})) return ThroughDriver(DialectKind::MySQL);
    if (names({"postgres", "psqlodbc"})) return ThroughDriver(DialectKind::PostgreSQL);
    if (names({"sqlite"})) return ThroughDriver(DialectKind::SQLite);
    if (names({"sql server", "freetds", "tdsodbc", "msodbcsql", "sqlncli"})) return ThroughDriver(DialectKind::SqlServer);
    return ThroughDriver(DialectKind::Oracle);
}

QString Dialect::mysqlSessionSetup() { return Text(Describe(DialectKind::MySQL).sessionSetup); }

QString Dialect::postgresSessionSetup() { return Text(Describe(DialectKind::PostgreSQL).sessionSetup); }

QString Dialect::mysqlNoLockWait() { return Text(Describe(DialectKind::MySQL).noLockWait); }

QString Dialect::sqlServerNoLockWait() { return Text(Describe(DialectKind::SqlServer).noLockWait); }

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

std::optional<QString> WholeTableReadOf(const QString& sql) {
    static const QString kAll = QStringLiteral("SELECT * FROM "), kLimit = QStringLiteral(" LIMIT 1"),
                         kOrder = QStringLiteral(" ORDER BY ");
    if (!sql.startsWith(kAll)) return std::nullopt;
    const QString rest = sql.mid(kAll.size());
    auto plain = [](const QString& name) -> std::optional<QString> {
        if (IsPlainTableName(name)) return name;
        return std::nullopt;
    };
    if (rest.endsWith(kLimit)) {
        if (auto name = plain(rest.chopped(kLimit.size()))) return name;
    }
    if (const qsizetype order = rest.lastIndexOf(kOrder); order > 0) {
        const QString list = rest.mid(order + kOrder.size());
        bool numbers = !list.isEmpty() && list.front() != QLatin1Char(' ') && list.back() != QLatin1Char(',');
        for (const QChar c : list)
            numbers = numbers && ((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char(' ') || c == QLatin1Char(','));
        if (numbers && !list.contains(QLatin1String("  ")) && !list.contains(QLatin1String(",,"))) {
            if (auto name = plain(rest.left(order))) return name;
        }
    }
    return plain(rest);
}

}  // namespace velkin
