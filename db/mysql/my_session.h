#pragma once
// The MySQL and MariaDB server engine, over MariaDB Connector/C (which speaks
// to MySQL servers too).
//
// Host text: "mysql://[HOST][:PORT]/DBNAME[?options]" or "mariadb://..." (see
// my_address.h). The login comes from the connect string "user/password",
// split at its first "/". The connection speaks utf8mb4, never reconnects on
// its own (a statement after a lost connection fails instead of running
// outside the transaction), and reads the program's statements the standard
// way (Dialect::mysqlSessionSetup says how and why).
//
// TLS and the password (MySqlRoute in my_address.h says when): a server that
// offers no TLS where TLS is required is refused before the client sends
// anything (error 2026); a login method that hands the server the password
// itself runs only with a verified certificate or through the local socket
// (else error 5010).
//
// No waiting on locks (OpenOption::NoLockWait): row and table locks held by
// another session fail the statement at once (MariaDB 10.3 and later; MySQL
// waits its minimum, one second). The error is 1205 (lock wait timeout).
//
// A cursor streams its result (the client holds one row at a time). Its
// record count is the server's COUNT(*) of the query, taken in the same
// consistent snapshot as the rows: outside the session's transaction the
// cursors open a REPEATABLE READ transaction of their own, ended when the
// last of them closes (a begin meanwhile takes it over). A query that
// cannot stand in FROM is counted by running it once more. While one cursor
// streams, the connection can run nothing else; another command first drains
// that stream, and the cursor runs its query again when it moves on. A
// cursor closed with many rows still unread (a read stopped by the grid's
// row limit) does not wait for them: when its own transaction has only read,
// the connection is dropped and the next command opens a fresh one.
//
// Errors: the number is the server's or the connector's error number (1045
// access denied, 1064 syntax, 1205 lock wait, 2003 cannot connect, 2013 lost
// connection, ...); the description is "SQLSTATE xxxxx: message".

#include "db/engine.h"

#include <memory>

namespace velkin {

std::unique_ptr<Connection> CreateMySqlConnection();

}  // namespace velkin
