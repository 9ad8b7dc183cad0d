// The PostgreSQL engine against a real server (started by scripts/run-tests.sh).

#include "db/engine.h"
#include "db/error.h"
#include "db/postgres/pg_session.h"
#include "tests/error_of.h"
#include "tests/pg_test_env.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

using namespace velkin;
using velkin::test::PgAdmin;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// Resident set size of this process in KiB, from /proc.
long VmRssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

using velkin::testing::ErrorOf;

class PgTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(test::PgUri().empty()) << test::kPgMissingServer;
        admin_ = std::make_unique<PgAdmin>();
        suffix_ = "_" + std::to_string(getpid());
    }

    // A table of this test process (the suite's test programs share the server).
    std::string Table(const std::string& name) const { return "pgeng_" + name + suffix_; }

    // Creates `name` afresh from the column list and drops it at the end of the test.
    std::string MakeTable(const std::string& name, const std::string& columns) {
        const std::string table = Table(name);
        admin_->Exec("DROP TABLE IF EXISTS " + table + " CASCADE; CREATE TABLE " + table + " (" + columns + ")");
        dropAtEnd_.push_back(table);
        return table;
    }

    void TearDown() override {
        if (!admin_) return;
        for (const std::string& table : dropAtEnd_) admin_->Exec("DROP TABLE IF EXISTS " + table + " CASCADE");
    }

    std::unique_ptr<EngineSession> NewSession() { return CreateSession(Q(test::PgUri())); }

    struct Opened {
        std::unique_ptr<EngineSession> session;
        std::unique_ptr<OraDatabase> database;
    };
    Opened Open(int32_t options = kOpenNoWait) {
        Opened o{NewSession(), nullptr};
        o.database = o.session->OpenDatabase(Q(test::PgUri()), Q(test::PgLogin()), options);
        return o;
    }

    std::unique_ptr<PgAdmin> admin_;
    std::string suffix_;
    std::vector<std::string> dropAtEnd_;
};

// ---------------------------------------------------------------------------
// Error numbers

TEST(PgErrorNumber, IsTheSqlStateReadInBase36) {
    EXPECT_EQ(PostgresErrorNumber("00000"), 0);
    EXPECT_EQ(PostgresErrorNumber("23505"), ((((2 * 36 + 3) * 36 + 5) * 36 + 0) * 36) + 5);
    EXPECT_EQ(PostgresErrorNumber("23505"), 3505685);
    EXPECT_EQ(PostgresErrorNumber("42P01"), (((4 * 36 + 2) * 36 + 25) * 36 + 0) * 36 + 1);
    EXPECT_EQ(PostgresErrorNumber("ZZZZZ"), 60466175);  // the largest: fits in 32 bits
    EXPECT_NE(PostgresErrorNumber("08001"), PostgresErrorNumber("08006"));
    EXPECT_EQ(PostgresErrorNumber("2350"), 0);
    EXPECT_EQ(PostgresErrorNumber("2350a"), 0);
}

// ---------------------------------------------------------------------------
// Connecting

using PgConnect = PgTest;

TEST_F(PgConnect, HostTextChoosesThisEngineAndItsDialect) {
    auto session = NewSession();
    ASSERT_TRUE(session);
    auto database = session->OpenDatabase(Q(test::PgUri()), Q(test::PgLogin()), kOpenNoWait);
    ASSERT_TRUE(database);
    const Dialect dialect = session->dialect();
    EXPECT_EQ(dialect.kind(), DialectKind::PostgreSQL);
    EXPECT_EQ(dialect.discoveryQuery("SELECT * FROM t"), "SELECT * FROM t LIMIT 1");
    EXPECT_EQ(dialect.deleteAll("t"), "DELETE FROM t");
    EXPECT_EQ(DialectForHost("postgres://h/db").kind(), DialectKind::PostgreSQL);
}

TEST_F(PgConnect, PasswordMaySlashAndQuoteCharacters) {
    // Only the first "/" separates user from password.
    const std::string role = "pgeng_login" + suffix_;
    const std::string password = "a/b c'd\\e=f/日本";
    admin_->Exec("DROP ROLE IF EXISTS " + role + "; CREATE ROLE " + role + " LOGIN PASSWORD 'a/b c''d\\e=f/日本'");
    auto session = NewSession();
    EXPECT_NO_THROW({
        auto database = session->OpenDatabase(Q(test::PgUri()), Q(role + "/" + password), 0);
        auto who = database->DbCreateDynaset("SELECT current_user", kDynasetNoBlankStrip);
        EXPECT_EQ(who->Fields().Item(0).Value(), Q(role));
    });
    session.reset();
    admin_->Exec("DROP ROLE IF EXISTS " + role);
}

