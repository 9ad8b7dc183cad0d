// MySQL and MariaDB against a real MariaDB server (started by
// scripts/run-tests.sh), through the native engine and through MariaDB's ODBC
// driver: every case runs on both.

#include "db/engine.h"
#include "db/error.h"
#include "db/mysql/my_address.h"
#include "tests/error_of.h"
#include "tests/memory_watch.h"
#include "tests/my_test_env.h"
#include "writeback/literals.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

using namespace velkin;
using velkin::test::MyAdmin;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

using velkin::testing::ErrorOf;

enum class Route { Native, Odbc };

class MyTest : public ::testing::TestWithParam<Route> {
protected:
    void SetUp() override {
        ASSERT_FALSE(test::MyUri().empty()) << test::kMyMissingServer;
        admin_ = std::make_unique<MyAdmin>();
    }

    void TearDown() override {
        if (!admin_) return;
        for (const std::string& table : dropAtEnd_) admin_->Exec("DROP TABLE IF EXISTS \"" + table + "\"");
    }

    bool native() const { return GetParam() == Route::Native; }
    std::string Host() const { return native() ? test::MyUri() : test::MyOdbcHost(); }

    // A table of this test process and route (the suite's programs share the server).
    std::string MakeTable(const std::string& name, const std::string& columns,
                          const std::string& engine = "InnoDB") {
        const std::string table = name + (native() ? "_n" : "_o") + std::to_string(getpid());
        admin_->Exec("DROP TABLE IF EXISTS \"" + table + "\"");
        admin_->Exec("CREATE TABLE \"" + table + "\" (" + columns + ") ENGINE=" + engine);
        dropAtEnd_.push_back(table);
        return table;
    }

    struct Opened {
        std::unique_ptr<EngineSession> session;
        std::unique_ptr<OraDatabase> database;
    };
    Opened Open(const std::string& login = test::MyLogin()) {
        Opened o{CreateSession(Q(Host())), nullptr};
        o.database = o.session->OpenDatabase(Q(Host()), Q(login), kOpenNoWait);
        return o;
    }

    // Every row of `query` as "v1,v2,...;" with NULL for NULL.
    static std::string Rows(OraDatabase& database, const QString& query) {
        auto dynaset = database.DbCreateDynaset(query, kDynasetNoBlankStrip);
        std::string text;
        for (dynaset->MoveFirst(); !dynaset->Eof(); dynaset->MoveNext()) {
            for (int i = 0; i < dynaset->Fields().Count(); ++i) {
                if (i) text += ",";
                const auto value = dynaset->Fields().Item(i).Value();
                text += value ? value->toStdString() : "NULL";
            }
            text += ";";
        }
        return text;
    }

    std::unique_ptr<MyAdmin> admin_;
    std::vector<std::string> dropAtEnd_;
};

INSTANTIATE_TEST_SUITE_P(Routes, MyTest, ::testing::Values(Route::Native, Route::Odbc),
                         [](const auto& info) { return info.param == Route::Native ? "Native" : "Odbc"; });

// ---------------------------------------------------------------------------

TEST_P(MyTest, HostTextChoosesTheEngineAndTheDialect) {
    auto o = Open();
    EXPECT_EQ(o.session->dialect().kind(), DialectKind::MySQL);
    EXPECT_EQ(o.session->dialect().dateLiteralForm(), DateLiteralForm::StandardDate);
    EXPECT_EQ(o.session->dialect().discoveryQuery("SELECT * FROM t"), "SELECT * FROM t LIMIT 1");
    EXPECT_EQ(o.session->dialect().deleteAll("t"), "DELETE FROM t");
    // The table-list button learns the same without connecting.
    EXPECT_EQ(DialectForHost(Q(Host())).kind(), DialectKind::MySQL);
}

