#include "shell/ini_file.h"
#include "shell/settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace velkin;
using namespace velkin::Common1;

namespace {

const QString kSection = QStringLiteral("Default1");

QString Repeat(const QString& s, int times) { return s.repeated(times); }

QByteArray FileBytes(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QByteArray("<unreadable>");
    return f.readAll();
}

void PutBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

struct ReadCase {
    const char* what;
    QString text;
    QString section;
    QString key;
    QString expected;
};

struct WriteCase {
    const char* what;
    QString before;
    QString key;
    QString value;
    QString after;
};

}  // namespace

// ---------------------------------------------------------------- reading

TEST(IniRead, ValuesComeBackAsTheWindowsReaderReturnsThem) {
    const ReadCase cases[] = {
        {"plain", "[Default1]\r\nUSERID=scott\r\n", "Default1", "USERID", "scott"},
        {"section name in other case", "[DEFAULT1]\r\nUSERID=scott\r\n", "default1", "USERID", "scott"},
        {"key name in other case", "[Default1]\r\nUserId=scott\r\n", "Default1", "USERID", "scott"},
        {"blanks around names", "  [ Default1 ]  \r\n\t USERID \t= scott\r\n", "Default1", "USERID", "scott"},
        {"blanks around the value", "[Default1]\r\nUSERID= \t scott \t \r\n", "Default1", "USERID", "scott"},
        {"inner blanks kept", "[Default1]\r\nHOST=  my  host  \r\n", "Default1", "HOST", "my  host"},
        {"double quotes dropped", "[Default1]\r\nPASS=\"tiger\"\r\n", "Default1", "PASS", "tiger"},
        {"single quotes dropped", "[Default1]\r\nPASS='tiger'\r\n", "Default1", "PASS", "tiger"},
        {"blanks inside quotes kept", "[Default1]\r\nPASS=\"  ti ger \"\r\n", "Default1", "PASS", "  ti ger "},
        {"blanks outside quotes dropped first", "[Default1]\r\nPASS=  'tiger'  \r\n", "Default1", "PASS", "tiger"},
        {"only one pair of quotes", "[Default1]\r\nPASS=\"\"tiger\"\"\r\n", "Default1", "PASS", "\"tiger\""},
        {"mixed quote marks kept", "[Default1]\r\nPASS=\"tiger'\r\n", "Default1", "PASS", "\"tiger'"},
        {"quote at one end kept", "[Default1]\r\nPASS=\"tiger\r\n", "Default1", "PASS", "\"tiger"},
        {"a lone quote kept", "[Default1]\r\nPASS=\"\r\n", "Default1", "PASS", "\""},
        {"empty quotes give empty", "[Default1]\r\nPASS=\"\"\r\n", "Default1", "PASS", ""},
        {"'=' in the value", "[Default1]\r\nHOST=a=b==c\r\n", "Default1", "HOST", "a=b==c"},
        {"Japanese value", "[Default1]\r\nUSERID=山田太郎\r\n", "Default1", "USERID", "山田太郎"},
        {"empty value", "[Default1]\r\nUSERID=\r\n", "Default1", "USERID", ""},
        {"LF line ends", "[Default1]\nUSERID=scott\nPASS=tiger\n", "Default1", "PASS", "tiger"},
        {"lone CR line ends", "[Default1]\rUSERID=scott\rPASS=tiger", "Default1", "PASS", "tiger"},
        {"no final line break", "[Default1]\r\nUSERID=scott", "Default1", "USERID", "scott"},
        {"comment line is no entry", "[Default1]\r\n;USERID=old\r\nUSERID=new\r\n", "Default1", "USERID", "new"},
        {"indented comment", "[Default1]\r\n  ; USERID=old\r\n", "Default1", "USERID", ""},
        {"header with trailing note", "[Default1] ; main\r\nUSERID=scott\r\n", "Default1", "USERID", "scott"},
        {"first key wins", "[Default1]\r\nUSERID=one\r\nUSERID=two\r\n", "Default1", "USERID", "one"},
        {"first section wins", "[Default1]\r\nUSERID=one\r\n[Default1]\r\nUSERID=two\r\n", "Default1", "USERID", "one"},
        {"only the first section is looked in", "[Default1]\r\nA=1\r\n[default1]\r\nUSERID=two\r\n", "Default1", "USERID", ""},
        {"same key in another section", "[Other]\r\nUSERID=x\r\n[Default1]\r\nPASS=y\r\n", "Default1", "USERID", ""},
        {"key of a later section", "[Default1]\r\nPASS=y\r\n[Other]\r\nUSERID=x\r\n", "Default1", "USERID", ""},
        {"entries before any section", "USERID=x\r\n[Default1]\r\n", "Default1", "USERID", ""},
        {"longer key is another key", "[Default1]\r\nUSERID2=x\r\n", "Default1", "USERID", ""},
        {"line without '='", "[Default1]\r\nUSERID\r\n", "Default1", "USERID", ""},
        {"missing key", "[Default1]\r\nPASS=y\r\n", "Default1", "USERID", ""},
        {"missing section", "[Other]\r\nUSERID=x\r\n", "Default1", "USERID", ""},
        {"empty text", "", "Default1", "USERID", ""},
        {"no ASCII folding beyond ASCII", "[Default1]\r\nＵＳＥＲ=x\r\n", "Default1", "ｕｓｅｒ", ""},
        {"section without ']' is no header", "[Default1\r\nUSERID=x\r\n", "Default1", "USERID", ""},
    };
    for (const ReadCase& c : cases) {
        EXPECT_EQ(ini::ReadValue(c.text, c.section, c.key), c.expected) << c.what;
    }
}

