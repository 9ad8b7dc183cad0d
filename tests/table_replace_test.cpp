#include "command_fixture.h"
#include "recording_session.h"
#include "snapshot_files.h"

#include "commands/table_replace.h"
#include "db/engine.h"
#include "writeback/table_snapshot.h"

#include <QApplication>
#include <QClipboard>
#include "grid/clipboard_text.h"
#include "grid/grid.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace velkin;
using namespace velkin::testing;

namespace {

// Where the default database's snapshots go.
const QString kSnapshots = QStringLiteral("backup/Velkin.db");

class ReplaceTest : public CommandTest {
protected:
    void SetUp() override {
        CommandTest::SetUp();
        db_ = std::make_unique<SqliteFile>(path("Velkin.db"));
        db_->exec(
            "CREATE TABLE EMP (CODE CHAR(5) NOT NULL, NAME VARCHAR2(20), SALARY NUMBER(9,2), HIRED DATE, "
            "NOTE CLOB, CHECK (SALARY < 1000000));"
            "INSERT INTO EMP VALUES ('A    ', 'Smith', 1234.5, '2024-01-31', 'x');"
            "INSERT INTO EMP VALUES ('B    ', '鈴木', 0.1, '2023-12-01', NULL);");
    }
    void TearDown() override {
        db_.reset();
        CommandTest::TearDown();
    }
    void read() {
        report.boxes.clear();
        readTable(QStringLiteral("EMP"));
        ASSERT_TRUE(report.boxes.empty()) << report.boxes[0].text.toStdString();
        ASSERT_TRUE(report.updateAllowed);
    }
    // Pastes `text` as the clipboard holds it into the grid that shows the
    // sheet, from sheet cell (row, column) on, as the user does.
    void paste(int32_t row, int32_t column, const QString& text) {
        SpreadGrid view(sheet);
        QApplication::clipboard()->setText(text);
        view.setCurrentIndex(view.model()->index(row - 1, column - 1));
        view.pasteClipboard();
    }
    Rows table() { return db_->query("SELECT * FROM EMP ORDER BY CODE"); }
    std::unique_ptr<SqliteFile> db_;
};

}  // namespace

TEST_F(ReplaceTest, AnUnchangedRoundTripKeepsEveryValueAndEmptiesTheGrid) {
    read();
    const Rows before = table();
    update();
    ASSERT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
    ASSERT_EQ(report.boxes.size(), 1u);
    EXPECT_EQ(report.boxes[0].text, kReplaceQuestion);
    EXPECT_EQ(report.boxes[0].title, kReplaceQuestionTitle);
    EXPECT_EQ(report.boxes[0].buttons, MessageButtons::YesNo);
    EXPECT_EQ(report.boxes[0].defaultButton, MessageAnswer::Yes);
    EXPECT_EQ(table(), (Rows{{"A    ", "Smith", "1234.5", "2024-01-31", "x"},
                             {"B    ", "鈴木", "0.1", "2023-12-01", "<NULL>"}}))
        << "a NULL nobody touched stays NULL";
    EXPECT_EQ(before[0][0], "A    ");
    EXPECT_EQ(sheet.lastDataRow(), 0);
    EXPECT_FALSE(report.updateAllowed);
    EXPECT_EQ(report.busy, false);
    EXPECT_EQ(openConnections(), 0);
}

TEST_F(ReplaceTest, EditedAndPastedRowsAreWhatTheTableHoldsAfterwards) {
    read();
    setCell(3, 2, "O'Brien");          // VARCHAR2 with an apostrophe
    setCell(4, 1, "it's");             // CHAR with an apostrophe
    setCell(4, 3, "1.23456");          // rounded to four decimals
    setCell(4, 4, "");                 // an empty date is NULL
    setCell(4, 5, "'; DROP TABLE EMP; --");
    paste(5, 1, QStringLiteral("C\t\t1.50\t20240229\tnote\r\n   \tskipped\t1\t\t\r\n\tskipped too\r\n"));
    update();
    ASSERT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
    EXPECT_TRUE(report.boxes[0].detail.endsWith("\n先頭列が空の行（2 行）は書込みません。"))
        << report.boxes[0].detail.toStdString();
    EXPECT_EQ(table(), (Rows{{"A    ", "O'Brien", "1234.5", "2024-01-31", "x"},
                             {"C", "", "1.5", "2024-02-29", "note"},
                             {"it's", "鈴木", "1.2346", "<NULL>", "'; DROP TABLE EMP; --"}}));
}

