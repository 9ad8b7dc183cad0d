#pragma once
// What a host text names, told from the text alone: the engine, the target it
// opens, the label a user may be shown, and whether two texts name one table
// of one database. Pure logic: nothing here connects.

#include "db/dialect.h"

#include <QString>
#include <functional>

namespace velkin {

enum class EngineKind {
    SQLite,         // "" or "sqlite:PATH"
    PostgreSQL,     // "postgresql://..." or "postgres://..."
    MySQL,          // "mysql://..." or "mariadb://..."
    Odbc,           // "odbc:NAME" or "odbc:KEY=VALUE;..."
    OracleService,  // anything else: an Oracle net service name, reached through ODBC
};

struct HostIdentifier {
    EngineKind kind = EngineKind::SQLite;
    // What the engine opens: the database file path, the libpq URI, the
    // MySQL address (the host text whole), the ODBC
    // data source name or connection string, or the net service name.
    QString target;
};

// The file the embedded engine uses when the host box is empty.
inline const QString kDefaultDatabaseFile = QStringLiteral("Velkin.db");

// `text` without the blanks (U+0020 only) at its ends, as the connection
// boxes are taken: a tab or a full-width space stays part of the text.
QString WithoutEndSpaces(const QString& text);

HostIdentifier ParseHost(const QString& host);

// The database a host text names, as the user may be shown it: engine, host,
// port and database name as the host text gives them ("postgresql://h:5432/db",
// "odbc:DSN=sales", "Velkin.db" for the default). A user name, a password
// and any other option (which may hold one) are left out.
QString DatabaseLabel(const QString& host);

// A table as a command names it: the host box's and the table box's texts as typed.
struct TableInDatabase {
    QString host;
    QString table;
};

// Whether `a` and `b` are one table of one database, told from the texts
// alone, the way `dialect` (the database's) matches names. The hosts are
// taken as a connection takes them, trimmed of the spaces at their ends, and
// must name the same database ("", "sqlite:" and "sqlite:./Velkin.db" are one
// file); the table names must be one identifier each, optionally qualified,
// with parts that match by the dialect's NameMatching. A name that is not
// plain (IsPlainTableName) matches only its own text; under an unknown
// matching, so does every name. An answer of "different" is the cautious one.
bool SameTable(const TableInDatabase& a, const TableInDatabase& b, const Dialect& dialect);

// The dialect a host speaks, learnt without connecting: an ODBC source or
// connection string, or a service name that is a data source, by its driver
// as the driver manager's configuration names it (Dialect::fromDriverFacts);
// a service name that is no data source, or an unknown driver, is Oracle.
// `driverFacts` gives what the ODBC configuration says of a data source or
// connection string (empty: nothing).
Dialect DialectForHost(const QString& host, const std::function<QString(const QString& target)>& driverFacts);

}  // namespace velkin
