// The real program under a virtual X server, used as a user uses it: clicks at
// the controls' places, keys, the clipboard; judged by the screen's pixels,
// the dialogs' titles and the files left behind.

#include "desktop.h"
#include "tests/pg_test_env.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <unistd.h>

using namespace velkin::seat;
namespace c = velkin::seat::controls;

namespace {

Display* display = nullptr;

const QString kItems = QStringLiteral(
    "CREATE TABLE ITEM (ID NUMBER(5) NOT NULL PRIMARY KEY, NAME VARCHAR2(20));"
    "INSERT INTO ITEM VALUES (1,'One'),(2,'Two'),(3,'Three');");

// `rows` rows of `columns` cells as a spreadsheet program copies them; each
// cell names the block's tag, its row and its column.
QByteArray Block(int rows, int columns, const QByteArray& tag) {
    QByteArray text;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c)
            text += tag + 'r' + QByteArray::number(r) + 'c' + QByteArray::number(c) + (c + 1 < columns ? "\t" : "\r\n");
    return text;
}

bool Dark(Rgb c) { return c.r < 100 && c.g < 100 && c.b < 100; }
// The frame of the current cell, in the style's accent colour.
bool Bluish(Rgb c) { return c.b >= 150 && c.b > c.r + 60; }

class UserSeat : public ::testing::Test {
protected:
    static void SetUpTestSuite() { display = new Display; }
    static void TearDownTestSuite() {
        delete display;
        display = nullptr;
    }

    void SetUp() override { folder.sql(kItems); }

    // Types the table name into its box and presses Read; waits for the yellow key column.
    void readTable(const QString& table) {
        seat.click(c::TXT_TABLE, Spot::Centre);
        seat.type(table);
        seat.click(c::CMD_Read, Spot::Centre);
        ASSERT_TRUE(waitForPixels(Yellowish, 200)) << "no yellow key column after Read";
    }
    // Puts the grid's active cell on sheet row `row`, column A, with the keys.
    void goToRow(int row) {
        seat.click(c::SPD1, Spot::Centre);
        QStringList chords{QStringLiteral("ctrl+Home")};
        for (int r = 1; r < row; ++r) chords << QStringLiteral("Down");
        seat.keys(chords);
    }
    // Presses Update and answers the question with `answer` ("Return" is Yes, "Escape" No).
    void update(const QString& answer) {
        seat.click(c::CMD_Update, Spot::Centre);
        ASSERT_TRUE(seat.waitForDialog(QStringLiteral("警告"))) << "no confirmation";
        seat.keys({answer});
        ASSERT_TRUE(seat.waitForDialog(QStringLiteral("警告"), false));
    }
    int gridPixels(const std::function<bool(Rgb)>& test) {
        const QRect grid = seat.rect(c::SPD1);
        return seat.screenshot().count(grid.x(), grid.y(), grid.width(), grid.height(), test);
    }
    bool waitForPixels(const std::function<bool(Rgb)>& test, int atLeast) {
        for (int attempt = 0; attempt < 40; ++attempt) {
            if (gridPixels(test) >= atLeast) return true;
            QThread::msleep(250);
        }
        return false;
    }
    void quit() {
        seat.click(c::CMD_Quit, Spot::Centre);
        ASSERT_TRUE(seat.waitForExit()) << "Quit did not end the program";
    }
    // A refused Update: the report shows, is read and closed.
    QByteArray refusedUpdate() {
        update(QStringLiteral("Return"));
        if (!seat.waitForDialog(QStringLiteral("Velkin"))) {
            ADD_FAILURE() << "no error report";
            return {};
        }
        const QByteArray report = seat.dialogText();
        seat.keys({QStringLiteral("Return")});
        EXPECT_TRUE(seat.waitForDialog(QStringLiteral("Velkin"), false));
        return report;
    }
    QByteArray items() { return folder.sql(QStringLiteral("SELECT ID, NAME FROM ITEM ORDER BY ID;")); }

    ScratchFolder folder;
    Desktop seat{*display};
};

