// The settings file under faults: a writer killed at any moment leaves the
// old file or the new one, never a part of one; files of junk at start-up
// give empty boxes and the default grid, and survive the write at close.

#include "child_process.h"
#include "form_fixture.h"

#include <QDirIterator>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>

#include <cstdio>
#include <iostream>
#include <string>
#include <random>

using namespace velkin;
using namespace velkin::testing;

namespace {

const QString kIni = QStringLiteral("./Velkin.ini");

// Comment lines that make every rewrite of the file copy a few hundred kB,
// so a kill has a wide window to land inside a write.
QByteArray Padding() {
    QByteArray bytes;
    for (int i = 0; i < 1000; ++i) bytes += "; padding line " + QByteArray::number(i) + " ......................................\r\n";
    return bytes;
}

QString Value(char which) { return QString(200, QLatin1Char(which)); }

// Child: in its working directory, rewrites USERID as "a..." and "b..."
// alternately until it is killed; says "writing" once the first write is done.
int IniWriterChild(const QStringList& args) {
    if (args.size() != 1 || !QDir::setCurrent(args[0])) return 64;
    for (unsigned long i = 0;; ++i) {
        if (!Common1::WriteIniString(QStringLiteral("Default1"), QStringLiteral("USERID"), Value(i % 2 ? 'b' : 'a'), kIni))
            return 65;
        if (i == 0) {
            std::fputs("writing\n", stdout);
            std::fflush(stdout);
        }
    }
}
const ChildRegistration kIniWriterChild("ini-writer", IniWriterChild);

// Child: a window in its working directory that, for each "go" line on its
// standard input, fills the three boxes with "<tag>-<round>" and is closed;
// says "ready" before each round and "closed" after it.
int ClosingWindowChild(const QStringList& args) {
    if (args.size() != 2 || !QDir::setCurrent(args[0])) return 64;
    std::string line;
    for (int round = 0;; ++round) {
        Form1 window;
        const QString value = args[1] + u'-' + QString::number(round);
        for (QLineEdit* box : {window.TXT_USER, window.TXT_PASS, window.TXT_HOST}) box->setText(value);
        std::puts("ready");
        std::fflush(stdout);
        if (!std::getline(std::cin, line)) return 0;
        window.close();
        std::puts("closed");
        std::fflush(stdout);
    }
}
const ChildRegistration kClosingWindowChild("closing-window", ClosingWindowChild);

QByteArray FileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

class SettingsRobustness : public FormTest {
protected:
    // The window as start-up leaves it after reading a file of junk.
    void expectDefaultStart(const QByteArray& content) {
        writeSettings(content);
        form_.reset();
        EXPECT_TRUE(form().TXT_USER->text().isEmpty());
        EXPECT_TRUE(form().TXT_PASS->text().isEmpty());
        EXPECT_TRUE(form().TXT_HOST->text().isEmpty());
        EXPECT_FALSE(form().CMD_Update->isHidden());
        EXPECT_EQ(grid().rowCount(), 502);
        EXPECT_EQ(form().rowCapacity(), 502);

        // Closing adds the three keys and keeps the junk's bytes.
        form().TXT_USER->setText(QStringLiteral("scott"));
        form().TXT_HOST->setText(QStringLiteral("sqlite:x.db"));
        form_->close();
        form_.reset();
        const QByteArray after = FileBytes(path("Velkin.ini"));
        EXPECT_TRUE(after.startsWith(content)) << "the junk is still there";
        EXPECT_EQ(Common1::ReadIniString("Default1", "USERID", kIni), "scott");
        EXPECT_EQ(Common1::ReadIniString("Default1", "HOST", kIni), "sqlite:x.db");
    }
};

}  // namespace

TEST_F(SettingsRobustness, JunkAtStartUpGivesEmptyBoxesAndTheDefaultGrid) {
    std::mt19937 random(20240131);
    {
        SCOPED_TRACE("bytes that are no UTF-8, in lines");
        QByteArray junk;
        for (int i = 0; i < 4096; ++i) junk += (i % 61 == 60) ? '\n' : static_cast<char>(0x80 | (random() & 0x7f));
        expectDefaultStart(junk);
    }
    {
        SCOPED_TRACE("a 1 MiB line");
        expectDefaultStart(QByteArray(1 << 20, 'x'));
    }
    {
        SCOPED_TRACE("a 1 MiB line inside the section");
        expectDefaultStart("[Default1]\r\n" + QByteArray(1 << 20, 'y') + "\r\nLINE\r\n");
    }
    {
        SCOPED_TRACE("a binary file");
        QByteArray binary(1 << 20, '\0');
        for (char& b : binary) b = static_cast<char>(random() & 0xff);
        expectDefaultStart(binary);
    }
    {
        SCOPED_TRACE("NULs only");
        expectDefaultStart(QByteArray(4096, '\0'));
    }
}

