#include "db/mysql/my_session.h"

#include "db/login.h"
#include "db/mysql/my_address.h"
#include "db/mysql/my_connection.h"
#include "db/mysql/my_cursor.h"
#include "db/mysql/my_statement_stream.h"
#include "db/mysql/my_tls_guard.h"
#include "db/mysql/my_transactional.h"
#include "db/server_fault.h"

#include <mysqld_error.h>

#include <QByteArray>
#include <QStringList>

#include <optional>
#include <sys/socket.h>
#include <vector>

namespace velkin {

namespace {

using namespace my;

constexpr unsigned kConnectTimeoutSeconds = 10;

// The stack the connector's non-blocking calls run on. Its default (60 KiB)
// leaves little room for a TLS handshake.
constexpr size_t kAsyncStackBytes = 256 * 1024;

// The savepoint that marks the session's transaction (MySession::begin).
const QByteArray kTransactionMark = "SAVEPOINT velkin_update";

void ApplyOption(MYSQL* mysql, MySqlOption option, const QByteArray& value) {
    const char* text = value.constData();
    int rc = 0;
    switch (option) {
    case MySqlOption::Socket: return;  // given to mysql_real_connect
    case MySqlOption::Ssl: {
        const my_bool on = MySqlOptionOn(value);
        rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_ENFORCE, &on);
        break;
    }
    case MySqlOption::SslVerifyServerCert: {
        const my_bool on = MySqlOptionOn(value);
        rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &on);
        break;
    }
    case MySqlOption::SslCa: rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_CA, text); break;
    case MySqlOption::SslCaPath: rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_CAPATH, text); break;
    case MySqlOption::SslCert: rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_CERT, text); break;
    case MySqlOption::SslKey: rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_KEY, text); break;
    case MySqlOption::SslCipher: rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_CIPHER, text); break;
    case MySqlOption::SslCrl: rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_CRL, text); break;
    case MySqlOption::SslCrlPath: rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_CRLPATH, text); break;
    case MySqlOption::TlsVersion: rc = mysql_optionsv(mysql, MARIADB_OPT_TLS_VERSION, text); break;
    case MySqlOption::ConnectTimeout:
    case MySqlOption::ReadTimeout:
    case MySqlOption::WriteTimeout: {
        bool ok = false;
        const unsigned seconds = value.trimmed().toUInt(&ok);
        if (!ok) throw EngineError(kBadOption, QStringLiteral("秒数が正しくありません: %1").arg(QString::fromUtf8(value)));
        const mysql_option which = option == MySqlOption::ConnectTimeout ? MYSQL_OPT_CONNECT_TIMEOUT
                                   : option == MySqlOption::ReadTimeout  ? MYSQL_OPT_READ_TIMEOUT
                                                                         : MYSQL_OPT_WRITE_TIMEOUT;
        rc = mysql_optionsv(mysql, which, &seconds);
        break;
    }
    }
    if (rc != 0) throw EngineError(kBadOption, QStringLiteral("接続オプションを設定できません: %1").arg(QString::fromUtf8(value)));
}

// On a stop while connecting, the half-made connection is simply shut.
void ShutSocket(MYSQL* mysql) {
    const auto socket = mysql_get_socket(mysql);
    if (socket != MARIADB_INVALID_SOCKET) shutdown(static_cast<int>(socket), SHUT_RDWR);
}

