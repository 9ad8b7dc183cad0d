// An Update is all or nothing whatever the server does, and nobody's work
// is lost to it: on every engine route, the session ended after any step of
// the Update leaves the table as it was, and another session's write at the
// end of the snapshot fails at once rather than being wiped or reverted.
// Against a three-node Galera cluster (plain build, when make test started
// one): Updates racing another node's writes are whole or refused.

#include "command_fixture.h"
#include "statement_hook.h"
#include "test_databases.h"

#include "commands/table_replace.h"
#include "db/server_fault.h"

#include <QDir>

#include <atomic>
#include <chrono>
#include <map>
#include <sstream>
#include <thread>

using namespace velkin;
using namespace velkin::testing;
using test::Engine;

namespace {

struct Route {
    const char* name;
    Engine engine;
    bool odbc;
};

const Route kRoutes[] = {
    {"sqlite", Engine::SQLite, false},          {"postgres", Engine::PostgreSQL, false},
    {"mysql", Engine::MariaDB, false},          {"odbc_sqlite", Engine::SQLite, true},
    {"odbc_postgres", Engine::PostgreSQL, true}, {"odbc_mariadb", Engine::MariaDB, true},
};

class UpdateRace : public CommandTest, public ::testing::WithParamInterface<Route> {
protected:
    const Route& route() const { return GetParam(); }
    Engine engine() const { return route().engine; }

    void SetUp() override {
        CommandTest::SetUp();
        const std::string file = path(QStringLiteral("race.db")).toStdString();
        std::string host, login;
        switch (engine()) {
        case Engine::SQLite:
            admin_ = std::make_unique<test::SqliteAdmin>(file);
            host = (route().odbc ? "odbc:DRIVER={SQLite3};Database=" : "sqlite:") + file;
            login = "scott/tiger";
            break;
        case Engine::PostgreSQL:
            admin_ = std::make_unique<test::PgAdmin>();
            host = route().odbc ? test::PgOdbcHost() : test::PgHost(test::PgPlace());
            login = test::PgLogin();
            break;
        case Engine::MariaDB:
            admin_ = std::make_unique<test::MyAdmin>();
            host = route().odbc ? test::MyOdbcHost() : test::MyHost(test::MyPlace());
            login = test::MyLogin();
            break;
        }
        tables_ = std::make_unique<test::Tables>(*admin_, engine(), "race_");
        table_ = tables_->Make("t", "id INTEGER NOT NULL PRIMARY KEY, v VARCHAR(10)");
        admin_->Exec("INSERT INTO " + table_ + " VALUES (1, 'a'), (2, 'b'), (3, 'c')");
        const auto slash = login.find('/');
        context();  // the settings first, then the boxes as typed
        inputs.login = {QString::fromStdString(login.substr(0, slash)), QString::fromStdString(login.substr(slash + 1)),
                        QString::fromStdString(host)};
        useSessions([this](const QString& hostText) -> std::unique_ptr<Connection> {
            return std::make_unique<HookedConnection>(CreateConnection(hostText), [this](Connection& db, const QString& step) {
                if (hook_) hook_(db, step);
            });
        });
    }
    void TearDown() override {
        tables_.reset();
        CommandTest::TearDown();
    }

    void read() {
        hook_ = nullptr;
        report.boxes.clear();
        readTable(QString::fromStdString(table_));
        ASSERT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
    }
    std::string values() { return admin_->Column("SELECT v FROM " + table_ + " ORDER BY id"); }

    // The server's number for the session behind `db`, asked at its first
    // step (later ones may be in the middle of a pipeline).
    std::string sessionId(Connection& db) const {
        if (engine() == Engine::SQLite) return "";
        const bool pg = engine() == Engine::PostgreSQL;
        const auto rows = test::Read(db, pg ? QStringLiteral("SELECT pg_backend_pid()") : QStringLiteral("SELECT CONNECTION_ID()"));
        return rows.empty() || !rows[0][0] ? "" : rows[0][0]->toStdString();
    }
    // Ends session `id` as another session can: the server's own kill, or,
    // for a file, the interruption SQLite gives.
    void kill(const std::string& id) {
        switch (engine()) {
        case Engine::SQLite: throw Error(SQLITE_INTERRUPT, QStringLiteral("interrupted"));
        case Engine::PostgreSQL: admin_->Exec("SELECT pg_terminate_backend(" + id + ", 10000)"); break;
        case Engine::MariaDB: admin_->Exec("KILL " + id); break;
        }
    }