// Every type through metadata, values, and a replace written with the
// program's own literals and quoted names, Japanese names included.
TEST_P(MyTest, EveryTypeMakesTheRoundTripWithJapaneseNames) {
    const std::string t = MakeTable("型表",
        "\"番号\" INT NOT NULL PRIMARY KEY, b BIGINT, ti TINYINT, d DECIMAL(12,2) NOT NULL, n NUMERIC(9,4), "
        "c CHAR(6), v VARCHAR(40), tx TEXT, dt DATE, dtm DATETIME, ts TIMESTAMP NULL, f DOUBLE, tm TIME");
    admin_->Exec("INSERT INTO \"" + t + "\" VALUES (1, -90071992547409, -7, 1234567890.50, 0.0001, 'ab', "
                  "'名前 ''q'' \\\\ x ', 'テキスト', '2024-01-31', '2024-02-29 13:14:15', '1999-12-31 23:59:59', 1.5, '12:34:56')");
    auto o = Open();
    auto probe = o.database->DbCreateDynaset(o.session->dialect().discoveryQuery(Q("SELECT * FROM \"" + t + "\"")),
                                             kDynasetNoBlankStrip);
    OraFields& f = probe->Fields();
    ASSERT_EQ(f.Count(), 13);
    struct Expected { const char* name; int32_t code; int32_t size; int32_t scale; bool nullOk; };
    const Expected expected[] = {
        {"番号", OraType::kNumber, 11, 0, false}, {"b", OraType::kNumber, 20, 0, true},
        {"ti", OraType::kNumber, 4, 0, true},     {"d", OraType::kNumber, 13, 2, false},
        {"n", OraType::kNumber, 10, 4, true},     {"c", OraType::kChar, 6, 0, true},
        {"v", OraType::kVarchar2, 40, 0, true},   {"tx", OraType::kVarchar2, -1, 0, true},
        {"dt", OraType::kDate, -1, 0, true},      {"dtm", OraType::kDate, -1, 0, true},
        {"ts", OraType::kDate, -1, 0, true},      {"f", OraType::kNumber, -1, 0, true},
        {"tm", OraType::kOther, -1, 0, true},
    };
    for (int i = 0; i < 13; ++i) {
        const Expected& e = expected[i];
        SCOPED_TRACE(e.name);
        EXPECT_EQ(f.Item(i).Name(), QString::fromUtf8(e.name));
        // The driver's own sizes are the ODBC engine's general rules; DOUBLE is a NUMBER on both routes.
        if (e.size >= 0 && (native() || e.code == OraType::kChar || e.scale > 0)) EXPECT_EQ(f.Item(i).Size(), e.size);
        EXPECT_EQ(f.Item(i).OraIDataType(), e.code);
        EXPECT_EQ(f.Item(i).OraScale(), e.scale);
        EXPECT_EQ(f.Item(i).OraNullOK(), e.nullOk);
    }
    const std::string before = Rows(*o.database, Q("SELECT * FROM \"" + t + "\""));
    EXPECT_EQ(before, "1,-90071992547409,-7,1234567890.5,0.0001,ab    ,名前 'q' \\ x ,テキスト,2024-01-31,"
                      "2024-02-29 13:14:15,1999-12-31 23:59:59,1.5,12:34:56;");

    EXPECT_EQ(Rows(*o.database, "SELECT CAST(0 AS DECIMAL(5,2)), CAST(-0.5 AS DECIMAL(5,2)), "
                                "CAST(-12.34 AS DECIMAL(9,4)), CAST(100 AS DECIMAL(5,0)), CAST(10 AS DECIMAL(5,1))"),
              "0,-0.5,-12.34,100,10;");

    // Written back as the replace writes it: every value must come back unchanged.
    const char* types[] = {"NUMBER", "NUMBER", "NUMBER", "NUMBER", "NUMBER", "CHAR", "VARCHAR2",
                           "VARCHAR2", "DATE", "DATE", "DATE", "NUMBER", "ETC"};
    const char* cells[] = {"2", "-90071992547409", "-7", "1234567890.5", "0.0001", "ab", "名前 'q' \\ x ",
                           "テキスト", "20240131", "", "", "1.5", "12:34:56"};
    QString insert = Q("INSERT INTO \"" + t + "\" (");
    for (int i = 0; i < 13; ++i) insert += (i ? "," : "") + QuotedIdentifier(f.Item(i).Name());
    insert += ") VALUES (";
    for (int i = 0; i < 13; ++i)
        insert += (i ? "," : "") + CellLiteral(types[i], QString::fromUtf8(cells[i]),
                                               o.session->dialect().dateLiteralForm());
    probe.reset();
    o.session->BeginTrans();
    o.session->RequireTransactionalTable(Q("\"" + t + "\""));
    EXPECT_EQ(o.database->ExecuteSQL(Q("DELETE FROM \"" + t + "\" WHERE \"番号\" = 1")), 1);
    EXPECT_EQ(o.database->ExecuteSQL(insert + ")"), 1);
    o.session->CommitTrans();
    EXPECT_EQ(admin_->Column("SELECT CONCAT_WS('/', \"番号\", b, ti, d, n, c, v, tx, dt, f, tm) FROM \"" + t + "\""),
              "2/-90071992547409/-7/1234567890.50/0.0001/ab/名前 'q' \\ x /テキスト/2024-01-31/1.5/12:34:56");
    EXPECT_EQ(admin_->Column("SELECT COALESCE(dtm, 'none') FROM \"" + t + "\""), "none");
}

