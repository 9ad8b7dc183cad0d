#include "command_fixture.h"
#include "memory_watch.h"
#include "recording_session.h"

#include "commands/table_read.h"
#include "db/dialect.h"
#include "grid/grid.h"

#include <QApplication>

#include <algorithm>

using namespace velkin;
using namespace velkin::testing;

namespace {

class ReadTest : public CommandTest {
protected:
    void SetUp() override {
        CommandTest::SetUp();
        db_ = std::make_unique<SqliteFile>(path("Velkin.db"));
    }
    void TearDown() override {
        db_.reset();
        CommandTest::TearDown();
    }
    void createEmployees() {
        db_->exec(
            "CREATE TABLE EMP (NAME VARCHAR2(20), CODE CHAR(5) NOT NULL, SALARY NUMBER(9,2), HIRED DATE, "
            "SEQ NUMBER NOT NULL);"
            "INSERT INTO EMP VALUES ('鈴木', 'B    ', 1234.5, '2024-01-31 10:20:00', 2);"
            "INSERT INTO EMP VALUES ('Smith', 'AB   ', NULL, '2023-12-01', 1);"
            "INSERT INTO EMP VALUES (NULL, 'AB   ', 0.1, NULL, 3);");
    }
    std::unique_ptr<SqliteFile> db_;
};

using Cells = std::vector<QString>;
using Cell = std::pair<int32_t, int32_t>;

}  // namespace

TEST_F(ReadTest, TableModeShowsNamesTypesAndRecordsInTheOrderOfTheNotNullColumns) {
    createEmployees();
    readTable("EMP");
    ASSERT_TRUE(report.boxes.empty()) << report.boxes[0].text.toStdString();
    EXPECT_EQ(sheet.columnCount(), 5);
    EXPECT_EQ(row(1, 5), (Cells{"NAME", "CODE", "SALARY", "HIRED", "SEQ"}));
    EXPECT_EQ(row(2, 5), (Cells{"VARCHAR2(20)", "CHAR(5)", "NUMBER(9.2)", "DATE(8)", "NUMBER(38)"}));
    // ORDER BY 2 ,5: CODE, then SEQ.
    EXPECT_EQ(row(3, 5), (Cells{"Smith", "AB   ", "", "20231201", "1"}));
    EXPECT_EQ(row(4, 5), (Cells{"", "AB   ", "0.1", "", "3"}));
    EXPECT_EQ(row(5, 5), (Cells{QStringLiteral("鈴木"), "B    ", "1234.5", "20240131 10:20:00", "2"}))
        << "a time of day is shown after the date";
    EXPECT_EQ(cell(3, 0), "1");
    EXPECT_EQ(cell(5, 0), "3");
    EXPECT_EQ(cell(6, 1), "");

    Cells names, types;
    std::vector<int32_t> sizes, scales;
    for (size_t j = 0; j < catalogue.size(); ++j) {
        names.push_back(catalogue.COL_Name(j));
        types.push_back(catalogue.COL_Type(j));
        sizes.push_back(catalogue.COL_Size(j));
        scales.push_back(catalogue.COL_Scale(j));
    }
    EXPECT_EQ(names, (Cells{"NAME", "CODE", "SALARY", "HIRED", "SEQ"}));
    EXPECT_EQ(types, (Cells{"VARCHAR2", "CHAR", "NUMBER", "DATE", "NUMBER"}));
    EXPECT_EQ(sizes, (std::vector<int32_t>{20, 5, 9, 8, 38}));
    EXPECT_EQ(scales, (std::vector<int32_t>{0, 0, 2, 0, 0}));

    for (int32_t r : {3, 5, 6, 502}) EXPECT_EQ(color(r, 1), GridColor::kYellow) << r;
    EXPECT_EQ(color(2, 1), GridColor::kWhite);
    EXPECT_EQ(color(3, 2), GridColor::kWhite);
    EXPECT_TRUE(report.updateAllowed);
    EXPECT_EQ(report.activeCell, Cell(5, 1));
    EXPECT_EQ(report.progress, 3);
    EXPECT_EQ(report.progressMaximum, 3);
    EXPECT_FALSE(report.busy);
    EXPECT_EQ(openConnections(), 0);
    EXPECT_GT(report.sheetChanges, 0) << "the window is shown the sheet";
}