// ---------------------------------------------------------------- writing

TEST(IniWrite, EntriesAreAddedOrReplacedAndEverythingElseStays) {
    const WriteCase cases[] = {
        {"new text gets CR LF", "", "USERID", "scott", "[Default1]\r\nUSERID=scott\r\n"},
        {"new key after the last one", "[Default1]\r\nUSERID=a\r\n", "PASS", "p",
         "[Default1]\r\nUSERID=a\r\nPASS=p\r\n"},
        {"new key before the gap to the next section", "[Default1]\nUSERID=a\n\n[Other]\nX=1\n", "PASS", "p",
         "[Default1]\nUSERID=a\nPASS=p\n\n[Other]\nX=1\n"},
        {"new key before a trailing comment", "[Default1]\nA=1\n; about Other\n\n[Other]\n", "PASS", "p",
         "[Default1]\nA=1\nPASS=p\n; about Other\n\n[Other]\n"},
        {"new key in an empty section", "[Default1]\r\n[Other]\r\n", "PASS", "p",
         "[Default1]\r\nPASS=p\r\n[Other]\r\n"},
        {"new key after a last line without break", "[Default1]\r\nUSERID=a", "PASS", "p",
         "[Default1]\r\nUSERID=a\r\nPASS=p\r\n"},
        {"replace keeps the file's key spelling and blanks", "[default1]\r\n  userid = old \r\n", "USERID", "scott",
         "[default1]\r\n  userid = scott\r\n"},
        {"replace only the first key", "[Default1]\nA=1\nA=2\n", "A", "9", "[Default1]\nA=9\nA=2\n"},
        {"replace with empty", "[Default1]\r\nUSERID=x\r\n", "USERID", "", "[Default1]\r\nUSERID=\r\n"},
        {"replace in the first section only", "[Default1]\nA=1\n[Default1]\nB=2\n", "B", "3",
         "[Default1]\nA=1\nB=3\n[Default1]\nB=2\n"},
        {"commented key is not replaced", "[Default1]\r\n;USERID=old\r\n", "USERID", "new",
         "[Default1]\r\nUSERID=new\r\n;USERID=old\r\n"},
        {"new section after a blank line", "[Other]\r\nX=1\r\n", "USERID", "s",
         "[Other]\r\nX=1\r\n\r\n[Default1]\r\nUSERID=s\r\n"},
        {"new section after an existing gap", "[Other]\nX=1\n\n", "USERID", "s",
         "[Other]\nX=1\n\n[Default1]\nUSERID=s\n"},
        {"new section, last line without break", "; note", "USERID", "s",
         "; note\r\n\r\n[Default1]\r\nUSERID=s\r\n"},
        {"lone CR file keeps lone CR", "[Default1]\rA=1\r", "B", "2", "[Default1]\rA=1\rB=2\r"},
        {"mixed breaks: CR LF wins", "[Default1]\nA=1\r\n", "B", "2", "[Default1]\nA=1\r\nB=2\r\n"},
        {"value written as given", "", "PASS", " \"x\" ", "[Default1]\r\nPASS= \"x\" \r\n"},
        {"Japanese value", "[Default1]\r\n", "USERID", "山田", "[Default1]\r\nUSERID=山田\r\n"},
    };
    for (const WriteCase& c : cases) {
        QString text = c.before;
        EXPECT_TRUE(ini::WriteValue(text, kSection, c.key, c.value)) << c.what;
        EXPECT_EQ(text, c.after) << c.what;
    }
}

