// A database server that stops answering, seen from the user's seat: the real
// program reaches the test servers through a proxy (tcp_proxy.h) that goes
// silent halfway through a Read or an Update. The window goes on repainting and
// shows a Cancel button over the grid; Esc, that button and the close box end
// the command at once, the report says so, the table is as it was, and the
// window stays and works. TIMEOUT is 0 here, so nothing else could end it.

#include "desktop.h"
#include "tests/my_test_env.h"
#include "tests/pg_test_env.h"
#include "tests/tcp_proxy.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>

#include <unistd.h>

using namespace velkin::seat;
using velkin::testing::TcpProxy;
namespace c = velkin::seat::controls;

namespace {

Display* display = nullptr;

class SilentServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() { display = new Display; }
    static void TearDownTestSuite() {
        delete display;
        display = nullptr;
    }
    void TearDown() override {
        proxy_.reset();  // the server ends what it held for the silenced connection
        if (pg_) pg_->Exec("DROP TABLE IF EXISTS " + table_);
        if (my_) my_->Exec("DROP TABLE IF EXISTS " + table_);
    }

    // Starts the program on a table of 200 rows behind the proxy.
    void start(bool postgres) {
        using namespace velkin::test;
        ASSERT_FALSE((postgres ? PgUri() : MyUri()).empty()) << (postgres ? kPgMissingServer : kMyMissingServer);
        table_ = "seat_" + std::to_string(getpid());
        if (postgres) {
            pg_ = std::make_unique<PgAdmin>();
            pg_->Exec("DROP TABLE IF EXISTS " + table_ + "; CREATE TABLE " + table_ +
                      " (id NUMERIC(5) NOT NULL PRIMARY KEY, name VARCHAR(20));"
                      "INSERT INTO " + table_ + " SELECT i, 'n' || i FROM generate_series(1, 200) i");
        } else {
            my_ = std::make_unique<MyAdmin>();
            my_->Exec("DROP TABLE IF EXISTS " + table_);
            my_->Exec("CREATE TABLE " + table_ + " (id NUMERIC(5) NOT NULL PRIMARY KEY, name VARCHAR(20))");
            my_->Exec("INSERT INTO " + table_ + " SELECT seq, CONCAT('n', seq) FROM seq_1_to_200");
        }
        const char* prefix = postgres ? "VELKIN_PG_" : "VELKIN_MY_";
        proxy_ = std::make_unique<TcpProxy>("127.0.0.1", static_cast<uint16_t>(std::stoi(PgEnv((std::string(prefix) + "PORT").c_str()))));
        QFile ini(folder.file(QStringLiteral("Velkin.ini")));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(QStringLiteral("[Default1]\nUSERID=%1\nPASS=%2\nHOST=%3://127.0.0.1:%4/velkin_test\nTIMEOUT=0\n")
                      .arg(QString::fromStdString(PgEnv((std::string(prefix) + "USER").c_str())),
                           QString::fromStdString(PgEnv((std::string(prefix) + "PASSWORD").c_str())),
                           QLatin1String(postgres ? "postgresql" : "mysql"))
                      .arg(proxy_->port())
                      .toUtf8());
        ini.close();
        seat.start(folder.path());
    }
    std::string content() {
        return pg_ ? pg_->Column("SELECT string_agg(id || name, ',' ORDER BY id) FROM " + table_)
                   : my_->Column("SELECT GROUP_CONCAT(CONCAT(id, name) ORDER BY id) FROM " + table_);
    }

