// The window end to end through ODBC: Read, edit, Update through the real
// Form1 with "odbc:" hosts, through PostgreSQL's ODBC driver to the server that
// scripts/run-tests.sh starts and through SQLite's ODBC driver to files; a
// refused row, a wrong password, a data source that does not exist and a
// service name with no Oracle driver installed, each leaving the table as it was.
// The data sources and drivers live in an odbc.ini and odbcinst.ini of the
// test's own.

#include "form_fixture.h"
#include "tests/pg_test_env.h"

#include "db/error.h"
#include "grid/grid_prepare.h"
#include "commands/table_read.h"
#include "commands/table_replace.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QUrl>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

// Cell texts readable in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

using namespace velkin;
using namespace velkin::testing;
using velkin::test::PgAdmin;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// ----------------------------------------------------------------------------
// The ODBC configuration, written before any test reaches the driver manager.
// No driver in it has "Oracle" in its name.

class OdbcConfiguration : public ::testing::Environment {
public:
    static QString LitePath() { return dir().filePath(QStringLiteral("lite.db")); }

    void SetUp() override {
        if (!dir().isValid()) throw std::runtime_error("no temporary directory");
        Write(QStringLiteral("odbcinst.ini"),
              // Bare library names: the driver manager finds them in its driver folder.
              QStringLiteral("[Velkin Test PostgreSQL]\nDriver=psqlodbcw.so\n\n"
                             "[Velkin Test SQLite]\nDriver=libsqlite3odbc.so\n\n"));
        const QUrl pg(Q(test::PgUri()));
        Write(QStringLiteral("odbc.ini"),
              QStringLiteral("[velkin_pg]\nDriver=Velkin Test PostgreSQL\nServername=%1\nPort=%2\nDatabase=%3\n\n"
                             "[velkin_lite]\nDriver=Velkin Test SQLite\nDatabase=%4\nTimeout=200\n\n")
                  .arg(pg.host())
                  .arg(pg.port())
                  .arg(pg.path().mid(1), LitePath()));
        setenv("ODBCSYSINI", QFile::encodeName(dir().path()).constData(), 1);
        setenv("ODBCINI", QFile::encodeName(dir().filePath(QStringLiteral("odbc.ini"))).constData(), 1);
    }

private:
    static QTemporaryDir& dir() {
        static QTemporaryDir directory;
        return directory;
    }
    static void Write(const QString& name, const QString& text) {
        QFile file(dir().filePath(name));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) throw std::runtime_error("cannot write odbc files");
        file.write(text.toUtf8());
    }
};
const auto* const kOdbcConfiguration = ::testing::AddGlobalTestEnvironment(new OdbcConfiguration);

using Grid = std::vector<std::vector<QString>>;
using Cells = std::vector<QString>;

// What every ODBC window test does: fill the boxes, read, update, look at
// the boxes shown, the grid and its marks.
class OdbcWindowTest : public FormTest {
protected:
    void login(const QString& host, const QString& user = QString(), const QString& password = QString()) {
        form().TXT_USER->setText(user);
        form().TXT_PASS->setText(password);
        form().TXT_HOST->setText(host);
    }

    void readTable(const QString& table) {
        boxes_.boxes.clear();
        form().Option1[0]->click();
        form().TXT_TABLE->setText(table);
        form().CMD_Read->click();
    }
    // A read that must succeed with rows.
    void read(const QString& table) {
        readTable(table);
        ASSERT_TRUE(boxes_.boxes.empty()) << boxes_.boxes[0].text.toStdString();
        ASSERT_TRUE(form().CMD_Update->isEnabled());
    }
    // A successful update: the question answered Yes, no report, the grid emptied.
    void expectUpdated() {
        ASSERT_TRUE(reports().empty()) << reports()[0].text.toStdString();
        ASSERT_EQ(boxes_.boxes.size(), 1u);
        EXPECT_EQ(boxes_.boxes[0].text, kReplaceQuestion);
        EXPECT_EQ(grid().lastDataRow(), 0) << "a committed replace empties the grid";
        EXPECT_FALSE(form().CMD_Update->isEnabled());
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(openConnections(), 0);
    }

    Grid gridCells() {
        Grid cells;
        for (int32_t r = 1; r <= grid().lastDataRow(); ++r) cells.push_back(gridRow(r));
        return cells;
    }

