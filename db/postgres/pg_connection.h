#pragma once
// One connection to a PostgreSQL server and its transaction state, shared by
// the session, the statement stream and every open cursor, so that it lives
// as long as the longest of them and all see the same transaction.

#include "db/dialect.h"
#include "db/error.h"
#include "db/server_wait.h"
#include "db/transaction_state.h"

#include <libpq-fe.h>

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>
#include <vector>

namespace velkin::pg {

struct ConnDeleter {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};
struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using ConnPtr = std::unique_ptr<PGconn, ConnDeleter>;
using ResultPtr = std::unique_ptr<PGresult, ResultDeleter>;

// SQLSTATEs for failures the server did not classify itself.
inline const QString kStateCannotConnect = QStringLiteral("08001");
inline const QString kStateConnectionLost = QStringLiteral("08006");
inline const QString kStateInternal = QStringLiteral("XX000");

Error MakeError(const QString& sqlState, const QString& message, const QString& detail = QString());
// A fault of the session's own calls, by its SQLSTATE.
Error SessionError(SessionFault fault);

// libpq's text, trimmed; empty for none.
QString TrimmedText(const char* text);

// The error of a failed command; `result` may be null (libpq could not make one).
Error CommandError(PGconn* conn, const PGresult* result);


// The answer to a statement sent ahead of need (PgConnection::SendAhead).
struct AheadAnswer {
    bool pending = false;  // sent, its answer not read yet
    ResultPtr result;
    std::optional<Error> failure;
};

// The connection is non-blocking: every statement is sent and its answer read
// through the command's wait (db/server_wait.h), never inside libpq, so a
// silent server cannot hold the window.
class PgConnection {
public:
    PgConnection(ConnPtr conn, ServerWait& wait) : conn_(std::move(conn)), wait_(wait) {}

    PGconn* get() const { return conn_.get(); }
    bool IsBroken() const { return dropped_ || PQstatus(conn_.get()) != CONNECTION_OK; }
    // Ended on purpose, after a cancel or no answer in time.
    bool IsDropped() const { return dropped_; }

    // Runs one statement; throws the server's error. Only one statement is
    // accepted. Statements are separated by ";", so a text without one is a
    // single statement and goes by the simple protocol, which costs the server
    // markedly less per statement; any other text goes by the extended
    // protocol, which refuses a text with several. (With deferred statements
    // to go first, it goes in their pipeline, by the extended protocol.)
    ResultPtr Exec(const QByteArray& sql);

    ResultPtr ExecParams(const char* sql, const std::vector<QByteArray>& params);

    struct Statement {
        QByteArray sql;
        std::vector<QByteArray> params;
    };

    // Several statements in one round trip, each on its own and in order (in
    // pipeline mode, so by the extended protocol), after the deferred ones;
    // the results of all, or the first error, after which the rest are not
    // run. `succeeded` tells how many ran before an error.
    std::vector<ResultPtr> Pipeline(const std::vector<Statement>& statements, size_t* succeeded = nullptr);

    std::vector<ResultPtr> ExecBatch(const std::vector<QByteArray>& statements) {
        std::vector<Statement> list;
        for (const QByteArray& sql : statements) list.push_back({sql, {}});
        return Pipeline(list);
    }

    // A statement whose answer nobody waits for: it goes with the next
    // statements that are waited for, first and in the same round trip, or
    // with the connection when nothing follows. A failure of a `checked` one
    // (the session's settings) is thrown then; any other is of no account
    // (closing a cursor, ending the cursors' transaction that only read).
    void Defer(QByteArray sql, bool checked) { deferred_.push_back({std::move(sql), checked, false}); }
    // The statement that pins the string rules (Dialect::postgresSessionSetup),
    // deferred as a checked one; afterwards the server must report them
    // pinned, else the connection fails with a report that says why and
    // sends nothing more. The statements sent in its round trip are read
    // under the rules it set; should it fail, the one that went with it is
    // the command's first (a BEGIN, a read's query), never a cell's literal.
    void DeferStringRules() {
        deferred_.push_back({Dialect::postgresSessionSetup().toUtf8(), true, true});
    }
    // Sends the deferred statements now and reads their answers.
    void SendDeferred() {
        if (!deferred_.empty()) Pipeline({});
    }

