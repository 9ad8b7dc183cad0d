// The ODBC engine through real drivers: PostgreSQL's ODBC driver to the server
// that scripts/run-tests.sh starts, and SQLite's ODBC driver to files in a
// temporary directory. The data sources live in an odbc.ini of the test's own.

#include "memory_watch.h"
#include "db/engine.h"
#include "db/error.h"
#include "db/odbc/odbc_session.h"
#include "db/odbc/odbc_text.h"
#include "tests/error_of.h"
#include "tests/pg_test_env.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

using namespace velkin;
using velkin::testing::MemoryWatch;
using velkin::testing::ExpectBoundedGrowth;
using velkin::test::PgAdmin;

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
    class OracleDriver {
    public:
        explicit OracleDriver(OdbcFiles& files) : files_(files) { files_.WriteDrivers(true); }
        ~OracleDriver() { files_.WriteDrivers(false); }

    private:
        OdbcFiles& files_;
    };

private:
    OdbcFiles() {
        if (!dir_.isValid()) throw std::runtime_error("no temporary directory");
        WriteDrivers(false);
        const QUrl pg(Q(test::PgUri()));
        Write(QStringLiteral("odbc.ini"),
              QStringLiteral("[velkin_pg]\nDriver=Velkin Test PostgreSQL\nServername=%1\nPort=%2\nDatabase=%3\n\n"
                             "[velkin_lite]\nDriver=Velkin Test SQLite\nDatabase=%4\nTimeout=200\n\n"
                             "[ORCL_LITE]\nDriver=Velkin Test SQLite\nDatabase=%5\n\n"
                             // A driver named for nothing, whose library is MariaDB's; nobody listens at port 1.
                             "[velkin_nowhere]\nDriver=Velkin Test Unnamed\nServer=127.0.0.1\nPort=1\n")
                  .arg(pg.host())
                  .arg(pg.port())
                  .arg(pg.path().mid(1), LitePath(), ServicePath()));
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

struct Connected {
    std::unique_ptr<EngineSession> session;
    std::unique_ptr<OraDatabase> db;
};

Connected Open(const QString& host, const QString& login = QString(), int32_t options = kOpenNoWait) {
    OdbcFiles::Get();
    Connected c;
    c.session = CreateSession(host);
    c.db = c.session->OpenDatabase(host, login, options);
    return c;
}

using Values = std::vector<std::optional<QString>>;

Values Row(OraDynaset& dynaset) {
    Values row;
    for (int32_t i = 0; i < dynaset.Fields().Count(); ++i) row.push_back(dynaset.Fields().Item(i).Value());
    return row;
}

std::vector<Values> AllRows(OraDatabase& db, const QString& sql, int32_t options = kDynasetNoBlankStrip) {
    auto dynaset = db.DbCreateDynaset(sql, options);
    std::vector<Values> rows;
    dynaset->MoveFirst();
    while (!dynaset->Eof()) {
        rows.push_back(Row(*dynaset));
        dynaset->MoveNext();
    }
    return rows;
}

struct FieldFacts {
    QString name;
    int32_t type;
    int32_t size;
    int32_t scale;
    bool nullOk;
    friend bool operator==(const FieldFacts&, const FieldFacts&) = default;
};

void PrintTo(const FieldFacts& f, std::ostream* os) {
    *os << f.name.toStdString() << " type " << f.type << " size " << f.size << " scale " << f.scale
        << (f.nullOk ? " NULL" : " NOT NULL");
}

std::vector<FieldFacts> Facts(OraDynaset& dynaset) {
    std::vector<FieldFacts> facts;
    for (int32_t i = 0; i < dynaset.Fields().Count(); ++i) {
        OraField& f = dynaset.Fields().Item(i);
        facts.push_back({f.Name(), f.OraIDataType(), f.Size(), f.OraScale(), f.OraNullOK()});
    }
    return facts;
}

std::optional<QString> S(const char* text) { return QString::fromUtf8(text); }
const std::optional<QString> kNull;

// ----------------------------------------------------------------------------
// The pure pieces

TEST(OdbcText, LoginSplitsAtTheFirstSlash) {
    EXPECT_EQ(odbc::SplitLogin("scott/tiger").user, "scott");
    EXPECT_EQ(odbc::SplitLogin("scott/ti/ger").password, "ti/ger");
    EXPECT_EQ(odbc::SplitLogin("scott").password, "");
    EXPECT_EQ(odbc::SplitLogin("/").user, "");
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
        const OraColumnType t = odbc::MapColumn(ColumnDescription{typeName, declared, sqlType, size, digits});
        return std::vector<int32_t>{t.type, t.size, t.scale};
    };
    using V = std::vector<int32_t>;
    // Oracle's driver: names and sizes.
    EXPECT_EQ(map("VARCHAR2", "", SQL_WVARCHAR, 20, 0), (V{1, 20, 0}));
    EXPECT_EQ(map("CHAR", "", SQL_WCHAR, 5, 0), (V{96, 5, 0}));
    EXPECT_EQ(map("NUMBER", "", SQL_DECIMAL, 9, 2), (V{2, 10, 2}));
    EXPECT_EQ(map("DATE", "", SQL_TYPE_TIMESTAMP, 19, 0), (V{12, 7, 0}));
    // SQLite's driver: the declaration from the catalogue; NUMBER comes as text of no precision.
    EXPECT_EQ(map("NUMBER", "NUMBER(9,2)", SQL_VARCHAR, 9, 0), (V{2, 10, 2}));
    EXPECT_EQ(map("NUMBER", "NUMBER", SQL_VARCHAR, 255, 0), (V{2, 39, 0}));
    EXPECT_EQ(map("VARCHAR2", "VARCHAR2(20)", SQL_VARCHAR, 20, 0), (V{1, 20, 0}));
    // Other names: the SQL type.
    EXPECT_EQ(map("varchar", "", SQL_VARCHAR, 20, 0), (V{1, 20, 0}));
    EXPECT_EQ(map("text", "", SQL_LONGVARCHAR, 8190, 0), (V{1, 8190, 0}));
    EXPECT_EQ(map("bpchar", "", SQL_CHAR, 3, 0), (V{96, 3, 0}));
    EXPECT_EQ(map("numeric", "", SQL_NUMERIC, 12, 3), (V{2, 13, 3}));
    EXPECT_EQ(map("int4", "", SQL_INTEGER, 10, 0), (V{2, 11, 0}));
    EXPECT_EQ(map("float8", "", SQL_DOUBLE, 17, 0), (V{2, 18, 0}));
    EXPECT_EQ(map("tinyint", "", SQL_TINYINT, 3, 0), (V{2, 4, 0}));
    EXPECT_EQ(map("timestamp", "", SQL_TYPE_TIMESTAMP, 26, 6), (V{12, 7, 0}));
    EXPECT_EQ(map("date", "", SQL_TYPE_DATE, 10, 0), (V{12, 7, 0}));
    EXPECT_EQ(map("bytea", "", SQL_VARBINARY, 255, 0), (V{OraType::kOther, 0, 0}));
    EXPECT_EQ(map("uuid", "", SQL_GUID, 37, 0), (V{OraType::kOther, 0, 0}));
    // A long type's size does not fit: no size rather than a wrapped one.
    EXPECT_EQ(map("clob", "", SQL_WLONGVARCHAR, 4294967296ull, 0), (V{1, 0, 0}));
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
    EXPECT_EQ(c.session->dialect().kind(), DialectKind::SQLite);
    c.db->ExecuteSQL("CREATE TABLE T (A NUMBER)");
    EXPECT_TRUE(QFile::exists(OdbcFiles::Get().ServicePath()));
}