    // The one report a failed command shows: its label, SQLSTATE and title.
    void expectOneReport(ErrorReportKind kind, const QString& sqlState) {
        const auto shown = reports();
        ASSERT_EQ(shown.size(), 1u);
        const QString label = kind == ErrorReportKind::Command ? QStringLiteral("Error Code:") : QStringLiteral("Error Code: ");
        EXPECT_TRUE(shown[0].text.startsWith(label)) << shown[0].text.toStdString();
        EXPECT_NE(shown[0].text.mid(label.size(), 1), QStringLiteral(" ")) << "one blank only";
        EXPECT_TRUE(shown[0].text.contains(QStringLiteral("[SQLSTATE %1]").arg(sqlState))) << shown[0].text.toStdString();
        EXPECT_EQ(shown[0].title, kind == ErrorReportKind::Command ? QString() : QStringLiteral("Message"));
        EXPECT_EQ(shown[0].buttons, MessageButtons::Ok);
    }
    // A failed read: the grid reset, Update disabled, nothing held.
    void expectReadFailed(ErrorReportKind kind, const QString& sqlState) {
        expectOneReport(kind, sqlState);
        EXPECT_EQ(grid().lastDataRow(), 0);
        EXPECT_FALSE(form().CMD_Update->isEnabled());
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(openConnections(), 0);
    }
    // A failed update: the grid as it was, with `marked` rows red; Update
    // still enabled so the user can correct and try again.
    void expectUpdateFailed(ErrorReportKind kind, const QString& sqlState, const Grid& before,
                            const std::vector<int32_t>& marked) {
        expectOneReport(kind, sqlState);
        EXPECT_EQ(gridCells(), before) << "the grid changed";
        EXPECT_EQ(redRows(), marked);
        EXPECT_TRUE(form().CMD_Update->isEnabled());
        EXPECT_TRUE(grid().isEnabled());
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(openConnections(), 0);
    }
};

// ----------------------------------------------------------------------------
// PostgreSQL's ODBC driver

class OdbcPgWindow : public OdbcWindowTest {
protected:
    void SetUp() override {
        OdbcWindowTest::SetUp();
        ASSERT_FALSE(test::PgUri().empty()) << test::kPgMissingServer;
        admin_ = std::make_unique<PgAdmin>();
        suffix_ = "_" + std::to_string(getpid());
        loginPg(kDataSource);
    }
    void TearDown() override {
        if (admin_)
            for (const std::string& table : dropAtEnd_) admin_->Exec("DROP TABLE IF EXISTS " + table);
        OdbcWindowTest::TearDown();
    }

    static inline const QString kDataSource = QStringLiteral("odbc:velkin_pg");
    // The same server by a connection string: longer than the login boxes
    // allow, and taken whole from the host box.
    static QString ConnectionString() {
        const QUrl pg(Q(test::PgUri()));
        return QStringLiteral("odbc:DRIVER={Velkin Test PostgreSQL};SERVER=%1;PORT=%2;DATABASE=%3")
            .arg(pg.host())
            .arg(pg.port())
            .arg(pg.path().mid(1));
    }
    void loginPg(const QString& host) { login(host, Q(test::PgUser()), Q(test::PgPassword())); }

