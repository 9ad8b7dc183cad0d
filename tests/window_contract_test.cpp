// What the window does when a database refuses, checked once for all six
// routes a host text can take (the embedded SQLite engine, PostgreSQL and
// MariaDB through their own engines, the same three through their ODBC
// drivers): a refused row, a lock held by another session, keys of other
// tables, a connection that fails, a missing table, the table-list button.
// Each case drives Form1 through its controls. CTest runs the program once
// per route (window_contract_NAME). Where a route cannot do what the others
// do (a file has no login), the case says so and checks what it does instead.

#include "form_fixture.h"
#include "tests/dead_port.h"
#include "tests/test_databases.h"

#include "db/dialect.h"
#include "db/error.h"
#include "db/postgres/pg_session.h"
#include "grid/grid_prepare.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <stdexcept>

// Failures show texts as text.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

using namespace velkin;
using namespace velkin::testing;
using test::Engine;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// What the report of a refusal must show: its form, a number (any of those
// given), a SQLSTATE and a piece of its description; what is left out is not checked.
struct Shown {
    std::vector<int32_t> numbers;
    const char* sqlState = nullptr;
    const char* text = nullptr;
    ErrorReportKind kind = ErrorReportKind::Command;
};

Shown Number(std::vector<int32_t> numbers, const char* text = nullptr) { return {std::move(numbers), nullptr, text}; }
Shown State(const char* sqlState, const char* text = nullptr) { return {{}, sqlState, text}; }
// A failure to connect: the report's other form.
Shown Connecting(Shown shown) {
    shown.kind = ErrorReportKind::Connection;
    return shown;
}
int32_t Pg(const char* sqlState) { return PostgresErrorNumber(QString::fromLatin1(sqlState)); }

// A cell the program refuses itself, before anything reaches the database.
const Shown kNotItsType = Number({Error::kTypeMismatch});

struct WindowRoute {
    const char* name;
    Engine engine;
    bool odbc;
    DialectKind dialect;

    // What the route does as every other route does, unless it says otherwise.
    struct Can {
        bool checkLogins = true;   // false: a file opens whatever the user and password
        bool checkLengths = true;  // a text or number too long for its column is refused
        bool enforceKeys = true;   // the window's connection enforces other tables' keys
    } can;

    // A row refused for its key, a CHECK, a text too long, a number too
    // large; a row lock, a table lock and a lock that keeps readers out; a
    // key of another table with no ON DELETE rule; a missing table; a wrong
    // password; no server at the port; a host name that does not resolve.
    Shown duplicateKey, check, tooLong, overflow, rowLock, tableLock, readLock, noActionKey, missingTable,
        wrongPassword, unreachable, unknownHost;
    // The rule the catalogue gives a key declared without one.
    const char* keyWithoutRule = "NO ACTION";
};

// MariaDB answers alike through its connector and through its ODBC driver.
WindowRoute MariaDbRoute(const char* name, bool odbc) {
    return {.name = name, .engine = Engine::MariaDB, .odbc = odbc, .dialect = DialectKind::MySQL,
            .duplicateKey = Number({1062}), .check = Number({4025}), .tooLong = Number({1406}, "name"),
            .overflow = Number({1264}), .rowLock = Number({1205}), .tableLock = Number({1205}), .readLock = Number({1205}),
            .noActionKey = Number({1451}), .missingTable = Number({1146}),
            .wrongPassword = Connecting(Number({1045}, "Access denied")),
            .unreachable = Connecting(Number({2002, 2003}, "Can't connect")),
            .unknownHost = Connecting(Number({2005})), .keyWithoutRule = "RESTRICT"};
}

