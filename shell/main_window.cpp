#include "shell/main_window.h"

#include "db/engine.h"
#include "grid/grid.h"
#include "commands/table_read.h"
#include "commands/table_replace.h"
#include "db/error.h"
#include "grid/grid_prepare.h"
#include "shell/message_box.h"
#include "shell/settings.h"
#include "shell/window_table.h"
#include "shell/progress_bar.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QShortcutEvent>

#include <algorithm>

using namespace velkin;

namespace {

// Colours as the window system numbers them: red in the lowest byte.
QColor FromColorNumber(uint32_t c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

constexpr uint32_t kConnectionBoxColor = 0x80FFFF;  // RGB(255,255,128)
constexpr uint32_t kContactLineColor = 0x8080FF;    // RGB(255,128,128)
constexpr uint32_t kIdleQueryBoxColor = 0xFFFF80;   // RGB(128,255,255)
constexpr uint32_t kActiveQueryBoxColor = 0xFFFFFF;

// A command button's access key (Alt+R, Alt+U) clicks it at once. A button
// left to itself shows the press for 100 ms and clicks only then; an Esc
// typed meanwhile would reach a window with no command running yet, and the
// command that starts after it could not be stopped by it.
class ClickAtOnce final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Shortcut || static_cast<QShortcutEvent*>(event)->isAmbiguous()) return false;
        static_cast<QAbstractButton*>(watched)->click();
        return true;
    }
};

QString Latin1(std::string_view text) { return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())); }

// A box of several lines, scrolled rather than wrapped.
QPlainTextEdit* MultiLineBox(QWidget* parent) {
    auto* box = new QPlainTextEdit(parent);
    box->setLineWrapMode(QPlainTextEdit::NoWrap);
    box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    return box;
}

// The window's control of that name and type (made by makeControl).
template <class Widget>
Widget* Control(const QWidget& window, const char* name) {
    auto* control = window.findChild<Widget*>(QLatin1String(name));
    if (!control) throw std::logic_error(std::string("no control ") + name + " in the window table");
    return control;
}

void SetBackColor(QWidget* box, uint32_t color) {
    QPalette palette = box->palette();
    palette.setColor(QPalette::Base, FromColorNumber(color));
    box->setPalette(palette);
}

}  // namespace

Form1::Form1(MessageAnswerer answerer, QWidget* parent) : QWidget(parent), answerer_(std::move(answerer)) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Velkin"));
    buildControls();
    Form_Load();
}

Form1::~Form1() {
    // The grid shows `sheet`, a member, which goes before QWidget's own
    // destructor would delete the grid: a grid still shown would paint from it.
    delete SPD1;
}

int Form1::twipsToPixels(int twips) const { return (twips * logicalDpiX() + 720) / 1440; }

void Form1::place(QWidget* control) {
    const ControlPlace& at = WindowControl(control->objectName().toStdString());
    control->setGeometry(twipsToPixels(at.left), twipsToPixels(at.top), twipsToPixels(at.width),
                         twipsToPixels(at.height));
}

void Form1::buildControls() {
    // Opens at the window table's size, and never gets smaller: every control keeps its place.
    resize(twipsToPixels(kClientWidthTwips), twipsToPixels(kClientHeightTwips));
    setMinimumSize(size());
    for (const ControlPlace& at : kWindowTable) makeControl(at);
    takeControls();
    dressControls();
    orderControls();
    connectControls();
}

// The control of one row of the window table, named and placed as the row says.
QWidget* Form1::makeControl(const ControlPlace& at) {
    QWidget* parent = at.inside.empty() ? this : findChild<QWidget*>(Latin1(at.inside));
    const QString caption = QString::fromUtf8(at.caption);
    QWidget* control = nullptr;
    switch (at.kind) {
    case ControlKind::Grid: control = new SpreadGrid(sheet, parent); break;
    case ControlKind::TextBox: control = new QLineEdit(parent); break;
    case ControlKind::MultiLineBox: control = MultiLineBox(parent); break;
    case ControlKind::Label: control = new QLabel(caption, parent); break;
    case ControlKind::Button: control = new QPushButton(caption, parent); break;
    case ControlKind::Frame: control = new QGroupBox(caption, parent); break;
    case ControlKind::Option: control = new QRadioButton(caption, parent); break;
    case ControlKind::ProgressBar: control = new ProgressBar(parent); break;
    }
    control->setObjectName(Latin1(at.name));
    place(control);
    return control;
}

