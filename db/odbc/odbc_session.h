#pragma once
// The ODBC engine, over the unixODBC driver manager: Oracle databases by net
// service name, and any other ODBC data source.
//
// Host text (see ParseHost):
//   "odbc:NAME"             the data source NAME (odbc.ini), login from the boxes
//   "odbc:KEY=VALUE;..."    a connection string; filled login boxes replace its UID and PWD
//   anything else           an Oracle net service name: the data source of that name
//                           when one exists, else the installed driver whose name
//                           contains "Oracle" with DBQ=<name>; with neither the
//                           connection fails with SQLSTATE IM002 saying so.
//
// The connection runs with auto-commit off. begin marks the start of a
// transaction ended by commit or rollback (SQLEndTran); an execute
// outside one is committed at once, and whatever is still open when the
// connection goes is rolled back.
//
// A MySQL or MariaDB server gets the native engine's session setup (see
// Dialect::mysqlSessionSetup), so double-quoted names are identifiers there too.
//
// No waiting on locks (OpenOption::NoLockWait): a PostgreSQL server gets the
// PostgreSQL engine's lock timeout, MySQL and MariaDB their lock waits set to
// 0, SQL Server SET LOCK_TIMEOUT 0. Oracle has no session setting for it; its
// statements wait for row locks (the option concerns the program's own row
// edits, and it makes none). SQLite's ODBC driver keeps
// its own busy handler, which a PRAGMA cannot replace: it waits as long as the
// data source's "Timeout" (milliseconds, default 100000) says.
//
// Errors: the number is the driver's native error number (for Oracle the ORA
// number), or, for the driver manager's own errors that carry none, the
// SQLSTATE numbered as the PostgreSQL engine numbers it. The description holds
// "[SQLSTATE xxxxx] message" for each diagnostic record.
//
// A cursor reads through a forward-only cursor; MoveFirst after moving runs
// the query again. A command's calls that may wait for the server run on a
// helper thread (db/server_wait.h), and a cursor fetches 64 records a time
// there, so that the hand-over costs little per record. size() asks the server for COUNT(*) of the query, so
// no rows are held for it. How many rows a driver buffers while reading is the
// driver's matter; psqlODBC would hold a whole result, so a psqlODBC data
// source or connection string is connected with UseDeclareFetch=1 and
// Fetch=1000 (rows per round trip) added, unless a connection string sets
// them itself (a data source's own settings of them give way). With
// cursor fetching psqlODBC closes its cursors when a transaction ends, so a
// cursor open across commit or rollback fails on its next move (HY010)
// until MoveFirst runs it again; the window opens a connection per command
// and never reads across a transaction. MariaDB's driver before 3.1.17 holds
// every row of a result too, and has no setting against it (its later
// streaming option refuses any other statement, the count included, while a
// result streams); the native engine streams.

#include "db/engine.h"

#include <memory>

namespace velkin {

std::unique_ptr<Connection> CreateOdbcConnection();

// What the driver manager's configuration says of the driver behind an ODBC
// host target (a data source name, or a connection string with DSN= or
// DRIVER=): the driver's name and its odbcinst.ini attributes ("Driver=..."),
// joined by ";"; empty when nothing names a known source or driver. Reads the
// configuration only: no driver is loaded, nothing is connected to.
QString OdbcDriverFacts(const QString& target);

}  // namespace velkin
