// The ODBC engine through real drivers: PostgreSQL's ODBC driver to the server
// that scripts/run-tests.sh starts, and SQLite's ODBC driver to files in a
// temporary directory. The data sources live in an odbc.ini of the test's own.
// Here: what only this engine does (connection strings and data sources,
// service names, the drivers' own types and cursors). What every engine does
// is checked on the ODBC routes by engine_contract_test.cpp.

#include "memory_watch.h"
#include "db/engine.h"
#include "db/error.h"
#include "db/odbc/odbc_session.h"
#include "db/odbc/odbc_text.h"
#include "tests/error_of.h"
#include "tests/test_databases.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

using namespace velkin;
using velkin::testing::MemoryWatch;
using velkin::testing::ExpectBoundedGrowth;
using velkin::testing::kResidentSizeMeaningful;
using velkin::test::PgAdmin;
using velkin::test::Read;
using velkin::test::Values;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// ----------------------------------------------------------------------------
// The test's own ODBC configuration, written before the driver manager is first
// used and pointed at through ODBCSYSINI and ODBCINI.

class OdbcFiles {
public:
    static OdbcFiles& Get() {
        static OdbcFiles files;
        return files;
    }

    QString LitePath() const { return dir_.filePath(QStringLiteral("lite.db")); }
    QString ServicePath() const { return dir_.filePath(QStringLiteral("service.db")); }

    // Adds a driver whose name contains "Oracle" for as long as the returned
    // object lives. It is SQLite's driver library under that name: enough to
    // see which driver a service name goes to.
    class DriverForOracle {
    public:
        explicit DriverForOracle(OdbcFiles& files) : files_(files) { files_.WriteDrivers(true); }
        ~DriverForOracle() { files_.WriteDrivers(false); }

    private:
        OdbcFiles& files_;
    };

private:
    OdbcFiles() {
        if (!dir_.isValid()) throw std::runtime_error("no temporary directory");
        WriteDrivers(false);
        const test::Place pg = test::PgPlace();
        Write(QStringLiteral("odbc.ini"),
              QStringLiteral("[velkin_pg]\nDriver=Velkin Test PostgreSQL\nServername=%1\nPort=%2\nDatabase=%3\n\n"
                             "[velkin_lite]\nDriver=Velkin Test SQLite\nDatabase=%4\nTimeout=200\n\n"
                             "[ORCL_LITE]\nDriver=Velkin Test SQLite\nDatabase=%5\n\n"
                             // A driver named for nothing, whose library is MariaDB's; nobody listens at port 1.
                             "[velkin_nowhere]\nDriver=Velkin Test Unnamed\nServer=127.0.0.1\nPort=1\n")
                  .arg(Q(pg.host))
                  .arg(pg.port)
                  .arg(Q(pg.database), LitePath(), ServicePath()));
        setenv("ODBCSYSINI", QFile::encodeName(dir_.path()).constData(), 1);
        setenv("ODBCINI", QFile::encodeName(dir_.filePath(QStringLiteral("odbc.ini"))).constData(), 1);
    }

    void WriteDrivers(bool withOracle) {
        // Bare library names: the driver manager finds them in its driver folder.
        QString text = QStringLiteral(
            "[Velkin Test PostgreSQL]\nDriver=psqlodbcw.so\n\n"
            "[Velkin Test SQLite]\nDriver=libsqlite3odbc.so\n\n"
            "[Velkin Test Unnamed]\nDriver=libmaodbc.so\n\n");
        if (withOracle) text += QStringLiteral("[Oracle in VelkinTest]\nDriver=libsqlite3odbc.so\n\n");
        Write(QStringLiteral("odbcinst.ini"), text);
    }

    void Write(const QString& name, const QString& text) {
        QFile file(dir_.filePath(name));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) throw std::runtime_error("cannot write odbc files");
        file.write(text.toUtf8());
    }

    QTemporaryDir dir_;
};

using velkin::testing::ErrorOf;

using Connected = test::Opened;

Connected Open(const QString& host, const QString& login = QString(), OpenOption option = OpenOption::NoLockWait) {
    OdbcFiles::Get();
    return test::Open(host, login, option);
}

