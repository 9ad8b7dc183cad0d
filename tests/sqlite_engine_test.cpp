// The embedded engine against real SQLite files in a temporary directory.

#include "memory_watch.h"
#include "db/engine.h"
#include "db/error.h"
#include "db/utf8_text.h"
#include "db/sqlite/declared_type.h"
#include "db/sqlite/sqlite_session.h"
#include "db/sqlite/to_date.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

using namespace velkin;
using velkin::testing::MemoryWatch;
using velkin::testing::ExpectBoundedGrowth;

namespace {

// A session with its database object, released in the commands' order.
struct Connected {
    std::unique_ptr<EngineSession> session;
    std::unique_ptr<OraDatabase> db;
};

Connected Connect(const QString& host, int32_t options = kOpenNoWait) {
    Connected c;
    c.session = CreateSqliteSession();
    c.db = c.session->OpenDatabase(host, QStringLiteral("scott/tiger"), options);
    return c;
}

// Runs `body` and returns the error it raised; fails the test if none came.
Error Raised(const std::function<void()>& body) {
    try {
        body();
    } catch (const Error& e) {
        return e;
    }
    ADD_FAILURE() << "no error was raised";
    return Error(0, QString());
}

// A single value from a fresh query.
std::optional<QString> QueryValue(OraDatabase& db, const QString& sql) {
    auto dynaset = db.DbCreateDynaset(sql, kDynasetNoBlankStrip);
    if (dynaset->Eof()) return std::nullopt;
    return dynaset->Fields().Item(0).Value();
}

class SqliteEngine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

    QString Path(const QString& name) const { return dir_.filePath(name); }
    QString Host(const QString& name) const { return QStringLiteral("sqlite:") + Path(name); }

    QTemporaryDir dir_;
};

// ----------------------------------------------------------------------------
// Declared types

struct DeclaredCase {
    const char* declared;
    OraColumnType expected;
};

