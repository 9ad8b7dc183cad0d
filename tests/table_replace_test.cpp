#include "form_fixture.h"
#include "recording_session.h"

#include "writeback/table_replace.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

using namespace velkin;
using namespace velkin::testing;

namespace {

class ReplaceTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        db_ = std::make_unique<SqliteFile>(path("Velkin.db"));
        db_->exec(
            "CREATE TABLE EMP (CODE CHAR(5) NOT NULL, NAME VARCHAR2(20), SALARY NUMBER(9,2), HIRED DATE, "
            "NOTE CLOB, CHECK (SALARY < 1000000));"
            "INSERT INTO EMP VALUES ('A    ', 'Smith', 1234.5, '2024-01-31', 'x');"
            "INSERT INTO EMP VALUES ('B    ', '鈴木', 0.1, '2023-12-01', NULL);");
    }
    void TearDown() override {
        db_.reset();
        FormTest::TearDown();
    }
    void read() {
        boxes_.boxes.clear();
        form().TXT_TABLE->setText(QStringLiteral("EMP"));
        form().CMD_Read->click();
        ASSERT_TRUE(boxes_.boxes.empty()) << boxes_.boxes[0].text.toStdString();
        ASSERT_TRUE(form().CMD_Update->isEnabled());
    }
    Rows table() { return db_->query("SELECT * FROM EMP ORDER BY CODE"); }
    std::unique_ptr<SqliteFile> db_;
};

}  // namespace

