#include "form_fixture.h"

#include "db/error.h"
#include "grid/cell_delegate.h"
#include "grid/clipboard_text.h"
#include "grid/grid_prepare.h"
#include "grid/undo_history.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace velkin;
using namespace velkin::testing;

using GridTest = FormTest;

TEST_F(GridTest, ResetGivesTwentyColumnsAndClearsEveryTextWhateverTheSizeBefore) {
    Form1& f = form();
    for (int32_t columns : {35, 3}) {
        grid().setColumnCount(columns);
        setCell(0, 1, "header");
        setCell(1, 0, "1");
        setCell(1, 1, "name");
        setCell(400, columns, "far");
        f.CMD_Update->setEnabled(true);
        f.FL_InitSpd();
        EXPECT_EQ(grid().columnCount(), 20);
        EXPECT_EQ(grid().rowCount(), 502);
        EXPECT_EQ(grid().lastDataRow(), 0);
        EXPECT_EQ(cell(0, 1), "");
        EXPECT_EQ(cell(1, 0), "");
        EXPECT_EQ(cell(1, 1), "");
        EXPECT_EQ(cell(400, std::min(columns, 20)), "");
        EXPECT_FALSE(f.CMD_Update->isEnabled());
    }
    f.FL_InitSpd();  // twice in a row: the same state
    EXPECT_EQ(grid().columnCount(), 20);
    EXPECT_EQ(grid().lastDataRow(), 0);
}

TEST_F(GridTest, LastDataRowCountsDataColumnsOnly) {
    setCell(7, 0, "5");  // a record number in the header column
    EXPECT_EQ(grid().lastDataRow(), 0);
    setCell(2, 4, "x");
    setCell(9, 1, "y");
    EXPECT_EQ(grid().lastDataRow(), 9);
    setCell(9, 1, "");
    EXPECT_EQ(grid().lastDataRow(), 2);
    EXPECT_THROW(setCell(503, 1, "beyond"), Error);
    EXPECT_THROW(setCell(1, 21, "beyond"), Error);
}

TEST_F(GridTest, RemovingFailureMarks) {
    Form1& f = form();
    auto mark = [&](int32_t row) {
        grid().setCurrentRow(row);
        grid().setBlockEndRow(row);
        grid().setCurrentColumn(1);
        grid().setBlockEndColumn(grid().columnCount());
        grid().setBlockMode(true);
        grid().setBackColor(GridColor::kRed);
        grid().setBlockMode(false);
    };
    for (int32_t r = 3; r <= 8; ++r) setCell(r, 1, QString::number(r));

    // No mark: nothing changes.
    f.FL_InitColor();
    EXPECT_EQ(color(5, 1), GridColor::kWhite);

    // Two marks: only the upper one is repaired, yellow in column 1, white elsewhere.
    mark(4);
    mark(6);
    f.FL_InitColor();
    EXPECT_EQ(color(4, 1), GridColor::kYellow);
    for (int32_t c = 2; c <= 20; ++c) EXPECT_EQ(color(4, c), GridColor::kWhite);
    EXPECT_EQ(color(6, 1), GridColor::kRed);
    EXPECT_EQ(color(6, 2), GridColor::kRed);
    f.FL_InitColor();
    EXPECT_EQ(color(6, 2), GridColor::kWhite);

    // A mark below the last data row is not found.
    mark(12);
    f.FL_InitColor();
    EXPECT_EQ(color(12, 2), GridColor::kRed);

    // Headers only: the last data row is below 3 and nothing is looked at.
    f.FL_InitSpd();
    setCell(1, 1, "A");
    mark(2);
    f.FL_InitColor();
    EXPECT_EQ(color(2, 2), GridColor::kRed);

    // One column: the probe in column 2 finds no mark and column 1 stays red.
    f.FL_InitSpd();
    grid().setColumnCount(1);
    setCell(3, 1, "x");
    mark(3);
    f.FL_InitColor();
    EXPECT_EQ(color(3, 1), GridColor::kRed);
    EXPECT_TRUE(boxes_.boxes.empty());
}