TEST(IniWrite, ForeignSectionsAndCommentsStayCharacterForCharacter) {
    const QString before =
        "; Velkin settings\r\n"
        "  ; indented comment ; with = sign\r\n"
        "[Colours]\r\n"
        "  Back = \"white\"  \r\n"
        "\r\n"
        "[Default1]\r\n"
        "USERID = 'old'\t\r\n"
        ";PASS=commented\r\n"
        "LINE=1002\r\n"
        "UPDATE=NO\r\n"
        "\r\n"
        "\r\n"
        "[Zzz]\r\n"
        "no equals sign here\r\n"
        "=empty key\r\n";
    QString text = before;
    ASSERT_TRUE(ini::WriteValue(text, kSection, "userid", "scott"));
    ASSERT_TRUE(ini::WriteValue(text, kSection, "PASS", "tiger"));
    ASSERT_TRUE(ini::WriteValue(text, kSection, "HOST", "db1"));
    const QString expected =
        "; Velkin settings\r\n"
        "  ; indented comment ; with = sign\r\n"
        "[Colours]\r\n"
        "  Back = \"white\"  \r\n"
        "\r\n"
        "[Default1]\r\n"
        "USERID = scott\r\n"
        ";PASS=commented\r\n"
        "LINE=1002\r\n"
        "UPDATE=NO\r\n"
        "PASS=tiger\r\n"
        "HOST=db1\r\n"
        "\r\n"
        "\r\n"
        "[Zzz]\r\n"
        "no equals sign here\r\n"
        "=empty key\r\n";
    EXPECT_EQ(text, expected);
    EXPECT_EQ(ini::ReadValue(text, kSection, "USERID"), "scott");
    EXPECT_EQ(ini::ReadValue(text, "colours", "BACK"), "white");
}

TEST(IniWrite, NamesOrValuesThatCannotStandInOneLineAreRefused) {
    const struct {
        const char* what;
        QString section, key, value;
    } cases[] = {
        {"line break in value", "Default1", "PASS", "a\r\nUPDATE=NO"},
        {"LF in value", "Default1", "PASS", "a\nb"},
        {"CR in key", "Default1", "PA\rSS", "x"},
        {"line break in section", "Default\n1", "PASS", "x"},
        {"NUL in value", "Default1", "PASS", QString(QStringLiteral("a")) + QChar(0) + "b"},
        {"empty key", "Default1", "", "x"},
        {"blank key", "Default1", "  ", "x"},
        {"'=' in key", "Default1", "A=B", "x"},
        {"key like a comment", "Default1", ";A", "x"},
        {"key like a header", "Default1", "[A", "x"},
    };
    const QString before = "[Default1]\r\nPASS=old\r\n";
    for (const auto& c : cases) {
        QString text = before;
        EXPECT_FALSE(ini::WriteValue(text, c.section, c.key, c.value)) << c.what;
        EXPECT_EQ(text, before) << c.what;
    }
}