TEST_F(SettingsRobustness, AWriterKilledAtAnyMomentLeavesTheOldFileOrTheNewOne) {
    // The two files a completed write can leave, made in a directory of their own.
    QTemporaryDir reference;
    ASSERT_TRUE(reference.isValid());
    const QString referenceFile = reference.filePath(QStringLiteral("Velkin.ini"));
    const QByteArray start = "[Default1]\r\nUSERID=start\r\nPASS=secret\r\n" + Padding();
    auto made = [&](char which) {
        QFile file(referenceFile);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(start);
        file.close();
        EXPECT_TRUE(Common1::WriteIniString("Default1", "USERID", Value(which), referenceFile));
        return FileBytes(referenceFile);
    };
    const QByteArray fileA = made('a');
    const QByteArray fileB = made('b');
    ASSERT_NE(fileA, fileB);

    writeSettings(start);
    std::mt19937 random(7);
    constexpr int kKills = 30;
    int sawStart = 0, sawA = 0, sawB = 0;
    for (int k = 0; k < kKills; ++k) {
        SCOPED_TRACE(k);
        QProcess child;
        StartChild(child, QStringLiteral("ini-writer"), {dir_.path()});
        ASSERT_TRUE(child.waitForStarted(30000));
        ASSERT_TRUE(WaitForLine(child, "writing")) << "the writer never wrote";
        // A different moment each time; nothing below depends on when it lands.
        QThread::usleep(random() % 60000);
        child.kill();
        ASSERT_TRUE(child.waitForFinished(30000));

        const QByteArray now = FileBytes(path("Velkin.ini"));
        ASSERT_TRUE(now == fileA || now == fileB || now == start) << "a torn settings file of " << now.size() << " bytes";
        (now == fileA ? sawA : now == fileB ? sawB : sawStart)++;
        const QString user = Common1::ReadIniString("Default1", "USERID", kIni);
        EXPECT_TRUE(user == Value('a') || user == Value('b') || user == "start");
        EXPECT_EQ(Common1::ReadIniString("Default1", "PASS", kIni), "secret");
    }
    // Temporary files of killed writes stay behind beside the file; they are
    // never read, and the next start reads the real one.
    int leftovers = 0;
    for (QDirIterator it(dir_.path(), QDir::Files | QDir::Hidden); it.hasNext();) {
        it.next();
        if (it.fileName() != u"Velkin.ini") ++leftovers;
    }
    std::printf("[ writer killed %d times: old file %d, 'a' file %d, 'b' file %d, torn 0; %d temporary files left ]\n",
                kKills, sawStart, sawA, sawB, leftovers);

    form_.reset();
    EXPECT_EQ(form().TXT_PASS->text(), "secret");
    EXPECT_EQ(grid().rowCount(), 502);
}

TEST_F(SettingsRobustness, TwoWindowsQuittingTogetherLeaveOneWindowsKeys) {
    const QByteArray start = "; kept\r\n[Other]\r\nA=1\r\n[Default1]\r\nLINE=1002\r\n" + Padding();
    writeSettings(start);
    const auto mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
    ASSERT_TRUE(QFile::setPermissions(path("Velkin.ini"), mode));
    QProcess windows[2];
    for (int w = 0; w < 2; ++w) {
        StartChild(windows[w], QStringLiteral("closing-window"), {dir_.path(), w ? "B" : "A"});
        ASSERT_TRUE(windows[w].waitForStarted(30000));
    }
    int sawA = 0, sawB = 0, mixed = 0;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        for (QProcess& window : windows) ASSERT_TRUE(WaitForLine(window, "ready"));
        // Both told at once: QProcess would otherwise hand the second its line only while waiting on it.
        for (QProcess& window : windows) window.write("go\n");
        for (QProcess& window : windows) window.waitForBytesWritten(30000);
        for (QProcess& window : windows) ASSERT_TRUE(WaitForLine(window, "closed"));
        const QString user = Common1::ReadIniString("Default1", "USERID", kIni);
        const QString pass = Common1::ReadIniString("Default1", "PASS", kIni);
        const QString host = Common1::ReadIniString("Default1", "HOST", kIni);
        EXPECT_TRUE(pass == user && host == user) << "USERID " << user.toStdString() << ", PASS "
                                                  << pass.toStdString() << ", HOST " << host.toStdString();
        mixed += pass != user || host != user;
        EXPECT_TRUE(user == "A-" + QString::number(round) || user == "B-" + QString::number(round)) << user.toStdString();
        (user.startsWith(u'A') ? sawA : sawB)++;
    }
    for (QProcess& window : windows) {
        window.closeWriteChannel();
        EXPECT_TRUE(window.waitForFinished(30000));
    }
    std::printf("[ two windows quit together 20 times: A's keys %d, B's keys %d, mixed %d ]\n", sawA, sawB, mixed);
    EXPECT_TRUE(FileBytes(path("Velkin.ini")).contains(Padding()));
    EXPECT_EQ(Common1::ReadIniString("Other", "A", kIni), "1");
    EXPECT_EQ(Common1::ReadIniString("Default1", "LINE", kIni), "1002");
    EXPECT_EQ(QFile::permissions(path("Velkin.ini")) & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser), mode);
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"Velkin.ini"});
}
