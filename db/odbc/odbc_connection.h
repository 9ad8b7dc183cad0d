#pragma once
// One open ODBC connection, shared by the session and every cursor, so they
// may be released in any order.

#include "db/odbc/odbc_handles.h"
#include "db/server_wait.h"

#include <QString>

#include <memory>

namespace velkin::odbc {

struct OdbcConnection {
    // Declared before the connection handle, so it is freed last.
    EnvironmentHandle environment;
    ConnectionHandle dbc;
    bool connected = false;
    // Between begin and its commit or rollback. Outside one, each
    // execute is committed on its own, as auto-commit would have done.
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
    // commit never leaves changes behind.
    ~OdbcConnection();

    SQLHDBC get() const { return dbc.get(); }
    // SQLEndTran with SQL_COMMIT or SQL_ROLLBACK; throws the driver's error.
    void EndTransaction(SQLSMALLINT completion);
    // Transactions ended so far (some drivers close their cursors then).
    uint64_t transactionsEnded = 0;

    // Where the connection waits for its server: the command's wait, or none.
    ServerWait* wait = nullptr;
    // Runs an ODBC call that may wait for the server. A driver gives nothing
    // to wait on but the call itself, so it runs on the wait's helper thread
    // (ServerWait::runBlocking); a stop cancels the call on `statement`
    // (SQLCancel), where there is one.
    template <class Call>
    SQLRETURN Waiting(SQLHSTMT statement, Call call) const {
        SQLRETURN rc = SQL_ERROR;
        std::function<void()> cancel;
        if (statement != SQL_NULL_HSTMT) cancel = [statement] { SQLCancel(statement); };
        (wait ? *wait : ServerWait::Unattended()).runBlocking([&] { rc = call(); }, cancel);
        return rc;
    }
};

using SharedConnection = std::shared_ptr<OdbcConnection>;

}  // namespace velkin::odbc
