#include "form_fixture.h"
#include "shell/window_table.h"

#include "shell/settings.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include "shell/progress_bar.h"
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QWindow>

using namespace velkin;
using namespace velkin::testing;

namespace {

uint32_t BaseColor(QWidget* w) {
    const QColor c = w->palette().color(QPalette::Base);
    return static_cast<uint32_t>(c.red()) | (static_cast<uint32_t>(c.green()) << 8) |
           (static_cast<uint32_t>(c.blue()) << 16);
}

}  // namespace

using WindowTest = FormTest;

TEST_F(WindowTest, EveryControlSitsAtItsPlaceWithItsCaption) {
    Form1& f = form();
    for (const ControlPlace& e : kWindowTable) {
        QWidget* w = f.findChild<QWidget*>(QString::fromLatin1(e.name.data(), static_cast<qsizetype>(e.name.size())));
        ASSERT_NE(w, nullptr) << e.name;
        EXPECT_EQ(w->geometry(), QRect(f.twipsToPixels(e.left), f.twipsToPixels(e.top), f.twipsToPixels(e.width),
                                       f.twipsToPixels(e.height)))
            << e.name;
        QString caption;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) caption = b->text();
        else if (auto* l = qobject_cast<QLabel*>(w)) caption = l->text();
        else if (auto* g = qobject_cast<QGroupBox*>(w)) caption = g->title();
        EXPECT_EQ(caption, QString::fromUtf8(e.caption ? e.caption : "")) << e.name;
    }
    // Every child control is in the table, and the captions are the window's own.
    EXPECT_EQ(f.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly).size() + 2, kWindowTable.size());
    EXPECT_EQ(WindowControl("CMD_Read").caption, std::string_view("Read(&R)"));
    EXPECT_EQ(WindowControl("Label1").caption, std::string_view("対象ﾃｰﾌﾞﾙ名"));
    EXPECT_EQ(f.windowTitle(), "Velkin");
    EXPECT_EQ(f.size(), QSize(f.twipsToPixels(kClientWidthTwips), f.twipsToPixels(kClientHeightTwips)));
    EXPECT_EQ(f.minimumSize(), f.size()) << "the window opens at its smallest";
    EXPECT_GT(f.maximumSize().height(), f.height()) << "the window can grow";
    EXPECT_EQ(f.Text2->toPlainText(), QStringLiteral("退避ｴﾘｱ\n"));
    EXPECT_EQ(f.Text3->text(), QStringLiteral("CTL+C,CTL+VでEXCELに貼付が出来ます。"));
    EXPECT_TRUE(f.Text1->text().startsWith("Velkin")) << "no contact set: the program's name";
    EXPECT_EQ(f.TXT_PASS->echoMode(), QLineEdit::Normal);
}

TEST_F(WindowTest, ColoursTabOrderAndAccessKeys) {
    Form1& f = form();
    for (QWidget* box : {static_cast<QWidget*>(f.TXT_USER), static_cast<QWidget*>(f.TXT_PASS),
                         static_cast<QWidget*>(f.TXT_HOST)})
        EXPECT_EQ(BaseColor(box), 0x80FFFFu);
    EXPECT_EQ(BaseColor(f.Text1), 0x8080FFu);

    const QList<QWidget*> order = {f.SPD1,       f.TXT_USER, f.TXT_PASS, f.TXT_HOST,   f.TXT_TABLE,
                                   f.CMD_Read,   f.CMD_Update, f.CMD_Quit, f.TXT_SQL,  f.Option1[0],
                                   f.Option1[1], f.Text2,    f.CMD_SerchTab, f.Text1,  f.Text3};
    // The focus chain also holds the controls' inner widgets; skip those.
    auto nextControl = [&](QWidget* w) {
        do w = w->nextInFocusChain();
        while (!order.contains(w) && w != &f);
        return w;
    };
    for (qsizetype i = 1; i < order.size(); ++i)
        EXPECT_EQ(nextControl(order[i - 1]), order[i]) << order[i - 1]->objectName().toStdString();
    EXPECT_EQ(f.ProgBar1->focusPolicy(), Qt::NoFocus);

    EXPECT_EQ(f.CMD_Read->shortcut(), QKeySequence(QStringLiteral("Alt+R")));
    EXPECT_EQ(f.CMD_Update->shortcut(), QKeySequence(QStringLiteral("Alt+U")));
    EXPECT_EQ(f.CMD_Quit->shortcut(), QKeySequence(QStringLiteral("Alt+Q")));
}