const WindowRoute kRoutes[] = {
    {.name = "sqlite", .engine = Engine::SQLite, .odbc = false, .dialect = DialectKind::SQLite,
     .can = {.checkLogins = false, .checkLengths = false, .enforceKeys = false},
     .duplicateKey = Number({SQLITE_CONSTRAINT_PRIMARYKEY}, "UNIQUE constraint failed"),
     .check = Number({SQLITE_CONSTRAINT_CHECK}, "CHECK constraint failed"),
     .rowLock = Number({SQLITE_BUSY}), .readLock = Connecting(Number({SQLITE_BUSY})),
     .missingTable = Number({SQLITE_ERROR}, "no such table"),
     .unreachable = Connecting(Number({SQLITE_CANTOPEN}))},
    {.name = "postgres", .engine = Engine::PostgreSQL, .odbc = false, .dialect = DialectKind::PostgreSQL,
     .duplicateKey = {{Pg("23505")}, "23505", "Key (id)=(1) already exists"},
     .check = {{Pg("23514")}, "23514"}, .tooLong = {{Pg("22001")}, "22001"}, .overflow = {{Pg("22003")}, "22003"},
     .rowLock = {{Pg("55P03")}, "55P03"}, .tableLock = {{Pg("55P03")}, "55P03"}, .readLock = {{Pg("55P03")}, "55P03"},
     .noActionKey = {{Pg("23503")}, "23503"}, .missingTable = {{Pg("42P01")}, "42P01"},
     .wrongPassword = Connecting({{Pg("08001")}, "08001", "password authentication failed"}),
     .unreachable = Connecting({{Pg("08001")}, "08001", "Connection refused"}),
     .unknownHost = Connecting({{Pg("08001")}, "08001"})},
    MariaDbRoute("mysql", false),
    {.name = "odbc_sqlite", .engine = Engine::SQLite, .odbc = true, .dialect = DialectKind::SQLite,
     .can = {.checkLogins = false, .checkLengths = false, .enforceKeys = false},
     // The driver reports a constraint as a general error.
     .duplicateKey = State("HY000", "UNIQUE constraint failed"), .check = State("HY000", "CHECK constraint failed"),
     .rowLock = {.text = "locked"}, .readLock = {.text = "locked"},
     .missingTable = State("HY000", "no such table"), .unreachable = Connecting(Number({SQLITE_CANTOPEN}))},
    {.name = "odbc_postgres", .engine = Engine::PostgreSQL, .odbc = true, .dialect = DialectKind::PostgreSQL,
     .duplicateKey = State("23505", "Key (id)=(1) already exists"), .check = State("23514", "check constraint"),
     .tooLong = State("22001"), .overflow = State("22003"), .rowLock = State("55P03"), .tableLock = State("55P03"),
     .readLock = State("55P03"), .noActionKey = State("23503"), .missingTable = State("42P01"),
     .wrongPassword = Connecting(State("08001", "password authentication failed")),
     .unreachable = Connecting(State("08001")), .unknownHost = Connecting(State("08001"))},
    MariaDbRoute("odbc_mariadb", true),
};

class WindowContract : public FormTest, public ::testing::WithParamInterface<WindowRoute> {
protected:
    void SetUp() override {
        FormTest::SetUp();
        // A missing server fails here: its admin session cannot connect.
        if (file()) admin_ = std::make_unique<test::SqliteAdmin>(path(QStringLiteral("window.db")).toStdString());
        else if (route().engine == Engine::PostgreSQL) admin_ = std::make_unique<test::PgAdmin>();
        else admin_ = std::make_unique<test::MyAdmin>();
        tables_ = std::make_unique<test::Tables>(*admin_, route().engine, "w_");
        logIn();
    }
    void TearDown() override {
        form_.reset();  // the window lets go of the file before the tables go
        tables_.reset();
        FormTest::TearDown();
    }

    const WindowRoute& route() const { return GetParam(); }
    bool file() const { return route().engine == Engine::SQLite; }