TEST(IniWrite, WhatIsWrittenReadsBack) {
    const QString values[] = {"scott", "", "山田 太郎", "a=b", "tab\there", "'single'x", "x;y", "[z]"};
    for (const QString& start : {QString(), QString("[Other]\nK=v\n"), QString("[Default1]\r\nUSERID=zz\r\n")}) {
        for (const QString& v : values) {
            QString text = start;
            ASSERT_TRUE(ini::WriteValue(text, kSection, "USERID", v));
            EXPECT_EQ(ini::ReadValue(text, kSection, "USERID"), v) << text.toStdString();
        }
    }
}

// ---------------------------------------------------------------- the settings file

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
    QString Path(const QString& name = "Velkin.ini") const { return dir_.filePath(name); }
    QString Read(const QString& key, const QString& file) const { return ReadIniString(kSection, key, file); }

    QTemporaryDir dir_;
};

TEST_F(SettingsFile, ValuesAreCutTo255BytesAtACharacterBoundary) {
    const QString a = "あ";     // 3 bytes in UTF-8
    const QString emoji = "😀";  // 4 bytes, two UTF-16 units
    const struct {
        const char* what;
        QString stored;
        QString expected;
    } cases[] = {
        {"255 single-byte characters whole", Repeat("x", 255), Repeat("x", 255)},
        {"256 single-byte characters cut", Repeat("x", 256), Repeat("x", 255)},
        {"300 single-byte characters cut", Repeat("y", 300), Repeat("y", 255)},
        {"85 three-byte characters are 255 bytes, whole", Repeat(a, 85), Repeat(a, 85)},
        {"86 three-byte characters cut to 85", Repeat(a, 86), Repeat(a, 85)},
        {"a character across the limit is left out", "x" + Repeat(a, 85), "x" + Repeat(a, 84)},
        {"a character ending at the limit stays", "xxx" + Repeat(a, 84), "xxx" + Repeat(a, 84)},
        {"254 bytes then a three-byte character", Repeat("x", 254) + a, Repeat("x", 254)},
        {"surrogate pair ending at the limit stays", Repeat("x", 251) + emoji, Repeat("x", 251) + emoji},
        {"surrogate pair across the limit is left out", Repeat("x", 252) + emoji, Repeat("x", 252)},
        {"quotes dropped before the cut", "\"" + Repeat("q", 255) + "\"", Repeat("q", 255)},
        {"blanks dropped before the cut", "   " + Repeat("b", 255) + "   ", Repeat("b", 255)},
    };
    for (const auto& c : cases) {
        PutBytes(Path(), "[Default1]\r\nHOST=" + c.stored.toUtf8() + "\r\n");
        const QString got = Read("HOST", Path());
        EXPECT_EQ(got, c.expected) << c.what;
        EXPECT_LE(got.toUtf8().size(), 255) << c.what;
    }
}

TEST_F(SettingsFile, MissingThingsReadAsEmpty) {
    EXPECT_EQ(Read("USERID", Path("absent.ini")), "");
    EXPECT_EQ(Read("USERID", dir_.filePath("no/such/dir/Velkin.ini")), "");
    PutBytes(Path(), "[Other]\r\nUSERID=x\r\n");
    EXPECT_EQ(Read("USERID", Path()), "");
    PutBytes(Path(), "[Default1]\r\nPASS=x\r\n");
    EXPECT_EQ(Read("USERID", Path()), "");
    PutBytes(Path(), "");
    EXPECT_EQ(Read("USERID", Path()), "");
}

