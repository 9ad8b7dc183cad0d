// A command stopped at any of its waits for the database (Esc, the Cancel
// button, the close box all cancel the wait) ends at once and cleanly: one
// report, error 18; no connection left open; a Read leaves Update disabled;
// an Update leaves the table as it was and the grid as typed. The stop comes
// from a hook on the command's wait, at wait 1, 2, 3, ... until the command
// runs to its end without reaching it: no timing. SQLite looks in while a
// statement works, the servers while the engine waits for the socket.

#include "command_fixture.h"
#include "tests/pg_test_env.h"

#include "db/server_wait.h"

#include <QRegularExpression>
#include <QThread>

#include <unistd.h>

using namespace velkin;
using namespace velkin::testing;

namespace {

// The engine the host names, with a hook on the wait the command gives it.
class WaitHookedConnection final : public ForwardingConnection {
public:
    WaitHookedConnection(std::unique_ptr<Connection> inner, std::function<void(ServerWait&)> hook)
        : ForwardingConnection(std::move(inner)), hook_(std::move(hook)) {}
    void setServerWait(ServerWait* wait) override {
        if (wait) wait->setWaitHook(hook_);
        ForwardingConnection::setServerWait(wait);
    }

private:
    std::function<void(ServerWait&)> hook_;
};

enum class Engine { SQLite, PostgreSQL };

class StopTest : public CommandTest, public ::testing::WithParamInterface<Engine> {
protected:
    bool pg() const { return GetParam() == Engine::PostgreSQL; }

    void SetUp() override {
        CommandTest::SetUp();
        if (pg()) {
            ASSERT_FALSE(test::PgUri().empty()) << test::kPgMissingServer;
            admin_ = std::make_unique<test::PgAdmin>();
            writeSettings("[Default1]\r\nLINE=5002\r\n");
            context();  // the settings first, then the boxes as typed
            inputs.login = {QString::fromStdString(test::PgUser()), QString::fromStdString(test::PgPassword()),
                            QString::fromStdString(test::PgHost(test::PgPlace()))};
        } else {
            admin_ = std::make_unique<test::SqliteAdmin>(path(QStringLiteral("Velkin.db")).toStdString());
        }
        // SQLite looks in every thousand steps of its machine: enough rows
        // that each statement is looked in on several times.
        table_ = "stop_" + std::to_string(getpid());
        admin_->Exec("DROP TABLE IF EXISTS " + table_);
        admin_->Exec("CREATE TABLE " + table_ + " (id NUMERIC(5) NOT NULL PRIMARY KEY, note VARCHAR(20))");
        std::string values;
        for (int i = 1; i <= 300; ++i) values += (i > 1 ? ",(" : "(") + std::to_string(i) + ",'n" + std::to_string(i) + "')";
        admin_->Exec("INSERT INTO " + table_ + " VALUES " + values);
        useSessions([this](const QString& host) {
            return std::make_unique<WaitHookedConnection>(CreateConnection(host), [this](ServerWait& wait) {
                if (++waits_ == stopAt_) wait.cancel();
            });
        });
        inputs.table = QString::fromStdString(table_);
    }
    void TearDown() override {
        if (admin_) admin_->Exec("DROP TABLE IF EXISTS " + table_);
        CommandTest::TearDown();
    }

    // Runs a command that stops at its wait number `k` (0: never); false
    // when it ran to its end without reaching that wait.
    bool stoppedAt(int k, const std::function<void()>& command) {
        stopAt_ = k;
        waits_ = 0;
        report.boxes.clear();
        command();
        stopAt_ = 0;
        EXPECT_EQ(openConnections(), 0) << "wait " << k;
        serverSessionsEnded();
        return waits_ >= k;
    }
    // A stopped command's server session goes when the server notices the
    // dropped connection; the next command must not meet its locks.
    void serverSessionsEnded() {
        if (!pg()) return;
        const std::string others =
            "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'velkin' AND pid <> pg_backend_pid()";
        for (int i = 0; i < 1000 && static_cast<test::PgAdmin&>(*admin_).Scalar(others) != "0"; ++i) QThread::msleep(10);
    }
    // Error 18 in either form of the report: the connection's or the command's.
    static bool cancelled(const QString& report) {
        static const QRegularExpression form(QStringLiteral("^Error Code: ?%1\r\n").arg(Error::kCancelled));
        return form.match(report).hasMatch();
    }
    std::string content() { return admin_->Column("SELECT note FROM " + table_ + " ORDER BY id"); }
    void read() { readTable(QString::fromStdString(table_)); }

    std::unique_ptr<test::Admin> admin_;
    std::string table_;
    int waits_ = 0;
    int stopAt_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Engines, StopTest, ::testing::Values(Engine::SQLite, Engine::PostgreSQL),
                         [](const auto& info) { return info.param == Engine::SQLite ? "SQLite" : "PostgreSQL"; });

TEST_P(StopTest, AReadStoppedAtAnyWaitEndsCleanly) {
    // On the server, more rows than come with the cursor: the later batches
    // are asked for ahead, and the stop also strikes while one is on its way.
    const int rows = pg() ? 3500 : 300;
    if (pg()) admin_->Exec("INSERT INTO " + table_ + " SELECT g, 'n' || g FROM generate_series(301, 3500) g");
    int k = 1;
    for (; stoppedAt(k, [this] { read(); }); ++k) {
        ASSERT_EQ(report.reports().size(), 1u) << "wait " << k;
        EXPECT_TRUE(cancelled(report.reports()[0].text)) << "wait " << k << ": " << report.reports()[0].text.toStdString();
        EXPECT_FALSE(report.updateAllowed) << "wait " << k;
    }
    EXPECT_GT(k, 2) << "a Read waits more than once";
    EXPECT_TRUE(report.reports().empty());
    EXPECT_EQ(cell(rows + 2, 2), QStringLiteral("n%1").arg(rows));
    EXPECT_TRUE(report.updateAllowed);
}

TEST_P(StopTest, AnUpdateStoppedAtAnyWaitLeavesTheTableAsItWas) {
    read();
    setCell(4, 2, "changed");
    std::string before = content();
    int k = 1;
    for (; stoppedAt(k, [this] { update(); }); ++k) {
        ASSERT_EQ(report.reports().size(), 1u) << "wait " << k;
        const QString text = report.reports()[0].text;
        EXPECT_TRUE(cancelled(text)) << "wait " << k << ": " << text.toStdString();
        EXPECT_EQ(cell(4, 2), "changed") << "the grid keeps what was typed";
        EXPECT_TRUE(redRows().empty()) << "wait " << k << ": no row was refused";
        // Stopped after connecting, the report says what became of the table.
        if (text.startsWith(QStringLiteral("Error Code:%1").arg(Error::kCancelled)))
            EXPECT_TRUE(text.contains(QStringLiteral("COMMIT")) || text.contains(QStringLiteral("テーブルは変更していません")))
                << "wait " << k << ": " << text.toStdString();
        if (text.contains(QStringLiteral("COMMIT"))) {
            // Stopped while the COMMIT was on its way: the report leaves the
            // outcome open, and the user reads the table again.
            read();
            setCell(4, 2, "changed");
            before = content();
            continue;
        }
        EXPECT_EQ(content(), before) << "wait " << k;
    }
    EXPECT_GT(k, 2) << "an Update waits more than once";
    EXPECT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
    EXPECT_EQ(admin_->Column("SELECT note FROM " + table_ + " WHERE id = 2"), "changed");
}

}  // namespace