TEST(OdbcConnect, ServiceNameWithoutSourceGoesToTheOracleDriverWithDbq) {
    OdbcFiles& files = OdbcFiles::Get();
    const OdbcFiles::OracleDriver installed(files);
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
    EXPECT_NO_THROW(CreateSession("odbc:anything"));
    EXPECT_NO_THROW(CreateSession("ORCL"));
    EXPECT_EQ(DialectForHost("ORCL").kind(), DialectKind::Oracle);
}

TEST(OdbcConnect, TransactionMembersBeforeOpening) {
    auto session = CreateOdbcSession();
    EXPECT_NO_THROW(session->rollback());
    EXPECT_EQ(ErrorOf([&] { session->BeginTrans(); }).SqlState(), "08003");
    EXPECT_EQ(ErrorOf([&] { session->CommitTrans(); }).SqlState(), "08003");
}

// A server that reports itself as "Oracle" gets the original statements to
// the character; the engine takes the dialect from the reported DBMS name.
TEST(OdbcDialect, OracleServerGetsTheOriginalTexts) {
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

class OdbcSqlite : public ::testing::Test {
protected:
    void SetUp() override {
        QFile::remove(OdbcFiles::Get().LitePath());
        ASSERT_EQ(sqlite3_open(OdbcFiles::Get().LitePath().toUtf8().constData(), &direct_), SQLITE_OK);
    }
    void TearDown() override { sqlite3_close(direct_); }

    // A second connection of its own, outside the engine under test.
    void Exec(const std::string& sql) {
        char* message = nullptr;
        if (sqlite3_exec(direct_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            ADD_FAILURE() << (message ? message : "?") << "\n" << sql;
            sqlite3_free(message);
        }
    }
    std::string Column(const std::string& sql) {
        std::string joined;
        sqlite3_exec(
            direct_, sql.c_str(),
            [](void* out, int, char** values, char**) {
                auto& s = *static_cast<std::string*>(out);
                if (!s.empty()) s += "|";
                s += values[0] ? values[0] : "NULL";
                return 0;
            },
            &joined, nullptr);
        return joined;
    }

    Connected OpenLite(int32_t options = kOpenNoWait) { return Open("odbc:velkin_lite", "scott/tiger", options); }

    void CreateEmployees() {
        Exec("CREATE TABLE EMP (NAME VARCHAR2(20), CODE CHAR(5) NOT NULL, SALARY NUMBER(9,2), HIRED DATE, "
             "SEQ NUMBER NOT NULL, N INTEGER, NOTE TEXT, PIC BLOB);"
             "INSERT INTO EMP VALUES ('鈴木', 'B', 1234.5, '2024-01-31 10:20:00', 2, 7, 'x  ', NULL);"
             "INSERT INTO EMP VALUES ('Smith  ', 'AB   ', NULL, '2023-12-01', 1, NULL, NULL, x'00ff');"
             "INSERT INTO EMP VALUES (NULL, 'AB', 1.5e20, NULL, 3, -4, '', NULL);"
             "CREATE TABLE DEPT (ID NUMBER(4) NOT NULL, TITLE VARCHAR2(10));");
    }

    sqlite3* direct_ = nullptr;
};

TEST_F(OdbcSqlite, ColumnsCarryOracleTypesAndTheCataloguesNotNull) {
    CreateEmployees();
    Connected c = OpenLite();
    EXPECT_EQ(c.session->dialect().kind(), DialectKind::SQLite);
    auto discovery = c.db->DbCreateDynaset(c.session->dialect().discoveryQuery("SELECT * FROM EMP"), 2);
    const std::vector<FieldFacts> expected = {
        {"NAME", 1, 20, 0, true},  {"CODE", 96, 5, 0, false},    {"SALARY", 2, 10, 2, true},
        {"HIRED", 12, 7, 0, true}, {"SEQ", 2, 39, 0, false},     {"N", 2, 11, 0, true},
    };
    const std::vector<FieldFacts> facts = Facts(*discovery);
    ASSERT_EQ(facts.size(), 8u);
    EXPECT_EQ(std::vector<FieldFacts>(facts.begin(), facts.begin() + 6), expected);
    EXPECT_EQ(facts[6].type, OraType::kVarchar2);
    EXPECT_EQ(facts[7].type, OraType::kOther);

    // An expression has no table behind it; a join keeps each table's word.
    auto joined =
        c.db->DbCreateDynaset("SELECT E.CODE, D.ID, D.TITLE, E.SEQ + 1 AS NEXT FROM EMP E LEFT JOIN DEPT D ON 1 = 0", 2);
    const std::vector<FieldFacts> joinFacts = Facts(*joined);
    ASSERT_EQ(joinFacts.size(), 4u);
    EXPECT_FALSE(joinFacts[0].nullOk);
    EXPECT_FALSE(joinFacts[1].nullOk);
    EXPECT_TRUE(joinFacts[2].nullOk);
    EXPECT_TRUE(joinFacts[3].nullOk);
}

TEST_F(OdbcSqlite, ValuesComeInTheFormsTheReadNeeds) {
    CreateEmployees();
    Connected c = OpenLite();
    const auto rows = AllRows(*c.db, "SELECT NAME, CODE, SALARY, HIRED, SEQ, N, NOTE FROM EMP ORDER BY SEQ");
    ASSERT_EQ(rows.size(), 3u);
    // CHAR has its declared length, blanks kept; NUMBER in plain decimal.
    EXPECT_EQ(rows[0], (Values{S("Smith  "), S("AB   "), kNull, S("2023-12-01"), S("1"), kNull, kNull}));
    EXPECT_EQ(rows[1], (Values{S("鈴木"), S("B    "), S("1234.5"), S("2024-01-31 10:20:00"), S("2"), S("7"), S("x  ")}));
    EXPECT_EQ(rows[2], (Values{kNull, S("AB   "), S("150000000000000000000"), kNull, S("3"), S("-4"), S("")}));

    // Without the option, trailing blanks go.
    const auto stripped = AllRows(*c.db, "SELECT NAME, CODE, NOTE FROM EMP ORDER BY SEQ", 0);
    EXPECT_EQ(stripped[0], (Values{S("Smith"), S("AB"), kNull}));
    EXPECT_EQ(stripped[1], (Values{S("鈴木"), S("B"), S("x")}));
}

TEST_F(OdbcSqlite, LongValuesArriveWhole) {
    QString big;
    for (int i = 0; big.size() < 100000; ++i) big += QStringLiteral("行%1;").arg(i);
    Exec("CREATE TABLE DOC (BODY TEXT)");
    Exec("INSERT INTO DOC VALUES ('" + big.toStdString() + "')");
    Connected c = OpenLite();
    const auto rows = AllRows(*c.db, "SELECT BODY, BODY || 'end' FROM DOC");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], big);
    EXPECT_EQ(rows[0][1], big + "end");
}

