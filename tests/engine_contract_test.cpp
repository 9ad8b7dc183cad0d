// What every engine promises the commands, checked once for all six routes a
// host text can take: the embedded SQLite engine, PostgreSQL and MariaDB
// through their own engines, and the same three databases through their ODBC
// drivers. CTest runs this program once per route (--route=NAME); run alone,
// it runs every route. Where a route cannot do what the others do (a file has
// no login, SQLite keeps no comments), its capabilities say so and the case
// checks what that route does instead, naming it in the log.
//
// The window-level type zoo (type_zoo_test.cpp) is part of this program and
// runs on the same routes.

#include "db/engine.h"
#include "db/error.h"
#include "tests/error_of.h"
#include "tests/dead_port.h"
#include "tests/test_databases.h"
#include "writeback/literals.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

// Failures show texts as text.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

using namespace velkin;
using test::Engine;
using velkin::testing::ErrorOf;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// ---------------------------------------------------------------------------
// The routes

// What a route's failure must carry: a number (any of those given), a
// SQLSTATE and a piece of its description; what is left out is not checked.
struct Refusal {
    std::vector<int32_t> numbers;
    const char* sqlState = nullptr;
    const char* text = nullptr;
    const char* start = nullptr;  // how the description begins
};

void ExpectRefusal(const Error& e, const Refusal& expected) {
    const std::string description = e.Description().toStdString();
    if (!expected.numbers.empty())
        EXPECT_NE(std::find(expected.numbers.begin(), expected.numbers.end(), e.Number()), expected.numbers.end())
            << "number " << e.Number() << ": " << description;
    if (expected.sqlState) EXPECT_EQ(e.SqlState(), expected.sqlState) << description;
    if (expected.text) EXPECT_TRUE(e.Description().contains(QString::fromUtf8(expected.text), Qt::CaseInsensitive))
        << "no \"" << expected.text << "\" in: " << description;
    if (expected.start) EXPECT_TRUE(e.Description().startsWith(QString::fromUtf8(expected.start))) << description;
}

// PostgreSQL's number for a SQLSTATE: the code read in base 36.
constexpr int32_t PostgresNumber(const char (&state)[6]) {
    int32_t number = 0;
    for (int i = 0; i < 5; ++i) number = number * 36 + (state[i] <= '9' ? state[i] - '0' : state[i] - 'A' + 10);
    return number;
}

struct Route {
    const char* name;     // CTest's engine_contract_<name>
    const char* zooName;  // the same route among the type zoo's
    Engine engine;
    bool odbc;
    DialectKind dialect;
    DateLiteralForm dateForm;

    // What the route does as every other route does, unless it says otherwise.
    struct Can {
        bool checkLogins = true;      // false: a file opens whatever the user and password
        bool makeLogins = true;       // the test's login may create another one
        bool beEndedByOthers = true;  // another session can end this one's connection
        bool keepComments = true;     // the catalogue keeps a comment for a table
        bool checkLengths = true;     // a text longer than its column is refused
        bool stripVarying = true;     // without the no-strip option, VARCHAR loses trailing blanks too
        bool refuseLockWaitsItself = true;    // false: the data source's own Timeout is the wait
        bool sendBeyondBmp = true;            // a statement may hold characters beyond the BMP (emoji)
        bool nameColumnsBeyondAscii = true;   // a column's name beyond ASCII comes whole
        bool takeValuesList = true;           // a bare VALUES list is a query
        bool takeEndingLineComment = true;    // a query may end in "-- comment"
        bool takeCommentAfterSemicolon = true;  // "statement; -- comment" is one statement
    } can;

    // The standard table's columns as the route describes them (test::Columns).
    const char* columns;
    // Nullable, 1 or 0, of the columns of a join: e.code AS c, e.name, d.id
    // (NOT NULL, the outer side), d.title, e.note, e.seq + 1, 1, e.name || 'x'.
    const char* joinNullOk = "00011111";

    // What each failure carries: a wrong password; no server at the port (a
    // file in no folder); a database that does not exist; transaction calls
    // before open, begin twice, commit without begin; a
    // value past the last record; a dynaset of a statement that reads nothing;
    // a syntax error; a missing table; a text of two statements; a row refused
    // for its key, a NULL, a text too long, a CHECK; a lock another session
    // holds; the rollback after the connection ended, if it reports that.
    Refusal wrongPassword, unreachable, missingDatabase, notOpen, nestedBegin, commitWithoutBegin, noCurrentRecord,
        notAQuery, syntax, missingTable, secondStatement, duplicateKey, notNull, tooLong, check, locked, lost;

    // The ON DELETE rule the catalogue gives a key declared without one.
    const char* keyWithoutRule = "NO ACTION";
    // A statement that cannot stand as a subquery, and its record count;
    // none where the count never runs the query as one.
    const char* notASubquery = nullptr;
    int32_t notASubqueryCount = 0;
};

Refusal Number(std::vector<int32_t> numbers, const char* text = nullptr) { return {std::move(numbers), nullptr, text}; }
Refusal State(const char* sqlState, const char* text = nullptr) { return {{}, sqlState, text}; }