TEST(SqliteDeclaredType, MapsEachDeclarationToOracleCodeSizeAndScale) {
    const DeclaredCase cases[] = {
        {"VARCHAR2(20)", {OraType::kVarchar2, 20, 0}},
        {"varchar2 ( 40 )", {OraType::kVarchar2, 40, 0}},
        {"VARCHAR2(20 CHAR)", {OraType::kVarchar2, 20, 0}},
        {"VARCHAR(100)", {OraType::kVarchar2, 100, 0}},
        {"NVARCHAR2(10)", {OraType::kVarchar2, 10, 0}},
        {"CHARACTER VARYING(7)", {OraType::kVarchar2, 7, 0}},
        {"TEXT", {OraType::kVarchar2, 0, 0}},
        {"CLOB", {OraType::kVarchar2, 0, 0}},
        {"VARCHAR2", {OraType::kVarchar2, 0, 0}},
        {"CHAR(5)", {OraType::kChar, 5, 0}},
        {"NCHAR(3)", {OraType::kChar, 3, 0}},
        {"CHARACTER(2)", {OraType::kChar, 2, 0}},
        {"CHAR", {OraType::kChar, 1, 0}},
        {"NUMBER(9,2)", {OraType::kNumber, 10, 2}},
        {"number( 9 , 2 )", {OraType::kNumber, 10, 2}},
        {"NUMBER(5)", {OraType::kNumber, 6, 0}},
        {"NUMBER(*,3)", {OraType::kNumber, 39, 3}},
        {"NUMBER(7,-2)", {OraType::kNumber, 8, -2}},
        {"NUMBER", {OraType::kNumber, 39, 0}},
        {"NUMERIC", {OraType::kNumber, 39, 0}},
        {"DECIMAL(12,4)", {OraType::kNumber, 13, 4}},
        {"INTEGER", {OraType::kNumber, 39, 0}},
        {"INT", {OraType::kNumber, 39, 0}},
        {"SMALLINT", {OraType::kNumber, 39, 0}},
        {"BIGINT", {OraType::kNumber, 39, 0}},
        {"REAL", {OraType::kNumber, 39, 0}},
        {"FLOAT", {OraType::kNumber, 39, 0}},
        {"DOUBLE", {OraType::kNumber, 39, 0}},
        {"double  precision", {OraType::kNumber, 39, 0}},
        {"DATE", {OraType::kDate, 7, 0}},
        {"date", {OraType::kDate, 7, 0}},
        {"DATETIME", {OraType::kDate, 7, 0}},
        {"TIMESTAMP", {OraType::kDate, 7, 0}},
        {"TIMESTAMP(6)", {OraType::kDate, 7, 0}},
        {"TIMESTAMP WITH TIME ZONE", {OraType::kDate, 7, 0}},
        {"TIMESTAMP(3) WITH LOCAL TIME ZONE", {OraType::kDate, 7, 0}},
        {"BLOB", {OraType::kOther, 0, 0}},
        {"RAW(16)", {OraType::kOther, 0, 0}},
        {"BOOLEAN", {OraType::kOther, 0, 0}},
        {"", {OraType::kOther, 0, 0}},
        {"CHARS(5)", {OraType::kOther, 0, 0}},
        {"VARCHAR22(5)", {OraType::kOther, 0, 0}},
        {"DATED", {OraType::kOther, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.declared);
        const OraColumnType got = MapDeclaredType(c.declared);
        EXPECT_EQ(got.type, c.expected.type);
        EXPECT_EQ(got.size, c.expected.size);
        EXPECT_EQ(got.scale, c.expected.scale);
    }
}

// ----------------------------------------------------------------------------
// TO_DATE

TEST(SqliteToDate, AcceptsOnlyRealCalendarDatesOfEightDigits) {
    EXPECT_EQ(IsoDateFromYyyymmdd("20240131"), "2024-01-31");
    EXPECT_EQ(IsoDateFromYyyymmdd("20240229"), "2024-02-29");
    EXPECT_EQ(IsoDateFromYyyymmdd("20000229"), "2000-02-29");
    EXPECT_EQ(IsoDateFromYyyymmdd("00010101"), "0001-01-01");
    EXPECT_EQ(IsoDateFromYyyymmdd("99991231"), "9999-12-31");
    EXPECT_FALSE(IsoDateFromYyyymmdd("20230229"));  // not a leap year
    EXPECT_FALSE(IsoDateFromYyyymmdd("19000229"));  // centuries are not, unless by 400
    EXPECT_FALSE(IsoDateFromYyyymmdd("20240230"));
    EXPECT_FALSE(IsoDateFromYyyymmdd("20240431"));
    EXPECT_FALSE(IsoDateFromYyyymmdd("20241301"));
    EXPECT_FALSE(IsoDateFromYyyymmdd("20240001"));
    EXPECT_FALSE(IsoDateFromYyyymmdd("20240100"));
    EXPECT_FALSE(IsoDateFromYyyymmdd("00000101"));
    EXPECT_FALSE(IsoDateFromYyyymmdd("2024131"));
    EXPECT_FALSE(IsoDateFromYyyymmdd("202401310"));
    EXPECT_FALSE(IsoDateFromYyyymmdd("2024-1-31"));
    EXPECT_FALSE(IsoDateFromYyyymmdd("2024013a"));
    EXPECT_FALSE(IsoDateFromYyyymmdd(" 2024013"));
    EXPECT_FALSE(IsoDateFromYyyymmdd(""));
    EXPECT_TRUE(IsYyyymmddFormat("yyyymmdd"));
    EXPECT_TRUE(IsYyyymmddFormat("YYYYMMDD"));
    EXPECT_TRUE(IsYyyymmddFormat("YyyyMmDd"));
    EXPECT_FALSE(IsYyyymmddFormat("yyyy-mm-dd"));
    EXPECT_FALSE(IsYyyymmddFormat("yyyymmdd "));
}

TEST_F(SqliteEngine, ToDateWorksInStatementsAndFailsTheStatementOnABadDate) {
    Connected c = Connect(Host("d.db"));
    EXPECT_EQ(QueryValue(*c.db, "SELECT TO_DATE('20240131','yyyymmdd')"), "2024-01-31");
    EXPECT_EQ(QueryValue(*c.db, "SELECT TO_DATE('20240229','YYYYMMDD')"), "2024-02-29");
    EXPECT_EQ(QueryValue(*c.db, "SELECT TO_DATE(NULL,'yyyymmdd')"), std::nullopt);

    c.db->ExecuteSQL("CREATE TABLE T (D DATE)");
    EXPECT_EQ(c.db->ExecuteSQL("INSERT INTO T VALUES (TO_DATE('20240131','yyyymmdd'))"), 1);
    for (const char* bad : {"20240230", "2024013", "2024O131", "abcdefgh", ""}) {
        SCOPED_TRACE(bad);
        const Error e = Raised([&] {
            c.db->ExecuteSQL(QStringLiteral("INSERT INTO T VALUES (TO_DATE('%1','yyyymmdd'))").arg(bad));
        });
        EXPECT_EQ(e.Number(), SQLITE_ERROR);
        EXPECT_TRUE(e.Description().contains(QStringLiteral("TO_DATE"))) << e.Description().toStdString();
        EXPECT_TRUE(e.Description().contains(QString::fromLatin1(bad))) << e.Description().toStdString();
    }
    const Error format = Raised([&] { c.db->ExecuteSQL("INSERT INTO T VALUES (TO_DATE('20240131','dd.mm.yyyy'))"); });
    EXPECT_EQ(format.Number(), SQLITE_ERROR);
    EXPECT_EQ(QueryValue(*c.db, "SELECT count(*) || '/' || min(D) FROM T"), "1/2024-01-31");
}

TEST_F(SqliteEngine, ToDateIsThereOnEveryNewConnection) {
    Connect(Host("d.db")).db->ExecuteSQL("CREATE TABLE T (D DATE)");
    Connected again = Connect(Host("d.db"));
    EXPECT_EQ(again.db->ExecuteSQL("INSERT INTO T VALUES (TO_DATE('19991231','yyyymmdd'))"), 1);
}

// ----------------------------------------------------------------------------
// Opening

TEST_F(SqliteEngine, OpensAndCreatesTheFileWhateverTheUserAndPassword) {
    ASSERT_FALSE(QFile::exists(Path("new.db")));
    auto session = CreateSqliteSession();
    EXPECT_EQ(session->dialect().kind(), DialectKind::SQLite);
    auto db = session->OpenDatabase(Host("new.db"), QStringLiteral("/"), kOpenNoWait);
    EXPECT_TRUE(QFile::exists(Path("new.db")));
    EXPECT_EQ(session->dialect().kind(), DialectKind::SQLite);
    db->ExecuteSQL("CREATE TABLE T (A INTEGER)");
    db.reset();
    session.reset();

    Connected other = Connect(Host("new.db"));
    EXPECT_NO_THROW(other.db->ExecuteSQL("INSERT INTO T VALUES (1)"));
}

TEST_F(SqliteEngine, EmptyHostOpensVelkinDbInTheWorkingDirectory) {
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir_.path()));
    {
        Connected c = Connect(QString());
        c.db->ExecuteSQL("CREATE TABLE HERE (A INTEGER)");
    }
    QDir::setCurrent(previous);
    EXPECT_TRUE(QFile::exists(Path("Velkin.db")));
}