void Form1::takeControls() {
    SPD1 = Control<SpreadGrid>(*this, "SPD1");
    TXT_USER = Control<QLineEdit>(*this, "TXT_USER");
    TXT_PASS = Control<QLineEdit>(*this, "TXT_PASS");  // shown as typed: users read it back to check it
    TXT_HOST = Control<QLineEdit>(*this, "TXT_HOST");
    TXT_TABLE = Control<QLineEdit>(*this, "TXT_TABLE");
    Label1 = Control<QLabel>(*this, "Label1");
    CMD_Read = Control<QPushButton>(*this, "CMD_Read");
    CMD_Update = Control<QPushButton>(*this, "CMD_Update");
    CMD_Quit = Control<QPushButton>(*this, "CMD_Quit");
    Label2 = Control<QLabel>(*this, "Label2");
    Label3 = Control<QLabel>(*this, "Label3");
    Label4 = Control<QLabel>(*this, "Label4");
    TXT_SQL = Control<QPlainTextEdit>(*this, "TXT_SQL");
    Frame1 = Control<QGroupBox>(*this, "Frame1");
    Option1[0] = Control<QRadioButton>(*this, "Option1_0");
    Option1[1] = Control<QRadioButton>(*this, "Option1_1");
    Label5 = Control<QLabel>(*this, "Label5");
    Text2 = Control<QPlainTextEdit>(*this, "Text2");
    CMD_SerchTab = Control<QPushButton>(*this, "CMD_SerchTab");
    ProgBar1 = Control<ProgressBar>(*this, "ProgBar1");
    Text1 = Control<QLineEdit>(*this, "Text1");
    Text3 = Control<QLineEdit>(*this, "Text3");
    CMD_Cancel = Control<QPushButton>(*this, "CMD_Cancel");
}

// What each control shows and how, beyond its row of the table.
void Form1::dressControls() {
    for (QLineEdit* box : {TXT_USER, TXT_PASS, TXT_HOST}) SetBackColor(box, kConnectionBoxColor);
    for (QLabel* l : {Label1, Label2, Label3, Label4}) l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Text2->setPlainText(QStringLiteral("退避ｴﾘｱ\n"));
    ProgBar1->setRange(0, 100);
    ProgBar1->setValue(0);
    SetBackColor(Text1, kContactLineColor);
    Text3->setText(QStringLiteral("CTL+C,CTL+VでEXCELに貼付が出来ます。"));
    CMD_Cancel->setFocusPolicy(Qt::NoFocus);
    CMD_Cancel->hide();
    auto* accessKeys = new ClickAtOnce(this);
    for (QPushButton* command : {CMD_Read, CMD_Update}) command->installEventFilter(accessKeys);
}