const Route kRoutes[] = {
    {.name = "sqlite", .zooName = "sqlite", .engine = Engine::SQLite, .odbc = false,
     .dialect = DialectKind::SQLite, .dateForm = DateLiteralForm::ToDate,
     .can = {.checkLogins = false, .makeLogins = false, .beEndedByOthers = false, .keepComments = false,
             .checkLengths = false},
     .columns = "code CHAR/5/0 NOT NULL, name VARCHAR2/20/0 NOT NULL, salary NUMBER/10/2, rate NUMBER/39/0, "
                "hired DATE/7/0, seen DATE/7/0, seq NUMBER/39/0 NOT NULL, big NUMBER/39/0, note VARCHAR2/100/0",
     .unreachable = Number({SQLITE_CANTOPEN}, "no/such/dir/x.db"), .notOpen = Number({SQLITE_ERROR}),
     .nestedBegin = Number({SQLITE_ERROR}), .commitWithoutBegin = Number({SQLITE_ERROR}),
     .noCurrentRecord = Number({SQLITE_ERROR}), .notAQuery = Number({SQLITE_ERROR}), .syntax = Number({SQLITE_ERROR}),
     .missingTable = Number({SQLITE_ERROR}, "no such table"), .secondStatement = Number({SQLITE_ERROR}),
     .duplicateKey = Number({SQLITE_CONSTRAINT_PRIMARYKEY}), .notNull = Number({SQLITE_CONSTRAINT_NOTNULL}),
     .check = Number({SQLITE_CONSTRAINT_CHECK}), .locked = Number({SQLITE_BUSY}),
     .notASubquery = "PRAGMA table_info(%T)", .notASubqueryCount = 9},
    {.name = "postgres", .zooName = "pg", .engine = Engine::PostgreSQL, .odbc = false,
     .dialect = DialectKind::PostgreSQL, .dateForm = DateLiteralForm::ToDate,
     .can = {.stripVarying = false},
     .columns = "code CHAR/5/0 NOT NULL, name VARCHAR2/20/0 NOT NULL, salary NUMBER/10/2, rate NUMBER/39/0, "
                "hired DATE/7/0, seen DATE/11/0, seq NUMBER/11/0 NOT NULL, big NUMBER/20/0, note VARCHAR2/100/0",
     .wrongPassword = {{PostgresNumber("08001")}, "08001", "password authentication failed", "SQLSTATE 08001: "},
     .unreachable = State("08001", "refused"), .missingDatabase = State("08001", "no_such_database"),
     .notOpen = State("08003"), .nestedBegin = State("25001"), .commitWithoutBegin = State("25P01"),
     .noCurrentRecord = State("24000"), .notAQuery = State("42601"), .syntax = State("42601"),
     .missingTable = {{PostgresNumber("42P01")}, "42P01"}, .secondStatement = State("42601"),
     .duplicateKey = {{PostgresNumber("23505")}, "23505", "\r\nKey (id)=(5) already exists.",
                      "SQLSTATE 23505: duplicate key value"},
     .notNull = State("23502"), .tooLong = State("22001"), .check = State("23514"),
     .locked = {{PostgresNumber("55P03")}, "55P03"}, .lost = State("08006")},
    {.name = "mysql", .zooName = "maria", .engine = Engine::MariaDB, .odbc = false,
     .dialect = DialectKind::MySQL, .dateForm = DateLiteralForm::StandardDate,
     .can = {.makeLogins = false, .stripVarying = false},
     .columns = "code CHAR/5/0 NOT NULL, name VARCHAR2/20/0 NOT NULL, salary NUMBER/10/2, rate NUMBER/39/10, "
                "hired DATE/7/0, seen DATE/11/0, seq NUMBER/11/0 NOT NULL, big NUMBER/20/0, note VARCHAR2/100/0",
     .joinNullOk = "00111001",
     .wrongPassword = Number({1045}, "Access denied"), .unreachable = Number({2002, 2003}, "Can't connect"),
     .missingDatabase = Number({1044, 1049}, "no_such_database"), .notOpen = Number({2006}),
     .nestedBegin = Number({2014}), .commitWithoutBegin = Number({2014}), .noCurrentRecord = Number({2051}),
     .notAQuery = Number({2052}), .syntax = Number({1064}), .missingTable = Number({1146}),
     .secondStatement = Number({1064}), .duplicateKey = Number({1062}), .notNull = Number({1048}),
     .tooLong = Number({1406}, "name"), .check = Number({4025}), .locked = Number({1205}), .lost = Number({2006}),
     .keyWithoutRule = "RESTRICT",
     .notASubquery = "SHOW VARIABLES LIKE 'innodb_lock_wait_timeout'", .notASubqueryCount = 1},
    {.name = "odbc_sqlite", .zooName = "odbc_sqlite", .engine = Engine::SQLite, .odbc = true,
     .dialect = DialectKind::SQLite, .dateForm = DateLiteralForm::IsoText,
     .can = {.checkLogins = false, .makeLogins = false, .beEndedByOthers = false, .keepComments = false,
             .checkLengths = false, .refuseLockWaitsItself = false, .sendBeyondBmp = false,
             .nameColumnsBeyondAscii = false, .takeValuesList = false, .takeCommentAfterSemicolon = false},
     .columns = "code CHAR/5/0 NOT NULL, name VARCHAR2/20/0 NOT NULL, salary NUMBER/10/2, rate NUMBER/39/0, "
                "hired DATE/7/0, seen DATE/7/0, seq NUMBER/11/0 NOT NULL, big NUMBER/11/0, note VARCHAR2/100/0",
     .joinNullOk = "10011111",
     .unreachable = Number({SQLITE_CANTOPEN}, "connect failed"), .notOpen = State("08003"),
     .nestedBegin = State("25001"), .commitWithoutBegin = State("25000"), .noCurrentRecord = State("24000"),
     .notAQuery = State("07005"), .syntax = State("07005"), .missingTable = State("HY000", "no such table"),
     .secondStatement = State("42000"),
     .duplicateKey = Number({SQLITE_CONSTRAINT}, "UNIQUE constraint failed"),
     .notNull = Number({SQLITE_CONSTRAINT}, "NOT NULL constraint failed"),
     .check = Number({SQLITE_CONSTRAINT}, "CHECK constraint failed"), .locked = {.text = "locked"},
     .notASubquery = "PRAGMA table_info(%T)", .notASubqueryCount = 9},
    {.name = "odbc_postgres", .zooName = "odbc_pg", .engine = Engine::PostgreSQL, .odbc = true,
     .dialect = DialectKind::PostgreSQL, .dateForm = DateLiteralForm::ToDate,
     .can = {.takeEndingLineComment = false},
     .columns = "code CHAR/5/0 NOT NULL, name VARCHAR2/20/0 NOT NULL, salary NUMBER/10/2, rate NUMBER/29/6, "
                "hired DATE/7/0, seen DATE/7/0, seq NUMBER/11/0 NOT NULL, big NUMBER/20/0, note VARCHAR2/100/0",
     .wrongPassword = {{}, "08001", "password authentication failed", "[SQLSTATE 08001] "},
     .unreachable = State("08001"), .missingDatabase = State("08001", "no_such_database"), .notOpen = State("08003"),
     .nestedBegin = State("25001"), .commitWithoutBegin = State("25000"), .noCurrentRecord = State("24000"),
     .notAQuery = State("07005"), .syntax = State("42601"), .missingTable = State("42P01"),
     .secondStatement = State("42000"),
     .duplicateKey = State("23505"), .notNull = {{}, "23502", nullptr, "[SQLSTATE 23502] "},
     .tooLong = State("22001"), .check = State("23514"), .locked = State("55P03"),
     .notASubquery = "SHOW search_path", .notASubqueryCount = 1},
    {.name = "odbc_mariadb", .zooName = "odbc_maria", .engine = Engine::MariaDB, .odbc = true,
     .dialect = DialectKind::MySQL, .dateForm = DateLiteralForm::StandardDate,
     .can = {.makeLogins = false, .takeValuesList = false},
     .columns = "code CHAR/5/0 NOT NULL, name VARCHAR2/20/0 NOT NULL, salary NUMBER/10/2, rate NUMBER/39/10, "
                "hired DATE/7/0, seen DATE/7/0, seq NUMBER/11/0 NOT NULL, big NUMBER/21/0, note VARCHAR2/100/0",
     .joinNullOk = "00011001",
     .wrongPassword = Number({1045}, "Access denied"), .unreachable = Number({2002, 2003}, "Can't connect"),
     .missingDatabase = Number({1044, 1049}, "no_such_database"), .notOpen = State("08003"),
     .nestedBegin = State("25001"), .commitWithoutBegin = State("25000"), .noCurrentRecord = State("24000"),
     .notAQuery = State("07005"), .syntax = State("07005"), .missingTable = Number({1146}),
     .secondStatement = State("42000"), .duplicateKey = Number({1062}), .notNull = Number({1048}),
     .tooLong = Number({1406}), .check = Number({4025}), .locked = Number({1205}),
     .lost = {{2006}, "08S01"}, .keyWithoutRule = "RESTRICT",
     .notASubquery = "SHOW VARIABLES LIKE 'innodb_lock_wait_timeout'", .notASubqueryCount = 1},
};

// The routes this run takes: the one named by --route, else all of them.
std::vector<const Route*>& Chosen() {
    static std::vector<const Route*> chosen;
    return chosen;
}

// ---------------------------------------------------------------------------
// Reading

using test::Read;
using test::Row;
using test::Values;
const std::optional<QString> kNull;
std::optional<QString> S(const char* text) { return QString::fromUtf8(text); }

// ---------------------------------------------------------------------------
// The fixture

class Contract : public ::testing::TestWithParam<const Route*> {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        // A missing server fails here: its admin session cannot connect.
        if (file()) admin_ = std::make_unique<test::SqliteAdmin>(File("contract.db"));
        else if (route().engine == Engine::PostgreSQL) admin_ = std::make_unique<test::PgAdmin>();
        else admin_ = std::make_unique<test::MyAdmin>();
        tables_ = std::make_unique<test::Tables>(*admin_, route().engine, "c_");
    }
    void TearDown() override { tables_.reset(); }

    const Route& route() const { return *GetParam(); }
    bool file() const { return route().engine == Engine::SQLite; }
    std::string File(const std::string& name) const { return dir_.filePath(Q(name)).toStdString(); }

    // The route's host text for `database` (a file name for SQLite; the test
    // database by default), or for the test server's database at `port`.
    std::string Host(const std::string& database = "", int port = 0) const {
        if (file()) {
            const std::string path = File(database.empty() ? "contract.db" : database);
            return (route().odbc ? "odbc:DRIVER={SQLite3};Database=" : "sqlite:") + path;
        }
        const bool my = route().engine == Engine::MariaDB;
        test::Place at = my ? test::MyPlace() : test::PgPlace();
        if (!database.empty()) at.database = database;
        if (port) at.port = port;
        if (my) return route().odbc ? test::MyOdbcHost(at) : test::MyHost(at);
        return route().odbc ? test::PgOdbcHost(at) : test::PgHost(at);
    }
    std::string Login() const {
        return file() ? "scott/tiger" : route().engine == Engine::PostgreSQL ? test::PgLogin() : test::MyLogin();
    }

    using Opened = test::Opened;
    Opened Open(OpenOption option = OpenOption::NoLockWait, const std::string& login = "", const std::string& host = "") const {
        return test::Open(Q(host.empty() ? Host() : host), Q(login.empty() ? Login() : login), option);
    }

    // `sql` with %T replaced by `table`.
    static QString Sql(std::string sql, const std::string& table) {
        for (size_t at; (at = sql.find("%T")) != std::string::npos;) sql.replace(at, 2, table);
        return Q(sql);
    }
    // `a` and `b` joined as text in the database's own words.
    std::string Concat(const std::string& a, const std::string& b) const {
        return route().engine == Engine::MariaDB ? "CONCAT(" + a + ", " + b + ")" : a + " || " + b;
    }
    std::string Count(const std::string& table) { return admin_->Column("SELECT count(*) FROM " + table); }
    // A column of `table` as the admin session sees it, ordered by id.
    std::string Column(const std::string& column, const std::string& table) {
        return admin_->Column("SELECT " + column + " FROM " + table + " ORDER BY id");
    }

    // A case this route cannot take as the others do: said in the log and
    // the test report; the case then checks what the route does instead.
    void Instead(const std::string& what) {
        RecordProperty("instead", what);
        std::printf("[ %s: %s ]\n", route().name, what.c_str());
    }

    QTemporaryDir dir_;
    std::unique_ptr<test::Admin> admin_;
    std::unique_ptr<test::Tables> tables_;
};