    // The route's host text, or that of the test server's database at another place.
    QString host(const std::function<void(test::Place&)>& elsewhere = nullptr) const {
        if (file()) {
            const QString database = path(elsewhere ? QStringLiteral("no/such/dir/x.db") : QStringLiteral("window.db"));
            // The driver would wait for a locked file as long as its Timeout says.
            return route().odbc ? QStringLiteral("odbc:DRIVER={SQLite3};Timeout=200;Database=") + database
                                : QStringLiteral("sqlite:") + database;
        }
        const bool my = route().engine == Engine::MariaDB;
        test::Place at = my ? test::MyPlace() : test::PgPlace();
        if (elsewhere) elsewhere(at);
        if (my) return Q(route().odbc ? test::MyOdbcHost(at) : test::MyHost(at));
        return Q(route().odbc ? test::PgOdbcHost(at) : test::PgHost(at));
    }
    void logIn(const QString& password = QString()) {
        const bool pg = route().engine == Engine::PostgreSQL;
        const std::string user = file() ? "scott" : test::Env(pg ? "VELKIN_PG_USER" : "VELKIN_MY_USER");
        const std::string right = file() ? "tiger" : test::Env(pg ? "VELKIN_PG_PASSWORD" : "VELKIN_MY_PASSWORD");
        login(host(), Q(user), password.isEmpty() ? Q(right) : password);
    }

    // The window opened afresh with the WRITE setting `write`.
    void reopenWithWrite(const char* write) {
        form_.reset();
        writeSettings(QByteArray("[Default1]\nWRITE=") + write + "\n");
        logIn();
    }

    // Five rows, ids 1 to 5 in grid rows 3 to 7.
    std::string makeFaultTable(const std::string& name) {
        const std::string t = tables_->Make(name, "id INTEGER NOT NULL PRIMARY KEY, code CHAR(3) NOT NULL UNIQUE, "
                                                  "name VARCHAR(10), amount NUMERIC(7,2) CHECK (amount < 10000), "
                                                  "born DATE");
        admin_->Exec("INSERT INTO " + t + " VALUES (1,'A','alpha',10.00,'2024-01-01'), (2,'B','beta',20.50,NULL), "
                     "(3,'C','gamma',30.25,'2023-12-31'), (4,'D','delta',0,'2000-02-29'), "
                     "(5,'E','epsilon',-1.5,'1999-12-31')");
        return t;
    }
    // Every row with what tells its stored version apart where the database
    // shows it (PostgreSQL's place and creating transaction, SQLite's rowid):
    // a rolled-back replace leaves the very same rows.
    std::string rows(const std::string& t) {
        switch (route().engine) {
        case Engine::PostgreSQL:
            return admin_->Column("SELECT ctid::text || ' ' || xmin::text || ' ' || t::text FROM " + t +
                                  " t ORDER BY ctid");
        case Engine::MariaDB:
            return admin_->Column("SELECT CONCAT_WS(' ', id, QUOTE(code), QUOTE(name), amount, QUOTE(born)) FROM " + t +
                                  " ORDER BY id");
        case Engine::SQLite: break;
        }
        return admin_->Column("SELECT rowid || ' ' || quote(id) || quote(code) || quote(name) || quote(amount) || "
                              "quote(born) FROM " + t + " ORDER BY rowid");
    }
    std::string value(const std::string& column, const std::string& t, int id) {
        return admin_->Column("SELECT " + column + " FROM " + t + " WHERE id = " + std::to_string(id));
    }

    // The one report shows what the route gives for this refusal.
    void expectShown(const Shown& expected) {
        const QString text = expectOneReport(expected.kind);
        const qsizetype lineEnd = text.indexOf(QStringLiteral("\r\n"));
        ASSERT_GT(lineEnd, 0) << text.toStdString();
        const int32_t number = text.left(lineEnd).section(QLatin1Char(':'), 1).trimmed().toInt();
        const QString description = text.mid(lineEnd + 2);
        if (!expected.numbers.empty())
            EXPECT_NE(std::find(expected.numbers.begin(), expected.numbers.end(), number), expected.numbers.end())
                << text.toStdString();
        // Servers' own engines begin with the SQLSTATE; ODBC drivers give it per diagnostic record.
        const QString state = QString::fromLatin1(expected.sqlState);
        if (expected.sqlState && route().odbc)
            EXPECT_TRUE(description.contains(QStringLiteral("[SQLSTATE %1]").arg(state))) << text.toStdString();
        else if (expected.sqlState)
            EXPECT_TRUE(description.startsWith(QStringLiteral("SQLSTATE %1: ").arg(state))) << text.toStdString();
        if (expected.text) EXPECT_TRUE(description.contains(QString::fromUtf8(expected.text))) << text.toStdString();
    }