TEST_F(SqliteEngine, RelativePathIsTakenFromTheWorkingDirectory) {
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir_.path()));
    { Connected c = Connect(QStringLiteral("sqlite:rel.db")); }
    QDir::setCurrent(previous);
    EXPECT_TRUE(QFile::exists(Path("rel.db")));
}

TEST_F(SqliteEngine, MissingDirectoryFailsWithCantOpenAndCreatesNothing) {
    auto session = CreateSqliteSession();
    const Error e = Raised([&] { session->OpenDatabase(Host("no/such/dir/x.db"), "u/p", kOpenNoWait); });
    EXPECT_EQ(e.Number() & 0xff, SQLITE_CANTOPEN);
    EXPECT_TRUE(e.Description().contains(QStringLiteral("no/such/dir/x.db"))) << e.Description().toStdString();
    EXPECT_FALSE(QFile::exists(Path("no")));
    // No connection was left behind: the session has nothing to work on.
    EXPECT_NO_THROW(session->rollback());
    EXPECT_THROW(session->BeginTrans(), Error);
}

TEST_F(SqliteEngine, FileThatIsNotADatabaseFailsAtOpen) {
    {
        std::ofstream out(Path("notes.db").toStdString());
        for (int i = 0; i < 100; ++i) out << "These are plain notes, not a database file at all.\n";
    }
    auto session = CreateSqliteSession();
    const Error e = Raised([&] { session->OpenDatabase(Host("notes.db"), "u/p", kOpenNoWait); });
    EXPECT_EQ(e.Number(), SQLITE_NOTADB);
    EXPECT_TRUE(e.Description().startsWith(QStringLiteral("SQLite: "))) << e.Description().toStdString();
}

// Root writes through a file's permission bits, so as root the read-only case
// runs in a child process under the unprivileged "nobody" ids.
int RunUnprivileged(const std::function<int()>& body, std::string* skipReason) {
    if (geteuid() != 0) return body();
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        *skipReason = "fork failed";
        return 0;
    }
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status)) return 101;
    if (WEXITSTATUS(status) == 100) *skipReason = "cannot drop root privileges here";
    return WEXITSTATUS(status) == 100 ? 0 : WEXITSTATUS(status);
}

TEST_F(SqliteEngine, ReadOnlyFileOpensAndReadsButWritesFailWithSqlitesError) {
    {
        Connected c = Connect(Host("ro.db"));
        c.db->ExecuteSQL("CREATE TABLE T (A INTEGER)");
        c.db->ExecuteSQL("INSERT INTO T VALUES (7)");
    }
    ASSERT_EQ(chmod(Path("ro.db").toLocal8Bit().constData(), 0444), 0);
    ASSERT_EQ(chmod(dir_.path().toLocal8Bit().constData(), 0755), 0);
    if (geteuid() == 0) std::printf("[ running the read-only case as user nobody: root ignores file modes ]\n");

    const QString host = Host("ro.db");
    std::string skipReason;
    const int failure = RunUnprivileged(
        [host] {
            try {
                Connected c = Connect(host);
                if (QueryValue(*c.db, "SELECT A FROM T") != QStringLiteral("7")) return 2;
                try {
                    c.db->ExecuteSQL("INSERT INTO T VALUES (8)");
                    return 3;
                } catch (const Error& e) {
                    if ((e.Number() & 0xff) != SQLITE_READONLY) {
                        std::fprintf(stderr, "write error %d %s\n", e.Number(), e.what());
                        return 4;
                    }
                }
                return 0;
            } catch (const Error& e) {
                std::fprintf(stderr, "unexpected error %s\n", e.what());
                return 5;
            }
        },
        &skipReason);
    ASSERT_TRUE(skipReason.empty()) << "the read-only case cannot run: " << skipReason;
    EXPECT_EQ(failure, 0) << "2: value not read, 3: write succeeded, 4: wrong error, 5: open failed, 101: crashed";
}