// Each box, button and option takes a click a few pixels inside its top
// edge, where the caption row above reaches down over the boxes.
TEST_F(UserSeat, ClicksNearTheTopEdgeReachEveryBoxButtonAndOption) {
    seat.start(folder.path());
    seat.click(c::TXT_USER, Spot::NearTopEdge);
    seat.type(QStringLiteral("scott"));
    seat.click(c::TXT_PASS, Spot::NearTopEdge);
    seat.type(QStringLiteral("tiger"));
    seat.click(c::TXT_HOST, Spot::NearTopEdge);
    seat.type(QStringLiteral("sqlite:Velkin.db"));
    seat.click(c::TXT_TABLE, Spot::NearTopEdge);
    seat.type(QStringLiteral("ITEM"));
    seat.click(c::CMD_Read, Spot::NearTopEdge);
    EXPECT_TRUE(waitForPixels(Yellowish, 200)) << "the table was not read";
    EXPECT_FALSE(seat.dialogShown(QStringLiteral("Velkin"))) << seat.dialogText().toStdString();

    const QPoint sqlBox = seat.at(c::TXT_SQL, Spot::Centre);
    seat.click(c::Option1_1, Spot::NearTopEdge);
    EXPECT_TRUE(White(seat.screenshot().at(sqlBox.x(), sqlBox.y()))) << "SQL mode not selected";
    seat.click(c::Option1_0, Spot::NearTopEdge);
    EXPECT_TRUE(LightCyan(seat.screenshot().at(sqlBox.x(), sqlBox.y()))) << "table mode not selected";

    seat.click(c::CMD_Quit, Spot::NearTopEdge);
    ASSERT_TRUE(seat.waitForExit()) << "Quit did not end the program";
    const QByteArray ini = folder.read(QStringLiteral("Velkin.ini"));
    EXPECT_TRUE(ini.contains("USERID=scott")) << ini.toStdString();
    EXPECT_TRUE(ini.contains("PASS=tiger")) << ini.toStdString();
    EXPECT_TRUE(ini.contains("HOST=sqlite:Velkin.db")) << ini.toStdString();
}

// Typed edits, pastes and Delete are taken back with Ctrl+Z and made again
// with Ctrl+Y; Update then writes what the grid shows.
TEST_F(UserSeat, EditsAndPastesAreUndoneAndRedoneBeforeUpdate) {
    seat.start(folder.path());
    readTable(QStringLiteral("ITEM"));
    goToRow(3);
    seat.keys({QStringLiteral("Right")});
    seat.type(QStringLiteral("Uno"));
    seat.keys({QStringLiteral("Return")});

    goToRow(6);
    seat.offerClipboard("4\tFour\r\n5\tFive\r\n");
    seat.keys({QStringLiteral("ctrl+v")});
    seat.keys({QStringLiteral("Delete"), QStringLiteral("ctrl+z")});  // the pasted block, cleared and back

    goToRow(8);
    seat.offerClipboard("9\tWrong\r\n");
    seat.keys({QStringLiteral("ctrl+v"), QStringLiteral("ctrl+z"), QStringLiteral("ctrl+y"), QStringLiteral("ctrl+z")});

    goToRow(4);
    seat.keys({QStringLiteral("Right")});
    seat.type(QStringLiteral("Dos"));
    seat.keys({QStringLiteral("Return"), QStringLiteral("ctrl+z")});

    update(QStringLiteral("Return"));
    quit();
    EXPECT_EQ(items(), "1|Uno\n2|Two\n3|Three\n4|Four\n5|Five\n");
    // The rows the Update replaced stay behind as a spreadsheet file.
    const QStringList kept =
        QDir(folder.file(QStringLiteral("backup/Velkin.db"))).entryList({QStringLiteral("ITEM-*.tsv")});
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(folder.read(QStringLiteral("backup/Velkin.db/") + kept[0]),
              "ID\tNAME\r\nNUMBER(5)\tVARCHAR2(20)\r\n1\tOne\r\n2\tTwo\r\n3\tThree\r\n");
}

// A refused row inside the pasted, still selected block shows its red mark,
// and the yellow key column shows through the selection.
TEST_F(UserSeat, ARefusedRowInsideTheSelectionShowsRed) {
    seat.start(folder.path());
    readTable(QStringLiteral("ITEM"));
    const int yellowBefore = gridPixels(Yellowish);
    goToRow(4);
    seat.offerClipboard("2\tTwo\r\n2\tDuplicate\r\n");
    seat.keys({QStringLiteral("ctrl+v")});
    // An opaque selection would hide the two selected yellow cells, a twentieth of the yellow on screen.
    EXPECT_GE(gridPixels(Yellowish), yellowBefore * 98 / 100) << "the selection hides the yellow column";

    const QByteArray report = refusedUpdate();
    EXPECT_TRUE(report.contains("Error Code:")) << report.toStdString();
    EXPECT_TRUE(waitForPixels(Reddish, 1000)) << "no red mark to be seen";
    quit();
    EXPECT_EQ(items(), "1|One\n2|Two\n3|Three\n");
}

