#include "db/mysql/my_statement_stream.h"

#include <algorithm>
#include <cstdlib>

namespace velkin::my {

namespace {

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
// it would begin a statement of its own.
class MyBatches final : public StatementStream {
public:
    static constexpr qsizetype kMaxBatchBytes = 256 * 1024;

    MyBatches(std::shared_ptr<MyConnection> connection, StatementDone done)
        : connection_(std::move(connection)), done_(std::move(done)) {}

    ~MyBatches() override {
        // Left halfway: the statements still due cannot be waited for here,
        // so the connection goes, and the transaction with it.
        if (multiOn_) connection_->Drop();
    }

    void Send(const QString& sql, int32_t tag) override {
        QByteArray text = sql.toUtf8();
        if (first_) {
            // The DELETE, on its own, before multi-statements are on.
            first_ = false;
            RunBatch(text, {tag});
            return;
        }
        if (!tags_.empty() && batch_.size() + 1 + text.size() > Limit()) RunBatch(batch_, tags_);
        if (!tags_.empty()) batch_ += ';';
        batch_ += text;
        tags_.push_back(tag);
    }

    void Finish() override {
        if (!tags_.empty()) RunBatch(batch_, tags_);
        MultiStatements(false);
    }

private:
    // The most a batch may hold: under the server's own packet limit, asked once.
    qsizetype Limit() {
        if (limit_ == 0) {
            limit_ = kMaxBatchBytes;
            ResultPtr result = connection_->Stored("SELECT @@max_allowed_packet");
            MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
            // Room for the packet's header and the command byte.
            if (row && row[0]) limit_ = std::min<qsizetype>(limit_, std::strtoll(row[0], nullptr, 10) - 1024);
            limit_ = std::max<qsizetype>(limit_, 1);
        }
        return limit_;
    }

    void MultiStatements(bool on) {
        if (on == multiOn_) return;
        connection_->SetServerOption(on ? MYSQL_OPTION_MULTI_STATEMENTS_ON : MYSQL_OPTION_MULTI_STATEMENTS_OFF);
        multiOn_ = on;
    }

    // The statement `tag` was refused, or the connection ended while it was
    // in progress (which, as when one statement went at a time, is reported
    // against it).
    [[noreturn]] void Fail(int32_t tag) {
        MYSQL* m = connection_->get();
        const unsigned number = mysql_errno(m);
        const Error error = ConnectionError(m);
        if (number != CR_SERVER_LOST && number != CR_SERVER_GONE_ERROR && number != CR_SERVER_LOST_EXTENDED) {
            try {
                MultiStatements(false);
            } catch (const Error&) {
                // The refusal is what the user needs to hear.
            }
        }
        throw StatementRefused(tag, error);
    }

    // Whether `error`, met while a batch ran, is the server's refusal of
    // the statement then due: not a stop, nor a transaction already gone.
    static bool RefusedStatement(const Error& error) {
        return !error.isStop() && error.Number() != Error::kTransactionEnded;
    }

    static Error Unanswered() {
        return EngineError(CR_COMMANDS_OUT_OF_SYNC,
                           QStringLiteral("サーバーがこの文に応答しませんでした。更新全体を取り消します。"));
    }

    void RunBatch(const QByteArray& text, const std::vector<int32_t>& tags) {
        MyConnection& c = *connection_;
        c.transaction.noteStatement();
        if (tags.size() > 1) MultiStatements(true);
        try {
            c.Send(text);
        } catch (const Error& error) {
            if (!RefusedStatement(error)) throw;
            Fail(tags.front());
        }
        for (size_t i = 0;; ) {
            int64_t rows = 0;
            if (mysql_field_count(c.get()) > 0) c.CountRows();
            else rows = static_cast<int64_t>(mysql_affected_rows(c.get()));
            if (done_) done_(tags[i], rows);
            if (++i == tags.size()) break;
            int next = 0;
            try {
                next = c.NextResult();
            } catch (const Error& error) {
                if (!RefusedStatement(error)) throw;
                Fail(tags[i]);
            }
            if (next > 0) Fail(tags[i]);
            // The server answered fewer statements than the batch holds:
            // the rest did not run, so the replace cannot be whole.
            if (next < 0) throw StatementRefused(tags[i], Unanswered());
        }
        // The texts are the caller's: nothing more is due.
        while (c.NextResult() == 0) {
        }
        batch_.clear();
        tags_.clear();
    }

    std::shared_ptr<MyConnection> connection_;
    StatementDone done_;
    bool first_ = true;
    bool multiOn_ = false;
    qsizetype limit_ = 0;
    QByteArray batch_;
    std::vector<int32_t> tags_;
};

}  // namespace

std::unique_ptr<StatementStream> OpenBatches(std::shared_ptr<MyConnection> connection, StatementDone done) {
    return std::make_unique<MyBatches>(std::move(connection), std::move(done));
}

}  // namespace velkin::my