TEST_F(SettingsFile, OddFilesReadWithoutHarm) {
    // A value cut at a NUL, as the Windows reader's C string ends there.
    PutBytes(Path(), QByteArray("[Default1]\r\nPASS=ab\0cd\r\n", 22));
    EXPECT_EQ(Read("PASS", Path()), "ab");

    // Undecodable bytes become replacement characters; the other keys still read.
    PutBytes(Path(), "[Default1]\r\nUSERID=\xff\xfe\x80\r\nPASS=ok\r\n");
    EXPECT_EQ(Read("USERID", Path()), QString(3, QChar(0xFFFD)));
    EXPECT_EQ(Read("PASS", Path()), "ok");

    // A 1 MiB line: cut value, and the lines after it are still found.
    const QByteArray huge(1 << 20, 'x');
    PutBytes(Path(), "[Default1]\nUSERID=" + huge + "\nPASS=after\n");
    EXPECT_EQ(Read("USERID", Path()), Repeat("x", 255));
    EXPECT_EQ(Read("PASS", Path()), "after");

    // A 1 MiB line of junk without any line break.
    std::mt19937 random(7);
    QByteArray junk(1 << 20, '\0');
    for (char& b : junk) b = static_cast<char>(random() & 0xff);
    PutBytes(Path(), junk);
    EXPECT_NO_THROW(Read("USERID", Path()));

    // Binary junk followed by the real section.
    PutBytes(Path(), junk + "\n[Default1]\nHOST=h\n");
    EXPECT_EQ(Read("HOST", Path()), "h");
}

TEST_F(SettingsFile, ThingsThatAreNoFileReadAsEmptyAndAreNotWritten) {
    ASSERT_TRUE(QDir(dir_.path()).mkdir("Velkin.ini"));
    EXPECT_EQ(Read("USERID", Path()), "");
    EXPECT_EQ(WriteIniString(kSection, "USERID", "x", Path()), 0);
    EXPECT_TRUE(QFileInfo(Path()).isDir());

    // A pipe would block a reader forever if it were opened.
    const QString fifo = Path("fifo.ini");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_EQ(Read("USERID", fifo), "");
    EXPECT_EQ(WriteIniString(kSection, "USERID", "x", fifo), 0);
}

TEST_F(SettingsFile, FirstWriteCreatesTheFileWithCrLf) {
    EXPECT_NE(WriteIniString(kSection, "USERID", "scott", Path()), 0);
    EXPECT_NE(WriteIniString(kSection, "PASS", "tiger", Path()), 0);
    EXPECT_NE(WriteIniString(kSection, "HOST", "", Path()), 0);
    EXPECT_EQ(FileBytes(Path()), "[Default1]\r\nUSERID=scott\r\nPASS=tiger\r\nHOST=\r\n");
    // Nothing is left behind beside it.
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"Velkin.ini"});
}

TEST_F(SettingsFile, ANewFileIsTheOwnersAloneAndARewriteKeepsTheMode) {
    auto mode = [](const QString& path) {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };
    // The file holds a password: created 0600 whatever the umask allows.
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}}) {
        QFile::remove(Path());
        const mode_t saved = ::umask(mask);
        const int32_t written = WriteIniString(kSection, "PASS", "tiger", Path());
        ::umask(saved);
        ASSERT_NE(written, 0);
        EXPECT_EQ(mode(Path()), 0600u) << "umask " << std::oct << mask;
    }
    // A mode the user gave the file survives the temporary file and rename,
    // a world-readable one included.
    for (const mode_t chosen : {mode_t{0644}, mode_t{0640}, mode_t{0660}, mode_t{0604}}) {
        ASSERT_EQ(::chmod(QFile::encodeName(Path()).constData(), chosen), 0);
        ASSERT_NE(WriteIniString(kSection, "USERID", QString::number(chosen, 8), Path()), 0);
        EXPECT_EQ(mode(Path()), static_cast<unsigned>(chosen)) << std::oct << chosen;
    }
    EXPECT_EQ(Read("USERID", Path()), "604");
}

