#include "shell/settings.h"

#include "shell/ini_file.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QThread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

namespace velkin::Common1 {

namespace {

// The Windows reader's buffer holds 256 bytes including the terminating NUL.
constexpr qsizetype kMaxValueBytes = 255;
// Far beyond any real settings file; guards against reading a huge file
// that was put in its place by mistake.
constexpr qint64 kMaxFileBytes = 64 * 1024 * 1024;

struct Document {
    std::vector<QByteArray> raw;  // each line's text as stored, without its line break
    std::vector<ini::Line> lines;
};

// Splits the bytes exactly as ini::SplitLines splits text. CR and LF are
// single bytes in every ASCII-based encoding and never part of a multi-byte
// character, so each line decodes on its own, and a line that is not changed
// can be written back with the bytes it was read with, undecodable ones included.
Document Parse(const QByteArray& bytes) {
    Document doc;
    QStringDecoder decode(QStringConverter::System, QStringConverter::Flag::Stateless);
    auto add = [&](qsizetype start, qsizetype textLength, qsizetype breakLength) {
        const QByteArray text = bytes.mid(start, textLength);
        doc.lines.push_back({decode(text), QString::fromLatin1(bytes.mid(start + textLength, breakLength)),
                             static_cast<qsizetype>(doc.raw.size())});
        doc.raw.push_back(text);
    };
    qsizetype start = 0;
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = bytes[i];
        if (c != '\r' && c != '\n') continue;
        const qsizetype breakLength = (c == '\r' && i + 1 < n && bytes[i + 1] == '\n') ? 2 : 1;
        add(start, i - start, breakLength);
        i += breakLength - 1;
        start = i + 1;
    }
    if (start < n) add(start, n - start, 0);
    return doc;
}

QByteArray Serialize(const Document& doc) {
    QStringEncoder encode(QStringConverter::System, QStringConverter::Flag::Stateless);
    QByteArray bytes;
    for (const ini::Line& line : doc.lines) {
        if (line.origin >= 0) {
            bytes += doc.raw[static_cast<size_t>(line.origin)];
        } else {
            bytes += encode(line.text);
        }
        bytes += line.ending.toLatin1();
    }
    return bytes;
}

// The file's bytes; "" for a file that does not exist; nothing when there is
// something in its place that cannot be read as a settings file. Devices and
// pipes are refused before opening, so a read never blocks.
std::optional<QByteArray> ReadBytes(const QString& fileName) {
    const QFileInfo info(fileName);
    if (!info.exists()) return QByteArray();
    if (!info.isFile() || info.size() > kMaxFileBytes) return std::nullopt;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    // QIODevice::read(n) allocates n bytes before it reads, so asking for the
    // cap itself would claim 64 MiB for every read of a small file.
    QByteArray bytes = file.read(std::min(file.size(), kMaxFileBytes));
    if (file.error() != QFileDevice::NoError) return std::nullopt;
    return bytes;
}

// At most `maxBytes` bytes in the file's encoding, never ending inside a
// character, and nothing from a NUL on (the Windows reader returns a C string).
QString CutToBytes(QString value, qsizetype maxBytes) {
    const qsizetype nul = value.indexOf(QChar(0));
    if (nul >= 0) value.truncate(nul);
    QStringEncoder encode(QStringConverter::System, QStringConverter::Flag::Stateless);
    qsizetype used = 0;
    qsizetype i = 0;
    while (i < value.size()) {
        const qsizetype length =
            (value[i].isHighSurrogate() && i + 1 < value.size() && value[i + 1].isLowSurrogate()) ? 2 : 1;
        const QByteArray bytes = encode(QStringView(value).mid(i, length));
        if (used + bytes.size() > maxBytes) break;
        used += bytes.size();
        i += length;
    }
    value.truncate(i);
    return value;
}

// One writer of the file at a time, across processes: an exclusive flock on
// "<file>.lock". The holder removes the lock file before letting go, so
// nothing is left beside the settings file; a waiter that then holds the lock
// of a name that is gone or names another file starts again on the current
// one. A holder that never lets go (a stopped process) is waited for a few
// seconds only, and the write then goes ahead alone: the rename still keeps
// the file whole. Where no lock file can be made, the write goes alone too,
// and mostly fails for the same reason the lock did.
class WriterTurn {
public:
    explicit WriterTurn(const QString& fileName) : path_(QFile::encodeName(fileName + QStringLiteral(".lock"))) {
        const QDeadlineTimer patience(kLockPatienceMs);
        while (!patience.hasExpired()) {
            fd_ = ::open(path_.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd_ < 0) return;
            int failure = 0;
            while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
                failure = errno;
                if (failure != EWOULDBLOCK && failure != EINTR) break;
                if (patience.hasExpired()) break;
                failure = 0;
                QThread::msleep(2);
            }
            struct stat held {}, named {};
            if (failure == 0 && ::fstat(fd_, &held) == 0 && ::lstat(path_.constData(), &named) == 0 &&
                held.st_dev == named.st_dev && held.st_ino == named.st_ino)
                return;
            ::close(fd_);
            fd_ = -1;
            if (failure != 0 && failure != EWOULDBLOCK && failure != EINTR) return;  // a file system without flock
        }
    }
    ~WriterTurn() {
        if (fd_ < 0) return;
        ::unlink(path_.constData());
        ::close(fd_);
    }
    WriterTurn(const WriterTurn&) = delete;
    WriterTurn& operator=(const WriterTurn&) = delete;

private:
    static constexpr int kLockPatienceMs = 5000;
    QByteArray path_;
    int fd_ = -1;
};

}  // namespace

