// The window end to end against the throwaway PostgreSQL server that
// scripts/run-tests.sh starts: Read, edit, Update through the real Form1, the
// statements the server received (its log records every one), and the faults
// only PostgreSQL shows, each survived with the table exactly as it was. The
// refusals every database makes are in window_contract_test.cpp.

#include "form_fixture.h"
#include "snapshot_files.h"
#include "tests/pg_test_env.h"

#include "db/dialect.h"
#include "db/engine.h"
#include "db/error.h"
#include "writeback/table_snapshot.h"
#include "db/postgres/pg_session.h"
#include "grid/grid_prepare.h"
#include "commands/table_read.h"
#include "commands/table_replace.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <thread>

using namespace velkin;
using namespace velkin::testing;
using velkin::test::PgAdmin;

namespace {

// Where the window's snapshots of the test server go: its label, made file-safe.
QString PgSnapshots() {
    const QString host = QString::fromStdString("postgresql://127.0.0.1:" + velkin::test::PgEnv("VELKIN_PG_PORT"));
    return velkin::SnapshotFolder(velkin::DatabaseLabel(host)).mid(2);
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The fault tally, printed when the suite ends.
struct FaultTally {
    int tried = 0;
    int survived = 0;
    long rowsLost = 0;
};
FaultTally& Tally() {
    static FaultTally tally;
    return tally;
}

class TallyReport : public ::testing::Environment {
public:
    void TearDown() override {
        std::cout << "[ faults   ] tried " << Tally().tried << ", survived " << Tally().survived << ", rows lost "
                  << Tally().rowsLost << std::endl;
    }
};
const auto* const kTallyReport = ::testing::AddGlobalTestEnvironment(new TallyReport);

// The statements the server logged from a point on (log_statement = 'all').
// Test programs share the server, so statements are told apart by the
// backend's process id: each command of the window opens its own connection.
class ServerLog {
public:
    ServerLog() : path_(test::PgEnv("VELKIN_PG_LOG")) {
        std::ifstream in(path_, std::ios::binary | std::ios::ate);
        start_ = in ? static_cast<std::streamoff>(in.tellg()) : 0;
    }

    struct Statement {
        std::string pid;
        std::string sql;
    };

    std::vector<Statement> statements() const {
        std::ifstream in(path_, std::ios::binary);
        in.seekg(start_);
        std::stringstream text;
        text << in.rdbuf();

        // An entry starts with the prefix '%m [%p] %u@%d '; a statement of
        // several lines continues on lines without it, each after a tab the
        // server adds.
        static const std::regex head(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+ \S+ \[(\d+)\] \S* ([A-Z]+):  (.*)$)");
        struct Entry {
            std::string pid, level, message;
        };
        std::vector<Entry> entries;
        std::string line;
        while (std::getline(text, line)) {
            std::smatch m;
            if (std::regex_match(line, m, head))
                entries.push_back({m[1], m[2], m[3]});
            else if (!entries.empty())
                entries.back().message += "\n" + (line.rfind('\t', 0) == 0 ? line.substr(1) : line);
        }
        std::vector<Statement> out;
        static const std::regex statement(R"(^(statement|execute [^:]*): )");
        for (const Entry& e : entries) {
            std::smatch m;
            if (e.level == "LOG" && std::regex_search(e.message, m, statement))
                out.push_back({e.pid, e.message.substr(static_cast<size_t>(m.length(0)))});
        }
        return out;
    }

    // Every statement, in order, of the connection that sent the first
    // statement containing `marker`.
    std::vector<std::string> sessionOf(const std::string& marker) const {
        const auto all = statements();
        std::string pid;
        for (const Statement& s : all)
            if (s.sql.find(marker) != std::string::npos) {
                pid = s.pid;
                break;
            }
        std::vector<std::string> out;
        if (pid.empty()) return out;
        for (const Statement& s : all)
            if (s.pid == pid) out.push_back(s.sql);
        return out;
    }

private:
    std::string path_;
    std::streamoff start_ = 0;
};

class PgWindowTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        ASSERT_FALSE(test::PgUri().empty()) << test::kPgMissingServer;
        ASSERT_FALSE(test::PgEnv("VELKIN_PG_LOG").empty()) << "the cluster's statement log is not named";
        admin_ = std::make_unique<PgAdmin>();
        suffix_ = "_" + std::to_string(getpid());
        // The host box keeps 32 characters: the URI names host and port, and
        // the database comes from libpq's own default, as a user's might.
        const std::string uri = test::PgUri();
        database_ = uri.substr(uri.rfind('/') + 1);
        setenv("PGDATABASE", database_.c_str(), 1);
        host_ = Q("postgresql://127.0.0.1:" + test::PgEnv("VELKIN_PG_PORT"));
        ASSERT_LE(host_.size(), 32);
        logIn();
    }
    void TearDown() override {
        Tally().tried += faults_;
        if (!HasFailure()) Tally().survived += faults_;
        if (admin_)
            for (const std::string& table : dropAtEnd_) admin_->Exec("DROP TABLE IF EXISTS " + table + " CASCADE");
        FormTest::TearDown();
    }