TEST_F(ReadTest, SqlModeShowsTheResultWithAnEmptyTypeRowAndLeavesUpdateDisabled) {
    createEmployees();
    readSql("SELECT NAME, SEQ, HIRED FROM EMP");
    ASSERT_TRUE(report.boxes.empty());
    EXPECT_EQ(sheet.columnCount(), 3);
    EXPECT_EQ(row(1, 3), (Cells{"NAME", "SEQ", "HIRED"}));
    EXPECT_EQ(row(2, 3), (Cells{"", "", ""}));
    EXPECT_EQ(row(3, 3), (Cells{QStringLiteral("鈴木"), "2", "20240131 10:20:00"})) << "no sort order is added";
    EXPECT_EQ(color(3, 1), GridColor::kYellow);
    EXPECT_FALSE(report.updateAllowed);

    // The table-list query of the embedded engine runs as it is written.
    readSql(DialectForHost(HostField(inputs.login.host)).tableListQuery());
    ASSERT_TRUE(report.boxes.empty());
    EXPECT_EQ(row(1, 2), (Cells{"TABLE_NAME", "COMMENTS"}));
    EXPECT_EQ(cell(3, 1), "EMP");
}

TEST_F(ReadTest, AnEmptyResultShowsTheNoDataNotice) {
    db_->exec("CREATE TABLE EMPTY_T (A VARCHAR2(3) NOT NULL, B DATE)");
    readTable("EMPTY_T");
    ASSERT_EQ(report.boxes.size(), 1u);
    EXPECT_EQ(report.boxes[0].text, kNoDataMessage);
    EXPECT_TRUE(report.boxes[0].title.isEmpty());
    EXPECT_EQ(report.boxes[0].buttons, MessageButtons::Ok);
    EXPECT_EQ(row(1, 2), (Cells{"A", "B"}));
    EXPECT_EQ(row(2, 2), (Cells{"VARCHAR2(3)", "DATE(8)"}));
    EXPECT_TRUE(report.updateAllowed);
    EXPECT_EQ(report.activeCell, Cell(3, 1));
    EXPECT_EQ(color(3, 1), GridColor::kWhite) << "column 1 is not coloured";

    report.boxes.clear();
    readSql("SELECT * FROM EMPTY_T");
    ASSERT_EQ(report.boxes.size(), 1u);
    EXPECT_EQ(report.boxes[0].text, kNoDataMessage);
    EXPECT_EQ(row(2, 2), (Cells{"", ""}));
    EXPECT_FALSE(report.updateAllowed);
}

// The bar takes one value per record and ends on the record count.
TEST_F(ReadTest, TheProgressBarStepsOncePerRecordAndEndsOnTheRecordCount) {
    constexpr int kRecords = 5000;
    writeSettings("[Default1]\r\nLINE=5002\r\n");
    db_->exec("CREATE TABLE N (V NUMBER, W VARCHAR2(10));"
              "WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s WHERE i < 5000) "
              "INSERT INTO N SELECT i, 'w' || i FROM s;");
    readTable("N");
    ASSERT_TRUE(report.boxes.empty());
    const std::vector<int32_t>& values = report.progressSteps;
    EXPECT_EQ(report.progress, kRecords);
    EXPECT_EQ(cell(kRecords + 2, 2), QStringLiteral("w%1").arg(kRecords));
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values.back(), kRecords);
    EXPECT_EQ(values.size(), static_cast<size_t>(kRecords)) << "one step per record";
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    EXPECT_LT(report.sheetChanges, kRecords) << "the window is told of the records in bulk, not one by one";
}

// A large read holds its values as they came: the process grows by less than
// twice the bytes of the text it read.
TEST_F(ReadTest, ALargeReadGrowsMemoryByLessThanTwiceItsText) {
    constexpr int kRecords = 200000;
    writeSettings("[Default1]\r\nLINE=1000002\r\n");
    db_->exec("CREATE TABLE BIG (ID NUMBER, NAME VARCHAR2(40), AMOUNT NUMBER(12,2), HIRED DATE, NOTE VARCHAR2(60));"
              "WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s WHERE i < 200000) "
              "INSERT INTO BIG SELECT i, '鈴木 ' || i, i * 1.25, date('2000-01-01', '+' || (i % 9000) || ' days'), "
              "'note for record ' || i || ' with some more text' FROM s;");
    context();
    SpreadGrid view(sheet);  // the view of the million-row sheet exists before the read, as in use
    view.show();
    QApplication::processEvents();
    const MemoryWatch memory;
    readTable("BIG");
    view.showSheetChanges(WholeSheet(sheet));
    QApplication::processEvents();
    ASSERT_TRUE(report.boxes.empty());
    ASSERT_EQ(sheet.lastDataRow(), kRecords + 2);
    EXPECT_EQ(cell(kRecords + 2, 2), QStringLiteral("鈴木 %1").arg(kRecords));
    long textBytes = 0;  // the data cells' texts in UTF-8
    for (int32_t r = 3; r <= kRecords + 2; ++r)
        for (int32_t c = 1; c <= 5; ++c) textBytes += static_cast<long>(cell(r, c).toUtf8().size());
    ExpectBoundedGrowth(memory, 2 * textBytes / 1024);
}