TEST_F(SqliteEngine, DatabaseLockedByAnotherWriterFailsAtOnceWithBusy) {
    Connect(Host("lock.db")).db->ExecuteSQL("CREATE TABLE T (A INTEGER)");

    Connected writer = Connect(Host("lock.db"));
    writer.session->BeginTrans();
    writer.db->ExecuteSQL("INSERT INTO T VALUES (1)");

    // A pending write still lets others open and read, but not write.
    Connected other = Connect(Host("lock.db"));
    EXPECT_EQ(QueryValue(*other.db, "SELECT count(*) FROM T"), "0");
    auto started = std::chrono::steady_clock::now();
    const Error write = Raised([&] { other.db->ExecuteSQL("INSERT INTO T VALUES (2)"); });
    EXPECT_EQ(write.Number() & 0xff, SQLITE_BUSY);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    writer.session->rollback();

    // An exclusive lock keeps even the schema from being read: opening fails.
    writer.db->ExecuteSQL("BEGIN EXCLUSIVE");
    writer.db->ExecuteSQL("INSERT INTO T VALUES (3)");
    auto session = CreateSqliteSession();
    started = std::chrono::steady_clock::now();
    const Error open = Raised([&] { session->OpenDatabase(Host("lock.db"), "u/p", kOpenNoWait); });
    EXPECT_EQ(open.Number() & 0xff, SQLITE_BUSY);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    writer.session->CommitTrans();

    EXPECT_NO_THROW(session->OpenDatabase(Host("lock.db"), "u/p", kOpenNoWait));
}

// ----------------------------------------------------------------------------
// ExecuteSQL and transactions

TEST_F(SqliteEngine, ExecuteSqlReturnsTheRowsProcessed) {
    Connected c = Connect(Host("x.db"));
    EXPECT_EQ(c.db->ExecuteSQL("CREATE TABLE T (A INTEGER, B VARCHAR2(10))"), 0);
    EXPECT_EQ(c.db->ExecuteSQL("INSERT INTO T VALUES (1,'a')"), 1);
    EXPECT_EQ(c.db->ExecuteSQL("INSERT INTO T SELECT A + 1, B FROM T UNION ALL SELECT 5, 'c'"), 2);
    EXPECT_EQ(c.db->ExecuteSQL("CREATE INDEX TI ON T (A)"), 0);  // not the previous statement's count
    EXPECT_EQ(c.db->ExecuteSQL("UPDATE T SET B = 'z' WHERE A < 5"), 2);
    EXPECT_EQ(c.db->ExecuteSQL("DELETE FROM T WHERE A = 99"), 0);
    EXPECT_EQ(c.db->ExecuteSQL("DELETE FROM T"), 3);
    EXPECT_EQ(c.db->ExecuteSQL("  INSERT INTO T VALUES (9,'x');  -- done\n"), 1);
}

TEST_F(SqliteEngine, ExecuteSqlRefusesASecondStatementAndRunsNeither) {
    Connected c = Connect(Host("x.db"));
    c.db->ExecuteSQL("CREATE TABLE T (A INTEGER)");
    c.db->ExecuteSQL("INSERT INTO T VALUES (1)");
    for (const char* sql : {"INSERT INTO T VALUES (2); DROP TABLE T", "INSERT INTO T VALUES (2);DELETE FROM T;",
                            "INSERT INTO T VALUES (2); garbage here", "INSERT INTO T VALUES (2);; INSERT INTO T VALUES (3)"}) {
        SCOPED_TRACE(sql);
        const Error e = Raised([&] { c.db->ExecuteSQL(QString::fromLatin1(sql)); });
        EXPECT_EQ(e.Number(), SQLITE_ERROR);
        EXPECT_EQ(QueryValue(*c.db, "SELECT group_concat(A) FROM T"), "1");
    }
    const Error dynaset = Raised([&] { c.db->DbCreateDynaset("SELECT * FROM T; DELETE FROM T", kDynasetNoBlankStrip); });
    EXPECT_EQ(dynaset.Number(), SQLITE_ERROR);
    EXPECT_EQ(QueryValue(*c.db, "SELECT count(*) FROM T"), "1");
}

TEST_F(SqliteEngine, ExecuteSqlReportsSqliteErrors) {
    Connected c = Connect(Host("x.db"));
    const Error empty = Raised([&] { c.db->ExecuteSQL("  ;  -- nothing\n"); });
    EXPECT_EQ(empty.Number(), SQLITE_ERROR);
    const Error missing = Raised([&] { c.db->ExecuteSQL("INSERT INTO NOPE VALUES (1)"); });
    EXPECT_EQ(missing.Number(), SQLITE_ERROR);
    EXPECT_TRUE(missing.Description().contains(QStringLiteral("no such table: NOPE")))
        << missing.Description().toStdString();
    c.db->ExecuteSQL("CREATE TABLE T (A INTEGER NOT NULL)");
    const Error notNull = Raised([&] { c.db->ExecuteSQL("INSERT INTO T VALUES (NULL)"); });
    EXPECT_EQ(notNull.Number(), SQLITE_CONSTRAINT_NOTNULL);
}

TEST_F(SqliteEngine, RollbackUndoesEverythingInTheFile) {
    Connect(Host("t.db")).db->ExecuteSQL("CREATE TABLE T (A INTEGER)");
    Connected c = Connect(Host("t.db"));
    c.db->ExecuteSQL("INSERT INTO T VALUES (1)");

    c.session->BeginTrans();
    c.db->ExecuteSQL("DELETE FROM T");
    c.db->ExecuteSQL("INSERT INTO T VALUES (10)");
    c.db->ExecuteSQL("INSERT INTO T VALUES (11)");
    c.session->rollback();
    c.db.reset();
    c.session.reset();

    Connected observer = Connect(Host("t.db"));
    EXPECT_EQ(QueryValue(*observer.db, "SELECT group_concat(A) FROM T"), "1");
}