TEST_F(OdbcSqlite, RecordCountIsExactAndMoveFirstStartsOver) {
    Exec("CREATE TABLE BIG (ID INTEGER NOT NULL, LABEL VARCHAR2(10));"
         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 25000) "
         "INSERT INTO BIG SELECT i, 'row' || i FROM n;");
    Connected c = OpenLite();
    auto dynaset = c.db->DbCreateDynaset("SELECT * FROM BIG ORDER BY ID -- newest last\n;", 2);
    EXPECT_EQ(dynaset->RecordCount(), 25000);
    OraField& id = dynaset->Fields().Item(0);
    dynaset->MoveNext();
    dynaset->MoveNext();
    EXPECT_EQ(id.Value(), S("3"));
    dynaset->MoveFirst();
    int32_t seen = 0;
    for (; !dynaset->Eof(); dynaset->MoveNext()) {
        ++seen;
        if (seen == 1) EXPECT_EQ(id.Value(), S("1"));
    }
    EXPECT_EQ(seen, 25000);
    EXPECT_EQ(ErrorOf([&] { id.Value(); }).SqlState(), "24000");
    dynaset->MoveNext();  // past the end stays there
    EXPECT_TRUE(dynaset->Eof());

    // A statement that cannot be a subquery is counted by stepping through it.
    auto pragma = c.db->DbCreateDynaset("PRAGMA table_info(BIG)", 2);
    EXPECT_EQ(pragma->RecordCount(), 2);
    EXPECT_EQ(c.db->DbCreateDynaset("SELECT * FROM BIG WHERE ID < 0", 2)->RecordCount(), 0);
}