    void logIn() { login(host_, Q(test::PgUser()), Q(test::PgPassword())); }

    std::string Table(const std::string& name) const { return "pgwin_" + name + suffix_; }
    std::string MakeTable(const std::string& name, const std::string& columns) {
        const std::string table = Table(name);
        admin_->Exec("DROP TABLE IF EXISTS " + table + " CASCADE; CREATE TABLE " + table + " (" + columns + ")");
        dropAtEnd_.push_back(table);
        return table;
    }

    // The table's rows in the server's own text form, by key.
    std::string Content(const std::string& table, const std::string& orderBy = "1") {
        return admin_->Column("SELECT t::text FROM " + table + " t ORDER BY " + orderBy);
    }
    // Every row version with its physical place and creating transaction: a
    // rolled-back replace leaves the very same versions, byte for byte.
    std::string Versions(const std::string& table) {
        return admin_->Column("SELECT ctid::text || ' ' || xmin::text || ' ' || md5(t::text) || ' ' || t::text FROM " +
                              table + " t ORDER BY ctid");
    }
    long Count(const std::string& table) { return std::stol(admin_->Scalar("SELECT count(*) FROM " + table)); }

    std::unique_ptr<PgAdmin> admin_;
    std::string suffix_, database_;
    QString host_;
    std::vector<std::string> dropAtEnd_;
    int faults_ = 0;  // faults this test tries
};

QString UpdateStatementHead() { return QStringLiteral("SET lock_timeout = '%1'").arg(kNoWaitLockTimeout); }

// Takes out of a replace's statements those its snapshot sent, between BEGIN
// and the DELETE, and returns them.
std::vector<std::string> TakeSnapshotStatements(std::vector<std::string>& sent, const std::string& table) {
    const auto begin = std::find(sent.begin(), sent.end(), "BEGIN");
    const auto del = std::find(begin, sent.end(), "DELETE FROM " + table);
    if (begin == sent.end() || del == sent.end()) return {};
    std::vector<std::string> snapshot(begin + 1, del);
    sent.erase(begin + 1, del);
    return snapshot;
}

std::vector<std::string> Strings(const QStringList& list) {
    std::vector<std::string> out;
    for (const QString& s : list) out.push_back(s.toStdString());
    return out;
}

// ---------------------------------------------------------------------------
// Round trips

using PgRoundTrip = PgWindowTest;

// Timestamps with a time zone are written at midnight of the session's zone,
// which the window's connection shares with the test's (the server's default).
// One column of every type the read tells apart, and the ETC types a user
// meets most; values chosen so the trip through the grid can keep them all.
const char* const kAllTypes =
    "id integer NOT NULL PRIMARY KEY, code char(5) NOT NULL, name varchar(20), note text, "
    "amount numeric(9,2), ratio numeric, small smallint, big bigint, f4 real, f8 double precision, "
    "born date, stamp timestamp, stampz timestamptz, "
    "flag boolean, tag uuid, doc jsonb, span interval, raw bytea, \"Mixed Case\" varchar(10)";

void FillAllTypes(PgAdmin& admin, const std::string& t) {
    admin.Exec("INSERT INTO " + t +
               " VALUES "
               "(2, 'ab', 'O''Brien', E'鈴木 😀 back\\\\slash', 1234.50, 0.0001, -32768, 922337203685477, 1.5, 0.1, "
               "'2024-02-29', '2024-01-31 00:00:00', '2024-01-31 00:00:00', true, "
               "'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11', '{\"a\": [1, \"x''y\"]}', '1 day 02:00:00', '\\x00ff', 'MiXeD'),"
               "(1, 'cd   ', 'two words', E'line one\\nline two', -0.05, 123456789.125, 0, -922337203685477, -2.25, "
               "1e-4, '1999-12-31', '2000-01-01 00:00:00', '1970-01-01 00:00:00', false, "
               "'00000000-0000-0000-0000-000000000000', '[]', '-3 mons', '\\x', ' lead'),"
               "(3, 'e''f', 'x', 'y', 0, 0, 1, 1, 0, 0, NULL, NULL, NULL, true, "
               "'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a12', 'null', '00:00:00', '\\x7f', 'z')");
}

