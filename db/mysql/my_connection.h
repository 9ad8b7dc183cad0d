#pragma once
// One connection to a MySQL or MariaDB server and its transaction state,
// shared by the session, the statement stream and every open cursor, so
// that it lives as long as the longest of them. Every call
// that waits for the server runs in the connector's non-blocking form, so a
// command can be stopped while it waits (Await).

#include "db/error.h"
#include "db/server_wait.h"
#include "db/table_key.h"
#include "db/transaction_state.h"

#include <errmsg.h>
#include <mysql.h>

#include <QByteArray>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>
#include <utility>
#include <vector>

namespace velkin::my {

struct MysqlDeleter {
    void operator()(MYSQL* mysql) const { mysql_close(mysql); }
};
struct ResultDeleter {
    void operator()(MYSQL_RES* result) const { mysql_free_result(result); }
};
using MysqlPtr = std::unique_ptr<MYSQL, MysqlDeleter>;
using ResultPtr = std::unique_ptr<MYSQL_RES, ResultDeleter>;

// The connector's own numbers for the failures the engine reports itself
// (its out-of-memory is not the sheet's Error::kOutOfMemory).
constexpr int32_t kClientOutOfMemory = CR_OUT_OF_MEMORY;
constexpr int32_t kNoCurrentRecord = CR_NO_DATA;
static_assert(CodeOf(kMySqlSessionFaults, SessionFault::NotConnected).number == CR_SERVER_GONE_ERROR);
static_assert(CodeOf(kMySqlSessionFaults, SessionFault::AlreadyBegun).number == CR_COMMANDS_OUT_OF_SYNC);
static_assert(CodeOf(kMySqlSessionFaults, SessionFault::NotBegun).number == CR_COMMANDS_OUT_OF_SYNC);
constexpr int32_t kNoResultSet = CR_NO_STMT_METADATA;     // a cursor of a statement without rows
constexpr int32_t kBadOption = CR_UNKNOWN_HOST;

Error MakeError(int32_t number, const QString& sqlState, const QString& message);
// The connector's last error on `mysql`.
Error ConnectionError(MYSQL* mysql);
// A failure the engine reports itself, with SQLSTATE HY000.
Error EngineError(int32_t number, const QString& message);
// A fault of the session's own calls, numbered as the connector would.
Error SessionError(SessionFault fault);

// Runs one of the connector's calls in its non-blocking form, waiting for the
// socket through the command's wait. `start` begins the call and returns what
// it waits for (MYSQL_WAIT_*), `proceed(ready)` goes on once that is there.
// On a stop `drop` ends the connection; the call then fails at once, is led
// to its end (so the connector holds nothing of it), and the stop is thrown.
template <class Start, class Proceed, class Drop>
void Await(MYSQL* mysql, ServerWait& wait, Start start, Proceed proceed, Drop drop) {
    int status = start();
    while (status != 0) {
        short events = 0;
        if (status & MYSQL_WAIT_READ) events |= POLLIN;
        if (status & MYSQL_WAIT_WRITE) events |= POLLOUT;
        if (status & MYSQL_WAIT_EXCEPT) events |= POLLPRI;
        const int timer = (status & MYSQL_WAIT_TIMEOUT) ? static_cast<int>(mysql_get_timeout_value_ms(mysql)) : -1;
        switch (wait.forSocket(static_cast<int>(mysql_get_socket(mysql)), events, timer)) {
        case ServerWait::Outcome::Ready:
            status = proceed(status & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE | MYSQL_WAIT_EXCEPT));
            break;
        case ServerWait::Outcome::EngineTimer: status = proceed(MYSQL_WAIT_TIMEOUT); break;
        case ServerWait::Outcome::Stop:
            drop();
            // The socket is shut: every read and write fails now.
            for (int step = 0; status != 0 && step < 1000; ++step) status = proceed(MYSQL_WAIT_READ | MYSQL_WAIT_WRITE);
            wait.throwStop();
        }
    }
}

class MyCursor;

// A result column as the server describes a prepared query.
struct PreparedColumn {
    QByteArray name;
    enum_field_types type;
    unsigned flags;
    // The table behind the column as the server names it (org_table), and
    // its database; empty for an expression.
    QByteArray database = {}, table = {};
};

// The columns of a result, or of a prepared statement's metadata.
std::vector<PreparedColumn> PreparedColumnsOf(MYSQL_RES* result);

// A table as the server names it: database and table.
using BaseTable = std::pair<QByteArray, QByteArray>;

// What the catalogue says of a table's key (Dialect::mysqlKeyIndexesQuery),
// or why it could not be asked.
struct TableKeyFacts {
    std::vector<IndexColumnRow> indexRows;
    bool referred = false;
    std::optional<Error> refused;
};

// The columns of a whole table, as a prepare described them (MyCursor).
struct DescribedTable {
    QByteArray table;
    std::vector<PreparedColumn> columns;
    bool companionsPrepared = false;  // its values' companions passed the prepare too
};

class MyConnection {
public:
    // `reopen` makes a fresh connection like the first. `setup` holds the
    // session's settings, run on every fresh connection before anything else
    // (SendGroup says when they may share the first round trip).
    using Opener = std::function<MysqlPtr(ServerWait&)>;
    MyConnection(MysqlPtr mysql, Opener reopen, ServerWait& wait, std::vector<QByteArray> setup)
        : mysql_(std::move(mysql)), reopen_(std::move(reopen)), wait_(wait), setup_(std::move(setup)) {}

    MYSQL* get() const { return mysql_.get(); }
    ServerWait& wait() const { return wait_; }