// A refused row far below the visible part is brought into view.
TEST_F(UserSeat, ARefusedRowOutOfSightIsBroughtIntoView) {
    folder.sql(QStringLiteral(
        "CREATE TABLE BIG (ID NUMBER(5) NOT NULL PRIMARY KEY, QTY NUMBER(5) CHECK (QTY >= 0));"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 60)"
        " INSERT INTO BIG SELECT i, i FROM n;"
        // A row the table's rule refuses, stored while the rule was not checked:
        // the Update fails on sheet row 58 of 62.
        "PRAGMA ignore_check_constraints = ON; UPDATE BIG SET QTY = -1 WHERE ID = 56;"));
    seat.start(folder.path());
    readTable(QStringLiteral("BIG"));
    goToRow(1);
    refusedUpdate();
    EXPECT_TRUE(waitForPixels(Reddish, 1000)) << "the red mark is out of sight";
    // A new Read shows its yellow column and no mark of the refusal before it.
    seat.click(c::CMD_Read, Spot::Centre);
    bool markGone = false;
    for (int attempt = 0; attempt < 40 && !markGone; ++attempt) {
        markGone = gridPixels(Reddish) == 0;
        if (!markGone) QThread::msleep(250);
    }
    EXPECT_TRUE(markGone) << "a stale red mark outlived the Read";
    EXPECT_GE(gridPixels(Yellowish), 200) << "no yellow key column after Read";
    quit();
    EXPECT_EQ(folder.sql(QStringLiteral("SELECT count(*), sum(QTY) FROM BIG;")), "60|1773\n");
}

// No at the question: the table and the grid stay as they were.
TEST_F(UserSeat, DecliningTheUpdateChangesNothing) {
    seat.start(folder.path());
    readTable(QStringLiteral("ITEM"));
    goToRow(3);
    seat.keys({QStringLiteral("Right")});
    seat.type(QStringLiteral("Changed"));
    seat.keys({QStringLiteral("Return")});
    const int yellow = gridPixels(Yellowish);
    update(QStringLiteral("Escape"));
    EXPECT_EQ(gridPixels(Yellowish), yellow);
    quit();
    EXPECT_EQ(items(), "1|One\n2|Two\n3|Three\n");
}

// The window at the screen's size shows more of the grid and keeps the status
// line at its bottom edge. Then rows are inserted and deleted with Ctrl++ and
// Ctrl+-, a cell filled down with Ctrl+D; the changed cells are marked until
// Update writes what the grid shows.
TEST_F(UserSeat, RowsInsertedDeletedAndFilledDownInAGrownWindowAreWritten) {
    seat.start(folder.path());
    const QRect grid = seat.rect(c::SPD1), window = seat.windowRect();
    const QRect contact = seat.rect(velkin::WindowControl("Text1"));
    auto pink = [](Rgb c) { return c.r >= 250 && c.g >= 120 && c.g <= 136 && c.b >= 120 && c.b <= 136; };
    auto count = [&](const QRect& r, const std::function<bool(Rgb)>& test) {
        return seat.screenshot().count(r.x(), r.y(), r.width(), r.height(), test);
    };
    ASSERT_GE(count(contact, pink), contact.width() * contact.height() / 2) << "no contact box to begin with";
    readTable(QStringLiteral("ITEM"));
    const int taller = 768 - window.height() - window.y();
    seat.resizeWindow(1024 - window.x(), 768 - window.y());
    const QRect below(grid.x(), grid.bottom() + 1, grid.width(), taller);
    EXPECT_GE(count(below, Yellowish), 1000) << "the grid did not grow into the window";
    EXPECT_GE(count(contact.translated(0, taller), pink), contact.width() * contact.height() / 2)
        << "the status line did not keep to the bottom edge";

    goToRow(4);
    seat.keys({QStringLiteral("ctrl+plus")});  // above 2 Two
    seat.type(QStringLiteral("4"));
    seat.keys({QStringLiteral("Tab")});
    seat.type(QStringLiteral("Four"));
    seat.keys({QStringLiteral("Return")});
    goToRow(6);  // 3 Three, moved down
    seat.keys({QStringLiteral("shift+space"), QStringLiteral("ctrl+minus")});
    goToRow(3);
    seat.keys({QStringLiteral("Right"), QStringLiteral("shift+Down"), QStringLiteral("ctrl+d")});  // One into the new row
    EXPECT_GE(gridPixels(MarkGreen), 40) << "the changed cells carry no mark";
    update(QStringLiteral("Return"));
    EXPECT_EQ(gridPixels(MarkGreen), 0) << "marks outlived the Update";
    quit();
    EXPECT_EQ(items(), "1|One\n2|Two\n4|One\n");
}