void Form1::orderControls() {
    // Captions lie beneath every box and button, as they do on a window whose
    // labels are painted on the window itself: the label row (top 120, 375
    // high) reaches down over the boxes (top 360), and a caption on top would
    // swallow clicks into the upper half of each box. Label5 goes beneath the
    // frame it touches for the same reason.
    for (QLabel* caption : {Label1, Label2, Label3, Label4, Label5}) caption->lower();

    // Tab order: labels, the frame and the progress bar never take the focus.
    const QList<QWidget*> order = {SPD1,       TXT_USER, TXT_PASS, TXT_HOST,   TXT_TABLE,    CMD_Read,
                                   CMD_Update, CMD_Quit, TXT_SQL,  Option1[0], Option1[1], Text2,
                                   CMD_SerchTab, Text1,  Text3};
    for (qsizetype i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
}

void Form1::connectControls() {
    // A paste the grid refuses is explained in a box.
    connect(SPD1, &SpreadGrid::pasteRefused, this, [this](const QString& why) { showMessage({why}); });
    connect(CMD_Read, &QPushButton::clicked, this, &Form1::CMD_Read_Click);
    connect(CMD_Update, &QPushButton::clicked, this, &Form1::CMD_Update_Click);
    connect(CMD_Quit, &QPushButton::clicked, this, &Form1::CMD_Quit_Click);
    connect(CMD_SerchTab, &QPushButton::clicked, this, &Form1::CMD_SerchTab_Click);
    connect(CMD_Cancel, &QPushButton::clicked, this, [this] {
        if (waiting_) waiting_->cancel();
    });
    for (int index : {0, 1}) {
        connect(Option1[index], &QRadioButton::clicked, this, [this, index] { Option1_Click(index); });
        connect(Option1[index], &QRadioButton::toggled, this, [this, index](bool on) {
            if (on) Option1_Click(index);
        });
    }
}

bool Form1::tableMode() const { return Option1[0]->isChecked(); }

void Form1::Form_Load() {
    using namespace Common1;
    TXT_USER->setText(ReadIniString(QString::fromLatin1(kIniSection), QStringLiteral("USERID"), QString::fromLatin1(kIniFile)));
    TXT_PASS->setText(ReadIniString(QString::fromLatin1(kIniSection), QStringLiteral("PASS"), QString::fromLatin1(kIniFile)));
    TXT_HOST->setText(ReadIniString(QString::fromLatin1(kIniSection), QStringLiteral("HOST"), QString::fromLatin1(kIniFile)));
    if (UpdateHiddenBy(ReadIniString(QString::fromLatin1(kIniSection), QStringLiteral("UPDATE"), QString::fromLatin1(kIniFile))))
        CMD_Update->setVisible(false);
    rowCapacity_ = RowCapacityFromLine(ReadIniString(QString::fromLatin1(kIniSection), QStringLiteral("LINE"), QString::fromLatin1(kIniFile)));
    // Whom to ask, as the site sets it; else what this program is.
    const QString contact = ReadIniString(QString::fromLatin1(kIniSection), QStringLiteral("CONTACT"), QString::fromLatin1(kIniFile));
    Text1->setText(contact.isEmpty() ? (QStringLiteral("Velkin ") + QCoreApplication::applicationVersion()).trimmed()
                                     : contact);
    keepSnapshots_ = !SnapshotsOffBy(ReadIniString(QString::fromLatin1(kIniSection), QStringLiteral("BACKUP"), QString::fromLatin1(kIniFile)));
    writeSetting_ = WriteSettingFrom(ReadIniString(QString::fromLatin1(kIniSection), QStringLiteral("WRITE"), QString::fromLatin1(kIniFile)));
    timeoutSeconds_ = TimeoutSecondsFromSetting(ReadIniString(QString::fromLatin1(kIniSection), QStringLiteral("TIMEOUT"), QString::fromLatin1(kIniFile)));
    Option1[0]->setChecked(true);
    Option1_Click(0);
    FL_InitSpd();
}

void Form1::Form_Unload() {
    using namespace Common1;
    // One replace for the three: another window closing at the same moment
    // must not pair this window's login with its host.
    WriteIniStrings(QString::fromLatin1(kIniSection),
                    {{QStringLiteral("USERID"), TXT_USER->text()},
                     {QStringLiteral("PASS"), TXT_PASS->text()},
                     {QStringLiteral("HOST"), TXT_HOST->text()}},
                    QString::fromLatin1(kIniFile));
}

void Form1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // What the window gains beyond the table's size goes to the grid; the
    // status line keeps to the bottom edge. At the table's size nothing moves.
    const int wider = std::max(0, width() - twipsToPixels(kClientWidthTwips));
    const int taller = std::max(0, height() - twipsToPixels(kClientHeightTwips));
    place(SPD1);
    SPD1->resize(SPD1->width() + wider, SPD1->height() + taller);
    for (QWidget* statusLine : {static_cast<QWidget*>(ProgBar1), static_cast<QWidget*>(Text1), static_cast<QWidget*>(Text3)}) {
        place(statusLine);
        statusLine->move(statusLine->x(), statusLine->y() + taller);
    }
}

void Form1::closeEvent(QCloseEvent* event) {
    // The close box while a command runs cancels it; the window stays.
    if (commandRunning_) {
        if (waiting_) waiting_->cancel();
        event->ignore();
        return;
    }
    if (!unloaded_) {
        unloaded_ = true;
        Form_Unload();
    }
    event->accept();
}

void Form1::CMD_Read_Click() {
    SPD1->commitPendingEdit();
    FL_Read();
}

void Form1::CMD_Update_Click() {
    SPD1->commitPendingEdit();
    FL_UPDATE();
}

void Form1::CMD_Quit_Click() { close(); }

