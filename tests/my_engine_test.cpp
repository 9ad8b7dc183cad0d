// MySQL and MariaDB against a real MariaDB server (started by
// scripts/run-tests.sh), through the native engine and through MariaDB's ODBC
// driver: what only this database does (its types, MyISAM, the native
// engine's stream, its address texts). What every engine does is checked on
// both routes by engine_contract_test.cpp.

#include "db/engine.h"
#include "db/error.h"
#include "db/mysql/my_address.h"
#include "db/mysql/my_connection.h"
#include "db/mysql/my_cursor.h"
#include "tests/error_of.h"
#include "tests/memory_watch.h"
#include "tests/test_databases.h"
#include "writeback/literals.h"

#include <gtest/gtest.h>

#include <string>

using namespace velkin;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

using velkin::testing::ErrorOf;

enum class Route { Native, Odbc };

class MyTest : public ::testing::TestWithParam<Route> {
protected:
    void SetUp() override {
        ASSERT_FALSE(test::MyUri().empty()) << test::kMyMissingServer;
        admin_ = std::make_unique<test::MyAdmin>();
        tables_ = std::make_unique<test::Tables>(*admin_, test::Engine::MariaDB, native() ? "myn_" : "myo_");
    }
    void TearDown() override { tables_.reset(); }

    bool native() const { return GetParam() == Route::Native; }
    std::string Host() const { return native() ? test::MyUri() : test::MyOdbcHost(); }

    // A table of this test process (the suite's programs share the server).
    std::string MakeTable(const std::string& name, const std::string& columns, const std::string& options = "") {
        return tables_->Make(name, columns, options);
    }

    test::Opened Open() { return test::Open(Q(Host()), Q(test::MyLogin())); }

    // Every row of `query` as "v1,v2,...;" with NULL for NULL.
    static std::string Rows(Connection& database, const QString& query) {
        std::string text;
        for (const test::Values& row : test::Read(database, query)) {
            for (size_t i = 0; i < row.size(); ++i) text += (i ? "," : "") + (row[i] ? row[i]->toStdString() : "NULL");
            text += ";";
        }
        return text;
    }

    std::unique_ptr<test::MyAdmin> admin_;
    std::unique_ptr<test::Tables> tables_;
};

INSTANTIATE_TEST_SUITE_P(Routes, MyTest, ::testing::Values(Route::Native, Route::Odbc),
                         [](const auto& info) { return info.param == Route::Native ? "Native" : "Odbc"; });

// Every type the standard table of engine_contract_test leaves out, through
// metadata, values, and a replace written with the program's own literals.
TEST_P(MyTest, TypesBeyondTheStandardTableMakeTheRoundTrip) {
    const std::string t = MakeTable("型表", "\"番号\" INT NOT NULL PRIMARY KEY, ti TINYINT, tx TEXT, ts TIMESTAMP NULL, "
                                          "f DOUBLE, tm TIME");
    admin_->Exec("INSERT INTO " + t + " VALUES (1, -7, 'テキスト', '1999-12-31 23:59:59', 1.5, '12:34:56')");
    auto o = Open();
    auto probe = o->openCursor(o->dialect().discoveryQuery(Q("SELECT * FROM " + t)),
                                             CursorOption::KeepTrailingBlanks);
    // The ODBC driver's own sizes are the ODBC engine's general rules; DOUBLE is a NUMBER on both routes.
    EXPECT_EQ(test::Columns(*probe), native() ? "番号 NUMBER/11/0 NOT NULL, ti NUMBER/4/0, tx VARCHAR2/65535/0, ts DATE/11/0, f NUMBER/39/0, tm ETC/0/0"
                                              : "番号 NUMBER/11/0 NOT NULL, ti NUMBER/4/0, tx VARCHAR2/65535/0, ts DATE/7/0, f NUMBER/16/0, tm ETC/0/0");
    EXPECT_EQ(Rows(*o, Q("SELECT * FROM " + t)), "1,-7,テキスト,1999-12-31 23:59:59,1.5,12:34:56;");

    // Written back as the replace writes it: every value must come back unchanged.
    const char* types[] = {"NUMBER", "NUMBER", "VARCHAR2", "DATE", "NUMBER", "ETC"};
    const char* cells[] = {"2", "-7", "テキスト", "", "1.5", "12:34:56"};
    QString insert = Q("INSERT INTO " + t + " (");
    for (int i = 0; i < 6; ++i) insert += (i ? "," : "") + QuotedIdentifier(probe->column(i).name);
    insert += ") VALUES (";
    for (int i = 0; i < 6; ++i)
        insert += (i ? "," : "") + CellLiteral(types[i], QString::fromUtf8(cells[i]), o->dialect());
    probe.reset();
    o->begin();
    EXPECT_EQ(o->execute(Q("DELETE FROM " + t + " WHERE \"番号\" = 1")), 1);
    EXPECT_EQ(o->execute(insert + ")"), 1);
    o->commit();
    EXPECT_EQ(admin_->Column("SELECT CONCAT_WS('/', \"番号\", ti, tx, f, tm, COALESCE(ts, 'none')) FROM " + t),
              "2/-7/テキスト/1.5/12:34:56/none");
}