TEST_F(ReplaceTest, AnsweringNoChangesNothingButRemovesAnOldMark) {
    read();
    const Rows before = table();
    setCell(3, 3, "not a number");
    update();
    ASSERT_EQ(report.reports().size(), 1u);
    EXPECT_EQ(color(3, 2), GridColor::kRed);
    report.boxes.clear();
    update(MessageAnswer::No);
    EXPECT_EQ(report.boxes.size(), 1u) << "only the question";
    EXPECT_EQ(color(3, 1), GridColor::kYellow);
    EXPECT_EQ(color(3, 2), GridColor::kWhite);
    EXPECT_EQ(cell(3, 3), "not a number");
    EXPECT_EQ(table(), before);
    EXPECT_TRUE(report.updateAllowed);
}

// A record read with every cell NULL goes back even when the Read gave it last.
TEST_F(ReplaceTest, ARecordOfNullsReadLastIsWrittenBack) {
    db_->exec("CREATE TABLE LOOSE (A VARCHAR2(5), B NUMBER);"
              "INSERT INTO LOOSE VALUES ('x', 1); INSERT INTO LOOSE VALUES (NULL, NULL);");
    readTable(QStringLiteral("LOOSE"));
    ASSERT_TRUE(report.updateAllowed);
    update();
    ASSERT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
    EXPECT_EQ(report.boxes[0].detail, "LOOSE (Velkin.db): 読込 2 行 → 書込 2 行（変更 0 行、追加 0 行、削除 0 行）");
    EXPECT_EQ(db_->query("SELECT quote(A), quote(B) FROM LOOSE ORDER BY A"), (Rows{{"NULL", "NULL"}, {"'x'", "1"}}));
}

TEST_F(ReplaceTest, AGridWithoutDataRowsEmptiesTheTable) {
    read();
    for (int32_t r = 3; r <= 4; ++r)
        for (int32_t c = 1; c <= 5; ++c) setCell(r, c, "");
    update();
    EXPECT_TRUE(report.reports().empty());
    EXPECT_TRUE(table().empty());
    EXPECT_EQ(report.progressMaximum, 1);
    EXPECT_EQ(report.progress, 1);

    // First cells of blanks only: the rows are skipped and the bar stays at 0.
    db_->exec("INSERT INTO EMP VALUES ('Z', 'z', 1, NULL, NULL)");
    read();
    setCell(3, 1, "   ");
    update();
    EXPECT_TRUE(report.reports().empty());
    EXPECT_TRUE(table().empty());
    EXPECT_EQ(report.progress, 0);
}

TEST_F(ReplaceTest, ARefusedRowRollsBackMarksTheRowAndKeepsTheGrid) {
    read();
    const Rows before = table();
    setCell(5, 1, "C");
    setCell(5, 3, "5000000");  // breaks the CHECK constraint
    setCell(6, 1, "D");
    update();
    const auto shown = report.reports();
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
    EXPECT_TRUE(report.updateAllowed);
    EXPECT_EQ(report.busy, false);
    EXPECT_EQ(openConnections(), 0);

    // Corrected and sent again: the mark goes first, then the rows are written.
    setCell(5, 3, "5");
    report.boxes.clear();
    update();
    EXPECT_TRUE(report.reports().empty());
    EXPECT_EQ(table().size(), 4u);
}

