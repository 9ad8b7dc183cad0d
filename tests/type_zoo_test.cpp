// Nothing changes that the user did not change, on every engine route: a
// table of awkward values (NULL in every type, times of day with fractions,
// long and large numbers, booleans, padded CHAR, '' beside NULL, bytes, bit
// strings, rows read with a blank key) is read by the Read command, one cell
// of one row is changed, and the Update command runs. A twin table gets the same
// change from a plain session; afterwards both must hold the same values,
// compared by each engine's own exact rendering of every cell.

#include "command_fixture.h"
#include "tests/my_test_env.h"
#include "tests/pg_test_env.h"

#include "db/engine.h"
#include "db/error.h"
#include "commands/table_replace.h"

#include <QUrl>

#include <unistd.h>

#include <functional>

using namespace velkin;
using namespace velkin::testing;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

enum class Engine { SQLite, PostgreSQL, MariaDB };

struct Route {
    const char* name;
    Engine engine;
    bool odbc;
};

// What a route's engine needs: its zoo, and every cell of a table rendered exactly.
struct Zoo {
    std::string columns;             // CREATE TABLE column list; the first column may be NULL
    std::vector<std::string> rows;   // VALUES tuples, ids 1.. in order
    std::string changedColumn;       // a text column, grid column `changedGridColumn`
    int changedGridColumn;
    std::string fingerprint;         // SELECT of one text per row, with %T for the table, ORDER BY id
    std::string setup;               // run first in the admin session, when not empty
    // A change another session makes that only a storage class or a scale
    // shows, not the cell text (%T for the table); empty where the route
    // cannot tell.
    std::string unseenChange;
};

// SQLite: each value keeps its storage class; the native route also meets
// values only SQLite can hold (a number column holding text and bytes, text
// that is not UTF-8, a date written with a "T").
Zoo SqliteZoo(bool native) {
    Zoo zoo;
    zoo.columns =
        "k VARCHAR2(10), id INTEGER NOT NULL, n NUMBER(20,8), big INTEGER, f8 DOUBLE, flag BOOLEAN, c CHAR(5), "
        "t VARCHAR2(20), d DATE, ts TIMESTAMP, bin BLOB, odd NUMBER, u, tiny REAL";
    // u has no type: its first row makes it a number column, and each value
    // keeps its storage class. tiny holds values whose plain decimal text
    // SQLite reads as a neighbouring double, and text holding a NUL.
    zoo.rows = {std::string("('a', 1, 1.12345678, 9223372036854775807, 0.1, 1, 'ab', '', '2024-02-29', "
                            "'2024-01-05 10:11:12.345678', X'00FF', 9007199254740993, 1, ") +
                    (native ? "1343 * 1e-303)" : "1e-300)"),
                "(NULL, 2, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)",
                std::string("('', 3, -0.00000001, -9223372036854775808, 1e300, 0, 'ab   ', 'x', '2024-01-05', "
                            "'2024-01-05 00:00:00', X'', 2.5, ") +
                    (native ? "5.0, -1392 * 1e-303)" : "7, 2.5)"),
                native ? "(' ', 4, 0, 0, -2.5, NULL, 'x', CAST(X'FF41' AS TEXT), NULL, '2024-01-05T10:11:12', X'41', "
                         "'abc', CAST(X'610062' AS TEXT), 4611686018427387904.0), "
                         "(5, 5, NULL, NULL, NULL, NULL, 'y ', NULL, NULL, NULL, 'text', X'0102', 'x', NULL)"
                       : "(' ', 4, 0, 0, -2.5, NULL, 'x', NULL, NULL, NULL, X'41', NULL, NULL, NULL)"};
    zoo.changedColumn = "t";
    zoo.changedGridColumn = 8;
    if (native) zoo.unseenChange = "UPDATE %T SET u = '1' WHERE id = 1";
    std::string cells;
    for (const char* c : {"k", "id", "n", "big", "f8", "flag", "c", "t", "d", "ts", "bin", "odd", "u", "tiny"})
        cells += std::string(cells.empty() ? "" : "||'|'||") + "quote(" + c + ")||typeof(" + c + ")";
    zoo.fingerprint = "SELECT " + cells + " FROM %T ORDER BY id";
    return zoo;
}

