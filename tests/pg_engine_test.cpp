// The PostgreSQL engine against a real server (started by scripts/run-tests.sh):
// what only this engine does (SQLSTATE numbers, its types, its batches and
// cursors, TO_DATE, the server's own settings). What every engine does is
// checked on this engine's route by engine_contract_test.cpp.

#include "db/engine.h"
#include "db/error.h"
#include "db/postgres/pg_session.h"
#include "tests/error_of.h"
#include "tests/memory_watch.h"
#include "tests/test_databases.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

using namespace velkin;
using velkin::testing::ErrorOf;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

class PgTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(test::PgUri().empty()) << test::kPgMissingServer;
        admin_ = std::make_unique<test::PgAdmin>();
        tables_ = std::make_unique<test::Tables>(*admin_, test::Engine::PostgreSQL, "pgeng_");
    }
    void TearDown() override { tables_.reset(); }

    test::Opened Open(OpenOption option = OpenOption::NoLockWait) {
        return test::Open(Q(test::PgUri()), Q(test::PgLogin()), option);
    }

    std::unique_ptr<test::PgAdmin> admin_;
    std::unique_ptr<test::Tables> tables_;
};

// ---------------------------------------------------------------------------
// Error numbers and host texts

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

TEST(PgHost, TheShortPrefixNamesThisEngineToo) {
    EXPECT_EQ(DialectForHost("postgres://h/db").kind(), DialectKind::PostgreSQL);
}

// ---------------------------------------------------------------------------
// Types and values beyond the contract's standard table

using PgTypes = PgTest;

TEST_F(PgTypes, EachTypeHasItsOracleCodeSizeAndScale) {
    const std::string t = tables_->Make("meta", "t text NOT NULL, si smallint, f double precision, tz timestamptz, "
                                                "b boolean, nn numeric(5,-2)");
    auto o = Open();
    auto dyn = o->openCursor(Q("SELECT * FROM " + t), CursorOption::KeepTrailingBlanks);
    EXPECT_EQ(test::Columns(*dyn), "t VARCHAR2/0/0 NOT NULL, si NUMBER/6/0, f NUMBER/39/0, tz DATE/11/0, b ETC/0/0, nn NUMBER/6/-2");
}

TEST_F(PgTypes, FloatsAndFractionsOfASecondInTheFormsTheReadNeeds) {
    const std::string t = tables_->Make("vals", "k integer NOT NULL, f float8, ts timestamp, t text");
    admin_->Exec("INSERT INTO " + t + " VALUES (1, 1e20, '2024-01-31 12:34:56', '日本語テキスト'), "
                 "(2, NULL, NULL, NULL), (3, 1.5e-7, '2000-02-29 00:00:00', '  blanks kept  '), "
                 "(4, -2.5, '2024-01-31 23:59:59.25', '表''s')");
    auto o = Open();
    using test::Values;
    const auto none = std::optional<QString>();
    EXPECT_EQ(test::Read(*o, Q("SELECT f, ts, t FROM " + t + " ORDER BY k")),
              (std::vector<Values>{{"100000000000000000000", "2024-01-31 12:34:56", "日本語テキスト"},
                                   {none, none, none},
                                   {"0.00000015", "2000-02-29 00:00:00", "  blanks kept  "},
                                   {"-2.5", "2024-01-31 23:59:59.25", "表's"}}));
}

// ---------------------------------------------------------------------------
// Errors in the server's words

TEST_F(PgTest, ErrorsCarryTheServersCodeAndWordsAndLeaveTheConnectionUsable) {
    const std::string t = tables_->Make("afterfail", "id integer");
    auto o = Open();
    EXPECT_EQ(ErrorOf([&] { o->openCursor("SELECT 1/0", CursorOption::KeepTrailingBlanks); }).SqlState(), "22012");
    const Error raised = ErrorOf([&] {
        o->execute("DO $$ BEGIN RAISE EXCEPTION '日本語の失敗' USING DETAIL = '詳細です'; END $$");
    });
    EXPECT_EQ(raised.SqlState(), "P0001");
    EXPECT_EQ(raised.Description(), "SQLSTATE P0001: 日本語の失敗\r\n詳細です");
    o->execute(Q("INSERT INTO " + t + " VALUES (1)"));
    EXPECT_EQ(admin_->Scalar("SELECT count(*) FROM " + t), "1");
}