void Form1::CMD_SerchTab_Click() {
    // The database behind an ODBC source is learnt from its driver, never by
    // logging on: a wrong password would count towards a lock-out.
    const Dialect dialect = DialectForHost(HostField(TXT_HOST->text()));
    TXT_SQL->setPlainText(dialect.tableListQuery());
    Option1[1]->setChecked(true);
    Option1_Click(1);
}

void Form1::Option1_Click(int) {
    const bool table = tableMode();
    SetBackColor(TXT_TABLE, table ? kActiveQueryBoxColor : kIdleQueryBoxColor);
    SetBackColor(TXT_SQL, table ? kIdleQueryBoxColor : kActiveQueryBoxColor);
}

// ---------------------------------------------------------------------------
// The commands, handed the boxes' texts as they stand now.

CommandContext Form1::commandContext() {
    return {sheet, catalogue, *this, sessions_, rowCapacity_, keepSnapshots_, timeoutSeconds_, writeSetting_};
}

CommandInputs Form1::commandInputs() const {
    return {{TXT_USER->text(), TXT_PASS->text(), TXT_HOST->text()}, TXT_TABLE->text(), TXT_SQL->toPlainText(),
            tableMode()};
}

template <class Command>
void Form1::runCommand(Command command) {
    // While a command waits for its server the window handles events again
    // (whileWaiting); a second command must not start inside the first.
    if (commandRunning_) return;
    commandRunning_ = true;
    qApp->installEventFilter(this);
    struct Ended {
        Form1& form;
        ~Ended() {
            qApp->removeEventFilter(&form);
            form.CMD_Cancel->hide();
            form.commandRunning_ = false;
        }
    } ended{*this};
    command();
}

void Form1::FL_Read() {
    runCommand([this] { TableRead(commandContext()).run(commandInputs()); });
}

void Form1::FL_UPDATE() {
    runCommand([this] { TableReplace(commandContext()).run(commandInputs()); });
}

void Form1::FL_InitSpd() {
    ResetSheet(sheet, rowCapacity_);
    SPD1->showSheetEmptied();
    CMD_Update->setEnabled(false);
}

void Form1::FL_InitColor() {
    if (const int32_t row = RemoveFailureMark(sheet); row > 0)
        SPD1->showSheetChanges(BlockBetween(1, row, sheet.columnCount(), row));
}

// ---------------------------------------------------------------------------
// What the commands report.

MessageAnswer Form1::showMessage(const MessageRequest& request) {
    return answerer_ ? answerer_(request) : ShowMessage(request);
}

MessageAnswer Form1::ask(const MessageRequest& request) { return showMessage(request); }

void Form1::reportError(ErrorReportKind kind, const Error& error) { showMessage(ErrorReportRequest(kind, error)); }

void Form1::setProgressRange(int32_t minimum, int32_t maximum) {
    ProgBar1->setMaximum(maximum);
    ProgBar1->setMinimum(minimum);
}

void Form1::setProgress(int32_t value) { ProgBar1->setValue(value); }

void Form1::allowUpdate(bool allowed) { CMD_Update->setEnabled(allowed); }

void Form1::sheetChanged(const CellBlock& block) { SPD1->showSheetChanges(block); }

void Form1::sheetEmptied() { SPD1->showSheetEmptied(); }

void Form1::activateCell(int32_t row, int32_t column) { SPD1->activateCell(row, column); }

void Form1::revealRow(int32_t row) { SPD1->revealRow(row); }

void Form1::whileWaiting(ServerWait& wait) {
    // Shown once a wait has lasted a moment, so a quick command does not flash it.
    if (CMD_Cancel->isHidden()) {
        CMD_Cancel->raise();
        CMD_Cancel->show();
    }
    waiting_ = &wait;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    waiting_ = nullptr;
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::InputMethod:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop: break;
    default: return false;
    }
    // Other windows (a message box of the command) take their input as usual.
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!commandRunning_ || !widget || widget->window() != this) return false;
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        if (waiting_) waiting_->cancel();
        return true;
    }
    if (widget == CMD_Cancel) return false;
    // A key the window claims for itself fires no access key (Alt+R, Alt+Q, ...).
    if (event->type() == QEvent::ShortcutOverride) event->accept();
    return true;
}

void Form1::setBusy(bool busy) {
    if (busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        return;
    }
    // "Default" clears every busy pointer a command left, not just one.
    while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
}