    // Ends pipeline mode after a Sync whose statements' results are all read.
    void ReadSync() {
        ReadSyncResult();
        if (!PQexitPipelineMode(conn_.get())) throw CommandError(conn_.get(), nullptr);
    }

    // The catalogue facts of a result's columns, kept for the connection: a
    // read asks for the same columns twice (the NOT NULL columns, then the
    // query itself). By the question's parameters; forgotten when anything
    // else runs (it might change a table).
    std::map<std::vector<QByteArray>, std::vector<std::vector<QByteArray>>> catalogue;

    // Sends what libpq still holds, waiting while the socket is full.
    void Flush();

    // Reads whatever has arrived, without waiting.
    void ConsumeArrived() {
        pollfd p{PQsocket(conn_.get()), POLLIN, 0};
        if (poll(&p, 1, 0) > 0 && !PQconsumeInput(conn_.get())) throw CommandError(conn_.get(), nullptr);
    }

    // The next result of the statement in hand, waiting for it; null once
    // that statement's results are all read.
    ResultPtr NextResult();

    // Waits until the socket is ready; on a stop, drops the connection and
    // throws why.
    void Await(short events) {
        if (wait_.forSocket(PQsocket(conn_.get()), events) == ServerWait::Outcome::Stop) {
            Drop();
            wait_.throwStop();
        }
    }

    // Ends the connection at once: the server is asked to stop the statement
    // it runs (PQcancel, on a thread of its own, since it connects anew and a
    // silent host would hold it), and the socket is shut, so nothing more is
    // waited for. The server rolls back the open transaction.
    void Drop() noexcept;

    // The transaction now open on the connection, and who opened it: the
    // session's begin, or the cursors for their server-side cursors.
    TransactionState transaction;
    // Changes whenever a transaction ends; a cursor whose server-side cursor
    // was declared under an older value knows that cursor is gone.
    uint64_t generation = 0;
    uint64_t cursorsMade = 0;

    void ForgetTransaction() {
        transaction.forget();
        ++generation;
    }

    // The connection, unless it was dropped, free for the next statement.
    PGconn* Usable() {
        if (unpinned_) throw *unpinned_;
        if (dropped_) throw DroppedError();
        if (ahead_) Settle();
        return conn_.get();
    }

    // Sends one statement (a text without ";") and returns at once, so that
    // its round trip runs while the caller works; the answer goes to
    // `answer`. The connection carries one statement at a time: anything
    // sent afterwards first reads this answer (Settle).
    void SendAhead(const QByteArray& sql, AheadAnswer& answer);
    // Reads the answer to the statement sent ahead, if one is on its way.
    // Its failure is kept in the answer, for its sender; only a stop is
    // thrown here.
    void Settle();
    // The sender of `answer` goes: an answer still on its way is read and
    // dropped, unless the connection is gone already.
    void Forget(const AheadAnswer& answer) noexcept;

private:
    struct Deferred {
        QByteArray sql;
        bool checked;
        bool pinsStringRules;
    };

    // After the statement that pins the string rules: its failure, or a
    // server that does not report them pinned, becomes the connection's
    // refusal (with the server's own words, if any).
    void RequireStringRules(std::optional<Error>& failure);

    // Waits for the answer to a Sync.
    void ReadSyncResult();

    // Reads and drops the answers to `statements` statements and their Sync,
    // and leaves pipeline mode.
    void ReadRest(size_t statements) {
        for (size_t i = 0; i < statements; ++i)
            while (NextResult()) {
            }
        if (statements > 0) ReadSyncResult();
        PQexitPipelineMode(conn_.get());
    }

    // Sends the statement and reads all its results, keeping the last, as PQexec does.
    ResultPtr LastResult();

    // Reads and drops whatever results are still pending on the connection.
    void DiscardPendingResults();

    ResultPtr Checked(ResultPtr result);

    static Error DroppedError() {
        return MakeError(kStateConnectionLost,
                         QStringLiteral("サーバーとの接続を切りました。確定していない変更はサーバーが破棄します。"));
    }

    ConnPtr conn_;
    ServerWait& wait_;
    bool dropped_ = false;
    std::optional<Error> unpinned_;  // the string rules could not be pinned
    std::vector<Deferred> deferred_;
    AheadAnswer* ahead_ = nullptr;  // the statement sent ahead, while its answer is on its way
};

}  // namespace velkin::pg