TEST_F(PgRoundTrip, EveryTypeReadsIntoTheGridAndAnUnchangedUpdateKeepsEveryValue) {
    const std::string t = MakeTable("types", kAllTypes);
    FillAllTypes(*admin_, t);
    const std::string before = Content(t);

    ServerLog readLog;
    read(t);
    EXPECT_EQ(gridRow(1), (std::vector<QString>{"id", "code", "name", "note", "amount", "ratio", "small", "big", "f4",
                                                "f8", "born", "stamp", "stampz", "flag", "tag", "doc", "span", "raw",
                                                "Mixed Case"}));
    EXPECT_EQ(gridRow(2),
              (std::vector<QString>{"NUMBER(10)", "CHAR(5)", "VARCHAR2(20)", "VARCHAR2(0)", "NUMBER(9.2)",
                                    "NUMBER(38)", "NUMBER(5)", "NUMBER(19)", "NUMBER(38)", "NUMBER(38)", "DATE(8)",
                                    "DATE(8)", "DATE(8)", "ETC(0)", "ETC(0)", "ETC(0)", "ETC(0)", "ETC(0)",
                                    "VARCHAR2(10)"}));
    // Sorted by the NOT NULL columns, id and code.
    EXPECT_EQ(gridRow(3), (std::vector<QString>{"1", "cd   ", "two words", "line one\nline two", "-0.05",
                                                "123456789.125", "0", "-922337203685477", "-2.25", "0.0001",
                                                "19991231", "20000101", "1970-01-01 00:00:00+00", "f",
                                                "00000000-0000-0000-0000-000000000000", "[]", "-3 mons", "",
                                                " lead"}));
    EXPECT_EQ(gridRow(4), (std::vector<QString>{"2", "ab   ", "O'Brien", "鈴木 😀 back\\slash", "1234.5", "0.0001",
                                                "-32768", "922337203685477", "1.5", "0.1", "20240229", "20240131",
                                                "2024-01-31 00:00:00+00", "t", "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11",
                                                "{\"a\": [1, \"x'y\"]}", "1 day 02:00:00", "00FF", "MiXeD"}));
    EXPECT_EQ(gridRow(5), (std::vector<QString>{"3", "e'f  ", "x", "y", "0", "0", "1", "1", "0", "0", "", "", "",
                                                "t", "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a12", "null", "00:00:00",
                                                "7F", "z"}));
    EXPECT_EQ(grid().lastDataRow(), 5);
    EXPECT_EQ(color(3, 1), GridColor::kYellow);

    // The read's own statements: the discovery query, then the sorted main query.
    std::vector<std::string> declared;
    for (const std::string& s : readLog.sessionOf(t))
        if (s.rfind("DECLARE ", 0) == 0) declared.push_back(s.substr(s.find(" FOR ") + 5));
    EXPECT_EQ(declared, (std::vector<std::string>{"SELECT * FROM " + t + " LIMIT 1",
                                                   "SELECT * FROM " + t + " ORDER BY 1 ,2"}));
    for (const std::string& s : readLog.sessionOf(t))
        EXPECT_EQ(s.find("DELETE"), std::string::npos) << "a read changes nothing: " << s;
    // Besides its cursors' own statements and the session's settings, one
    // catalogue query: the columns' facts and the table's key together.
    std::vector<std::string> asked;
    for (const std::string& s : readLog.sessionOf(t))
        if (s.rfind("DECLARE ", 0) != 0 && s.rfind("FETCH ", 0) != 0 && s.rfind("MOVE ", 0) != 0 &&
            s.rfind("CLOSE ", 0) != 0 && s.rfind("SET ", 0) != 0 && s != "BEGIN" && s != "COMMIT")
            asked.push_back(s);
    ASSERT_EQ(asked.size(), 1u) << (asked.empty() ? std::string() : asked.back());
    EXPECT_NE(asked[0].find("pg_catalog.format_type("), std::string::npos) << asked[0];

    update();
    ASSERT_TRUE(reports().empty()) << reports()[0].text.toStdString();
    EXPECT_EQ(grid().lastDataRow(), 0) << "a committed replace empties the grid";
    EXPECT_FALSE(form().CMD_Update->isEnabled());
    EXPECT_EQ(Content(t), before);
}