TEST_F(OdbcSqlite, ExecuteSqlReturnsRowsProcessedAndCommitsOutsideATransaction) {
    Connected c = OpenLite();
    EXPECT_EQ(c.db->ExecuteSQL("CREATE TABLE T (A NUMBER(3))"), 0);
    EXPECT_EQ(c.db->ExecuteSQL("INSERT INTO T VALUES (1), (2), (3)"), 3);
    EXPECT_EQ(c.db->ExecuteSQL("UPDATE T SET A = A + 10 WHERE A > 1"), 2);
    EXPECT_EQ(c.db->ExecuteSQL("DELETE FROM T WHERE A = 99"), 0);
    EXPECT_EQ(Column("SELECT A FROM T ORDER BY A"), "1|12|13");
    EXPECT_EQ(c.db->ExecuteSQL("DELETE FROM T"), 3);
    EXPECT_EQ(Column("SELECT count(*) FROM T"), "0");
    const Error e = ErrorOf([&] { c.db->ExecuteSQL("INSERT INTO NOWHERE VALUES (1)"); });
    EXPECT_TRUE(e.Description().contains("no such table")) << e.Description().toStdString();
    EXPECT_FALSE(e.SqlState().isEmpty());
}

TEST_F(OdbcSqlite, RollbackUndoesEverythingSinceBeginTrans) {
    Exec("CREATE TABLE T (A NUMBER(3) NOT NULL); INSERT INTO T VALUES (1); INSERT INTO T VALUES (2);");
    {
        Connected c = OpenLite();
        EXPECT_NO_THROW(c.session->rollback());  // nothing open yet
        c.session->BeginTrans();
        EXPECT_EQ(ErrorOf([&] { c.session->BeginTrans(); }).SqlState(), "25001");
        EXPECT_EQ(c.db->ExecuteSQL("DELETE FROM T"), 2);
        c.db->ExecuteSQL("INSERT INTO T VALUES (7)");
        // A refused row, as the replace meets it: everything goes back.
        EXPECT_ANY_THROW(c.db->ExecuteSQL("INSERT INTO T VALUES (NULL)"));
        c.session->rollback();
        EXPECT_EQ(Column("SELECT A FROM T ORDER BY A"), "1|2");
        EXPECT_EQ(ErrorOf([&] { c.session->CommitTrans(); }).SqlState(), "25000");

        c.session->BeginTrans();
        c.db->ExecuteSQL("DELETE FROM T");
        c.db->ExecuteSQL("INSERT INTO T VALUES (9)");
        c.session->CommitTrans();
        EXPECT_EQ(Column("SELECT A FROM T"), "9");

        // Released without a commit: nothing stays.
        c.session->BeginTrans();
        c.db->ExecuteSQL("DELETE FROM T");
    }
    EXPECT_EQ(Column("SELECT A FROM T"), "9");
}

