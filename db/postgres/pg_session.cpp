#include "db/postgres/pg_session.h"

#include "db/login.h"
#include "db/postgres/pg_connection.h"
#include "db/postgres/pg_cursor.h"
#include "db/postgres/pg_statement_stream.h"

#include <QByteArray>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <vector>

namespace velkin {

namespace {

using namespace pg;

// Connects without blocking: libpq's steps run as the socket becomes ready,
// through the command's wait. The connect timeout (10 s, or the URI's own
// connect_timeout) bounds the whole attempt.
ConnPtr Connect(const char* const* keys, const char* const* values, ServerWait& wait) {
    ConnPtr conn{PQconnectStartParams(keys, values, 1)};
    if (!conn) throw MakeError(kStateCannotConnect, QStringLiteral("メモリが足りません。"));
    PGconn* c = conn.get();
    if (PQstatus(c) == CONNECTION_BAD) throw MakeError(kStateCannotConnect, TrimmedText(PQerrorMessage(c)));
    int timeoutSeconds = 0;
    if (PQconninfoOption* options = PQconninfo(c)) {
        for (PQconninfoOption* o = options; o->keyword; ++o)
            if (std::strcmp(o->keyword, "connect_timeout") == 0 && o->val) timeoutSeconds = std::atoi(o->val);
        PQconninfoFree(options);
    }
    if (timeoutSeconds == 1) timeoutSeconds = 2;  // libpq's own minimum
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    PostgresPollingStatusType polling = PGRES_POLLING_WRITING;
    while (polling != PGRES_POLLING_OK) {
        if (polling == PGRES_POLLING_FAILED) throw MakeError(kStateCannotConnect, TrimmedText(PQerrorMessage(c)));
        int remaining = -1;
        if (timeoutSeconds > 0)
            remaining = static_cast<int>(std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                   deadline - std::chrono::steady_clock::now())
                                                                   .count()));
        switch (wait.forSocket(PQsocket(c), polling == PGRES_POLLING_READING ? POLLIN : POLLOUT, remaining)) {
        case ServerWait::Outcome::Ready: break;
        case ServerWait::Outcome::EngineTimer:
            throw MakeError(kStateCannotConnect, QStringLiteral("timeout expired"));
        case ServerWait::Outcome::Stop:
            if (PQsocket(c) >= 0) shutdown(PQsocket(c), SHUT_RDWR);
            wait.throwStop();
        }
        polling = PQconnectPoll(c);
    }
    if (PQsetnonblocking(c, 1) != 0) throw MakeError(kStateCannotConnect, TrimmedText(PQerrorMessage(c)));
    return conn;
}

class PgSession final : public Connection {
public:
    void open(const QString& host, const QString& connect, OpenOption option) override {
        const Login login = SplitLogin(connect);
        const QByteArray user = login.user.toUtf8();
        const QByteArray password = login.password.toUtf8();
        const QByteArray uri = host.toUtf8();

        // Later keywords override earlier ones: the URI may set its own
        // timeout, while the login boxes and the encoding always win.
        std::vector<const char*> keys, values;
        auto add = [&](const char* key, const char* value) {
            keys.push_back(key);
            values.push_back(value);
        };
        add("connect_timeout", "10");
        add("dbname", uri.constData());
        if (!user.isEmpty()) add("user", user.constData());
        if (!password.isEmpty()) add("password", password.constData());
        add("client_encoding", "UTF8");
        add("fallback_application_name", "velkin");
        add(nullptr, nullptr);

        ServerWait& wait = serverWait();
        ConnPtr conn = Connect(keys.data(), values.data(), wait);
        // Notices (a skipped DROP, a warning) are not failures, and a window program has no console for them.
        PQsetNoticeProcessor(conn.get(), [](void*, const char*) {}, nullptr);
        auto connection = std::make_shared<PgConnection>(std::move(conn), wait);
        // The session's settings go with its first statements, in their round trip.
        connection->DeferStringRules();
        connection->Defer("SET DateStyle = 'ISO, YMD'", true);
        connection->Defer(QByteArray("SET lock_timeout = '") + (option == OpenOption::NoLockWait ? kNoWaitLockTimeout : "0") + "'",
                          true);
        connection_ = connection;
    }

    int64_t execute(const QString& sql) override {
        PgConnection& c = Wire();
        // The statement may change a table: what is known of tables goes.
        c.catalogue.clear();
        c.transaction.noteStatement();
        ResultPtr result = c.Exec(sql.toUtf8());
        return std::strtoll(PQcmdTuples(result.get()), nullptr, 10);
    }

    std::unique_ptr<Cursor> openCursor(const QString& sql, CursorOption option) override {
        return OpenCursor(WireShared(), sql, option, Count::WhenAsked);
    }