TEST_P(MyTest, TableThatCannotRollBackIsRefusedBeforeAnythingChanges) {
    const std::string myisam = MakeTable("plain", "id INT", "ENGINE=MyISAM");
    const std::string innodb = MakeTable("trans", "id INT");
    admin_->Exec("INSERT INTO " + myisam + " VALUES (1)");
    auto o = Open();
    o->begin();
    const Error refused = ErrorOf([&] { o->requireTransactionalTable(Q(myisam)); });
    EXPECT_EQ(refused.Number(), 1196);
    EXPECT_TRUE(refused.Description().contains("MyISAM")) << refused.Description().toStdString();
    EXPECT_NO_THROW(o->requireTransactionalTable(Q(innodb)));
    EXPECT_NO_THROW(o->requireTransactionalTable(Q("velkin_test.\"" + innodb + "\"")));
    o->rollback();
    EXPECT_EQ(admin_->Column("SELECT id FROM " + myisam), "1");
}

// The server keeps no catalogue of a view's tables, so a view over MyISAM is
// refused as a view, before the check of its storage engine could miss it.
TEST_P(MyTest, AViewOverATableThatCannotRollBackIsRefusedAsAView) {
    const std::string myisam = MakeTable("underneath", "id INT", "ENGINE=MyISAM");
    const std::string view = tables_->Name("over");
    admin_->Exec("CREATE OR REPLACE VIEW " + view + " AS SELECT id FROM " + myisam);
    tables_->AtEnd("DROP VIEW IF EXISTS " + view);
    auto o = Open();
    o->begin();
    for (const std::string& name : {view, test::MyPlace().database + ".\"" + view + "\"", "`" + view + "`"})
        EXPECT_EQ(ErrorOf([&] { o->requireReplaceableTable(Q(name)); }).Number(), Error::kNotAPlainTable)
            << name;
    EXPECT_NO_THROW(o->requireReplaceableTable(Q(myisam)));
    o->rollback();
}

// ---------------------------------------------------------------------------
// The native engine's stream.

class MyStream : public MyTest {};
INSTANTIATE_TEST_SUITE_P(Native, MyStream, ::testing::Values(Route::Native),
                         [](const auto&) { return "Native"; });

TEST_P(MyStream, RecordCountIsExactAndMemoryStaysBounded) {
    constexpr int kRows = 1000000;
    auto o = Open();
    velkin::testing::MemoryWatch memory;
    ASSERT_TRUE(memory.valid());
    // About 110 MB of rows if they were all held at once.
    auto dyn = o->openCursor(
        Q("SELECT seq, REPEAT('x', 100) AS pad FROM seq_1_to_" + std::to_string(kRows)), CursorOption::KeepTrailingBlanks);
    EXPECT_EQ(dyn->size(), kRows);
    int seen = 0;
    qsizetype padChars = 0;
    std::optional<QString> last;
    for (dyn->first(); !dyn->atEnd(); dyn->next()) {
        ++seen;
        last = dyn->value(0);
        padChars += dyn->value(1)->size();
    }
    EXPECT_EQ(seen, kRows);
    EXPECT_EQ(last, QString::number(kRows));
    EXPECT_EQ(padChars, qsizetype(kRows) * 100);
    velkin::testing::ExpectBoundedGrowth(memory, 16 * 1024);
}