// Foreign keys are off unless the source asks the driver to turn them on.
TEST_F(OdbcSqlite, KeysThatCascadeRefuseTheReplaceWhenTheSourceTurnsForeignKeysOn) {
    Exec("CREATE TABLE P (ID INTEGER PRIMARY KEY); CREATE TABLE K (P INTEGER REFERENCES P ON DELETE CASCADE);");
    EXPECT_NO_THROW(OpenLite().session->RequireNoDestructiveReferences("P"));
    Connected c = Open("odbc:DSN=velkin_lite;FKSupport=1", "scott/tiger");
    const Error refused = ErrorOf([&] { c.session->RequireNoDestructiveReferences("main.[p]"); });
    EXPECT_EQ(refused.Number(), Error::kDeleteReachesOtherTables);
    EXPECT_TRUE(refused.Description().endsWith(": K (CASCADE)")) << refused.Description().toStdString();
}

TEST_F(OdbcSqlite, DynasetRefusesAStatementThatReturnsNoRowsBeforeItRuns) {
    Exec("CREATE TABLE T (A NUMBER); INSERT INTO T VALUES (1);");
    Connected c = OpenLite();
    EXPECT_EQ(ErrorOf([&] { c.db->DbCreateDynaset("DELETE FROM T", 2); }).SqlState(), "07005");
    EXPECT_EQ(Column("SELECT count(*) FROM T"), "1");
    const Error missing = ErrorOf([&] { c.db->DbCreateDynaset("SELECT * FROM NOWHERE", 2); });
    EXPECT_TRUE(missing.Description().contains("NOWHERE")) << missing.Description().toStdString();
    EXPECT_EQ(ErrorOf([&] { c.db->DbCreateDynaset("SELECT * FROM T", 2)->Fields().Item(1); }).Number(),
              Error::kSubscriptOutOfRange);
}