TEST_F(ReplaceTest, ConversionFailuresCarryTheirNumbersAndMarkTheRow) {
    read();
    const Rows before = table();
    struct Case { const char* column; int32_t c; const char* text; int32_t number; const char* expected; };
    const char* number = "数値を入力してください。";
    const char* date = "yyyymmdd または yyyymmdd hh:mm:ss の日付を入力してください。";
    const Case cases[] = {
        {"SALARY", 3, "   ", Error::kTypeMismatch, number},
        {"SALARY", 3, "1e300", Error::kOverflow, nullptr},
        {"HIRED", 4, "20240230", Error::kTypeMismatch, date},  // no such day
        {"HIRED", 4, "2024-01-31", Error::kTypeMismatch, date},
        {"HIRED", 4, "20240101','yyyymmdd'); DROP TABLE EMP; --", Error::kTypeMismatch, date},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        const QString old = cell(4, k.c);
        setCell(4, k.c, QString::fromUtf8(k.text));
        report.boxes.clear();
        update();
        const auto shown = report.reports();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_TRUE(shown[0].text.startsWith(QStringLiteral("Error Code:%1\r\n").arg(k.number)));
        // Below the number and the description: which cell, and what it must hold.
        const QString where = QStringLiteral("\r\n列 %1（%2）、2 行目: ").arg(k.column, cell(2, k.c));
        if (k.expected) EXPECT_TRUE(shown[0].text.endsWith(where + k.expected)) << shown[0].text.toStdString();
        else EXPECT_FALSE(shown[0].text.contains(where));
        EXPECT_EQ(color(4, 2), GridColor::kRed);
        EXPECT_EQ(report.activeCell, std::make_pair(4, k.c)) << "the refused cell is the current one";
        EXPECT_EQ(table(), before);
        setCell(4, k.c, old);
    }
}

TEST_F(ReplaceTest, MoreGridColumnsThanTheCatalogueFailsBeforeAnyInsertWithoutAMark) {
    read();
    const Rows before = table();
    sheet.setColumnCount(6);
    update();
    const auto shown = report.reports();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(shown[0].text.startsWith("Error Code:9\r\n"));
    EXPECT_EQ(table(), before);
    for (int32_t r = 3; r <= 4; ++r) EXPECT_NE(color(r, 2), GridColor::kRed);
}