INSTANTIATE_TEST_SUITE_P(Routes, Contract, ::testing::ValuesIn(Chosen()),
                         [](const auto& info) { return std::string(info.param->name); });

// ---------------------------------------------------------------------------
// Connecting

TEST_P(Contract, HostTextChoosesTheEngineAndItsDialect) {
    const QString host = Q(Host());
    // Without connecting, an ODBC source is known by its driver; a session
    // knows its database only once it is open.
    EXPECT_EQ(DialectForHost(host).kind(), route().dialect);
    EXPECT_EQ(DialectForHost(host).dateLiteralForm(), route().dateForm);
    EXPECT_EQ(CreateConnection(host)->dialect().kind(), route().odbc ? DialectKind::Oracle : route().dialect)
        << "before open";
    Opened o = Open();
    const Dialect dialect = o->dialect();
    EXPECT_EQ(dialect.kind(), route().dialect);
    EXPECT_EQ(dialect.dateLiteralForm(), route().dateForm);
    EXPECT_EQ(dialect.discoveryQuery("SELECT * FROM t"), "SELECT * FROM t LIMIT 1");
    EXPECT_EQ(dialect.deleteAll("t"), "DELETE FROM t");
}

TEST_P(Contract, LoginsRefuseAWrongPasswordAndTakeAnyOtherWhole) {
    if (!route().can.checkLogins) {
        Instead("a file has no logins: any user and password open it, a wrong one or an empty one too");
        EXPECT_NO_THROW(Open(OpenOption::NoLockWait, "scott/wrong"));
        EXPECT_NO_THROW(Open(OpenOption::NoLockWait, "/")->execute("CREATE TABLE t (a INTEGER)"));
        EXPECT_EQ(Count("t"), "0");
        return;
    }
    const std::string user = Login().substr(0, Login().find('/'));
    const Error wrong = ErrorOf([&] { Open(OpenOption::WaitForLocks, user + "/not-the-password"); });
    EXPECT_NE(wrong.Number(), 0);
    ExpectRefusal(wrong, route().wrongPassword);
    if (!route().can.makeLogins) {
        Instead("the test login may not create logins: the password is shown to go whole to the server");
        ExpectRefusal(ErrorOf([&] { Open(OpenOption::NoLockWait, Login() + "/more"); }), route().wrongPassword);
        EXPECT_EQ(Read(*Open(), "SELECT SUBSTRING_INDEX(CURRENT_USER(), '@', 1)")[0][0], Q(user));
        return;
    }
    // Only the first "/" divides user from password; ";" and "}" need braces in an ODBC connection string.
    const std::string role = tables_->Name("login");
    const std::string password = "a/b c'd\\e=f;g}h/日本";
    admin_->Exec("DROP ROLE IF EXISTS " + role + "; CREATE ROLE " + role + " LOGIN PASSWORD 'a/b c''d\\e=f;g}h/日本'");
    tables_->AtEnd("DROP ROLE IF EXISTS " + role);
    EXPECT_EQ(Read(*Open(OpenOption::WaitForLocks, role + "/" + password), "SELECT current_user")[0][0], Q(role));
}