// Keys alone: Ctrl+Tab out of the grid to the table box, where Enter does
// nothing and Alt+R reads; Shift+Tab back to the grid; Shift+Space and Enter change nothing; Ctrl+F finds
// a value out of sight in a bar that covers no control, Esc gives the keys
// back on the found cell; typing there starts an entry that an arrow finishes,
// F2 an edit in which the arrows move inside the text; Ctrl+End goes to the
// last value, Ctrl+Down to the edges of the data; Alt+U writes it all.
TEST_F(UserSeat, AKeyboardOnlyCycleFindsEditsAndWrites) {
    folder.sql(QStringLiteral("CREATE TABLE MANY (ID NUMBER(5) NOT NULL PRIMARY KEY, NAME VARCHAR2(20));"
                              "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 150)"
                              " INSERT INTO MANY SELECT i, 'n' || i FROM n;"));
    seat.start(folder.path());
    seat.focusWindow();
    // Ctrl+Tab leaves the grid for the user name box; Tab goes on from there.
    seat.keys({QStringLiteral("ctrl+Tab"), QStringLiteral("Tab"), QStringLiteral("Tab"), QStringLiteral("Tab")});
    // Had Enter read the table "MAN", its error report would show, and the "Y" go elsewhere.
    seat.type(QStringLiteral("MAN"));
    seat.keys({QStringLiteral("Return")});
    seat.type(QStringLiteral("Y"));
    seat.keys({QStringLiteral("alt+r")});
    ASSERT_TRUE(waitForPixels(Yellowish, 200)) << "Alt+R did not read the table";
    ASSERT_FALSE(seat.dialogShown(QStringLiteral("Velkin"))) << seat.dialogText().toStdString();
    // Back over the host, password and user boxes to the grid, first in the tab order.
    seat.keys(QStringList(4, QStringLiteral("shift+Tab")));
    seat.keys({QStringLiteral("shift+space"), QStringLiteral("Return")});

    const QRect window = seat.windowRect(), grid = seat.rect(c::SPD1);
    const Screenshot before = seat.screenshot();
    seat.keys({QStringLiteral("ctrl+f")});
    seat.type(QStringLiteral("N77"));
    seat.keys({QStringLiteral("Return")});
    const Screenshot during = seat.screenshot();
    int moved = 0;
    for (int y = window.top(); y <= window.bottom(); ++y)
        for (int x = window.left(); x <= window.right(); ++x) {
            const Rgb a = before.at(x, y), b = during.at(x, y);
            moved += !grid.contains(x, y) && (a.r != b.r || a.g != b.g || a.b != b.b);
        }
    EXPECT_EQ(moved, 0) << "the find bar changed the window outside the grid";
    seat.keys({QStringLiteral("Escape")});
    // Left ends the entry on the ID beside it; in the F2 edit, Right moves past the first digit.
    seat.type(QStringLiteral("Found"));
    seat.keys({QStringLiteral("Left"), QStringLiteral("F2"), QStringLiteral("Home"), QStringLiteral("Right")});
    seat.type(QStringLiteral("0"));
    seat.keys({QStringLiteral("Return"), QStringLiteral("ctrl+End")});
    seat.type(QStringLiteral("Last"));
    // Ctrl+Down from the first ID: the last one; again: the end of the sheet, where a new row goes.
    seat.keys({QStringLiteral("Return"), QStringLiteral("ctrl+Home"), QStringLiteral("Down"), QStringLiteral("Down"),
               QStringLiteral("ctrl+Down"), QStringLiteral("ctrl+Down")});
    seat.type(QStringLiteral("999"));
    seat.keys({QStringLiteral("Right")});
    seat.type(QStringLiteral("Added"));
    seat.keys({QStringLiteral("Return"), QStringLiteral("alt+u")});
    ASSERT_TRUE(seat.waitForDialog(QStringLiteral("警告"))) << "Alt+U asked nothing";
    seat.keys({QStringLiteral("Return")});
    ASSERT_TRUE(seat.waitForDialog(QStringLiteral("警告"), false));
    quit();
    EXPECT_EQ(folder.sql(QStringLiteral("SELECT count(*), sum(NAME LIKE 'n%'), max(ID) FROM MANY;"
                                        "SELECT ID FROM MANY WHERE NAME = 'Found';"
                                        "SELECT ID FROM MANY WHERE NAME = 'Last';"
                                        "SELECT ID FROM MANY WHERE NAME = 'Added';")),
              "151|148|999\n707\n150\n999\n");
}