TEST_F(ReplaceTest, OracleStatementTextsAndAFailedCommit) {
    Script script;
    script.columns = {{"CODE", ColumnKind::FixedChar, 5, 0, false}, {"Name", ColumnKind::Text, 20, 0, true},
                      {"AMT", ColumnKind::Number, 10, 2, true}, {"D", ColumnKind::Date, 7, 0, true}};
    script.rows = {{QString("A"), QString("x'y"), QString("1.5"), QString("2024-01-31 00:00:00")},
                   {QString("B"), std::nullopt, std::nullopt, std::nullopt},
                   {QString("C"), QString("z"), QString("123456789012345678901234567890"),
                    QString("2024-01-31 10:11:12")}};
    useSessions([&](const QString&) { return std::make_unique<RecordingConnection>(script); });
    context();
    inputs.login.host = "ORCL";
    read();
    script.calls.clear();
    update();
    ASSERT_TRUE(report.reports().empty());
    EXPECT_EQ(script.calls,
              (QStringList{
                  "Open ORCL|/|no-wait", "Begin", "Execute LOCK TABLE EMP IN EXCLUSIVE MODE NOWAIT",
                  "Cursor keep-blanks SELECT * FROM EMP", "Execute DELETE EMP",
                  "Execute INSERT INTO EMP (\"CODE\",\"Name\",\"AMT\",\"D\") VALUES ('A','x''y',1.5,"
                  "TO_DATE('20240131','yyyymmdd')) ",
                  "Execute INSERT INTO EMP (\"CODE\",\"Name\",\"AMT\",\"D\") VALUES ('B',NULL,NULL,NULL) ",
                  "Execute INSERT INTO EMP (\"CODE\",\"Name\",\"AMT\",\"D\") VALUES ('C','z',"
                  "123456789012345678901234567890,TO_DATE('20240131 10:11:12','yyyymmdd hh24:mi:ss')) ",
                  "Commit"}));

    // A commit the server refuses: rolled back, reported, no row marked.
    read();
    script.calls.clear();
    script.failCommit = true;
    update();
    EXPECT_EQ(script.calls.last(), "Rollback");
    ASSERT_EQ(report.reports().size(), 1u);
    EXPECT_TRUE(report.reports()[0].text.startsWith("Error Code:2091\r\n"));
    EXPECT_NE(color(3, 2), GridColor::kRed);
    EXPECT_NE(color(4, 2), GridColor::kRed);
    EXPECT_EQ(cell(3, 1), "A") << "the grid keeps its rows";
    EXPECT_EQ(FolderFiles(path("backup/ORCL")).size(), 1) << "a COMMIT the server refused keeps no snapshot";

    // A refused insert on the second data row marks that row.
    script.failCommit = false;
    script.failExecuteAt = 3;  // the lock, the delete, the first insert, then this one
    report.boxes.clear();
    update();
    EXPECT_EQ(script.calls.last(), "Rollback");
    EXPECT_EQ(color(4, 1), GridColor::kRed);
    EXPECT_EQ(color(3, 2), GridColor::kWhite);

    // A snapshot that cannot be written stops the Update before the DELETE.
    ASSERT_TRUE(QDir(path("backup")).removeRecursively());
    QFile blocker(path("backup"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    script.failExecuteAt = -1;
    script.calls.clear();
    update();
    EXPECT_EQ(script.calls, (QStringList{"Open ORCL|/|no-wait", "Begin",
                                         "Execute LOCK TABLE EMP IN EXCLUSIVE MODE NOWAIT",
                                         "Cursor keep-blanks SELECT * FROM EMP", "Rollback"}));
    EXPECT_EQ(report.reports().size(), 1u);
}

// A table others refer to, on Oracle: its changes go by key, each row locked
// and read again first; a statement that meets no row, or a row changed
// since the read, fails the Update and marks that row.
TEST_F(ReplaceTest, OracleChangesByKeyTheirTextsAndTheirRefusals) {
    Script script;
    script.columns = {{"CODE", ColumnKind::FixedChar, 5, 0, false}, {"Name", ColumnKind::Text, 20, 0, true},
                      {"AMT", ColumnKind::Number, 10, 2, true}};
    script.rows = {{QString("A"), QString("x"), QString("1")},
                   {QString("B"), QString("y"), QString("2")},
                   {QString("C"), QString("z"), QString("3")}};
    script.key = {{0}, true};
    useSessions([&](const QString&) { return std::make_unique<RecordingConnection>(script); });
    context();
    inputs.login.host = "ORCL";
    const auto edit = [&] {
        read();
        setCell(4, 2, "w");  // B changed
        setCell(5, 1, "");   // C deleted
        for (int32_t c = 1; c <= 3; ++c) setCell(6, c, QStringList{"D", "v", "4"}[c - 1]);
        script.calls.clear();
        update();
    };
    edit();
    ASSERT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
    EXPECT_TRUE(report.boxes[0].detail.endsWith("主キーで変更分だけを書込みます（更新 1 行、追加 1 行、削除 1 行）"));
    EXPECT_EQ(script.calls,
              (QStringList{"Open ORCL|/|no-wait", "Begin",
                           "Cursor keep-blanks SELECT * FROM EMP WHERE (\"CODE\" = 'B') OR (\"CODE\" = 'C') FOR UPDATE NOWAIT",
                           "Execute DELETE FROM EMP WHERE \"CODE\" = 'C'",
                           "Execute UPDATE EMP SET \"Name\" = 'w' WHERE \"CODE\" = 'B'",
                           "Execute INSERT INTO EMP (\"CODE\",\"Name\",\"AMT\") VALUES ('D','v',4) ", "Commit"}));
    EXPECT_EQ(FolderFiles(path("backup/ORCL")).filter("-changes.tsv").size(), 1);

    // The UPDATE met no row: rolled back, the row marked.
    script.rowsPerStatement = 0;
    edit();
    EXPECT_EQ(script.calls.last(), "Rollback");
    ASSERT_EQ(report.reports().size(), 1u);
    EXPECT_TRUE(report.reports()[0].text.startsWith(QStringLiteral("Error Code:%1\r\n").arg(Error::kNotOneRow)));
    EXPECT_EQ(color(5, 1), GridColor::kRed) << "the DELETE's row, the first to meet no row";

    // Another session changed B since the read: refused before anything is written.
    script.rowsPerStatement = 1;
    read();
    setCell(4, 2, "w");
    script.rows[1][2] = QString("20");
    script.calls.clear();
    report.boxes.clear();
    update();
    EXPECT_FALSE(script.calls.join('\n').contains("UPDATE EMP"));
    ASSERT_EQ(report.reports().size(), 1u);
    EXPECT_TRUE(report.reports()[0].text.contains("CODE = B")) << report.reports()[0].text.toStdString();
    EXPECT_EQ(color(4, 1), GridColor::kRed);
}

// A database that cannot list the keys of other tables referring to a table
// (an ODBC driver without SQLForeignKeys): the Update goes ahead, and its
// question says what could not be checked.
TEST_F(ReplaceTest, AnUpdateWhereReferencesCannotBeCheckedSaysSoAndGoesAhead) {
    Script script;
    script.columns = {{"CODE", ColumnKind::FixedChar, 5, 0, false}};
    script.rows = {{QString("A")}};
    useSessions([&](const QString&) { return std::make_unique<RecordingConnection>(script); });
    context();
    inputs.login.host = "ORCL";
    for (const bool lists : {false, true}) {
        script.listsReferringKeys = lists;
        read();
        script.calls.clear();
        update();
        ASSERT_EQ(report.boxes.size(), 1u);
        const MessageRequest& question = report.boxes[0];
        EXPECT_EQ(question.detail.contains(kReferencesUncheckedNote), !lists) << question.detail.toStdString();
        EXPECT_EQ(question.defaultButton, MessageAnswer::Yes);
        EXPECT_EQ(script.calls.last(), "Commit");
    }
}

// ---------------------------------------------------------------------------
// The snapshot of the previous contents

TEST_F(ReplaceTest, ASnapshotHoldsWhatTheReadShowedAndPastingItBackRestoresTheTable) {
    // Every type the read tells apart, blanks, a NULL date, and cells that need the clipboard's quotes.
    db_->exec("UPDATE EMP SET NOTE = 'y' WHERE NOTE IS NULL;"
              "INSERT INTO EMP VALUES ('C    ', 'tab\there \"q\"', -0.05, NULL, 'two' || char(13, 10) || 'lines');");
    read();
    Cells shown;
    for (int32_t r = 1; r <= sheet.lastDataRow(); ++r) shown.push_back(row(r));
    const Rows before = table();

    setCell(3, 2, "changed");
    setCell(4, 1, "");  // B goes
    update();
    ASSERT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
    ASSERT_EQ(table().size(), 2u);

    // Each database has a folder of its own: the default one's is named after its file.
    const QStringList files = FolderFiles(path(kSnapshots));
    ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();
    EXPECT_TRUE(IsSnapshotName("EMP", files[0])) << files[0].toStdString();
    const QString file = path(kSnapshots + "/" + files[0]);
    EXPECT_EQ(ModeOf(file), 0600);
    EXPECT_EQ(ModeOf(path("backup")), 0700);
    EXPECT_EQ(ModeOf(path(kSnapshots)), 0700);
    const Cells saved = SnapshotRows(file);
    EXPECT_EQ(RecordsSorted(saved), RecordsSorted(shown));

    // Restoring as a user would: Read, paste the file's records at row 3, Update.
    read();
    paste(3, 1, CellsToClipboardText(Cells(saved.begin() + 2, saved.end())));
    update();
    ASSERT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
    EXPECT_EQ(table(), before);
    // The second Update, most likely in the same second, kept a file of its own.
    EXPECT_EQ(FolderFiles(path(kSnapshots)).size(), 2);
}

TEST_F(ReplaceTest, AFailedUpdateKeepsNoSnapshotAndAnUnwritableFolderStopsItBeforeTheDelete) {
    read();
    const Rows before = table();
    // A file where the folder should be: no snapshot can be written.
    QFile blocker(path("backup"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    setCell(3, 2, "changed");
    update();
    ASSERT_EQ(report.reports().size(), 1u);
    EXPECT_TRUE(report.reports()[0].text.startsWith("Error Code:75\r\n")) << report.reports()[0].text.toStdString();
    EXPECT_TRUE(report.reports()[0].text.contains(kSnapshots)) << "the report names the folder";
    EXPECT_EQ(table(), before);
    EXPECT_TRUE(redRows().empty());
    EXPECT_TRUE(report.updateAllowed);

    // With the folder possible again, a refused row rolls back and leaves no file.
    ASSERT_TRUE(QFile::remove(path("backup")));
    setCell(5, 1, "C");
    setCell(5, 3, "5000000");  // breaks the CHECK constraint
    update();
    ASSERT_EQ(report.reports().size(), 1u);
    EXPECT_EQ(redRows(), std::vector<int32_t>{5});
    EXPECT_EQ(table(), before);
    EXPECT_TRUE(QDir(path(kSnapshots)).exists());
    EXPECT_TRUE(FolderFiles(path(kSnapshots)).isEmpty());
}

TEST_F(ReplaceTest, BackupNoWritesNothingAndTheTwentyFirstSnapshotDropsTheOldest) {
    EXPECT_TRUE(Common1::SnapshotsOffBy("NO"));
    for (const char* on : {"", "no", "NO ", "YES", "0"}) EXPECT_FALSE(Common1::SnapshotsOffBy(on)) << on;

    writeSettings("[Default1]\r\nBACKUP=NO\r\n");
    read();
    update();
    ASSERT_TRUE(report.reports().empty());
    EXPECT_FALSE(QFileInfo::exists(path("backup")));

    // Twenty older snapshots of EMP, all in one second: "-10" is newer than "-2".
    restart();
    writeSettings("[Default1]\r\nBACKUP=YES\r\n");
    ASSERT_TRUE(QDir(path(QStringLiteral("."))).mkpath(kSnapshots));
    auto touch = [&](const QString& name) {
        QFile file(path(kSnapshots + "/" + name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << name.toStdString();
    };
    QStringList old;
    for (int sequence = 1; sequence <= 20; ++sequence)
        old << (sequence == 1 ? QStringLiteral("EMP-20000101-000000.tsv")
                              : QStringLiteral("EMP-20000101-000000-%1.tsv").arg(sequence));
    for (const QString& name : old) touch(name);
    // Files that are not EMP's snapshots, older still: never touched.
    const QStringList others{"EMPX-19990101-000000.tsv", "EMP-19990101-000000-19990101-000000.tsv",
                             "EMP-notes.tsv", "EMP-19990101-000000.tsv.pending"};
    for (const QString& name : others) touch(name);

    read();
    update();
    ASSERT_TRUE(report.reports().empty());
    const QStringList now = FolderFiles(path(kSnapshots));
    EXPECT_EQ(now.size(), 20 + others.size());
    EXPECT_FALSE(now.contains(old[0])) << "the oldest goes";
    for (const QString& name : old.mid(1)) EXPECT_TRUE(now.contains(name)) << name.toStdString();
    for (const QString& name : others) EXPECT_TRUE(now.contains(name)) << name.toStdString();
}

TEST(SnapshotNames, TableNamesBecomeDistinctSafeFileNames) {
    EXPECT_EQ(SnapshotStem("EMP"), "EMP");
    EXPECT_EQ(SnapshotStem("社員_1.x$#-"), "社員_1.x$#-");
    EXPECT_EQ(SnapshotStem("a/b"), "a%2Fb");
    EXPECT_EQ(SnapshotStem("\"My Table\""), "%22My%20Table%22");
    EXPECT_EQ(SnapshotStem(".."), "%2E.");
    EXPECT_EQ(SnapshotStem("a%2Fb"), "a%252Fb") << "an escaped name cannot meet a plain one";
    EXPECT_EQ(SnapshotStem("😀"), "%F0%9F%98%80") << "whole characters, not halves";
    const QString longName(300, QLatin1Char('t'));
    const QString longStem = SnapshotStem(longName);
    EXPECT_LE(longStem.toUtf8().size(), 120);
    EXPECT_NE(longStem, SnapshotStem(longName + "u"));
}

// Text that is not UTF-8, such as the bytes of a lone surrogate, reads into
// the grid as the grid keeps it, lands in the snapshot with the same bytes,
// and goes back to the table unchanged.
TEST_F(ReplaceTest, BytesThatAreNotUtf8ReachTheSnapshotAndTheTableUnchanged) {
    db_->exec("UPDATE EMP SET NOTE = CAST(X'41EDA08042' AS TEXT) WHERE CODE = 'A    '");
    read();
    EXPECT_EQ(cell(3, 5), QStringLiteral("A") + QChar(0xD800) + QStringLiteral("B"));
    update();
    ASSERT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
    EXPECT_EQ(db_->query("SELECT hex(NOTE), typeof(NOTE) FROM EMP WHERE CODE = 'A    '"),
              (Rows{{"41EDA08042", "text"}}));
    const QStringList files = FolderFiles(path(kSnapshots));
    ASSERT_EQ(files.size(), 1);
    QFile file(path(kSnapshots + "/" + files[0]));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("\tA\xED\xA0\x80" "B\r\n"));
}

// What killed Updates leave: a ".part" no writer holds (killed while writing
// the snapshot, before its DELETE) is removed by the table's next Update; one
// a live writer holds, a ".pending" (complete, its Update perhaps committed)
// and another table's files are left alone.
TEST_F(ReplaceTest, AnAbandonedPartialSnapshotGoesAndEveryOtherFileStays) {
    ASSERT_TRUE(QDir(path(QStringLiteral("."))).mkpath(kSnapshots));
    const QStringList names = {"EMP-20000101-000000.tsv.part", "EMP-20000101-000001.tsv.part",
                               "EMP-20000101-000002.tsv.pending", "EMPLOYEE-20000101-000000.tsv.part"};
    for (const QString& name : names) {
        QFile file(path(kSnapshots + "/" + name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("CODE\r\n");
    }
    // A writer still at work holds its lock.
    const int live = ::open(path(kSnapshots + "/" + names[1]).toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(live, 0);
    ASSERT_EQ(::flock(live, LOCK_EX), 0);
    read();
    update();
    ::close(live);
    ASSERT_TRUE(report.reports().empty()) << report.reports()[0].text.toStdString();
    const QStringList left = FolderFiles(path(kSnapshots));
    EXPECT_FALSE(left.contains(names[0])) << "abandoned";
    for (const QString& kept : names.mid(1)) EXPECT_TRUE(left.contains(kept)) << kept.toStdString();
    EXPECT_EQ(left.size(), 4) << left.join(' ').toStdString() << ": and the new snapshot";
}

// Two Updates of one table in one second, the first still waiting for its
// COMMIT's answer: neither snapshot replaces the other, while pending or
// after both are named.
TEST_F(ReplaceTest, TwoSnapshotsInOneSecondBothSurvive) {
    const std::unique_ptr<Connection> database = CreateConnection(QStringLiteral("sqlite:Velkin.db"));
    database->open(QStringLiteral("sqlite:Velkin.db"), QStringLiteral("scott/tiger"), OpenOption::NoLockWait);
    const QDateTime second = QDateTime::currentDateTime();
    const QString query = QStringLiteral("SELECT * FROM EMP");
    {
        TableSnapshot first(*database, query, QStringLiteral("EMP"), kSnapshots, second);
        first.commitStarts();
        TableSnapshot other(*database, query, QStringLiteral("EMP"), kSnapshots, second);
        other.commitStarts();
        // Both lost their COMMIT's answer: neither is named, neither is removed.
    }
    QStringList files = FolderFiles(path(kSnapshots));
    ASSERT_EQ(files.size(), 2) << files.join(' ').toStdString();
    EXPECT_TRUE(files[0].endsWith(QLatin1String(".tsv.pending"))) << files[0].toStdString();
    EXPECT_TRUE(files[1].endsWith(QLatin1String(".tsv.pending2"))) << files[1].toStdString();
    for (const QString& name : files) QFile::remove(path(kSnapshots + "/" + name));

    {
        TableSnapshot first(*database, query, QStringLiteral("EMP"), kSnapshots, second);
        TableSnapshot other(*database, query, QStringLiteral("EMP"), kSnapshots, second);
        first.keep();
        other.keep();
    }
    files = FolderFiles(path(kSnapshots));
    const QString stem = QStringLiteral("EMP-") + second.toString(QStringLiteral("yyyyMMdd-HHmmss"));
    EXPECT_EQ(files, (QStringList{stem + "-2.tsv", stem + ".tsv"}));
    for (const QString& name : files) EXPECT_EQ(SnapshotRows(path(kSnapshots + "/" + name)).size(), 4u);
}