TEST_F(PgConnect, WrongPasswordIsRefused) {
    auto session = NewSession();
    const Error e = ErrorOf([&] { session->OpenDatabase(Q(test::PgUri()), Q(test::PgUser() + "/wrong"), 0); });
    EXPECT_EQ(e.SqlState(), "08001");
    EXPECT_EQ(e.Number(), PostgresErrorNumber("08001"));
    EXPECT_TRUE(e.Description().contains("password authentication failed")) << e.what();
    EXPECT_TRUE(e.Description().startsWith("SQLSTATE 08001: ")) << e.what();
}

TEST_F(PgConnect, ServerNotListeningFailsAtOnce) {
    // A port bound but not listening: nothing can be there, and connecting is refused.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int port = ntohs(address.sin_port);

    auto session = NewSession();
    const auto start = std::chrono::steady_clock::now();
    const Error e = ErrorOf([&] {
        session->OpenDatabase(Q("postgresql://127.0.0.1:" + std::to_string(port) + "/velkin_test"),
                              Q(test::PgLogin()), kOpenNoWait);
    });
    const auto elapsed = std::chrono::steady_clock::now() - start;
    close(fd);
    EXPECT_EQ(e.SqlState(), "08001");
    EXPECT_TRUE(e.Description().contains("refused", Qt::CaseInsensitive)) << e.what();
    EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST_F(PgConnect, MissingDatabaseIsRefused) {
    auto session = NewSession();
    QString uri = Q(test::PgUri());
    uri.replace("/velkin_test", "/no_such_database");
    const Error e = ErrorOf([&] { session->OpenDatabase(uri, Q(test::PgLogin()), 0); });
    EXPECT_TRUE(e.Description().contains("no_such_database")) << e.what();
}

TEST_F(PgConnect, TransactionMembersBeforeOpeningFail) {
    auto session = NewSession();
    EXPECT_EQ(ErrorOf([&] { session->BeginTrans(); }).SqlState(), "08003");
    EXPECT_EQ(ErrorOf([&] { session->CommitTrans(); }).SqlState(), "08003");
}

// ---------------------------------------------------------------------------
// Column metadata

using PgMetadata = PgTest;

TEST_F(PgMetadata, TypeCodeSizeScaleAndNullabilityFromTheTable) {
    const std::string t = MakeTable("meta",
                                    "v varchar(20) NOT NULL, c char(5), n numeric(9,2) NOT NULL, u numeric, "
                                    "i integer, d date NOT NULL, ts timestamp, t text, bi bigint, si smallint, "
                                    "f double precision, tz timestamptz, b boolean, nn numeric(5,-2)");
    auto o = Open();
    auto dyn = o.database->DbCreateDynaset(Q("SELECT * FROM " + t), kDynasetNoBlankStrip);
    OraFields& fields = dyn->Fields();
    ASSERT_EQ(fields.Count(), 14);

    struct Expect { const char* name; int32_t code, size, scale; bool nullOk; };
    const Expect expected[] = {
        {"v", OraType::kVarchar2, 20, 0, false},  {"c", OraType::kChar, 5, 0, true},
        {"n", OraType::kNumber, 10, 2, false},    {"u", OraType::kNumber, 39, 0, true},
        {"i", OraType::kNumber, 11, 0, true},     {"d", OraType::kDate, 7, 0, false},
        {"ts", OraType::kDate, 11, 0, true},      {"t", OraType::kVarchar2, 0, 0, true},
        {"bi", OraType::kNumber, 20, 0, true},    {"si", OraType::kNumber, 6, 0, true},
        {"f", OraType::kNumber, 39, 0, true},     {"tz", OraType::kDate, 11, 0, true},
        {"b", OraType::kOther, 0, 0, true},       {"nn", OraType::kNumber, 6, -2, true},
    };
    for (int j = 0; j < fields.Count(); ++j) {
        SCOPED_TRACE(expected[j].name);
        OraField& f = fields.Item(j);
        EXPECT_EQ(f.Name(), expected[j].name);
        EXPECT_EQ(f.OraIDataType(), expected[j].code);
        EXPECT_EQ(f.Size(), expected[j].size);
        EXPECT_EQ(f.OraScale(), expected[j].scale);
        EXPECT_EQ(f.OraNullOK(), expected[j].nullOk);
    }
    EXPECT_EQ(ErrorOf([&] { fields.Item(14); }).Number(), Error::kSubscriptOutOfRange);
    EXPECT_EQ(ErrorOf([&] { fields.Item(-1); }).Number(), Error::kSubscriptOutOfRange);
}

TEST_F(PgMetadata, DiscoveryQueryOfTheDialectFindsNotNullColumnsOfAnEmptyTable) {
    const std::string t = MakeTable("disc", "a integer NOT NULL, b text, c date NOT NULL");
    auto o = Open();
    const QString sql = o.session->dialect().discoveryQuery(Q("SELECT * FROM " + t));
    auto dyn = o.database->DbCreateDynaset(sql, kDynasetNoBlankStrip);
    EXPECT_TRUE(dyn->Eof());
    EXPECT_EQ(dyn->RecordCount(), 0);
    EXPECT_FALSE(dyn->Fields().Item(0).OraNullOK());
    EXPECT_TRUE(dyn->Fields().Item(1).OraNullOK());
    EXPECT_FALSE(dyn->Fields().Item(2).OraNullOK());
}

TEST_F(PgMetadata, ExpressionsAndJoinsTakeNullabilityColumnByColumn) {
    const std::string a = MakeTable("ja", "id integer NOT NULL, name varchar(10) NOT NULL");
    const std::string b = MakeTable("jb", "id integer, note char(3) NOT NULL");
    auto o = Open();
    auto dyn = o.database->DbCreateDynaset(
        Q("SELECT a.id, b.note, a.name || 'x' AS e, 1 + 1 AS two, b.id AS bid FROM " + a + " a JOIN " + b +
          " b ON a.id = b.id"),
        kDynasetNoBlankStrip);
    OraFields& f = dyn->Fields();
    EXPECT_FALSE(f.Item(0).OraNullOK());
    EXPECT_FALSE(f.Item(1).OraNullOK());
    EXPECT_EQ(f.Item(1).OraIDataType(), OraType::kChar);
    EXPECT_EQ(f.Item(1).Size(), 3);
    EXPECT_TRUE(f.Item(2).OraNullOK());  // an expression
    EXPECT_EQ(f.Item(2).OraIDataType(), OraType::kVarchar2);
    EXPECT_TRUE(f.Item(3).OraNullOK());
    EXPECT_EQ(f.Item(3).OraIDataType(), OraType::kNumber);
    EXPECT_TRUE(f.Item(4).OraNullOK());
    EXPECT_EQ(f.Item(4).Name(), "bid");
}

// ---------------------------------------------------------------------------
// Values

using PgValues = PgTest;

TEST_F(PgValues, InTheFormsTheReadNeeds) {
    const std::string t = MakeTable("vals",
                                    "k integer NOT NULL, v varchar(20), c char(5), n numeric(9,2), f float8, "
                                    "d date, ts timestamp, t text, bi bigint");
    admin_->Exec("INSERT INTO " + t + " VALUES "
                 "(1, 'abc', 'ab', 12.50, 1e20, '2024-01-31', '2024-01-31 12:34:56', '日本語テキスト', -9007199254740993),"
                 "(2, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),"
                 "(3, '', '', 0.00, 1.5e-7, '1999-12-31', '2000-02-29 00:00:00', '  blanks kept  ', 0),"
                 "(4, 'x', 'abcde', -0.5, -2.5, '0001-01-01', '2024-01-31 23:59:59.25', '表''s', 1)");
    auto o = Open();
    auto dyn = o.database->DbCreateDynaset(Q("SELECT * FROM " + t + " ORDER BY k"), kDynasetNoBlankStrip);
    EXPECT_EQ(dyn->RecordCount(), 4);
    OraFields& f = dyn->Fields();
    auto row = [&] {
        std::vector<std::optional<QString>> values;
        for (int j = 0; j < f.Count(); ++j) values.push_back(f.Item(j).Value());
        return values;
    };
    using V = std::vector<std::optional<QString>>;
    const auto none = std::optional<QString>();
    ASSERT_FALSE(dyn->Eof());
    EXPECT_EQ(row(), (V{"1", "abc", "ab   ", "12.5", "100000000000000000000", "2024-01-31", "2024-01-31 12:34:56",
                        "日本語テキスト", "-9007199254740993"}));
    dyn->MoveNext();
    EXPECT_EQ(row(), (V{"2", none, none, none, none, none, none, none, none}));
    dyn->MoveNext();
    EXPECT_EQ(row(), (V{"3", "", "     ", "0", "0.00000015", "1999-12-31", "2000-02-29 00:00:00", "  blanks kept  ", "0"}));
    dyn->MoveNext();
    EXPECT_EQ(row(), (V{"4", "x", "abcde", "-0.5", "-2.5", "0001-01-01", "2024-01-31 23:59:59.25", "表's", "1"}));
    dyn->MoveNext();
    EXPECT_TRUE(dyn->Eof());
    dyn->MoveNext();  // stays past the end
    EXPECT_TRUE(dyn->Eof());
    EXPECT_FALSE(ErrorOf([&] { f.Item(0).Value(); }).SqlState().isEmpty());
}

TEST_F(PgValues, FixedCharacterLosesItsBlanksOnlyWithoutTheOption) {
    const std::string t = MakeTable("blank", "c char(6), v varchar(6)");
    admin_->Exec("INSERT INTO " + t + " VALUES ('ab', 'ab  ')");
    auto o = Open();
    auto kept = o.database->DbCreateDynaset(Q("SELECT * FROM " + t), kDynasetNoBlankStrip);
    EXPECT_EQ(kept->Fields().Item(0).Value(), "ab    ");
    auto stripped = o.database->DbCreateDynaset(Q("SELECT * FROM " + t), 0);
    EXPECT_EQ(stripped->Fields().Item(0).Value(), "ab");
    EXPECT_EQ(stripped->Fields().Item(1).Value(), "ab  ");  // variable character data is as stored
}

TEST_F(PgValues, FieldTakenOnceFollowsTheCurrentRecordAcrossBatches) {
    auto o = Open();
    const int rows = kDynasetBatchRows * 2 + 17;
    auto dyn = o.database->DbCreateDynaset(
        Q("SELECT g, 'r' || g AS s FROM generate_series(1, " + std::to_string(rows) + ") g"), kDynasetNoBlankStrip);
    OraField& g = dyn->Fields().Item(0);
    OraField& s = dyn->Fields().Item(1);
    int seen = 0;
    bool inOrder = true;
    for (dyn->MoveFirst(); !dyn->Eof(); dyn->MoveNext()) {
        ++seen;
        inOrder = inOrder && g.Value() == QString::number(seen) && s.Value() == "r" + QString::number(seen);
    }
    EXPECT_EQ(seen, rows);
    EXPECT_TRUE(inOrder);
}

TEST_F(PgValues, JapaneseInErrorsSurvives) {
    auto o = Open();
    const Error e = ErrorOf([&] { o.database->DbCreateDynaset("SELECT * FROM 存在しない表", kDynasetNoBlankStrip); });
    EXPECT_EQ(e.SqlState(), "42P01");
    EXPECT_EQ(e.Number(), PostgresErrorNumber("42P01"));
    EXPECT_TRUE(e.Description().contains("存在しない表")) << e.what();
    const Error raised = ErrorOf([&] {
        o.database->ExecuteSQL("DO $$ BEGIN RAISE EXCEPTION '日本語の失敗' USING DETAIL = '詳細です'; END $$");
    });
    EXPECT_EQ(raised.SqlState(), "P0001");
    EXPECT_EQ(raised.Description(), "SQLSTATE P0001: 日本語の失敗\r\n詳細です");
}

// ---------------------------------------------------------------------------
// Dynasets: count, memory, their transaction

using PgDynaset = PgTest;

TEST_F(PgDynaset, RecordCountIsExactAndMemoryStaysBoundedOnALargeResult) {
    constexpr int kRows = 2000000;
    auto o = Open();
    const long before = VmRssKiB();
    ASSERT_GT(before, 0);
    // About 250 MB of rows if they were all held at once.
    auto dyn = o.database->DbCreateDynaset(
        Q("SELECT g, repeat('x', 100) AS pad FROM generate_series(1, " + std::to_string(kRows) + ") g"),
        kDynasetNoBlankStrip);
    EXPECT_EQ(dyn->RecordCount(), kRows);
    long peak = VmRssKiB();
    OraField& g = dyn->Fields().Item(0);
    OraField& pad = dyn->Fields().Item(1);
    int seen = 0;
    qsizetype padChars = 0;
    std::optional<QString> last;
    for (dyn->MoveFirst(); !dyn->Eof(); dyn->MoveNext()) {
        ++seen;
        last = g.Value();
        padChars += pad.Value()->size();
        if (seen % 100000 == 0) peak = std::max(peak, VmRssKiB());
    }
    EXPECT_EQ(seen, kRows);
    EXPECT_EQ(last, QString::number(kRows));
    EXPECT_EQ(padChars, qsizetype(kRows) * 100);
    EXPECT_LT(peak - before, 32 * 1024) << "resident memory grew from " << before << " KiB to " << peak << " KiB";
}

TEST_F(PgDynaset, RecordCountInTheMiddleKeepsThePositionAndMoveFirstRewinds) {
    auto o = Open();
    const int rows = kDynasetBatchRows * 2 + 500;
    auto dyn = o.database->DbCreateDynaset(Q("SELECT g FROM generate_series(1, " + std::to_string(rows) + ") g"),
                                           kDynasetNoBlankStrip);
    OraField& g = dyn->Fields().Item(0);
    for (int i = 0; i < kDynasetBatchRows + 10; ++i) dyn->MoveNext();
    EXPECT_EQ(g.Value(), QString::number(kDynasetBatchRows + 11));
    EXPECT_EQ(dyn->RecordCount(), rows);
    EXPECT_EQ(g.Value(), QString::number(kDynasetBatchRows + 11));
    dyn->MoveNext();
    EXPECT_EQ(g.Value(), QString::number(kDynasetBatchRows + 12));
    dyn->MoveFirst();
    EXPECT_EQ(g.Value(), "1");
    int seen = 0;
    for (; !dyn->Eof(); dyn->MoveNext()) ++seen;
    EXPECT_EQ(seen, rows);
    EXPECT_EQ(dyn->RecordCount(), rows);
}

TEST_F(PgDynaset, ResultOfExactlyOneBatchEndsCleanly) {
    auto o = Open();
    auto dyn = o.database->DbCreateDynaset(
        Q("SELECT g FROM generate_series(1, " + std::to_string(kDynasetBatchRows) + ") g"), kDynasetNoBlankStrip);
    int seen = 0;
    for (; !dyn->Eof(); dyn->MoveNext()) ++seen;
    EXPECT_EQ(seen, kDynasetBatchRows);
    EXPECT_EQ(dyn->RecordCount(), kDynasetBatchRows);
}

TEST_F(PgDynaset, OverlappingDynasetsLeaveNoTransactionBehind) {
    const std::string t = MakeTable("overlap", "id integer NOT NULL");
    admin_->Exec("INSERT INTO " + t + " VALUES (1), (2)");
    auto o = Open();
    {
        // As a read does: the main dynaset replaces the discovery one.
        auto discovery = o.database->DbCreateDynaset(Q("SELECT * FROM " + t + " LIMIT 1"), kDynasetNoBlankStrip);
        auto main = o.database->DbCreateDynaset(Q("SELECT * FROM " + t + " ORDER BY 1"), kDynasetNoBlankStrip);
        discovery = std::move(main);
        EXPECT_EQ(discovery->RecordCount(), 2);
    }
    // Outside any transaction a statement is permanent at once: another session sees it.
    o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (3)"));
    EXPECT_EQ(admin_->Scalar("SELECT count(*) FROM " + t), "3");
}

TEST_F(PgDynaset, AFailedQueryLeavesTheConnectionUsable) {
    const std::string t = MakeTable("afterfail", "id integer");
    auto o = Open();
    EXPECT_EQ(ErrorOf([&] { o.database->DbCreateDynaset("SELECT 1/0", kDynasetNoBlankStrip); }).SqlState(), "22012");
    EXPECT_EQ(ErrorOf([&] { o.database->DbCreateDynaset("SELEC nonsense", kDynasetNoBlankStrip); }).SqlState(),
              "42601");
    o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (1)"));
    EXPECT_EQ(admin_->Scalar("SELECT count(*) FROM " + t), "1");
}

TEST_F(PgDynaset, SeesTheSessionsOwnUncommittedRowsAndDiesWithItsTransaction) {
    const std::string t = MakeTable("intx", "id integer");
    auto o = Open();
    o.session->BeginTrans();
    o.database->ExecuteSQL(Q("INSERT INTO " + t + " SELECT generate_series(1, 3000)"));
    auto dyn = o.database->DbCreateDynaset(Q("SELECT * FROM " + t), kDynasetNoBlankStrip);
    EXPECT_EQ(dyn->RecordCount(), 3000);
    o.session->rollback();
    // Its cursor went with the transaction: reading on is an error, not a crash.
    EXPECT_FALSE(ErrorOf([&] {
                     for (int i = 0; i < 2 * kDynasetBatchRows; ++i) dyn->MoveNext();
                 }).SqlState().isEmpty());
    dyn.reset();
    EXPECT_EQ(admin_->Scalar("SELECT count(*) FROM " + t), "0");
}

TEST_F(PgDynaset, BeginTransWhileADynasetIsOpenStillCommitsAndRollsBack) {
    const std::string t = MakeTable("adopt", "id integer");
    admin_->Exec("INSERT INTO " + t + " VALUES (1)");
    auto o = Open();
    auto dyn = o.database->DbCreateDynaset(Q("SELECT * FROM " + t), kDynasetNoBlankStrip);
    o.session->BeginTrans();
    o.database->ExecuteSQL(Q("DELETE FROM " + t));
    EXPECT_EQ(admin_->Scalar("SELECT count(*) FROM " + t), "1");
    o.session->rollback();
    dyn.reset();
    EXPECT_EQ(admin_->Scalar("SELECT count(*) FROM " + t), "1");

    auto dyn2 = o.database->DbCreateDynaset(Q("SELECT * FROM " + t), kDynasetNoBlankStrip);
    o.session->BeginTrans();
    o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (2)"));
    o.session->CommitTrans();
    dyn2.reset();
    EXPECT_EQ(admin_->Scalar("SELECT count(*) FROM " + t), "2");
}

// ---------------------------------------------------------------------------
// Transactions and statement failures

using PgTransactions = PgTest;

TEST_F(PgTransactions, RollbackUndoesTheDeleteAndTheInserts) {
    const std::string t = MakeTable("rb", "id integer PRIMARY KEY, name varchar(10)");
    admin_->Exec("INSERT INTO " + t + " VALUES (1, 'one'), (2, 'two')");
    auto o = Open();
    o.session->BeginTrans();
    EXPECT_EQ(o.database->ExecuteSQL(o.session->dialect().deleteAll(Q(t))), 2);
    EXPECT_EQ(o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (7, 'seven')")), 1);
    // Not visible to anyone else before the commit.
    EXPECT_EQ(admin_->Column("SELECT name FROM " + t + " ORDER BY id"), "one|two");
    o.session->rollback();
    EXPECT_EQ(admin_->Column("SELECT name FROM " + t + " ORDER BY id"), "one|two");
}

TEST_F(PgTransactions, CommitMakesEverythingPermanentTogether) {
    const std::string t = MakeTable("cm", "id integer PRIMARY KEY");
    admin_->Exec("INSERT INTO " + t + " VALUES (1)");
    auto o = Open();
    o.session->BeginTrans();
    o.database->ExecuteSQL(Q("DELETE FROM " + t));
    o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (5)"));
    o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (6)"));
    o.session->CommitTrans();
    EXPECT_EQ(admin_->Column("SELECT id FROM " + t + " ORDER BY id"), "5|6");
}

TEST_F(PgTransactions, RefusedInsertCarriesSqlStateAndDetail) {
    const std::string t = MakeTable("uq", "id integer PRIMARY KEY, v numeric(3,1) CHECK (v >= 0)");
    admin_->Exec("INSERT INTO " + t + " VALUES (1, 1)");
    auto o = Open();
    o.session->BeginTrans();
    o.database->ExecuteSQL(Q("DELETE FROM " + t));
    o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (2, 1)"));
    const Error dup = ErrorOf([&] { o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (2, 2)")); });
    EXPECT_EQ(dup.SqlState(), "23505");
    EXPECT_EQ(dup.Number(), 3505685);
    EXPECT_TRUE(dup.Description().startsWith("SQLSTATE 23505: duplicate key value")) << dup.what();
    EXPECT_TRUE(dup.Description().contains("\r\nKey (id)=(2) already exists.")) << dup.what();
    o.session->rollback();
    EXPECT_EQ(admin_->Column("SELECT id FROM " + t), "1");

    // Values the columns refuse.
    o.session->BeginTrans();
    EXPECT_EQ(ErrorOf([&] { o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (3, -1)")); }).SqlState(),
              "23514");
    o.session->rollback();
    const std::string d = MakeTable("refuse", "d date, v varchar(3)");
    EXPECT_EQ(ErrorOf([&] {
                  o.database->ExecuteSQL(Q("INSERT INTO " + d + " VALUES (TO_DATE('20230230','yyyymmdd'), 'a')"));
              }).SqlState(),
              "22008");
    EXPECT_EQ(ErrorOf([&] { o.database->ExecuteSQL(Q("INSERT INTO " + d + " VALUES (NULL, 'abcd')")); }).SqlState(),
              "22001");
    EXPECT_EQ(admin_->Scalar("SELECT count(*) FROM " + d), "0");
}

TEST_F(PgTransactions, CommitAnsweredWithRollbackIsAFailure) {
    const std::string t = MakeTable("abort", "id integer PRIMARY KEY");
    admin_->Exec("INSERT INTO " + t + " VALUES (1)");
    auto o = Open();
    o.session->BeginTrans();
    o.database->ExecuteSQL(Q("DELETE FROM " + t));
    EXPECT_THROW(o.database->ExecuteSQL("SELECT no_such_column"), Error);
    // The transaction is aborted; the server answers COMMIT with ROLLBACK.
    const Error e = ErrorOf([&] { o.session->CommitTrans(); });
    EXPECT_EQ(e.SqlState(), "40000");
    EXPECT_EQ(e.Number(), PostgresErrorNumber("40000"));
    EXPECT_EQ(admin_->Column("SELECT id FROM " + t), "1");
    // The session goes on: a new transaction commits normally.
    o.session->BeginTrans();
    o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (2)"));
    o.session->CommitTrans();
    EXPECT_EQ(admin_->Column("SELECT id FROM " + t + " ORDER BY id"), "1|2");
}

TEST_F(PgTransactions, OneStatementAtATime) {
    const std::string t = MakeTable("multi", "id integer");
    auto o = Open();
    const Error e = ErrorOf([&] {
        o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (1); INSERT INTO " + t + " VALUES (2)"));
    });
    EXPECT_EQ(e.SqlState(), "42601");
    EXPECT_EQ(admin_->Scalar("SELECT count(*) FROM " + t), "0");
    EXPECT_EQ(o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (1);")), 1);
    EXPECT_EQ(o.database->ExecuteSQL(Q("UPDATE " + t + " SET id = 2")), 1);
    EXPECT_EQ(o.database->ExecuteSQL(Q("CREATE INDEX ON " + t + " (id)")), 0);
}

TEST_F(PgTransactions, BeginTwiceAndCommitWithoutBeginAreRefused) {
    auto o = Open();
    EXPECT_EQ(ErrorOf([&] { o.session->CommitTrans(); }).SqlState(), "25P01");
    o.session->BeginTrans();
    EXPECT_EQ(ErrorOf([&] { o.session->BeginTrans(); }).SqlState(), "25001");
    o.session->rollback();
    EXPECT_NO_THROW(o.session->rollback());  // nothing left to undo
}

TEST_F(PgTransactions, RowLockedByAnotherSessionFailsPromptlyWithNoWait) {
    const std::string t = MakeTable("lock", "id integer PRIMARY KEY, v text");
    admin_->Exec("INSERT INTO " + t + " VALUES (1, 'a'), (2, 'b')");
    PgAdmin locker;
    // Should the engine wait after all, the server ends the locker's session
    // after this long, so the test cannot hang.
    locker.Exec("SET idle_in_transaction_session_timeout = '20s'");
    locker.Exec("BEGIN; SELECT * FROM " + t + " WHERE id = 2 FOR UPDATE");

    auto o = Open(kOpenNoWait);
    o.session->BeginTrans();
    const auto start = std::chrono::steady_clock::now();
    const Error e = ErrorOf([&] { o.database->ExecuteSQL(Q("DELETE FROM " + t)); });
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(e.SqlState(), "55P03");
    EXPECT_EQ(e.Number(), PostgresErrorNumber("55P03"));
    EXPECT_LT(elapsed, std::chrono::seconds(3));
    EXPECT_NO_THROW(o.session->rollback());
    locker.Exec("ROLLBACK");
    EXPECT_EQ(admin_->Column("SELECT v FROM " + t + " ORDER BY id"), "a|b");
}

TEST_F(PgTransactions, ConnectionKilledMidTransactionIsAnErrorAndLosesNothing) {
    const std::string t = MakeTable("kill", "id integer PRIMARY KEY, v text");
    admin_->Exec("INSERT INTO " + t + " VALUES (1, 'a'), (2, 'b')");
    auto o = Open();
    const std::string pid = o.database->DbCreateDynaset("SELECT pg_backend_pid()", kDynasetNoBlankStrip)
                                ->Fields()
                                .Item(0)
                                .Value()
                                ->toStdString();
    o.session->BeginTrans();
    o.database->ExecuteSQL(Q("DELETE FROM " + t));
    o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (9, 'z')"));
    EXPECT_EQ(admin_->Scalar("SELECT pg_terminate_backend(" + pid + ", 10000)"), "t");

    const Error e = ErrorOf([&] { o.database->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (10, 'y')")); });
    EXPECT_FALSE(e.SqlState().isEmpty());
    EXPECT_NE(e.Number(), 0);
    // The caller's rollback after a lost connection reports it and does not crash.
    try {
        o.session->rollback();
    } catch (const Error& lost) {
        EXPECT_EQ(lost.SqlState(), "08006");
    }
    EXPECT_THROW(o.database->ExecuteSQL("SELECT 1"), Error);
    EXPECT_THROW(o.database->DbCreateDynaset("SELECT 1", kDynasetNoBlankStrip), Error);
    o = {};
    EXPECT_EQ(admin_->Column("SELECT v FROM " + t + " ORDER BY id"), "a|b");
}

TEST_F(PgTransactions, LockTimeoutOnlyWithTheNoWaitOption) {
    auto waiting = Open(0);
    auto dyn = waiting.database->DbCreateDynaset("SELECT current_setting('lock_timeout')", kDynasetNoBlankStrip);
    EXPECT_EQ(dyn->Fields().Item(0).Value(), "0");
    auto noWait = Open(kOpenNoWait);
    auto dyn2 = noWait.database->DbCreateDynaset("SELECT current_setting('lock_timeout')", kDynasetNoBlankStrip);
    EXPECT_EQ(dyn2->Fields().Item(0).Value(), kNoWaitLockTimeout);
}

// ---------------------------------------------------------------------------
// The table list of the window's table-list button

using PgTableList = PgTest;

TEST_F(PgTableList, ListsTablesAndViewsOfTheSchemaWithCommentsByName) {
    const std::string t = MakeTable("listed", "id integer");
    const std::string v = Table("listed_view");
    const std::string s = Table("listed_seq");
    admin_->Exec("COMMENT ON TABLE " + t + " IS '得意先マスタ'");
    admin_->Exec("DROP VIEW IF EXISTS " + v + "; CREATE VIEW " + v + " AS SELECT * FROM " + t);
    admin_->Exec("COMMENT ON VIEW " + v + " IS 'a view'");
    admin_->Exec("DROP SEQUENCE IF EXISTS " + s + "; CREATE SEQUENCE " + s);
    admin_->Exec("CREATE INDEX " + Table("listed_idx") + " ON " + t + " (id)");

    auto o = Open();
    auto dyn = o.database->DbCreateDynaset(o.session->dialect().tableListQuery(), kDynasetNoBlankStrip);
    ASSERT_EQ(dyn->Fields().Count(), 2);
    EXPECT_EQ(dyn->Fields().Item(0).Name(), "TABLE_NAME");
    EXPECT_EQ(dyn->Fields().Item(1).Name(), "COMMENTS");
    OraField& name = dyn->Fields().Item(0);
    OraField& comment = dyn->Fields().Item(1);
    std::vector<QString> names;
    std::optional<QString> tableComment, viewComment;
    for (; !dyn->Eof(); dyn->MoveNext()) {
        names.push_back(*name.Value());
        if (name.Value() == Q(t)) tableComment = comment.Value().value_or("(null)");
        if (name.Value() == Q(v)) viewComment = comment.Value().value_or("(null)");
        EXPECT_FALSE(name.Value()->startsWith("pg_")) << "catalogue tables are not the user's";
    }
    EXPECT_EQ(dyn->RecordCount(), static_cast<int32_t>(names.size()));
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_EQ(tableComment, "得意先マスタ");
    EXPECT_EQ(viewComment, "a view");
    EXPECT_EQ(std::count(names.begin(), names.end(), Q(s)), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), Q(Table("listed_idx"))), 0);
    admin_->Exec("DROP VIEW IF EXISTS " + v + "; DROP SEQUENCE IF EXISTS " + s);
}

}  // namespace
