#pragma once
// The user's seat: a virtual X server with the real velkin program on it,
// driven only through the server (pointer, keys, the clipboard selection) and
// judged only by what a user or a later program can see (screen pixels,
// window titles, the files the program leaves behind). Nothing here reaches
// into the program's widgets.
//
// Tools: Xvfb, xdotool, xclip, ImageMagick's import, sqlite3. A missing tool
// fails the test.

#include "shell/window_table.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace velkin::seat {

// A control's place in the window, in twips, from the window's own layout table.
using Place = ControlPlace;

namespace controls {
inline constexpr const Place& SPD1 = WindowControl("SPD1");
inline constexpr const Place& TXT_USER = WindowControl("TXT_USER");
inline constexpr const Place& TXT_PASS = WindowControl("TXT_PASS");
inline constexpr const Place& TXT_HOST = WindowControl("TXT_HOST");
inline constexpr const Place& TXT_TABLE = WindowControl("TXT_TABLE");
inline constexpr const Place& TXT_SQL = WindowControl("TXT_SQL");
inline constexpr const Place& CMD_Read = WindowControl("CMD_Read");
inline constexpr const Place& CMD_Update = WindowControl("CMD_Update");
inline constexpr const Place& CMD_Quit = WindowControl("CMD_Quit");
inline constexpr const Place& CMD_Cancel = WindowControl("CMD_Cancel");
inline constexpr const Place& Option1_0 = WindowControl("Option1_0");  // inside Frame1, which sits at 0,0
inline constexpr const Place& Option1_1 = WindowControl("Option1_1");
}  // namespace controls

// Where on a control the pointer goes.
enum class Spot { NearTopEdge, Centre };

struct Rgb {
    int r, g, b;
};

// A picture of the whole screen.
class Screenshot {
public:
    Screenshot(int width, int height, QByteArray rgb) : width_(width), height_(height), rgb_(std::move(rgb)) {}
    Rgb at(int x, int y) const {
        const auto* p = reinterpret_cast<const unsigned char*>(rgb_.constData()) + (y * width_ + x) * 3;
        return {p[0], p[1], p[2]};
    }
    // How many pixels inside the rectangle satisfy `test`.
    int count(int x, int y, int w, int h, const std::function<bool(Rgb)>& test) const {
        int n = 0;
        for (int j = std::max(0, y); j < std::min(height_, y + h); ++j)
            for (int i = std::max(0, x); i < std::min(width_, x + w); ++i) n += test(at(i, j)) ? 1 : 0;
        return n;
    }

private:
    int width_, height_;
    QByteArray rgb_;
};

// Colours as the eye tells them, also under a translucent selection tint.
inline bool Reddish(Rgb c) { return c.r >= 180 && c.g <= 110 && c.b <= 110; }
inline bool Yellowish(Rgb c) { return c.r >= 180 && c.g >= 180 && c.b <= 110; }
inline bool White(Rgb c) { return c.r >= 250 && c.g >= 250 && c.b >= 250; }
inline bool LightCyan(Rgb c) { return c.r <= 140 && c.g >= 240 && c.b >= 240; }
// The mark of a cell not yet written back.
inline bool MarkGreen(Rgb c) { return c.r <= 40 && c.g >= 140 && c.g <= 180 && c.b >= 50 && c.b <= 90; }

// One virtual X server for the whole test run.
class Display {
public:
    Display() {
        // -displayfd 1: the server picks a free display and writes its number on stdout.
        server_.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                               QStringLiteral("0"), QStringLiteral("1024x768x24"),
                                               QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        if (!server_.waitForStarted(10000)) {
            ADD_FAILURE() << "Xvfb did not start (package xvfb)";
            return;
        }
        const QDeadlineTimer deadline(20000);
        while (!server_.canReadLine() && !deadline.hasExpired()) server_.waitForReadyRead(500);
        const QByteArray number = server_.readLine().trimmed();
        if (number.isEmpty()) {
            ADD_FAILURE() << "Xvfb gave no display number";
            return;
        }
        name_ = QStringLiteral(":") + QString::fromLatin1(number);
    }
    ~Display() {
        server_.terminate();
        server_.waitForFinished(5000);
    }
    QString name() const { return name_; }

private:
    QProcess server_;
    QString name_;
};

// The running program, seen from the outside.
class Desktop {
public:
    explicit Desktop(const Display& display) : display_(display.name()) { EXPECT_FALSE(display_.isEmpty()); }
    ~Desktop() {
        if (program_.state() != QProcess::NotRunning) {
            program_.kill();
            program_.waitForFinished(5000);
        }
        stopServingClipboard();
    }

    // Runs a tool on the display; returns its standard output.
    QByteArray tool(const QString& program, const QStringList& args, const QByteArray& input = {}) {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(program, args);
        if (!process.waitForStarted(10000)) {
            ADD_FAILURE() << program.toStdString() << " is missing";
            return {};
        }
        if (!input.isEmpty()) {
            process.write(input);
            process.waitForBytesWritten(10000);
        }
        process.closeWriteChannel();
        if (!process.waitForFinished(30000)) ADD_FAILURE() << program.toStdString() << " did not finish";
        return process.readAllStandardOutput();
    }