    // A case this route cannot take as the others do: said in the log and
    // the test report; the case then checks what the route does instead.
    void instead(const std::string& what) {
        RecordProperty("instead", what);
        std::printf("[ %s: %s ]\n", route().name, what.c_str());
    }

    std::unique_ptr<test::Admin> admin_;
    std::unique_ptr<test::Tables> tables_;
};

INSTANTIATE_TEST_SUITE_P(Routes, WindowContract, ::testing::ValuesIn(kRoutes),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// A refused row

struct RowFault {
    const char* name;
    int32_t row, column;  // the cell typed
    const char* text;
    const char* corrected;
    Shown WindowRoute::*shown;        // null: the program's own refusal, the same on every route
    bool lengthChecked = false;       // refused only where the route checks lengths
};

const RowFault kRowFaults[] = {
    {"unique", 5, 1, "1", "8", &WindowRoute::duplicateKey},
    {"check", 7, 4, "10000", "9999", &WindowRoute::check},
    {"toolong", 6, 3, "abcdefghijk", "abcdefghij", &WindowRoute::tooLong, true},  // 11 characters into VARCHAR(10)
    {"overflow", 3, 4, "-123456", "-99999.99", &WindowRoute::overflow, true},     // NUMERIC(7,2) holds 99999.99
    // A date must be a real yyyymmdd date: a server's to_date would store
    // 2024-01-31 typed with dashes as 2024-01-01.
    {"nodate", 4, 5, "20240230", "20240229", nullptr},
    {"dashes", 4, 5, "2024-01-31", "20240131", nullptr},
    {"short", 4, 5, "2024013", "", nullptr},
};

// The refused row turns red, everything written before it is rolled back,
// the grid keeps what was typed; corrected, the same grid goes in.
TEST_P(WindowContract, ARefusedRowRollsBackIsMarkedAndGoesInOnceCorrected) {
    for (const RowFault& fault : kRowFaults) {
        SCOPED_TRACE(fault.name);
        const std::string t = makeFaultTable(fault.name);
        read(t);
        setCell(3, 3, "changed");  // written before the refused row, then rolled back
        setCell(fault.row, fault.column, QString::fromUtf8(fault.text));
        const Grid before = gridCells();
        const std::string stored = rows(t);
        update();
        if (fault.lengthChecked && !route().can.checkLengths) {
            instead(std::string("lengths are not enforced: ") + fault.name + " is stored as typed");
            expectUpdated();
            EXPECT_EQ(Q(value(fault.column == 3 ? "name" : "amount", t, fault.row - 2)), QString::fromUtf8(fault.text));
            continue;
        }
        expectShown(fault.shown ? route().*fault.shown : kNotItsType);
        expectUpdateFailed(before, {fault.row});
        EXPECT_EQ(rows(t), stored) << "the table changed";

        setCell(fault.row, fault.column, QString::fromUtf8(fault.corrected));
        update();
        expectUpdated();
        EXPECT_EQ(admin_->Column("SELECT count(*) FROM " + t), "5");
        EXPECT_EQ(value("name", t, 1), "changed");
    }
}

// ---------------------------------------------------------------------------
// Locks of another session: refused at once, nothing marked, nothing changed

struct Locker {
    Shown WindowRoute::*shown;  // readLock: the lock keeps the Read out, else the Update
    std::vector<std::string> take;  // %T: the table
    std::string release;
};

// How another session locks a row, the whole table, or the table against readers too.
std::vector<Locker> Lockers(Engine engine) {
    switch (engine) {
    case Engine::PostgreSQL: {
        // Were the window to wait, the server ends the locker's session after
        // this long: the case fails instead of hanging.
        const std::string begin = "SET idle_in_transaction_session_timeout = '30s'; BEGIN; ";
        return {{&WindowRoute::rowLock, {begin + "SELECT * FROM %T WHERE id = 4 FOR UPDATE"}, "ROLLBACK"},
                {&WindowRoute::tableLock, {begin + "LOCK TABLE %T IN SHARE MODE"}, "ROLLBACK"},
                {&WindowRoute::readLock, {begin + "LOCK TABLE %T IN ACCESS EXCLUSIVE MODE"}, "ROLLBACK"}};
    }
    case Engine::MariaDB:
        return {{&WindowRoute::rowLock, {"START TRANSACTION", "SELECT * FROM %T WHERE id = 4 FOR UPDATE"}, "ROLLBACK"},
                {&WindowRoute::tableLock, {"LOCK TABLES %T READ"}, "UNLOCK TABLES"},
                {&WindowRoute::readLock, {"LOCK TABLES %T WRITE"}, "UNLOCK TABLES"}};
    case Engine::SQLite: break;
    }
    return {{&WindowRoute::rowLock, {"BEGIN IMMEDIATE; INSERT INTO %T VALUES (6,'F','f',1,NULL)"}, "ROLLBACK"},
            {&WindowRoute::readLock, {"BEGIN EXCLUSIVE"}, "ROLLBACK"}};
}

std::string WithTable(std::string sql, const std::string& table) {
    for (size_t at; (at = sql.find("%T")) != std::string::npos;) sql.replace(at, 2, table);
    return sql;
}

TEST_P(WindowContract, ALockHeldByAnotherSessionRefusesTheCommandAtOnce) {
    if (file()) instead("a file has one lock for writers, no row or table locks: its writer's lock stands for them");
    for (const Locker& locker : Lockers(route().engine)) {
        SCOPED_TRACE(locker.take.back());
        const std::string t = makeFaultTable("lock");
        const bool readersOut = locker.shown == &WindowRoute::readLock;
        Grid before;
        if (!readersOut) {
            read(t);
            setCell(3, 3, "changed");
            before = gridCells();
        }
        const std::string stored = rows(t);
        for (const std::string& statement : locker.take) admin_->Exec(WithTable(statement, t));
        if (readersOut) readTable(t);
        else update();
        admin_->Exec(locker.release);
        expectShown(route().*locker.shown);
        if (readersOut) expectReadFailed();
        else expectUpdateFailed(before, {});
        EXPECT_EQ(rows(t), stored);
        logIn();
        read(t);
        EXPECT_EQ(grid().lastDataRow(), 7) << "the next Read works";
    }
}

// ---------------------------------------------------------------------------
// Keys of other tables

// A key whose ON DELETE would change another table refuses the Update before
// anything is deleted, naming every such table (the SET NULL key refers to a
// UNIQUE key, not the primary key); a key with no rule makes the database
// refuse the DELETE, and the report names its table.
TEST_P(WindowContract, KeysOfOtherTablesRefuseTheReplaceAndTheReportNamesThem) {
    reopenWithWrite("ALL");
    const std::string t = makeFaultTable("parent");
    const std::string kids =
        tables_->Make("kids", "p INTEGER, FOREIGN KEY (p) REFERENCES " + t + " (id) ON DELETE CASCADE");
    const std::string notes =
        tables_->Make("notes", "c CHAR(3), FOREIGN KEY (c) REFERENCES " + t + " (code) ON DELETE SET NULL");
    admin_->Exec("INSERT INTO " + kids + " VALUES (1)");
    admin_->Exec("INSERT INTO " + notes + " VALUES ('B')");
    const auto others = [&] {
        return admin_->Column("SELECT p FROM " + kids) + admin_->Column("SELECT TRIM(c) FROM " + notes);
    };
    read(t);
    setCell(3, 3, "changed");
    Grid before = gridCells();
    std::string stored = rows(t);
    update();
    if (!route().can.enforceKeys) {
        instead("the window's connection leaves foreign keys off: the Update goes in and the other tables stay");
        expectUpdated();
        EXPECT_EQ(others(), "1B");
        return;
    }
    const QString shown = expectOneReport(ErrorReportKind::Command);
    EXPECT_TRUE(shown.startsWith(QStringLiteral("Error Code:%1\r\n").arg(Error::kDeleteReachesOtherTables)))
        << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(Q(": " + kids + " (CASCADE), " + notes + " (SET NULL)"))) << shown.toStdString();
    expectUpdateFailed(before, {});
    EXPECT_EQ(rows(t), stored);
    EXPECT_EQ(others(), "1B");

    admin_->Exec("DROP TABLE " + kids);
    admin_->Exec("DROP TABLE " + notes);
    const std::string orders = tables_->Make("orders", "p INTEGER, FOREIGN KEY (p) REFERENCES " + t + " (id)");
    admin_->Exec("INSERT INTO " + orders + " VALUES (3)");
    before = gridCells();
    stored = rows(t);
    update();
    expectShown(route().noActionKey);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_TRUE(reports()[0].text.endsWith(Q("を外部キーで参照している表: " + orders + " (" + route().keyWithoutRule + ")")))
        << reports()[0].text.toStdString();
    expectUpdateFailed(before, {});
    EXPECT_EQ(rows(t), stored);    read(t);  // the next Read works
}

