// Read and Update against the test PostgreSQL and MariaDB servers through a
// proxy (tcp_proxy.h) that puts half a millisecond each way between them, goes
// silent or cuts the connection: the Update's statements go several to a round
// trip (PostgreSQL's pipeline, MariaDB's batches), the refused row is the one marked, whatever fails leaves the table as
// it was, and a silent server ends the command at TIMEOUT. Esc, the Cancel
// button and the close box are the user's: user_seat/silent_server_test.cpp.

#include "command_fixture.h"
#include "memory_watch.h"
#include "tests/my_test_env.h"
#include "tests/pg_test_env.h"
#include "tests/tcp_proxy.h"

#include "db/dialect.h"
#include "db/postgres/pg_session.h"
#include "db/server_wait.h"

#include <QDir>

#include <unistd.h>

using namespace velkin;
using namespace velkin::testing;

namespace {

enum class Engine { PostgreSQL, MariaDB };

class NetworkTest : public CommandTest, public ::testing::WithParamInterface<Engine> {
protected:
    bool pg() const { return GetParam() == Engine::PostgreSQL; }

    void SetUp() override {
        CommandTest::SetUp();
        ASSERT_FALSE((pg() ? test::PgUri() : test::MyUri()).empty())
            << (pg() ? test::kPgMissingServer : test::kMyMissingServer);
        writeSettings("[Default1]\r\nTIMEOUT=2\r\nLINE=100002\r\n");
        const std::string port = test::PgEnv(pg() ? "VELKIN_PG_PORT" : "VELKIN_MY_PORT");
        proxy_ = std::make_unique<TcpProxy>("127.0.0.1", static_cast<uint16_t>(std::stoi(port)),
                                            std::chrono::microseconds(500));
        const std::string user = test::PgEnv(pg() ? "VELKIN_PG_USER" : "VELKIN_MY_USER");
        const std::string password = test::PgEnv(pg() ? "VELKIN_PG_PASSWORD" : "VELKIN_MY_PASSWORD");
        const std::string database = pg() ? "velkin_test" : test::MyEnv("VELKIN_MY_DATABASE");
        context();  // the settings first, then the boxes as typed
        inputs.login = {QString::fromStdString(user), QString::fromStdString(password),
                        QString::fromStdString((pg() ? "postgresql://127.0.0.1:" : "mysql://127.0.0.1:") +
                                               std::to_string(proxy_->port()) + "/" + database)};
        if (pg()) pgAdmin_ = std::make_unique<test::PgAdmin>();
        else myAdmin_ = std::make_unique<test::MyAdmin>();
    }
    void TearDown() override {
        proxy_.reset();  // the server ends whatever it still held for a silenced client
        if (!table_.empty()) exec("DROP TABLE IF EXISTS " + table_);
        CommandTest::TearDown();
    }

    void exec(const std::string& sql) { pg() ? pgAdmin_->Exec(sql) : myAdmin_->Exec(sql); }
    std::string scalar(const std::string& sql) { return pg() ? pgAdmin_->Scalar(sql) : myAdmin_->Column(sql); }

    // A table of `rows` rows whose qty may not be negative.
    void makeTable(int rows, const std::string& more = "") {
        table_ = "net_" + std::to_string(getpid());
        exec("DROP TABLE IF EXISTS " + table_);
        exec("CREATE TABLE " + table_ + " (id NUMERIC(10) NOT NULL PRIMARY KEY, qty NUMERIC(9) CHECK (qty >= 0), " +
             "note VARCHAR(20)" + more + ")");
        const std::string n = std::to_string(rows);
        exec(pg() ? "INSERT INTO " + table_ + " SELECT i, i % 97, 'n' || i FROM generate_series(1, " + n + ") i"
                  : "INSERT INTO " + table_ + " SELECT seq, seq % 97, CONCAT('n', seq) FROM seq_1_to_" + n);
    }
    // Every row with the transaction that wrote it (PostgreSQL) or as it is:
    // a rolled-back Update leaves exactly this.
    std::string content() {
        if (pg())
            return scalar("SELECT md5(string_agg(t::text || xmin::text, ',' ORDER BY id)) FROM " + table_ + " t");
        exec("SET SESSION group_concat_max_len = 1 << 30");
        return scalar("SELECT MD5(GROUP_CONCAT(CONCAT_WS('/', id, qty, note) ORDER BY id)) FROM " + table_);
    }

