#include "form_fixture.h"

#include "db/error.h"
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
