#include "db/postgres/pg_connection.h"

#include "db/postgres/pg_session.h"

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

namespace velkin::pg {

Error MakeError(const QString& sqlState, const QString& message, const QString& detail) {
    QString description = QStringLiteral("SQLSTATE %1: %2").arg(sqlState, message);
    if (!detail.isEmpty()) description += QStringLiteral("\r\n") + detail;
    return Error(PostgresErrorNumber(sqlState), description, sqlState);
}

QString TrimmedText(const char* text) { return text ? QString::fromUtf8(text).trimmed() : QString(); }

Error SessionError(SessionFault fault) {
    return MakeError(QLatin1String(CodeOf(kPostgresSessionFaults, fault).sqlState), SessionFaultText(fault));
}

// The error of a failed command; `result` may be null (libpq could not make one).
Error CommandError(PGconn* conn, const PGresult* result) {
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    QString message = TrimmedText(result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr);
    // Errors libpq makes itself (a lost connection) carry only the full message.
    if (message.isEmpty() && result) message = TrimmedText(PQresultErrorMessage(result));
    if (message.isEmpty()) message = TrimmedText(PQerrorMessage(conn));
    const QString detail = TrimmedText(result ? PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL) : nullptr);
    QString sqlState = state ? QString::fromLatin1(state) : QString();
    if (sqlState.isEmpty() && PQstatus(conn) == CONNECTION_BAD) {
        sqlState = kStateConnectionLost;
        // libpq's own result only says the connection closed; the server's
        // reason for closing it (an administrator, a shutdown) came just
        // before and is kept in the connection's message.
        const QString full = TrimmedText(PQerrorMessage(conn));
        if (full.size() > message.size()) message = full;
    } else if (sqlState.isEmpty()) {
        sqlState = kStateInternal;
    }
    return MakeError(sqlState, message, detail);
}

ResultPtr PgConnection::Exec(const QByteArray& sql) {
    if (!deferred_.empty()) return std::move(Pipeline({{sql, {}}}).front());
    PGconn* conn = Usable();
    const int sent = sql.contains(';') ? PQsendQueryParams(conn, sql.constData(), 0, nullptr, nullptr, nullptr, nullptr, 0)
                                       : PQsendQuery(conn, sql.constData());
    if (!sent) throw CommandError(conn, nullptr);
    return Checked(LastResult());
}

ResultPtr PgConnection::ExecParams(const char* sql, const std::vector<QByteArray>& params) {
    if (!deferred_.empty()) return std::move(Pipeline({{sql, params}}).front());
    PGconn* conn = Usable();
    std::vector<const char*> values;
    for (const QByteArray& p : params) values.push_back(p.constData());
    if (!PQsendQueryParams(conn, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0))
        throw CommandError(conn, nullptr);
    return Checked(LastResult());
}

std::vector<ResultPtr> PgConnection::Pipeline(const std::vector<Statement>& statements, size_t* succeeded) {
    PGconn* conn = Usable();
    const std::vector<Deferred> deferred = std::exchange(deferred_, {});
    if (!PQenterPipelineMode(conn)) throw CommandError(conn, nullptr);
    auto send = [conn](const QByteArray& sql, const std::vector<QByteArray>& params) {
        std::vector<const char*> values;
        for (const QByteArray& p : params) values.push_back(p.constData());
        if (!PQsendQueryParams(conn, sql.constData(), static_cast<int>(values.size()), nullptr, values.data(),
                               nullptr, nullptr, 0))
            throw CommandError(conn, nullptr);
    };
    // The deferred ones end with a Sync of their own: a failure among them
    // does not stop what follows.
    for (const Deferred& d : deferred) send(d.sql, {});
    if (!deferred.empty() && !PQpipelineSync(conn)) throw CommandError(conn, nullptr);
    for (const Statement& statement : statements) send(statement.sql, statement.params);
    if (!statements.empty() && !PQpipelineSync(conn)) throw CommandError(conn, nullptr);
    Flush();

    std::optional<Error> failure;
    size_t ran = 0;
    auto read = [&](bool checked, std::vector<ResultPtr>* keep) {
        ResultPtr result = NextResult();
        if (PQstatus(conn) == CONNECTION_BAD) throw CommandError(conn, result.get());
        const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
        const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_EMPTY_QUERY;
        if (!ok && checked && status != PGRES_PIPELINE_ABORTED && !failure) failure = CommandError(conn, result.get());
        if (ok && !failure) ++ran;
        if (keep) keep->push_back(std::move(result));
        while (ResultPtr extra = NextResult())  // each statement's results end with a null one
            if (PQstatus(conn) == CONNECTION_BAD) throw CommandError(conn, extra.get());
    };
    bool pinning = false, pinFailed = false;
    for (const Deferred& d : deferred) {
        const bool failedBefore = failure.has_value();
        read(d.checked, nullptr);
        pinning = pinning || d.pinsStringRules;
        pinFailed = pinFailed || (d.pinsStringRules && !failedBefore && failure);
    }
    if (!deferred.empty()) ReadSyncResult();
    // The server reports a changed setting just before it is ready for
    // more, after the Sync: only then does the connection know it.
    if (pinning && (!failure || pinFailed)) RequireStringRules(failure);
    if (failure) {
        // A setting of the session's own failed: nothing after it can be trusted.
        ReadRest(statements.size());
        throw *failure;
    }
    ran = 0;
    std::vector<ResultPtr> results;
    for (size_t i = 0; i < statements.size(); ++i) read(true, &results);
    if (!statements.empty()) ReadSyncResult();
    if (!PQexitPipelineMode(conn)) throw CommandError(conn, nullptr);
    if (succeeded) *succeeded = ran;
    if (failure) throw *failure;
    return results;
}

