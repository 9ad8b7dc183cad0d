#pragma once
// The statements the program writes itself but that differ between SQL
// dialects. Oracle's texts are kept to the character ("... WHERE ROWNUM < 2 ",
// "DELETE T", the USER_TAB_COMMENTS list); tests/dialect_test.cpp holds them.

#include <QString>

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

// How a database matches a table name as typed against the tables it holds,
// for telling whether two typed names are one table without asking it.
enum class NameMatching {
    FoldsUnquotedToUpper,  // Oracle: emp and EMP are one table, "emp" another
    FoldsUnquotedToLower,  // PostgreSQL: emp and EMP are one table, "EMP" another
    AsciiCaseBlind,        // SQLite: ASCII letters match in either case, quoted or not
    Exact,                 // MySQL, MariaDB: as typed, case included (table names are file names)
    Unknown,               // no rule known: names that differ may name different tables
};

class Dialect {
public:
    explicit Dialect(DialectKind kind = DialectKind::Oracle)
        : kind_(kind),
          dateForm_(DefaultDateForm(kind)) {}
    Dialect(DialectKind kind, DateLiteralForm dateForm) : kind_(kind), dateForm_(dateForm) {}

    DialectKind kind() const { return kind_; }
    DateLiteralForm dateLiteralForm() const { return dateForm_; }
    NameMatching nameMatching() const;

    // Query that opens at most one row of `base` ("SELECT * FROM T").
    QString discoveryQuery(const QString& base) const;
    // Statement that deletes every row of table `table` (used verbatim).
    QString deleteAll(const QString& table) const;
    // Query for every row of table `table`, in no particular order.
    QString selectAll(const QString& table) const;
    // The Update's lock on table `table`; see ReplaceLock.
    ReplaceLock replaceLock(const QString& table) const;
    // Query listing the user's tables with their comments: TABLE_NAME, COMMENTS.
    QString tableListQuery() const;

    // Dialect for a DBMS name as an ODBC driver reports it ("Oracle", "PostgreSQL", ...).
    static Dialect fromDbmsName(const QString& dbmsName);
    // Dialect for what the ODBC configuration says of a driver: its name and
    // attributes ("MariaDB Unicode;Driver=libmaodbc.so"), by the database or
    // driver library they name: MariaDB/MySQL, PostgreSQL, SQLite, SQL Server
    // (FreeTDS included), Oracle. Anything else, or nothing, is Oracle.
    static Dialect fromDriverFacts(const QString& facts);

    // Statements that make a MySQL or MariaDB session read the program's
    // statements as the other databases do (see the definition); run once
    // after connecting.
    static QString mysqlSessionSetup();
    // Statement that makes a PostgreSQL session read a backslash inside '...'
    // as an ordinary character (see the definition); run once after
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

    // `text` as an SQL string literal: between apostrophes, each one doubled.
    // That is the whole escaping rule, in every dialect: the sessions pin the
    // string rules it relies on (postgresSessionSetup, mysqlSessionSetup).
    static QString sqlStringLiteral(const QString& text);

private:
    static DateLiteralForm DefaultDateForm(DialectKind kind) {
        switch (kind) {
        case DialectKind::MySQL:
        case DialectKind::Standard: return DateLiteralForm::StandardDate;
        case DialectKind::SqlServer: return DateLiteralForm::CompactText;
        default: return DateLiteralForm::ToDate;
        }
    }

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

}  // namespace velkin