Zoo PostgresZoo(bool native) {
    Zoo zoo;
    zoo.columns =
        "k varchar(10), id integer NOT NULL, n numeric(20,8), big bigint, f8 double precision, flag boolean, "
        "c char(5), t text, d date, ts timestamp, tz timestamptz, bin bytea, bits bit varying(8), num numeric, "
        "scaled numeric";
    // scaled: a numeric without a declared scale keeps each value's own trailing zeros.
    zoo.rows = {std::string("('a', 1, 1.12345678, 9223372036854775807, 0.1, true, 'ab', '', '2024-02-29', "
                            "'2024-01-05 10:11:12.345678', '2024-01-05 10:11:12.5+09', '\\x00ff', B'101', "
                            "123456789012345678901234567890.123456789, ") +
                    (native ? "1.50)" : "1.5)"),
                "(NULL, 2, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)",
                std::string("('', 3, -0.00000001, -9223372036854775808, 1e300, false, 'ab', 'x', '2024-01-05', "
                            "'2024-01-05 00:00:00', '2024-01-05 00:00:00+00', '\\x', B'', 0.000000000001, ") +
                    (native ? "-0.0100)" : "-0.01)"),
                // Not-a-number and infinity have no plain decimal form; the ODBC driver has none for them either.
                std::string("(' ', 4, 0, 0, ") + (native ? "'Infinity'" : "-2.5") +
                    ", NULL, 'x', NULL, NULL, NULL, NULL, '\\x41', NULL, " + (native ? "'NaN', 2.000)" : "-1, 2)")};
    zoo.changedColumn = "t";
    zoo.changedGridColumn = 8;
    if (native) zoo.unseenChange = "UPDATE %T SET scaled = 1.5 WHERE id = 1";
    zoo.fingerprint = "SELECT z::text FROM %T AS z ORDER BY id";
    return zoo;
}

// The native route runs on a server whose sessions are in Europe/Berlin and
// refuse zero dates: a TIMESTAMP in the hour the clock change of 2024-10-27
// repeats (the second 02:30, then the first; in the row of the second, one
// more TIMESTAMP goes converted to UTC), zero dates, and FLOAT values the
// server shows with six digits.
Zoo MariaDbZoo(bool native) {
    Zoo zoo;
    zoo.columns =
        "k varchar(10), id int NOT NULL, n decimal(20,8), big bigint, f8 double, flag boolean, c char(5), "
        "t varchar(20), d date, ts datetime(6), bin varbinary(16), bits bit(8), inst timestamp NULL, fl float, "
        "zd date, zdt datetime, inst2 timestamp NULL";
    zoo.rows = {std::string("('a', 1, 1.12345678, 9223372036854775807, 0.1, true, 'ab', '', '2024-02-29', "
                            "'2024-01-05 10:11:12.345678', X'00FF', b'10100101', ") +
                    (native ? "'2024-10-27 01:30:00', 1.2345678, '0000-00-00', '0000-00-00 00:00:00', "
                              "'2024-03-31 00:59:59')"
                            : "'2024-07-01 10:00:00', 0.5, '2024-01-05', NULL, NULL)"),
                "(NULL, 2, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)",
                std::string("('', 3, -0.00000001, -9223372036854775808, 1e300, false, 'ab', 'x', '2024-01-05', "
                            "'2024-01-05 00:00:00', X'', b'0', ") +
                    (native ? "'2024-10-27 00:30:00', 16777217, '2024-00-15', '2024-01-05 10:00:00', NULL)"
                            : "'2024-07-01 11:00:00', -2, NULL, '2024-01-05 10:00:00', NULL)"),
                "(' ', 4, 0, 0, -2.5, NULL, 'x', NULL, NULL, NULL, X'41', NULL, '2024-07-01 10:00:00', 0.1, NULL, NULL, NULL)"};
    zoo.changedColumn = "t";
    zoo.changedGridColumn = 8;
    std::string cells;
    for (const char* c : {"k", "id", "n", "big", "f8", "flag", "c", "t", "d", "ts", "inst", "zd", "zdt", "inst2"})
        cells += std::string(cells.empty() ? "" : ", ") + "QUOTE(" + c + ")";
    zoo.fingerprint = "SELECT CONCAT_WS('|', " + cells +
                      ", QUOTE(HEX(bin)), QUOTE(BIN(bits)), QUOTE(fl + 0e0)) FROM %T ORDER BY id";
    // The admin session writes and compares instants in UTC, and may write zero dates.
    zoo.setup = "SET SESSION time_zone = '+00:00', SESSION sql_mode = 'ANSI_QUOTES'";
    return zoo;
}