std::optional<QString> S(const char* text) { return QString::fromUtf8(text); }

// ----------------------------------------------------------------------------
// The pure pieces

TEST(OdbcText, LoginSplitsAtTheFirstSlash) {
    EXPECT_EQ(odbc::SplitLogin("scott/tiger").user, "scott");
    EXPECT_EQ(odbc::SplitLogin("scott/ti/ger").password, "ti/ger");
    EXPECT_EQ(odbc::SplitLogin("scott").password, "");
    EXPECT_EQ(odbc::SplitLogin("/").user, "");
}

// Some drivers run every statement of a text: a second one is found before
// the text reaches them, wherever a ";" may stand inside the first.
TEST(OdbcText, ASecondStatementIsFoundOutsideQuotesAndComments) {
    for (const char* one : {"SELECT 1", "SELECT 1;", "SELECT 1 ;  ;", "SELECT 1; -- done", "SELECT 1; /* x; y */",
                            "SELECT 'a;b', \"c;d\", `e;f` FROM t", "SELECT 'it''s; fine'", "VALUES ('''; DROP TABLE t; --')", "SELECT 1 -- ; DROP t",
                            "SELECT $$a;b$$, $q$;$q$", "SELECT 'never closed; DROP t"})
        EXPECT_FALSE(odbc::HoldsSecondStatement(QString::fromUtf8(one))) << one;
    for (const char* two : {"SELECT 1; DROP TABLE t", "SELECT 1;DELETE FROM t;", "INSERT INTO t VALUES (2);; SELECT 3",
                            "SELECT ';'; x", "SELECT 1 /* ; */ ; x", "SELECT $1; x"})
        EXPECT_TRUE(odbc::HoldsSecondStatement(QString::fromUtf8(two))) << two;
}

TEST(OdbcText, ValuesAreBracedOnlyWhenTheyMustBe) {
    EXPECT_EQ(odbc::ConnectionValue("velkin"), "velkin");
    EXPECT_EQ(odbc::ConnectionValue("a;b}"), "{a;b}}}");
    EXPECT_EQ(odbc::ConnectionValue(" pad"), "{ pad}");
    EXPECT_EQ(odbc::ConnectionValue("{x"), "{{x}");
}

TEST(OdbcText, FilledLoginBoxesReplaceTheStringsOwnLogin) {
    const odbc::Login login{"scott", "ti;ger"};
    EXPECT_EQ(odbc::WithLogin("DSN=x;uid=a;PWD={p;q}};r};Port=1", login), "DSN=x;Port=1;UID=scott;PWD={ti;ger}");
    EXPECT_EQ(odbc::WithLogin("DSN=x;UID=a;PWD=b;", {}), "DSN=x;UID=a;PWD=b");
    EXPECT_EQ(odbc::WithLogin("DSN=x;UID=a;PWD=b", {"", "new"}), "DSN=x;UID=a;PWD=new");
    EXPECT_EQ(odbc::OracleServiceConnectionString("Oracle in OraClient19Home1", "ORCL", {"scott", "tiger"}),
              "DRIVER={Oracle in OraClient19Home1};DBQ=ORCL;UID=scott;PWD=tiger");
}

TEST(OdbcText, ConnectionStringValuesAreFoundInAnyCaseAndUnbraced) {
    const QString cs = "DSN=x; driver = {Velkin; Test}} Driver} ;Fetch=10;;";
    EXPECT_EQ(odbc::ConnectionStringValue(cs, "DRIVER"), "Velkin; Test} Driver");
    EXPECT_EQ(odbc::ConnectionStringValue(cs, "dsn"), "x");
    EXPECT_EQ(odbc::ConnectionStringValue(cs, "FETCH"), "10");
    EXPECT_EQ(odbc::ConnectionStringValue(cs, "UID"), std::nullopt);
    EXPECT_EQ(odbc::ConnectionStringParts(cs).size(), 3);
}