    void read() {
        seat.click(c::TXT_TABLE, Spot::Centre);
        seat.keys({QStringLiteral("ctrl+a")});
        seat.type(QString::fromStdString(table_));
        seat.click(c::CMD_Read, Spot::Centre);
    }
    // Reads the table, types a change into the first row and presses Update,
    // which goes silent after `insertsAnswered` of its INSERTs.
    void silentUpdate(int insertsAnswered) {
        read();
        ASSERT_TRUE(waitFor(c::SPD1, Yellowish, 0.01)) << "the table was not read";
        seat.click(c::SPD1, Spot::Centre);
        seat.keys({QStringLiteral("ctrl+Home"), QStringLiteral("Down"), QStringLiteral("Down"), QStringLiteral("Right")});
        seat.type(QStringLiteral("changed"));
        seat.keys({QStringLiteral("Return")});
        proxy_->armTrigger("INSERT INTO", insertsAnswered, TcpProxy::Action::Silence);
        seat.click(c::CMD_Update, Spot::Centre);
        ASSERT_TRUE(seat.waitForDialog(QStringLiteral("警告"))) << "no confirmation";
        seat.keys({QStringLiteral("Return")});
    }
    // Waits, bounded, until at least `share` of a control's pixels pass `test`.
    bool waitFor(const Place& place, const std::function<bool(Rgb)>& test, double share) {
        const QRect r = seat.rect(place);
        for (int attempt = 0; attempt < 60; ++attempt) {
            if (seat.screenshot().count(r.x(), r.y(), r.width(), r.height(), test) >= share * r.width() * r.height())
                return true;
            QThread::msleep(250);
        }
        return false;
    }
    // The Cancel button painted over the grid: the window repaints while it waits.
    bool cancelButtonShown() {
        return waitFor(c::CMD_Cancel, [](Rgb p) { return !White(p); }, 0.6);
    }
    // The report of the command's end, read and closed.
    QByteArray report() {
        if (!seat.waitForDialog(QStringLiteral("Velkin"))) {
            ADD_FAILURE() << "no report";
            return {};
        }
        const QByteArray text = seat.dialogText();
        seat.keys({QStringLiteral("Return")});
        EXPECT_TRUE(seat.waitForDialog(QStringLiteral("Velkin"), false));
        return text;
    }
    void quit() {
        seat.click(c::CMD_Quit, Spot::Centre);
        EXPECT_TRUE(seat.waitForExit()) << "Quit did not end the program";
    }

    ScratchFolder folder;
    Desktop seat{*display};
    std::unique_ptr<TcpProxy> proxy_;
    std::unique_ptr<velkin::test::PgAdmin> pg_;
    std::unique_ptr<velkin::test::MyAdmin> my_;
    std::string table_;
};

TEST_F(SilentServer, EscEndsAReadAndTheWindowWorksOn) {
    start(true);
    proxy_->armTrigger(table_, 1, TcpProxy::Action::Silence);
    read();
    ASSERT_TRUE(cancelButtonShown()) << "no Cancel button while waiting";
    seat.keys({QStringLiteral("Escape")});
    const QByteArray text = report();
    EXPECT_TRUE(text.contains("Error Code:18")) << text.toStdString();
    EXPECT_TRUE(waitFor(c::CMD_Cancel, White, 0.3)) << "the Cancel button outlived the command";
    // The server answers new connections: the next Read works.
    read();
    EXPECT_TRUE(waitFor(c::SPD1, Yellowish, 0.01)) << "no Read after the cancelled one";
    quit();
}

// Esc typed 40 ms after Alt+R, before the button has finished showing its
// press: the Read has started already, and the Esc stops it.
TEST_F(SilentServer, EscRightAfterAltRStopsTheRead) {
    start(true);
    proxy_->armTrigger(table_, 1, TcpProxy::Action::Silence);
    seat.click(c::TXT_TABLE, Spot::Centre);
    seat.keys({QStringLiteral("ctrl+a")});
    seat.type(QString::fromStdString(table_));
    seat.keys({QStringLiteral("alt+r"), QStringLiteral("Escape")});
    const QString text = QString::fromUtf8(report());
    // During the connection or after it: either form of the report.
    EXPECT_TRUE(text.contains(QRegularExpression(QStringLiteral("Error Code: ?18\\r?\\n")))) << text.toStdString();
    quit();
}

TEST_F(SilentServer, TheCancelButtonEndsAnUpdateWithTheTableIntact) {
    start(false);
    const std::string before = content();
    silentUpdate(20);
    ASSERT_TRUE(cancelButtonShown()) << "no Cancel button while waiting";
    seat.click(c::CMD_Cancel, Spot::Centre);
    const QByteArray text = report();
    EXPECT_TRUE(text.contains("Error Code:18")) << text.toStdString();
    EXPECT_TRUE(text.contains("テーブルは変更していません")) << text.toStdString();
    EXPECT_EQ(content(), before);
    quit();
}

TEST_F(SilentServer, TheCloseBoxCancelsAndTheWindowStays) {
    start(true);
    const std::string before = content();
    silentUpdate(20);
    ASSERT_TRUE(cancelButtonShown()) << "no Cancel button while waiting";
    seat.closeBox();
    const QByteArray text = report();
    EXPECT_TRUE(text.contains("Error Code:18")) << text.toStdString();
    EXPECT_TRUE(seat.running()) << "the close box ended the program in the middle of a command";
    proxy_.reset();  // the server ends the silenced session and its transaction
    EXPECT_EQ(content(), before);
    quit();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