TEST_F(PgRoundTrip, EditedCellsOfEveryTypeAreWhatTheTableHoldsAndTheNextReadShows) {
    const std::string t = MakeTable("edits", kAllTypes);
    FillAllTypes(*admin_, t);
    read(t);
    // Row 3 (id 1) edited in every column but the key.
    const std::vector<QString> edited{"1", "zz",   "it's", "改行\r\nあり", "7.125",  "-1.23456", "32767",
                                      "-5", "0.25", "1.50",  "20000229",   "20240101", "20240102", "true",
                                      "A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11", "{\"b\":null}", "2 hours",
                                      "DEADbeef", "x\"y"};
    for (int32_t c = 1; c <= static_cast<int32_t>(edited.size()); ++c) setCell(3, c, edited[c - 1]);
    setCell(5, 1, "  ");  // id 3 goes: a blank first cell skips the row
    // A new row with every cell empty but the key and the ETC columns.
    const int32_t added = 7;
    setCell(added, 1, "9");
    setCell(added, 14, "0");
    setCell(added, 15, "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a19");
    setCell(added, 16, "1");
    setCell(added, 17, "0");
    setCell(added, 18, "");
    update();
    ASSERT_TRUE(reports().empty()) << reports()[0].text.toStdString();

    EXPECT_EQ(admin_->Column("SELECT concat_ws(' ', id, format('[%s]', code), name, note, amount, ratio, small, big, "
                             "f4, f8, coalesce(born::text, '-'), coalesce(stamp::text, '-'), "
                             "coalesce(stampz::date || CASE WHEN stampz = stampz::date THEN '' ELSE ' and a time' END, '-'), flag, tag, doc, span, raw, "
                             "\"Mixed Case\") FROM " + t + " ORDER BY id"),
              "1 [zz   ] it's 改行\r\nあり 7.13 -1.2346 32767 -5 0.25 1.5 2000-02-29 2024-01-01 00:00:00 "
              "2024-01-02 t a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11 {\"b\": null} 02:00:00 \\xdeadbeef x\"y|"
                  "2 [ab   ] O'Brien 鈴木 😀 back\\slash 1234.50 0.0001 -32768 922337203685477 1.5 0.1 2024-02-29 "
                  "2024-01-31 00:00:00 2024-01-31 t a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11 {\"a\": [1, \"x'y\"]} "
                  "1 day 02:00:00 \\x00ff MiXeD|"
                  // Empty cells: ' ' for CHAR, '' for text, 0 for numbers, NULL for dates.
                  "9 [     ]   0.00 0 0 0 0 0 - - - f a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a19 1 00:00:00 \\x ");

    // The next read shows what was written.
    read(t);
    EXPECT_EQ(cell(3, 2), "zz   ");
    EXPECT_EQ(cell(3, 4), "改行\r\nあり");
    EXPECT_EQ(cell(3, 5), "7.13");
    EXPECT_EQ(cell(3, 11), "20000229");
    EXPECT_EQ(cell(5, 1), "9");
    EXPECT_EQ(cell(5, 2), "     ");
    EXPECT_EQ(cell(5, 11), "");
}

TEST_F(PgRoundTrip, TheServerReceivesExactlyTheReplaceStatements) {
    const std::string t = MakeTable("stmts", "id integer NOT NULL, code char(4), name varchar(10), qty numeric(6,2), "
                                             "day date, flag boolean");
    admin_->Exec("INSERT INTO " + t + " VALUES (1, 'a', 'n', 1, '2024-01-31', true), (2, 'b', 'm', 2, NULL, false)");
    read(t);
    setCell(3, 2, "it's");
    setCell(3, 3, "");
    setCell(3, 4, "1.23456");
    setCell(4, 2, "");
    setCell(4, 4, "");
    setCell(4, 5, "20240229");
    setCell(5, 1, " ");  // skipped, other cells and all
    setCell(5, 3, "ignored");
    setCell(6, 1, "3");
    setCell(6, 6, "f");

    ServerLog log;
    update();
    ASSERT_TRUE(reports().empty()) << reports()[0].text.toStdString();
    const QString head = Q("INSERT INTO " + t) + " (\"id\",\"code\",\"name\",\"qty\",\"day\",\"flag\") VALUES (";
    std::vector<std::string> sent = log.sessionOf("DELETE FROM " + t);
    // First the lookup of what the name is, then the table's lock; then the
    // snapshot adds one query, read through a cursor in the replace's own
    // transaction (the cursor's statements and the engine's NOT NULL lookup
    // go with it); then the lookup of other tables' keys to this one.
    std::vector<std::string> snapshot = TakeSnapshotStatements(sent, t);
    for (const std::string& first :
         {Dialect::postgresOverreachQuery("$1").toStdString(), "LOCK TABLE " + t + " IN EXCLUSIVE MODE NOWAIT"}) {
        ASSERT_FALSE(snapshot.empty());
        EXPECT_EQ(snapshot.front(), first);
        snapshot.erase(snapshot.begin());
    }
    const auto keys = std::find(snapshot.begin(), snapshot.end(), Dialect::postgresReferringKeysQuery("$1").toStdString());
    ASSERT_NE(keys, snapshot.end());
    snapshot.erase(keys);
    ASSERT_FALSE(snapshot.empty());
    EXPECT_EQ(snapshot.front(), "DECLARE velkin_dynaset_1 SCROLL CURSOR FOR SELECT * FROM " + t);
    EXPECT_EQ(snapshot.back(), "CLOSE velkin_dynaset_1");
    for (const std::string& s : snapshot)
        EXPECT_TRUE(s.rfind("DECLARE ", 0) == 0 || s.rfind("FETCH ", 0) == 0 || s.rfind("CLOSE ", 0) == 0 ||
                    s.find("pg_catalog.format_type(") != std::string::npos)
            << s;
    EXPECT_EQ(sent,
              Strings({Dialect::postgresSessionSetup(), "SET DateStyle = 'ISO, YMD'", UpdateStatementHead(), "BEGIN",
                       Q("DELETE FROM " + t),
                       head + "1,'it''s','',1.2346,TO_DATE('20240131','yyyymmdd'),'t') ",
                       head + "2,' ','m',0,TO_DATE('20240229','yyyymmdd'),'f') ",
                       head + "3,' ','',0,NULL,'f') ", "COMMIT"}));
    EXPECT_EQ(Content(t), "(1,it's,\"\",1.23,2024-01-31,t)|(2,\"    \",m,0.00,2024-02-29,f)|"
                          "(3,\"    \",\"\",0.00,,f)");
}

