#include "form_fixture.h"
#include "recording_session.h"

#include "db/connection.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>

using namespace velkin;
using namespace velkin::testing;

TEST(ConnectionField, FirstThirtyTwoCharactersTrimmedOfSpaces) {
    EXPECT_EQ(Common1::ConnectionField(QString(40, QLatin1Char('u'))), QString(32, QLatin1Char('u')));
    EXPECT_EQ(Common1::ConnectionField(QStringLiteral("  scott  ")), "scott");
    EXPECT_EQ(Common1::ConnectionField(QStringLiteral(" a b ")), "a b");
    // The cut comes before the trim: 30 blanks then "abcdef" keeps "ab".
    EXPECT_EQ(Common1::ConnectionField(QString(30, QLatin1Char(' ')) + "abcdef"), "ab");
    // Only blanks are trimmed, not tabs.
    EXPECT_EQ(Common1::ConnectionField(QStringLiteral("\tx")), "\tx");
    EXPECT_EQ(Common1::ConnectionField(QString()), "");
}

TEST(ConnectionField, TheHostIsTrimmedButNeverCut) {
    const QString address = QStringLiteral("postgresql://db.example.com:5432/sales_reference");
    EXPECT_EQ(Common1::HostField(QStringLiteral("  ") + address + QStringLiteral(" ")), address);
}

using ConnectionTest = FormTest;

TEST_F(ConnectionTest, TheConnectStringIsUserSlashPasswordFromTrimmedFields) {
    Script script;
    Common1::SetSessionFactory([&](const QString&) { return std::make_unique<RecordingSession>(script); });
    Common1::ConnectionPair pair;
    const QString longService = QStringLiteral("ORCL_REFERENCE_TABLES_PRODUCTION_EAST");
    EXPECT_FALSE(Common1::ConnectDatabase(pair, QString(40, 'U'), QString(33, 'p'), QStringLiteral(" %1 ").arg(longService)));
    ASSERT_EQ(script.calls.size(), 1);
    EXPECT_EQ(script.calls[0], QStringLiteral("OpenDatabase %1|%2/%3|2").arg(longService, QString(32, 'U'), QString(32, 'p')));
    EXPECT_TRUE(pair.Session && pair.Database);
    Common1::DisconnectDatabase(pair);
    EXPECT_FALSE(pair.Session || pair.Database);

    script.calls.clear();
    EXPECT_FALSE(Common1::ConnectDatabase(pair, QString(), QString(), QStringLiteral("ORCL")));
    EXPECT_EQ(script.calls[0], "OpenDatabase ORCL|/|2");
    Common1::DisconnectDatabase(pair);
    EXPECT_TRUE(boxes_.boxes.empty());
}

TEST_F(ConnectionTest, FailuresShowTheConnectionReportAndLeaveNothingOpen) {
    Common1::ConnectionPair pair;
    // A component that cannot be created: the session reference stays empty.
    Common1::SetSessionFactory([](const QString&) -> std::unique_ptr<EngineSession> {
        throw Error::CannotCreateObject(QStringLiteral("test"));
    });
    EXPECT_TRUE(Common1::ConnectDatabase(pair, "u", "p", "ORCL"));
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_TRUE(boxes_.boxes[0].text.startsWith(QStringLiteral("Error Code: 429\r\n"))) << boxes_.boxes[0].text.toStdString();
    EXPECT_EQ(boxes_.boxes[0].title, "Message");
    EXPECT_EQ(boxes_.boxes[0].buttons, MessageButtons::Ok);
    EXPECT_FALSE(pair.Session || pair.Database);
    Common1::SetSessionFactory(nullptr);

    // A service name with neither a data source nor an Oracle driver says what is missing.
    boxes_.boxes.clear();
    EXPECT_TRUE(Common1::ConnectDatabase(pair, "u", "p", "NO_SUCH_SERVICE_FOR_VELKIN"));
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_TRUE(boxes_.boxes[0].text.startsWith(QStringLiteral("Error Code: "))) << boxes_.boxes[0].text.toStdString();
    EXPECT_TRUE(boxes_.boxes[0].text.contains(QStringLiteral("Oracle"))) << boxes_.boxes[0].text.toStdString();
    Common1::DisconnectDatabase(pair);
    EXPECT_FALSE(pair.Session || pair.Database);

    // A database file in a directory that does not exist.
    boxes_.boxes.clear();
    EXPECT_TRUE(Common1::ConnectDatabase(pair, "u", "p", "sqlite:no/such/dir/x.db"));
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_TRUE(boxes_.boxes[0].text.startsWith(QStringLiteral("Error Code: "))) << boxes_.boxes[0].text.toStdString();
    EXPECT_TRUE(boxes_.boxes[0].text.contains("\r\n"));
    EXPECT_EQ(boxes_.boxes[0].title, "Message");
    EXPECT_TRUE(pair.Session) << "the session object stays for the closing steps to release";
    EXPECT_FALSE(pair.Database);
    Common1::DisconnectDatabase(pair);
    EXPECT_FALSE(pair.Session);

    // A file that is not a database.
    QFile junk(path("junk.db"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write(QByteArray(4096, 'x'));
    junk.close();
    boxes_.boxes.clear();
    EXPECT_TRUE(Common1::ConnectDatabase(pair, "", "", "sqlite:junk.db"));
    EXPECT_EQ(boxes_.boxes.size(), 1u);
    Common1::DisconnectDatabase(pair);
}

TEST_F(ConnectionTest, ErrorReportTexts) {
    const Error error(-1017, QStringLiteral("ORA-01017: ユーザー名/パスワードが無効です"));
    EXPECT_EQ(ErrorReportText(ErrorReportKind::Connection, error),
              QStringLiteral("Error Code: -1017\r\nORA-01017: ユーザー名/パスワードが無効です"));
    EXPECT_EQ(ErrorReportText(ErrorReportKind::Command, Error::TypeMismatch()),
              QStringLiteral("Error Code:13\r\n") + Error::TypeMismatch().Description());
    ShowErrorReport(ErrorReportKind::Command, Error::Overflow());
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_TRUE(boxes_.boxes[0].title.isEmpty()) << "no title of its own: the application's";
    EXPECT_EQ(boxes_.boxes[0].buttons, MessageButtons::Ok);
}

TEST_F(ConnectionTest, AFailedConnectionStopsTheReadBeforeAnyQuery) {
    Form1& f = form();
    f.TXT_HOST->setText(QStringLiteral("sqlite:missing/dir/x.db"));
    f.TXT_TABLE->setText(QStringLiteral("T"));
    f.CMD_Read->click();
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_EQ(boxes_.boxes[0].title, "Message");
    EXPECT_FALSE(f.CMD_Update->isEnabled());
    EXPECT_FALSE(Common1::Connection.Session || Common1::Connection.Database);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}