TEST_F(ReplaceTest, AnUnchangedRoundTripKeepsEveryValueAndEmptiesTheGrid) {
    read();
    const Rows before = table();
    update();
    ASSERT_TRUE(reports().empty()) << reports()[0].text.toStdString();
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_EQ(boxes_.boxes[0].text, kReplaceQuestion);
    EXPECT_EQ(boxes_.boxes[0].title, kReplaceQuestionTitle);
    EXPECT_EQ(boxes_.boxes[0].buttons, MessageButtons::YesNo);
    EXPECT_EQ(boxes_.boxes[0].defaultButton, MessageAnswer::Yes);
    EXPECT_EQ(table(), (Rows{{"A    ", "Smith", "1234.5", "2024-01-31", "x"},
                             {"B    ", "鈴木", "0.1", "2023-12-01", ""}}))
        << "an empty text cell becomes '': the grid cannot tell it from NULL";
    EXPECT_EQ(before[0][0], "A    ");
    EXPECT_EQ(grid().lastDataRow(), 0);
    EXPECT_FALSE(form().CMD_Update->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_FALSE(Common1::Connection.Session);
}

TEST_F(ReplaceTest, EditedAndPastedRowsAreWhatTheTableHoldsAfterwards) {
    read();
    setCell(3, 2, "O'Brien");          // VARCHAR2 with an apostrophe
    setCell(4, 1, "it's");             // CHAR with an apostrophe
    setCell(4, 3, "1.23456");          // rounded to four decimals
    setCell(4, 4, "");                 // an empty date is NULL
    setCell(4, 5, "'; DROP TABLE EMP; --");
    QApplication::clipboard()->setText(QStringLiteral("C\t\t1.50\t20240229\tnote\r\n   \tskipped\t1\t\t\r\n\tskipped too\r\n"));
    grid().setCurrentIndex(grid().model()->index(4, 0));  // grid row 5
    grid().pasteClipboard();
    update();
    ASSERT_TRUE(reports().empty()) << reports()[0].text.toStdString();
    EXPECT_EQ(table(), (Rows{{"A    ", "O'Brien", "1234.5", "2024-01-31", "x"},
                             {"C", "", "1.5", "2024-02-29", "note"},
                             {"it's", "鈴木", "1.2346", "<NULL>", "'; DROP TABLE EMP; --"}}));
}

TEST_F(ReplaceTest, AnsweringNoChangesNothingButRemovesAnOldMark) {
    read();
    const Rows before = table();
    setCell(3, 3, "not a number");
    update();
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_EQ(color(3, 2), GridColor::kRed);
    boxes_.boxes.clear();
    update(MessageAnswer::No);
    EXPECT_EQ(boxes_.boxes.size(), 1u) << "only the question";
    EXPECT_EQ(color(3, 1), GridColor::kYellow);
    EXPECT_EQ(color(3, 2), GridColor::kWhite);
    EXPECT_EQ(cell(3, 3), "not a number");
    EXPECT_EQ(table(), before);
    EXPECT_TRUE(form().CMD_Update->isEnabled());
}

TEST_F(ReplaceTest, AGridWithoutDataRowsEmptiesTheTable) {
    read();
    for (int32_t r = 3; r <= 4; ++r)
        for (int32_t c = 1; c <= 5; ++c) setCell(r, c, "");
    update();
    EXPECT_TRUE(reports().empty());
    EXPECT_TRUE(table().empty());
    EXPECT_EQ(form().ProgBar1->maximum(), 1);
    EXPECT_EQ(form().ProgBar1->value(), 1);

    // First cells of blanks only: the rows are skipped and the bar stays at 0.
    db_->exec("INSERT INTO EMP VALUES ('Z', 'z', 1, NULL, NULL)");
    read();
    setCell(3, 1, "   ");
    update();
    EXPECT_TRUE(reports().empty());
    EXPECT_TRUE(table().empty());
    EXPECT_EQ(form().ProgBar1->value(), 0);
}

TEST_F(ReplaceTest, ARefusedRowRollsBackMarksTheRowAndKeepsTheGrid) {
    read();
    const Rows before = table();
    setCell(5, 1, "C");
    setCell(5, 3, "5000000");  // breaks the CHECK constraint
    setCell(6, 1, "D");
    update();
    const auto shown = reports();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(shown[0].text.startsWith("Error Code:")) << shown[0].text.toStdString();
    EXPECT_FALSE(shown[0].text.startsWith("Error Code: "));
    EXPECT_TRUE(shown[0].text.contains("CHECK")) << shown[0].text.toStdString();
    EXPECT_TRUE(shown[0].title.isEmpty());
    EXPECT_EQ(table(), before);
    for (int32_t c = 1; c <= 5; ++c) EXPECT_EQ(color(5, c), GridColor::kRed) << c;
    EXPECT_NE(color(4, 2), GridColor::kRed);
    EXPECT_EQ(cell(5, 3), "5000000");
    EXPECT_EQ(cell(6, 1), "D");
    EXPECT_TRUE(form().CMD_Update->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_FALSE(Common1::Connection.Session);

    // Corrected and sent again: the mark goes first, then the rows are written.
    setCell(5, 3, "5");
    boxes_.boxes.clear();
    update();
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(table().size(), 4u);
}

TEST_F(ReplaceTest, ConversionFailuresCarryTheirNumbersAndMarkTheRow) {
    read();
    const Rows before = table();
    struct Case { const char* column; int32_t c; const char* text; int32_t number; };
    const Case cases[] = {
        {"SALARY", 3, "   ", Error::kTypeMismatch},
        {"SALARY", 3, "1e300", Error::kOverflow},
        {"HIRED", 4, "20240230", Error::kTypeMismatch},  // no such day
        {"HIRED", 4, "2024-01-31", Error::kTypeMismatch},
        {"HIRED", 4, "20240101','yyyymmdd'); DROP TABLE EMP; --", Error::kTypeMismatch},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        const QString old = cell(4, k.c);
        setCell(4, k.c, QString::fromUtf8(k.text));
        boxes_.boxes.clear();
        update();
        const auto shown = reports();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_TRUE(shown[0].text.startsWith(QStringLiteral("Error Code:%1\r\n").arg(k.number)));
        EXPECT_EQ(color(4, 2), GridColor::kRed);
        EXPECT_EQ(table(), before);
        setCell(4, k.c, old);
    }
}

TEST_F(ReplaceTest, MoreGridColumnsThanTheCatalogueFailsBeforeAnyInsertWithoutAMark) {
    read();
    const Rows before = table();
    grid().setColumnCount(6);
    update();
    const auto shown = reports();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(shown[0].text.startsWith("Error Code:9\r\n"));
    EXPECT_EQ(table(), before);
    for (int32_t r = 3; r <= 4; ++r) EXPECT_NE(color(r, 2), GridColor::kRed);
}

TEST_F(ReplaceTest, OracleStatementTextsAndAFailedCommit) {
    Script script;
    script.columns = {{"CODE", OraType::kChar, 5, 0, false}, {"Name", OraType::kVarchar2, 20, 0, true},
                      {"AMT", OraType::kNumber, 10, 2, true}, {"D", OraType::kDate, 7, 0, true}};
    script.rows = {{QString("A"), QString("x'y"), QString("1.5"), QString("2024-01-31 00:00:00")},
                   {QString("B"), std::nullopt, std::nullopt, std::nullopt}};
    Common1::SetSessionFactory([&](const QString&) { return std::make_unique<RecordingSession>(script); });
    form().TXT_HOST->setText("ORCL");
    read();
    script.calls.clear();
    update();
    ASSERT_TRUE(reports().empty());
    EXPECT_EQ(script.calls,
              (QStringList{
                  "OpenDatabase ORCL|/|2", "BeginTrans", "Dynaset 2 SELECT * FROM EMP", "Execute DELETE EMP",
                  "Execute INSERT INTO EMP (\"CODE\",\"Name\",\"AMT\",\"D\") VALUES ('A','x''y',1.5,"
                  "TO_DATE('20240131','yyyymmdd')) ",
                  "Execute INSERT INTO EMP (\"CODE\",\"Name\",\"AMT\",\"D\") VALUES ('B','',0,NULL) ",
                  "CommitTrans"}));

    // A commit the server refuses: rolled back, reported, no row marked.
    read();
    script.calls.clear();
    script.failCommit = true;
    update();
    EXPECT_EQ(script.calls.last(), "rollback");
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_TRUE(reports()[0].text.startsWith("Error Code:2091\r\n"));
    EXPECT_NE(color(3, 2), GridColor::kRed);
    EXPECT_NE(color(4, 2), GridColor::kRed);
    EXPECT_EQ(cell(3, 1), "A") << "the grid keeps its rows";

    // A refused insert on the second data row marks that row.
    script.failCommit = false;
    script.failExecuteAt = 2;  // the delete, the first insert, then this one
    boxes_.boxes.clear();
    update();
    EXPECT_EQ(script.calls.last(), "rollback");
    EXPECT_EQ(color(4, 1), GridColor::kRed);
    EXPECT_EQ(color(3, 2), GridColor::kWhite);
}
