#pragma once
// The statements the program writes itself but that differ between SQL
// dialects, as one description per database system (DialectDescription, the
// table in dialect.cpp). Oracle's texts are kept to the character ("... WHERE
// ROWNUM < 2 ", "DELETE T", the USER_TAB_COMMENTS list); tests/dialect_test.cpp
// holds them.

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace velkin {

enum class DialectKind { Oracle, SQLite, PostgreSQL, MySQL, SqlServer, Standard };

// How a date cell (eight digits yyyymmdd) is written into a statement.
enum class DateLiteralForm {
    ToDate,        // TO_DATE('20240131','yyyymmdd'): Oracle, PostgreSQL, the embedded engine
    IsoText,       // '2024-01-31': a SQLite database without TO_DATE (reached through ODBC)
    StandardDate,  // DATE '2024-01-31': MySQL, MariaDB and any other database
    CompactText,   // '20240131': SQL Server, which reads this form alike under every
                   // language and DATEFORMAT setting (it may take '2024-01-31' as yyyy-dd-mm)
};

// How an Update keeps other writers off its table from before its snapshot
// to its COMMIT, without waiting for any that is at work already.
struct ReplaceLock {
    // Sent first in the Update's transaction; empty when the dialect has none.
    QString statement;
    // The snapshot's query: every row of the table.
    QString snapshotQuery;
    // The snapshot's query takes the lock itself (then `statement` is sent
    // only when no snapshot is kept).
    bool snapshotLocks = false;
};

// How an Update by key locks the rows it is about to change or delete while
// it reads them again, without waiting for a writer at work already.
struct RowLock {
    QString first;       // sent before the first read; empty when none is needed
    QString afterTable;  // the SELECT's words after the table name
    QString afterWhere;  // and after its WHERE clause
    // The locking SELECT runs as a statement of its own before a plain one
    // reads the rows (a database whose cursors cannot lock, PostgreSQL's
    // scrollable ones); else the reading cursor locks them itself.
    bool lockApart = false;
};

// How a database matches a table name as typed against the tables it holds,
// for telling whether two typed names are one table without asking it.
enum class NameMatching {
    FoldsUnquotedToUpper,  // Oracle: emp and EMP are one table, "emp" another
    FoldsUnquotedToLower,  // PostgreSQL: emp and EMP are one table, "EMP" another
    AsciiCaseBlind,        // SQLite: ASCII letters match in either case, quoted or not
    Exact,                 // MySQL, MariaDB: as typed, case included (table names are file names)
    Unknown,               // no rule known: names that differ may name different tables
};

// A date or a date and time as a literal: `prefix`, the text between
// apostrophes, `suffix`. The text is the cell's digits as typed (yyyymmdd),
// or with the date written yyyy-mm-dd where `isoDate` says so.
struct QuotedDateForm {
    const char* prefix;
    const char* suffix;
    bool isoDate;
};

// Bytes, given as hexadecimal digits, as a literal: `prefix`, the digits,
// `suffix`; then "::" and the column's cast type (or `defaultCast`) where the
// dialect casts its literals.
struct BinaryLiteralForm {
    const char* prefix;
    const char* suffix;
    const char* defaultCast;  // nullptr: no cast follows
    bool bitsForBitColumns;   // a BIT column takes its bits, b'101', instead
};

// How a text goes between apostrophes, and what makes the server read it so.
// The literal writer doubles `doubled` and nothing else: that is safe only
// while the server gives no other character a meaning inside '...', which
// some servers do unless the session says otherwise (a backslash escapes the
// character after it). `pinnedBy` names the setting the dialect's session
// setup statement makes for that; every route runs that statement once after
// connecting, before any literal is sent.
struct StringRules {
    const char* doubled;
    const char* pinnedBy;      // nullptr: the server reads strings so whatever its settings
    // What the server reports for `pinnedBy` once pinned (SHOW, or the
    // protocol's parameter status), checked after the setup; nullptr: not checked.
    const char* pinnedValue;
};

// The Update's lock as statement texts around the table name.
struct ReplaceLockForm {
    const char* before;         // statement = before + table + after; nullptr: the dialect has none
    const char* after;
    const char* snapshotAfter;  // the snapshot's query = selectAll + this
    bool snapshotLocks;
};

// RowLock as texts: first = before + table + after (before nullptr: none).
struct RowLockForm {
    const char* firstBefore;
    const char* firstAfter;
    const char* afterTable;
    const char* afterWhere;
    bool lockApart;
};

// Everything the program writes or assumes differently for one database
// system, in one place. Where a text depends on a table name, the text is a
// function of the name; the rest is plain data. One description per
// DialectKind (Describe); the literal writer and the engines read its fields
// instead of asking which database they talk to.
struct DialectDescription {
    DialectKind kind;
    const char* name;  // for messages of the tests and the tools

    // Reading and deleting.
    const char* firstRowSuffix;       // appended to a query so it opens at most one row
    const char* firstRowAfterSelect;  // put after a leading SELECT instead, where the dialect can
    const char* deleteAllPrefix;      // + table name: every row deleted
    const char* selectAllPrefix;      // + table name: every row, in no particular order
    ReplaceLockForm replaceLock;
    RowLockForm rowLock;
    NameMatching nameMatching;

    // Literals.
    DateLiteralForm dateForm;        // a date cell, on the engine's own route
    DateLiteralForm driverDateForm;  // a date cell, through an ODBC driver
    QuotedDateForm dateTime;              // "yyyymmdd hh:mm:ss"
    QuotedDateForm dateTimeWithFraction;  // "yyyymmdd hh:mm:ss.f..."
    BinaryLiteralForm binary;
    // A number the literal rules would round or refuse goes back quoted, as
    // the text read, rather than as an unquoted number.
    bool quotesNumbersAsRead;
    char identifierQuote;
    const char* identifierQuotePinnedBy;  // the setting of the session setup that makes it so; nullptr: always
    StringRules strings;

    // The session.
    // Run once after connecting, on every route: pins `strings` (and
    // `identifierQuote`); nullptr: the database needs nothing.
    const char* sessionSetup;
    // Makes the session fail at once on a lock another session holds;
    // nullptr: no session setting (the route's own timeout decides).
    const char* noLockWait;
    // Run once after connecting where a driver begins each transaction
    // itself: the isolation `replaceLock` relies on. nullptr: any.
    const char* lockingIsolation;
    // The server may end a transaction between two statements without a
    // word (an abort), and a route that cannot see it marks its transactions
    // with a savepoint: the error number for a savepoint the transaction no
    // longer has. 0: transactions end only when asked.
    int32_t lostSavepointError;
    // Values are kept as the text they were written in (no column types).
    bool keepsWrittenText;

    // The catalogue; nullptr where the program does not know the database's.
    const char* tableList;  // TABLE_NAME, COMMENTS of the user's tables
    // By the name as typed: see Dialect::referringKeysQuery and overreachQuery.
    QString (*referringKeys)(const QString& typed);
    QString (*overreach)(const QString& typed);
    QString (*keyIndexes)(const QString& typed);  // see Dialect::keyIndexesQuery
    // By a base table (database and table, unquoted), where a name may stand
    // for tables of storage engines that cannot roll back: the keys referring
    // to the table, and whether it can roll back (Dialect::mysqlTransactionalQuery).
    QString (*baseTableReferringKeys)(const QString& schema, const QString& table);
    QString (*transactional)(const QString& schema, const QString& table);
};

// The description of `kind`.
const DialectDescription& Describe(DialectKind kind);

inline constexpr DialectKind kDialectKinds[] = {DialectKind::Oracle,    DialectKind::SQLite,
                                                DialectKind::PostgreSQL, DialectKind::MySQL,
                                                DialectKind::SqlServer, DialectKind::Standard};

class Dialect {
public:
    explicit Dialect(DialectKind kind = DialectKind::Oracle) : kind_(kind), dateForm_(Describe(kind).dateForm) {}
    Dialect(DialectKind kind, DateLiteralForm dateForm) : kind_(kind), dateForm_(dateForm) {}

    DialectKind kind() const { return kind_; }
    const DialectDescription& description() const { return Describe(kind_); }
    DateLiteralForm dateLiteralForm() const { return dateForm_; }
    NameMatching nameMatching() const { return description().nameMatching; }

    // How a date cell is written: the date form's quoting.
    const QuotedDateForm& dateQuoting() const;
    // How a date with a time of day is written. A route that takes dates as
    // ISO text takes dates with a time so too.
    const QuotedDateForm& dateTimeQuoting(bool withFraction) const;

    // Query that opens at most one row of `base` ("SELECT * FROM T").
    QString discoveryQuery(const QString& base) const;
    // Statement that deletes every row of table `table` (used verbatim).
    QString deleteAll(const QString& table) const;
    // Query for every row of table `table`, in no particular order.
    QString selectAll(const QString& table) const;
    // The Update's lock on table `table`; see ReplaceLock.
    ReplaceLock replaceLock(const QString& table) const;
    // The Update by key's lock on rows of table `table`; see RowLock.
    RowLock rowLock(const QString& table) const;
    // Query listing the user's tables with their comments: TABLE_NAME, COMMENTS.
    QString tableListQuery() const;

    // Dialect for a DBMS name as an ODBC driver reports it ("Oracle",
    // "PostgreSQL", ...), with the date form a driver route takes.
    static Dialect fromDbmsName(const QString& dbmsName);
    // Dialect for what the ODBC configuration says of a driver: its name and
    // attributes ("MariaDB Unicode;Driver=libmaodbc.so"), by the database or
    // driver library they name: MariaDB/MySQL, PostgreSQL, SQLite, SQL Server
    // (FreeTDS included), Oracle. Anything else, or nothing, is Oracle.
    static Dialect fromDriverFacts(const QString& facts);

    // The descriptions' texts by name, for the engines of one database.
    //
    // Statements that make a MySQL or MariaDB session read the program's
    // statements as the other databases do (see its description); run once
    // after connecting.
    static QString mysqlSessionSetup();
    // Statement that makes a PostgreSQL session read a backslash inside '...'
    // as an ordinary character (see its description); run once after
    // connecting, by every route to PostgreSQL.
    static QString postgresSessionSetup();
    // The server parameter that setup pins, and the value it must then report.
    static constexpr const char* kPostgresStringRules = "standard_conforming_strings";
    static constexpr const char* kPostgresStringRulesValue = "on";
    // Statement that makes a MySQL or MariaDB session fail at once on a row or
    // table lock held by another session, instead of waiting.
    static QString mysqlNoLockWait();
    // Query answering whether the MySQL table behind `schema`.`table` can roll
    // back: rows of the storage engine's name and 'YES' or 'NO' (no row for a
    // view or an unknown table). The names are quoted here.
    static QString mysqlTransactionalQuery(const QString& schema, const QString& table);
    // Statement that makes a SQL Server session fail at once on a lock.
    static QString sqlServerNoLockWait();

    // Queries for the foreign keys of other tables that refer to a table:
    // rows of the referring table (schema-qualified when it lies in another
    // schema) and its ON DELETE rule in SQL words (CASCADE, SET NULL, SET
    // DEFAULT, NO ACTION, RESTRICT). A table's keys to itself are left out.
    //
    // PostgreSQL: `tableName` is an SQL expression giving the name as typed,
    // a parameter ($1) or a literal (see sqlStringLiteral); the server
    // resolves it as the DELETE will.
    static QString postgresReferringKeysQuery(const QString& tableName);
    // MySQL and MariaDB: the table as the server names it, unquoted.
    static QString mysqlReferringKeysQuery(const QString& schema, const QString& table);
    // SQL Server: the name as typed; OBJECT_ID resolves it as the DELETE will.
    static QString sqlServerReferringKeysQuery(const QString& table);
    // SQLite: the schema ("main" for an unqualified name) and the table,
    // unquoted. No rows while the connection has foreign keys off, when
    // deleting a row changes no other table and fails on none.
    static QString sqliteReferringKeysQuery(const QString& schema, const QString& table);

    // PostgreSQL: common table expressions over `targets` (a relation of
    // table oids, column oid) ending in `referring`: rows of a target and
    // the oid of a foreign key (pg_constraint) that refers to it, as
    // postgresReferringKeysQuery counts them.
    static QString postgresReferringKeysCtes(const QString& targets);

    // Queries for the unique indexes of a table, for the key of an Update
    // (TableKey): rows of the index's name, 1 for the primary key, the
    // column's name (NULL for an expression), 1 when the column counts for a
    // key (NOT NULL, the index not partial), and its place in the index,
    // ordered by index and place. The names as for the referring-keys queries.
    // MySQL and MariaDB add, on every row, whether other tables refer to the
    // table (as mysqlReferringKeysQuery), and give one row of NULLs for a
    // table without unique indexes.
    static QString mysqlKeyIndexesQuery(const QString& schema, const QString& table);
    static QString sqliteKeyIndexesQuery(const QString& schema, const QString& table);
    static QString postgresKeyIndexesQuery(const QString& tableName);
    // This dialect's key query for the name as typed; empty where the program
    // does not know the catalogue, or asks it by base table (MySQL).
    QString keyIndexesQuery(const QString& typed) const;

    // Queries for what a replace's DELETE of a table would reach beyond the
    // table's own rows: rows of a kind word and the name found.
    //   "view"     the name is a view or a foreign table (or, on PostgreSQL, a
    //              partitioned table with a foreign table among its partitions);
    //   "inherits" a table that inherits from it (PostgreSQL, not partitions);
    //   "rule"     a DELETE or INSERT rule on it (PostgreSQL).
    // No rows for a plain table, or for a name the catalogue does not know
    // (the DELETE then fails on its own).
    //
    // PostgreSQL: `tableName` as for postgresReferringKeysQuery.
    static QString postgresOverreachQuery(const QString& tableName);
    // MySQL and MariaDB: the name as typed; its database is the one it
    // names, else DATABASE(). The server keeps no catalogue of the tables
    // behind a view, so a view is all that can be said.
    static QString mysqlOverreachQuery(const QString& typed);
    // SQLite: as for sqliteReferringKeysQuery.
    static QString sqliteOverreachQuery(const QString& schema, const QString& table);
    // This dialect's query for the name as typed, with the name as a literal;
    // empty where the program does not know the database's catalogue.
    QString overreachQuery(const QString& typed) const;
    // The same for the keys referring to the table; empty where the program
    // does not know the catalogue, or asks it by base table
    // (DialectDescription::baseTableReferringKeys).
    QString referringKeysQuery(const QString& typed) const;

    // `text` as an SQL string literal: between apostrophes, each one doubled.
    // That is every dialect's StringRules::doubled, for the catalogue queries
    // here; the sessions pin the string rules it relies on (sessionSetup).
    static QString sqlStringLiteral(const QString& text);

private:
    DialectKind kind_;
    DateLiteralForm dateForm_;
};

// One part of a table name as typed in the table box: unquoted, and whether it was quoted.
struct NamePart {
    QString text;
    bool quoted = false;
};

// The dot-separated parts of a table name as typed ("s.t", "\"My Schema\".\"T\"",
// "[s].[t]", "`t`"), outermost first; blanks around parts are dropped and
// doubled quote characters inside quotes stand for one.
std::vector<NamePart> SplitTableName(const QString& typed);

// Whether a table name as typed is one identifier, optionally qualified by a
// schema (or database): each part plain (letters, digits, "_" and "$", or any
// character beyond ASCII) or quoted whole in double quotes or backquotes, with
// the quote doubled inside; nothing else, not even a blank, outside quotes.
// Such a name cannot end a statement or begin another, wherever it stands.
bool IsPlainTableName(const QString& typed);

// The table of a query that reads a whole table with no more than a limit of
// one row or an order by column numbers: "SELECT * FROM " + a plain table
// name (IsPlainTableName) + nothing, " LIMIT 1" or " ORDER BY 1 ,3", as a
// read builds them. Such a text is one statement that returns rows, however
// the table is made. Nothing for any other text.
std::optional<QString> WholeTableReadOf(const QString& sql);

}  // namespace velkin