// A read stopped early (the grid's row limit) does not wait for the rest of a
// large result: the connection is dropped and the next command has a fresh
// one, set up as the first.
TEST_P(MyStream, ClosingAPartlyReadLargeResultLeavesTheDatabaseUsable) {
    auto o = Open();
    const std::string before = Rows(*o, "SELECT CONNECTION_ID()");
    {
        auto dyn = o->openCursor(Q("SELECT seq FROM seq_1_to_3000000"), CursorOption::KeepTrailingBlanks);
        for (int i = 0; i < 500; ++i) dyn->next();
        EXPECT_EQ(dyn->value(0), "501");
    }
    EXPECT_NE(Rows(*o, "SELECT CONNECTION_ID()"), before) << "the rest was read through instead";
    EXPECT_EQ(Rows(*o, "SELECT @@innodb_lock_wait_timeout, @@sql_mode LIKE '%ANSI_QUOTES%'"), "0,1;");
    // A small rest is read through: the connection stays.
    const std::string kept = Rows(*o, "SELECT CONNECTION_ID()");
    {
        auto dyn = o->openCursor(Q("SELECT seq FROM seq_1_to_2000"), CursorOption::KeepTrailingBlanks);
        dyn->next();
    }
    EXPECT_EQ(Rows(*o, "SELECT CONNECTION_ID()"), kept);
    // Inside the session's transaction the connection is never dropped.
    o->begin();
    {
        auto dyn = o->openCursor(Q("SELECT seq FROM seq_1_to_3000000"), CursorOption::KeepTrailingBlanks);
        dyn->next();
    }
    EXPECT_EQ(Rows(*o, "SELECT CONNECTION_ID()"), kept);
    o->commit();
}

TEST_P(MyStream, AnotherCommandInTheMiddleKeepsTheDynasetsPlace) {
    const std::string t = MakeTable("middle", "id INT PRIMARY KEY");
    admin_->Exec("INSERT INTO " + t + " SELECT seq FROM seq_1_to_50");
    auto o = Open();
    auto dyn = o->openCursor(Q("SELECT id FROM " + t + " ORDER BY id"), CursorOption::KeepTrailingBlanks);
    for (int i = 0; i < 20; ++i) dyn->next();
    EXPECT_EQ(dyn->value(0), "21");
    EXPECT_EQ(o->execute(Q("SELECT * FROM " + t)), 50);  // drains the stream
    EXPECT_EQ(dyn->value(0), "21") << "the current record survives";
    auto second = o->openCursor(Q("SELECT COUNT(*) FROM " + t), CursorOption::KeepTrailingBlanks);
    EXPECT_EQ(second->value(0), "50");
    dyn->next();
    EXPECT_EQ(dyn->value(0), "22");
    int rest = 0;
    for (; !dyn->atEnd(); dyn->next()) ++rest;
    EXPECT_EQ(rest, 29);
    dyn->first();
    EXPECT_EQ(dyn->value(0), "1");
    EXPECT_EQ(dyn->size(), 50);
    // A statement that writes is refused before it runs.
    EXPECT_EQ(ErrorOf([&] { o->openCursor(Q("DELETE FROM " + t), CursorOption::StripTrailingBlanks); }).Number(), 2052);
    EXPECT_EQ(ErrorOf([&] { o->openCursor(Q("SELECT 1; DELETE FROM " + t), CursorOption::StripTrailingBlanks); }).Number(), 1064);
    EXPECT_EQ(admin_->Column("SELECT COUNT(*) FROM " + t), "50");
    // A statement that cannot be a subquery is counted by running it.
    EXPECT_EQ(o->openCursor("SHOW VARIABLES LIKE 'innodb_lock_wait_timeout'", CursorOption::StripTrailingBlanks)->size(), 1);
    EXPECT_EQ(Rows(*o, "SELECT @@innodb_lock_wait_timeout, @@sql_mode LIKE '%ANSI_QUOTES%NO_BACKSLASH_ESCAPES%'"),
              "0,1;");
}