    // Five rows, ids 1 to 5 in grid rows 3 to 7.
    QString makeTable(const std::string& name) {
        const std::string table = "odbcwin_" + name + suffix_;
        admin_->Exec("DROP TABLE IF EXISTS " + table + "; CREATE TABLE " + table +
                     " (id integer PRIMARY KEY, code char(3) NOT NULL, name varchar(10), "
                     "amount numeric(7,2) CHECK (amount < 10000), born date)");
        admin_->Exec("INSERT INTO " + table +
                     " VALUES (3,'C','gamma',30.25,'2023-12-31'), (1,'A','alpha',10.00,'2024-01-01'), "
                     "(2,'B','beta',20.50,NULL), (5,'E','epsilon',-1.5,'1999-12-31'), "
                     "(4,'D','鈴木',0,'2000-02-29')");
        dropAtEnd_.push_back(table);
        return Q(table);
    }
    // The server's statement log (log_statement = 'all') from `from` on.
    static std::string ServerLogFrom(std::streamoff from) {
        std::ifstream in(test::PgEnv("VELKIN_PG_LOG"), std::ios::binary);
        in.seekg(from);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static std::streamoff ServerLogEnd() {
        std::ifstream in(test::PgEnv("VELKIN_PG_LOG"), std::ios::binary | std::ios::ate);
        return in ? static_cast<std::streamoff>(in.tellg()) : 0;
    }

    // The rows in the server's own text form, by key.
    std::string content(const QString& table) {
        return admin_->Column("SELECT t::text FROM " + table.toStdString() + " t ORDER BY id");
    }
    // Every row version with its place and creating transaction: a rolled
    // back replace leaves the very same versions.
    std::string versions(const QString& table) {
        return admin_->Column("SELECT ctid::text || ' ' || xmin::text || ' ' || t::text FROM " + table.toStdString() +
                              " t ORDER BY ctid");
    }

    std::unique_ptr<PgAdmin> admin_;
    std::string suffix_;
    std::vector<std::string> dropAtEnd_;
};

const std::string kFiveRows =
    "(1,\"A  \",alpha,10.00,2024-01-01)|(2,\"B  \",beta,20.50,)|(3,\"C  \",gamma,30.25,2023-12-31)|"
    "(4,\"D  \",鈴木,0.00,2000-02-29)|(5,\"E  \",epsilon,-1.50,1999-12-31)";

TEST_F(OdbcPgWindow, ReadEditAndUpdateRoundTripThroughTheDataSourceAndAConnectionString) {
    for (const QString& host : {kDataSource, ConnectionString()}) {
        SCOPED_TRACE(host.toStdString());
        const QString t = makeTable(host == kDataSource ? "dsn" : "string");
        loginPg(host);
        const std::streamoff logStart = ServerLogEnd();
        read(t);
        // The driver read the rows through a server-side cursor, a batch at a
        // time, without the user setting anything up for it.
        EXPECT_NE(ServerLogFrom(logStart).find("cursor with hold for SELECT * FROM " + t.toStdString() + " ORDER BY 1 ,2"),
                  std::string::npos);
        EXPECT_EQ(gridRow(1), (Cells{"id", "code", "name", "amount", "born"}));
        EXPECT_EQ(gridRow(2), (Cells{"NUMBER(10)", "CHAR(3)", "VARCHAR2(10)", "NUMBER(7.2)", "DATE(8)"}));
        // Sorted by the NOT NULL columns, id and code.
        EXPECT_EQ(gridCells(), (Grid{{"id", "code", "name", "amount", "born"},
                                     {"NUMBER(10)", "CHAR(3)", "VARCHAR2(10)", "NUMBER(7.2)", "DATE(8)"},
                                     {"1", "A  ", "alpha", "10", "20240101"},
                                     {"2", "B  ", "beta", "20.5", ""},
                                     {"3", "C  ", "gamma", "30.25", "20231231"},
                                     {"4", "D  ", "鈴木", "0", "20000229"},
                                     {"5", "E  ", "epsilon", "-1.5", "19991231"}}));
        EXPECT_EQ(color(3, 1), GridColor::kYellow);
        EXPECT_EQ(form().TXT_HOST->text(), host) << "the host box keeps the whole string";

        // An unchanged round trip keeps every value.
        update();
        expectUpdated();
        EXPECT_EQ(content(t), kFiveRows);

        read(t);
        setCell(3, 3, "O'Brien");   // an apostrophe
        setCell(4, 4, "1.23456");   // rounded by the column to two decimals
        setCell(4, 5, "20240229");  // a date where there was none
        setCell(5, 5, "");          // and none where there was one
        setCell(6, 1, "  ");        // a blank first cell: the row goes
        setCell(8, 1, "9");         // a new row after the last
        setCell(8, 2, "new");
        setCell(8, 4, "9999.99");
        update();
        expectUpdated();
        EXPECT_EQ(content(t),
                  "(1,\"A  \",O'Brien,10.00,2024-01-01)|(2,\"B  \",beta,1.23,2024-02-29)|"
                  "(3,\"C  \",gamma,30.25,)|(5,\"E  \",epsilon,-1.50,1999-12-31)|(9,new,\"\",9999.99,)");

        // The next read shows exactly what the table holds.
        read(t);
        EXPECT_EQ(grid().lastDataRow(), 7);
        EXPECT_EQ(gridRow(4), (Cells{"2", "B  ", "beta", "1.23", "20240229"}));
        EXPECT_EQ(gridRow(7), (Cells{"9", "new", "", "9999.99", ""}));
    }
}

TEST_F(OdbcPgWindow, ARefusedRowRollsBackMarksTheRowAndKeepsTheGrid) {
    struct Fault {
        const char* name;
        int32_t row, column;
        const char* text;
        const char* sqlState;
        const char* message;
    };
    for (const Fault& fault : {Fault{"unique", 5, 1, "1", "23505", "Key (id)=(1) already exists"},
                               Fault{"check", 7, 4, "10000", "23514", "check constraint"}}) {
        SCOPED_TRACE(fault.name);
        const QString t = makeTable(fault.name);
        read(t);
        setCell(3, 3, "changed");  // written before the refused row, then rolled back
        setCell(fault.row, fault.column, QString::fromUtf8(fault.text));
        const Grid before = gridCells();
        const std::string versionsBefore = versions(t);
        update();
        expectUpdateFailed(ErrorReportKind::Command, QString::fromLatin1(fault.sqlState), before, {fault.row});
        EXPECT_TRUE(reports()[0].text.contains(QString::fromUtf8(fault.message))) << reports()[0].text.toStdString();
        EXPECT_EQ(versions(t), versionsBefore) << "the table changed";

        // Corrected, the same grid goes through; the mark goes with the grid.
        setCell(fault.row, fault.column, fault.column == 1 ? QStringLiteral("8") : QStringLiteral("9999"));
        update();
        expectUpdated();
        EXPECT_EQ(admin_->Scalar("SELECT count(*) FROM " + t.toStdString()), "5");
        EXPECT_EQ(admin_->Scalar("SELECT name FROM " + t.toStdString() + " WHERE id = 1"), "changed");
    }
}

TEST_F(OdbcPgWindow, AWrongPasswordIsAConnectionErrorOnReadAndOnUpdate) {
    for (const QString& host : {kDataSource, ConnectionString()}) {
        SCOPED_TRACE(host.toStdString());
        const QString t = makeTable(host == kDataSource ? "pw_dsn" : "pw_string");
        login(host, Q(test::PgUser()), QStringLiteral("not the password"));
        readTable(t);
        expectReadFailed(ErrorReportKind::Connection, QStringLiteral("08001"));
        EXPECT_TRUE(reports()[0].text.contains("password authentication failed")) << reports()[0].text.toStdString();

        loginPg(host);
        read(t);
        setCell(3, 3, "changed");
        const Grid before = gridCells();
        const std::string versionsBefore = versions(t);
        form().TXT_PASS->setText(QStringLiteral("not the password"));
        update();
        expectUpdateFailed(ErrorReportKind::Connection, QStringLiteral("08001"), before, {});
        EXPECT_EQ(versions(t), versionsBefore);
    }
}

TEST_F(OdbcPgWindow, ADataSourceThatDoesNotExistIsAConnectionError) {
    const QString t = makeTable("nodsn");
    loginPg(QStringLiteral("odbc:no_such_source"));
    readTable(t);
    expectReadFailed(ErrorReportKind::Connection, QStringLiteral("IM002"));
    const QString text = reports()[0].text;
    EXPECT_TRUE(text.contains(QStringLiteral("ODBC データソース「no_such_source」が見つかりません"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("Data source name not found"))) << text.toStdString();

    loginPg(kDataSource);
    read(t);
    const Grid before = gridCells();
    const std::string versionsBefore = versions(t);
    form().TXT_HOST->setText(QStringLiteral("odbc:no_such_source"));
    update();
    expectUpdateFailed(ErrorReportKind::Connection, QStringLiteral("IM002"), before, {});
    EXPECT_EQ(versions(t), versionsBefore);
}

TEST_F(OdbcPgWindow, AServiceNameWithNeitherDataSourceNorOracleDriverSaysWhatIsMissing) {
    const QString t = makeTable("noora");
    loginPg(QStringLiteral("ORCL"));
    readTable(t);
    expectReadFailed(ErrorReportKind::Connection, QStringLiteral("IM002"));
    const QString text = reports()[0].text;
    EXPECT_TRUE(text.contains(QStringLiteral("「ORCL」という名前の ODBC データソースがなく"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("Oracle の ODBC ドライバもインストールされていません"))) << text.toStdString();

    loginPg(kDataSource);
    read(t);
    const Grid before = gridCells();
    const std::string versionsBefore = versions(t);
    form().TXT_HOST->setText(QStringLiteral("ORCL"));
    update();
    expectUpdateFailed(ErrorReportKind::Connection, QStringLiteral("IM002"), before, {});
    EXPECT_EQ(versions(t), versionsBefore);
}

// ----------------------------------------------------------------------------
// SQLite's ODBC driver, to a file

class OdbcLiteWindow : public OdbcWindowTest {
protected:
    void SetUp() override {
        OdbcWindowTest::SetUp();
        QFile::remove(OdbcConfiguration::LitePath());
        db_ = std::make_unique<SqliteFile>(OdbcConfiguration::LitePath());
        db_->exec(
            "CREATE TABLE EMP (CODE CHAR(5) NOT NULL UNIQUE, NAME VARCHAR2(20), SALARY NUMBER(9,2), NOTE CLOB, "
            "CHECK (SALARY < 1000000));"
            "INSERT INTO EMP VALUES ('B    ', '鈴木', 0.1, NULL);"
            "INSERT INTO EMP VALUES ('A    ', 'Smith', 1234.5, 'x');"
            "INSERT INTO EMP VALUES ('C    ', 'O''Hara', -7, 'two\nlines');");
        login(kDataSource, QStringLiteral("scott"), QStringLiteral("tiger"));
    }
    void TearDown() override {
        db_.reset();
        OdbcWindowTest::TearDown();
    }

    static inline const QString kDataSource = QStringLiteral("odbc:velkin_lite");
    Rows table() { return db_->query("SELECT * FROM EMP ORDER BY CODE"); }

    std::unique_ptr<SqliteFile> db_;
};

TEST_F(OdbcLiteWindow, ReadEditAndUpdateRoundTrip) {
    read(QStringLiteral("EMP"));
    EXPECT_EQ(gridCells(), (Grid{{"CODE", "NAME", "SALARY", "NOTE"},
                                 {"CHAR(5)", "VARCHAR2(20)", "NUMBER(9.2)", "VARCHAR2(255)"},
                                 {"A    ", "Smith", "1234.5", "x"},
                                 {"B    ", "鈴木", "0.1", ""},
                                 {"C    ", "O'Hara", "-7", "two\nlines"}}));
    update();
    expectUpdated();
    EXPECT_EQ(table(), (Rows{{"A    ", "Smith", "1234.5", "x"},
                             {"B    ", "鈴木", "0.1", "<NULL>"},
                             {"C    ", "O'Hara", "-7", "two\nlines"}}))
        << "a NULL nobody touched stays NULL";

    read(QStringLiteral("EMP"));
    setCell(3, 2, "it's");
    setCell(4, 3, "2.5");
    setCell(5, 1, " ");  // skipped: the row goes
    setCell(6, 1, "D");
    setCell(6, 4, "'; DROP TABLE EMP; --");
    update();
    expectUpdated();
    EXPECT_EQ(table(), (Rows{{"A    ", "it's", "1234.5", "x"}, {"B    ", "鈴木", "2.5", "<NULL>"},
                             {"D", "", "0", "'; DROP TABLE EMP; --"}}));
}

TEST_F(OdbcLiteWindow, AConnectionStringInTheHostBoxReachesItsFile) {
    // The driver's SQLite has no TO_DATE: dates go as ISO text, the form the read shows back.
    const QString file = path(QStringLiteral("other.db"));
    {
        SqliteFile other(file);
        other.exec("CREATE TABLE T (ID NUMBER(4) NOT NULL, LABEL VARCHAR2(8), DAY DATE); "
                   "INSERT INTO T VALUES (2, 'two', '2024-01-31');"
                   "INSERT INTO T VALUES (1, 'one', NULL);");
    }
    login(QStringLiteral("odbc:DRIVER={Velkin Test SQLite};Database=") + file);
    read(QStringLiteral("T"));
    EXPECT_EQ(gridCells(), (Grid{{"ID", "LABEL", "DAY"},
                                 {"NUMBER(4)", "VARCHAR2(8)", "DATE(8)"},
                                 {"1", "one", ""},
                                 {"2", "two", "20240131"}}));
    setCell(4, 2, "deux");
    setCell(3, 3, "20240229");
    setCell(5, 1, "3");
    update();
    expectUpdated();
    SqliteFile other(file);
    EXPECT_EQ(other.query("SELECT * FROM T ORDER BY ID"),
              (Rows{{"1", "one", "2024-02-29"}, {"2", "deux", "2024-01-31"}, {"3", "", "<NULL>"}}));
}

TEST_F(OdbcLiteWindow, ARefusedRowRollsBackMarksTheRowAndKeepsTheGrid) {
    struct Fault {
        const char* name;
        int32_t row, column;
        const char* text;
    };
    for (const Fault& fault : {Fault{"unique", 5, 1, "A    "}, Fault{"check", 4, 3, "1000000"}}) {
        SCOPED_TRACE(fault.name);
        read(QStringLiteral("EMP"));
        setCell(3, 2, "changed");  // written before the refused row, then rolled back
        setCell(fault.row, fault.column, QString::fromLatin1(fault.text));
        const Rows before = table();
        const Grid grid = gridCells();
        update();
        // SQLite's driver reports a constraint as a general error.
        expectUpdateFailed(ErrorReportKind::Command, QStringLiteral("HY000"), grid, {fault.row});
        EXPECT_TRUE(reports()[0].text.contains("constraint failed")) << reports()[0].text.toStdString();
        EXPECT_EQ(table(), before);
    }
}

}  // namespace