TEST_F(PgTest, ToDateRefusesADayThatDoesNotExist) {
    const std::string d = tables_->Make("refuse", "d date");
    auto o = Open();
    EXPECT_EQ(ErrorOf([&] {
                  o->execute(Q("INSERT INTO " + d + " VALUES (TO_DATE('20230230','yyyymmdd'))"));
              }).SqlState(),
              "22008");
    EXPECT_EQ(admin_->Scalar("SELECT count(*) FROM " + d), "0");
}

// ---------------------------------------------------------------------------
// Dynasets: batches, memory, their cursor's transaction

using PgDynaset = PgTest;

TEST_F(PgDynaset, RecordCountIsExactAndMemoryStaysBoundedOnALargeResult) {
    constexpr int kRows = 2000000;
    auto o = Open();
    const long before = velkin::testing::StatusKiB("VmRSS:");
    ASSERT_GT(before, 0);
    // About 250 MB of rows if they were all held at once.
    auto dyn = o->openCursor(
        Q("SELECT g, repeat('x', 100) AS pad FROM generate_series(1, " + std::to_string(kRows) + ") g"),
        CursorOption::KeepTrailingBlanks);
    EXPECT_EQ(dyn->size(), kRows);
    long peak = velkin::testing::StatusKiB("VmRSS:");
    int seen = 0;
    qsizetype padChars = 0;
    std::optional<QString> last;
    for (dyn->first(); !dyn->atEnd(); dyn->next()) {
        ++seen;
        last = dyn->value(0);
        padChars += dyn->value(1)->size();
        if (seen % 100000 == 0) peak = std::max(peak, velkin::testing::StatusKiB("VmRSS:"));
    }
    EXPECT_EQ(seen, kRows);
    EXPECT_EQ(last, QString::number(kRows));
    EXPECT_EQ(padChars, qsizetype(kRows) * 100);
    EXPECT_LT(peak - before, 32 * 1024) << "resident memory grew from " << before << " KiB to " << peak << " KiB";
}

// Counted in the round trip that opens it: the count and the rows agree
// whether the result is empty, shorter than the first batch, exactly one or longer.
TEST_F(PgDynaset, ACursorCountedAsItOpensDeliversEveryRow) {
    auto o = Open();
    for (const int rows : {0, 5, kCursorBatchRows, kCursorBatchRows + 1, 5 * kCursorBatchRows}) {
        auto dyn = o->openCursorToCount(Q("SELECT g FROM generate_series(1, " + std::to_string(rows) + ") g"),
                                        CursorOption::KeepTrailingBlanks);
        EXPECT_EQ(dyn->size(), rows);
        int seen = 0;
        for (dyn->first(); !dyn->atEnd(); dyn->next()) EXPECT_EQ(dyn->value(0), QString::number(++seen));
        EXPECT_EQ(seen, rows);
    }
}

