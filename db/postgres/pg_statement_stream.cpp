#include "db/postgres/pg_statement_stream.h"

#include "db/server_fault.h"

#include <cstdlib>
#include <cstring>
#include <deque>

namespace velkin::pg {

namespace {

// The replace's statements in libpq's pipeline mode: each is sent without
// waiting for the answers to those before it, and the answers are read as they
// come back, in order. Every statement goes by the extended protocol (which
// pipeline mode requires), as one statement, in the session's transaction.
//
// Unanswered statements are bounded by count and by bytes, so that memory does
// not grow with the grid: once either bound is reached, Send first waits for
// answers. The server is asked to flush its answers (a flush request) every
// so many statements and whenever the stream waits for them; there is no Sync
// until the end, so after a refused statement the server skips every later
// one, and the first refusal is the one reported.
class PgPipeline final : public StatementStream {
public:
    static constexpr size_t kMaxUnanswered = 1000;
    static constexpr size_t kMaxUnansweredBytes = 1 << 20;
    static constexpr int kFlushRequestEvery = 64;

    PgPipeline(std::shared_ptr<PgConnection> connection, StatementDone done)
        : connection_(std::move(connection)), done_(std::move(done)) {}

    ~PgPipeline() override {
        // Left halfway (an error of the caller's): the answers still due
        // cannot be waited for here, so the connection goes, and the
        // transaction with it.
        if (active_) connection_->Drop();
    }

    void Send(const QString& sql, int32_t tag) override {
        PgConnection& c = *connection_;
        if (!active_) c.SendDeferred();
        PGconn* conn = c.Usable();
        sending_ = tag;
        if (!active_) {
            if (!PQenterPipelineMode(conn)) throw CommandError(conn, nullptr);
            active_ = true;
        }
        if (unanswered_.size() >= kMaxUnanswered || unansweredBytes_ >= kMaxUnansweredBytes) {
            // Full: the answers are awaited until a quarter of the room is
            // free again, so that the waits are few and each brings many.
            for (;;) {
                ReadArrived();
                if (failed_ || (unanswered_.size() <= kMaxUnanswered * 3 / 4 &&
                                unansweredBytes_ <= kMaxUnansweredBytes * 3 / 4))
                    break;
                ReadOne();
            }
        }
        if (failed_) Stop();
        const QByteArray text = sql.toUtf8();
        // libpq itself hands its buffer to the socket once 64 KiB have gathered.
        if (!PQsendQueryParams(conn, text.constData(), 0, nullptr, nullptr, nullptr, nullptr, 0))
            ConnectionEnded(nullptr);
        unanswered_.push_back({tag, static_cast<size_t>(text.size())});
        unansweredBytes_ += static_cast<size_t>(text.size());
        if (++sinceFlushRequest_ >= kFlushRequestEvery) {
            RequestFlush();
            // Sends as much as the socket takes now, and takes the answers that are in.
            if (PQflush(conn) < 0) ConnectionEnded(nullptr);
            ReadArrived();
            if (failed_) Stop();
        }
    }

    void Finish() override {
        if (!active_) return;
        while (!failed_ && !unanswered_.empty()) ReadOne();
        Stop();
    }

private:
    struct Unanswered {
        int32_t tag;
        size_t bytes;
    };

    // The connection ended with statements unanswered (the server closed it,
    // an administrator ended the session, the network failed). As when one
    // statement at a time was sent, the statement in progress is the one
    // reported, with the server's reason where it gave one: the first
    // unanswered, or the one being sent. Nothing was committed.
    [[noreturn]] void ConnectionEnded(const PGresult* last) {
        PgConnection& c = *connection_;
        PGconn* conn = c.get();
        QString reason;
        if (last && PQresultStatus(last) == PGRES_FATAL_ERROR)
            reason = TrimmedText(PQresultErrorField(last, PG_DIAG_MESSAGE_PRIMARY));
        // Reads on until libpq has seen the end, which follows the server's reason at once.
        for (size_t i = 0; PQstatus(conn) != CONNECTION_BAD && i <= unanswered_.size() + 2; ++i) c.NextResult();
        QString message = TrimmedText(PQerrorMessage(conn));
        if (!reason.isEmpty() && !message.contains(reason)) message = reason + QStringLiteral("\n") + message;
        active_ = false;  // nothing more can be read
        throw StatementRefused(unanswered_.empty() ? sending_ : unanswered_.front().tag,
                               MakeError(kStateConnectionLost, message));
    }