// Ten pastes of 200,000 rows by 10 columns, the address space limited to what
// the program took at start plus 600 MB. Each paste's step keeps the texts
// before and after it; a history bounded in steps alone outgrew such a limit
// within a few pastes, and the program ended with the grid. The newest steps
// stay: Ctrl+Z brings back the paste before the last; the oldest are gone.
TEST_F(UserSeat, TenLargePastesKeepTheirNewestStepsWithinAMemoryLimit) {
    folder.write(QStringLiteral("Velkin.ini"), "[Default1]\r\nLINE=1000002\r\n");
    seat.start(folder.path());
    seat.limitAddressSpace(seat.memoryKiB() * 1024 + (qint64{600} << 20));
    seat.click(c::SPD1, Spot::Centre);
    for (int round = 0; round < 10; ++round) {
        seat.offerClipboard(Block(200000, 10, QByteArray::number(round)));
        seat.keys({QStringLiteral("ctrl+Home"), QStringLiteral("ctrl+v")});
        ASSERT_TRUE(seat.running()) << "the program ended at paste " << round + 1;
    }
    const QByteArray eighth = Block(200000, 10, "8");
    seat.keys({QStringLiteral("ctrl+z"), QStringLiteral("ctrl+c")});
    EXPECT_TRUE(seat.waitForClipboard([&](const QByteArray& text) { return text == eighth; }) == eighth)
        << "Ctrl+Z did not bring back the ninth paste";
    QStringList undos(9, QStringLiteral("ctrl+z"));
    seat.keys(undos << QStringLiteral("ctrl+c"));
    const QByteArray oldest = seat.waitForClipboard([&](const QByteArray& text) { return text != eighth; });
    const QByteArray tag = oldest.left(oldest.indexOf('r'));
    EXPECT_TRUE(tag >= "1" && tag <= "7" && oldest == Block(200000, 10, tag)) << "back to " << oldest.left(40).toStdString();
    ASSERT_TRUE(seat.running());
    std::printf("[ ten pastes, Ctrl+Z back to paste %s; peak resident %ld MiB ]\n", tag.constData(),
                seat.memoryKiB("VmHWM:") / 1024);
}

// A paste the memory cannot take is refused with a message before it is
// parsed, and the grid keeps what it held.
TEST_F(UserSeat, APasteTooLargeForTheMemoryIsRefusedAndTheGridKept) {
    folder.write(QStringLiteral("Velkin.ini"), "[Default1]\r\nLINE=1000002\r\n");
    seat.start(folder.path());
    seat.limitAddressSpace(seat.memoryKiB() * 1024 + (qint64{400} << 20));
    goToRow(3);
    seat.type(QStringLiteral("keep"));
    seat.keys({QStringLiteral("Return")});
    // 20 million cells: 41 MB of text, which parsed would take some 400 MB.
    seat.offerClipboard((QByteArray("x\t").repeated(19) + "x\r\n").repeated(1000000));
    seat.keys({QStringLiteral("ctrl+Home"), QStringLiteral("ctrl+v")});
    ASSERT_TRUE(seat.waitForDialog(QStringLiteral("Velkin"))) << "no message";
    const QByteArray message = seat.dialogText();
    EXPECT_TRUE(message.contains(QStringLiteral("メモリ").toUtf8())) << message.toStdString();
    seat.keys({QStringLiteral("Return")});
    ASSERT_TRUE(seat.running());
    goToRow(3);
    seat.keys({QStringLiteral("ctrl+c")});
    EXPECT_EQ(seat.waitForClipboard([](const QByteArray& text) { return text == "keep\r\n"; }), "keep\r\n");
}

