#pragma once
// The statements the program writes itself but that differ between SQL
// dialects. Oracle's texts are the original program's, to the character.

#include <QString>

namespace velkin {

enum class DialectKind { Oracle, SQLite, PostgreSQL, Standard };

// How a date cell (eight digits yyyymmdd) is written into a statement.
enum class DateLiteralForm {
    ToDate,        // TO_DATE('20240131','yyyymmdd'): Oracle, PostgreSQL, the embedded engine
    IsoText,       // '2024-01-31': a SQLite database without TO_DATE (reached through ODBC)
    StandardDate,  // DATE '2024-01-31': any other database
};

class Dialect {
public:
    explicit Dialect(DialectKind kind = DialectKind::Oracle)
        : kind_(kind),
          dateForm_(kind == DialectKind::Standard ? DateLiteralForm::StandardDate : DateLiteralForm::ToDate) {}
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

private:
    DialectKind kind_;
    DateLiteralForm dateForm_;
};

}  // namespace velkin
