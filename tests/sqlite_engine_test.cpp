// The embedded engine against real SQLite files in a temporary directory:
// what only this engine does (TO_DATE, declared types, the file, its locks,
// SQLite's storage classes). What every engine does is checked on this
// engine's route by engine_contract_test.cpp.

#include "tests/memory_watch.h"
#include "db/engine.h"
#include "db/error.h"
#include "db/utf8_text.h"
#include "db/sqlite/declared_type.h"
#include "db/sqlite/real_text.h"
#include "db/sqlite/sqlite_session.h"
#include "db/sqlite/to_date.h"
#include "tests/error_of.h"
#include "tests/test_databases.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>

using namespace velkin;
using velkin::testing::MemoryWatch;
using velkin::testing::ExpectBoundedGrowth;

namespace {

using velkin::testing::ErrorOf;
using Connected = test::Opened;

Connected Connect(const QString& host, OpenOption option = OpenOption::NoLockWait) { return test::Open(host, "scott/tiger", option); }

// A single value from a fresh query.
std::optional<QString> QueryValue(Connection& db, const QString& sql) {
    auto dynaset = db.openCursor(sql, CursorOption::KeepTrailingBlanks);
    if (dynaset->atEnd()) return std::nullopt;
    return dynaset->value(0);
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
    ColumnType expected;
};

TEST(SqliteDeclaredType, MapsEachDeclarationToKindSizeAndScale) {
    const DeclaredCase cases[] = {
        {"VARCHAR2(20)", {ColumnKind::Text, 20, 0}},
        {"varchar2 ( 40 )", {ColumnKind::Text, 40, 0}},
        {"VARCHAR2(20 CHAR)", {ColumnKind::Text, 20, 0}},
        {"VARCHAR(100)", {ColumnKind::Text, 100, 0}},
        {"NVARCHAR2(10)", {ColumnKind::Text, 10, 0}},
        {"CHARACTER VARYING(7)", {ColumnKind::Text, 7, 0}},
        {"TEXT", {ColumnKind::Text, 0, 0}},
        {"CLOB", {ColumnKind::Text, 0, 0}},
        {"VARCHAR2", {ColumnKind::Text, 0, 0}},
        {"CHAR(5)", {ColumnKind::FixedChar, 5, 0}},
        {"NCHAR(3)", {ColumnKind::FixedChar, 3, 0}},
        {"CHARACTER(2)", {ColumnKind::FixedChar, 2, 0}},
        {"CHAR", {ColumnKind::FixedChar, 1, 0}},
        {"NUMBER(9,2)", {ColumnKind::Number, 10, 2}},
        {"number( 9 , 2 )", {ColumnKind::Number, 10, 2}},
        {"NUMBER(5)", {ColumnKind::Number, 6, 0}},
        {"NUMBER(*,3)", {ColumnKind::Number, 39, 3}},
        {"NUMBER(7,-2)", {ColumnKind::Number, 8, -2}},
        {"NUMBER", {ColumnKind::Number, 39, 0}},
        {"NUMERIC", {ColumnKind::Number, 39, 0}},
        {"DECIMAL(12,4)", {ColumnKind::Number, 13, 4}},
        {"INTEGER", {ColumnKind::Number, 39, 0}},
        {"INT", {ColumnKind::Number, 39, 0}},
        {"SMALLINT", {ColumnKind::Number, 39, 0}},
        {"BIGINT", {ColumnKind::Number, 39, 0}},
        {"REAL", {ColumnKind::Number, 39, 0}},
        {"FLOAT", {ColumnKind::Number, 39, 0}},
        {"DOUBLE", {ColumnKind::Number, 39, 0}},
        {"double  precision", {ColumnKind::Number, 39, 0}},
        {"DATE", {ColumnKind::Date, 7, 0}},
        {"date", {ColumnKind::Date, 7, 0}},
        {"DATETIME", {ColumnKind::Date, 7, 0}},
        {"TIMESTAMP", {ColumnKind::Date, 7, 0}},
        {"TIMESTAMP(6)", {ColumnKind::Date, 7, 0}},
        {"TIMESTAMP WITH TIME ZONE", {ColumnKind::Date, 7, 0}},
        {"TIMESTAMP(3) WITH LOCAL TIME ZONE", {ColumnKind::Date, 7, 0}},
        {"BLOB", {ColumnKind::Other, 0, 0}},
        {"RAW(16)", {ColumnKind::Other, 0, 0}},
        {"BOOLEAN", {ColumnKind::Other, 0, 0}},
        {"", {ColumnKind::Other, 0, 0}},
        {"CHARS(5)", {ColumnKind::Other, 0, 0}},
        {"VARCHAR22(5)", {ColumnKind::Other, 0, 0}},
        {"DATED", {ColumnKind::Other, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.declared);
        const ColumnType got = MapDeclaredType(c.declared);
        EXPECT_EQ(got.kind, c.expected.kind);
        EXPECT_EQ(got.size, c.expected.size);
        EXPECT_EQ(got.scale, c.expected.scale);
    }
}

// ----------------------------------------------------------------------------
// REAL read-back

// A read checks each REAL's plain text from the decimal it spells, without
// reading the text again: the answer must be the text's own, on the values
// databases hold (decimals of a few places), with the point a read may add,
// and on arbitrary bit patterns.
TEST(SqliteRealText, TheDecimalsOfAPlainTextReadBackAsTheTextDoes) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &raw), SQLITE_OK);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    std::mt19937_64 random(20261209);
    int decimals = 0;
    for (int i = 0; i < 200000; ++i) {
        double value;
        if (i % 2 == 0) {
            const auto places = static_cast<int>(random() % 18);
            const auto digits = static_cast<int64_t>(random() % 10000000000000000ULL) >> (random() % 50);
            value = static_cast<double>(digits) / std::pow(10.0, places) * (random() % 2 ? 1 : -1);
        } else {
            const uint64_t bits = random();
            std::memcpy(&value, &bits, sizeof value);
        }
        if (!std::isfinite(value)) continue;
        std::string text;
        const std::optional<ShortDecimalParts> parts = PlainDecimalFromDouble(value, text);
        if (!parts) continue;
        ++decimals;
        ASSERT_EQ(SqliteReadsBack(db.get(), text, value, parts), SqliteReadsBack(db.get(), text, value)) << text;
        if (text.find('.') == std::string::npos)
            ASSERT_EQ(SqliteReadsBack(db.get(), text + ".0", value, parts), SqliteReadsBack(db.get(), text + ".0", value))
                << text;
    }
    EXPECT_GT(decimals, 50000);
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
    EXPECT_EQ(QueryValue(*c, "SELECT TO_DATE('20240131','yyyymmdd')"), "2024-01-31");
    EXPECT_EQ(QueryValue(*c, "SELECT TO_DATE('20240229','YYYYMMDD')"), "2024-02-29");
    EXPECT_EQ(QueryValue(*c, "SELECT TO_DATE(NULL,'yyyymmdd')"), std::nullopt);

    c->execute("CREATE TABLE T (D DATE)");
    EXPECT_EQ(c->execute("INSERT INTO T VALUES (TO_DATE('20240131','yyyymmdd'))"), 1);
    for (const char* bad : {"20240230", "2024013", "2024O131", "abcdefgh", ""}) {
        SCOPED_TRACE(bad);
        const Error e = ErrorOf([&] {
            c->execute(QStringLiteral("INSERT INTO T VALUES (TO_DATE('%1','yyyymmdd'))").arg(bad));
        });
        EXPECT_EQ(e.Number(), SQLITE_ERROR);
        EXPECT_TRUE(e.Description().contains(QStringLiteral("TO_DATE"))) << e.Description().toStdString();
        EXPECT_TRUE(e.Description().contains(QString::fromLatin1(bad))) << e.Description().toStdString();
    }
    const Error format = ErrorOf([&] { c->execute("INSERT INTO T VALUES (TO_DATE('20240131','dd.mm.yyyy'))"); });
    EXPECT_EQ(format.Number(), SQLITE_ERROR);
    EXPECT_EQ(QueryValue(*c, "SELECT count(*) || '/' || min(D) FROM T"), "1/2024-01-31");
}