TEST_F(SettingsFile, OtherLinesKeepTheirBytesEvenWhenTheyDoNotDecode) {
    // A comment in Shift-JIS (from a Windows machine) and a junk value: neither
    // is valid UTF-8, and both must survive a rewrite untouched.
    static const char kBefore[] =
        "; \x93\xfa\x96\x7b\x8c\xea\r\n"
        "[Default1]\r\n"
        "USERID=old\r\n"
        "LINE=1002\r\n"
        "[Junk]\r\n"
        "K=\xff\xfe\x00z\r\n";
    PutBytes(Path(), QByteArray(kBefore, sizeof kBefore - 1));
    ASSERT_NE(WriteIniString(kSection, "userid", "新しい", Path()), 0);
    const QByteArray expected = QByteArray("; \x93\xfa\x96\x7b\x8c\xea\r\n[Default1]\r\nUSERID=") +
                                QString("新しい").toUtf8() + "\r\nLINE=1002\r\n[Junk]\r\nK=\xff\xfe" +
                                QByteArray(1, '\0') + "z\r\n";
    EXPECT_EQ(FileBytes(Path()), expected);
    EXPECT_EQ(Read("USERID", Path()), "新しい");
}

TEST_F(SettingsFile, JunkFileGetsTheSectionAppendedAndKeepsItsBytes) {
    std::mt19937 random(11);
    QByteArray junk(64 * 1024, '\0');
    for (char& b : junk) b = static_cast<char>(random() & 0xff);
    junk.replace('[', 'x');  // no accidental headers
    PutBytes(Path(), junk);
    ASSERT_NE(WriteIniString(kSection, "HOST", "h", Path()), 0);
    const QByteArray after = FileBytes(Path());
    EXPECT_TRUE(after.startsWith(junk));
    EXPECT_TRUE(after.endsWith("[Default1]\r\nHOST=h\r\n") || after.endsWith("[Default1]\nHOST=h\n") ||
                after.endsWith("[Default1]\rHOST=h\r"));
    EXPECT_EQ(Read("HOST", Path()), "h");
}