// A table others refer to is written by key: only the rows the user
// changed, other sessions' work on other rows kept, on the same row refused.
TEST_P(WindowContract, AReferencedTableIsWrittenByKeyAndKeepsOtherSessionsWork) {
    if (!route().can.enforceKeys) {
        instead("foreign keys are off on a file: WRITE=CHANGES asks for the writing by key");
        reopenWithWrite("CHANGES");
    }
    const std::string t = makeFaultTable("customers");
    const std::string orders = tables_->Make("orders", "p INTEGER, FOREIGN KEY (p) REFERENCES " + t + " (id)");
    admin_->Exec("INSERT INTO " + orders + " VALUES (2), (3)");
    read(t);
    setCell(5, 3, "gamma2");  // id 3, referred to: updated
    setCell(6, 1, "40");      // id 4 re-keyed: deleted and added
    setCell(7, 1, "");        // id 5 deleted
    const char* added[] = {"6", "F", "zeta", "1", "20240101"};
    for (int32_t c = 1; c <= 5; ++c) setCell(8, c, QString::fromUtf8(added[c - 1]));
    admin_->Exec("UPDATE " + t + " SET name = 'other' WHERE id = 1");  // another session, another row
    update();
    expectUpdated();
    EXPECT_TRUE(boxes_.boxes[0].detail.contains(QStringLiteral("主キーで変更分だけを書込みます（更新 1 行、追加 2 行、削除 2 行）")))
        << boxes_.boxes[0].detail.toStdString();
    EXPECT_EQ(admin_->Column("SELECT name FROM " + t + " ORDER BY id"), "other|beta|gamma2|zeta|delta");
    EXPECT_EQ(admin_->Column("SELECT p FROM " + orders + " ORDER BY p"), "2|3");
    // The rows' previous versions, in the grid's form: a header of two lines and three rows.
    const QStringList kept = snapshots().filter(QStringLiteral("-changes.tsv"));
    ASSERT_EQ(kept.size(), 1) << snapshots().join(' ').toStdString();
    QFile file(kept[0]);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll().count('\n'), 5);

    // Another session changed the very row the user changed: refused, marked, nothing written.
    read(t);
    setCell(4, 3, "beta2");
    admin_->Exec("UPDATE " + t + " SET amount = 21 WHERE id = 2");
    Grid before = gridCells();
    std::string stored = rows(t);
    update();
    const QString shown = expectOneReport(ErrorReportKind::Command);
    EXPECT_TRUE(shown.startsWith(QStringLiteral("Error Code:%1\r\n").arg(Error::kChangedSinceRead))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QStringLiteral("id = 2"))) << shown.toStdString();
    expectUpdateFailed(before, {4});
    EXPECT_EQ(rows(t), stored);

    // WRITE=ALL replaces the table, which its references refuse as ever.
    reopenWithWrite("ALL");
    read(t);
    setCell(4, 3, "beta3");
    before = gridCells();
    update();
    if (!route().can.enforceKeys) return expectUpdated();
    expectShown(route().noActionKey);
    expectUpdateFailed(before, {});
}

