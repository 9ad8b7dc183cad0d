#include "db/mysql/my_connection.h"

#include "db/mysql/my_cursor.h"
#include "db/server_fault.h"

#include <mysqld_error.h>

#include <cstring>
#include <sys/socket.h>
#include <thread>

namespace velkin::my {

Error MakeError(int32_t number, const QString& sqlState, const QString& message) {
    return Error(number, QStringLiteral("SQLSTATE %1: %2").arg(sqlState, message), sqlState);
}

Error ConnectionError(MYSQL* mysql) {
    return MakeError(static_cast<int32_t>(mysql_errno(mysql)), QString::fromLatin1(mysql_sqlstate(mysql)),
                     QString::fromUtf8(mysql_error(mysql)).trimmed());
}

Error EngineError(int32_t number, const QString& message) { return MakeError(number, QStringLiteral("HY000"), message); }

Error SessionError(SessionFault fault) {
    const SessionFaultCode& code = CodeOf(kMySqlSessionFaults, fault);
    return MakeError(code.number, QLatin1String(code.sqlState), SessionFaultText(fault));
}

void MyConnection::Drop() noexcept {
    if (dropped_) return;
    dropped_ = true;
    MYSQL* mysql = get();
    const unsigned long id = mysql_thread_id(mysql);
    try {
        std::thread([open = reopen_, id] {
            try {
                const MysqlPtr killer = open(ServerWait::Unattended());
                mysql_kill(killer.get(), id);
            } catch (...) {
                // The socket is shut anyway; the server ends the session when it notices.
            }
        }).detach();
    } catch (...) {
    }
    shutdown(static_cast<int>(mysql_get_socket(mysql)), SHUT_RDWR);
}

void MyConnection::SendAhead(const QByteArray& sql) {
    int rc = 0;
    MYSQL* m = get();
    Call([&] { return mysql_send_query_start(&rc, m, sql.constData(), static_cast<unsigned long>(sql.size())); },
         [&](int ready) { return mysql_send_query_cont(&rc, m, ready); });
    if (rc != 0) throw ConnectionError(m);
}

bool MyConnection::ReadAnswer(std::optional<Error>& refusal) {
    my_bool failed = 0;
    MYSQL* m = get();
    Call([&] { return mysql_read_query_result_start(&failed, m); },
         [&](int ready) { return mysql_read_query_result_cont(&failed, m, ready); });
    if (!failed) {
        // The connector keeps a refusal of an earlier statement sent
        // ahead as its last error until the next command: it is not this one's.
        m->net.last_errno = 0;
        m->net.last_error[0] = '\0';
        std::strcpy(m->net.sqlstate, "00000");
        RequireTransactionKept();
        return true;
    }
    const unsigned number = mysql_errno(m);
    if (number == CR_SERVER_LOST || number == CR_SERVER_GONE_ERROR || number == CR_SERVER_LOST_EXTENDED)
        throw ConnectionError(m);
    if (!refusal) refusal = ConnectionError(m);
    return false;
}

void MyConnection::DropResult() {
    if (mysql_field_count(get()) == 0) return;
    ResultPtr dropped{mysql_use_result(get())};
    FreeResult(dropped);
}

void MyConnection::SendGroup(const std::vector<QByteArray>& statements, Setup setup) {
    Claim(setup);
    const bool settingUp = std::exchange(setupDue_, false);
    if (settingUp)
        for (const QByteArray& sql : setup_) SendAhead(sql);
    const std::vector<QByteArray> deferred = std::exchange(deferred_, {});
    for (const QByteArray& sql : deferred) SendAhead(sql);
    for (const QByteArray& sql : statements) SendAhead(sql);
    if (settingUp) ReadSetupAnswers();
    for (size_t i = 0; i < deferred.size(); ++i) {
        std::optional<Error> ignored;
        if (ReadAnswer(ignored)) DropResult();
    }
}

void MyConnection::ReadSetupAnswers() {
    std::optional<Error> refused;
    for (size_t i = 0; i < setup_.size(); ++i)
        if (ReadAnswer(refused)) DropResult();
    if (!refused) return;
    // The next command starts on a fresh connection, set up anew.
    Abandon();
    throw *refused;
}

void MyConnection::RealQuery(const QByteArray& sql) {
    int rc = 0;
    MYSQL* m = get();
    Call([&] { return mysql_real_query_start(&rc, m, sql.constData(), static_cast<unsigned long>(sql.size())); },
         [&](int ready) { return mysql_real_query_cont(&rc, m, ready); });
    if (rc != 0) throw ConnectionError(m);
    RequireTransactionKept();
}

MYSQL_ROW MyConnection::FetchRow(MYSQL_RES* result) {
    MYSQL_ROW row = nullptr;
    Call([&] { return mysql_fetch_row_start(&row, result); },
         [&](int ready) { return mysql_fetch_row_cont(&row, result, ready); });
    return row;
}

void MyConnection::FreeResult(ResultPtr& result) {
    if (!result) return;
    // A shut socket has nothing more to give.
    if (dropped_) {
        result.reset();
        return;
    }
    MYSQL_RES* r = result.release();
    Call([&] { return mysql_free_result_start(r); }, [&](int ready) { return mysql_free_result_cont(r, ready); });
}

int MyConnection::NextResult() {
    int rc = 0;
    MYSQL* m = get();
    Call([&] { return mysql_next_result_start(&rc, m); }, [&](int ready) { return mysql_next_result_cont(&rc, m, ready); });
    if (rc == 0) RequireTransactionKept();
    return rc;
}

void MyConnection::RequireTransactionKept() const {
    if (!transaction.heldByConnection()) return;
    unsigned int status = 0;
    if (mariadb_get_infov(get(), MARIADB_CONNECTION_SERVER_STATUS, &status) != 0) return;
    if (!(status & SERVER_STATUS_IN_TRANS)) throw TransactionEndedByServer();
}

void MyConnection::SetServerOption(enum_mysql_set_option option) {
    Claim();
    int rc = 0;
    MYSQL* m = get();
    Call([&] { return mysql_set_server_option_start(&rc, m, option); },
         [&](int ready) { return mysql_set_server_option_cont(&rc, m, ready); });
    if (rc != 0) throw ConnectionError(m);
}

void MyConnection::Run(const QByteArray& sql) {
    Send(sql);
    DropResult();
}

void MyConnection::RunGroup(const std::vector<QByteArray>& statements) {
    SendGroup(statements);
    std::optional<Error> refused;
    for (size_t i = 0; i < statements.size(); ++i) {
        if (ReadAnswer(refused)) DropResult();
    }
    if (refused) throw *refused;
}

int64_t MyConnection::CountRows() {
    if (mysql_field_count(get()) == 0) return 0;
    ResultPtr rows{mysql_use_result(get())};
    if (!rows) throw ConnectionError(get());
    int64_t records = 0;
    while (FetchRow(rows.get())) ++records;
    if (mysql_errno(get()) != 0) throw ConnectionError(get());
    return records;
}

ResultPtr MyConnection::Stored(const QByteArray& sql) {
    Send(sql);
    MYSQL_RES* stored = nullptr;
    MYSQL* m = get();
    Call([&] { return mysql_store_result_start(&stored, m); },
         [&](int ready) { return mysql_store_result_cont(&stored, m, ready); });
    ResultPtr result{stored};
    if (!result && mysql_errno(m) != 0) throw ConnectionError(m);
    return result;
}

void MyConnection::Claim(Setup setup) {
    if (abandoned_) {
        deferred_.clear();  // they belonged to the connection that went
        mysql_ = reopen_(wait_);
        abandoned_ = false;
        setupDue_ = true;
    }
    if (streaming_) {
        MyCursor* drained = streaming_;
        streaming_ = nullptr;
        drained->Suspend();
    }
    if (!setupDue_ || setup == Setup::MayJoin) return;
    // Alone, in one round trip, before anything that depends on it.
    setupDue_ = false;
    for (const QByteArray& sql : setup_) SendAhead(sql);
    ReadSetupAnswers();
}

std::vector<PreparedColumn> MyConnection::RequireQuery(const QByteArray& sql) {
    Claim();
    struct StatementCloser {
        void operator()(MYSQL_STMT* statement) const { mysql_stmt_close(statement); }
    };
    const std::unique_ptr<MYSQL_STMT, StatementCloser> statement{mysql_stmt_init(get())};
    if (!statement) throw ConnectionError(get());
    int rc = 0;
    MYSQL_STMT* prepared = statement.get();
    Call([&] { return mysql_stmt_prepare_start(&rc, prepared, sql.constData(), static_cast<unsigned long>(sql.size())); },
         [&](int ready) { return mysql_stmt_prepare_cont(&rc, prepared, ready); });
    if (rc != 0) {
        const unsigned number = mysql_stmt_errno(statement.get());
        // Statements the server cannot prepare (administrative ones) are not
        // queries a cursor can be sure of; anything else is the statement's own error.
        if (number == ER_UNSUPPORTED_PS)
            throw EngineError(static_cast<int32_t>(number),
                              QStringLiteral("この SQL 文からはダイナセットを作れません（サーバーが事前に検査できない文です）。"));
        throw MakeError(static_cast<int32_t>(number), QString::fromLatin1(mysql_stmt_sqlstate(statement.get())),
                        QString::fromUtf8(mysql_stmt_error(statement.get())).trimmed());
    }
    if (mysql_stmt_field_count(statement.get()) == 0)
        throw EngineError(kNoResultSet, QStringLiteral("行を返さない SQL 文からはダイナセットを作れません。"));
    const ResultPtr metadata{mysql_stmt_result_metadata(statement.get())};
    return PreparedColumnsOf(metadata.get());
}

std::vector<PreparedColumn> PreparedColumnsOf(MYSQL_RES* result) {
    std::vector<PreparedColumn> columns;
    if (!result) return columns;
    const MYSQL_FIELD* fields = mysql_fetch_fields(result);
    for (unsigned i = 0; i < mysql_num_fields(result); ++i)
        columns.push_back({QByteArray(fields[i].name, static_cast<qsizetype>(fields[i].name_length)), fields[i].type,
                           fields[i].flags, QByteArray(fields[i].db, static_cast<qsizetype>(fields[i].db_length)),
                           QByteArray(fields[i].org_table, static_cast<qsizetype>(fields[i].org_table_length))});
    return columns;
}

void MyConnection::Send(const QByteArray& sql) {
    Claim();
    if (deferred_.empty()) {
        RealQuery(sql);
        return;
    }
    SendGroup({sql});
    std::optional<Error> refusal;
    if (!ReadAnswer(refusal)) throw *refusal;
}

// The replace's statements several to a round trip: the DELETE alone, then
// the INSERTs joined by ";" into batches that the server runs as one text
// (multi-statements, switched on for the batches only and off again at the
// end), each statement's result read in turn. The server stops a batch at its
// first error, so the statement that failed is the one reported and none
// after it has run. A batch stays under the server's max_allowed_packet and
// holds at most kMaxBatchBytes, so memory does not grow with the grid.
//
// Only for a table name that is one identifier (IsPlainTableName): the name
// goes into every statement as typed, and with multi-statements on, a ";" in

}  // namespace velkin::my