    // Sends one statement, first draining the stream a cursor may be reading
    // (the protocol carries one result at a time). The result, if any, is
    // the caller's to take.
    void Send(const QByteArray& sql);

    // Whether the session's setup, not run yet on this connection, may go
    // ahead of a group in its round trip: only for statements of the
    // program's own that read and mean the same under any session settings,
    // since they run even when a setting is refused.
    enum class Setup { RunFirst, MayJoin };

    // Makes the connection free: a fresh one after an abandon, the stream a
    // cursor may be reading drained, and the setup run unless it may join.
    void Claim(Setup setup = Setup::RunFirst);

    // Stops the unread rest of a result from crossing the network: the
    // protocol has no way to end a result early but to drop the connection.
    // The next command opens a fresh one. Only for a moment when no
    // transaction holds anything that a dropped connection would lose.
    void Abandon() noexcept {
        mariadb_cancel(get());
        abandoned_ = true;
    }

    // Ends the connection at once when the command stops: the server is told
    // to end it (KILL, from a second connection on a thread of its own, since
    // a silent server would hold that too), and the socket is shut, so
    // nothing more is waited for. The server rolls back the open transaction.
    void Drop() noexcept;

    // The connector's call in its non-blocking form (see Await).
    template <class Start, class Proceed>
    void Call(Start start, Proceed proceed) {
        if (dropped_)
            throw EngineError(CR_SERVER_LOST, QStringLiteral("サーバーとの接続を切りました。確定していない変更はサーバーが破棄します。"));
        Await(get(), wait_, start, proceed, [this] { Drop(); });
    }

    // Sends a statement without reading its answer: several may go before
    // any answer is read (the server takes them in turn), each answer then
    // read in order with ReadAnswer. One round trip for all.
    void SendAhead(const QByteArray& sql);

    // Reads the answer to the next statement sent ahead: true when it ran
    // (its rows, if any, are the caller's to take), false when the server
    // refused it (the first refusal goes to `refusal`). A lost connection throws.
    bool ReadAnswer(std::optional<Error>& refusal);

    // Sends `statements` one after another, after the deferred ones, whose
    // answers are read and let go; the answers to `statements` are the
    // caller's to read, in order. A setup that joins goes first and its
    // answers are read here: a refusal is thrown, and the connection is
    // abandoned, so no later statement runs without its settings.
    void SendGroup(const std::vector<QByteArray>& statements, Setup setup = Setup::RunFirst);

    // A statement whose answer nobody waits for (the COMMIT that ends the
    // cursors' transaction when it only read): it goes with the next
    // statement, in its round trip, or with the connection when none follows.
    void Defer(QByteArray sql) { deferred_.push_back(std::move(sql)); }

    void RealQuery(const QByteArray& sql);

    // The next row of a result being streamed; null at its end or on an error.
    MYSQL_ROW FetchRow(MYSQL_RES* result);

    // Frees a result, reading through whatever of it has not arrived yet.
    void FreeResult(ResultPtr& result);

    // The next result of a text holding several statements: 0 when there is
    // one, -1 at the end, above 0 for an error.
    int NextResult();

    // After an abort (a deadlock, a cluster's certification conflict) the
    // server ends the transaction, and every later statement answers OK and
    // is committed on its own. So each answer inside the session's
    // transaction must show it still open; an error packet carries no status,
    // but the session stops at an error anyway.
    void RequireTransactionKept() const;

    void SetServerOption(enum_mysql_set_option option);

    // Throws unless `sql` is one statement that returns rows. The server
    // prepares it without running it, so a statement that writes is refused
    // before it changes anything. Returns the result's columns.
    std::vector<PreparedColumn> RequireQuery(const QByteArray& sql);

    // Runs a statement of the program's own and drops whatever it returns.
    void Run(const QByteArray& sql);

    // Runs statements of the program's own in one round trip, dropping what
    // they return; throws the first refusal, after every answer is read.
    void RunGroup(const std::vector<QByteArray>& statements);

    // Reads the rows of the statement just sent through, counting them.
    int64_t CountRows();

    // The statement's whole result, for the small ones of the program's own.
    ResultPtr Stored(const QByteArray& sql);

    void SetStreaming(MyCursor* cursor) { streaming_ = cursor; }
    void StreamEnded(const MyCursor* cursor) {
        if (streaming_ == cursor) streaming_ = nullptr;
    }

    // The transaction now open and who opened it: the session's begin, or the cursors.
    TransactionState transaction;

    // The keys of the tables cursors read whole, asked in their opening
    // round trip and read after their rows (MyCursor); forgotten when a
    // statement runs, which may change a table.
    std::map<BaseTable, TableKeyFacts> tableKeys;
    // Left by a cursor over a whole table for the next cursor over the same
    // table, which then needs no prepare of its own; whatever else runs first
    // lets it go (a statement might change the table).
    std::optional<DescribedTable> described;

private:
    // Reads and lets go of the rows of the statement whose answer was just read.
    void DropResult();

    // Reads the answers to the setup sent ahead; throws the first refusal,
    // abandoning the connection.
    void ReadSetupAnswers();

    MysqlPtr mysql_;
    Opener reopen_;
    ServerWait& wait_;
    MyCursor* streaming_ = nullptr;
    bool abandoned_ = false;
    bool dropped_ = false;
    std::vector<QByteArray> deferred_;
    std::vector<QByteArray> setup_;
    bool setupDue_ = true;  // the setup has not run on this connection yet
};

}  // namespace velkin::my