    std::unique_ptr<Cursor> openCursorToCount(const QString& sql, CursorOption option) override {
        return OpenCursor(WireShared(), sql, option, Count::AtOpening);
    }

    // Pipelined wherever the server is, next to it too: on this machine's
    // loopback 20,000 INSERTs took a fifth of the time and less
    // than half the server's processor time of one statement per round trip,
    // the extended protocol notwithstanding (no wait between statements, and
    // no wake-up of the server process for each).
    std::unique_ptr<StatementStream> openStatementStream(const QString& table, StatementDone done) override {
        (void)table;
        return OpenPipeline(WireShared(), std::move(done));
    }

    void begin() override {
        PgConnection& c = Wire();
        if (c.transaction.takeOverForBegin([] { return SessionError(SessionFault::AlreadyBegun); })) return;
        c.Exec("BEGIN");
        c.transaction.began();
    }

    void commit() override {
        PgConnection& c = Wire();
        c.transaction.endForCommit([] { return SessionError(SessionFault::NotBegun); });
        // Whatever COMMIT answers, the transaction is over afterwards.
        c.ForgetTransaction();
        ResultPtr result = c.Exec("COMMIT");
        // The server ends an aborted transaction with a rollback and says so
        // only in the command tag: nothing was made permanent.
        if (std::strcmp(PQcmdStatus(result.get()), "ROLLBACK") == 0)
            throw MakeError(QStringLiteral("40000"),
                            QStringLiteral("トランザクションは確定されず、ロールバックされました"
                                           "（前の文が失敗していたため、COMMIT に ROLLBACK が返されました）。"));
    }

    void rollback() override {
        // Called from failure handlers that may not know whether anything was opened.
        if (!connection_) return;
        PgConnection& c = Wire();
        c.ForgetTransaction();
        if (c.IsBroken())
            throw MakeError(kStateConnectionLost,
                            QStringLiteral("サーバーとの接続が切れています。確定していない変更はサーバーが破棄します。"));
        if (PQtransactionStatus(c.get()) == PQTRANS_IDLE) return;  // nothing to undo
        c.Exec("ROLLBACK");
    }

    Dialect dialect() const override { return Dialect(DialectKind::PostgreSQL); }

    void requireReplaceableTable(const QString& table) override {
        // The name goes as a parameter, as in KeysReferringTo.
        const QByteArray sql = Dialect::postgresOverreachQuery(QStringLiteral("$1")).toUtf8();
        ResultPtr result = Wire().ExecParams(sql.constData(), {table.toUtf8()});
        std::vector<std::pair<QString, QString>> found;
        for (int r = 0; r < PQntuples(result.get()); ++r)
            found.emplace_back(QString::fromUtf8(PQgetvalue(result.get(), r, 0)),
                               QString::fromUtf8(PQgetvalue(result.get(), r, 1)));
        RefuseOverreach(table, found);
    }

    std::vector<ReferringKey> keysReferringTo(const QString& table) override {
        // The name goes as a parameter, so no character typed in the box can change the query.
        const QByteArray sql = Dialect::postgresReferringKeysQuery(QStringLiteral("$1")).toUtf8();
        ResultPtr result = Wire().ExecParams(sql.constData(), {table.toUtf8()});
        std::vector<ReferringKey> keys;
        for (int r = 0; r < PQntuples(result.get()); ++r)
            keys.push_back({QString::fromUtf8(PQgetvalue(result.get(), r, 0)),
                            QString::fromUtf8(PQgetvalue(result.get(), r, 1))});
        return keys;
    }

    // Learnt by the catalogue query the cursor ran when it opened: no round
    // trip of its own. The cursor's table is the one the name resolved to.
    TableKey tableKey(const QString& table, const Cursor& rows) override {
        (void)table;
        return KeyOf(rows);
    }

private:
    PgConnection& Wire() { return *WireShared(); }
    const std::shared_ptr<PgConnection>& WireShared() {
        if (!connection_)
            throw SessionError(SessionFault::NotConnected);
        return connection_;
    }

    std::shared_ptr<PgConnection> connection_;
};

}  // namespace

int32_t PostgresErrorNumber(const QString& sqlState) {
    if (sqlState.size() != 5) return 0;
    int32_t number = 0;
    for (const QChar ch : sqlState) {
        const char16_t c = ch.unicode();
        int digit;
        if (c >= u'0' && c <= u'9') digit = c - u'0';
        else if (c >= u'A' && c <= u'Z') digit = c - u'A' + 10;
        else return 0;
        number = number * 36 + digit;
    }
    return number;
}

std::unique_ptr<Connection> CreatePostgresConnection() { return std::make_unique<PgSession>(); }

}  // namespace velkin