TEST_F(PgRoundTrip, ComputedAndAlwaysIdentityColumnsTakeTheirRowsBack) {
    const std::string t = MakeTable("computed", "id integer GENERATED ALWAYS AS IDENTITY, name varchar(10) NOT NULL, "
                                                "twice integer GENERATED ALWAYS AS (id * 2) STORED");
    admin_->Exec("INSERT INTO " + t + " (name) VALUES ('a'), ('b')");
    read(t);
    setCell(4, 2, "bb");
    ServerLog log;
    update();
    ASSERT_TRUE(reports().empty()) << reports()[0].text.toStdString();
    EXPECT_EQ(Content(t), "(1,a,2)|(2,bb,4)") << "the identity keeps its values, the computed column follows";
    const std::string insert = "INSERT INTO " + t + " (\"id\",\"name\") OVERRIDING SYSTEM VALUE VALUES (1,'a') ";
    const std::vector<std::string> sent = log.sessionOf("DELETE FROM " + t);
    EXPECT_NE(std::find(sent.begin(), sent.end(), insert), sent.end());
}

TEST_F(PgRoundTrip, AnEmptyTableReadsHeadersAndAnEmptyGridEmptiesTheTable) {
    const std::string t = MakeTable("empty", "id integer NOT NULL, name varchar(5)");
    readTable(t);
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_EQ(boxes_.boxes[0].text, kNoDataMessage);
    EXPECT_EQ(gridRow(1), (std::vector<QString>{"id", "name"}));
    EXPECT_EQ(gridRow(2), (std::vector<QString>{"NUMBER(10)", "VARCHAR2(5)"}));
    EXPECT_TRUE(form().CMD_Update->isEnabled());

    // A row arrives behind the window's back: replacing the table would
    // remove it unseen, so the Update is refused and the table kept.
    admin_->Exec("INSERT INTO " + t + " VALUES (1, 'x')");
    update();
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_TRUE(reports()[0].text.startsWith("Error Code:3197\r\n")) << reports()[0].text.toStdString();
    EXPECT_EQ(Count(t), 1);
    // Read again and blank the row's key: now the Update removes it.
    read(t);
    setCell(3, 1, "");
    update();
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(Count(t), 0);
}