TEST_F(SqliteEngine, CommitMakesChangesVisibleToOthersAtOnce) {
    Connect(Host("t.db")).db->ExecuteSQL("CREATE TABLE T (A INTEGER)");
    Connected c = Connect(Host("t.db"));
    Connected observer = Connect(Host("t.db"));

    c.session->BeginTrans();
    c.db->ExecuteSQL("INSERT INTO T VALUES (1)");
    c.db->ExecuteSQL("INSERT INTO T VALUES (2)");
    EXPECT_EQ(QueryValue(*observer.db, "SELECT count(*) FROM T"), "0");
    c.session->CommitTrans();
    EXPECT_EQ(QueryValue(*observer.db, "SELECT count(*) FROM T"), "2");
    // Nothing left to undo.
    c.session->rollback();
    EXPECT_EQ(QueryValue(*observer.db, "SELECT count(*) FROM T"), "2");
}

// Keys count only while the connection has foreign keys on; names compare as SQLite compares them.
TEST_F(SqliteEngine, KeysThatCascadeOrSetNullRefuseTheReplaceOnceForeignKeysAreOn) {
    Connected c = Connect(Host("fk.db"));
    for (const char* sql : {"CREATE TABLE Parent (id INTEGER PRIMARY KEY)",
                            "CREATE TABLE kids (p INTEGER REFERENCES \"PARENT\" ON DELETE CASCADE)",
                            "CREATE TABLE notes (p INTEGER REFERENCES parent ON DELETE SET NULL)",
                            "CREATE TABLE plain (p INTEGER REFERENCES parent)",
                            "CREATE TABLE tree (id INTEGER PRIMARY KEY, up INTEGER REFERENCES tree ON DELETE CASCADE)"})
        c.db->ExecuteSQL(sql);
    EXPECT_NO_THROW(c.session->RequireNoDestructiveReferences("parent"));
    EXPECT_EQ(c.session->ReferringTablesNote("parent"), "");

    c.db->ExecuteSQL("PRAGMA foreign_keys = ON");
    const Error refused = Raised([&] { c.session->RequireNoDestructiveReferences("main.\"parent\""); });
    EXPECT_EQ(refused.Number(), Error::kDeleteReachesOtherTables);
    EXPECT_TRUE(refused.Description().endsWith("表は変更していません: kids (CASCADE), notes (SET NULL)"))
        << refused.Description().toStdString();
    EXPECT_EQ(c.session->ReferringTablesNote("parent"),
              "表 parent を外部キーで参照している表: kids (CASCADE), notes (SET NULL), plain (NO ACTION)");
    EXPECT_NO_THROW(c.session->RequireNoDestructiveReferences("tree"));  // its own rows only
}

TEST_F(SqliteEngine, RollbackWithoutATransactionIsHarmlessAndNestedBeginFails) {
    Connected c = Connect(Host("t.db"));
    EXPECT_NO_THROW(c.session->rollback());
    c.session->BeginTrans();
    EXPECT_THROW(c.session->BeginTrans(), Error);
    EXPECT_NO_THROW(c.session->rollback());
    EXPECT_NO_THROW(c.session->rollback());
    EXPECT_THROW(c.session->CommitTrans(), Error);

    auto unopened = CreateSqliteSession();
    EXPECT_NO_THROW(unopened->rollback());
    EXPECT_THROW(unopened->BeginTrans(), Error);
    EXPECT_THROW(unopened->CommitTrans(), Error);
}

// ----------------------------------------------------------------------------
// Dynasets

class SqliteDynasetTest : public SqliteEngine {
protected:
    void SetUp() override {
        SqliteEngine::SetUp();
        c_ = Connect(Host("dyn.db"));
        c_.db->ExecuteSQL(
            "CREATE TABLE EMP (CODE CHAR(5) NOT NULL, NAME VARCHAR2(20) NOT NULL, SALARY NUMBER(9,2), "
            "RATE NUMBER, HIRED DATE, SEQ INTEGER NOT NULL, NOTE VARCHAR2(100))");
        c_.db->ExecuteSQL(
            "INSERT INTO EMP VALUES ('A0001', '山田 太郎', 1234.5, 0.1, '2024-01-31', 1, NULL)");
        c_.db->ExecuteSQL("INSERT INTO EMP VALUES ('AB', 'Smith  ', NULL, 1e20, NULL, 2, 'trailing   ')");
        c_.db->ExecuteSQL("INSERT INTO EMP VALUES ('C3   ', 'ｶﾀｶﾅ', -0.5, 42, '1999-12-31', 3, '')");
    }

    Connected c_;
};