TEST_F(WindowTest, FirstRunWithoutSettingsAndTheFileLeftAtClose) {
    Form1& f = form();
    EXPECT_TRUE(f.TXT_USER->text().isEmpty());
    EXPECT_TRUE(f.TXT_PASS->text().isEmpty());
    EXPECT_TRUE(f.TXT_HOST->text().isEmpty());
    EXPECT_FALSE(f.CMD_Update->isHidden());
    EXPECT_FALSE(f.CMD_Update->isEnabled());
    EXPECT_EQ(grid().rowCount(), 502);
    EXPECT_EQ(grid().columnCount(), 20);
    EXPECT_TRUE(f.tableMode());
    EXPECT_EQ(BaseColor(f.TXT_TABLE), 0xFFFFFFu);
    EXPECT_EQ(BaseColor(f.TXT_SQL), 0xFFFF80u);

    f.TXT_USER->setText(QStringLiteral("scott"));
    f.TXT_PASS->setText(QStringLiteral(" tiger "));
    f.TXT_HOST->setText(QStringLiteral("sqlite:社員.db"));
    f.CMD_Quit->click();
    ASSERT_TRUE(QFile::exists(path("Velkin.ini")));
    using Common1::ReadIniString;
    const QString file = QStringLiteral("./Velkin.ini");
    EXPECT_EQ(ReadIniString("Default1", "USERID", file), "scott");
    EXPECT_EQ(ReadIniString("Default1", "HOST", file), QStringLiteral("sqlite:社員.db"));
    // Written as it stands in the box; the reader drops the blanks at either end.
    QFile raw(path("Velkin.ini"));
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    EXPECT_TRUE(raw.readAll().contains("PASS= tiger "));
    EXPECT_EQ(raw.permissions(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);

    // The next run starts from what was saved.
    form_.reset();
    EXPECT_EQ(form().TXT_USER->text(), "scott");
    EXPECT_EQ(form().TXT_HOST->text(), QStringLiteral("sqlite:社員.db"));
}

TEST_F(WindowTest, AWorldReadableSettingsFileIsUsedWithoutAWordAndKeepsItsMode) {
    writeSettings("[Default1]\r\nUSERID=scott\r\nPASS=tiger\r\n");
    const auto worldReadable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser |
                               QFile::ReadGroup | QFile::ReadOther;
    ASSERT_TRUE(QFile::setPermissions(path("Velkin.ini"), worldReadable));
    EXPECT_EQ(form().TXT_PASS->text(), "tiger");
    form().TXT_PASS->setText(QStringLiteral("lion"));
    form().CMD_Quit->click();
    EXPECT_TRUE(boxes_.boxes.empty());
    EXPECT_EQ(Common1::ReadIniString("Default1", "PASS", "./Velkin.ini"), "lion");
    EXPECT_EQ(QFile::permissions(path("Velkin.ini")), worldReadable);
}

TEST_F(WindowTest, SettingsSwitchesHideUpdateAndSizeTheGrid) {
    struct Case { QByteArray ini; bool hidden; int32_t rows; };
    const Case cases[] = {
        {"[Default1]\r\nUPDATE=NO\r\n", true, 502},
        {"[Default1]\r\nUPDATE=no\r\nLINE=2\r\n", false, 2},
        {"[Default1]\r\nUPDATE=No\r\nLINE=1002\r\n", false, 1002},
        {"[Default1]\r\nUPDATE=NOPE\r\nLINE=1000\r\n", false, 502},
        {"[Other]\r\nUPDATE=NO\r\nLINE=102\r\n", false, 502},
        {QByteArray("\xff\xfe\x00garbage\x01\x02", 12), false, 502},
    };
    for (const Case& c : cases) {
        writeSettings(c.ini);
        form_.reset();
        SCOPED_TRACE(c.ini.toStdString());
        EXPECT_EQ(form().CMD_Update->isHidden(), c.hidden);
        EXPECT_EQ(grid().rowCount(), c.rows);
        EXPECT_EQ(form().rowCapacity(), c.rows);
        // Closing must not write the switches back or lose them.
        form_->close();
    }
    writeSettings("[Default1]\r\nUPDATE=NO\r\nLINE=1002\r\nCONTACT=経理課 内線 42\r\n");
    form_.reset();
    EXPECT_EQ(form().Text1->text(), QStringLiteral("経理課 内線 42")) << "the contact line is the site's";
    form().close();
    EXPECT_EQ(Common1::ReadIniString("Default1", "UPDATE", "./Velkin.ini"), "NO");
    EXPECT_EQ(Common1::ReadIniString("Default1", "LINE", "./Velkin.ini"), "1002");
}

TEST_F(WindowTest, ModeSwitchAndTheTableListCommand) {
    Form1& f = form();
    setCell(5, 3, QStringLiteral("keep"));
    f.CMD_Update->setEnabled(true);  // as after a table-mode read

    f.Option1[1]->click();
    EXPECT_FALSE(f.tableMode());
    EXPECT_EQ(BaseColor(f.TXT_TABLE), 0xFFFF80u);
    EXPECT_EQ(BaseColor(f.TXT_SQL), 0xFFFFFFu);
    f.Option1[1]->click();  // the selected one again: same colours
    EXPECT_EQ(BaseColor(f.TXT_SQL), 0xFFFFFFu);
    f.Option1[0]->click();
    EXPECT_EQ(BaseColor(f.TXT_TABLE), 0xFFFFFFu);
    EXPECT_EQ(BaseColor(f.TXT_SQL), 0xFFFF80u);
    EXPECT_TRUE(f.CMD_Update->isEnabled()) << "the mode switch leaves Update alone";

    f.TXT_SQL->setPlainText(QStringLiteral("SELECT 1"));
    f.TXT_HOST->setText(QStringLiteral("ORCL"));
    f.CMD_SerchTab->click();
    EXPECT_EQ(f.TXT_SQL->toPlainText(),
              QStringLiteral("SELECT TABLE_NAME,COMMENTS FROM USER_TAB_COMMENTS \nORDER BY TABLE_NAME"));
    EXPECT_FALSE(f.tableMode());
    EXPECT_EQ(BaseColor(f.TXT_SQL), 0xFFFFFFu);
    EXPECT_EQ(cell(5, 3), "keep") << "the command does not read";
    EXPECT_TRUE(f.CMD_Update->isEnabled());

    // Pressed again in SQL mode it replaces the text; the host box picks the dialect.
    f.TXT_HOST->setText(QString());
    f.TXT_SQL->setPlainText(QStringLiteral("SELECT 2"));
    f.CMD_SerchTab->click();
    EXPECT_TRUE(f.TXT_SQL->toPlainText().contains("sqlite_master"));
    EXPECT_FALSE(f.tableMode());
    EXPECT_TRUE(boxes_.boxes.empty());
}

// The bar repaints only the stretch its fill's end moved over: what the
// window shows after each of a read's repaints must be what one whole paint
// of the bar draws.
TEST(ProgressBarTest, StepByStepItLooksAsPaintedWhole) {
    struct PaintCount : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            paints += event->type() == QEvent::Paint;
            return false;
        }
    } counter;
    ProgressBar bar;
    bar.resize(300, 18);
    bar.setRange(0, 5000);
    bar.setValue(0);
    bar.show();
    for (int i = 0; i < 100 && !(bar.windowHandle() && bar.windowHandle()->isExposed()); ++i)
        QCoreApplication::processEvents();
    ASSERT_TRUE(bar.windowHandle() && bar.windowHandle()->isExposed());
    QCoreApplication::processEvents();
    bar.installEventFilter(&counter);
    int compared = 0;
    for (int value = 1; value <= 5000; ++value) {
        const int paints = counter.paints;
        bar.setValue(value);
        if (counter.paints == paints) continue;
        const QImage shown = bar.screen()->grabWindow(bar.winId()).toImage().convertToFormat(QImage::Format_RGB32);
        const QImage whole = bar.grab().toImage().convertToFormat(QImage::Format_RGB32);
        ASSERT_EQ(shown.size(), whole.size());
        ASSERT_TRUE(shown == whole) << "at " << value;
        ++compared;
    }
    EXPECT_GT(compared, 20);
}