TEST(OdbcText, CursorFetchIsAddedUnlessTheStringSetsIt) {
    EXPECT_EQ(odbc::WithCursorFetch("DSN=pg;UID=a"), "DSN=pg;UID=a;UseDeclareFetch=1;Fetch=1000");
    EXPECT_EQ(odbc::WithCursorFetch("DSN=pg;usedeclarefetch=0;"), "DSN=pg;usedeclarefetch=0;Fetch=1000");
    // psqlODBC's short names count as the setting too.
    EXPECT_EQ(odbc::WithCursorFetch("DSN=pg;B6=1;A7=50"), "DSN=pg;B6=1;A7=50");
    EXPECT_EQ(odbc::WithCursorFetch("DRIVER={a;b};Fetch=5"), "DRIVER={a;b};Fetch=5;UseDeclareFetch=1");
}

TEST(OdbcText, PsqlOdbcIsKnownByItsLibrary) {
    EXPECT_TRUE(odbc::IsPsqlOdbcDriver("psqlodbcw.so"));
    EXPECT_TRUE(odbc::IsPsqlOdbcDriver("/usr/lib/x86_64-linux-gnu/odbc/psqlodbca.so"));
    EXPECT_FALSE(odbc::IsPsqlOdbcDriver("libsqlite3odbc.so"));
    EXPECT_FALSE(odbc::IsPsqlOdbcDriver("/opt/psqlodbc/libother.so"));
    EXPECT_FALSE(odbc::IsPsqlOdbcDriver(""));
}

TEST(OdbcText, ColumnTypesFollowTheOracleNameElseTheSqlType) {
    using odbc::ColumnDescription;
    auto map = [](const char* typeName, const char* declared, int sqlType, uint64_t size, int digits) {
        const ColumnType t = odbc::MapColumn(ColumnDescription{typeName, declared, sqlType, size, digits});
        return ColumnType{t.kind, t.size, t.scale};
    };
    using V = ColumnType;
    using enum ColumnKind;
    // Oracle's driver: names and sizes.
    EXPECT_EQ(map("VARCHAR2", "", SQL_WVARCHAR, 20, 0), (V{Text, 20, 0}));
    EXPECT_EQ(map("CHAR", "", SQL_WCHAR, 5, 0), (V{FixedChar, 5, 0}));
    EXPECT_EQ(map("NUMBER", "", SQL_DECIMAL, 9, 2), (V{Number, 10, 2}));
    EXPECT_EQ(map("DATE", "", SQL_TYPE_TIMESTAMP, 19, 0), (V{Date, 7, 0}));
    // SQLite's driver: the declaration from the catalogue; NUMBER comes as text of no precision.
    EXPECT_EQ(map("NUMBER", "NUMBER(9,2)", SQL_VARCHAR, 9, 0), (V{Number, 10, 2}));
    EXPECT_EQ(map("NUMBER", "NUMBER", SQL_VARCHAR, 255, 0), (V{Number, 39, 0}));
    EXPECT_EQ(map("VARCHAR2", "VARCHAR2(20)", SQL_VARCHAR, 20, 0), (V{Text, 20, 0}));
    // Other names: the SQL type.
    EXPECT_EQ(map("varchar", "", SQL_VARCHAR, 20, 0), (V{Text, 20, 0}));
    EXPECT_EQ(map("text", "", SQL_LONGVARCHAR, 8190, 0), (V{Text, 8190, 0}));
    EXPECT_EQ(map("bpchar", "", SQL_CHAR, 3, 0), (V{FixedChar, 3, 0}));
    EXPECT_EQ(map("numeric", "", SQL_NUMERIC, 12, 3), (V{Number, 13, 3}));
    EXPECT_EQ(map("int4", "", SQL_INTEGER, 10, 0), (V{Number, 11, 0}));
    EXPECT_EQ(map("float8", "", SQL_DOUBLE, 17, 0), (V{Number, 18, 0}));
    EXPECT_EQ(map("tinyint", "", SQL_TINYINT, 3, 0), (V{Number, 4, 0}));
    EXPECT_EQ(map("timestamp", "", SQL_TYPE_TIMESTAMP, 26, 6), (V{Date, 7, 0}));
    EXPECT_EQ(map("date", "", SQL_TYPE_DATE, 10, 0), (V{Date, 7, 0}));
    EXPECT_EQ(map("bytea", "", SQL_VARBINARY, 255, 0), (V{Other, 0, 0}));
    EXPECT_EQ(map("uuid", "", SQL_GUID, 37, 0), (V{Other, 0, 0}));
    // A long type's size does not fit: no size rather than a wrapped one.
    EXPECT_EQ(map("clob", "", SQL_WLONGVARCHAR, 4294967296ull, 0), (V{Text, 0, 0}));
}