    void read() {
        report.boxes.clear();
        readTable(QString::fromStdString(table_));
        ASSERT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
    }
    // The one report of a failed Update, and the table as it was.
    MessageRequest failedUpdate(const std::string& before) {
        update();
        EXPECT_EQ(report.reports().size(), 1u);
        EXPECT_EQ(content(), before);
        return report.reports().empty() ? MessageRequest{} : report.reports()[0];
    }
    // The refusal of a negative qty, as each server reports it.
    QString checkRefused() const {
        return QString::number(pg() ? PostgresErrorNumber(QStringLiteral("23514")) : 4025);
    }

    std::unique_ptr<TcpProxy> proxy_;
    std::unique_ptr<test::PgAdmin> pgAdmin_;
    std::unique_ptr<test::MyAdmin> myAdmin_;
    std::string table_;
};

INSTANTIATE_TEST_SUITE_P(Servers, NetworkTest, ::testing::Values(Engine::PostgreSQL, Engine::MariaDB),
                         [](const auto& info) { return info.param == Engine::PostgreSQL ? "PostgreSQL" : "MariaDB"; });

// First, in the middle of what is in flight, and last: that row alone is red.
TEST_P(NetworkTest, TheRefusedRowIsMarkedExactly) {
    makeTable(3000);
    const std::string before = content();
    for (const int row : {3, 1502, 3002}) {
        read();
        setCell(row, 2, "-1");
        const size_t sendsBefore = proxy_->clientSends();
        const MessageRequest report = failedUpdate(before);
        EXPECT_TRUE(report.text.contains("Error Code:" + checkRefused())) << report.text.toStdString();
        EXPECT_EQ(redRows(), std::vector<int32_t>{row});
        // Not a round trip per row: the statements went many to a send.
        EXPECT_LT(proxy_->clientSends() - sendsBefore, 500u) << "row " << row;
    }
}

// A cell the program refuses (error 13) while earlier rows are still in
// flight: a refusal of the server's at an earlier row comes first and wins.
TEST_P(NetworkTest, TheFirstFailureInRowOrderWins) {
    makeTable(3000);
    const std::string before = content();
    read();
    setCell(800, 2, "-1");
    setCell(1500, 2, "abc");
    EXPECT_TRUE(failedUpdate(before).text.contains("Error Code:" + checkRefused()));
    EXPECT_EQ(redRows(), std::vector<int32_t>{800});

    read();
    setCell(1500, 2, "abc");
    EXPECT_TRUE(failedUpdate(before).text.contains("Error Code:13"));
    EXPECT_EQ(redRows(), std::vector<int32_t>{1500});
}

// The connection cut while statements are in flight: nothing is committed,
// the statement then in progress is marked, as when one went at a time, and
// the next command works on a fresh connection.
TEST_P(NetworkTest, AConnectionCutHalfwayLeavesTheTableAsItWas) {
    makeTable(3000);
    const std::string before = content();
    read();
    setCell(3, 3, "changed");
    proxy_->armTrigger("INSERT INTO", 1500, TcpProxy::Action::Cut);
    failedUpdate(before);
    EXPECT_TRUE(proxy_->triggered());
    EXPECT_EQ(redRows().size(), 1u);
    read();
    EXPECT_EQ(cell(3, 3), "n1");
}

// A Read, connecting included, in few round trips: statements whose answers
// nobody waits for go with the next ones, those sent together share one (the
// session's settings, the catalogue and the count with a cursor's opening),
// and neither MariaDB query needs a description of its own (the discovery
// query's result describes the table).
TEST_P(NetworkTest, AReadTakesFewRoundTrips) {
    makeTable(10);
    const size_t before = proxy_->clientTurns();
    read();
    EXPECT_EQ(cell(12, 3), "n10");
    // Connecting takes four (PostgreSQL) or one; then the two queries, and
    // the goodbye at the end counts one.
    const size_t turns = proxy_->clientTurns() - before;
    EXPECT_LE(turns, pg() ? 7u : 4u);
}

TEST_P(NetworkTest, ASilentServerEndsAReadAtTimeout) {
    makeTable(10);
    proxy_->armTrigger(table_, 1, TcpProxy::Action::Silence);
    readTable(QString::fromStdString(table_));
    ASSERT_EQ(report.reports().size(), 1u);
    EXPECT_TRUE(report.reports()[0].text.contains(QStringLiteral("Error Code:%1").arg(Error::kNoAnswer)));
    EXPECT_TRUE(report.reports()[0].text.contains(QStringLiteral("2 秒"))) << report.reports()[0].text.toStdString();
    EXPECT_FALSE(report.updateAllowed);
}

TEST_P(NetworkTest, ASilentServerEndsAnUpdateAtTimeoutWithTheTableIntact) {
    makeTable(500);
    const std::string before = content();
    read();
    setCell(4, 3, "changed");
    proxy_->armTrigger("INSERT INTO", 100, TcpProxy::Action::Silence);
    const MessageRequest shown = failedUpdate(before);
    EXPECT_TRUE(shown.text.contains(QStringLiteral("Error Code:%1").arg(Error::kNoAnswer)));
    EXPECT_TRUE(shown.text.contains(QStringLiteral("テーブルは変更していません"))) << shown.text.toStdString();
    EXPECT_TRUE(redRows().empty());
    EXPECT_EQ(cell(4, 3), "changed") << "the grid keeps what was typed";
}

// The COMMIT reaches the server and its answer never comes back: the
// outcome is unknown, so the snapshot of the old rows stays, as pending.
TEST_P(NetworkTest, ALostCommitAnswerKeepsThePendingSnapshot) {
    makeTable(50);
    read();
    setCell(4, 3, "changed");
    proxy_->armTrigger("COMMIT", 1, TcpProxy::Action::Silence);
    update();
    ASSERT_EQ(report.reports().size(), 1u);
    EXPECT_TRUE(proxy_->triggered());
    EXPECT_TRUE(report.reports()[0].text.contains(QStringLiteral("確定したかどうかは分かりません"))) << report.reports()[0].text.toStdString();
    const QStringList pending = QDir(QStringLiteral("backup")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    ASSERT_EQ(pending.size(), 1);
    const QStringList files = QDir(QStringLiteral("backup/") + pending[0]).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();
    EXPECT_TRUE(files[0].endsWith(QLatin1String(".tsv.pending"))) << files[0].toStdString();
}

// However many rows, only so many statements are unanswered at a time.
TEST_P(NetworkTest, ALargeUpdateStaysWithinItsMemoryBound) {
    const int rows = kResidentSizeMeaningful ? 100000 : 5000;
    makeTable(rows);
    read();
    setCell(rows + 2, 3, "last");
    const MemoryWatch memory;
    update();
    ASSERT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
    ExpectBoundedGrowth(memory, 48 * 1024);
    EXPECT_EQ(scalar("SELECT note FROM " + table_ + " WHERE id = " + std::to_string(rows)), "last");
}

class DeferredTest : public NetworkTest {};
INSTANTIATE_TEST_SUITE_P(PostgreSQLOnly, DeferredTest, ::testing::Values(Engine::PostgreSQL),
                         [](const auto&) { return "PostgreSQL"; });

// A key checked at COMMIT fails the Update as a whole: no row is marked.
TEST_P(DeferredTest, ADeferredConstraintFailsAtCommit) {
    makeTable(3000, ", UNIQUE (note) DEFERRABLE INITIALLY DEFERRED");
    const std::string before = content();
    read();
    setCell(2000, 3, "n1");
    EXPECT_TRUE(failedUpdate(before).text.contains(QStringLiteral("Error Code:%1").arg(PostgresErrorNumber("23505"))));
    EXPECT_TRUE(redRows().empty());
}

// The names MariaDB's batches take: nothing in them can end a statement.
TEST(PlainTableName, OnlyOneIdentifierOptionallyQualified) {
    for (const char* plain : {"t", "T_1$", "s.t", "\"My Table\"", "`a;b`", "\"a\"\"b\".t", "社員"})
        EXPECT_TRUE(IsPlainTableName(QString::fromUtf8(plain))) << plain;
    for (const char* other : {"", "t;DROP TABLE x", "t -- c", "t t", " t", "a.b.c", "\"open", "t.", "\"\"", "`a`b"})
        EXPECT_FALSE(IsPlainTableName(QString::fromUtf8(other))) << other;
}

}  // namespace