void PgConnection::SendAhead(const QByteArray& sql, AheadAnswer& answer) {
    SendDeferred();
    PGconn* conn = Usable();
    if (!PQsendQuery(conn, sql.constData())) throw CommandError(conn, nullptr);
    answer = AheadAnswer{true, nullptr, std::nullopt};
    ahead_ = &answer;
    Flush();
}

void PgConnection::Settle() {
    AheadAnswer* answer = std::exchange(ahead_, nullptr);
    if (!answer) return;
    answer->pending = false;
    try {
        if (dropped_) throw DroppedError();
        answer->result = Checked(LastResult());
    } catch (const Error& error) {
        answer->failure = error;
        if (error.isStop()) throw;
    }
}

void PgConnection::Forget(const AheadAnswer& answer) noexcept {
    if (ahead_ != &answer) return;
    try {
        Settle();
    } catch (...) {
        // Stopped while reading it: the connection is dropped, nothing is left to read.
    }
    ahead_ = nullptr;
}

void PgConnection::Flush() {
    PGconn* conn = conn_.get();
    for (;;) {
        const int rc = PQflush(conn);
        if (rc == 0) return;
        if (rc < 0) throw CommandError(conn, nullptr);
        // A server that cannot take more may be waiting for us to read its answers.
        Await(POLLIN | POLLOUT);
        if (!PQconsumeInput(conn)) throw CommandError(conn, nullptr);
    }
}

ResultPtr PgConnection::NextResult() {
    PGconn* conn = conn_.get();
    while (PQisBusy(conn)) {
        Await(POLLIN);
        // On failure libpq marks the connection bad and PQgetResult reports it.
        if (!PQconsumeInput(conn)) break;
    }
    return ResultPtr{PQgetResult(conn)};
}

void PgConnection::Drop() noexcept {
    if (dropped_) return;
    dropped_ = true;
    PGconn* conn = conn_.get();
    if (PGcancel* cancel = PQgetCancel(conn)) {
        try {
            std::thread([cancel] {
                char message[256];
                PQcancel(cancel, message, sizeof message);
                PQfreeCancel(cancel);
            }).detach();
        } catch (...) {
            PQfreeCancel(cancel);
        }
    }
    if (PQsocket(conn) >= 0) shutdown(PQsocket(conn), SHUT_RDWR);
}

void PgConnection::RequireStringRules(std::optional<Error>& failure) {
    const char* now = PQparameterStatus(conn_.get(), Dialect::kPostgresStringRules);
    if (!failure && now && std::strcmp(now, Dialect::kPostgresStringRulesValue) == 0) return;
    failure = Error::StringRulesNotPinned(QLatin1String(Dialect::kPostgresStringRules),
                                          QLatin1String(Dialect::kPostgresStringRulesValue),
                                          now ? QString::fromUtf8(now) : QString(),
                                          failure ? failure->Description() : QString());
    // Nothing more goes out on this connection.
    unpinned_ = failure;
}

void PgConnection::ReadSyncResult() {
    PGconn* conn = conn_.get();
    for (int nulls = 0;;) {
        ResultPtr result = NextResult();
        if (PQstatus(conn) == CONNECTION_BAD) throw CommandError(conn, result.get());
        if (result && PQresultStatus(result.get()) == PGRES_PIPELINE_SYNC) return;
        // Only the Sync is due now; libpq marks nothing else with a null twice.
        if (!result && ++nulls > 1) throw MakeError(kStateInternal, QStringLiteral("パイプラインの終わりが読めません。"));
    }
}

ResultPtr PgConnection::LastResult() {
    Flush();
    ResultPtr last;
    while (ResultPtr result = NextResult()) {
        const ExecStatusType status = PQresultStatus(result.get());
        last = std::move(result);
        if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH) break;
        if (PQstatus(conn_.get()) == CONNECTION_BAD) break;
    }
    return last;
}

void PgConnection::DiscardPendingResults() {
    PGconn* conn = conn_.get();
    while (ResultPtr pending = NextResult()) {
        const ExecStatusType status = PQresultStatus(pending.get());
        if (status == PGRES_COPY_IN) {
            PQputCopyEnd(conn, "COPY is not supported here");
            Flush();
        }
        if (status == PGRES_COPY_OUT) {
            char* row = nullptr;
            for (int got; (got = PQgetCopyData(conn, &row, 1)) != -1;) {
                if (got == -2) break;
                if (got == 0) {
                    Await(POLLIN);
                    if (!PQconsumeInput(conn)) break;
                    continue;
                }
                PQfreemem(row);
            }
        }
        if (PQstatus(conn) == CONNECTION_BAD) break;
    }
}

ResultPtr PgConnection::Checked(ResultPtr result) {
    PGconn* conn = conn_.get();
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    switch (status) {
    case PGRES_COMMAND_OK:
    case PGRES_TUPLES_OK:
    case PGRES_EMPTY_QUERY:
        return result;
    case PGRES_COPY_IN:
    case PGRES_COPY_OUT:
    case PGRES_COPY_BOTH:
        result.reset();
        DiscardPendingResults();
        throw MakeError(QStringLiteral("0A000"), QStringLiteral("COPY 文はここでは使えません。"));
    default:
        throw CommandError(conn, result.get());
    }
}

}  // namespace velkin::pg