// ----------------------------------------------------------------------------
// Choosing the data source, and the errors when there is none

TEST(OdbcConnect, DataSourceThatDoesNotExistIsNamedInTheError) {
    const Error e = ErrorOf([] { Open("odbc:no_such_source", "scott/tiger"); });
    EXPECT_EQ(e.SqlState(), "IM002");
    EXPECT_NE(e.Number(), 0);
    EXPECT_TRUE(e.Description().contains("no_such_source")) << e.Description().toStdString();
    EXPECT_TRUE(e.Description().contains("[SQLSTATE IM002]")) << e.Description().toStdString();
    EXPECT_TRUE(e.Description().contains("Data source name not found")) << e.Description().toStdString();
}

TEST(OdbcConnect, ServiceNameWithoutSourceOrOracleDriverSaysWhatIsMissing) {
    const Error e = ErrorOf([] { Open("ORCL_MISSING", "scott/tiger"); });
    EXPECT_EQ(e.SqlState(), "IM002");
    const QString d = e.Description();
    EXPECT_TRUE(d.startsWith("[SQLSTATE IM002] ")) << d.toStdString();
    EXPECT_TRUE(d.contains(QStringLiteral("「ORCL_MISSING」という名前の ODBC データソースがなく"))) << d.toStdString();
    EXPECT_TRUE(d.contains(QStringLiteral("Oracle の ODBC ドライバもインストールされていません"))) << d.toStdString();
}

TEST(OdbcConnect, ServiceNameReachesTheDataSourceOfThatNameFirst) {
    QFile::remove(OdbcFiles::Get().ServicePath());
    // Names are compared without regard to case.
    Connected c = Open("orcl_lite", "scott/tiger");
    EXPECT_EQ(c->dialect().kind(), DialectKind::SQLite);
    c->execute("CREATE TABLE T (A NUMBER)");
    EXPECT_TRUE(QFile::exists(OdbcFiles::Get().ServicePath()));
}

TEST(OdbcConnect, ServiceNameWithoutSourceGoesToTheOracleDriverWithDbq) {
    OdbcFiles& files = OdbcFiles::Get();
    const OdbcFiles::DriverForOracle installed(files);
    QTemporaryDir work;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(work.path());
    // The stand-in driver knows no DBQ and, given no Database, opens a file
    // named after the whole connection string: exactly what reached the driver.
    Open("ORCL_ELSEWHERE", "scott/tiger");
    QDir::setCurrent(previous);
    EXPECT_EQ(QDir(work.path()).entryList(QDir::Files),
              QStringList{"DRIVER={Oracle in VelkinTest};DBQ=ORCL_ELSEWHERE;UID=scott;PWD=tiger"});
}

TEST(OdbcConnect, HostTextChoosesThisEngine) {
    OdbcFiles::Get();
    // Neither form touches a server before OpenDatabase.
    EXPECT_NO_THROW(CreateConnection("odbc:anything"));
    EXPECT_NO_THROW(CreateConnection("ORCL"));
    EXPECT_EQ(DialectForHost("ORCL").kind(), DialectKind::Oracle);
}

// A server that reports itself as "Oracle" gets Oracle's statements to the
// character; the engine takes the dialect from the reported DBMS name.
TEST(OdbcDialect, OracleServerGetsOraclesTexts) {
    const Dialect oracle = Dialect::fromDbmsName("Oracle");
    EXPECT_EQ(oracle.discoveryQuery("SELECT * FROM T"), "SELECT * FROM T WHERE ROWNUM < 2 ");
    EXPECT_EQ(oracle.deleteAll("T"), "DELETE T");
    EXPECT_EQ(oracle.tableListQuery(), "SELECT TABLE_NAME,COMMENTS FROM USER_TAB_COMMENTS \r\nORDER BY TABLE_NAME");
    EXPECT_EQ(Dialect::fromDbmsName("Microsoft SQL Server").deleteAll("T"), "DELETE FROM T");
    EXPECT_EQ(Dialect::fromDbmsName("Microsoft SQL Server").discoveryQuery("SELECT * FROM T"), "SELECT TOP 1 * FROM T");
    EXPECT_EQ(Dialect::fromDbmsName("DB2/LINUXX8664").discoveryQuery("SELECT * FROM T"),
              "SELECT * FROM T FETCH FIRST 1 ROWS ONLY");
}

