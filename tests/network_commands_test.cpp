// Read and Update against the test PostgreSQL and MariaDB servers through a
// proxy (tcp_proxy.h) that puts half a millisecond each way between them, goes
// silent or cuts the connection: a silent server ends the command at TIMEOUT,
// with the table as it was. Esc, the Cancel button and the close box are the
// user's: user_seat/silent_server_test.cpp.

#include "form_fixture.h"
#include "tests/my_test_env.h"
#include "tests/pg_test_env.h"
#include "tests/tcp_proxy.h"

#include "db/server_wait.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <unistd.h>

using namespace velkin;
using namespace velkin::testing;

namespace {

enum class Engine { PostgreSQL, MariaDB };

class NetworkTest : public FormTest, public ::testing::WithParamInterface<Engine> {
protected:
    bool pg() const { return GetParam() == Engine::PostgreSQL; }

    void SetUp() override {
        FormTest::SetUp();
        ASSERT_FALSE((pg() ? test::PgUri() : test::MyUri()).empty())
            << (pg() ? test::kPgMissingServer : test::kMyMissingServer);
        writeSettings("[Default1]\r\nTIMEOUT=2\r\nLINE=100002\r\n");
        const std::string port = test::PgEnv(pg() ? "VELKIN_PG_PORT" : "VELKIN_MY_PORT");
        proxy_ = std::make_unique<TcpProxy>("127.0.0.1", static_cast<uint16_t>(std::stoi(port)),
                                            std::chrono::microseconds(500));
        const std::string user = test::PgEnv(pg() ? "VELKIN_PG_USER" : "VELKIN_MY_USER");
        const std::string password = test::PgEnv(pg() ? "VELKIN_PG_PASSWORD" : "VELKIN_MY_PASSWORD");
        const std::string database = pg() ? "velkin_test" : test::MyEnv("VELKIN_MY_DATABASE");
        form().TXT_USER->setText(QString::fromStdString(user));
        form().TXT_PASS->setText(QString::fromStdString(password));
        form().TXT_HOST->setText(QString::fromStdString((pg() ? "postgresql://127.0.0.1:" : "mysql://127.0.0.1:") +
                                                        std::to_string(proxy_->port()) + "/" + database));
        if (pg()) pgAdmin_ = std::make_unique<test::PgAdmin>();
        else myAdmin_ = std::make_unique<test::MyAdmin>();
    }
    void TearDown() override {
        proxy_.reset();  // the server ends whatever it still held for a silenced client
        if (!table_.empty()) exec("DROP TABLE IF EXISTS " + table_);
        FormTest::TearDown();
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
        boxes_.boxes.clear();
        form().Option1[0]->click();
        form().TXT_TABLE->setText(QString::fromStdString(table_));
        form().CMD_Read->click();
        ASSERT_TRUE(reports().empty()) << reports()[0].text.toStdString();
    }
    // The one report of a failed Update, and the table as it was.
    MessageRequest failedUpdate(const std::string& before) {
        update();
        EXPECT_EQ(reports().size(), 1u);
        EXPECT_EQ(content(), before);
        return reports().empty() ? MessageRequest{} : reports()[0];
    }
    std::unique_ptr<TcpProxy> proxy_;
    std::unique_ptr<test::PgAdmin> pgAdmin_;
    std::unique_ptr<test::MyAdmin> myAdmin_;
    std::string table_;
};

INSTANTIATE_TEST_SUITE_P(Servers, NetworkTest, ::testing::Values(Engine::PostgreSQL, Engine::MariaDB),
                         [](const auto& info) { return info.param == Engine::PostgreSQL ? "PostgreSQL" : "MariaDB"; });

TEST_P(NetworkTest, ASilentServerEndsAReadAtTimeout) {
    makeTable(10);
    proxy_->armTrigger(table_, 1, TcpProxy::Action::Silence);
    form().TXT_TABLE->setText(QString::fromStdString(table_));
    form().CMD_Read->click();
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_TRUE(reports()[0].text.contains(QStringLiteral("Error Code:%1").arg(kNoAnswerError)));
    EXPECT_TRUE(reports()[0].text.contains(QStringLiteral("2 秒"))) << reports()[0].text.toStdString();
    EXPECT_FALSE(form().CMD_Update->isEnabled());
}

TEST_P(NetworkTest, ASilentServerEndsAnUpdateAtTimeoutWithTheTableIntact) {
    makeTable(500);
    const std::string before = content();
    read();
    setCell(4, 3, "changed");
    proxy_->armTrigger("INSERT INTO", 100, TcpProxy::Action::Silence);
    const MessageRequest report = failedUpdate(before);
    EXPECT_TRUE(report.text.contains(QStringLiteral("Error Code:%1").arg(kNoAnswerError)));
    EXPECT_TRUE(report.text.contains(QStringLiteral("テーブルは変更していません"))) << report.text.toStdString();
    EXPECT_TRUE(redRows().empty());
    EXPECT_EQ(cell(4, 3), "changed") << "the grid keeps what was typed";
}

}  // namespace