TEST_F(SqliteDynasetTest, FieldsDescribeTheDeclaredColumns) {
    auto dynaset = c_.db->DbCreateDynaset("SELECT EMP.*, SALARY * 2 AS DOUBLED, NAME || '!' AS SHOUT FROM EMP",
                                          kDynasetNoBlankStrip);
    OraFields& fields = dynaset->Fields();
    ASSERT_EQ(fields.Count(), 9);
    struct Expected {
        const char* name;
        int32_t type, size, scale;
        bool nullOk;
    };
    const Expected expected[] = {
        {"CODE", OraType::kChar, 5, 0, false},       {"NAME", OraType::kVarchar2, 20, 0, false},
        {"SALARY", OraType::kNumber, 10, 2, true},   {"RATE", OraType::kNumber, 39, 0, true},
        {"HIRED", OraType::kDate, 7, 0, true},       {"SEQ", OraType::kNumber, 39, 0, false},
        {"NOTE", OraType::kVarchar2, 100, 0, true},  {"DOUBLED", OraType::kNumber, 39, 0, true},
        {"SHOUT", OraType::kVarchar2, 0, 0, true},
    };
    for (int i = 0; i < 9; ++i) {
        SCOPED_TRACE(expected[i].name);
        OraField& f = fields.Item(i);
        EXPECT_EQ(f.Name(), QString::fromLatin1(expected[i].name));
        EXPECT_EQ(f.OraIDataType(), expected[i].type);
        EXPECT_EQ(f.Size(), expected[i].size);
        EXPECT_EQ(f.OraScale(), expected[i].scale);
        EXPECT_EQ(f.OraNullOK(), expected[i].nullOk);
    }
}

TEST_F(SqliteDynasetTest, NullabilityFollowsTheTableColumnThroughAliasesAndJoins) {
    c_.db->ExecuteSQL("CREATE TABLE DEPT (ID INTEGER NOT NULL, TITLE VARCHAR2(10))");
    auto dynaset = c_.db->DbCreateDynaset(
        "SELECT e.CODE AS C, d.ID, d.TITLE, e.NOTE, 1 AS ONE FROM EMP e LEFT JOIN DEPT d ON d.ID = e.SEQ",
        kDynasetNoBlankStrip);
    OraFields& f = dynaset->Fields();
    EXPECT_EQ(f.Item(0).Name(), "C");
    EXPECT_FALSE(f.Item(0).OraNullOK());
    EXPECT_FALSE(f.Item(1).OraNullOK());
    EXPECT_TRUE(f.Item(2).OraNullOK());
    EXPECT_TRUE(f.Item(3).OraNullOK());
    EXPECT_TRUE(f.Item(4).OraNullOK());
    EXPECT_EQ(f.Item(4).OraIDataType(), OraType::kNumber);
}

TEST_F(SqliteDynasetTest, ValuesComeAsTheReadNeedsThem) {
    auto dynaset = c_.db->DbCreateDynaset("SELECT * FROM EMP ORDER BY SEQ", kDynasetNoBlankStrip);
    OraFields& f = dynaset->Fields();
    // Field references taken once follow the current record.
    OraField& code = f.Item(0);
    OraField& name = f.Item(1);
    OraField& salary = f.Item(2);
    OraField& rate = f.Item(3);
    OraField& hired = f.Item(4);
    OraField& seq = f.Item(5);
    OraField& note = f.Item(6);

    ASSERT_FALSE(dynaset->Eof());
    EXPECT_EQ(code.Value(), "A0001");
    EXPECT_EQ(name.Value(), QStringLiteral("山田 太郎"));
    EXPECT_EQ(salary.Value(), "1234.5");
    EXPECT_EQ(rate.Value(), "0.1");
    EXPECT_EQ(hired.Value(), "2024-01-31");
    EXPECT_EQ(seq.Value(), "1");
    EXPECT_EQ(note.Value(), std::nullopt);

    dynaset->MoveNext();
    ASSERT_FALSE(dynaset->Eof());
    EXPECT_EQ(code.Value(), "AB   ");  // a CHAR(5) value has five characters
    EXPECT_EQ(name.Value(), "Smith  ");
    EXPECT_EQ(salary.Value(), std::nullopt);
    EXPECT_EQ(rate.Value(), "100000000000000000000");
    EXPECT_EQ(hired.Value(), std::nullopt);
    EXPECT_EQ(note.Value(), "trailing   ");

    dynaset->MoveNext();
    ASSERT_FALSE(dynaset->Eof());
    EXPECT_EQ(code.Value(), "C3   ");
    EXPECT_EQ(name.Value(), QStringLiteral("ｶﾀｶﾅ"));
    EXPECT_EQ(salary.Value(), "-0.5");
    EXPECT_EQ(rate.Value(), "42");
    EXPECT_EQ(note.Value(), "");  // empty text is not NULL

    dynaset->MoveNext();
    EXPECT_TRUE(dynaset->Eof());
    dynaset->MoveNext();  // stays past the end instead of starting over
    EXPECT_TRUE(dynaset->Eof());
    EXPECT_THROW(code.Value(), Error);

    dynaset->MoveFirst();
    ASSERT_FALSE(dynaset->Eof());
    EXPECT_EQ(seq.Value(), "1");
}

// The read takes values as UTF-8 bytes; they must stand for exactly the text
// Value() gives, for every kind of value, with and without blank stripping.
TEST_F(SqliteDynasetTest, Utf8ValuesAreTheValuesTextInUtf8) {
    c_.db->ExecuteSQL("INSERT INTO EMP VALUES ('é', 'Ünï  ', 12345678.25, -1e-300, '2024-02-29 10:00:00', 4, "
                      "CAST(x'41ff42' AS TEXT))");
    c_.db->ExecuteSQL("INSERT INTO EMP VALUES ('😀', '', 0.30000000000000004, 123456789012345678, NULL, 5, x'00ff')");
    for (const int32_t options : {kDynasetNoBlankStrip, 0}) {
        auto dynaset = c_.db->DbCreateDynaset(
            "SELECT *, SEQ * 1.5, 'x' || NOTE FROM EMP UNION ALL SELECT 'z', 'z', 9e99, NULL, NULL, 6, NULL, NULL, "
            "NULL ORDER BY 6",
            options);
        OraFields& fields = dynaset->Fields();
        std::string scratch;
        int records = 0;
        for (; !dynaset->Eof(); dynaset->MoveNext(), ++records) {
            for (int16_t j = 0; j < fields.Count(); ++j) {
                SCOPED_TRACE(::testing::Message() << "options " << options << " record " << records << " column " << j);
                const std::optional<QString> text = fields.Item(j).Value();
                const std::optional<std::string_view> bytes = fields.Item(j).Utf8Value(scratch);
                ASSERT_EQ(bytes.has_value(), text.has_value());
                if (bytes) EXPECT_EQ(FromUtf8(*bytes), *text);
            }
        }
        EXPECT_EQ(records, 6);
    }
}