// A connection to the test server opened as the engine opens one (non-blocking).
my::MysqlPtr TestServerConnection() {
    const MySqlAddress address = ParseMySqlAddress(Q(test::MyUri()));
    my::MysqlPtr mysql{mysql_init(nullptr)};
    const size_t stack = 256 * 1024;
    mysql_optionsv(mysql.get(), MYSQL_OPT_NONBLOCK, &stack);
    const std::string user = test::Env("VELKIN_MY_USER"), password = test::Env("VELKIN_MY_PASSWORD");
    if (!mysql_real_connect(mysql.get(), address.host.constData(), user.c_str(), password.c_str(),
                            address.database.constData(), address.port, nullptr, 0))
        throw my::ConnectionError(mysql.get());
    return mysql;
}

// A session setting the server refuses is reported, also when it went in the
// round trip of a read's first query, and nothing runs without it afterwards:
// the next command tries it again, alone, on a fresh connection.
TEST(MyConnection, ARefusedSessionSettingIsReportedAndTriedAgain) {
    ASSERT_FALSE(test::MyUri().empty()) << test::kMyMissingServer;
    const std::vector<QByteArray> setup = {"SET SESSION sql_mode = 'ANSI_QUOTES'", "SET SESSION velkin_no_such_setting = 1"};
    auto c = std::make_shared<my::MyConnection>(TestServerConnection(), [](ServerWait&) { return TestServerConnection(); },
                                                ServerWait::Unattended(), setup);
    constexpr int32_t kUnknownVariable = 1193;
    EXPECT_EQ(ErrorOf([&] { my::MyCursor(c, Q("SELECT * FROM information_schema.COLLATIONS LIMIT 1"), true); }).Number(),
              kUnknownVariable);
    EXPECT_EQ(ErrorOf([&] { c->Run("SELECT 1"); }).Number(), kUnknownVariable);
    EXPECT_EQ(ErrorOf([&] { my::MyCursor(c, Q("SELECT 1"), true); }).Number(), kUnknownVariable);
}

TEST(MySqlAddress, TakesHostPortDatabaseAndTheConnectorsOptions) {
    const MySqlAddress a = ParseMySqlAddress("mariadb://db.example:3307/売上?socket=/run/my%20sql.sock&ssl=1&tls_version=TLSv1.3");
    EXPECT_EQ(a.host, "db.example");
    EXPECT_EQ(a.port, 3307u);
    EXPECT_EQ(QString::fromUtf8(a.database), "売上");
    ASSERT_EQ(a.options.size(), 3u);
    EXPECT_EQ(a.options[0].first, MySqlOption::Socket);
    EXPECT_EQ(a.options[0].second, "/run/my sql.sock");
    EXPECT_EQ(a.options[2].first, MySqlOption::TlsVersion);
    const MySqlAddress local = ParseMySqlAddress("mysql:///v");
    EXPECT_TRUE(local.host.isEmpty());
    EXPECT_EQ(local.port, 0u);
    EXPECT_EQ(ErrorOf([] { ParseMySqlAddress("mysql://h/v?sslmode=required"); }).Number(), 2005)
        << "a misspelt TLS option must not connect without TLS";
    EXPECT_EQ(ErrorOf([] { ParseMySqlAddress("mysql://h:99999/v"); }).Number(), 2005);
}

TEST(MySqlAddress, TheRouteFollowsFromTheAddress) {
    auto route = [](const char* text) { return MySqlRouteOf(ParseMySqlAddress(text)); };
    EXPECT_TRUE(route("mysql://localhost:3307/v").tcp) << "a port is that port, never the default socket";
    EXPECT_FALSE(route("mysql://localhost/v").tcp);
    EXPECT_TRUE(route("mysql:///v").mayHandOverPassword()) << "the local socket is not on the network";
    EXPECT_FALSE(route("mysql://db.example/v?ssl=1").mayHandOverPassword()) << "TLS alone does not say who answers";
    EXPECT_TRUE(route("mysql://db.example/v?ssl=1&ssl-verify-server-cert=1").mayHandOverPassword());
    EXPECT_TRUE(route("mysql://db.example/v?ssl-ca=/ca.pem").tlsRequired) << "a CA asks for TLS";
    EXPECT_FALSE(route("mysql://db.example/v?ssl=1&ssl=0").tlsRequired) << "the last value counts";
}

}  // namespace