class TypeZooTest : public CommandTest, public ::testing::WithParamInterface<Route> {
protected:
    void SetUp() override {
        CommandTest::SetUp();
        const Route route = GetParam();
        const std::string suffix = std::string("_") + route.name + std::to_string(getpid());
        switch (route.engine) {
        case Engine::SQLite: {
            lite_ = std::make_unique<SqliteFile>(path("zoo.db"));
            exec_ = [this](const std::string& sql) { lite_->exec(sql); };
            column_ = [this](const std::string& sql) {
                std::string joined;
                for (const auto& row : lite_->query(sql)) joined += row[0] + "\n";
                return joined;
            };
            host_ = route.odbc ? "odbc:DRIVER={SQLite3};Database=" + path("zoo.db").toStdString() : "sqlite:zoo.db";
            zoo_ = SqliteZoo(!route.odbc);
            break;
        }
        case Engine::PostgreSQL: {
            ASSERT_FALSE(test::PgUri().empty()) << test::kPgMissingServer;
            pg_ = std::make_unique<test::PgAdmin>();
            exec_ = [this](const std::string& sql) { pg_->Exec(sql); };
            column_ = [this](const std::string& sql) { return pg_->Column(sql); };
            const QUrl url(Q(test::PgUri()));
            host_ = route.odbc ? "odbc:DRIVER={PostgreSQL Unicode};SERVER=" + url.host().toStdString() +
                                     ";PORT=" + std::to_string(url.port()) +
                                     ";DATABASE=" + url.path().mid(1).toStdString()
                               : test::PgUri();
            login_ = {test::PgUser(), test::PgPassword()};
            zoo_ = PostgresZoo(!route.odbc);
            break;
        }
        case Engine::MariaDB: {
            ASSERT_FALSE(test::MyUri().empty()) << test::kMyMissingServer;
            ASSERT_TRUE(route.odbc || test::MyZonedPlace().port != 0) << test::kMyMissingZonedServer;
            const test::Place at = route.odbc ? test::MyPlace() : test::MyZonedPlace();
            my_ = std::make_unique<test::MyAdmin>(at);
            exec_ = [this](const std::string& sql) { my_->Exec(sql); };
            column_ = [this](const std::string& sql) { return my_->Column(sql); };
            host_ = route.odbc ? test::MyOdbcHost() : test::MyHost(at);
            login_ = {test::MyEnv("VELKIN_MY_USER"), test::MyEnv("VELKIN_MY_PASSWORD")};
            zoo_ = MariaDbZoo(!route.odbc);
            break;
        }
        }
        if (!zoo_.setup.empty()) exec_(zoo_.setup);
        table_ = "zoo" + suffix;
        twin_ = "twin" + suffix;
        for (const std::string& t : {table_, twin_}) {
            exec_("DROP TABLE IF EXISTS " + t);
            exec_("CREATE TABLE " + t + " (" + zoo_.columns + ")");
            for (const std::string& row : zoo_.rows) exec_("INSERT INTO " + t + " VALUES " + row);
        }
        context();  // the settings first, then the boxes as typed
        inputs.login = {Q(login_.first), Q(login_.second), Q(host_)};
    }
    void TearDown() override {
        if (exec_) {
            for (auto undo = atEnd_.rbegin(); undo != atEnd_.rend(); ++undo) exec_(*undo);
            for (const std::string& t : {table_, twin_}) exec_("DROP TABLE IF EXISTS " + t);
        }
        CommandTest::TearDown();
    }

    void read(const std::string& table = "") {
        report.boxes.clear();
        readTable(Q(table.empty() ? table_ : table));
        ASSERT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
        ASSERT_TRUE(report.updateAllowed);
    }
    std::string content(const std::string& table) {
        std::string sql = zoo_.fingerprint;
        sql.replace(sql.find("%T"), 2, table);
        return column_(sql);
    }