    // The server ends the session with this answer (FATAL or PANIC): the connection closes after it.
    static bool EndsSession(const PGresult* result) {
        const char* severity = result ? PQresultErrorField(result, PG_DIAG_SEVERITY_NONLOCALIZED) : nullptr;
        return severity && (std::strcmp(severity, "FATAL") == 0 || std::strcmp(severity, "PANIC") == 0);
    }

    void RequestFlush() {
        if (!PQsendFlushRequest(connection_->get())) ConnectionEnded(nullptr);
        sinceFlushRequest_ = 0;
    }

    // Sends what libpq holds; a stop (cancel, no answer) goes on up.
    void Flush() {
        try {
            connection_->Flush();
        } catch (const Error&) {
            if (PQstatus(connection_->get()) != CONNECTION_BAD || connection_->IsDropped()) throw;
            ConnectionEnded(nullptr);
        }
    }

    // Takes the answers that have already arrived.
    void ReadArrived() {
        PGconn* conn = connection_->get();
        try {
            connection_->ConsumeArrived();
        } catch (const Error&) {
            ConnectionEnded(nullptr);
        }
        while (!failed_ && !unanswered_.empty() && !PQisBusy(conn)) ReadOne();
    }

    // Reads the answer to the oldest unanswered statement, waiting for it.
    void ReadOne() {
        PgConnection& c = *connection_;
        if (sinceFlushRequest_ > 0) RequestFlush();
        Flush();
        ResultPtr result = c.NextResult();
        if (PQstatus(c.get()) == CONNECTION_BAD || EndsSession(result.get())) ConnectionEnded(result.get());
        const Unanswered statement = unanswered_.front();
        switch (result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR) {
        case PGRES_COMMAND_OK:
        case PGRES_TUPLES_OK:
        case PGRES_EMPTY_QUERY:
            if (done_) done_(statement.tag, std::strtoll(PQcmdTuples(result.get()), nullptr, 10));
            break;
        case PGRES_PIPELINE_ABORTED:
            break;
        default:
            if (!failed_) failure_.emplace(statement.tag, CommandError(c.get(), result.get()));
            failed_ = true;
        }
        result.reset();
        // Each statement's results end with a null one.
        while (ResultPtr extra = c.NextResult())
            if (PQstatus(c.get()) == CONNECTION_BAD) ConnectionEnded(extra.get());
        unanswered_.pop_front();
        unansweredBytes_ -= statement.bytes;
    }

    // Ends the pipeline: a Sync, every answer still due (skipped ones after a
    // refusal), then back to one statement at a time; throws the refusal.
    void Stop() {
        PgConnection& c = *connection_;
        if (!PQpipelineSync(c.get())) ConnectionEnded(nullptr);
        Flush();
        while (!unanswered_.empty()) ReadOne();
        try {
            c.ReadSync();
        } catch (const Error&) {
            if (PQstatus(c.get()) != CONNECTION_BAD || c.IsDropped()) throw;
            ConnectionEnded(nullptr);
        }
        active_ = false;
        if (failure_) throw *failure_;
        // Every statement answered, and the transaction they ran in must still be open.
        if (c.transaction.heldByConnection() && PQtransactionStatus(c.get()) != PQTRANS_INTRANS)
            throw TransactionEndedByServer();
    }

    std::shared_ptr<PgConnection> connection_;
    StatementDone done_;
    bool active_ = false;
    bool failed_ = false;
    std::optional<StatementRefused> failure_;
    std::deque<Unanswered> unanswered_;
    size_t unansweredBytes_ = 0;
    int sinceFlushRequest_ = 0;
    int32_t sending_ = 0;  // the tag of the statement being sent
};

}  // namespace

std::unique_ptr<StatementStream> OpenPipeline(std::shared_ptr<PgConnection> connection, StatementDone done) {
    return std::make_unique<PgPipeline>(std::move(connection), std::move(done));
}

}  // namespace velkin::pg