TEST_F(SettingsFile, UnwritablePlacesReturnZeroAndChangeNothing) {
    // Places nobody can create a file in, whatever the user's rights.
    PutBytes(Path("plain"), "x");
    EXPECT_EQ(WriteIniString(kSection, "USERID", "x", dir_.filePath("plain/Velkin.ini")), 0);
    EXPECT_EQ(WriteIniString(kSection, "USERID", "x", dir_.filePath("missing/Velkin.ini")), 0);
    EXPECT_EQ(WriteIniString(kSection, "USERID", "x", "/proc/self/Velkin.ini"), 0);

    // A read-only file is refused, as on Windows, even for a user allowed to replace it.
    PutBytes(Path(), "[Default1]\r\nUSERID=keep\r\n");
    ASSERT_TRUE(QFile::setPermissions(Path(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    EXPECT_EQ(WriteIniString(kSection, "USERID", "x", Path()), 0);
    EXPECT_EQ(FileBytes(Path()), "[Default1]\r\nUSERID=keep\r\n");

    // Names that cannot be stored leave the file as it was.
    ASSERT_TRUE(QFile::setPermissions(Path(), QFile::ReadOwner | QFile::WriteOwner));
    EXPECT_EQ(WriteIniString(kSection, "USERID", "a\r\nUPDATE=NO", Path()), 0);
    EXPECT_EQ(FileBytes(Path()), "[Default1]\r\nUSERID=keep\r\n");
}

TEST_F(SettingsFile, ReadOnlyDirectoryReturnsZero) {
    const QString sub = dir_.filePath("ro");
    ASSERT_TRUE(QDir().mkdir(sub));
    ASSERT_TRUE(QFile::setPermissions(sub, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
    ASSERT_TRUE(QFile::setPermissions(dir_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                       QFile::ReadOther | QFile::ExeOther));
    // Directory modes do not bind the superuser: the write runs as user nobody
    // then (the real user id stays root, so root comes back).
    const bool asNobody = ::geteuid() == 0;
    if (asNobody) ASSERT_TRUE(::setegid(65534) == 0 && ::seteuid(65534) == 0) << "cannot act as user nobody";
    int32_t result = -1;
    EXPECT_NO_THROW(result = WriteIniString(kSection, "USERID", "x", sub + "/Velkin.ini"));
    if (asNobody && (::seteuid(0) != 0 || ::setegid(0) != 0)) std::abort();  // the rest of the suite needs root
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(QFileInfo::exists(sub + "/Velkin.ini"));
    QFile::setPermissions(sub, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

TEST_F(SettingsFile, TheRelativeNameFollowsTheWorkingDirectoryOfEachCall) {
    const QString saved = QDir::currentPath();
    ASSERT_TRUE(QDir(dir_.path()).mkdir("a"));
    ASSERT_TRUE(QDir(dir_.path()).mkdir("b"));
    const QString file = QString::fromLatin1(kIniFile);

    ASSERT_TRUE(QDir::setCurrent(dir_.filePath("a")));
    EXPECT_NE(WriteIniString(kSection, "HOST", "in-a", file), 0);
    ASSERT_TRUE(QDir::setCurrent(dir_.filePath("b")));
    EXPECT_EQ(ReadIniString(kSection, "HOST", file), "");
    EXPECT_NE(WriteIniString(kSection, "HOST", "in-b", file), 0);
    ASSERT_TRUE(QDir::setCurrent(dir_.filePath("a")));
    EXPECT_EQ(ReadIniString(kSection, "HOST", file), "in-a");
    QDir::setCurrent(saved);

    EXPECT_EQ(FileBytes(dir_.filePath("b/Velkin.ini")), "[Default1]\r\nHOST=in-b\r\n");
}

// ---------------------------------------------------------------- LINE and UPDATE

TEST(RowCapacity, LineValuesGiveTheGridsRowCount) {
    const struct {
        QString line;
        int32_t expected;
    } cases[] = {
        {"", 502},
        {"2", 2},
        {"102", 102},
        {"502", 502},
        {"1002", 1002},
        {"999902", 999902},
        {"1000002", 1000002},  // the ceiling itself
        {"1000102", 502},      // above the ceiling
        {"2147483602", 502},   // fits 32 bits, ends in 02, far above the ceiling
        {"100", 502},
        {"500", 502},
        {"503", 502},
        {"1000", 502},
        {"0", 502},
        {"-98", 502},
        {"-2", 502},
        {"+102", 102},
        {"0102", 102},
        {" 1002 ", 1002},
        {"\t1002", 1002},
        {"abc", 502},
        {"1002abc", 502},
        {"10 02", 502},
        {"1,002", 502},
        {"1002.0", 502},
        {"1e3", 502},
        {"0x3EA", 502},
        {"-", 502},
        {"+", 502},
        {"１００２", 502},  // full-width digits are not decimal text here
        {"99999999999", 502},
        {"2147483648", 502},
        {"-2147483649", 502},
        {"99999999999999999999999999902", 502},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RowCapacityFromLine(c.line), c.expected) << '"' << c.line.toStdString() << '"';
    }
}

TEST(UpdateSwitch, OnlyTheExactTextNoHidesUpdate) {
    const struct {
        QString value;
        bool hidden;
    } cases[] = {
        {"NO", true}, {"no", false}, {"No", false}, {"nO", false}, {"NO ", false}, {" NO", false},
        {"NOT", false}, {"N", false}, {"", false}, {"YES", false}, {"ＮＯ", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UpdateHiddenBy(c.value), c.hidden) << '"' << c.value.toStdString() << '"';
    }
}

TEST_F(SettingsFile, SwitchesReadFromTheFileAsStartUpSeesThem) {
    PutBytes(Path(), "[default1]\r\nupdate = \"NO\"\r\nline =  '1002' \r\n");
    EXPECT_TRUE(UpdateHiddenBy(Read("UPDATE", Path())));
    EXPECT_EQ(RowCapacityFromLine(Read("LINE", Path())), 1002);
    EXPECT_FALSE(UpdateHiddenBy(Read("UPDATE", Path("absent.ini"))));
    EXPECT_EQ(RowCapacityFromLine(Read("LINE", Path("absent.ini"))), 502);
}