// A read's first-row query learns its columns' facts by the table's name as
// typed: those of the table it reads, however spelt, and of a temporary
// table before a permanent one of the same name.
TEST_F(PgTest, AFirstRowQueryDescribesTheTableItReads) {
    const std::string plain = tables_->Make("shadowed", "id int PRIMARY KEY, note text");
    const std::string schema = "\"" + tables_->Name("Schema S") + "\"";
    admin_->Exec("DROP SCHEMA IF EXISTS " + schema + " CASCADE");
    admin_->Exec("CREATE SCHEMA " + schema);
    admin_->Exec("CREATE TABLE " + schema + ".\"Mixed\" (a int, b text NOT NULL UNIQUE)");
    auto o = Open();
    auto facts = [&](const std::string& table) {
        const QString name = Q(table);
        auto probe = o->openCursor(QStringLiteral("SELECT * FROM ") + name + QStringLiteral(" LIMIT 1"),
                                   CursorOption::KeepTrailingBlanks);
        std::string text;
        for (int j = 0; j < probe->columnCount(); ++j) text += probe->column(j).nullable ? "null " : "notnull ";
        for (const int j : o->tableKey(name, *probe).columns) text += "key" + std::to_string(j) + " ";
        return text;
    };
    EXPECT_EQ(facts(plain), "notnull null key0 ");
    std::string upper = plain;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(facts(upper), "notnull null key0 ");
    EXPECT_EQ(facts(schema + ".\"Mixed\""), "null notnull key1 ");
    o->execute(Q("CREATE TEMPORARY TABLE " + plain + " (x int NOT NULL UNIQUE, y int, z int)"));
    EXPECT_EQ(facts(plain), "notnull null null key0 ");
    admin_->Exec("DROP SCHEMA " + schema + " CASCADE");
}

TEST_F(PgDynaset, ResultOfExactlyOneBatchEndsCleanly) {
    auto o = Open();
    auto dyn = o->openCursor(
        Q("SELECT g FROM generate_series(1, " + std::to_string(kCursorBatchRows) + ") g"), CursorOption::KeepTrailingBlanks);
    int seen = 0;
    for (; !dyn->atEnd(); dyn->next()) ++seen;
    EXPECT_EQ(seen, kCursorBatchRows);
    EXPECT_EQ(dyn->size(), kCursorBatchRows);
}

// The batch asked for ahead fails (the server computes its rows only then):
// the failure comes where the rows before it end, and the connection goes on.
TEST_F(PgDynaset, ABatchAskedForAheadThatFailsEndsTheRowsWithItsError) {
    auto o = Open();
    const std::string failAt = std::to_string(kCursorBatchRows + 500);
    auto dyn = o->openCursor(Q("SELECT 1 / (g - " + failAt + ") FROM generate_series(1, 5000) g"),
                             CursorOption::KeepTrailingBlanks);
    int seen = 0;
    EXPECT_EQ(ErrorOf([&] {
                  for (; !dyn->atEnd(); dyn->next()) ++seen;
              }).SqlState(),
              "22012");
    EXPECT_EQ(seen, kCursorBatchRows);
    dyn.reset();
    EXPECT_EQ(test::Read(*o, "SELECT 1")[0][0], "1");
}

// A dynaset opened inside a transaction sees its rows (engine_contract_test);
// its cursor goes with the transaction.
TEST_F(PgDynaset, ACursorOpenedInATransactionEndsWithIt) {
    const std::string t = tables_->Make("intx", "id integer");
    auto o = Open();
    o->begin();
    o->execute(Q("INSERT INTO " + t + " SELECT generate_series(1, 3000)"));
    auto dyn = o->openCursor(Q("SELECT * FROM " + t), CursorOption::KeepTrailingBlanks);
    EXPECT_EQ(dyn->size(), 3000);
    o->rollback();
    // Reading on is an error, not a crash.
    EXPECT_FALSE(ErrorOf([&] {
                     for (int i = 0; i < 2 * kCursorBatchRows; ++i) dyn->next();
                 }).SqlState().isEmpty());
    dyn.reset();
    EXPECT_EQ(admin_->Scalar("SELECT count(*) FROM " + t), "0");
}

// ---------------------------------------------------------------------------
// Transactions

using PgTransactions = PgTest;

TEST_F(PgTransactions, CommitAnsweredWithRollbackIsAFailure) {
    const std::string t = tables_->Make("abort", "id integer PRIMARY KEY");
    admin_->Exec("INSERT INTO " + t + " VALUES (1)");
    auto o = Open();
    o->begin();
    o->execute(Q("DELETE FROM " + t));
    EXPECT_THROW(o->execute("SELECT no_such_column"), Error);
    // The transaction is aborted; the server answers COMMIT with ROLLBACK.
    const Error e = ErrorOf([&] { o->commit(); });
    EXPECT_EQ(e.SqlState(), "40000");
    EXPECT_EQ(e.Number(), PostgresErrorNumber("40000"));
    EXPECT_EQ(admin_->Column("SELECT id FROM " + t), "1");
    // The session goes on: a new transaction commits normally.
    o->begin();
    o->execute(Q("INSERT INTO " + t + " VALUES (2)"));
    o->commit();
    EXPECT_EQ(admin_->Column("SELECT id FROM " + t + " ORDER BY id"), "1|2");
}