TEST_F(PgRoundTrip, TheTableListQueryRunsInSqlModeAndListsTablesWithComments) {
    const std::string t = MakeTable("listed", "id integer");
    admin_->Exec("COMMENT ON TABLE " + t + " IS '得意先マスタ'");
    form().TXT_SQL->setPlainText("old text");
    form().CMD_SerchTab->click();  // the query itself is the window contract's
    const QString box = form().TXT_SQL->toPlainText();

    ServerLog log;
    boxes_.boxes.clear();
    form().CMD_Read->click();
    ASSERT_TRUE(boxes_.boxes.empty()) << boxes_.boxes[0].text.toStdString();
    EXPECT_EQ(gridRow(1), (std::vector<QString>{"TABLE_NAME", "COMMENTS"}));
    EXPECT_EQ(gridRow(2), (std::vector<QString>{"", ""}));
    std::vector<QString> names;
    QString comment = "(not listed)";
    for (int32_t r = kFirstDataRow; r <= grid().lastDataRow(); ++r) {
        names.push_back(cell(r, 1));
        if (cell(r, 1) == Q(t)) comment = cell(r, 2);
    }
    EXPECT_EQ(comment, "得意先マスタ");
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    // The query went to the server as the box holds it, with no sort added.
    // Other test programs may send the same text, so it is looked for among all.
    const std::string query = box.toStdString();
    bool sent = false;
    for (const auto& s : log.statements())
        sent = sent || (s.sql.rfind("DECLARE ", 0) == 0 && s.sql.substr(s.sql.find(" FOR ") + 5) == query);
    EXPECT_TRUE(sent);
}

TEST_F(PgRoundTrip, AFullDatabaseAddressInTheHostBoxIsUsedWhole) {
    // Cutting the address at the box's 32 characters would name another database.
    const std::string uri = test::PgUri();
    ASSERT_GT(uri.size(), 32u);
    unsetenv("PGDATABASE");
    form().TXT_HOST->setText(Q("  " + uri + " "));
    const std::string t = MakeTable("whole", "id integer");
    admin_->Exec("INSERT INTO " + t + " VALUES (7)");
    readTable(t);
    ASSERT_TRUE(boxes_.boxes.empty()) << boxes_.boxes[0].text.toStdString();
    EXPECT_EQ(cell(3, 1), "7");
}

// ---------------------------------------------------------------------------
// The snapshot of the previous contents

TEST_F(PgRoundTrip, ASnapshotOfEveryTypeHoldsWhatTheReadShowedAndPastingItBackRestoresTheTable) {
    const std::string t = MakeTable("snap", kAllTypes);
    FillAllTypes(*admin_, t);
    read(t);
    const Grid shown = gridCells();
    const std::string before = Content(t);
    setCell(3, 3, "changed");
    setCell(4, 1, "");  // id 2 goes
    update();
    ASSERT_TRUE(reports().empty()) << reports()[0].text.toStdString();
    ASSERT_EQ(Count(t), 2);

    // The server's snapshots go to a folder named after it, never after the login.
    const QString folder = PgSnapshots();
    EXPECT_TRUE(folder.startsWith("backup/postgresql%3A%2F%2F127.0.0.1%3A")) << folder.toStdString();
    const QStringList files = FolderFiles(path(folder));
    ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();
    EXPECT_TRUE(IsSnapshotName(Q(t), files[0])) << files[0].toStdString();
    EXPECT_EQ(ModeOf(path(folder + "/" + files[0])), 0600);
    const Cells saved = SnapshotRows(path(folder + "/" + files[0]));
    EXPECT_EQ(RecordsSorted(saved), RecordsSorted(shown));

    // Restoring as a user would: Read, paste the file's records at row 3, Update.
    read(t);
    QApplication::clipboard()->setText(CellsToClipboardText(Cells(saved.begin() + 2, saved.end())));
    grid().setCurrentIndex(grid().model()->index(2, 0));  // grid row 3
    grid().pasteClipboard();
    update();
    ASSERT_TRUE(reports().empty()) << reports()[0].text.toStdString();
    EXPECT_EQ(Content(t), before);
}