TEST_F(GridTest, CopyAndPasteBlocksAsSpreadsheetProgramsDo) {
    setCell(3, 1, QStringLiteral("東京"));
    setCell(3, 2, "a\tb");
    setCell(4, 1, "line1\nline2");
    setCell(4, 2, "say \"hi\"");
    grid().selectionModel()->select(QItemSelection(grid().model()->index(2, 0), grid().model()->index(3, 1)),
                                    QItemSelectionModel::ClearAndSelect);
    grid().copySelection();
    const QString copied = QApplication::clipboard()->text();
    EXPECT_EQ(copied, QStringLiteral("東京\t\"a\tb\"\r\n\"line1\nline2\"\t\"say \"\"hi\"\"\"\r\n"));

    // Paste the block back further down: the same cells arrive.
    grid().setCurrentIndex(grid().model()->index(9, 4));
    grid().pasteClipboard();
    EXPECT_EQ(cell(10, 5), QStringLiteral("東京"));
    EXPECT_EQ(cell(10, 6), "a\tb");
    EXPECT_EQ(cell(11, 5), "line1\nline2");
    EXPECT_EQ(cell(11, 6), "say \"hi\"");

    // Ctrl+V and Delete through the keyboard.
    QApplication::clipboard()->setText("x\ty\r\nz\r\n");
    grid().setCurrentIndex(grid().model()->index(19, 0));
    QTest::keyClick(&grid(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(cell(20, 1), "x");
    EXPECT_EQ(cell(20, 2), "y");
    EXPECT_EQ(cell(21, 1), "z");
    QTest::keyClick(&grid(), Qt::Key_Delete);
    EXPECT_EQ(cell(20, 1), "");
    EXPECT_EQ(cell(21, 1), "");
    EXPECT_TRUE(boxes_.boxes.empty());
}

TEST_F(GridTest, APasteThatDoesNotFitIsRefusedWhole) {
    QApplication::clipboard()->setText("1\t2\t3\r\n4\t5\t6\r\n");
    // Two columns short at the right edge.
    grid().setCurrentIndex(grid().model()->index(5, 18));
    grid().pasteClipboard();
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_TRUE(boxes_.boxes[0].text.contains(QStringLiteral("収まりません")));
    EXPECT_EQ(cell(6, 19), "");
    // One row short at the bottom.
    grid().setCurrentIndex(grid().model()->index(501, 0));
    grid().pasteClipboard();
    EXPECT_EQ(boxes_.boxes.size(), 2u);
    EXPECT_EQ(cell(502, 1), "");
    EXPECT_EQ(grid().lastDataRow(), 0);
    // Exactly fitting in the corner is fine.
    grid().setCurrentIndex(grid().model()->index(500, 17));
    grid().pasteClipboard();
    EXPECT_EQ(boxes_.boxes.size(), 2u);
    EXPECT_EQ(cell(502, 20), "6");
}

TEST_F(GridTest, TextStillInTheCellEditorCountsWhenACommandStarts) {
    Form1& f = form();
    f.show();
    grid().setCurrentIndex(grid().model()->index(2, 0));
    grid().edit(grid().currentIndex());
    auto* editor = grid().viewport()->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    editor->setText(QStringLiteral("typed"));
    grid().commitPendingEdit();
    EXPECT_EQ(cell(3, 1), "typed");
    EXPECT_FALSE(grid().isEditing());
}

TEST_F(GridTest, UndoTakesBackTheUserStepsUntilTheSheetIsReset) {
    Form1& f = form();
    setCell(3, 1, "read");  // written by a command: no step of the user's
    grid().editCell(3, 1, "typed");
    QApplication::clipboard()->setText("p\tq\r\nr\r\n");
    grid().setCurrentIndex(grid().model()->index(3, 0));
    grid().pasteClipboard();
    QTest::keyClick(&grid(), Qt::Key_Delete);
    ASSERT_EQ(cell(4, 1), "");

    QTest::keyClick(&grid(), Qt::Key_Z, Qt::ControlModifier);  // the Delete
    EXPECT_EQ(cell(4, 2), "q");
    QTest::keyClick(&grid(), Qt::Key_Z, Qt::ControlModifier);  // the whole paste at once
    EXPECT_EQ(cell(4, 1), "");
    EXPECT_EQ(cell(5, 1), "");
    QTest::keyClick(&grid(), Qt::Key_Z, Qt::ControlModifier);  // the typed edit
    EXPECT_EQ(cell(3, 1), "read");
    QTest::keyClick(&grid(), Qt::Key_Z, Qt::ControlModifier);  // nothing left: the command's text stays
    EXPECT_EQ(cell(3, 1), "read");
    QTest::keyClick(&grid(), Qt::Key_Y, Qt::ControlModifier);
    QTest::keyClick(&grid(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(cell(3, 1), "typed");
    EXPECT_EQ(cell(5, 1), "r");

    // A reset (every read and every committed update) ends the history.
    f.FL_InitSpd();
    setCell(3, 1, "next table");
    QTest::keyClick(&grid(), Qt::Key_Z, Qt::ControlModifier);
    QTest::keyClick(&grid(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(cell(3, 1), "next table");
    EXPECT_EQ(cell(5, 1), "");
}

namespace {
// A step that only reports its size and counts how often it was run.
struct SizedStep : UndoStep {
    SizedStep(size_t size, int& runs) : size(size), runs(runs) {}
    void redo() override { ++runs; }
    void undo() override { --runs; }
    size_t bytes() const override { return size; }
    size_t undoBytes() const override { return 0; }
    size_t redoBytes() const override { return 0; }
    size_t size;
    int& runs;
};
}  // namespace

TEST(UndoHistoryTest, TheNewestStepsStayWithinTheBoundsAndAnOversizedOneStaysAlone) {
    UndoHistory history(3, 100);
    int runs = 0;
    for (size_t size : {40, 40, 10, 30}) history.push(std::make_unique<SizedStep>(size, runs));
    EXPECT_EQ(history.stepCount(), 3u);  // 40 + 40 + 10 + 30 > 100: the oldest went
    EXPECT_EQ(history.bytes(), 80u);
    EXPECT_EQ(history.roomMadeFor(50), 40u);
    history.push(std::make_unique<SizedStep>(5, runs));
    EXPECT_EQ(history.stepCount(), 3u);  // three steps at most
    history.undo();
    EXPECT_EQ(history.makeRoomFor(1), 5u);  // what could be made again goes first
    history.push(std::make_unique<SizedStep>(500, runs));
    EXPECT_EQ(history.stepCount(), 1u);
    EXPECT_EQ(history.bytes(), 500u);
    history.undo();
    history.undo();
    EXPECT_EQ(history.nextUndo(), nullptr);
    EXPECT_EQ(runs, 4);
}

namespace {

// Selects sheet rows first..last across every column, as Shift+Space and Shift+Down would.
void SelectRows(SpreadGrid& grid, int first, int last) {
    grid.setCurrentIndex(grid.model()->index(first - 1, 0));
    grid.selectionModel()->select(QItemSelection(grid.model()->index(first - 1, 0),
                                                 grid.model()->index(last - 1, grid.columnCount() - 1)),
                                  QItemSelectionModel::ClearAndSelect);
}

}  // namespace

// Rows move with their texts, colours and the record of the read they hold:
// the row read with a NULL key is still written back after rows above it were
// inserted and deleted, and each insert or delete is one undo step.
TEST_F(GridTest, InsertedAndDeletedRowsKeepTheirColoursAndRecordsThroughUndoAndUpdate) {
    SqliteFile db(path("Velkin.db"));
    db.exec("CREATE TABLE T (K VARCHAR2(5), V VARCHAR2(5));"
            "INSERT INTO T VALUES ('a', '1'), (NULL, '2'), ('c', '3');");
    Form1& f = form();
    f.TXT_TABLE->setText("T");
    f.CMD_Read->click();
    ASSERT_EQ(cell(4, 2), "2");
    // A refused row from an earlier Update: its red goes with it.
    grid().setCurrentRow(5), grid().setBlockEndRow(5), grid().setCurrentColumn(1), grid().setBlockEndColumn(2);
    grid().setBlockMode(true);
    grid().setBackColor(GridColor::kRed);
    grid().setBlockMode(false);

    SelectRows(grid(), 4, 5);
    QTest::keyClick(&grid(), Qt::Key_Plus, Qt::ControlModifier | Qt::ShiftModifier);  // Ctrl+Shift+= on a US keyboard
    EXPECT_EQ(gridRow(3), (std::vector<QString>{"a", "1"}));
    EXPECT_EQ(gridRow(4), (std::vector<QString>{"", ""}));
    EXPECT_EQ(gridRow(6), (std::vector<QString>{"", "2"}));
    EXPECT_EQ(gridRow(7), (std::vector<QString>{"c", "3"}));
    for (int r : {4, 5}) {
        EXPECT_EQ(color(r, 1), GridColor::kYellow) << r;
        EXPECT_EQ(color(r, 2), GridColor::kWhite) << r;
        EXPECT_TRUE(grid().sheet().insertedRow(r));
    }
    EXPECT_EQ(color(6, 1), GridColor::kYellow);
    EXPECT_EQ(color(7, 2), GridColor::kRed);
    EXPECT_EQ(color(502, 1), GridColor::kYellow);
    EXPECT_EQ(grid().sheet().recordOf(6), 1);
    EXPECT_TRUE(grid().sheet().unchangedSinceRead(6, 1));

    // The first row goes, on the keypad's minus; the rest move up.
    SelectRows(grid(), 3, 3);
    QTest::keyClick(&grid(), Qt::Key_Minus, Qt::ControlModifier | Qt::KeypadModifier);
    EXPECT_EQ(gridRow(5), (std::vector<QString>{"", "2"}));
    EXPECT_EQ(color(6, 2), GridColor::kRed);
    EXPECT_EQ(color(502, 1), GridColor::kYellow) << "the row left at the end is coloured as the last one";
    EXPECT_EQ(grid().sheet().recordOf(5), 1);

    // Two undos: the sheet as read, every colour and record in its place.
    QTest::keyClick(&grid(), Qt::Key_Z, Qt::ControlModifier);
    QTest::keyClick(&grid(), Qt::Key_Z, Qt::ControlModifier);
    for (int r = 3; r <= 5; ++r) {
        EXPECT_EQ(grid().sheet().recordOf(r), r - 3);
        EXPECT_EQ(color(r, 1), r == 5 ? GridColor::kRed : GridColor::kYellow) << r;
        EXPECT_FALSE(grid().sheet().insertedRow(r));
    }
    EXPECT_EQ(gridRow(5), (std::vector<QString>{"c", "3"}));
    EXPECT_EQ(color(6, 2), GridColor::kWhite);
    QTest::keyClick(&grid(), Qt::Key_Y, Qt::ControlModifier);
    QTest::keyClick(&grid(), Qt::Key_Y, Qt::ControlModifier);
    EXPECT_EQ(gridRow(5), (std::vector<QString>{"", "2"}));

    update();
    ASSERT_TRUE(reports().empty()) << reports()[0].text.toStdString();
    EXPECT_EQ(db.query("SELECT quote(K), V FROM T ORDER BY V"), (Rows{{"NULL", "2"}, {"'c'", "3"}}));
}

// An insert that would push a filled row off the end, or into the header
// rows, is refused with a message and changes nothing.
TEST_F(GridTest, AnInsertIntoAFullSheetOrTheHeadersIsRefused) {
    setCell(3, 1, "first");
    setCell(501, 1, "next to last");
    SelectRows(grid(), 3, 4);
    QTest::keyClick(&grid(), Qt::Key_Plus, Qt::ControlModifier);
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_TRUE(boxes_.boxes[0].text.contains(QStringLiteral("挿入できません"))) << boxes_.boxes[0].text.toStdString();
    EXPECT_EQ(cell(3, 1), "first");
    EXPECT_EQ(cell(501, 1), "next to last");
    SelectRows(grid(), 3, 3);  // one row fits
    QTest::keyClick(&grid(), Qt::Key_Plus, Qt::ControlModifier);
    EXPECT_EQ(cell(502, 1), "next to last");
    EXPECT_EQ(boxes_.boxes.size(), 1u);
    SelectRows(grid(), 2, 3);
    QTest::keyClick(&grid(), Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_EQ(boxes_.boxes.size(), 2u);
    EXPECT_EQ(cell(4, 1), "first");
}

// The mark of a changed cell is drawn in its corner over its own colour, and
// goes when Ctrl+Z brings the read text back; an inserted row is marked whole.
TEST_F(GridTest, TheChangedMarkFollowsUndoAndLeavesTheBackColour) {
    SqliteFile db(path("Velkin.db"));
    db.exec("CREATE TABLE T (K VARCHAR2(5), V VARCHAR2(5)); INSERT INTO T VALUES ('a', '1'), ('b', '2');");
    Form1& f = form();
    f.show();
    f.TXT_TABLE->setText("T");
    f.CMD_Read->click();
    auto pixels = [&](int row, int column) {
        grid().selectionModel()->clearSelection();  // its tint aside
        QApplication::processEvents();
        const QRect r = grid().visualRect(grid().model()->index(row - 1, column - 1));
        const QImage shot = grid().viewport()->grab().toImage();
        // The corner, and a spot clear of the text and of the current cell's frame.
        return std::pair(shot.pixel(r.right() - 1, r.top() + 1), shot.pixel(r.center().x(), r.bottom() - 4));
    };
    constexpr QRgb kYellow = 0xFFFFFF00, kMark = CellDelegate::kChangedMark;
    EXPECT_EQ(pixels(3, 1), std::pair(kYellow, kYellow));
    grid().editCell(3, 1, "z");
    EXPECT_EQ(pixels(3, 1), std::pair(kMark, kYellow));
    EXPECT_EQ(color(3, 1), GridColor::kYellow);
    grid().editCell(3, 1, "a");  // typed back as read: no longer a change
    EXPECT_EQ(pixels(3, 1).first, kYellow);
    QTest::keyClick(&grid(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(pixels(3, 1), std::pair(kMark, kYellow));
    QTest::keyClick(&grid(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_NE(pixels(3, 1).first, kMark);
    EXPECT_EQ(pixels(3, 1).second, kYellow);

    SelectRows(grid(), 4, 4);
    QTest::keyClick(&grid(), Qt::Key_Plus, Qt::ControlModifier);
    EXPECT_EQ(pixels(4, 2).first, kMark);
    EXPECT_EQ(pixels(5, 2).first, 0xFFFFFFFFu) << "the row read, moved down, is unchanged";
    QTest::keyClick(&grid(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_NE(pixels(4, 2).first, kMark);
}