TEST_P(Contract, UnreachableDatabaseFailsAtOnceAndLeavesNothingOpen) {
    std::optional<test::DeadPort> port;
    if (file()) Instead("a file has no server: a file in a folder that does not exist stands for one that cannot be reached");
    else port.emplace();
    const std::string host = file() ? Host("no/such/dir/x.db") : Host("", port->port);
    auto session = CreateConnection(Q(host));
    const auto start = std::chrono::steady_clock::now();
    const Error e = ErrorOf([&] { session->open(Q(host), Q(Login()), OpenOption::NoLockWait); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ExpectRefusal(e, route().unreachable);
    if (file()) EXPECT_FALSE(QFile::exists(Q(File("no"))));
    // Nothing was left open: the session refuses transaction calls, as one never opened does.
    for (const auto& unopened : {std::move(session), CreateConnection(Q(Host()))}) {
        EXPECT_NO_THROW(unopened->rollback()) << "failure handlers roll back without knowing what was opened";
        ExpectRefusal(ErrorOf([&] { unopened->begin(); }), route().notOpen);
        ExpectRefusal(ErrorOf([&] { unopened->commit(); }), route().notOpen);
    }
}

TEST_P(Contract, MissingDatabaseIsRefusedOrMade) {
    if (file()) {
        Instead("a file that does not exist is made");
        ASSERT_FALSE(QFile::exists(Q(File("new.db"))));
        Open(OpenOption::NoLockWait, "", Host("new.db"))->execute("CREATE TABLE t (a INTEGER)");
        EXPECT_TRUE(QFile::exists(Q(File("new.db"))));
        return;
    }
    ExpectRefusal(ErrorOf([&] { Open(OpenOption::WaitForLocks, "", Host("no_such_database")); }), route().missingDatabase);
}

// ---------------------------------------------------------------------------
// Columns

// The read learns its columns from the discovery query, rows or none.
TEST_P(Contract, DiscoveryQueryDescribesTheColumnsOfAnEmptyTable) {
    const std::string t = tables_->Make("empty", test::Tables::StandardColumns(route().engine));
    Opened o = Open();
    auto dynaset = o->openCursor(o->dialect().discoveryQuery(Sql("SELECT * FROM %T", t)),
                                         CursorOption::KeepTrailingBlanks);
    EXPECT_TRUE(dynaset->atEnd());
    EXPECT_EQ(dynaset->size(), 0);
    dynaset->first();
    EXPECT_TRUE(dynaset->atEnd());
    EXPECT_EQ(test::Columns(*dynaset), route().columns);
    for (int32_t index : {-1, 9, 1000, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(ErrorOf([&] { dynaset->column(index); }).Number(), Error::kSubscriptOutOfRange) << index;
        EXPECT_EQ(ErrorOf([&] { dynaset->value(index); }).Number(), Error::kSubscriptOutOfRange) << index;
    }
}

TEST_P(Contract, NullabilityFollowsTheTableColumnThroughAliasesAndJoins) {
    const std::string e = tables_->MakeStandard();
    const std::string d = tables_->Make("dept", "id INTEGER NOT NULL, title VARCHAR(10)");
    Opened o = Open();
    auto dynaset = o->openCursor(
        Sql("SELECT e.code AS c, e.name, d.id, d.title, e.note, e.seq + 1 AS next, 1 AS one, " +
                Concat("e.name", "'x'") + " AS shout FROM %T e LEFT JOIN " + d + " d ON d.id = e.seq",
            e),
        CursorOption::KeepTrailingBlanks);
    ASSERT_EQ(dynaset->columnCount(), 8);
    EXPECT_EQ(dynaset->column(0).name, "c");
    EXPECT_EQ(dynaset->column(2).name, "id");
    EXPECT_EQ(dynaset->column(0).kind, ColumnKind::FixedChar);
    EXPECT_EQ(dynaset->column(0).size, 5);
    EXPECT_EQ(dynaset->column(5).kind, ColumnKind::Number);
    EXPECT_EQ(dynaset->column(6).kind, ColumnKind::Number);
    EXPECT_EQ(dynaset->column(7).kind, ColumnKind::Text);
    std::string nullOk;
    for (int i = 0; i < 8; ++i) nullOk += dynaset->column(i).nullable ? '1' : '0';
    EXPECT_EQ(nullOk, route().joinNullOk);
}

// ---------------------------------------------------------------------------
// Values

TEST_P(Contract, ValuesComeInTheFormsTheReadNeeds) {
    const std::string t = tables_->MakeStandard();
    Opened o = Open();
    auto dynaset = o->openCursor(Sql("SELECT * FROM %T ORDER BY seq", t), CursorOption::KeepTrailingBlanks);
    auto row = [&] {
        Values values;
        std::string scratch;
        for (int i = 0; i < dynaset->columnCount(); ++i) {
            values.push_back(dynaset->value(i));
            // The read takes values as UTF-8 bytes: they must be the same text.
            const std::optional<std::string_view> bytes = dynaset->utf8Value(i, scratch);
            EXPECT_EQ(bytes.has_value(), values.back().has_value());
            if (bytes && values.back()) EXPECT_EQ(FromUtf8(*bytes), *values.back());
        }
        return values;
    };
    // CHAR has its declared length; numbers come in plain decimal, every digit
    // kept; dates and timestamps as ISO text; '' is not NULL.
    ASSERT_FALSE(dynaset->atEnd());
    EXPECT_EQ(row(), (Values{S("A0001"), S("山田 太郎"), S("1234.5"), S("0.1"), S("2024-01-31"), S("2024-01-31 12:34:56"),
                             S("1"), S("-9007199254740993"), kNull}));
    dynaset->next();
    EXPECT_EQ(row(), (Values{S("AB   "), S("Smith  "), kNull, S("100000000000000000000"), kNull, kNull, S("2"), kNull,
                             S("trailing   ")}));
    dynaset->next();
    EXPECT_EQ(row(), (Values{S("C3   "), S("ｶﾀｶﾅ"), S("-0.5"), S("42"), S("1999-12-31"), S("2000-02-29 00:00:00"),
                             S("3"), S("0"), S("")}));
    dynaset->next();
    EXPECT_EQ(row(), (Values{S("     "), S("表's"), S("0"), S("0.00000015"), S("0001-01-01"), kNull, S("4"),
                             S("9223372036854775807"), S("  blanks kept  ")}));
    dynaset->next();
    EXPECT_TRUE(dynaset->atEnd());
    dynaset->next();  // stays past the end instead of starting over
    EXPECT_TRUE(dynaset->atEnd());
    ExpectRefusal(ErrorOf([&] { dynaset->value(0); }), route().noCurrentRecord);
    dynaset->first();
    ASSERT_FALSE(dynaset->atEnd());
    EXPECT_EQ(dynaset->value(6), "1");

    // Exact decimals lose no digit and gain no zero.
    EXPECT_EQ(Read(*o, "SELECT CAST(0 AS DECIMAL(5,2)), CAST(-0.5 AS DECIMAL(5,2)), CAST(-12.34 AS DECIMAL(9,4)), "
                          "CAST(100 AS DECIMAL(5,0)), CAST(10 AS DECIMAL(5,1))"),
              (std::vector<Values>{{S("0"), S("-0.5"), S("-12.34"), S("100"), S("10")}}));
}

TEST_P(Contract, WithoutTheNoStripOptionTrailingBlanksGo) {
    const std::string t = tables_->MakeStandard();
    Opened o = Open();
    const auto rows = Read(*o, Sql("SELECT code, name, note FROM %T WHERE seq = 2", t), CursorOption::StripTrailingBlanks);
    ASSERT_EQ(rows.size(), 1u);
    if (route().can.stripVarying) {
        EXPECT_EQ(rows[0], (Values{S("AB"), S("Smith"), S("trailing")}));
    } else {
        Instead("only CHAR loses its blanks; variable character data comes as stored");
        EXPECT_EQ(rows[0], (Values{S("AB"), S("Smith  "), S("trailing   ")}));
    }
}

TEST_P(Contract, LongValuesArriveWhole) {
    QString big;
    for (int i = 0; big.size() < 100000; ++i) big += QStringLiteral("行%1;").arg(i);
    const char* type = route().engine == Engine::MariaDB ? "LONGTEXT" : "TEXT";
    const std::string t = tables_->Make("doc", std::string("body ") + type);
    admin_->Exec("INSERT INTO " + t + " VALUES ('" + big.toStdString() + "')");
    Opened o = Open();
    const auto rows = Read(*o, Sql("SELECT body, " + Concat("body", "'end'") + " FROM %T", t));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], big);
    EXPECT_EQ(rows[0][1], big + "end");
}

// Texts built to end a literal early are stored exactly as typed when
// written with the program's own literals.
TEST_P(Contract, TextsThatCouldEndALiteralAreStoredAsTyped) {
    const std::string t = tables_->Make("hostile", "id INTEGER PRIMARY KEY, v VARCHAR(60)");
    const char* texts[] = {"'); DROP TABLE x; --", "\\", "a\\'b", "ends with \\", "\\0 and \\n",
                           "\"quoted\" `tick`", "' || (SELECT 1) || '", "/* c */ -- d",
                           "😀 日本語"};  // the last beyond the BMP
    const size_t sent = std::size(texts) - (route().can.sendBeyondBmp ? 0 : 1);
    Opened o = Open();
    o->begin();
    for (size_t i = 0; i < std::size(texts); ++i)
        o->execute(Q("INSERT INTO " + t + " (\"id\", \"v\") VALUES (" + std::to_string(i + 1) + ",") +
                         CellLiteral("VARCHAR2", QString::fromUtf8(i < sent ? texts[i] : "日本語")) + ")");
    if (sent < std::size(texts)) {
        Instead("the driver manager cannot hand this driver characters beyond the BMP: refused");
        EXPECT_THROW(o->execute(Q("INSERT INTO " + t + " (\"id\", \"v\") VALUES (99,") +
                                      CellLiteral("VARCHAR2", QString::fromUtf8(texts[sent])) + ")"),
                     Error);
    }
    o->commit();
    const auto rows = Read(*o, Sql("SELECT v FROM %T ORDER BY id", t));
    ASSERT_EQ(rows.size(), std::size(texts));
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i][0], QString::fromUtf8(i < sent ? texts[i] : "日本語"));
}