    // Starts velkin in `folder` and waits for its window.
    void start(const QString& folder) {
        program_.setProcessEnvironment(environment());
        program_.setWorkingDirectory(folder);
        program_.setProcessChannelMode(QProcess::ForwardedChannels);
        program_.start(QString::fromLocal8Bit(qgetenv("VELKIN_BINARY")), {});
        ASSERT_TRUE(program_.waitForStarted(10000)) << "VELKIN_BINARY names no program";
        const QByteArray ids = tool(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--sync"),
                                                                QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                                                                QStringLiteral("^Velkin$")});
        window_ = ids.split('\n').value(0).trimmed();
        ASSERT_FALSE(window_.isEmpty()) << "no Velkin window";
        const QByteArray geometry = tool(QStringLiteral("xdotool"),
                                         {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"),
                                          QString::fromLatin1(window_)});
        for (const QByteArray& line : geometry.split('\n')) {
            if (line.startsWith("X=")) x_ = line.mid(2).toInt();
            if (line.startsWith("Y=")) y_ = line.mid(2).toInt();
            if (line.startsWith("WIDTH=")) pixelsPerTwip_ = line.mid(6).toDouble() / kClientWidthTwips;
        }
        ASSERT_GT(pixelsPerTwip_, 0.0);
        settle();
    }

    // Waits, bounded, for the program to end by itself (Quit).
    bool waitForExit(int boundMs = 15000) { return program_.waitForFinished(boundMs); }
    bool running() const { return program_.state() == QProcess::Running; }

    // The program's memory as `top` shows it: a line of /proc/PID/status in KiB.
    long memoryKiB(const QByteArray& key = "VmSize:") const {
        QFile status(QStringLiteral("/proc/%1/status").arg(program_.processId()));
        if (!status.open(QIODevice::ReadOnly)) return -1;
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith(key)) return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
        return -1;
    }
    // Limits the running program's address space, as `prlimit --as` does at
    // its start: memory beyond it is refused to the program (std::bad_alloc).
    void limitAddressSpace(qint64 bytes) {
        QProcess prlimit;
        prlimit.start(QStringLiteral("prlimit"), {QStringLiteral("--pid"), QString::number(program_.processId()),
                                                  QStringLiteral("--as=%1").arg(bytes)});
        ASSERT_TRUE(prlimit.waitForFinished(10000) && prlimit.exitCode() == 0) << "prlimit failed (util-linux)";
    }

    // The window's close box, as a window manager sends it (close_box.cpp).
    void closeBox() {
        tool(QString::fromLocal8Bit(qgetenv("CLOSE_BOX_BINARY")), {QString::fromLatin1(window_)});
        settle();
    }

    // Screen position of a spot on a control.
    QPoint at(const Place& place, Spot spot) const {
        const int left = x_ + px(place.left), top = y_ + px(place.top);
        const int width = px(place.width), height = px(place.height);
        return {left + width / 2, spot == Spot::Centre ? top + height / 2 : top + 3};
    }
    QRect rect(const Place& place) const {
        return {x_ + px(place.left), y_ + px(place.top), px(place.width), px(place.height)};
    }
    // The window's client area at the size it opens with.
    QRect windowRect() const { return {x_, y_, px(kClientWidthTwips), px(kClientHeightTwips)}; }
    // Gives the window the keyboard, as a desktop's window manager does when
    // it opens: the virtual server has none, and keys go where the pointer is.
    void focusWindow() {
        tool(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QString::fromLatin1(window_)});
        settle();
    }
    // Resizes the window as dragging its edge or maximising it would (the
    // virtual server runs no window manager to maximise it).
    void resizeWindow(int width, int height) {
        tool(QStringLiteral("xdotool"), {QStringLiteral("windowsize"), QString::fromLatin1(window_),
                                         QString::number(width), QString::number(height)});
        settle();
    }

    void click(const Place& place, Spot spot) {
        const QPoint p = at(place, spot);
        // No --sync: xdotool would wait for ever when the pointer is already there.
        tool(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QString::number(p.x()),
                                         QString::number(p.y()), QStringLiteral("click"), QStringLiteral("1")});
        settle();
    }
    void type(const QString& text) {
        tool(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("15"), text});
        settle();
    }
    // Key chords in xdotool's names: "ctrl+z", "Return", "Down".
    void keys(const QStringList& chords) {
        tool(QStringLiteral("xdotool"), QStringList{QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("40")} + chords);
        settle();
    }

    // Offers `text` as the clipboard, as a spreadsheet program does after Ctrl+C.
    void offerClipboard(const QByteArray& text) {
        stopServingClipboard();
        clipboardOwner_ = std::make_unique<QProcess>();
        clipboardOwner_->setProcessEnvironment(environment());
        // -quiet keeps xclip in the foreground, serving the selection until it is stopped.
        clipboardOwner_->start(QStringLiteral("xclip"), {QStringLiteral("-quiet"), QStringLiteral("-selection"),
                                                         QStringLiteral("clipboard"), QStringLiteral("-i")});
        ASSERT_TRUE(clipboardOwner_->waitForStarted(10000)) << "xclip is missing";
        clipboardOwner_->write(text);
        // Nothing is written without an event loop otherwise; a large text goes in several writes.
        while (clipboardOwner_->bytesToWrite() > 0 && clipboardOwner_->waitForBytesWritten(10000)) {
        }
        clipboardOwner_->closeWriteChannel();
        // Owned once another reader sees it.
        const QDeadlineTimer deadline(10000);
        while (clipboard() != text && !deadline.hasExpired()) QThread::msleep(50);
    }
    QByteArray clipboard() {
        return tool(QStringLiteral("xclip"), {QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-o")});
    }
    // Waits, bounded, for the clipboard to satisfy `test`, as it does once the
    // program has handled a Ctrl+C; returns what it held last.
    QByteArray waitForClipboard(const std::function<bool(const QByteArray&)>& test, int boundMs = 60000) {
        const QDeadlineTimer deadline(boundMs);
        QByteArray text = clipboard();
        while (!test(text) && !deadline.hasExpired()) {
            QThread::msleep(200);
            text = clipboard();
        }
        return text;
    }

    Screenshot screenshot() {
        const QByteArray size = tool(QStringLiteral("xdotool"), {QStringLiteral("getdisplaygeometry")});
        const QList<QByteArray> wh = size.trimmed().split(' ');
        const int w = wh.value(0).toInt(), h = wh.value(1).toInt();
        QByteArray rgb = tool(QStringLiteral("import"), {QStringLiteral("-silent"), QStringLiteral("-window"), QStringLiteral("root"),
                                                         QStringLiteral("-depth"), QStringLiteral("8"), QStringLiteral("rgb:-")});
        EXPECT_EQ(rgb.size(), qsizetype(w) * h * 3) << "screen capture failed (imagemagick)";
        if (rgb.size() != qsizetype(w) * h * 3) rgb = QByteArray(qsizetype(w) * h * 3, '\0');
        return Screenshot(w, h, rgb);
    }

    // Whether a window other than the main one shows with this title (a dialog).
    bool dialogShown(const QString& title) {
        const QByteArray ids = tool(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                                                QStringLiteral("--name"), QStringLiteral("^") + title + QStringLiteral("$")});
        for (const QByteArray& id : ids.split('\n'))
            if (!id.trimmed().isEmpty() && id.trimmed() != window_) return true;
        return false;
    }
    // Waits, bounded, for a dialog to show (true) or to be gone (false).
    bool waitForDialog(const QString& title, bool shown = true, int boundMs = 20000) {
        const QDeadlineTimer deadline(boundMs);
        while (dialogShown(title) != shown) {
            if (deadline.hasExpired()) return false;
            QThread::msleep(100);
        }
        settle();
        return true;
    }
    // The text of the dialog that has the keyboard, as Ctrl+C on a message box gives it.
    QByteArray dialogText() {
        keys({QStringLiteral("ctrl+c")});
        return clipboard();
    }

private:
    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display_);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        return env;
    }
    int px(int twips) const { return static_cast<int>(twips * pixelsPerTwip_ + 0.5); }
    // Gives the program time to handle what the server sent and repaint.
    static void settle() { QThread::msleep(250); }
    void stopServingClipboard() {
        if (!clipboardOwner_) return;
        clipboardOwner_->kill();
        clipboardOwner_->waitForFinished(5000);
        clipboardOwner_.reset();
    }

    QString display_;
    QProcess program_;
    QByteArray window_;
    int x_ = 0, y_ = 0;
    double pixelsPerTwip_ = 0;
    std::unique_ptr<QProcess> clipboardOwner_;
};

// A scratch folder with its own Velkin.ini and SQLite file.
class ScratchFolder {
public:
    ScratchFolder() { EXPECT_TRUE(dir_.isValid()); }
    QString path() const { return dir_.path(); }
    QString file(const QString& name) const { return dir_.filePath(name); }
    // Runs SQL on the folder's Velkin.db with the sqlite3 shell; returns its output.
    QByteArray sql(const QString& statements) {
        QProcess shell;
        shell.start(QStringLiteral("sqlite3"), {file(QStringLiteral("Velkin.db"))});
        if (!shell.waitForStarted(10000)) {
            ADD_FAILURE() << "sqlite3 is missing";
            return {};
        }
        shell.write(statements.toUtf8());
        shell.waitForBytesWritten(10000);
        shell.closeWriteChannel();
        shell.waitForFinished(30000);
        const QByteArray errors = shell.readAllStandardError();
        EXPECT_TRUE(errors.isEmpty()) << errors.toStdString();
        return shell.readAllStandardOutput();
    }
    void write(const QString& name, const QByteArray& bytes) const {
        QFile f(file(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
    }
    QByteArray read(const QString& name) const {
        QFile f(file(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private:
    QTemporaryDir dir_;
};

}  // namespace velkin::seat