TEST_F(PgRoundTrip, BackupNoWritesNothingAndTheTwentyFirstSnapshotDropsTheOldest) {
    const std::string t = MakeTable("rotate", "id integer NOT NULL, name varchar(5)");
    admin_->Exec("INSERT INTO " + t + " VALUES (1, 'a')");
    form_.reset();
    writeSettings("[Default1]\r\nBACKUP=NO\r\n");
    logIn();
    read(t);
    update();
    ASSERT_TRUE(reports().empty()) << reports()[0].text.toStdString();
    EXPECT_FALSE(QFileInfo::exists(path("backup")));

    form_.reset();
    writeSettings("[Default1]\r\n");
    logIn();
    ASSERT_TRUE(QDir(dir_.path()).mkpath(PgSnapshots()));
    QStringList old;
    for (int sequence = 1; sequence <= 20; ++sequence) {
        old << Q(t) + (sequence == 1 ? QStringLiteral("-20000101-000000.tsv")
                                     : QStringLiteral("-20000101-000000-%1.tsv").arg(sequence));
        QFile file(path(PgSnapshots() + "/" + old.back()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    read(t);
    update();
    ASSERT_TRUE(reports().empty()) << reports()[0].text.toStdString();
    const QStringList now = FolderFiles(path(PgSnapshots()));
    EXPECT_EQ(now.size(), 20);
    EXPECT_FALSE(now.contains(old[0])) << "the oldest goes";
    for (const QString& name : old.mid(1)) EXPECT_TRUE(now.contains(name)) << name.toStdString();
}

// ---------------------------------------------------------------------------
// Faults only PostgreSQL shows; the refusals every database makes (keys,
// CHECK, lengths, dates, locks, other tables' keys, logins, hosts) are the
// window contract's. Each leaves the table as it was, the grid as the user
// left it, and a window whose next Read works.

class PgFault : public PgWindowTest {
protected:
    void SetUp() override {
        PgWindowTest::SetUp();
        faults_ = 1;
    }

    // Five rows, ids 1 to 5 in grid rows 3 to 7.
    std::string MakeFaultTable(const std::string& name, const std::string& constraints = "") {
        const std::string t =
            MakeTable(name, "id integer PRIMARY KEY, code char(3) NOT NULL, name varchar(10), "
                            "amount numeric(7,2) CHECK (amount < 10000), born date" + constraints);
        admin_->Exec("INSERT INTO " + t +
                     " VALUES (1,'A','alpha',10.00,'2024-01-01'), (2,'B','beta',20.50,NULL), "
                     "(3,'C','gamma',30.25,'2023-12-31'), (4,'D','delta',0,'2000-02-29'), "
                     "(5,'E','epsilon',-1.5,'1999-12-31')");
        return t;
    }

    // Remembers the table and the grid before the faulty command.
    void arm(const std::string& table) {
        table_ = table;
        versions_ = Versions(table);
        count_ = Count(table);
        grid_ = gridCells();
    }

    // After the faulty command: one report of the server's SQLSTATE, everything as it was.
    void expectSurvived(const QString& sqlState, const std::vector<int32_t>& markedRows) {
        const QString text = expectOneReport(ErrorReportKind::Command);
        EXPECT_TRUE(text.startsWith(QStringLiteral("Error Code:%1\r\nSQLSTATE %2: ")
                                        .arg(PostgresErrorNumber(sqlState))
                                        .arg(sqlState)))
            << text.toStdString();
        const long after = Count(table_);
        if (after < count_) Tally().rowsLost += count_ - after;
        EXPECT_EQ(Versions(table_), versions_) << "the table changed";
        expectUpdateFailed(grid_, markedRows);
    }

    // The window still works: a plain read shows the table's unchanged rows.
    void expectWindowWorks() {
        logIn();
        read(table_);
        EXPECT_EQ(cell(3, 1), "1");
        EXPECT_EQ(grid().lastDataRow(), 2 + count_);
        EXPECT_EQ(Versions(table_), versions_);
    }

    std::string table_;
    std::string versions_;
    long count_ = 0;
    Grid grid_;
};

// What the server receives when an Update is refused: the refused row's
// INSERT and then ROLLBACK; for keys of other tables, no DELETE at all.
TEST_F(PgFault, TheServerSeesTheRollbackOfARefusedRowAndNoDeleteWhenKeysRefuse) {
    const std::string t = MakeFaultTable("unique");
    read(t);
    setCell(5, 1, "1");  // row 5 repeats row 3's key
    ServerLog log;
    update();
    ASSERT_EQ(reports().size(), 1u);
    auto sent = log.sessionOf("DELETE FROM " + t);
    TakeSnapshotStatements(sent, t);
    ASSERT_EQ(sent.size(), 9u);
    EXPECT_EQ(sent[3], "BEGIN");
    EXPECT_EQ(sent[7].rfind("INSERT INTO " + t + " (\"id\",\"code\",\"name\",\"amount\",\"born\") VALUES (1,'C  ','gamma',", 0), 0u);
    EXPECT_EQ(sent[8], "ROLLBACK");

    const std::string parent = MakeFaultTable("parent");
    MakeTable("kids", "p integer REFERENCES " + parent + " ON DELETE CASCADE");
    // The replace, which a table others refer to has only when the setting asks for it.
    form_.reset();
    writeSettings("[Default1]\nWRITE=ALL\n");
    logIn();
    read(parent);
    ServerLog keysLog;
    update();
    ASSERT_EQ(reports().size(), 1u);
    // The Update's own connection, told by its lock on the table: the
    // contract tests run their Updates on the same cluster meanwhile.
    const auto keys = keysLog.sessionOf("LOCK TABLE " + parent + " ");
    ASSERT_FALSE(keys.empty());
    EXPECT_TRUE(std::any_of(keys.begin(), keys.end(),
                            [](const std::string& s) { return s.find("pg_catalog.to_regclass($1)") != std::string::npos; }))
        << "the keys of other tables were asked";
    for (const std::string& s : keys) EXPECT_EQ(s.find("DELETE"), std::string::npos) << s;
    EXPECT_EQ(keys.back(), "ROLLBACK");
}

TEST_F(PgFault, TheConnectionEndsItselfAtTheFourthRow) {
    const std::string t = MakeFaultTable("selfkill");
    admin_->Exec("CREATE FUNCTION " + t + "_kill() RETURNS trigger LANGUAGE plpgsql AS "
                 "$$BEGIN PERFORM pg_terminate_backend(pg_backend_pid()); RETURN NEW; END$$;"
                 "CREATE TRIGGER kill BEFORE INSERT ON " + t + " FOR EACH ROW WHEN (NEW.id = 4) EXECUTE FUNCTION " +
                 t + "_kill()");
    read(t);
    arm(t);
    update();
    // The connection is gone: the report says so and gives the server's reason.
    expectSurvived("08006", {6});
    EXPECT_TRUE(reports()[0].text.contains("terminating connection due to administrator command"))
        << reports()[0].text.toStdString();
    admin_->Exec("DROP TRIGGER kill ON " + t + "; DROP FUNCTION " + t + "_kill()");
    expectWindowWorks();
}

TEST_F(PgFault, TheConnectionIsKilledFromOutsideWhileTheInsertsRun) {
    const std::string t = MakeFaultTable("outerkill");
    // The third insert waits until the killer ends its connection; should
    // no one come, the wait ends by itself and the replace succeeds, which
    // fails the test rather than hanging it.
    admin_->Exec("CREATE FUNCTION " + t + "_wait() RETURNS trigger LANGUAGE plpgsql AS "
                 "$$BEGIN PERFORM pg_sleep(30); RETURN NEW; END$$;"
                 "CREATE TRIGGER wait BEFORE INSERT ON " + t + " FOR EACH ROW WHEN (NEW.id = 3) EXECUTE FUNCTION " +
                 t + "_wait()");
    read(t);
    arm(t);

    std::atomic<bool> killed{false};
    std::string killerError;
    std::thread killer([&] {
        try {
            PgAdmin other;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(25);
            while (std::chrono::steady_clock::now() < deadline) {
                const std::string pid = other.Scalar(
                    "SELECT pid FROM pg_stat_activity WHERE wait_event = 'PgSleep' AND query LIKE 'INSERT INTO " + t +
                    " %'");
                if (!pid.empty()) {
                    killed = other.Scalar("SELECT pg_terminate_backend(" + pid + ")") == "t";
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        } catch (const std::exception& e) {
            killerError = e.what();
        }
    });
    update();
    killer.join();
    EXPECT_TRUE(killed) << killerError;
    expectSurvived("08006", {5});
    EXPECT_TRUE(reports()[0].text.contains("terminating connection due to administrator command"))
        << reports()[0].text.toStdString();
    admin_->Exec("DROP TRIGGER wait ON " + t + "; DROP FUNCTION " + t + "_wait()");
    expectWindowWorks();
}

TEST_F(PgFault, AnUnwritableSnapshotFolderStopsTheUpdateBeforeTheDelete) {
    const std::string t = MakeFaultTable("snapfolder");
    read(t);
    setCell(3, 3, "changed");
    arm(t);
    QFile blocker(path("backup"));  // a file where the folder should be
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    ServerLog log;
    update();
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_TRUE(reports()[0].text.startsWith("Error Code:75\r\n")) << reports()[0].text.toStdString();
    EXPECT_EQ(Versions(t), versions_);
    EXPECT_EQ(gridCells(), grid_);
    EXPECT_TRUE(redRows().empty());
    const auto sent = log.sessionOf("SELECT * FROM " + t);
    ASSERT_FALSE(sent.empty());
    for (const std::string& s : sent) EXPECT_EQ(s.find("DELETE"), std::string::npos) << s;
    EXPECT_EQ(sent.back(), "ROLLBACK");
    ASSERT_TRUE(QFile::remove(path("backup")));
    expectWindowWorks();
}

TEST_F(PgFault, AConstraintCheckedAtCommitFailsTheCommitAndMarksNoRow) {
    const std::string t = MakeFaultTable("deferred", ", UNIQUE (code) DEFERRABLE INITIALLY DEFERRED");
    read(t);
    setCell(7, 2, "A  ");  // the same code as row 3, found out only at COMMIT
    arm(t);
    ServerLog log;
    update();
    expectSurvived("23505", {});
    const auto sent = log.sessionOf("DELETE FROM " + t);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), "COMMIT");
    expectWindowWorks();
}

}  // namespace