// Every kind of value read and written back as the replace writes it (the
// program's own literals, quoted Japanese names) comes back unchanged.
TEST_P(Contract, ValuesWrittenBackWithTheProgramsLiteralsComeBackUnchanged) {
    std::string key = "\"番号\"";
    if (!route().can.nameColumnsBeyondAscii) {
        // A gap of the driver's: it misreads a statement naming a column beyond ASCII.
        Instead("a statement naming a column beyond ASCII is misread by the driver: the key is named in ASCII");
        const auto named = Open()->openCursor("SELECT 1 AS \"番号\"", CursorOption::KeepTrailingBlanks);
        EXPECT_EQ(named->column(0).name, "番号") << "the name itself comes whole";
        key = "\"bango\"";
    }
    const std::string t =
        tables_->Make("型表", key + " INTEGER NOT NULL PRIMARY KEY, " + test::Tables::StandardColumns(route().engine));
    // A backslash and apostrophes in the text; MariaDB's admin session reads a backslash as an escape.
    const std::string name = "名前 'q' \\ x ";
    std::string quoted = name;
    for (size_t at = 0; (at = quoted.find_first_of(route().engine == Engine::MariaDB ? "'\\" : "'", at)) != std::string::npos; at += 2)
        quoted.insert(at, 1, quoted[at]);
    admin_->Exec("INSERT INTO " + t + " VALUES (1, 'ab', '" + quoted + "', 12345.67, 0.0001, '2024-01-31', "
                 "'2024-02-29 13:14:15', -7, -90071992547409, 'テキスト')");
    Opened o = Open();
    auto read = o->openCursor(Sql("SELECT * FROM %T", t), CursorOption::KeepTrailingBlanks);
    ASSERT_EQ(read->columnCount(), 10);
    const Values before = Row(*read);
    // Each cell as the grid shows it (a date as yyyymmdd, with its time if it has one), the key changed.
    QString columns, values;
    for (int i = 0; i < 10; ++i) {
        const ColumnKind type = read->column(i).kind;
        QString cell = i == 0 ? QStringLiteral("2") : before[i].value_or(QString());
        if (type == ColumnKind::Date) cell = cell.left(10).remove('-') + cell.mid(10);
        const char* typeName = type == ColumnKind::FixedChar ? "CHAR" : type == ColumnKind::Text ? "VARCHAR2"
                               : type == ColumnKind::Number ? "NUMBER" : type == ColumnKind::Date ? "DATE" : "ETC";
        columns += (i ? "," : "") + QuotedIdentifier(read->column(i).name);
        values += (i ? "," : "") + CellLiteral(typeName, cell, o->dialect());
    }
    read.reset();
    o->begin();
    o->requireTransactionalTable(Q(t));
    EXPECT_EQ(o->execute(Q("INSERT INTO " + t + " (") + columns + ") VALUES (" + values + ")"), 1);
    o->commit();
    const auto rows = Read(*o, Sql("SELECT * FROM %T ORDER BY " + key, t));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][0], "2");
    EXPECT_EQ(Values(rows[1].begin() + 1, rows[1].end()), Values(before.begin() + 1, before.end()));
    EXPECT_EQ(admin_->Column("SELECT name FROM " + t), name + "|" + name);
}

// ---------------------------------------------------------------------------
// Dynasets

TEST_P(Contract, RecordCountIsExactWhateverTheQueryLooksLike) {
    const std::string t = tables_->MakeStandard();
    Opened o = Open();
    const std::pair<std::string, int> cases[] = {
        {"SELECT * FROM %T", 4},
        {"SELECT * FROM %T WHERE seq > 1 ORDER BY 1 ,2", 3},
        {"SELECT * FROM %T;", 4},
        {"SELECT * FROM %T LIMIT 1", 1},
        {"WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 17) SELECT x FROM c", 17},
        {"SELECT code, code FROM %T", 4},
        {"SELECT * FROM %T WHERE seq < 0", 0},
    };
    std::vector<std::pair<std::string, int>> all(std::begin(cases), std::end(cases));
    if (route().can.takeValuesList) {
        all.emplace_back("VALUES (1), (2)", 2);
    } else {
        Instead("the driver reads a bare VALUES list as no query: refused before it runs");
        ExpectRefusal(ErrorOf([&] { o->openCursor("VALUES (1), (2)", CursorOption::KeepTrailingBlanks); }), route().notAQuery);
    }
    if (route().can.takeEndingLineComment) {
        all.emplace_back("SELECT * FROM %T -- the whole table", 4);
    } else {
        Instead("the driver's cursor cannot take a query that ends in a line comment: refused, on a connection of its own");
        Opened other = Open();
        EXPECT_THROW(other->openCursor(Sql("SELECT * FROM %T -- the whole table", t), CursorOption::KeepTrailingBlanks), Error);
    }
    if (route().notASubquery) {
        // Counted by running it, and the count that failed leaves the connection usable.
        all.emplace_back(route().notASubquery, route().notASubqueryCount);
        all.emplace_back("SELECT * FROM %T WHERE seq <= 2", 2);
    } else {
        Instead("the count reads through the query's cursor: no statement is run as a subquery");
    }
    for (const auto& [sql, count] : all) {
        SCOPED_TRACE(sql);
        try {
            auto dynaset = o->openCursor(Sql(sql, t), CursorOption::KeepTrailingBlanks);
            EXPECT_EQ(dynaset->size(), count);
            int visited = 0;
            for (dynaset->first(); !dynaset->atEnd(); dynaset->next()) ++visited;
            EXPECT_EQ(visited, count);
        } catch (const Error& e) {
            ADD_FAILURE() << e.what();
        }
    }
}

// Larger than any batch an engine reads at a time; counting in the middle keeps the place.
TEST_P(Contract, RecordCountOfALargeResultKeepsThePlace) {
    constexpr int kRows = 30000;
    Opened o = Open();
    // MariaDB stops a recursive query after 1000 rounds; its sequence tables have no such limit.
    const std::string numbers = route().engine == Engine::MariaDB
                                    ? "(SELECT seq AS x FROM seq_1_to_" + std::to_string(kRows) + ")"
                                    : "(WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < " +
                                          std::to_string(kRows) + ") SELECT x FROM c)";
    auto dynaset = o->openCursor(
        Q("SELECT x, " + Concat("'row '", "x") + " AS label FROM " + numbers + " n ORDER BY x;  "), CursorOption::KeepTrailingBlanks);
    for (int i = 0; i < 12345; ++i) dynaset->next();
    EXPECT_EQ(dynaset->value(0), "12346");
    EXPECT_EQ(dynaset->size(), kRows);
    EXPECT_EQ(dynaset->value(0), "12346");
    dynaset->next();
    EXPECT_EQ(dynaset->value(1), "row 12347");
    dynaset->first();
    EXPECT_EQ(dynaset->value(0), "1");
    int visited = 0;
    bool inOrder = true;
    for (; !dynaset->atEnd(); dynaset->next()) inOrder = inOrder && dynaset->value(0) == QString::number(++visited);
    EXPECT_EQ(visited, kRows);
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(dynaset->size(), kRows);
    dynaset->next();
    EXPECT_TRUE(dynaset->atEnd());
}

TEST_P(Contract, StatementsThatDoNotReadAreRefusedBeforeTheyRun) {
    const std::string t = tables_->MakeStandard();
    Opened o = Open();
    for (const std::string sql : {"DELETE FROM %T", "INSERT INTO %T SELECT * FROM %T", "CREATE TABLE %T_x (a INTEGER)"}) {
        SCOPED_TRACE(sql);
        ExpectRefusal(ErrorOf([&] { o->openCursor(Sql(sql, t), CursorOption::KeepTrailingBlanks); }), route().notAQuery);
    }
    EXPECT_THROW(o->openCursor("", CursorOption::KeepTrailingBlanks), Error);
    EXPECT_EQ(Count(t), "4");
    EXPECT_THROW(Count(t + "_x"), std::exception);
}

TEST_P(Contract, AFailedStatementSaysWhyAndLeavesTheConnectionUsable) {
    const std::string t = tables_->MakeStandard();
    Opened o = Open();
    ExpectRefusal(ErrorOf([&] { o->openCursor("SELEC nonsense", CursorOption::KeepTrailingBlanks); }), route().syntax);
    // Japanese in the database's message survives.
    const Error missing = ErrorOf([&] { o->openCursor("SELECT * FROM 存在しない表", CursorOption::KeepTrailingBlanks); });
    ExpectRefusal(missing, route().missingTable);
    EXPECT_TRUE(missing.Description().contains("存在しない表")) << missing.what();
    ExpectRefusal(ErrorOf([&] { o->execute("INSERT INTO 存在しない表 VALUES (1)"); }), route().missingTable);
    EXPECT_EQ(o->execute(Sql("DELETE FROM %T WHERE seq = 4", t)), 1);
    EXPECT_EQ(Count(t), "3");
}

TEST_P(Contract, CursorOutlivesItsConnection) {
    const std::string t = tables_->MakeStandard();
    Opened o = Open();
    auto dynaset = o->openCursor(Sql("SELECT name FROM %T ORDER BY seq", t), CursorOption::KeepTrailingBlanks);
    o = {};
    EXPECT_EQ(dynaset->value(0), "山田 太郎");
    EXPECT_EQ(dynaset->size(), 4);
    dynaset->next();
    EXPECT_EQ(dynaset->value(0), "Smith  ");
}

TEST_P(Contract, ADynasetSeesTheSessionsOwnUncommittedChanges) {
    const std::string t = tables_->MakeStandard();
    Opened o = Open();
    o->begin();
    o->execute(Sql("DELETE FROM %T WHERE seq = 1", t));
    auto dynaset = o->openCursor(Sql("SELECT * FROM %T", t), CursorOption::KeepTrailingBlanks);
    EXPECT_EQ(dynaset->size(), 3);
    o->rollback();
    dynaset.reset();
    EXPECT_EQ(Read(*o, Sql("SELECT count(*) FROM %T", t))[0][0], "4");
}