TEST_F(SqliteEngine, ToDateIsThereOnEveryNewConnection) {
    Connect(Host("d.db"))->execute("CREATE TABLE T (D DATE)");
    Connected again = Connect(Host("d.db"));
    EXPECT_EQ(again->execute("INSERT INTO T VALUES (TO_DATE('19991231','yyyymmdd'))"), 1);
}

// ----------------------------------------------------------------------------
// Opening

TEST_F(SqliteEngine, EmptyHostOpensVelkinDbInTheWorkingDirectory) {
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir_.path()));
    {
        Connected c = Connect(QString());
        c->execute("CREATE TABLE HERE (A INTEGER)");
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

TEST_F(SqliteEngine, FileThatIsNotADatabaseFailsAtOpen) {
    {
        std::ofstream out(Path("notes.db").toStdString());
        for (int i = 0; i < 100; ++i) out << "These are plain notes, not a database file at all.\n";
    }
    auto session = CreateSqliteConnection();
    const Error e = ErrorOf([&] { session->open(Host("notes.db"), "u/p", OpenOption::NoLockWait); });
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
        c->execute("CREATE TABLE T (A INTEGER)");
        c->execute("INSERT INTO T VALUES (7)");
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
                if (QueryValue(*c, "SELECT A FROM T") != QStringLiteral("7")) return 2;
                try {
                    c->execute("INSERT INTO T VALUES (8)");
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

// A pending write lets others open and read (engine_contract_test); an
// exclusive lock keeps even the schema from being read: opening fails at once.
TEST_F(SqliteEngine, AnExclusiveLockMakesOpeningFailAtOnceWithBusy) {
    Connected writer = Connect(Host("lock.db"));
    writer->execute("CREATE TABLE T (A INTEGER)");
    writer->execute("BEGIN EXCLUSIVE");
    writer->execute("INSERT INTO T VALUES (3)");
    auto session = CreateSqliteConnection();
    const auto started = std::chrono::steady_clock::now();
    const Error open = ErrorOf([&] { session->open(Host("lock.db"), "u/p", OpenOption::NoLockWait); });
    EXPECT_EQ(open.Number() & 0xff, SQLITE_BUSY);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    writer->commit();

    EXPECT_NO_THROW(session->open(Host("lock.db"), "u/p", OpenOption::NoLockWait));
}

// ----------------------------------------------------------------------------
// Statements

TEST_F(SqliteEngine, ExecuteSqlReportsSqliteErrors) {
    Connected c = Connect(Host("x.db"));
    EXPECT_EQ(ErrorOf([&] { c->execute("  ;  -- nothing\n"); }).Number(), SQLITE_ERROR);
    const Error missing = ErrorOf([&] { c->execute("INSERT INTO NOPE VALUES (1)"); });
    EXPECT_TRUE(missing.Description().contains("no such table: NOPE")) << missing.what();
}

// Keys count only while the connection has foreign keys on
// (engine_contract_test); names compare as SQLite compares them.
TEST_F(SqliteEngine, KeysFindTheirTableByNameAsSqliteComparesThem) {
    Connected c = Connect(Host("fk.db"));
    c->execute("CREATE TABLE Parent (id INTEGER PRIMARY KEY)");
    c->execute("CREATE TABLE kids (p INTEGER REFERENCES \"PARENT\" ON DELETE CASCADE)");
    c->execute("PRAGMA foreign_keys = ON");
    const Error refused = ErrorOf([&] { c->requireNoDestructiveReferences("main.\"parent\""); });
    EXPECT_EQ(refused.Number(), Error::kDeleteReachesOtherTables);
    EXPECT_TRUE(refused.Description().endsWith("表は変更していません: kids (CASCADE)")) << refused.what();
    EXPECT_EQ(c->referringTablesNote("PARENT"), "表 PARENT を外部キーで参照している表: kids (CASCADE)");
}

// ----------------------------------------------------------------------------
// Dynasets

class SqliteDynasetTest : public SqliteEngine {
protected:
    void SetUp() override {
        SqliteEngine::SetUp();
        c_ = Connect(Host("dyn.db"));
        c_->execute(
            "CREATE TABLE EMP (CODE CHAR(5) NOT NULL, NAME VARCHAR2(20) NOT NULL, SALARY NUMBER(9,2), "
            "RATE NUMBER, HIRED DATE, SEQ INTEGER NOT NULL, NOTE VARCHAR2(100))");
        c_->execute(
            "INSERT INTO EMP VALUES ('A0001', '山田 太郎', 1234.5, 0.1, '2024-01-31', 1, NULL)");
        c_->execute("INSERT INTO EMP VALUES ('AB', 'Smith  ', NULL, 1e20, NULL, 2, 'trailing   ')");
        c_->execute("INSERT INTO EMP VALUES ('C3   ', 'ｶﾀｶﾅ', -0.5, 42, '1999-12-31', 3, '')");
    }

    Connected c_;
};

// The read takes values as UTF-8 bytes; they must stand for exactly the text
// Value() gives, for every kind of value, with and without blank stripping.
TEST_F(SqliteDynasetTest, Utf8ValuesAreTheValuesTextInUtf8) {
    c_->execute("INSERT INTO EMP VALUES ('é', 'Ünï  ', 12345678.25, -1e-300, '2024-02-29 10:00:00', 4, "
                      "CAST(x'41ff42' AS TEXT))");
    c_->execute("INSERT INTO EMP VALUES ('😀', '', 0.30000000000000004, 123456789012345678, NULL, 5, x'00ff')");
    for (const CursorOption options : {CursorOption::KeepTrailingBlanks, CursorOption::StripTrailingBlanks}) {
        auto dynaset = c_->openCursor(
            "SELECT *, SEQ * 1.5, 'x' || NOTE FROM EMP UNION ALL SELECT 'z', 'z', 9e99, NULL, NULL, 6, NULL, NULL, "
            "NULL ORDER BY 6",
            options);
        std::string scratch;
        int records = 0;
        for (; !dynaset->atEnd(); dynaset->next(), ++records) {
            for (int16_t j = 0; j < dynaset->columnCount(); ++j) {
                SCOPED_TRACE(::testing::Message() << "options " << static_cast<int>(options) << " record " << records << " column " << j);
                const std::optional<QString> text = dynaset->value(j);
                const std::optional<std::string_view> bytes = dynaset->utf8Value(j, scratch);
                ASSERT_EQ(bytes.has_value(), text.has_value());
                if (bytes) EXPECT_EQ(FromUtf8(*bytes), *text);
            }
        }
        EXPECT_EQ(records, 6);
    }
}

// The exact form and the cell text come from one reading of the value: the
// same whichever is asked first, however often, and again after first().
TEST_F(SqliteDynasetTest, ExactFormsDoNotDependOnTheOrderAsked) {
    c_->execute("INSERT INTO EMP VALUES ('ab ', x'41', 'text', 7, '2024-01-05T10:11:12', 4, CAST(x'41ff' AS TEXT))");
    c_->execute("INSERT INTO EMP VALUES ('é', CAST(x'610062' AS TEXT), 2.5, x'00', 20240105, 5, 1.0)");
    const QString query = QStringLiteral("SELECT * FROM EMP ORDER BY SEQ");
    struct Cell {
        std::optional<QString> text;
        std::optional<ExactValue> exact;
        bool operator==(const Cell& o) const {
            const auto same = [](const std::optional<ExactValue>& a, const std::optional<ExactValue>& b) {
                return a.has_value() == b.has_value() &&
                       (!a || (a->literal == b->literal && a->needs == b->needs && a->unpadded == b->unpadded));
            };
            return text == o.text && same(exact, o.exact);
        }
    };
    // Exact form first, as the read asks; then the value first, exact asked twice.
    const auto pass = [&](Cursor& dynaset, bool exactFirst) {
        std::vector<Cell> cells;
        std::string scratch;
        for (; !dynaset.atEnd(); dynaset.next())
            for (int j = 0; j < dynaset.columnCount(); ++j) {
                Cell cell;
                if (exactFirst) cell.exact = dynaset.exact(j);
                const std::optional<std::string_view> bytes = dynaset.utf8Value(j, scratch);
                if (bytes) cell.text = FromUtf8(*bytes);
                if (!exactFirst) {
                    cell.exact = dynaset.exact(j);
                    const Cell again{cell.text, dynaset.exact(j)};
                    EXPECT_TRUE(cell == again);
                }
                EXPECT_EQ(dynaset.value(j), cell.text);
                cells.push_back(std::move(cell));
            }
        return cells;
    };
    auto dynaset = c_->openCursor(query, CursorOption::KeepTrailingBlanks);
    const std::vector<Cell> read = pass(*dynaset, true);
    dynaset->first();
    EXPECT_TRUE(pass(*dynaset, false) == read);
    EXPECT_TRUE(pass(*c_->openCursor(query, CursorOption::KeepTrailingBlanks), false) == read);
    // Each CHAR value shorter than its width has an exact form; only one
    // ending in a blank of its own needs its literal.
    size_t unpadded = 0, quoted = 0;
    for (size_t i = 0; i < read.size(); i += static_cast<size_t>(dynaset->columnCount()))
        if (read[i].text->size() == 5 && read[i].exact) (read[i].exact->unpadded ? unpadded : quoted) += 1;
    EXPECT_EQ(unpadded, 2u);
    EXPECT_EQ(quoted, 1u);
}

// Text that is not plain UTF-8 goes back through its bytes wherever the bad
// byte sits, also in the last few bytes of a longer text.
TEST_F(SqliteDynasetTest, TextWithABadByteAtItsEndGoesBackThroughItsBytes) {
    auto dynaset = c_->openCursor("SELECT NOTE FROM (SELECT 1 AS k, CAST(x'4142434445464748ff' AS TEXT) AS NOTE "
                                  "UNION ALL SELECT 2, CAST(x'41424344454647484900' AS TEXT) "
                                  "UNION ALL SELECT 3, CAST(x'4142434445464748494a' AS TEXT)) ORDER BY k",
                                  CursorOption::KeepTrailingBlanks);
    for (const bool plain : {false, false, true}) {
        ASSERT_FALSE(dynaset->atEnd());
        const std::optional<ExactValue> exact = dynaset->exact(0);
        EXPECT_EQ(!exact, plain);
        if (exact) EXPECT_TRUE(exact->literal.startsWith(QStringLiteral("CAST(X'"))) << exact->literal.toStdString();
        dynaset->next();
    }
}

// An expression has no declared type: its values' storage classes decide.
TEST_F(SqliteDynasetTest, ExpressionValuesAndBlobs) {
    auto dynaset = c_->openCursor(
        "SELECT 9223372036854775807, -3, 1.5e-7, x'00ff10', 'テキスト', NULL, 0.1 + 0.2, SALARY * 2, NAME || '!' "
        "FROM EMP WHERE SEQ = 1",
        CursorOption::KeepTrailingBlanks);
    EXPECT_EQ(dynaset->value(0), "9223372036854775807");
    EXPECT_EQ(dynaset->value(1), "-3");
    EXPECT_EQ(dynaset->value(2), "0.00000015");
    EXPECT_EQ(dynaset->value(3), "00FF10");
    EXPECT_EQ(dynaset->value(4), QStringLiteral("テキスト"));
    EXPECT_EQ(dynaset->value(5), std::nullopt);
    EXPECT_EQ(dynaset->value(6), "0.30000000000000004");
    EXPECT_EQ(dynaset->column(2).kind, ColumnKind::Number);
    EXPECT_EQ(dynaset->column(4).kind, ColumnKind::Text);
    EXPECT_EQ(dynaset->column(5).kind, ColumnKind::Text);
    EXPECT_EQ(dynaset->value(7), "2469");
    for (int i : {7, 8}) {
        EXPECT_EQ(dynaset->column(i).kind, i == 7 ? ColumnKind::Number : ColumnKind::Text);
        EXPECT_EQ(dynaset->column(i).size, i == 7 ? 39 : 0);
        EXPECT_EQ(dynaset->column(i).scale, 0);
        EXPECT_TRUE(dynaset->column(i).nullable);
    }
}

// A statement that changes data is refused even when it returns rows.
TEST_F(SqliteDynasetTest, StatementsThatWriteAreRefusedBeforeTheyRun) {
    const Error e = ErrorOf(
        [&] { c_->openCursor("INSERT INTO EMP SELECT * FROM EMP RETURNING CODE", CursorOption::KeepTrailingBlanks); });
    EXPECT_EQ(e.Number(), SQLITE_ERROR);
    EXPECT_EQ(QueryValue(*c_, "SELECT count(*) FROM EMP"), "3");
}

TEST_F(SqliteDynasetTest, ErrorWhileReadingRowsIsRaisedByTheMove) {
    c_->execute("CREATE TABLE D (S TEXT)");
    c_->execute("INSERT INTO D VALUES ('20240101')");
    c_->execute("INSERT INTO D VALUES ('20240230')");
    auto dynaset = c_->openCursor("SELECT TO_DATE(S, 'yyyymmdd') FROM D ORDER BY rowid", CursorOption::KeepTrailingBlanks);
    EXPECT_EQ(dynaset->value(0), "2024-01-01");
    const Error e = ErrorOf([&] { dynaset->next(); });
    EXPECT_EQ(e.Number(), SQLITE_ERROR);
    EXPECT_TRUE(dynaset->atEnd());
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
    auto dynaset = c->openCursor(
        QString::fromLatin1(kTwoMillion) + "SELECT x, 'row number ' || x || ' with some text to make it wider' FROM c",
        CursorOption::KeepTrailingBlanks);
    EXPECT_EQ(dynaset->size(), 2000000);
    dynaset->first();
    for (int i = 1; i <= 5; ++i, dynaset->next()) EXPECT_EQ(dynaset->value(0), QString::number(i));
    ExpectBoundedGrowth(memory, kAllowedGrowthKiB);
}

TEST_F(SqliteEngine, RecordCountOfAMillionsRowTableIsExactInBoundedMemory) {
    {
        Connected filler = Connect(Host("big.db"));
        filler->execute("CREATE TABLE BIG (ID INTEGER NOT NULL, NAME VARCHAR2(60), AMOUNT NUMBER(9,2))");
        filler->begin();
        EXPECT_EQ(filler->execute(QString::fromLatin1(kTwoMillion) +
                                        "INSERT INTO BIG SELECT x, '名前 ' || x, x / 100.0 FROM c"),
                  2000000);
        filler->commit();
    }
    Connected c = Connect(Host("big.db"));
    const MemoryWatch memory;
    ASSERT_TRUE(memory.valid());
    for (const char* sql : {"SELECT * FROM BIG", "SELECT * FROM BIG ORDER BY 1", "SELECT * FROM BIG WHERE ID % 2 = 0"}) {
        SCOPED_TRACE(sql);
        auto dynaset = c->openCursor(QString::fromLatin1(sql), CursorOption::KeepTrailingBlanks);
        EXPECT_EQ(dynaset->size(), std::string(sql).find('%') == std::string::npos ? 2000000 : 1000000);
        dynaset->first();
        for (int i = 0; i < 3 && !dynaset->atEnd(); ++i) {
            EXPECT_TRUE(dynaset->value(1).has_value());
            dynaset->next();
        }
    }
    ExpectBoundedGrowth(memory, kAllowedGrowthKiB);
}

}  // namespace