// ---------------------------------------------------------------------------
// Connecting and the table

struct ConnectionFault {
    const char* name;
    Shown WindowRoute::*shown;
    std::function<void(test::Place&)> elsewhere;  // null: the wrong password
};

// A Read shows the connection's report and an empty grid; an Update keeps
// the grid and the table. Either way the next Read works.
TEST_P(WindowContract, ConnectionsThatFailOnReadAndOnUpdate) {
    test::DeadPort dead;
    const ConnectionFault faults[] = {
        {"a wrong password", &WindowRoute::wrongPassword, nullptr},
        {"no server at the port", &WindowRoute::unreachable, [&](test::Place& at) { at.port = dead.port; }},
        {"an unknown host", &WindowRoute::unknownHost, [](test::Place& at) { at.host = "nohost.invalid"; }},
    };
    const std::string t = makeFaultTable("connect");
    for (const ConnectionFault& fault : faults) {
        SCOPED_TRACE(fault.name);
        const auto spoil = [&] {
            if (fault.elsewhere) form().TXT_HOST->setText(host(fault.elsewhere));
            else logIn(QStringLiteral("not the password"));
        };
        if (file() && !fault.elsewhere) {
            instead("a file has no logins: a wrong password reads it");
            spoil();
            read(t);
            continue;
        }
        if (file() && fault.shown == &WindowRoute::unknownHost) {
            instead("a file has no host: a file in a folder that does not exist stands for an unreachable one");
            continue;
        }
        spoil();
        readTable(t);
        expectShown(route().*fault.shown);
        expectReadFailed();

        logIn();
        read(t);
        setCell(3, 3, "changed");
        const Grid before = gridCells();
        const std::string stored = rows(t);
        spoil();
        update();
        expectShown(route().*fault.shown);
        expectUpdateFailed(before, {});
        EXPECT_EQ(rows(t), stored);
        logIn();
    }
    read(t);
}

