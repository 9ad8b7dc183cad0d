#pragma once
// The statements the program writes itself but that differ between SQL
// dialects. Oracle's texts are the original program's, to the character.

#include <QString>

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

}  // namespace velkin