    QStringList snapshots() {
        QStringList found;
        QDir backup(QStringLiteral("backup"));
        for (const QString& folder : backup.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            for (const QString& name : QDir(backup.filePath(folder)).entryList(QDir::Files)) found << name;
        return found;
    }

    std::unique_ptr<test::Admin> admin_;
    std::unique_ptr<test::Tables> tables_;
    std::string table_;
    StepHook hook_;
};

INSTANTIATE_TEST_SUITE_P(Routes, UpdateRace, ::testing::ValuesIn(kRoutes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(UpdateRace, TheSessionEndedAfterAnyStepLeavesTheTableAsItWas) {
    int struck = 0;
    for (int k = 0;; ++k) {
        SCOPED_TRACE("ended before step " + std::to_string(k));
        read();
        setCell(4, 2, QStringLiteral("changed"));
        int step = 0;
        bool ended = false, atCommit = false;
        std::string id;
        hook_ = [&](Connection& db, const QString& what) {
            if (step == 0) id = sessionId(db);
            if (step++ != k) return;
            ended = true;
            atCommit = what == QLatin1String("COMMIT");
            kill(id);
        };
        update();
        hook_ = nullptr;
        if (!ended) {
            // Past the last step: the Update went through whole.
            EXPECT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
            EXPECT_EQ(values(), "a|changed|c");
            break;
        }
        ++struck;
        ASSERT_EQ(report.reports().size(), 1u);
        EXPECT_EQ(values(), "a|b|c") << report.reports()[0].text.toStdString();
        EXPECT_EQ(cell(4, 2), "changed") << "the grid keeps what was typed";
        // Only a COMMIT that may have gone keeps its snapshot, as pending; a
        // file's interrupted COMMIT is an answer.
        const QStringList files = snapshots();
        const bool unknown = atCommit && engine() != Engine::SQLite;
        EXPECT_EQ(files.filter(QStringLiteral(".pending")).size(), unknown ? 1 : 0) << files.join(' ').toStdString();
        EXPECT_TRUE(files.filter(QStringLiteral(".part")).isEmpty());
        for (const QString& name : files) QFile::remove(QStringLiteral("backup/") + name);
        QDir(QStringLiteral("backup")).removeRecursively();
    }
    // The lock (MySQL's is the snapshot itself), the snapshot, the DELETE,
    // three INSERTs and the COMMIT.
    EXPECT_GE(struck, 6);
}

TEST_P(UpdateRace, AnotherSessionsWriteAtTheEndOfTheSnapshotIsNeitherWipedNorReverted) {
    switch (engine()) {
    case Engine::SQLite: break;  // no busy timeout: a locked file fails at once
    case Engine::PostgreSQL: admin_->Exec("SET lock_timeout = '300ms'"); break;
    case Engine::MariaDB: admin_->Exec("SET SESSION innodb_lock_wait_timeout = 1"); break;
    }
    read();
    setCell(5, 2, QStringLiteral("mine"));
    const QString deleteAll = QStringLiteral("DELETE FROM ") + QString::fromStdString(table_);
    std::vector<std::string> refused;
    hook_ = [&](Connection&, const QString& what) {
        if (what != deleteAll) return;
        for (const std::string& write :
             {"INSERT INTO " + table_ + " VALUES (4, 'theirs')", "UPDATE " + table_ + " SET v = 'theirs' WHERE id = 2"}) {
            try {
                admin_->Exec(write);
            } catch (const std::exception& e) {
                refused.push_back(e.what());
            }
        }
    };
    update();
    EXPECT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
    EXPECT_EQ(refused.size(), 2u) << "the other session's writes must fail while the table is locked";
    EXPECT_EQ(values(), "a|b|mine");
}

// MariaDB ends a transaction on an abort between two statements without a
// word (a Galera conflict, a deadlock); a ROLLBACK sent through the session
// does the same here. Whatever runs after it, nothing of the Update is
// committed, and a statement that then fails (a key of a row the rollback
// brought back) is not blamed on its row.
TEST_P(UpdateRace, ATransactionEndedBetweenStatementsCommitsNothing) {
    if (engine() != Engine::MariaDB) GTEST_SKIP() << "only MariaDB ends a transaction without a word";
    int struck = 0;
    for (int k = 1;; ++k) {
        SCOPED_TRACE("ended before step " + std::to_string(k));
        read();
        setCell(4, 2, QStringLiteral("changed"));
        int step = 0;
        bool ended = false;
        hook_ = [&](Connection& db, const QString&) {
            if (step++ != k) return;
            ended = true;
            try {
                db.execute(QStringLiteral("ROLLBACK"));
            } catch (const Error&) {
                // The session may notice at once; what matters is what follows.
            }
        };
        update();
        hook_ = nullptr;
        if (!ended) break;
        ++struck;
        ASSERT_EQ(report.reports().size(), 1u);
        EXPECT_TRUE(report.reports()[0].text.startsWith(QStringLiteral("Error Code:%1").arg(Error::kTransactionEnded)))
            << report.reports()[0].text.toStdString();
        EXPECT_EQ(values(), "a|b|c");
        EXPECT_TRUE(redRows().empty()) << "no row is at fault";
    }
    EXPECT_GE(struck, 5);
}

// ---------------------------------------------------------------------------
// A Galera cluster: Updates through node 1 racing writes through node 3.

std::vector<int> GaleraPorts() {
    std::vector<int> ports;
    std::istringstream in(test::Env("VELKIN_GALERA_PORTS"));
    for (int port; in >> port;) ports.push_back(port);
    return ports;
}

// A plain connection to one node, as another user of the cluster.
class Node {
public:
    explicit Node(int port) : mysql_(mysql_init(nullptr)) {
        const unsigned timeout = 10;
        mysql_optionsv(mysql_.get(), MYSQL_OPT_READ_TIMEOUT, &timeout);
        if (!mysql_real_connect(mysql_.get(), "127.0.0.1", test::Env("VELKIN_GALERA_USER").c_str(),
                                test::Env("VELKIN_GALERA_PASSWORD").c_str(), test::Env("VELKIN_GALERA_DATABASE").c_str(),
                                static_cast<unsigned>(port), nullptr, 0))
            throw std::runtime_error(std::string("galera node: ") + mysql_error(mysql_.get()));
        // Reads wait until this node has applied everything the cluster committed.
        Exec("SET SESSION wsrep_sync_wait = 1");
    }
    // False when the node refused the statement.
    bool TryExec(const std::string& sql) {
        if (mysql_real_query(mysql_.get(), sql.data(), sql.size()) != 0) return false;
        if (MYSQL_RES* result = mysql_store_result(mysql_.get())) mysql_free_result(result);
        return true;
    }
    // Whether `sql` changed exactly one row: an UPDATE that met its row
    // while another transaction replaced it may find none.
    bool ChangedOneRow(const std::string& sql) { return TryExec(sql) && mysql_affected_rows(mysql_.get()) == 1; }
    void Exec(const std::string& sql) {
        if (!TryExec(sql)) throw std::runtime_error(sql + ": " + mysql_error(mysql_.get()));
    }
    std::string Scalar(const std::string& sql) {
        if (mysql_real_query(mysql_.get(), sql.data(), sql.size()) != 0)
            throw std::runtime_error(sql + ": " + mysql_error(mysql_.get()));
        std::unique_ptr<MYSQL_RES, void (*)(MYSQL_RES*)> result(mysql_store_result(mysql_.get()), mysql_free_result);
        MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
        const unsigned last = result ? mysql_num_fields(result.get()) - 1 : 0;
        return row && row[last] ? row[last] : "";
    }

private:
    struct Closer {
        void operator()(MYSQL* m) const { mysql_close(m); }
    };
    std::unique_ptr<MYSQL, Closer> mysql_;
};

class GaleraRace : public CommandTest, public ::testing::WithParamInterface<bool> {
protected:
    static constexpr int kRows = 2000;
    void SetUp() override {
        CommandTest::SetUp();
        ports_ = GaleraPorts();
        ASSERT_EQ(ports_.size(), 3u) << "VELKIN_GALERA_PORTS: start scripts/galera-test-cluster.sh";
        first_ = std::make_unique<Node>(ports_[0]);
        table_ = std::string("galera_") + (GetParam() ? "key" : "nokey");
        first_->Exec("DROP TABLE IF EXISTS " + table_);
        first_->Exec("CREATE TABLE " + table_ + " (id INT NOT NULL" + (GetParam() ? " PRIMARY KEY" : "") +
                     ", v VARCHAR(20)) ENGINE=InnoDB");
        first_->Exec("INSERT INTO " + table_ + " SELECT seq, CONCAT('v', seq) FROM seq_1_to_" + std::to_string(kRows));
        writeSettings("[Default1]\r\nLINE=2102\r\n");
        context();  // the settings first, then the boxes as typed
        inputs.login = {QString::fromStdString(test::Env("VELKIN_GALERA_USER")),
                        QString::fromStdString(test::Env("VELKIN_GALERA_PASSWORD")),
                        QStringLiteral("mysql://127.0.0.1:%1/%2")
                            .arg(ports_[0])
                            .arg(QString::fromStdString(test::Env("VELKIN_GALERA_DATABASE")))};
    }
    void TearDown() override {
        if (first_) first_->TryExec("DROP TABLE IF EXISTS " + table_);
        CommandTest::TearDown();
    }

    std::vector<int> ports_;
    std::unique_ptr<Node> first_;
    std::string table_;
};

INSTANTIATE_TEST_SUITE_P(Cluster, GaleraRace, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "PrimaryKey" : "NoKey"; });

TEST_P(GaleraRace, UpdatesRacingAnotherNodesWritesAreWholeOrRefused) {
    int whole = 0, refused = 0;
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        report.boxes.clear();
        readTable(QString::fromStdString(table_));
        ASSERT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
        const QString mine = QStringLiteral("u%1").arg(round);
        const std::string before = cell(3 + 4, 2).toStdString();
        setCell(3 + 4, 2, mine);  // id 5: never the writer's

        // The writer: rows 1000 and up, one change every 20 ms through node 3,
        // starting at a different moment each round (before the Update's
        // snapshot, during its statements, around its COMMIT, after it);
        // it keeps what committed.
        std::atomic<bool> stop{false};
        std::map<int, std::string> committed;
        std::thread writer([&] {
            Node third(ports_[2]);
            std::this_thread::sleep_for(std::chrono::milliseconds(60 * round));
            for (int i = 0; !stop; ++i) {
                const int id = 1000 + (i * 37 + round) % 1000;
                const std::string value = "w" + std::to_string(round) + "_" + std::to_string(i);
                if (third.ChangedOneRow("UPDATE " + table_ + " SET v = '" + value + "' WHERE id = " + std::to_string(id)))
                    committed[id] = value;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        update();
        stop = true;
        writer.join();

        const bool ok = report.reports().empty();
        if (ok) {
            ++whole;
        } else {
            ++refused;
            const QString text = report.reports()[0].text;
            // Changed since the Read, a conflict at the COMMIT or an abort between statements, or locked.
            EXPECT_TRUE(text.contains(QStringLiteral("Error Code:3197")) || text.contains(QStringLiteral("競合")) ||
                        text.contains(QStringLiteral("他の接続がこのテーブルを更新中")))
                << text.toStdString();
        }
        EXPECT_EQ(first_->Scalar("SELECT COUNT(*) FROM " + table_), std::to_string(kRows));
        EXPECT_EQ(first_->Scalar("SELECT v FROM " + table_ + " WHERE id = 5"), ok ? mine.toStdString() : before)
            << "the Update is whole or absent";
        for (const auto& [id, value] : committed)
            EXPECT_EQ(first_->Scalar("SELECT v FROM " + table_ + " WHERE id = " + std::to_string(id)), value)
                << "the other node's committed change to " << id << " stands";
        std::string sums;  // the nodes agree
        // A query, so that each node first applies what the cluster committed (wsrep_sync_wait).
        for (int port : ports_)
            sums += Node(port).Scalar("SELECT CONCAT(COUNT(*), ':', SUM(CRC32(CONCAT(id, '/', v)))) FROM " + table_) + " ";
        const std::string one = sums.substr(0, sums.find(' ') + 1);
        EXPECT_EQ(sums, one + one + one) << "the nodes agree";
    }
    RecordProperty("whole", whole);
    RecordProperty("refused", refused);
    std::printf("[ %d whole, %d refused ]\n", whole, refused);
}

}  // namespace