// ----------------------------------------------------------------------------
// SQLite's ODBC driver, to a file

// Types beyond the contract's standard table: the declaration from the catalogue.
TEST(OdbcSqlite, ColumnsCarryOracleTypesAndTheCataloguesNotNull) {
    QFile::remove(OdbcFiles::Get().LitePath());
    test::SqliteAdmin(OdbcFiles::Get().LitePath().toStdString())
        .Exec("CREATE TABLE EMP (SEQ NUMBER NOT NULL, NOTE TEXT, PIC BLOB)");
    Connected c = Open("odbc:velkin_lite", "scott/tiger");
    auto discovery = c->openCursor(c->dialect().discoveryQuery("SELECT * FROM EMP"), CursorOption::KeepTrailingBlanks);
    EXPECT_EQ(test::Columns(*discovery), "SEQ NUMBER/39/0 NOT NULL, NOTE VARCHAR2/65536/0, PIC ETC/0/0");
}

// ----------------------------------------------------------------------------
// Memory

// A driver holding a million rows of the read below takes well over 100 MB.
constexpr long kAllowedGrowthKiB = 50 * 1024;

// ----------------------------------------------------------------------------
// PostgreSQL's ODBC driver, to the test server

class OdbcPostgres : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(test::PgUri().empty()) << test::kPgMissingServer;
        admin_ = std::make_unique<PgAdmin>();
        tables_ = std::make_unique<test::Tables>(*admin_, test::Engine::PostgreSQL, "odbc_");
    }
    void TearDown() override { tables_.reset(); }

    // A table of this test process (the suite's test programs share the server).
    std::string MakeTable(const std::string& name, const std::string& columns) { return tables_->Make(name, columns); }

    static QString Login() { return Q(test::PgLogin()); }
    Connected OpenPg(OpenOption option = OpenOption::NoLockWait) { return Open("odbc:velkin_pg", Login(), option); }
    // The same server through a connection string naming the driver; `extra` is added to it.
    static QString DriverString(const QString& extra = QString()) {
        return Q(test::PgOdbcHost(test::PgPlace(), "Velkin Test PostgreSQL")) + extra;
    }
    // Server-side cursors the connection of `db` has open (psqlODBC's cursor fetching).
    static int OpenCursors(Connection& db) {
        const auto rows = Read(db, "SELECT count(*) FROM pg_cursors WHERE statement NOT LIKE '%pg_cursors%'");
        return rows.empty() || !rows[0][0] ? -1 : rows[0][0]->toInt();
    }

    std::unique_ptr<PgAdmin> admin_;
    std::unique_ptr<test::Tables> tables_;
};

// The table-list button learns the database behind a source from its driver,
// without connecting: a source whose server is unreachable still gives its text.
TEST_F(OdbcPostgres, TheTableListQueryIsTheOneOfTheDatabaseBehindTheSource) {
    OdbcFiles::Get();  // the data sources
    EXPECT_EQ(DialectForHost("odbc:velkin_pg").kind(), DialectKind::PostgreSQL);
    EXPECT_EQ(DialectForHost(DriverString()).kind(), DialectKind::PostgreSQL);
    EXPECT_EQ(DialectForHost("odbc:DSN=velkin_lite;UID=x").kind(), DialectKind::SQLite);
    EXPECT_EQ(DialectForHost("ORCL_LITE").kind(), DialectKind::SQLite) << "a service name that is a data source";
    EXPECT_EQ(DialectForHost("odbc:velkin_nowhere").kind(), DialectKind::MySQL) << "by the driver's library";
    EXPECT_EQ(DialectForHost("odbc:no_such_source").kind(), DialectKind::Oracle);
    EXPECT_EQ(DialectForHost("NO_SUCH_SERVICE").kind(), DialectKind::Oracle);
}