// As a read does: the main dynaset replaces the discovery one. Outside a
// transaction a statement is permanent at once: another session sees it.
TEST_P(Contract, OutsideATransactionEveryStatementIsPermanentAtOnce) {
    const std::string t = tables_->Make("overlap", "id INTEGER NOT NULL");
    admin_->Exec("INSERT INTO " + t + " VALUES (1), (2)");
    Opened o = Open();
    {
        auto discovery = o->openCursor(Sql("SELECT * FROM %T LIMIT 1", t), CursorOption::KeepTrailingBlanks);
        auto main = o->openCursor(Sql("SELECT * FROM %T ORDER BY 1", t), CursorOption::KeepTrailingBlanks);
        discovery = std::move(main);
        EXPECT_EQ(discovery->size(), 2);
    }
    EXPECT_EQ(o->execute(Sql("INSERT INTO %T VALUES (3)", t)), 1);
    EXPECT_EQ(Count(t), "3");
}

// ---------------------------------------------------------------------------
// Statements and transactions

TEST_P(Contract, ExecuteSqlReturnsTheRowsProcessed) {
    const std::string t = tables_->Name("exec");
    tables_->AtEnd("DROP TABLE IF EXISTS " + t);
    // Waiting allowed: on MariaDB the DDL below would otherwise fail at once
    // while another program's catalogue query has the table open.
    Opened o = Open(OpenOption::WaitForLocks);
    EXPECT_EQ(o->execute(Q("CREATE TABLE " + t + " (a INTEGER, b VARCHAR(10))")), 0);
    EXPECT_EQ(o->execute(Sql("INSERT INTO %T VALUES (1, 'a')", t)), 1);
    EXPECT_EQ(o->execute(Sql("INSERT INTO %T VALUES (2, 'b'), (3, 'c')", t)), 2);
    EXPECT_EQ(o->execute(Sql("INSERT INTO %T SELECT a + 10, b FROM %T UNION ALL SELECT 5, 'e'", t)), 4);
    EXPECT_EQ(o->execute(Sql("CREATE INDEX %T_a ON %T (a)", t)), 0) << "not the previous statement's count";
    EXPECT_EQ(o->execute(Sql("UPDATE %T SET b = 'z' WHERE a < 5", t)), 3);
    EXPECT_EQ(o->execute(Sql("DELETE FROM %T WHERE a = 99", t)), 0);
    // Committed at once outside a transaction: another session sees it.
    EXPECT_EQ(admin_->Column("SELECT a FROM " + t + " ORDER BY a"), "1|2|3|5|11|12|13");
    EXPECT_EQ(o->execute(Sql("DELETE FROM %T", t)), 7);
    const QString commented = Sql("  INSERT INTO %T VALUES (9, 'x');  -- done\n", t);
    if (route().can.takeCommentAfterSemicolon) {
        EXPECT_EQ(o->execute(commented), 1);
    } else {
        Instead("the driver takes a comment after the semicolon for a second statement: refused");
        EXPECT_THROW(o->execute(commented), Error);
        EXPECT_EQ(o->execute(Sql("  INSERT INTO %T VALUES (9, 'x');  ", t)), 1);
    }
    EXPECT_EQ(Count(t), "1");
}

TEST_P(Contract, ExecuteSqlRefusesASecondStatementAndRunsNeither) {
    const std::string t = tables_->Make("one", "a INTEGER");
    admin_->Exec("INSERT INTO " + t + " VALUES (1)");
    Opened o = Open();
    for (const std::string sql : {"INSERT INTO %T VALUES (2); DROP TABLE %T", "INSERT INTO %T VALUES (2);DELETE FROM %T;",
                                  "INSERT INTO %T VALUES (2); garbage here",
                                  "INSERT INTO %T VALUES (2);; INSERT INTO %T VALUES (3)"}) {
        SCOPED_TRACE(sql);
        ExpectRefusal(ErrorOf([&] { o->execute(Sql(sql, t)); }), route().secondStatement);
        EXPECT_EQ(admin_->Column("SELECT a FROM " + t), "1");
    }
    ExpectRefusal(ErrorOf([&] { o->openCursor(Sql("SELECT * FROM %T; DELETE FROM %T", t), CursorOption::KeepTrailingBlanks); }),
                  route().secondStatement);
    EXPECT_EQ(admin_->Column("SELECT a FROM " + t), "1");
}

TEST_P(Contract, RollbackUndoesEverythingSinceBeginTrans) {
    const std::string t = tables_->Make("rb", "id INTEGER PRIMARY KEY, name VARCHAR(10) NOT NULL");
    admin_->Exec("INSERT INTO " + t + " VALUES (1, 'one'), (2, 'two')");
    Opened o = Open();
    o->begin();
    EXPECT_NO_THROW(o->requireTransactionalTable(Q(t)));
    EXPECT_EQ(o->execute(o->dialect().deleteAll(Q(t))), 2);
    EXPECT_EQ(o->execute(Sql("INSERT INTO %T VALUES (7, 'seven')", t)), 1);
    // Not visible to anyone else before the commit.
    EXPECT_EQ(Column("name", t), "one|two");
    o->rollback();
    EXPECT_EQ(Column("name", t), "one|two");
    EXPECT_EQ(Read(*o, Sql("SELECT count(*) FROM %T", t))[0][0], "2");
}

TEST_P(Contract, CommitMakesEverythingPermanentTogether) {
    const std::string t = tables_->Make("cm", "id INTEGER PRIMARY KEY");
    admin_->Exec("INSERT INTO " + t + " VALUES (1)");
    Opened o = Open();
    o->begin();
    o->execute(Sql("DELETE FROM %T", t));
    o->execute(Sql("INSERT INTO %T VALUES (5)", t));
    o->execute(Sql("INSERT INTO %T VALUES (6)", t));
    EXPECT_EQ(Column("id", t), "1");
    o->commit();
    EXPECT_EQ(Column("id", t), "5|6");
    EXPECT_NO_THROW(o->rollback()) << "nothing left to undo";
    EXPECT_EQ(Column("id", t), "5|6");
}

TEST_P(Contract, ASessionReleasedInsideItsTransactionKeepsNothing) {
    const std::string t = tables_->Make("released", "id INTEGER PRIMARY KEY");
    admin_->Exec("INSERT INTO " + t + " VALUES (1), (2)");
    {
        Opened o = Open();
        o->begin();
        o->execute(Sql("DELETE FROM %T", t));
        o->execute(Sql("INSERT INTO %T VALUES (9)", t));
    }
    EXPECT_EQ(Column("id", t), "1|2");
}

TEST_P(Contract, TransactionCallsOutOfOrderAreRefused) {
    Opened o = Open();
    EXPECT_NO_THROW(o->rollback()) << "nothing to undo yet";
    ExpectRefusal(ErrorOf([&] { o->commit(); }), route().commitWithoutBegin);
    o->begin();
    ExpectRefusal(ErrorOf([&] { o->begin(); }), route().nestedBegin);
    EXPECT_NO_THROW(o->rollback());
    EXPECT_NO_THROW(o->rollback());
    ExpectRefusal(ErrorOf([&] { o->commit(); }), route().commitWithoutBegin);
}

