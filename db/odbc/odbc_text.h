#pragma once
// The pure pieces of the ODBC engine: connection strings, the login split,
// and what a driver's description of a result column means to the commands.

#include "db/sqlite/declared_type.h"

#include "db/login.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace velkin::odbc {

// "user/password" split at the first "/" (a password may contain "/").
using velkin::Login;
using velkin::SplitLogin;

// A value as a connection string carries it. Plain where it can be: several
// drivers (psqlODBC for UID, SQLite's for every key) take braces literally.
// Braced where it must be, so ";" and "}" inside stay data: "a;b}" -> "{a;b}}}".
QString ConnectionValue(const QString& value);

// Whether `sql` holds a second statement after its first: a ";" outside
// quotes ('..', "..", `..`, PostgreSQL's $tag$..$tag$) and comments (--, /* */)
// followed by anything but blanks, comments and further ";". Some drivers
// (psqlODBC) run every statement of a text; the program passes one.
bool HoldsSecondStatement(const QString& sql);

// The "KEY=VALUE" parts of a connection string, split at the semicolons
// outside braces; empty parts are dropped.
QStringList ConnectionStringParts(const QString& connectionString);

// The value of `key` (compared without regard to case), braces taken off;
// nullopt when the string does not give the key.
std::optional<QString> ConnectionStringValue(const QString& connectionString, const QString& key);

// psqlODBC keeps a whole result in client memory unless it reads through a
// server-side cursor (UseDeclareFetch=1), Fetch rows per round trip. These
// rows at a time keep the round trips few on a large result and the memory
// small for wide rows.
inline constexpr int kCursorFetchRows = 1000;

// True when a driver library (odbcinst.ini's Driver=, a path or a file name)
// is psqlODBC's (psqlodbcw.so, psqlodbca.so).
bool IsPsqlOdbcDriver(const QString& driverLibrary);

// `connectionString` with UseDeclareFetch=1 and Fetch=kCursorFetchRows added,
// each unless the string gives it itself (under its long or short name).
QString WithCursorFetch(const QString& connectionString);

// `connectionString` with the login added as UID and PWD. A box left empty
// adds nothing, so the string's own UID or PWD stays; a filled box replaces
// the string's own (drivers disagree on which of two repeats wins).
QString WithLogin(const QString& connectionString, const Login& login);

// The connection string that reaches net service name `service` through the
// Oracle ODBC driver named `driver` (DBQ is that driver's service name keyword).
QString OracleServiceConnectionString(const QString& driver, const QString& service, const Login& login);

// `text` as a catalogue function's search pattern: "_", "%" and the escape
// itself each preceded by `escape` (the driver's SQL_SEARCH_PATTERN_ESCAPE);
// unchanged when the driver has none.
QString EscapePattern(const QString& text, const QString& escape);

// What the driver says about one result column.
struct ColumnDescription {
    QString typeName;      // SQL_DESC_TYPE_NAME ("VARCHAR2", "numeric", ...)
    QString declaredType;  // the catalogue's TYPE_NAME, when it was asked ("NUMBER(9,2)"); else empty
    int sqlType = 0;       // SQL_VARCHAR, SQL_TYPE_DATE, ...
    uint64_t columnSize = 0;
    int decimalDigits = 0;
};

// The kind, size and scale of a result column:
// - a type name that is Oracle's (VARCHAR2, CHAR, NUMBER, DATE) gives the kind,
//   with size and scale from the declaration when the catalogue gave one with
//   its arguments, else from the driver's column size and decimal digits;
// - any other name: the ODBC SQL type decides (character Text, fixed character
//   FixedChar, every numeric type Number, date and timestamp types Date, else Other).
// Numbers have size precision + 1; dates size 7, Oracle's DATE length.
ColumnType MapColumn(const ColumnDescription& column);


}  // namespace velkin::odbc