TEST_F(SqliteDynasetTest, WithoutTheNoStripOptionTrailingBlanksGo) {
    auto dynaset = c_.db->DbCreateDynaset("SELECT CODE, NAME FROM EMP WHERE SEQ = 2", 0);
    EXPECT_EQ(dynaset->Fields().Item(0).Value(), "AB");
    EXPECT_EQ(dynaset->Fields().Item(1).Value(), "Smith");
}

TEST_F(SqliteDynasetTest, ExpressionValuesAndBlobs) {
    auto dynaset = c_.db->DbCreateDynaset(
        "SELECT 9223372036854775807, -3, 1.5e-7, x'00ff10', 'テキスト', NULL, 0.1 + 0.2", kDynasetNoBlankStrip);
    OraFields& f = dynaset->Fields();
    EXPECT_EQ(f.Item(0).Value(), "9223372036854775807");
    EXPECT_EQ(f.Item(1).Value(), "-3");
    EXPECT_EQ(f.Item(2).Value(), "0.00000015");
    EXPECT_EQ(f.Item(3).Value(), "00FF10");
    EXPECT_EQ(f.Item(4).Value(), QStringLiteral("テキスト"));
    EXPECT_EQ(f.Item(5).Value(), std::nullopt);
    EXPECT_EQ(f.Item(6).Value(), "0.30000000000000004");
    EXPECT_EQ(f.Item(2).OraIDataType(), OraType::kNumber);
    EXPECT_EQ(f.Item(4).OraIDataType(), OraType::kVarchar2);
    EXPECT_EQ(f.Item(5).OraIDataType(), OraType::kVarchar2);
}

TEST_F(SqliteDynasetTest, ItemOutsideTheColumnsIsSubscriptOutOfRange) {
    auto dynaset = c_.db->DbCreateDynaset("SELECT CODE, NAME FROM EMP", kDynasetNoBlankStrip);
    OraFields& f = dynaset->Fields();
    ASSERT_EQ(f.Count(), 2);
    for (int32_t index : {-1, 2, 1000, INT32_MIN, INT32_MAX}) {
        SCOPED_TRACE(index);
        const Error e = Raised([&] { f.Item(index); });
        EXPECT_EQ(e.Number(), Error::kSubscriptOutOfRange);
    }
    EXPECT_NO_THROW(f.Item(1));
}

TEST_F(SqliteDynasetTest, EmptyResultIsAtEofWithZeroRecords) {
    auto dynaset = c_.db->DbCreateDynaset("SELECT * FROM EMP WHERE 1 = 0", kDynasetNoBlankStrip);
    EXPECT_TRUE(dynaset->Eof());
    EXPECT_EQ(dynaset->RecordCount(), 0);
    EXPECT_EQ(dynaset->Fields().Count(), 7);
    EXPECT_FALSE(dynaset->Fields().Item(0).OraNullOK());
    dynaset->MoveFirst();
    EXPECT_TRUE(dynaset->Eof());
}

TEST_F(SqliteDynasetTest, RecordCountIsExactWhateverTheQueryLooksLike) {
    const std::pair<const char*, int> cases[] = {
        {"SELECT * FROM EMP", 3},
        {"SELECT * FROM EMP WHERE SEQ > 1 ORDER BY 1 ,2", 2},
        {"SELECT * FROM EMP;", 3},
        {"SELECT * FROM EMP -- the whole table", 3},
        {"SELECT * FROM EMP LIMIT 1", 1},
        {"WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 17) SELECT x FROM c", 17},
        {"VALUES (1), (2)", 2},
        {"SELECT CODE, CODE FROM EMP", 3},
        {"PRAGMA table_info(EMP)", 7},  // cannot be a subquery: counted by stepping
    };
    for (const auto& [sql, count] : cases) {
        SCOPED_TRACE(sql);
        auto dynaset = c_.db->DbCreateDynaset(QString::fromLatin1(sql), kDynasetNoBlankStrip);
        EXPECT_EQ(dynaset->RecordCount(), count);
        int visited = 0;
        for (dynaset->MoveFirst(); !dynaset->Eof(); dynaset->MoveNext()) ++visited;
        EXPECT_EQ(visited, count);
    }
}