TEST_F(ReadTest, TheRowLimitStopsTheReadBeforeTheFirstRecordThatDoesNotFit) {
    writeSettings("[Default1]\r\nLINE=102\r\n");
    db_->exec("CREATE TABLE N (V NUMBER);"
              "WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s WHERE i < 101) "
              "INSERT INTO N SELECT i FROM s;");
    readTable("N");
    ASSERT_EQ(report.boxes.size(), 1u);
    EXPECT_EQ(report.boxes[0].text, kRowLimitMessage);
    EXPECT_EQ(report.boxes[0].title, "Message");
    EXPECT_EQ(report.boxes[0].detail, "表示できる行数は Velkin.ini の LINE で増やせます（例: LINE=10002）。");
    EXPECT_EQ(cell(102, 1), "100");
    EXPECT_EQ(sheet.lastDataRow(), 102);
    EXPECT_FALSE(report.updateAllowed);
    EXPECT_EQ(color(3, 1), GridColor::kWhite) << "column 1 is not coloured";
    EXPECT_EQ(report.progress, 101) << "one above the rows loaded";
    EXPECT_FALSE(report.busy);
    EXPECT_EQ(openConnections(), 0);

    report.boxes.clear();
    db_->exec("DELETE FROM N WHERE V = 101");
    readTable("N");
    EXPECT_TRUE(report.boxes.empty()) << "exactly row count - 2 records fit";
    EXPECT_EQ(cell(102, 1), "100");
    EXPECT_EQ(color(3, 1), GridColor::kYellow);
    EXPECT_TRUE(report.updateAllowed);
}

TEST_F(ReadTest, AMissingTableShowsTheEnginesErrorAndLeavesTheGridReset) {
    createEmployees();
    readTable("EMP");
    report.boxes.clear();
    readTable("NO_SUCH_TABLE");
    ASSERT_EQ(report.boxes.size(), 1u);
    EXPECT_TRUE(report.boxes[0].text.startsWith("Error Code:")) << report.boxes[0].text.toStdString();
    EXPECT_FALSE(report.boxes[0].text.startsWith("Error Code: "));
    EXPECT_TRUE(report.boxes[0].text.contains("NO_SUCH_TABLE"));
    EXPECT_TRUE(report.boxes[0].title.isEmpty());
    EXPECT_EQ(sheet.lastDataRow(), 0);
    EXPECT_FALSE(report.updateAllowed);
    EXPECT_FALSE(report.busy);
    EXPECT_EQ(openConnections(), 0);
}

TEST_F(ReadTest, OracleStatementTexts) {
    Script script;
    script.columns = {{"A", ColumnKind::Number, 10, 2, false}, {"B", ColumnKind::Text, 5, 0, true},
                      {"C", ColumnKind::Date, 7, 0, false}, {"D", ColumnKind::Other, 0, 0, true}};
    script.rows = {{QString("1"), std::nullopt, QString("2024-02-29 13:00:00"), QString("x")}};
    useSessions([&](const QString&) { return std::make_unique<RecordingConnection>(script); });
    context();  // the settings are read before the boxes are typed in
    inputs.login = {" scott ", "tiger", "ORCL"};
    readTable("EMP");
    ASSERT_TRUE(report.boxes.empty());
    EXPECT_EQ(script.calls, (QStringList{"Open ORCL|scott/tiger|no-wait",
                                         "Cursor keep-blanks SELECT * FROM EMP WHERE ROWNUM < 2 ",
                                         "Cursor keep-blanks SELECT * FROM EMP ORDER BY 1 ,3"}));
    EXPECT_EQ(row(2, 4), (Cells{"NUMBER(9.2)", "VARCHAR2(5)", "DATE(8)", "ETC(0)"}));
    EXPECT_EQ(row(3, 4), (Cells{"1", "", "20240229 13:00:00", "x"}));

    // No NOT NULL column: the base query alone; the table name goes as typed.
    for (auto& c : script.columns) c.nullOk = true;
    script.calls.clear();
    readTable(" emp x ");
    EXPECT_EQ(script.calls.last(), "Cursor keep-blanks SELECT * FROM  emp x ");
}