TEST_P(WindowContract, AMissingTableOnReadAndATableGoneWhenUpdating) {
    const std::string t = makeFaultTable("gone");
    readTable(tables_->Name("missing"));
    expectShown(route().missingTable);
    expectReadFailed();

    read(t);
    const Grid before = gridCells();
    const std::string stored = rows(t);
    form().TXT_TABLE->setText(Q(tables_->Name("missing")));
    update();
    expectShown(route().missingTable);
    expectUpdateFailed(before, {});
    EXPECT_EQ(rows(t), stored);
    read(t);  // the next Read works
}

// The button puts the database's own table-list query in the SQL box without
// logging on; reading it lists the tables and never enables Update.
TEST_P(WindowContract, TableListButtonGivesTheDatabasesQueryWithoutLoggingOn) {
    const std::string t = tables_->Make("listed", "id INTEGER");
    const QString query = Dialect(route().dialect).tableListQuery().remove(QLatin1Char('\r'));
    form().CMD_SerchTab->click();
    EXPECT_TRUE(form().Option1[1]->isChecked());
    EXPECT_EQ(form().TXT_SQL->toPlainText().remove(QLatin1Char('\r')), query);
    boxes_.boxes.clear();
    form().CMD_Read->click();
    ASSERT_TRUE(boxes_.boxes.empty()) << boxes_.boxes[0].text.toStdString();
    EXPECT_FALSE(form().CMD_Update->isEnabled()) << "SQL mode never enables Update";
    bool found = false;
    for (int32_t r = kFirstDataRow; r <= grid().lastDataRow(); ++r) found = found || cell(r, 1) == Q(t);
    EXPECT_TRUE(found);

    form().TXT_PASS->setText(QStringLiteral("wrong"));
    form().TXT_SQL->setPlainText(QStringLiteral("SELECT 1"));
    boxes_.boxes.clear();
    form().CMD_SerchTab->click();
    EXPECT_EQ(form().TXT_SQL->toPlainText().remove(QLatin1Char('\r')), query);
    EXPECT_TRUE(boxes_.boxes.empty());
}

}  // namespace