// SQLite's driver waits on a locked file for its data source's Timeout (200 ms here).
TEST_F(OdbcSqlite, LockedFileFailsAfterTheDataSourcesTimeout) {
    Exec("CREATE TABLE T (A NUMBER); BEGIN IMMEDIATE; INSERT INTO T VALUES (1);");
    Connected c = OpenLite(kOpenNoWait);
    const auto start = std::chrono::steady_clock::now();
    const Error e = ErrorOf([&] { c.db->ExecuteSQL("INSERT INTO T VALUES (2)"); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(e.Description().contains("locked")) << e.Description().toStdString();
    Exec("ROLLBACK");
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
        suffix_ = "_" + std::to_string(getpid());
    }
    void TearDown() override {
        if (!admin_) return;
        for (const std::string& table : tables_) admin_->Exec("DROP TABLE IF EXISTS " + table + " CASCADE");
        for (const std::string& role : roles_) admin_->Exec("DROP ROLE IF EXISTS " + role);
    }

    // A table of this test process (the suite's test programs share the server).
    std::string MakeTable(const std::string& name, const std::string& columns) {
        const std::string table = "odbc_" + name + suffix_;
        admin_->Exec("DROP TABLE IF EXISTS " + table + "; CREATE TABLE " + table + " (" + columns + ")");
        tables_.push_back(table);
        return table;
    }

    static QString Login() { return Q(test::PgLogin()); }
    Connected OpenPg(int32_t options = kOpenNoWait) { return Open("odbc:velkin_pg", Login(), options); }
    // The same server through a connection string naming the driver; `extra` is added to it.
    static QString DriverString(const QString& extra = QString()) {
        const QUrl pg(Q(test::PgUri()));
        return QStringLiteral("odbc:DRIVER={Velkin Test PostgreSQL};SERVER=%1;PORT=%2;DATABASE=%3")
                   .arg(pg.host())
                   .arg(pg.port())
                   .arg(pg.path().mid(1)) +
               extra;
    }
    // Server-side cursors the connection of `db` has open (psqlODBC's cursor fetching).
    static int OpenCursors(OraDatabase& db) {
        const auto rows = AllRows(db, "SELECT count(*) FROM pg_cursors WHERE statement NOT LIKE '%pg_cursors%'");
        return rows.empty() || !rows[0][0] ? -1 : rows[0][0]->toInt();
    }

    std::unique_ptr<PgAdmin> admin_;
    std::string suffix_;
    std::vector<std::string> tables_;
    std::vector<std::string> roles_;
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

TEST_F(OdbcPostgres, ColumnsCarryTypesSizesAndNotNullFromTheDriver) {
    const std::string t = MakeTable("meta",
                                    "name VARCHAR(20), code CHAR(5) NOT NULL, salary NUMERIC(9,2), hired DATE, "
                                    "seq NUMERIC(6) NOT NULL, n INTEGER, note TEXT, ts TIMESTAMP, pic BYTEA");
    Connected c = OpenPg();
    EXPECT_EQ(c.session->dialect().kind(), DialectKind::PostgreSQL);
    auto discovery = c.db->DbCreateDynaset(c.session->dialect().discoveryQuery(Q("SELECT * FROM " + t)), 2);
    EXPECT_TRUE(discovery->Eof());
    const std::vector<FieldFacts> facts = Facts(*discovery);
    ASSERT_EQ(facts.size(), 9u);
    EXPECT_EQ(facts[0], (FieldFacts{"name", 1, 20, 0, true}));
    EXPECT_EQ(facts[1], (FieldFacts{"code", 96, 5, 0, false}));
    EXPECT_EQ(facts[2], (FieldFacts{"salary", 2, 10, 2, true}));
    EXPECT_EQ(facts[3], (FieldFacts{"hired", 12, 7, 0, true}));
    EXPECT_EQ(facts[4], (FieldFacts{"seq", 2, 7, 0, false}));
    EXPECT_EQ(facts[5], (FieldFacts{"n", 2, 11, 0, true}));
    EXPECT_EQ(facts[6].type, OraType::kVarchar2);
    EXPECT_EQ(facts[7].type, OraType::kDate);
    EXPECT_EQ(facts[8].type, OraType::kOther);
    EXPECT_EQ(discovery->RecordCount(), 0);
}

TEST_F(OdbcPostgres, ValuesComeInTheFormsTheReadNeeds) {
    const std::string t = MakeTable("vals", "id INT NOT NULL, name VARCHAR(20), code CHAR(5), amount NUMERIC(9,2), "
                                            "born DATE, seen TIMESTAMP, ratio DOUBLE PRECISION");
    admin_->Exec("INSERT INTO " + t +
                 " VALUES (1, '鈴木', 'AB', 12.50, '2024-01-31', '2024-01-31 10:20:00.123', 0.1),"
                 " (2, NULL, NULL, NULL, NULL, NULL, NULL), (3, 'x  ', 'B', -0.05, '1999-12-31', '2000-01-01', 1.5e20)");
    Connected c = OpenPg();
    const auto rows = AllRows(*c.db, Q("SELECT name, code, amount, born, seen, ratio FROM " + t + " ORDER BY id"));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (Values{S("鈴木"), S("AB   "), S("12.5"), S("2024-01-31"), S("2024-01-31 10:20:00.123"), S("0.1")}));
    EXPECT_EQ(rows[1], (Values{kNull, kNull, kNull, kNull, kNull, kNull}));
    EXPECT_EQ(rows[2], (Values{S("x  "), S("B    "), S("-0.05"), S("1999-12-31"), S("2000-01-01 00:00:00"),
                               S("150000000000000000000")}));
    const auto stripped = AllRows(*c.db, Q("SELECT name, code FROM " + t + " WHERE id = 3"), 0);
    EXPECT_EQ(stripped[0], (Values{S("x"), S("B")}));
}

TEST_F(OdbcPostgres, RecordCountIsExactOnALargeResult) {
    const std::string t = MakeTable("big", "id INT NOT NULL, label TEXT");
    admin_->Exec("INSERT INTO " + t + " SELECT i, 'row ' || i FROM generate_series(1, 30000) i");
    Connected c = OpenPg();
    auto dynaset = c.db->DbCreateDynaset(Q("SELECT * FROM " + t + " ORDER BY id;  "), 2);
    EXPECT_EQ(dynaset->RecordCount(), 30000);
    OraField& label = dynaset->Fields().Item(1);
    dynaset->MoveNext();
    dynaset->MoveFirst();
    EXPECT_EQ(label.Value(), S("row 1"));
    // SHOW cannot stand in FROM; it is counted by running it once more.
    EXPECT_EQ(c.db->DbCreateDynaset("SHOW search_path", 2)->RecordCount(), 1);
    // The failed COUNT left the connection usable.
    EXPECT_EQ(c.db->DbCreateDynaset(Q("SELECT id FROM " + t + " WHERE id <= 10"), 2)->RecordCount(), 10);
}

TEST_F(OdbcPostgres, KeysThatSetNullRefuseTheReplaceAndTheNoteNamesEveryReferringTable) {
    const std::string t = MakeTable("parent", "id integer PRIMARY KEY");
    const std::string kids = MakeTable("kids", "p integer REFERENCES " + t + " ON DELETE SET NULL");
    const std::string plain = MakeTable("plain", "p integer REFERENCES " + t);
    Connected c = OpenPg();
    const Error refused = ErrorOf([&] { c.session->RequireNoDestructiveReferences(Q("public.\"" + t + "\"")); });
    EXPECT_EQ(refused.Number(), Error::kDeleteReachesOtherTables);
    EXPECT_TRUE(refused.Description().endsWith(Q(": " + kids + " (SET NULL)"))) << refused.Description().toStdString();
    EXPECT_TRUE(c.session->ReferringTablesNote(Q(t)).endsWith(Q(": " + kids + " (SET NULL), " + plain + " (NO ACTION)")));
}

TEST_F(OdbcPostgres, ExecuteSqlReturnsRowsProcessed) {
    const std::string t = MakeTable("exec", "a INT");
    Connected c = OpenPg();
    EXPECT_EQ(c.db->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (1), (2), (3)")), 3);
    EXPECT_EQ(c.db->ExecuteSQL(Q("UPDATE " + t + " SET a = a * 10 WHERE a >= 2")), 2);
    EXPECT_EQ(c.db->ExecuteSQL(Q("DELETE FROM " + t + " WHERE a = 99")), 0);
    // Committed at once outside a transaction: another session sees it.
    EXPECT_EQ(admin_->Column("SELECT a FROM " + t + " ORDER BY a"), "1|20|30");
}

TEST_F(OdbcPostgres, RollbackUndoesEverythingSinceBeginTransSeenFromAnotherSession) {
    const std::string t = MakeTable("tx", "a INT NOT NULL");
    admin_->Exec("INSERT INTO " + t + " VALUES (1), (2)");
    Connected c = OpenPg();
    c.session->BeginTrans();
    EXPECT_EQ(c.db->ExecuteSQL(c.session->dialect().deleteAll(Q(t))), 2);
    c.db->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (7)"));
    const Error refused = ErrorOf([&] { c.db->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (NULL)")); });
    EXPECT_TRUE(refused.Description().contains("[SQLSTATE 23502]")) << refused.Description().toStdString();
    EXPECT_EQ(refused.SqlState(), "23502");
    EXPECT_EQ(admin_->Column("SELECT a FROM " + t + " ORDER BY a"), "1|2");  // nothing visible yet
    c.session->rollback();
    EXPECT_EQ(admin_->Column("SELECT a FROM " + t + " ORDER BY a"), "1|2");

    c.session->BeginTrans();
    c.db->ExecuteSQL(Q("DELETE FROM " + t));
    c.db->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (9)"));
    c.session->CommitTrans();
    EXPECT_EQ(admin_->Column("SELECT a FROM " + t), "9");
    EXPECT_NO_THROW(c.session->rollback());
}

TEST_F(OdbcPostgres, WrongPasswordIsRefusedWithTheDriversNumberAndSqlState) {
    OdbcFiles::Get();
    const Error e = ErrorOf([] { Open("odbc:velkin_pg", Q(test::PgUser() + "/not-the-password")); });
    EXPECT_EQ(e.SqlState(), "08001");
    EXPECT_NE(e.Number(), 0);
    EXPECT_TRUE(e.Description().startsWith("[SQLSTATE 08001] ")) << e.Description().toStdString();
    EXPECT_TRUE(e.Description().contains("password authentication failed")) << e.Description().toStdString();
}

TEST_F(OdbcPostgres, ConnectionStringTakesTheLoginBoxesWhateverTheirCharacters) {
    const std::string role = "odbc_login" + suffix_;
    admin_->Exec("DROP ROLE IF EXISTS " + role + "; CREATE ROLE " + role + " LOGIN PASSWORD 'se;mi}co/lon'");
    roles_.push_back(role);
    const QUrl pg(Q(test::PgUri()));
    const QString host = QStringLiteral("odbc:DRIVER={Velkin Test PostgreSQL};SERVER=%1;PORT=%2;DATABASE=%3;UID=nobody")
                             .arg(pg.host())
                             .arg(pg.port())
                             .arg(pg.path().mid(1));
    Connected c = Open(host, Q(role + "/se;mi}co/lon"));
    EXPECT_EQ(AllRows(*c.db, "SELECT current_user")[0][0], Q(role));
    // A psqlODBC data source is reached by a connection string too.
    Connected named = Open("odbc:velkin_pg", Q(role + "/se;mi}co/lon"));
    EXPECT_EQ(AllRows(*named.db, "SELECT current_user")[0][0], Q(role));
}

// psqlODBC would hold a whole result in memory; the engine has it read
// through a server-side cursor, whichever way the data source is named.
TEST_F(OdbcPostgres, AMillionRowResultIsCountedAndReadInBoundedMemory) {
    OdbcFiles::Get();
    const QString sql = "SELECT g AS id, 'row number ' || g || ' with some text to make it wider' AS label "
                        "FROM generate_series(1, 1000000) g";
    for (const QString& host : {QStringLiteral("odbc:velkin_pg"), DriverString()}) {
        SCOPED_TRACE(host.toStdString());
        Connected c = Open(host, Login());
        const MemoryWatch memory;
        ASSERT_TRUE(memory.valid());
        auto dynaset = c.db->DbCreateDynaset(sql, kDynasetNoBlankStrip);
        EXPECT_EQ(dynaset->RecordCount(), 1000000);
        EXPECT_EQ(OpenCursors(*c.db), 1);
        dynaset->MoveFirst();
        OraField& id = dynaset->Fields().Item(0);
        OraField& label = dynaset->Fields().Item(1);
        int64_t rows = 0;
        bool inOrder = true;
        for (; !dynaset->Eof(); dynaset->MoveNext()) {
            ++rows;
            inOrder = inOrder && id.Value() == QString::number(rows);
            if (rows == 1000000) EXPECT_EQ(label.Value(), "row number 1000000 with some text to make it wider");
        }
        EXPECT_EQ(rows, 1000000);
        EXPECT_TRUE(inOrder);
        ExpectBoundedGrowth(memory, kAllowedGrowthKiB);
    }
}

TEST_F(OdbcPostgres, AConnectionStringKeepsItsOwnCursorSetting) {
    OdbcFiles::Get();
    const QString sql = "SELECT g FROM generate_series(1, 5000) g";
    {
        Connected c = Open(DriverString(";UseDeclareFetch=0"), Login());
        auto dynaset = c.db->DbCreateDynaset(sql, 2);
        EXPECT_EQ(OpenCursors(*c.db), 0);
    }
    for (const QString& host : {DriverString(";Fetch=10"), QStringLiteral("odbc:DSN=velkin_pg")}) {
        SCOPED_TRACE(host.toStdString());
        Connected c = Open(host, Login());
        auto dynaset = c.db->DbCreateDynaset(sql, 2);
        EXPECT_EQ(OpenCursors(*c.db), 1);
        EXPECT_EQ(dynaset->RecordCount(), 5000);
    }
    // SQLite's driver is given nothing it would not know.
    QFile::remove(OdbcFiles::Get().LitePath());
    Connected lite = Open("odbc:velkin_lite", Login());
    EXPECT_EQ(AllRows(*lite.db, "SELECT 1").size(), 1u);
}

// Transactions work as before with cursor fetching on, with a read open on
// the same connection when they start.
TEST_F(OdbcPostgres, AnOpenReadDoesNotDisturbALaterTransaction) {
    const std::string t = MakeTable("readtx", "a INT PRIMARY KEY");
    admin_->Exec("INSERT INTO " + t + " SELECT g FROM generate_series(1, 3000) g");
    Connected c = OpenPg();
    // More rows than one round trip brings: the cursor stays open on the server.
    auto dynaset = c.db->DbCreateDynaset(Q("SELECT a FROM " + t + " ORDER BY a"), 2);
    OraField& a = dynaset->Fields().Item(0);
    EXPECT_EQ(dynaset->RecordCount(), 3000);
    EXPECT_EQ(OpenCursors(*c.db), 1);
    EXPECT_EQ(a.Value(), S("1"));
    dynaset->MoveNext();

    // A refused row: everything goes back, the table is as it was.
    c.session->BeginTrans();
    EXPECT_EQ(c.db->ExecuteSQL(c.session->dialect().deleteAll(Q(t))), 3000);
    c.db->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (1)"));
    EXPECT_EQ(ErrorOf([&] { c.db->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (1)")); }).SqlState(), "23505");
    c.session->rollback();
    EXPECT_EQ(admin_->Scalar("SELECT count(*) || ' ' || sum(a) FROM " + t), "3000 4501500");

    // The driver closes its cursors when a transaction ends: reading on is
    // an error, never rows from nowhere, and the read can start over.
    EXPECT_EQ(ErrorOf([&] { dynaset->MoveNext(); }).SqlState(), "HY010");
    dynaset->MoveFirst();
    EXPECT_EQ(a.Value(), S("1"));

    // A replace that succeeds; the open read keeps the rows it started with.
    c.session->BeginTrans();
    EXPECT_EQ(c.db->ExecuteSQL(c.session->dialect().deleteAll(Q(t))), 3000);
    c.db->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (7)"));
    c.db->ExecuteSQL(Q("INSERT INTO " + t + " VALUES (8)"));
    int64_t rows = 0, sum = 0;
    for (; !dynaset->Eof(); dynaset->MoveNext()) {
        ++rows;
        sum += a.Value().value_or("0").toLongLong();
    }
    EXPECT_EQ(rows, 3000);
    EXPECT_EQ(sum, 4501500);
    c.session->CommitTrans();
    EXPECT_EQ(admin_->Column("SELECT a FROM " + t + " ORDER BY a"), "7|8");

    dynaset->MoveFirst();
    EXPECT_EQ(a.Value(), S("7"));
    EXPECT_EQ(AllRows(*c.db, Q("SELECT a FROM " + t + " ORDER BY a")).size(), 2u);
}

TEST_F(OdbcPostgres, NoWaitFailsAtOnceOnALockedTable) {
    const std::string t = MakeTable("lock", "a INT");
    admin_->Exec("BEGIN; LOCK TABLE " + t + " IN ACCESS EXCLUSIVE MODE");
    Connected c = OpenPg(kOpenNoWait);
    const auto start = std::chrono::steady_clock::now();
    const Error e = ErrorOf([&] { c.db->ExecuteSQL(Q("DELETE FROM " + t)); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(e.SqlState(), "55P03") << e.Description().toStdString();
    admin_->Exec("ROLLBACK");
}

}  // namespace
