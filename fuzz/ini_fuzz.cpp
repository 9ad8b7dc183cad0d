// The INI reader and writer: writing a key and reading it back gives the value
// as the Windows reader returns it, and every line the write does not own
// keeps its bytes. Checked on the text form and on a real settings file.
//
// Input: four fields separated by 0xFF bytes (never valid UTF-8, so they
// cannot occur inside a field's text): file bytes, section, key, value.

#include "fuzz_support.h"
#include "shell/ini_file.h"
#include "shell/settings.h"

#include <QByteArray>
#include <QList>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringEncoder>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace velkin;
using velkin::fuzz::Check;
using velkin::fuzz::Visible;

namespace {

bool IsBlank(QChar c) { return c == u' ' || c == u'\t'; }

// The value as the reader hands it back: blanks at either end dropped, then
// one pair of the same quote mark around it.
QString AsRead(QString v) {
    qsizetype b = 0, e = v.size();
    while (b < e && IsBlank(v[b])) ++b;
    while (e > b && IsBlank(v[e - 1])) --e;
    v = v.mid(b, e - b);
    if (v.size() >= 2 && (v.front() == u'"' || v.front() == u'\'') && v.back() == v.front()) v = v.mid(1, v.size() - 2);
    return v;
}

// At most 255 UTF-8 bytes, whole characters only.
QString Cut255(const QString& v) {
    QStringEncoder encode(QStringConverter::Utf8);
    qsizetype used = 0, i = 0;
    while (i < v.size()) {
        const qsizetype n = (v[i].isHighSurrogate() && i + 1 < v.size()) ? 2 : 1;
        const qsizetype bytes = QByteArray(encode(QStringView(v).mid(i, n))).size();
        if (used + bytes > 255) break;
        used += bytes;
        i += n;
    }
    return v.left(i);
}

std::vector<QByteArray> ByteLines(const QByteArray& bytes) {
    std::vector<QByteArray> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r' && bytes[i] != '\n') continue;
        lines.push_back(bytes.mid(start, i - start));
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < bytes.size()) lines.push_back(bytes.mid(start));
    return lines;
}

// A write changes one stretch of lines: the old lines are P + X + S and the
// new ones P + Y + S, where X is at most the one line replaced and Y at most
// three lines (a blank line, a header and the entry). Every other line keeps
// its bytes and its place.
bool OtherLinesSurvive(const std::vector<QByteArray>& before, const std::vector<QByteArray>& after) {
    size_t prefix = 0;
    while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix]) ++prefix;
    size_t suffix = 0;
    while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
           before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    return before.size() - prefix - suffix <= 1 && after.size() - prefix - suffix <= 3;
}

void CheckText(const QString& text, const QString& section, const QString& key, const QString& value) {
    std::vector<ini::Line> lines = ini::SplitLines(text);
    Check(ini::JoinLines(lines) == text, "split and join give the text back");
    const std::vector<ini::Line> before = lines;
    if (!ini::WriteValue(lines, section, key, value)) return;

    Check(ini::ReadValue(lines, section, key) == AsRead(value), "written value reads back",
          Visible(value) + " -> " + Visible(ini::ReadValue(lines, section, key)));
    // Reading the joined text finds the same.
    Check(ini::ReadValue(ini::JoinLines(lines), section, key) == AsRead(value), "value reads back from text");

    // Untouched lines keep their text, their order and their endings (a last
    // line may gain the line break it lacked).
    size_t changed = 0, added = 0;
    qsizetype expectOrigin = 0;
    for (const ini::Line& line : lines) {
        if (line.origin < 0) {
            ++added;
            continue;
        }
        Check(line.origin >= expectOrigin, "lines keep their order");
        changed += static_cast<size_t>(line.origin - expectOrigin);
        const ini::Line& old = before[static_cast<size_t>(line.origin)];
        Check(line.text == old.text, "untouched line keeps its text", Visible(old.text));
        Check(line.ending == old.ending || (old.ending.isEmpty() && static_cast<size_t>(line.origin) + 1 == before.size()),
              "untouched line keeps its line break");
        expectOrigin = line.origin + 1;
    }
    changed += before.size() - static_cast<size_t>(expectOrigin);
    Check(changed <= 1, "at most one line replaced");
    Check(added <= 3, "at most three lines added");
}

// The same through the settings file, bytes that do not decode included.
void CheckFile(const QByteArray& bytes, const QString& section, const QString& key, const QString& value) {
    // The write syncs the file before its rename; in memory that costs nothing.
    static const QString path =
        QStringLiteral("%1/velkin-ini-fuzz-%2.ini")
            .arg(QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm") : QDir::tempPath())
            .arg(getpid());
    static const bool removedAtExit = [] {
        std::atexit([] { QFile::remove(path); });
        return true;
    }();
    (void)removedAtExit;
    QFile::remove(path);
    if (!bytes.isEmpty()) {
        QFile f(path);
        Check(f.open(QIODevice::WriteOnly), "temporary file opens");
        f.write(bytes);
    }
    const bool storable = [&] {
        std::vector<ini::Line> probe;
        return ini::WriteValue(probe, section, key, value);
    }();
    const int32_t written = Common1::WriteIniString(section, key, value, path);
    Check((written != 0) == storable, "the file write succeeds exactly when the value can be stored");
    if (!written) return;

    const QString expected = Cut255(AsRead(value));
    const QString got = Common1::ReadIniString(section, key, path);
    Check(got == expected, "value reads back from the file", Visible(expected) + " -> " + Visible(got));

    QFile f(path);
    Check(f.open(QIODevice::ReadOnly), "written file opens");
    Check(OtherLinesSurvive(ByteLines(bytes), ByteLines(f.readAll())), "other lines keep their bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QList<QByteArray> fields = input.split('\xff');
    if (fields.size() < 4) return 0;
    const QByteArray& file = fields[0];
    const QString section = QString::fromUtf8(fields[1]);
    const QString key = QString::fromUtf8(fields[2]);
    const QString value = QString::fromUtf8(fields[3]);

    CheckText(QString::fromUtf8(file), section, key, value);
    CheckFile(file, section, key, value);
    // Reading arbitrary text never fails.
    (void)ini::ReadValue(QString::fromUtf8(input), section, key);
    return 0;
}