// Texts built to end a literal early are stored exactly as typed: the session
// reads backslashes as ordinary characters.
TEST_P(MyTest, HostileTextsAreStoredAsTyped) {
    const std::string t = MakeTable("hostile", "id INT PRIMARY KEY, v VARCHAR(60)");
    const char* texts[] = {"'); DROP TABLE x; --", "\\", "a\\'b", "ends with \\", "\\0 and \\n",
                           "\"quoted\" `tick`", "' || (SELECT 1) || '", "/* c */ -- d", "😀 日本語"};
    auto o = Open();
    o.session->BeginTrans();
    int id = 0;
    for (const char* text : texts)
        o.database->ExecuteSQL(Q("INSERT INTO " + t + " (\"id\", \"v\") VALUES (" + std::to_string(++id) + ",") +
                               CellLiteral("VARCHAR2", QString::fromUtf8(text)) + ")");
    o.session->CommitTrans();
    auto dynaset = o.database->DbCreateDynaset(Q("SELECT v FROM " + t + " ORDER BY id"), kDynasetNoBlankStrip);
    for (const char* text : texts) {
        ASSERT_FALSE(dynaset->Eof());
        EXPECT_EQ(dynaset->Fields().Item(0).Value(), QString::fromUtf8(text));
        dynaset->MoveNext();
    }
    EXPECT_TRUE(dynaset->Eof());
}

