#pragma once
// One open ODBC connection, shared by the session, its database object and
// every dynaset, so they may be released in any order.

#include "db/odbc/odbc_handles.h"

#include <QString>

#include <memory>

namespace velkin::odbc {

struct OdbcConnection {
    // Declared before the connection handle, so it is freed last.
    EnvironmentHandle environment;
    ConnectionHandle dbc;
    bool connected = false;
    // Between BeginTrans and its commit or rollback. Outside one, each
    // ExecuteSQL is committed on its own, as auto-commit would have done.
    bool inTransaction = false;
    // A statement met the connection lost (SQLSTATE class 08).
    bool lost = false;
    // The database keeps values as the text they were written in (SQLite):
    // a date or a CHAR value whose cell shows it otherwise goes back as stored.
    bool keepsWrittenText = false;
    // Escape character of catalogue search patterns ("\" mostly); empty if none.
    QString searchPatternEscape;

    OdbcConnection() = default;
    OdbcConnection(const OdbcConnection&) = delete;
    OdbcConnection& operator=(const OdbcConnection&) = delete;
    // Whatever is still open is rolled back: a command that ends without
    // CommitTrans never leaves changes behind.
    ~OdbcConnection();

    SQLHDBC get() const { return dbc.get(); }
    // SQLEndTran with SQL_COMMIT or SQL_ROLLBACK; throws the driver's error.
    void EndTransaction(SQLSMALLINT completion);
};

using SharedConnection = std::shared_ptr<OdbcConnection>;

}  // namespace velkin::odbc