// Types beyond the contract's standard table, as the driver describes them.
TEST_F(OdbcPostgres, ColumnsCarryTypesSizesAndNotNullFromTheDriver) {
    const std::string t = MakeTable("meta", "seq NUMERIC(6) NOT NULL, note TEXT, pic BYTEA");
    Connected c = OpenPg();
    auto discovery = c->openCursor(c->dialect().discoveryQuery(Q("SELECT * FROM " + t)), CursorOption::KeepTrailingBlanks);
    EXPECT_EQ(test::Columns(*discovery), "seq NUMBER/7/0 NOT NULL, note VARCHAR2/8190/0, pic ETC/0/0");
}

TEST_F(OdbcPostgres, FloatsAndFractionsOfASecondComeInTheFormsTheReadNeeds) {
    const std::string t = MakeTable("vals", "id INT NOT NULL, seen TIMESTAMP, ratio DOUBLE PRECISION");
    admin_->Exec("INSERT INTO " + t + " VALUES (1, '2024-01-31 10:20:00.123', 0.1), (2, NULL, NULL), "
                 "(3, '2000-01-01', 1.5e20)");
    Connected c = OpenPg();
    EXPECT_EQ(Read(*c, Q("SELECT seen, ratio FROM " + t + " ORDER BY id")),
              (std::vector<Values>{{S("2024-01-31 10:20:00.123"), S("0.1")},
                                   {std::nullopt, std::nullopt},
                                   {S("2000-01-01 00:00:00"), S("150000000000000000000")}}));
}

// A driver's own login in the string gives way to the login boxes, whatever
// their characters (a connection string is checked so by engine_contract_test).
TEST_F(OdbcPostgres, TheLoginBoxesReplaceTheLoginOfTheStringOrDataSource) {
    const std::string role = tables_->Name("login");
    admin_->Exec("DROP ROLE IF EXISTS " + role + "; CREATE ROLE " + role + " LOGIN PASSWORD 'se;mi}co/lon'");
    tables_->AtEnd("DROP ROLE IF EXISTS " + role);
    Connected c = Open(DriverString(";UID=nobody"), Q(role + "/se;mi}co/lon"));
    EXPECT_EQ(Read(*c, "SELECT current_user")[0][0], Q(role));
    Connected named = Open("odbc:velkin_pg", Q(role + "/se;mi}co/lon"));
    EXPECT_EQ(Read(*named, "SELECT current_user")[0][0], Q(role));
}

// psqlODBC would hold a whole result in memory; the engine has it read
// through a server-side cursor, whichever way the data source is named.
TEST_F(OdbcPostgres, AMillionRowResultIsCountedAndReadInBoundedMemory) {
    OdbcFiles::Get();
    // Memory is judged in the plain build only; under AddressSanitizer, whose
    // slow unwinder the driver's allocations need, fewer rows still prove the
    // cursor's count and order in a fraction of the time.
    const int64_t total = kResidentSizeMeaningful ? 1000000 : 20000;
    const QString sql = QStringLiteral("SELECT g AS id, 'row number ' || g || ' with some text to make it wider' AS label "
                                       "FROM generate_series(1, %1) g").arg(total);
    for (const QString& host : {QStringLiteral("odbc:velkin_pg"), DriverString()}) {
        SCOPED_TRACE(host.toStdString());
        Connected c = Open(host, Login());
        const MemoryWatch memory;
        ASSERT_TRUE(memory.valid());
        auto dynaset = c->openCursor(sql, CursorOption::KeepTrailingBlanks);
        EXPECT_EQ(dynaset->size(), total);
        EXPECT_EQ(OpenCursors(*c), 1);
        dynaset->first();
        int64_t rows = 0;
        bool inOrder = true;
        for (; !dynaset->atEnd(); dynaset->next()) {
            ++rows;
            inOrder = inOrder && dynaset->value(0) == QString::number(rows);
            if (rows == total)
                EXPECT_EQ(dynaset->value(1), QStringLiteral("row number %1 with some text to make it wider").arg(total));
        }
        EXPECT_EQ(rows, total);
        EXPECT_TRUE(inOrder);
        ExpectBoundedGrowth(memory, kAllowedGrowthKiB);
    }
}