// Each refused row as a replace meets it: the database's reason, and the
// rollback leaves the table as it was.
TEST_P(Contract, ARefusedRowSaysWhyAndTheRollbackKeepsTheTable) {
    const std::string t = tables_->Make("refused", "id INTEGER PRIMARY KEY, name VARCHAR(4) NOT NULL, "
                                                   "v NUMERIC(3,1) CHECK (v >= 0)");
    admin_->Exec("INSERT INTO " + t + " VALUES (1, 'old1', 1), (2, 'old2', 2)");
    Opened o = Open();
    const std::pair<const char*, const Refusal*> rows[] = {
        {"(5, 'dup', 1)", &route().duplicateKey},
        {"(6, NULL, 1)", &route().notNull},
        {"(7, 'longer', 1)", &route().tooLong},
        {"(8, 'chk', -1)", &route().check},
    };
    for (const auto& [row, refusal] : rows) {
        SCOPED_TRACE(row);
        o->begin();
        o->execute(Sql("DELETE FROM %T", t));
        o->execute(Sql("INSERT INTO %T VALUES (5, 'new', 1)", t));
        const QString insert = Sql("INSERT INTO %T VALUES ", t) + row;
        if (refusal == &route().tooLong && !route().can.checkLengths) {
            Instead("a column's length is not enforced: a longer text is stored whole");
            EXPECT_EQ(o->execute(insert), 1);
            EXPECT_EQ(Read(*o, Sql("SELECT name FROM %T WHERE id = 7", t))[0][0], "longer");
        } else {
            ExpectRefusal(ErrorOf([&] { o->execute(insert); }), *refusal);
        }
        o->rollback();
        EXPECT_EQ(Column("name", t), "old1|old2");
    }
}

TEST_P(Contract, BeginTransWhileADynasetIsOpenStillCommitsAndRollsBack) {
    const std::string t = tables_->Make("adopt", "id INTEGER");
    admin_->Exec("INSERT INTO " + t + " VALUES (1)");
    Opened o = Open();
    auto dynaset = o->openCursor(Sql("SELECT * FROM %T", t), CursorOption::KeepTrailingBlanks);
    o->begin();
    o->execute(Sql("DELETE FROM %T", t));
    EXPECT_EQ(Count(t), "1");
    o->rollback();
    dynaset.reset();
    EXPECT_EQ(Count(t), "1");

    auto again = o->openCursor(Sql("SELECT * FROM %T", t), CursorOption::KeepTrailingBlanks);
    o->begin();
    o->execute(Sql("INSERT INTO %T VALUES (2)", t));
    o->commit();
    again.reset();
    EXPECT_EQ(Count(t), "2");
}

