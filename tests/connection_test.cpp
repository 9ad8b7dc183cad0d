#include "form_fixture.h"
#include "recording_session.h"

#include "db/connection.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>

using namespace velkin;
using namespace velkin::testing;

TEST(ConnectionField, FirstThirtyTwoCharactersTrimmedOfSpaces) {
    EXPECT_EQ(ConnectionField(QString(40, QLatin1Char('u'))), QString(32, QLatin1Char('u')));
    EXPECT_EQ(ConnectionField(QStringLiteral("  scott  ")), "scott");
    EXPECT_EQ(ConnectionField(QStringLiteral(" a b ")), "a b");
    // The cut comes before the trim: 30 blanks then "abcdef" keeps "ab".
    EXPECT_EQ(ConnectionField(QString(30, QLatin1Char(' ')) + "abcdef"), "ab");
    // Only blanks are trimmed, not tabs.
    EXPECT_EQ(ConnectionField(QStringLiteral("\tx")), "\tx");
    EXPECT_EQ(ConnectionField(QString()), "");
}

TEST(ConnectionField, TheHostIsTrimmedButNeverCut) {
    const QString address = QStringLiteral("postgresql://db.example.com:5432/sales_reference");
    EXPECT_EQ(HostField(QStringLiteral("  ") + address + QStringLiteral(" ")), address);
}

// A command waits for its server as long as it takes unless TIMEOUT says otherwise.
TEST(TimeoutSetting, AbsentOrUnusableWaitsForEver) {
    for (const char* unusable : {"", "sixty", "-5", "86401", "1.5"}) EXPECT_EQ(TimeoutSecondsFromSetting(unusable), 0) << unusable;
    EXPECT_EQ(TimeoutSecondsFromSetting(" 30 "), 30);
    EXPECT_EQ(TimeoutSecondsFromSetting("86400"), 86400);
}

using ConnectionTest = FormTest;

TEST_F(ConnectionTest, TheConnectStringIsUserSlashPasswordFromTrimmedFields) {
    Script script;
    const ConnectionFactory recording =
        sessions_.factory([&](const QString&) { return std::make_unique<RecordingConnection>(script); });
    const QString longService = QStringLiteral("ORCL_REFERENCE_TABLES_PRODUCTION_EAST");
    {
        const auto connection =
            OpenConnection({QString(40, 'U'), QString(33, 'p'), QStringLiteral(" %1 ").arg(longService)}, recording);
        ASSERT_EQ(script.calls.size(), 1);
        EXPECT_EQ(script.calls[0],
                  QStringLiteral("Open %1|%2/%3|no-wait").arg(longService, QString(32, 'U'), QString(32, 'p')));
        EXPECT_EQ(openConnections(), 1);
    }
    EXPECT_EQ(openConnections(), 0) << "released when the command lets go of it";

    script.calls.clear();
    OpenConnection({QString(), QString(), QStringLiteral("ORCL")}, recording);
    EXPECT_EQ(script.calls[0], "Open ORCL|/|no-wait");
    EXPECT_EQ(openConnections(), 0);
}

TEST_F(ConnectionTest, FailuresThrowTheEnginesErrorAndLeaveNothingOpen) {
    auto failureOf = [this](const ConnectionBoxes& boxes, const ConnectionFactory& engine = {}) {
        try {
            OpenConnection(boxes, sessions_.factory(engine));
        } catch (const Error& error) {
            return error;
        }
        ADD_FAILURE() << "connected to " << boxes.host.toStdString();
        return Error(0, QString());
    };
    // A component that cannot be created.
    const Error missing = failureOf({"u", "p", "ORCL"}, [](const QString&) -> std::unique_ptr<Connection> {
        throw std::runtime_error("no component");
    });
    EXPECT_EQ(missing.Number(), Error::kCannotCreateObject);
    // A service name with neither a data source nor an Oracle driver says what is missing.
    EXPECT_TRUE(failureOf({"u", "p", "NO_SUCH_SERVICE_FOR_VELKIN"}).Description().contains("Oracle"));
    // A database file in a directory that does not exist, and a file that is no database.
    EXPECT_NE(failureOf({"u", "p", "sqlite:no/such/dir/x.db"}).Number(), 0);
    QFile junk(path("junk.db"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write(QByteArray(4096, 'x'));
    junk.close();
    EXPECT_NE(failureOf({"", "", "sqlite:junk.db"}).Number(), 0);
    EXPECT_EQ(openConnections(), 0);
    EXPECT_TRUE(boxes_.boxes.empty()) << "the caller reports, not the connection";
}

TEST_F(ConnectionTest, ErrorReportTexts) {
    const Error error(-1017, QStringLiteral("ORA-01017: ユーザー名/パスワードが無効です"));
    EXPECT_EQ(ErrorReportText(ErrorReportKind::Connection, error),
              QStringLiteral("Error Code: -1017\r\nORA-01017: ユーザー名/パスワードが無効です"));
    EXPECT_EQ(ErrorReportText(ErrorReportKind::Command, Error::TypeMismatch()),
              QStringLiteral("Error Code:13\r\n") + Error::TypeMismatch().Description());
    const MessageRequest box = ErrorReportRequest(ErrorReportKind::Command, Error::Overflow());
    EXPECT_TRUE(box.title.isEmpty()) << "no title of its own: the application's";
    EXPECT_EQ(box.buttons, MessageButtons::Ok);
    EXPECT_EQ(ErrorReportRequest(ErrorReportKind::Connection, error).title, "Message");
}

TEST_F(ConnectionTest, AFailedConnectionStopsTheReadBeforeAnyQuery) {
    Form1& f = form();
    f.TXT_HOST->setText(QStringLiteral("sqlite:missing/dir/x.db"));
    f.TXT_TABLE->setText(QStringLiteral("T"));
    f.CMD_Read->click();
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_EQ(boxes_.boxes[0].title, "Message");
    EXPECT_TRUE(boxes_.boxes[0].text.startsWith(QStringLiteral("Error Code: "))) << boxes_.boxes[0].text.toStdString();
    EXPECT_FALSE(f.CMD_Update->isEnabled());
    EXPECT_EQ(openConnections(), 0);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}