TEST_F(OdbcPostgres, AConnectionStringKeepsItsOwnCursorSetting) {
    OdbcFiles::Get();
    const QString sql = "SELECT g FROM generate_series(1, 5000) g";
    {
        Connected c = Open(DriverString(";UseDeclareFetch=0"), Login());
        auto dynaset = c->openCursor(sql, CursorOption::KeepTrailingBlanks);
        EXPECT_EQ(OpenCursors(*c), 0);
    }
    for (const QString& host : {DriverString(";Fetch=10"), QStringLiteral("odbc:DSN=velkin_pg")}) {
        SCOPED_TRACE(host.toStdString());
        Connected c = Open(host, Login());
        auto dynaset = c->openCursor(sql, CursorOption::KeepTrailingBlanks);
        EXPECT_EQ(OpenCursors(*c), 1);
        EXPECT_EQ(dynaset->size(), 5000);
    }
    // SQLite's driver is given nothing it would not know.
    QFile::remove(OdbcFiles::Get().LitePath());
    Connected lite = Open("odbc:velkin_lite", Login());
    EXPECT_EQ(Read(*lite, "SELECT 1").size(), 1u);
}

// Transactions work as before with cursor fetching on, with a read open on
// the same connection when they start.
TEST_F(OdbcPostgres, AnOpenReadDoesNotDisturbALaterTransaction) {
    const std::string t = MakeTable("readtx", "a INT PRIMARY KEY");
    admin_->Exec("INSERT INTO " + t + " SELECT g FROM generate_series(1, 3000) g");
    Connected c = OpenPg();
    // More rows than one round trip brings: the cursor stays open on the server.
    auto dynaset = c->openCursor(Q("SELECT a FROM " + t + " ORDER BY a"), CursorOption::KeepTrailingBlanks);
    EXPECT_EQ(dynaset->size(), 3000);
    EXPECT_EQ(OpenCursors(*c), 1);
    EXPECT_EQ(dynaset->value(0), S("1"));
    dynaset->next();

    // A refused row: everything goes back, the table is as it was.
    c->begin();
    EXPECT_EQ(c->execute(c->dialect().deleteAll(Q(t))), 3000);
    c->execute(Q("INSERT INTO " + t + " VALUES (1)"));
    EXPECT_EQ(ErrorOf([&] { c->execute(Q("INSERT INTO " + t + " VALUES (1)")); }).SqlState(), "23505");
    c->rollback();
    EXPECT_EQ(admin_->Scalar("SELECT count(*) || ' ' || sum(a) FROM " + t), "3000 4501500");

    // The driver closes its cursors when a transaction ends: reading on is
    // an error, never rows from nowhere, and the read can start over.
    EXPECT_EQ(ErrorOf([&] { dynaset->next(); }).SqlState(), "HY010");
    dynaset->first();
    EXPECT_EQ(dynaset->value(0), S("1"));

    // A replace that succeeds; the open read keeps the rows it started with.
    c->begin();
    EXPECT_EQ(c->execute(c->dialect().deleteAll(Q(t))), 3000);
    c->execute(Q("INSERT INTO " + t + " VALUES (7)"));
    c->execute(Q("INSERT INTO " + t + " VALUES (8)"));
    int64_t rows = 0, sum = 0;
    for (; !dynaset->atEnd(); dynaset->next()) {
        ++rows;
        sum += dynaset->value(0).value_or("0").toLongLong();
    }
    EXPECT_EQ(rows, 3000);
    EXPECT_EQ(sum, 4501500);
    c->commit();
    EXPECT_EQ(admin_->Column("SELECT a FROM " + t + " ORDER BY a"), "7|8");

    dynaset->first();
    EXPECT_EQ(dynaset->value(0), S("7"));
    EXPECT_EQ(Read(*c, Q("SELECT a FROM " + t + " ORDER BY a")).size(), 2u);
}

}  // namespace