QString ReadIniString(const QString& section, const QString& key, const QString& fileName) {
    try {
        const std::optional<QByteArray> bytes = ReadBytes(fileName);
        if (!bytes) return QString();
        return CutToBytes(ini::ReadValue(Parse(*bytes).lines, section, key), kMaxValueBytes);
    } catch (...) {
        return QString();
    }
}

int32_t WriteIniString(const QString& section, const QString& key, const QString& value,
                       const QString& fileName) {
    return WriteIniStrings(section, {{key, value}}, fileName);
}

int32_t WriteIniStrings(const QString& section, const std::vector<std::pair<QString, QString>>& keysAndValues,
                        const QString& fileName) {
    try {
        // Read, change and replace under one turn: two writers that both read
        // the old file would each put back their own keys over the other's.
        const WriterTurn turn(fileName);
        const QFileInfo info(fileName);
        // The rename would replace a read-only file; Windows refuses to write one.
        // A file with no write permission bit at all counts as read-only even
        // for a user whom the system would let write it, like the read-only
        // attribute on Windows.
        constexpr auto anyWrite = QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther;
        if (info.exists() && (!info.isWritable() || !(info.permissions() & anyWrite))) return 0;
        const std::optional<QByteArray> bytes = ReadBytes(fileName);
        if (!bytes) return 0;
        Document doc = Parse(*bytes);
        for (const auto& [key, value] : keysAndValues)
            if (!ini::WriteValue(doc.lines, section, key, value)) return 0;
        QSaveFile file(fileName);
        if (!file.open(QIODevice::WriteOnly)) return 0;
        // The file holds a password, so a new one is the owner's alone. The
        // temporary file already carries an existing file's mode (QSaveFile
        // copies it), so a mode the user chose survives every rewrite. Set
        // before anything is written: the bytes are never readable by others.
        if (!info.exists() && !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner)) return 0;
        const QByteArray out = Serialize(doc);
        if (file.write(out) != out.size()) return 0;
        return file.commit() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int32_t RowCapacityFromLine(const QString& lineValue) {
    QStringView text(lineValue);
    while (!text.isEmpty() && (text.front() == u' ' || text.front() == u'\t')) text = text.mid(1);
    while (!text.isEmpty() && (text.back() == u' ' || text.back() == u'\t')) text.chop(1);
    bool negative = false;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
        negative = text.front() == u'-';
        text = text.mid(1);
    }
    if (text.isEmpty()) return kDefaultRowCapacity;
    int64_t magnitude = 0;
    for (QChar c : text) {
        if (c < u'0' || c > u'9') return kDefaultRowCapacity;
        magnitude = magnitude * 10 + (c.unicode() - u'0');
        if (magnitude > int64_t{INT32_MAX} + 1) return kDefaultRowCapacity;
    }
    const int64_t number = negative ? -magnitude : magnitude;
    if (number < INT32_MIN || number > INT32_MAX) return kDefaultRowCapacity;
    const auto capacity = static_cast<int32_t>(number);
    if (capacity % 100 != 2 || capacity < 2 || capacity > kMaxRowCapacity) return kDefaultRowCapacity;
    return capacity;
}

bool UpdateHiddenBy(const QString& updateValue) { return updateValue == u"NO"; }

bool SnapshotsOffBy(const QString& backupValue) { return backupValue == u"NO"; }

}  // namespace velkin::Common1