class MySession final : public Connection {
public:
    void open(const QString& host, const QString& connect, OpenOption option) override {
        const MySqlAddress address = ParseMySqlAddress(host);
        const Login login = SplitLogin(connect);
        QByteArray user = login.user.toUtf8();
        QByteArray password = login.password.toUtf8();
        if (user.isEmpty()) user = address.user;
        if (password.isEmpty()) password = address.password;

        auto open = [address, user, password](ServerWait& wait) -> MysqlPtr {
            MysqlPtr mysql{mysql_init(nullptr)};
            if (!mysql) throw EngineError(kClientOutOfMemory, QStringLiteral("メモリが足りません。"));
            MYSQL* m = mysql.get();
            // Every call that waits for the server runs in its non-blocking form (Await).
            const size_t stack = kAsyncStackBytes;
            if (mysql_optionsv(m, MYSQL_OPT_NONBLOCK, &stack) != 0)
                throw EngineError(kClientOutOfMemory, QStringLiteral("メモリが足りません。"));
            const unsigned timeout = kConnectTimeoutSeconds;
            const my_bool off = 0;
            const unsigned noLocalFiles = 0;
            mysql_optionsv(m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
            mysql_optionsv(m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
            // A silent reconnection would run the rest of a replace outside its transaction.
            mysql_optionsv(m, MYSQL_OPT_RECONNECT, &off);
            mysql_optionsv(m, MYSQL_OPT_LOCAL_INFILE, &noLocalFiles);
            QByteArray socket;
            for (const auto& [option, value] : address.options) {
                if (option == MySqlOption::Socket) socket = value;
                ApplyOption(m, option, value);
            }
            const MySqlRoute route = MySqlRouteOf(address);
            const unsigned tcp = MYSQL_PROTOCOL_TCP;
            if (route.tcp && mysql_optionsv(m, MYSQL_OPT_PROTOCOL, &tcp) != 0)
                throw EngineError(kBadOption, QStringLiteral("TCP での接続を接続ライブラリに設定できません。"));
            TlsGuard guard;
            GuardPassword(m, route, guard);
            MYSQL* connected = nullptr;
            // An UPDATE counts the rows it matched, not only those whose
            // values changed: an Update by key checks that each of its
            // statements met exactly one row, and a value set to what it
            // already was must count.
            constexpr unsigned long kClientFlags = CLIENT_FOUND_ROWS;
            const char* hostName = address.host.isEmpty() ? nullptr : address.host.constData();
            const char* userName = user.isEmpty() ? nullptr : user.constData();
            const char* database = address.database.isEmpty() ? nullptr : address.database.constData();
            const char* socketPath = socket.isEmpty() ? nullptr : socket.constData();
            Await(m, wait,
                  [&] {
                      return mysql_real_connect_start(&connected, m, hostName, userName, password.constData(), database,
                                                      address.port, socketPath, kClientFlags);
                  },
                  [&](int ready) { return mysql_real_connect_cont(&connected, m, ready); }, [m] { ShutSocket(m); });
            if (!connected) throw ConnectFailure(m, route, guard);
            return mysql;
        };
        // Run by the connection before its first statements, or with them (MyConnection::SendGroup).
        std::vector<QByteArray> setup = {Dialect::mysqlSessionSetup().toUtf8()};
        if (option == OpenOption::NoLockWait) setup.push_back(Dialect::mysqlNoLockWait().toUtf8());
        ServerWait& wait = serverWait();
        connection_ = std::make_shared<MyConnection>(open(wait), open, wait, std::move(setup));
    }

    int64_t execute(const QString& sql) override {
        MyConnection& c = Wire();
        c.transaction.noteStatement();
        // The statement may change a table: what is known of keys goes.
        c.tableKeys.clear();
        c.described.reset();
        c.Send(sql.toUtf8());
        if (mysql_field_count(c.get()) == 0) return static_cast<int64_t>(mysql_affected_rows(c.get()));
        // A query run as a statement: its rows are read through and counted.
        return c.CountRows();
    }

    std::unique_ptr<Cursor> openCursor(const QString& sql, CursorOption option) override {
        return std::make_unique<MyCursor>(WireShared(), sql, option == CursorOption::KeepTrailingBlanks);
    }

    std::unique_ptr<StatementStream> openStatementStream(const QString& table, StatementDone done) override {
        Wire().described.reset();
        if (!IsPlainTableName(table)) return velkin::Connection::openStatementStream(table, std::move(done));
        return OpenBatches(WireShared(), std::move(done));
    }

    // An abort (a deadlock, a cluster's certification conflict) that strikes
    // between two statements ends the transaction without a word: the next
    // statements answer OK. So the session's transaction runs with autocommit
    // off, where whatever follows such an abort waits in a transaction of its
    // own instead of being committed, and a savepoint marks the transaction:
    // one that replaced it has none, and its COMMIT is refused (commit).
    void begin() override {
        MyConnection& c = Wire();
        if (c.transaction.takeOverForBegin([] { return SessionError(SessionFault::AlreadyBegun); })) {
            c.RunGroup({"SET autocommit = 0", kTransactionMark});
            return;
        }
        // REPEATABLE READ, as a Read's snapshot: the Update's locking read
        // then also locks the gaps, so no other session inserts meanwhile.
        c.RunGroup({"SET autocommit = 0", "SET TRANSACTION ISOLATION LEVEL REPEATABLE READ", "START TRANSACTION",
                    kTransactionMark});
        c.transaction.began();
    }

    void commit() override {
        MyConnection& c = Wire();
        c.transaction.endForCommit([] { return SessionError(SessionFault::NotBegun); });
        try {
            c.Run("RELEASE " + kTransactionMark);
        } catch (const Error& error) {
            if (error.Number() == ER_SP_DOES_NOT_EXIST) throw TransactionEndedByServer();
            throw;
        }
        c.RunGroup({"COMMIT", "SET autocommit = 1"});
    }

    bool holdsTransaction() override {
        if (!connection_ || !connection_->transaction.heldByConnection()) return true;
        try {
            connection_->Run("ROLLBACK TO " + kTransactionMark);
        } catch (const Error& error) {
            // A lost connection or a stop says more than this could.
            return error.Number() != ER_SP_DOES_NOT_EXIST;
        }
        return true;
    }

    void rollback() override {
        // Called from error handlers that may not know whether anything began.
        if (!connection_) return;
        MyConnection& c = *connection_;
        c.transaction.forgetOwner();
        // On a lost connection the server has already discarded the transaction.
        c.RunGroup({"ROLLBACK", "SET autocommit = 1"});
    }

    void requireReplaceableTable(const QString& table) override {
        RefuseOverreach(table, TwoColumnQuery()(Dialect::mysqlOverreachQuery(table)));
    }

    void requireTransactionalTable(const QString& table) override {
        RequireTransactionalTables(BaseTables(table), table, TwoColumnQuery());
    }

    std::vector<ReferringKey> keysReferringTo(const QString& table) override {
        return MySqlKeysReferringTo(BaseTables(table), TwoColumnQuery());
    }

    // Asked in the round trip that opened the cursor, and known once its
    // rows have ended; asked again only when a statement since made the
    // connection forget it (or the rows have not ended yet).
    TableKey tableKey(const QString& table, const Cursor& rows) override {
        (void)table;
        const auto* cursor = dynamic_cast<const MyCursor*>(&rows);
        if (!cursor || !cursor->wholeTable()) return {};
        MyConnection& c = Wire();
        const BaseTable& base = *cursor->wholeTable();
        auto known = c.tableKeys.find(base);
        if (known == c.tableKeys.end()) {
            const ResultPtr answer = c.Stored(
                Dialect::mysqlKeyIndexesQuery(QString::fromUtf8(base.first), QString::fromUtf8(base.second)).toUtf8());
            known = c.tableKeys.emplace(base, KeyFactsOf(answer.get())).first;
        }
        const TableKeyFacts& facts = known->second;
        if (facts.refused) throw *facts.refused;
        return {ChooseKeyColumns(IndexesOf(facts.indexRows), ColumnNames(rows)), facts.referred};
    }

    Dialect dialect() const override { return Dialect(DialectKind::MySQL); }

    // MariaDB's SET STATEMENT: the settings hold for the one statement, and
    // the session's own stay as they are for every other.
    NeedsStatement statementForNeeds(uint8_t needs) override {
        NeedsStatement form;
        if (!(needs & (ExactNeed::kUtcStatement | ExactNeed::kZeroDates))) return form;
        const ResultPtr result = Wire().Stored("SELECT @@SESSION.time_zone, @@SESSION.sql_mode");
        const MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
        if (!row || !row[0] || !row[1]) throw ConnectionError(Wire().get());
        QStringList settings;
        if (needs & ExactNeed::kUtcStatement) {
            settings << QStringLiteral("time_zone='+00:00'");
            form.zoneBefore = QStringLiteral("CONVERT_TZ(");
            form.zoneAfter = QLatin1Char(',') + Dialect::sqlStringLiteral(QString::fromUtf8(row[0])) +
                             QStringLiteral(",'+00:00')");
        }
        if (needs & ExactNeed::kZeroDates) {
            QStringList modes = QString::fromUtf8(row[1]).split(QLatin1Char(','), Qt::SkipEmptyParts);
            // TRADITIONAL would bring both back.
            const qsizetype removed = modes.removeIf([](const QString& mode) {
                return mode == QLatin1String("NO_ZERO_DATE") || mode == QLatin1String("NO_ZERO_IN_DATE") ||
                       mode == QLatin1String("TRADITIONAL");
            });
            if (removed > 0) settings << QStringLiteral("sql_mode=") + Dialect::sqlStringLiteral(modes.join(QLatin1Char(',')));
        }
        if (!settings.isEmpty()) form.prefix = QStringLiteral("SET STATEMENT ") + settings.join(QStringLiteral(", ")) + QStringLiteral(" FOR ");
        return form;
    }

private:
    MyConnection& Wire() { return *WireShared(); }
    const std::shared_ptr<MyConnection>& WireShared() {
        if (!connection_) throw SessionError(SessionFault::NotConnected);
        return connection_;
    }

    // The database and table behind each column of `table`, as the server resolves the name.
    std::vector<MySqlBaseTable> BaseTables(const QString& table) {
        std::vector<MySqlBaseTable> tables;
        ResultPtr probe = Wire().Stored(MySqlBaseTableProbe(table).toUtf8());
        if (!probe) return tables;
        MYSQL_FIELD* fields = mysql_fetch_fields(probe.get());
        for (unsigned i = 0; i < mysql_num_fields(probe.get()); ++i)
            tables.push_back({QString::fromUtf8(fields[i].db, fields[i].db_length),
                              QString::fromUtf8(fields[i].org_table, fields[i].org_table_length)});
        return tables;
    }

    MySqlTwoColumnQuery TwoColumnQuery() {
        return [&c = Wire()](const QString& sql) {
            std::vector<std::pair<QString, QString>> rows;
            ResultPtr result = c.Stored(sql.toUtf8());
            while (MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr)
                rows.emplace_back(QString::fromUtf8(row[0] ? row[0] : ""), QString::fromUtf8(row[1] ? row[1] : ""));
            return rows;
        };
    }

    std::shared_ptr<MyConnection> connection_;
};

}  // namespace

std::unique_ptr<Connection> CreateMySqlConnection() { return std::make_unique<MySession>(); }

}  // namespace velkin