TEST_P(MyTest, RefusedRowRollsBackEverythingBeforeIt) {
    const std::string t = MakeTable("refused", "id INT PRIMARY KEY, name VARCHAR(4) NOT NULL");
    admin_->Exec("INSERT INTO " + t + " VALUES (1, 'old1'), (2, 'old2')");
    auto o = Open();
    o.session->BeginTrans();
    o.database->ExecuteSQL(Q("DELETE FROM " + t));
    o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (5, 'new')"));
    // Too long for its column: refused under the strict mode the session sets.
    const Error tooLong = ErrorOf([&] { o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (6, 'longer')")); });
    EXPECT_EQ(tooLong.Number(), 1406);
    EXPECT_TRUE(tooLong.Description().contains("name")) << tooLong.Description().toStdString();
    const Error duplicate = ErrorOf([&] { o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (5, 'dup')")); });
    EXPECT_EQ(duplicate.Number(), 1062);
    o.session->rollback();
    EXPECT_EQ(admin_->Column("SELECT name FROM " + t + " ORDER BY id"), "old1|old2");
}

TEST_P(MyTest, TableThatCannotRollBackIsRefusedBeforeAnythingChanges) {
    const std::string myisam = MakeTable("plain", "id INT", "MyISAM");
    const std::string innodb = MakeTable("trans", "id INT", "InnoDB");
    admin_->Exec("INSERT INTO " + myisam + " VALUES (1)");
    auto o = Open();
    o.session->BeginTrans();
    const Error refused = ErrorOf([&] { o.session->RequireTransactionalTable(Q(myisam)); });
    EXPECT_EQ(refused.Number(), 1196);
    EXPECT_TRUE(refused.Description().contains("MyISAM")) << refused.Description().toStdString();
    EXPECT_NO_THROW(o.session->RequireTransactionalTable(Q(innodb)));
    EXPECT_NO_THROW(o.session->RequireTransactionalTable(Q("velkin_test.\"" + innodb + "\"")));
    o.session->rollback();
    EXPECT_EQ(admin_->Column("SELECT id FROM " + myisam), "1");
}

TEST_P(MyTest, RowLockedByAnotherSessionFailsAtOnce) {
    const std::string t = MakeTable("locked", "id INT PRIMARY KEY");
    admin_->Exec("INSERT INTO " + t + " VALUES (1), (2)");
    admin_->Exec("START TRANSACTION");
    admin_->Exec("SELECT * FROM " + t + " WHERE id = 2 FOR UPDATE");
    auto o = Open();
    o.session->BeginTrans();
    // Reading does not wait: it sees the snapshot.
    EXPECT_EQ(Rows(*o.database, Q("SELECT id FROM " + t + " ORDER BY id")), "1;2;");
    const Error locked = ErrorOf([&] { o.database->ExecuteSQL(Q("DELETE FROM " + t)); });
    EXPECT_EQ(locked.Number(), 1205) << locked.Description().toStdString();
    o.session->rollback();
    admin_->Exec("ROLLBACK");
    EXPECT_EQ(admin_->Column("SELECT COUNT(*) FROM " + t), "2");
}

TEST_P(MyTest, LoginsThatFailSayWhy) {
    const Error wrong = ErrorOf([&] { Open("velkin/not-the-password"); });
    EXPECT_EQ(wrong.Number(), 1045) << wrong.Description().toStdString();
    EXPECT_TRUE(wrong.Description().contains("Access denied")) << wrong.Description().toStdString();

    // A loopback port nobody listens on: bound, never listened.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));
    const std::string host = native() ? "mysql://127.0.0.1:" + port + "/velkin_test"
                                      : "odbc:Driver=MariaDB Unicode;Server=127.0.0.1;Port=" + port + ";Database=velkin_test";
    const Error refused = ErrorOf([&] { CreateSession(Q(host))->OpenDatabase(Q(host), Q(test::MyLogin()), kOpenNoWait); });
    close(probe);
    EXPECT_TRUE(refused.Number() == 2002 || refused.Number() == 2003) << refused.Number();
    EXPECT_TRUE(refused.Description().contains("Can't connect")) << refused.Description().toStdString();
}

TEST_P(MyTest, ConnectionKilledMidTransactionLosesNothing) {
    const std::string t = MakeTable("killed", "id INT PRIMARY KEY");
    admin_->Exec("INSERT INTO " + t + " VALUES (1), (2), (3)");
    auto o = Open();
    o.session->BeginTrans();
    o.database->ExecuteSQL(Q("DELETE FROM " + t));
    o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (9)"));
    const std::string id = Rows(*o.database, "SELECT CONNECTION_ID()");
    admin_->Exec("KILL " + id.substr(0, id.size() - 1));
    EXPECT_NE(ErrorOf([&] { o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (10)")); }).Number(), 0);
    EXPECT_ANY_THROW(o.session->CommitTrans());
    EXPECT_EQ(admin_->Column("SELECT id FROM " + t + " ORDER BY id"), "1|2|3");
}

TEST_P(MyTest, TableListHoldsTheDatabasesTablesWithComments) {
    const std::string t = MakeTable("得意先", "id INT");
    admin_->Exec("ALTER TABLE \"" + t + "\" COMMENT = '得意先マスタ'");
    auto o = Open();
    const std::string rows = Rows(*o.database, o.session->dialect().tableListQuery());
    EXPECT_NE(rows.find(t + ",得意先マスタ;"), std::string::npos) << rows;
    EXPECT_EQ(rows.find("COLUMNS"), std::string::npos) << "information_schema's own tables are not listed";
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
    auto dyn = o.database->DbCreateDynaset(
        Q("SELECT seq, REPEAT('x', 100) AS pad FROM seq_1_to_" + std::to_string(kRows)), kDynasetNoBlankStrip);
    EXPECT_EQ(dyn->RecordCount(), kRows);
    int seen = 0;
    qsizetype padChars = 0;
    std::optional<QString> last;
    for (dyn->MoveFirst(); !dyn->Eof(); dyn->MoveNext()) {
        ++seen;
        last = dyn->Fields().Item(0).Value();
        padChars += dyn->Fields().Item(1).Value()->size();
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
    const std::string before = Rows(*o.database, "SELECT CONNECTION_ID()");
    {
        auto dyn = o.database->DbCreateDynaset(Q("SELECT seq FROM seq_1_to_3000000"), kDynasetNoBlankStrip);
        for (int i = 0; i < 500; ++i) dyn->MoveNext();
        EXPECT_EQ(dyn->Fields().Item(0).Value(), "501");
    }
    EXPECT_NE(Rows(*o.database, "SELECT CONNECTION_ID()"), before) << "the rest was read through instead";
    EXPECT_EQ(Rows(*o.database, "SELECT @@innodb_lock_wait_timeout, @@sql_mode LIKE '%ANSI_QUOTES%'"), "0,1;");
    // A small rest is read through: the connection stays.
    const std::string kept = Rows(*o.database, "SELECT CONNECTION_ID()");
    {
        auto dyn = o.database->DbCreateDynaset(Q("SELECT seq FROM seq_1_to_2000"), kDynasetNoBlankStrip);
        dyn->MoveNext();
    }
    EXPECT_EQ(Rows(*o.database, "SELECT CONNECTION_ID()"), kept);
    // Inside the session's transaction the connection is never dropped.
    o.session->BeginTrans();
    {
        auto dyn = o.database->DbCreateDynaset(Q("SELECT seq FROM seq_1_to_3000000"), kDynasetNoBlankStrip);
        dyn->MoveNext();
    }
    EXPECT_EQ(Rows(*o.database, "SELECT CONNECTION_ID()"), kept);
    o.session->CommitTrans();
}

TEST_P(MyStream, AnotherCommandInTheMiddleKeepsTheDynasetsPlace) {
    const std::string t = MakeTable("middle", "id INT PRIMARY KEY");
    admin_->Exec("INSERT INTO " + t + " SELECT seq FROM seq_1_to_50");
    auto o = Open();
    auto dyn = o.database->DbCreateDynaset(Q("SELECT id FROM " + t + " ORDER BY id"), kDynasetNoBlankStrip);
    OraField& id = dyn->Fields().Item(0);
    for (int i = 0; i < 20; ++i) dyn->MoveNext();
    EXPECT_EQ(id.Value(), "21");
    EXPECT_EQ(o.database->ExecuteSQL(Q("SELECT * FROM " + t)), 50);  // drains the stream
    EXPECT_EQ(id.Value(), "21") << "the current record survives";
    auto second = o.database->DbCreateDynaset(Q("SELECT COUNT(*) FROM " + t), kDynasetNoBlankStrip);
    EXPECT_EQ(second->Fields().Item(0).Value(), "50");
    dyn->MoveNext();
    EXPECT_EQ(id.Value(), "22");
    int rest = 0;
    for (; !dyn->Eof(); dyn->MoveNext()) ++rest;
    EXPECT_EQ(rest, 29);
    dyn->MoveFirst();
    EXPECT_EQ(id.Value(), "1");
    EXPECT_EQ(dyn->RecordCount(), 50);
    // A statement that writes is refused before it runs.
    EXPECT_EQ(ErrorOf([&] { o.database->DbCreateDynaset(Q("DELETE FROM " + t), 0); }).Number(), 2052);
    EXPECT_EQ(ErrorOf([&] { o.database->DbCreateDynaset(Q("SELECT 1; DELETE FROM " + t), 0); }).Number(), 1064);
    EXPECT_EQ(admin_->Column("SELECT COUNT(*) FROM " + t), "50");
    // A statement that cannot be a subquery is counted by running it.
    EXPECT_EQ(o.database->DbCreateDynaset("SHOW VARIABLES LIKE 'innodb_lock_wait_timeout'", 0)->RecordCount(), 1);
    EXPECT_EQ(Rows(*o.database, "SELECT @@innodb_lock_wait_timeout, @@sql_mode LIKE '%ANSI_QUOTES%NO_BACKSLASH_ESCAPES%'"),
              "0,1;");
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