TEST_P(Contract, ALockHeldByAnotherSessionFailsAtOnce) {
    const std::string t = tables_->Make("lock", "id INTEGER PRIMARY KEY, v VARCHAR(10)");
    admin_->Exec("INSERT INTO " + t + " VALUES (1, 'a'), (2, 'b')");
    // The other session: a row lock on a server (which ends it after a while,
    // should the engine wait after all), the file's write lock on SQLite.
    switch (route().engine) {
    case Engine::SQLite: admin_->Exec("BEGIN IMMEDIATE; INSERT INTO " + t + " VALUES (3, 'c')"); break;
    case Engine::PostgreSQL:
        admin_->Exec("SET idle_in_transaction_session_timeout = '20s'");
        admin_->Exec("BEGIN; SELECT * FROM " + t + " WHERE id = 2 FOR UPDATE");
        break;
    case Engine::MariaDB:
        admin_->Exec("START TRANSACTION");
        admin_->Exec("SELECT * FROM " + t + " WHERE id = 2 FOR UPDATE");
        break;
    }
    std::string host = Host();
    if (!route().can.refuseLockWaitsItself) {
        Instead("the driver waits for its data source's Timeout: 200 ms here");
        host += ";Timeout=200";
    }
    Opened o = Open(OpenOption::NoLockWait, "", host);
    o->begin();
    // Reading does not wait: it sees the rows as they were.
    EXPECT_EQ(Read(*o, Sql("SELECT v FROM %T ORDER BY id", t)), (std::vector<Values>{{S("a")}, {S("b")}}));
    const auto start = std::chrono::steady_clock::now();
    const Error e = ErrorOf([&] { o->execute(Sql("DELETE FROM %T", t)); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ExpectRefusal(e, route().locked);
    EXPECT_NO_THROW(o->rollback());
    admin_->Exec("ROLLBACK");
    EXPECT_EQ(Column("v", t), "a|b");
}

TEST_P(Contract, ConnectionEndedInsideATransactionLosesNothing) {
    const std::string t = tables_->Make("ended", "id INTEGER PRIMARY KEY, v VARCHAR(10)");
    admin_->Exec("INSERT INTO " + t + " VALUES (1, 'a'), (2, 'b')");
    // Twice: the commit itself meets the ended connection, or a statement meets it first.
    for (const bool statementFirst : {false, true}) {
        SCOPED_TRACE(statementFirst ? "a statement first" : "the commit");
        Opened o = Open();
        o->begin();
        o->execute(Sql("DELETE FROM %T", t));
        o->execute(Sql("INSERT INTO %T VALUES (9, 'z')", t));
        if (!route().can.beEndedByOthers) {
            Instead("nobody else can end a file's connection: the session is dropped inside its transaction instead");
            o = {};
            EXPECT_EQ(Column("v", t), "a|b");
            return;
        }
        const bool pg = route().engine == Engine::PostgreSQL;
        const std::string id = Read(*o, pg ? "SELECT pg_backend_pid()" : "SELECT CONNECTION_ID()")[0][0]->toStdString();
        admin_->Exec(pg ? "SELECT pg_terminate_backend(" + id + ", 10000)" : "KILL " + id);
        // KILL returns before the ended session has rolled back and let go of
        // its row locks; the next round's DELETE would otherwise meet them.
        const std::string stillThere = "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + id;
        for (int i = 0; !pg && i < 1000 && admin_->Column(stillThere) != "0"; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (statementFirst) {
            const Error e = ErrorOf([&] { o->execute(Sql("INSERT INTO %T VALUES (10, 'y')", t)); });
            EXPECT_NE(e.Number(), 0);
            EXPECT_FALSE(e.SqlState().isEmpty());
            EXPECT_THROW(o->execute("SELECT 1"), Error);
            EXPECT_THROW(o->openCursor("SELECT 1", CursorOption::KeepTrailingBlanks), Error);
        }
        EXPECT_THROW(o->commit(), Error) << "the transaction is gone: it must not look committed";
        try {
            o->rollback();  // reports the lost connection, if anything; never crashes
        } catch (const Error& lost) {
            ExpectRefusal(lost, route().lost);
        }
        o = {};
        EXPECT_EQ(Column("v", t), "a|b");
    }
}

// ---------------------------------------------------------------------------
// The catalogue

TEST_P(Contract, TableListHoldsTablesAndViewsWithTheirComments) {
    const std::string t = tables_->Make("listed", "id INTEGER");
    const std::string v = tables_->Name("listed_view");
    admin_->Exec("CREATE VIEW " + v + " AS SELECT * FROM " + t);
    tables_->AtEnd("DROP VIEW IF EXISTS " + v);
    admin_->Exec("CREATE INDEX " + tables_->Name("listed_idx") + " ON " + t + " (id)");
    std::vector<std::string> unlisted = {tables_->Name("listed_idx")};
    const bool pg = route().engine == Engine::PostgreSQL;
    if (pg) {
        unlisted.push_back(tables_->Name("listed_seq"));
        admin_->Exec("COMMENT ON TABLE " + t + " IS '得意先マスタ'; COMMENT ON VIEW " + v + " IS 'a view'; " +
                     "CREATE SEQUENCE " + unlisted.back());
        tables_->AtEnd("DROP SEQUENCE IF EXISTS " + unlisted.back());
    }
    if (route().engine == Engine::MariaDB) admin_->Exec("ALTER TABLE " + t + " COMMENT = '得意先マスタ'");
    if (!route().can.keepComments) Instead("no comments are kept: every table's is empty");
    // MySQL's comment of a view is the word VIEW, which says nothing: none.
    const std::string tableComment = route().can.keepComments ? "得意先マスタ" : "", viewComment = pg ? "a view" : "";

    Opened o = Open();
    std::vector<QString> names;
    std::optional<QString> ofTable, ofView;
    int32_t count = -1;
    // The suite's other programs make and drop tables meanwhile: a count that
    // differs from the rows read is taken again, a few times.
    for (int attempt = 0; attempt < 5 && count != static_cast<int32_t>(names.size()); ++attempt) {
        auto dynaset = o->openCursor(o->dialect().tableListQuery(), CursorOption::KeepTrailingBlanks);
        ASSERT_EQ(dynaset->columnCount(), 2);
        EXPECT_EQ(dynaset->column(0).name, "TABLE_NAME");
        EXPECT_EQ(dynaset->column(1).name, "COMMENTS");
        names.clear();
        for (; !dynaset->atEnd(); dynaset->next()) {
            names.push_back(*dynaset->value(0));
            if (dynaset->value(0) == Q(t)) ofTable = dynaset->value(1).value_or("(null)");
            if (dynaset->value(0) == Q(v)) ofView = dynaset->value(1).value_or("(null)");
            for (const char* catalogue : {"pg_", "sqlite_", "COLUMNS"})
                EXPECT_FALSE(dynaset->value(0)->startsWith(catalogue)) << "the catalogue's own tables are not the user's";
        }
        count = dynaset->size();
    }
    EXPECT_EQ(count, static_cast<int32_t>(names.size()));
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_EQ(ofTable, Q(tableComment));
    EXPECT_EQ(ofView, Q(viewComment));
    for (const std::string& other : unlisted) EXPECT_EQ(std::count(names.begin(), names.end(), Q(other)), 0) << other;
}

// Keys of other tables whose ON DELETE would change them refuse a replace;
// the note of a refused DELETE names every referring table.
TEST_P(Contract, KeysThatReachOtherTablesRefuseTheReplace) {
    const std::string parent = tables_->Make("parent", "id INTEGER PRIMARY KEY");
    const std::string key = "p INTEGER, FOREIGN KEY (p) REFERENCES " + parent + " (id)";
    const std::string kids = tables_->Make("kids", key + " ON DELETE CASCADE");
    const std::string notes = tables_->Make("notes", key + " ON DELETE SET NULL");
    const std::string plain = tables_->Make("plain", key);
    const std::string tree = tables_->Make("tree", "id INTEGER PRIMARY KEY, up INTEGER, FOREIGN KEY (up) REFERENCES " +
                                                       tables_->Name("tree") + " (id) ON DELETE CASCADE");
    std::string host = Host();
    if (file()) {
        Instead("keys count only once the connection turns foreign keys on");
        Opened off = Open();
        EXPECT_NO_THROW(off->requireNoDestructiveReferences(Q(parent)));
        EXPECT_EQ(off->referringTablesNote(Q(parent)), "");
        if (route().odbc) host += ";FKSupport=1";
    }
    Opened o = Open(OpenOption::NoLockWait, "", host);
    if (file() && !route().odbc) o->execute("PRAGMA foreign_keys = ON");
    // The name as the table box may hold it: qualified and quoted.
    const std::string qualified = file() ? "main.[" + parent + "]"
                                  : route().engine == Engine::PostgreSQL ? "public.\"" + parent + "\""
                                                                         : test::MyPlace().database + ".\"" + parent + "\"";
    const Error refused = ErrorOf([&] { o->requireNoDestructiveReferences(Q(qualified)); });
    EXPECT_EQ(refused.Number(), Error::kDeleteReachesOtherTables);
    EXPECT_TRUE(refused.Description().endsWith(Q("表は変更していません: " + kids + " (CASCADE), " + notes + " (SET NULL)")))
        << refused.what();
    EXPECT_EQ(o->referringTablesNote(Q(parent)),
              Q("表 " + parent + " を外部キーで参照している表: " + kids + " (CASCADE), " + notes + " (SET NULL), " + plain +
                " (" + route().keyWithoutRule + ")"));
    EXPECT_NO_THROW(o->requireNoDestructiveReferences(Q(tree))) << "its own rows only";
    EXPECT_TRUE(o->hasFeature(Feature::ListsReferringKeys));
}

// The read learns which columns name a table's rows and whether other
// tables' keys refer to it: the primary key in its own order; else the first
// by name of the unique indexes that are NOT NULL, whole and not partial.
TEST_P(Contract, TheReadLearnsEachTablesKeyAndWhetherOthersReferToIt) {
    const bool pg = route().engine == Engine::PostgreSQL;
    const std::string pair = tables_->Make("pair", "a INTEGER NOT NULL, b INTEGER NOT NULL, c VARCHAR(5), PRIMARY KEY (b, a)");
    tables_->Make("pair_kids", "x INTEGER, y INTEGER, FOREIGN KEY (y, x) REFERENCES " + pair + " (b, a)");
    const std::string unique = tables_->Make("uniq", "n INTEGER, x INTEGER NOT NULL, y INTEGER NOT NULL, z INTEGER, w INTEGER NOT NULL");
    const auto index = [&](const std::string& name, const std::string& on) {
        admin_->Exec("CREATE UNIQUE INDEX " + tables_->Name(name) + " ON " + unique + " " + on);
    };
    // Before the usable ones by name: a nullable column, and where the
    // database has them a partial index and one on an expression.
    index("uniq_a0", "(z)");
    if (route().engine != Engine::MariaDB) {
        index("uniq_a1", "(w) WHERE w > 0");
        index("uniq_a2", "((w + 1))");
    }
    index("uniq_u2", "(x)");
    index("uniq_u1", "(y)");
    const std::string bare = tables_->Make("bare", "n INTEGER, m VARCHAR(5)");
    const std::string tree = tables_->Make("tree", "id INTEGER NOT NULL PRIMARY KEY, up INTEGER, FOREIGN KEY (up) REFERENCES " +
                                                       tables_->Name("tree") + " (id)");
    const std::string view = tables_->Name("pair_view");
    admin_->Exec("CREATE VIEW " + view + " AS SELECT * FROM " + pair);
    tables_->AtEnd("DROP VIEW IF EXISTS " + view);

    std::string host = Host();
    if (file()) {
        Instead("other tables refer to one only once the connection turns foreign keys on");
        if (route().odbc) host += ";FKSupport=1";
    }
    Opened o = Open(OpenOption::NoLockWait, "", host);
    if (file() && !route().odbc) o->execute("PRAGMA foreign_keys = ON");
    const auto keyOf = [&](const std::string& table) {
        const auto rows = o->openCursor(Q("SELECT * FROM " + table), CursorOption::KeepTrailingBlanks);
        return o->tableKey(Q(table), *rows);
    };
    const auto expect = [&](const std::string& table, std::vector<int> columns, bool referred) {
        const TableKey key = keyOf(table);
        EXPECT_EQ(key.columns, columns) << table;
        EXPECT_EQ(key.referred, referred) << table;
    };
    expect(pair, {1, 0}, true);
    // The name as the table box may hold it: qualified and quoted.
    const std::string qualified = file() ? "main.[" + pair + "]"
                                  : pg   ? "public.\"" + pair + "\""
                                         : test::MyPlace().database + ".\"" + pair + "\"";
    expect(qualified, {1, 0}, true);
    expect(unique, {2}, false);
    expect(bare, {}, false);
    expect(tree, {0}, false);  // its key to itself does not count
    EXPECT_EQ(keyOf(view).columns, std::vector<int>{}) << "a view has no key";
}

}  // namespace

// ---------------------------------------------------------------------------

// Takes --route=NAME (an unknown name lists the routes), then GoogleTest's
// own options. Tests of the other routes are filtered out, type zoo's included.
int main(int argc, char** argv) {
    std::string chosen;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--route=", 8) == 0) chosen = argv[i] + 8;
        else rest.push_back(argv[i]);
    }
    int restCount = static_cast<int>(rest.size());
    std::string others;
    for (const Route& route : kRoutes) {
        if (chosen.empty() || chosen == route.name) {
            Chosen().push_back(&route);
        } else {
            others += std::string(others.empty() ? "" : ":") + "*/" + route.name + ":*/" + route.zooName;
        }
    }
    if (Chosen().empty()) {
        std::fprintf(stderr, "no route named %s; the routes are:", chosen.c_str());
        for (const Route& route : kRoutes) std::fprintf(stderr, " %s%s", route.name, &route == std::end(kRoutes) - 1 ? "\n" : "");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen")
                                                                     : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(restCount, rest.data());
    QApplication::setApplicationName(QStringLiteral("Velkin"));
    ::testing::InitGoogleTest(&restCount, rest.data());
    if (!others.empty()) {
        std::string filter = GTEST_FLAG_GET(filter);
        filter += (filter.find('-') == std::string::npos ? "-" : ":") + others;
        GTEST_FLAG_SET(filter, filter);
    }
    return RUN_ALL_TESTS();
}