    Zoo zoo_;
    std::string table_, twin_, host_;
    std::pair<std::string, std::string> login_{"scott", "tiger"};
    std::vector<std::string> atEnd_;  // run by TearDown, last first, before the zoo is dropped
    std::function<void(const std::string&)> exec_;
    std::function<std::string(const std::string&)> column_;
    std::unique_ptr<SqliteFile> lite_;
    std::unique_ptr<test::PgAdmin> pg_;
    std::unique_ptr<test::MyAdmin> my_;
};

INSTANTIATE_TEST_SUITE_P(Routes, TypeZooTest,
                         ::testing::Values(Route{"sqlite", Engine::SQLite, false},
                                           Route{"pg", Engine::PostgreSQL, false},
                                           Route{"maria", Engine::MariaDB, false},
                                           Route{"odbc_sqlite", Engine::SQLite, true},
                                           Route{"odbc_pg", Engine::PostgreSQL, true},
                                           Route{"odbc_maria", Engine::MariaDB, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(TypeZooTest, OneChangedCellChangesThatCellAlone) {
    read();
    EXPECT_EQ(cell(3, 1), "a");
    EXPECT_EQ(cell(3, 10), "20240105 10:11:12.345678") << "a time of day shows after the date";
    EXPECT_EQ(cell(5, 10), "20240105") << "midnight shows as the date alone";
    EXPECT_EQ(cell(5, 5), "1" + QString(300, '0')) << "a double is a plain decimal on every route";
    setCell(3, zoo_.changedGridColumn, "changed");
    exec_("UPDATE " + twin_ + " SET " + zoo_.changedColumn + " = 'changed' WHERE id = 1");

    const std::string rows = std::to_string(sheet.lastDataRow() - 2);
    update();
    ASSERT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
    EXPECT_EQ(report.boxes[0].detail.toStdString(), table_ + " (" + DatabaseLabel(Q(host_)).toStdString() +
                                                        "): 読込 " + rows + " 行 → 書込 " + rows +
                                                        " 行（変更 1 行、追加 0 行、削除 0 行）");
    EXPECT_EQ(content(table_), content(twin_)) << "rows read with a NULL, '' or blank key are kept too";
}

}  // namespace

namespace {

// Another table named in the box, answered Yes: the grid replaces that
// table, whatever it holds, without being compared with it.
TEST_P(TypeZooTest, AnUpdateToAnotherTableReplacesThatTable) {
    exec_("DELETE FROM " + twin_ + " WHERE id = 3");
    exec_("UPDATE " + twin_ + " SET " + zoo_.changedColumn + " = 'theirs' WHERE id = 1");
    read();
    inputs.table = Q(twin_);
    update(MessageAnswer::Yes);
    ASSERT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
    EXPECT_EQ(content(twin_), content(table_));
}

TEST_P(TypeZooTest, ARowChangedBySomeoneElseSinceTheReadRefusesTheUpdate) {
    read();
    setCell(3, zoo_.changedGridColumn, "mine");
    exec_("UPDATE " + table_ + " SET " + zoo_.changedColumn + " = 'theirs' WHERE id = 3");
    exec_("UPDATE " + twin_ + " SET " + zoo_.changedColumn + " = 'theirs' WHERE id = 3");
    // Another row changed in a way its cell text does not show.
    for (const std::string& t : {table_, twin_})
        if (!zoo_.unseenChange.empty()) exec_(std::string(zoo_.unseenChange).replace(zoo_.unseenChange.find("%T"), 2, t));
    update();
    ASSERT_EQ(report.reports().size(), 1u);
    EXPECT_TRUE(report.reports()[0].text.startsWith(QStringLiteral("Error Code:%1\r\n").arg(Error::kChangedSinceRead)))
        << report.reports()[0].text.toStdString();
    EXPECT_TRUE(report.reports()[0].text.contains(zoo_.unseenChange.empty() ? QStringLiteral("（1 行）") : QStringLiteral("（2 行）")))
        << report.reports()[0].text.toStdString();
    EXPECT_EQ(content(table_), content(twin_)) << "their change stays, mine is not written";
    EXPECT_EQ(cell(3, zoo_.changedGridColumn), "mine") << "the grid keeps what the user typed";
}

// An ENUM value outside its definition (stored as index 0, shown empty) has
// no literal that writes it back: the Update is refused before the DELETE,
// naming its cell; once the user has typed a value there, it goes.
using EnumOutsideTest = TypeZooTest;
INSTANTIATE_TEST_SUITE_P(Maria, EnumOutsideTest, ::testing::Values(Route{"enum", Engine::MariaDB, false}),
                         [](const auto&) { return std::string("maria"); });

TEST_P(EnumOutsideTest, AnEnumValueOutsideItsDefinitionRefusesTheUpdate) {
    for (const std::string& t : {table_, twin_}) {
        exec_("DROP TABLE " + t);
        exec_("CREATE TABLE " + t + " (id int NOT NULL, e enum('a','b'))");
        exec_("INSERT INTO " + t + " VALUES (1, 'a'), (2, 'x'), (3, NULL)");
    }
    zoo_.fingerprint = "SELECT CONCAT_WS('|', id, QUOTE(e), e + 0) FROM %T ORDER BY id";
    read();
    EXPECT_EQ(cell(4, 2), "");
    update();
    ASSERT_EQ(report.reports().size(), 1u);
    EXPECT_EQ(report.reports()[0].text, QStringLiteral("Error Code:%1\r\n列 e の値は ENUM の定義にありません（4 行目）。"
                                                "テーブルは変更していません。")
                                     .arg(Error::kUnwritableValue));
    EXPECT_EQ(sheet.backColor(4, 2), GridColor::kRed);
    EXPECT_EQ(content(table_), content(twin_));

    setCell(4, 2, "b");
    exec_("UPDATE " + twin_ + " SET e = 'b' WHERE id = 2");
    update();
    ASSERT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
    EXPECT_EQ(content(table_), content(twin_));
}

// What the question says, on one route: the lines depend on the grid alone.
using ReplaceQuestionTest = TypeZooTest;
INSTANTIATE_TEST_SUITE_P(Sqlite, ReplaceQuestionTest, ::testing::Values(Route{"q", Engine::SQLite, false}),
                         [](const auto&) { return std::string("sqlite"); });

TEST_P(ReplaceQuestionTest, TheQuestionCountsTheRowsAndWarnsOfAnotherTable) {
    read();
    setCell(3, 8, "edited");  // a changed row
    setCell(4, 2, "2");       // the same text again: unchanged
    setCell(6, 1, "");        // a blank key the user made: the row goes
    setCell(8, 1, "new1");    // two added rows, below the read
    setCell(8, 2, "8");
    setCell(9, 1, "new2");
    setCell(9, 2, "9");
    update(MessageAnswer::No);
    ASSERT_EQ(report.boxes.size(), 1u);
    const MessageRequest& asked = report.boxes[0];
    EXPECT_EQ(asked.text, kReplaceQuestion);
    EXPECT_EQ(asked.detail, Q(table_) + " (sqlite:zoo.db): 読込 5 行 → 書込 6 行（変更 1 行、追加 2 行、削除 1 行）\n"
                                        "先頭列が空の行（1 行）は書込みません。");
    EXPECT_EQ(asked.defaultButton, MessageAnswer::Yes);

    // The same table of the same database, typed otherwise: no warning.
    inputs.table = Q(table_).toUpper();
    inputs.login.host = " " + Q(host_) + " ";
    update(MessageAnswer::No);
    ASSERT_EQ(report.boxes.size(), 1u);
    EXPECT_FALSE(report.boxes[0].detail.contains("注意")) << report.boxes[0].detail.toStdString();
    EXPECT_EQ(report.boxes[0].defaultButton, MessageAnswer::Yes);
    inputs.login.host = Q(host_);

    // Another table named in the box: said so, and Enter means No.
    inputs.table = Q(twin_);
    inputs.login.user = "someone";
    inputs.login.password = "secret";
    update(MessageAnswer::No);
    ASSERT_EQ(report.boxes.size(), 1u);
    EXPECT_EQ(report.boxes[0].detail,
              Q(twin_) + " (sqlite:zoo.db): 読込 5 行 → 書込 6 行（変更 1 行、追加 2 行、削除 1 行）\n"
                         "先頭列が空の行（1 行）は書込みません。\n"
                         "注意: 読込んだのは " + Q(table_) + " (sqlite:zoo.db) です。");
    EXPECT_EQ(report.boxes[0].defaultButton, MessageAnswer::No);
    EXPECT_EQ(content(table_), content(twin_)) << "No changes nothing";
}

}  // namespace

namespace {

// A view is read as a table is, but never replaced: which tables its DELETE
// reaches cannot be known (here it would drop the columns the view leaves out).
TEST_P(TypeZooTest, AViewIsReadButNeverReplaced) {
    const std::string view = "zview" + table_.substr(3);
    exec_("CREATE VIEW " + view + " AS SELECT id, t FROM " + table_);
    atEnd_.push_back("DROP VIEW " + view);
    read(view);
    update();
    ASSERT_EQ(report.reports().size(), 1u);
    EXPECT_EQ(report.reports()[0].text, QStringLiteral("Error Code:%1\r\n").arg(Error::kNotAPlainTable) +
                                     "ビューや外部テーブルは更新できません（参照先のテーブルを確かめられないため）。"
                                     "テーブルは変更していません。");
    EXPECT_EQ(content(table_), content(twin_));
}

// Stored texts built to end a literal early go back byte for byte and run
// nothing, in rows nobody edited, whatever the server's string rules: on
// PostgreSQL the login is a role whose sessions start with
// standard_conforming_strings off.
TEST_P(TypeZooTest, StoredBackslashesQuotesAndCommentMarksGoBackByteForByte) {
    const Route route = GetParam();
    const std::string t = "hostile" + table_.substr(3), secret = "secret" + table_.substr(3);
    const std::vector<std::string> texts = {
        "plain", "\\'||(SELECT max(s) FROM " + secret + "),NULL)--", "\\'); DROP TABLE " + secret + "; --",
        "C:\\temp\\new", "ends with \\", "a\\\\b ' '' \"dq\" `bt`", "/* c */ -- d", "\\x00ff"};
    const char* columns[] = {"id INTEGER NOT NULL, v VARCHAR2(200), b BLOB", "id integer NOT NULL, v text, b bytea",
                             "id int NOT NULL, v varchar(200), b varbinary(16)"};
    const char* bytes[] = {"X'00FF'", "decode('00ff', 'hex')", "X'00FF'"};
    const char* fingerprint[] = {"v || '|' || lower(hex(b))", "v || '|' || encode(b, 'hex')",
                                 "CONCAT(v, '|', LOWER(HEX(b)))"};
    const auto engine = static_cast<size_t>(route.engine);
    for (const std::string& name : {t, secret}) {
        exec_("DROP TABLE IF EXISTS " + name);
        atEnd_.push_back("DROP TABLE IF EXISTS " + name);
    }
    exec_("CREATE TABLE " + t + " (" + columns[engine] + ")");
    exec_("CREATE TABLE " + secret + " (s varchar(20))");
    exec_("INSERT INTO " + secret + " VALUES ('TOPSECRET')");
    for (size_t i = 0; i < texts.size(); ++i) {
        std::string literal = texts[i];
        // The admin session of MariaDB reads a backslash as an escape.
        for (size_t at = 0; (at = literal.find_first_of(route.engine == Engine::MariaDB ? "'\\" : "'", at)) !=
                            std::string::npos;
             at += 2)
            literal.insert(at, 1, literal[at]);
        exec_("INSERT INTO " + t + " VALUES (" + std::to_string(i + 1) + ", '" + literal + "', " + bytes[engine] + ")");
    }
    const std::string role = "velkin_escapes_" + std::to_string(getpid());
    if (route.engine == Engine::PostgreSQL) {
        exec_("DROP ROLE IF EXISTS " + role);
        exec_("CREATE ROLE " + role + " LOGIN PASSWORD 'pw'");
        atEnd_.insert(atEnd_.begin(), "DROP ROLE " + role);  // once its tables are gone
        exec_("ALTER ROLE " + role + " SET standard_conforming_strings = off");
        exec_("GRANT SELECT, INSERT, DELETE ON " + t + " TO " + role);
        exec_("GRANT SELECT ON " + secret + " TO " + role);
        inputs.login.user = Q(role);
        inputs.login.password = "pw";
    }
    read(t);
    setCell(3, 2, "edited");
    update();
    std::vector<std::string> after;
    for (size_t i = 0; i < texts.size(); ++i) {
        std::string row = column_("SELECT " + std::string(fingerprint[engine]) + " FROM " + t + " WHERE id = " +
                                  std::to_string(i + 1));
        if (!row.empty() && row.back() == '\n') row.pop_back();
        after.push_back(row);
    }
    ASSERT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
    for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(after[i], (i ? texts[i] : "edited") + "|00ff") << "row " << i + 1;
}

}  // namespace