TEST_F(PgTransactions, LockTimeoutOnlyWithTheNoWaitOption) {
    auto waiting = Open(OpenOption::WaitForLocks);
    EXPECT_EQ(test::Read(*waiting, "SELECT current_setting('lock_timeout')")[0][0], "0");
    auto noWait = Open(OpenOption::NoLockWait);
    EXPECT_EQ(test::Read(*noWait, "SELECT current_setting('lock_timeout')")[0][0], kNoWaitLockTimeout);
}

// ---------------------------------------------------------------------------
// What a replace's DELETE would reach beyond the table

using PgReach = PgTest;

TEST_F(PgReach, InheritanceChildrenAndRulesRefuseTheReplace) {
    const std::string parent = tables_->Make("heir", "id integer");
    const std::string child = tables_->Name("heir_kid");
    admin_->Exec("CREATE TABLE " + child + " (extra text) INHERITS (" + parent + ")");
    const std::string ruled = tables_->Make("ruled", "id integer");
    const std::string other = tables_->Make("ruled_other", "id integer");
    admin_->Exec("CREATE RULE also_delete AS ON DELETE TO " + ruled + " DO ALSO DELETE FROM " + other);
    auto o = Open();
    o->begin();
    const Error inherited = ErrorOf([&] { o->requireReplaceableTable(Q("public.\"" + parent + "\"")); });
    EXPECT_EQ(inherited.Number(), Error::kDeleteReachesOtherTables);
    EXPECT_TRUE(inherited.Description().contains(Q("（" + child + "）"))) << inherited.what();
    EXPECT_NO_THROW(o->requireReplaceableTable(Q(child))) << "a child's DELETE reaches its own rows only";
    const Error ruleFound = ErrorOf([&] { o->requireReplaceableTable(Q(ruled)); });
    EXPECT_EQ(ruleFound.Number(), Error::kDeleteReachesOtherTables);
    EXPECT_TRUE(ruleFound.Description().contains("（also_delete）")) << ruleFound.what();
    EXPECT_TRUE(ruleFound.Description().endsWith("表は変更していません。"));
    o->rollback();
}

// A key to one partition, or to the partitioned table, reaches rows that a
// DELETE of the partitioned table or of that partition removes.
TEST_F(PgReach, KeysAnywhereInThePartitionTreeCount) {
    const std::string tree = tables_->Make("tree", "id integer PRIMARY KEY", "PARTITION BY RANGE (id)");
    const std::string leaf = tables_->Name("tree_leaf");
    admin_->Exec("CREATE TABLE " + leaf + " PARTITION OF " + tree + " FOR VALUES FROM (0) TO (10)");
    const std::string toLeaf = tables_->Make("to_leaf", "p integer REFERENCES " + leaf + " ON DELETE CASCADE");
    const std::string toTree = tables_->Make("to_tree", "p integer REFERENCES " + tree + " ON DELETE SET NULL");
    auto o = Open();
    o->begin();
    for (const std::string& name : {tree, leaf}) {
        EXPECT_NO_THROW(o->requireReplaceableTable(Q(name))) << "partitions are the table's own rows";
        const Error refused = ErrorOf([&] { o->requireNoDestructiveReferences(Q(name)); });
        EXPECT_EQ(refused.Number(), Error::kDeleteReachesOtherTables) << name;
        EXPECT_TRUE(refused.Description().endsWith(Q(toLeaf + " (CASCADE), " + toTree + " (SET NULL)"))) << refused.what();
    }
    o->rollback();
}

}  // namespace
