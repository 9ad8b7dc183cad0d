#pragma once
// The statements the program writes itself but that differ between SQL
// dialects. Oracle's texts are the original program's, to the character.

#include <QString>

namespace velkin {

enum class DialectKind { Oracle, SQLite, PostgreSQL, Standard };

class Dialect {
public:
    explicit Dialect(DialectKind kind = DialectKind::Oracle) : kind_(kind) {}

    DialectKind kind() const { return kind_; }

    // Query that opens at most one row of `base` ("SELECT * FROM T").
    QString discoveryQuery(const QString& base) const;
    // Statement that deletes every row of table `table` (used verbatim).
    QString deleteAll(const QString& table) const;
    // Query listing the user's tables with their comments: TABLE_NAME, COMMENTS.
    QString tableListQuery() const;

    // Dialect for a DBMS name as an ODBC driver reports it ("Oracle", "PostgreSQL", ...).
    static Dialect fromDbmsName(const QString& dbmsName);

private:
    DialectKind kind_;
};

}  // namespace velkin