// A value of 100 MB is read and drawn (its first line, cut), the window
// answers a key at once, and Ctrl+C still copies the whole value. Laying out
// the whole text took seconds at every repaint, and drew nothing.
TEST_F(UserSeat, AHugeValueIsDrawnCutAndTheWindowAnswersAKeyAtOnce) {
    folder.sql(QStringLiteral("CREATE TABLE HUGE (ID NUMBER(5) NOT NULL PRIMARY KEY, BODY CLOB);"
                              "INSERT INTO HUGE VALUES (1, 'Lorem ipsum' || char(10) || printf('%.*c', 100000000, 'x'));"));
    seat.start(folder.path());
    readTable(QStringLiteral("HUGE"));
    // The value's cell lies right of the one yellow key cell of the record,
    // the top one of the yellow column.
    const QRect grid = seat.rect(c::SPD1);
    const Screenshot read = seat.screenshot();
    int left = grid.right(), right = grid.left(), top = grid.bottom();
    for (int y = grid.top(); y <= grid.bottom(); ++y)
        for (int x = grid.left(); x <= grid.right(); ++x)
            if (Yellowish(read.at(x, y))) left = std::min(left, x), right = std::max(right, x), top = std::min(top, y);
    ASSERT_LT(left, right) << "no key column";
    const QRect value(right + 3, top + 2, 100, 14);
    EXPECT_GE(read.count(value.x(), value.y(), value.width(), value.height(), Dark), 20) << "the value is not drawn";

    // The grid takes the keys once the key cell is clicked; Right then moves onto the value.
    seat.tool(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QString::number(left + 5),
                                          QString::number(top + 5), QStringLiteral("click"), QStringLiteral("1")});
    QThread::msleep(500);
    auto framed = [&] { return seat.screenshot().count(value.x() - 2, value.y() - 2, value.width(), value.height() + 4, Bluish) >= 50; };
    ASSERT_FALSE(framed()) << "the value's cell is the current cell already";
    QElapsedTimer clock;
    clock.start();
    seat.tool(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Right")});
    qint64 answeredMs = -1;
    while (answeredMs < 0 && clock.elapsed() < 10000) {
        const qint64 at = clock.elapsed();
        if (framed()) answeredMs = at;
    }
    std::printf("[ the current cell moved onto the value after %lld ms ]\n", static_cast<long long>(answeredMs));
    EXPECT_GE(answeredMs, 0) << "the key was not answered";
    EXPECT_LT(answeredMs, 1000);

    seat.keys({QStringLiteral("ctrl+c")});
    const qsizetype whole = 1 + 12 + 100000000 + 1 + 2;  // quoted for its line break, CR LF after it
    EXPECT_EQ(seat.waitForClipboard([&](const QByteArray& text) { return text.size() == whole; }).size(), whole);
    quit();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// A typo fixed in a customer that invoices refer to, on PostgreSQL: the
// Update writes that one row by key, and the invoices stay as they were.
TEST_F(UserSeat, ATypoInAReferredCustomerIsFixedAndTheInvoicesStay) {
    using namespace velkin::test;
    ASSERT_FALSE(PgUri().empty()) << kPgMissingServer;
    PgAdmin pg;
    const std::string suffix = std::to_string(getpid());
    const std::string clients = "seat_clients_" + suffix, invoices = "seat_invoices_" + suffix;
    pg.Exec("DROP TABLE IF EXISTS " + invoices + ", " + clients + "; CREATE TABLE " + clients +
            " (id INTEGER PRIMARY KEY, name VARCHAR(20)); INSERT INTO " + clients +
            " VALUES (41, 'Ann Lee'), (42, 'Jonh Smith'), (43, 'Kim Park'); CREATE TABLE " + invoices +
            " (no INTEGER PRIMARY KEY, client INTEGER NOT NULL REFERENCES " + clients + " (id));"
            " INSERT INTO " + invoices + " VALUES (1, 42), (2, 42), (3, 41)");
    const velkin::test::Place at = PgPlace();
    folder.write(QStringLiteral("Velkin.ini"),
                 QStringLiteral("[Default1]\nUSERID=%1\nPASS=%2\nHOST=%3\n")
                     .arg(QString::fromStdString(PgUser()), QString::fromStdString(PgPassword()),
                          QString::fromStdString(PgHost(at)))
                     .toUtf8());
    seat.start(folder.path());
    readTable(QString::fromStdString(clients));
    goToRow(4);
    seat.keys({QStringLiteral("Right")});
    seat.type(QStringLiteral("John Smith"));
    seat.keys({QStringLiteral("Return")});
    update(QStringLiteral("Return"));
    quit();
    EXPECT_EQ(pg.Column("SELECT string_agg(id || ':' || name, ',' ORDER BY id) FROM " + clients),
              "41:Ann Lee,42:John Smith,43:Kim Park");
    EXPECT_EQ(pg.Column("SELECT string_agg(no || ':' || client, ',' ORDER BY no) FROM " + invoices), "1:42,2:42,3:41");
    pg.Exec("DROP TABLE " + invoices + ", " + clients);
}
