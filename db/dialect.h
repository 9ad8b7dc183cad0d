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

class Dialect {
public:
    explicit Dialect(DialectKind kind = DialectKind::Oracle)
        : kind_(kind),
          dateForm_(DefaultDateForm(kind)) {}
    Dialect(DialectKind kind, DateLiteralForm dateForm) : kind_(kind), dateForm_(dateForm) {}

    DialectKind kind() const { return kind_; }
    DateLiteralForm dateLiteralForm() const { return dateForm_; }

    // Query that opens at most one row of `base` ("SELECT * FROM T").
    QString discoveryQuery(const QString& base) const;
    // Statement that deletes every row of table `table` (used verbatim).
    QString deleteAll(const QString& table) const;
    // Query for every row of table `table`, in no particular order.
    QString selectAll(const QString& table) const;
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

    // `text` as an SQL string literal: between apostrophes, each one doubled.
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