TEST_F(SqliteDynasetTest, StatementsThatDoNotReadAreRefusedBeforeTheyRun) {
    for (const char* sql : {"DELETE FROM EMP", "CREATE TABLE X (A)", "INSERT INTO EMP SELECT * FROM EMP RETURNING CODE",
                            "", "SELECT * FROM NOPE"}) {
        SCOPED_TRACE(sql);
        const Error e = Raised([&] { c_.db->DbCreateDynaset(QString::fromLatin1(sql), kDynasetNoBlankStrip); });
        EXPECT_EQ(e.Number(), SQLITE_ERROR);
    }
    EXPECT_EQ(QueryValue(*c_.db, "SELECT count(*) FROM EMP"), "3");
    EXPECT_EQ(QueryValue(*c_.db, "SELECT count(*) FROM sqlite_schema WHERE name = 'X'"), "0");
}

TEST_F(SqliteDynasetTest, ErrorWhileReadingRowsIsRaisedByTheMove) {
    c_.db->ExecuteSQL("CREATE TABLE D (S TEXT)");
    c_.db->ExecuteSQL("INSERT INTO D VALUES ('20240101')");
    c_.db->ExecuteSQL("INSERT INTO D VALUES ('20240230')");
    auto dynaset = c_.db->DbCreateDynaset("SELECT TO_DATE(S, 'yyyymmdd') FROM D ORDER BY rowid", kDynasetNoBlankStrip);
    EXPECT_EQ(dynaset->Fields().Item(0).Value(), "2024-01-01");
    const Error e = Raised([&] { dynaset->MoveNext(); });
    EXPECT_EQ(e.Number(), SQLITE_ERROR);
    EXPECT_TRUE(dynaset->Eof());
}

TEST_F(SqliteDynasetTest, DynasetOutlivesTheDatabaseAndSessionObjects) {
    auto dynaset = c_.db->DbCreateDynaset("SELECT NAME FROM EMP ORDER BY SEQ", kDynasetNoBlankStrip);
    OraField& name = dynaset->Fields().Item(0);
    c_.db.reset();
    c_.session.reset();
    EXPECT_EQ(name.Value(), QStringLiteral("山田 太郎"));
    EXPECT_EQ(dynaset->RecordCount(), 3);
    dynaset->MoveNext();
    EXPECT_EQ(name.Value(), "Smith  ");
}

TEST_F(SqliteDynasetTest, ReadingDuringATransactionSeesItsOwnChanges) {
    c_.session->BeginTrans();
    c_.db->ExecuteSQL("DELETE FROM EMP WHERE SEQ = 1");
    auto dynaset = c_.db->DbCreateDynaset("SELECT * FROM EMP", kDynasetNoBlankStrip);
    EXPECT_EQ(dynaset->RecordCount(), 2);
    c_.session->rollback();
    dynaset.reset();
    EXPECT_EQ(QueryValue(*c_.db, "SELECT count(*) FROM EMP"), "3");
}

// ----------------------------------------------------------------------------
// Memory: a large result is never held whole

constexpr long kAllowedGrowthKiB = 30 * 1024;
constexpr const char* kTwoMillion =
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 2000000) ";

TEST_F(SqliteEngine, RecordCountOfAGeneratedMillionsRowResultIsExactInBoundedMemory) {
    Connected c = Connect(Host("big.db"));
    const MemoryWatch memory;
    ASSERT_TRUE(memory.valid());
    auto dynaset = c.db->DbCreateDynaset(
        QString::fromLatin1(kTwoMillion) + "SELECT x, 'row number ' || x || ' with some text to make it wider' FROM c",
        kDynasetNoBlankStrip);
    EXPECT_EQ(dynaset->RecordCount(), 2000000);
    dynaset->MoveFirst();
    for (int i = 1; i <= 5; ++i, dynaset->MoveNext()) EXPECT_EQ(dynaset->Fields().Item(0).Value(), QString::number(i));
    ExpectBoundedGrowth(memory, kAllowedGrowthKiB);
}

TEST_F(SqliteEngine, RecordCountOfAMillionsRowTableIsExactInBoundedMemory) {
    {
        Connected filler = Connect(Host("big.db"));
        filler.db->ExecuteSQL("CREATE TABLE BIG (ID INTEGER NOT NULL, NAME VARCHAR2(60), AMOUNT NUMBER(9,2))");
        filler.session->BeginTrans();
        EXPECT_EQ(filler.db->ExecuteSQL(QString::fromLatin1(kTwoMillion) +
                                        "INSERT INTO BIG SELECT x, '名前 ' || x, x / 100.0 FROM c"),
                  2000000);
        filler.session->CommitTrans();
    }
    Connected c = Connect(Host("big.db"));
    const MemoryWatch memory;
    ASSERT_TRUE(memory.valid());
    for (const char* sql : {"SELECT * FROM BIG", "SELECT * FROM BIG ORDER BY 1", "SELECT * FROM BIG WHERE ID % 2 = 0"}) {
        SCOPED_TRACE(sql);
        auto dynaset = c.db->DbCreateDynaset(QString::fromLatin1(sql), kDynasetNoBlankStrip);
        EXPECT_EQ(dynaset->RecordCount(), std::string(sql).find('%') == std::string::npos ? 2000000 : 1000000);
        dynaset->MoveFirst();
        for (int i = 0; i < 3 && !dynaset->Eof(); ++i) {
            EXPECT_TRUE(dynaset->Fields().Item(1).Value().has_value());
            dynaset->MoveNext();
        }
    }
    ExpectBoundedGrowth(memory, kAllowedGrowthKiB);
}

}  // namespace
