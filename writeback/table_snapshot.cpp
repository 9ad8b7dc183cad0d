#include "writeback/table_snapshot.h"

#include "grid/clipboard_text.h"
#include "grid/exact_form.h"
#include "db/utf8_text.h"
#include "read/value_text.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <optional>
#include <tuple>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace velkin {

namespace {

// Far below the 255 bytes a file name may have, leaving room for the stamp,
// a sequence number and the temporary suffix.
constexpr qsizetype kMaxStemBytes = 120;
constexpr qsizetype kCutStemBytes = 96;
// Text gathered before it is converted and written: large enough that the
// write calls cost nothing next to the rows, small enough to stay in cache.
constexpr qsizetype kPendingChars = 32 * 1024;

bool KeptInFileName(char32_t c) {
    return QChar::isLetterOrNumber(c) || c == U'_' || c == U'-' || c == U'.' || c == U'$' || c == U'#';
}

void AppendEscaped(QString& out, char32_t c) {
    const QByteArray bytes = QString::fromUcs4(&c, 1).toUtf8();
    for (const char b : bytes)
        out += QStringLiteral("%%1").arg(static_cast<uint8_t>(b), 2, 16, QLatin1Char('0')).toUpper();
}

bool DigitsAt(QStringView s, qsizetype pos, qsizetype count) {
    if (pos + count > s.size()) return false;
    for (qsizetype i = pos; i < pos + count; ++i)
        if (s[i] < u'0' || s[i] > u'9') return false;
    return true;
}

struct SnapshotOrder {
    QString stamp;
    int sequence;
    bool operator<(const SnapshotOrder& other) const {
        return std::tie(stamp, sequence) < std::tie(other.stamp, other.sequence);
    }
};

// Where `fileName` stands among the snapshots of `stem`, if it is one.
std::optional<SnapshotOrder> OrderOf(const QString& stem, const QString& fileName, const QString& kind) {
    const QString suffix = kind + QStringLiteral(".tsv");
    const qsizetype prefix = stem.size() + 1;
    if (fileName.size() < prefix + 15 + suffix.size() || !fileName.startsWith(stem) || fileName[stem.size()] != u'-' ||
        !fileName.endsWith(suffix))
        return std::nullopt;
    const QStringView rest = QStringView(fileName).mid(prefix, fileName.size() - prefix - suffix.size());
    if (!DigitsAt(rest, 0, 8) || rest[8] != u'-' || !DigitsAt(rest, 9, 6)) return std::nullopt;
    if (rest.size() == 15) return SnapshotOrder{rest.toString(), 1};
    // A sequence number: "-2" and up, no leading zero, so every name has one reading.
    const QStringView number = rest.mid(16);
    if (rest[15] != u'-' || number.isEmpty() || number.size() > 9 || number[0] == u'0' ||
        !DigitsAt(number, 0, number.size()))
        return std::nullopt;
    const int sequence = number.toInt();
    if (sequence < 2) return std::nullopt;
    return SnapshotOrder{rest.left(15).toString(), sequence};
}

void WriteAll(int fd, const QByteArray& bytes, const QByteArray& path) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR) continue;
            throw SnapshotFileError(errno, QFile::decodeName(path));
        }
        data += written;
        left -= written;
    }
}

}  // namespace

QString SnapshotStem(const QString& table) {
    QString stem;
    bool first = true;
    for (const char32_t c : table.toUcs4()) {
        // A leading "." would hide the file from a plain directory listing.
        if (KeptInFileName(c) && !(first && c == U'.')) stem += QString::fromUcs4(&c, 1);
        else AppendEscaped(stem, c);
        first = false;
    }
    if (stem.isEmpty()) return QStringLiteral("%");
    if (stem.toUtf8().size() <= kMaxStemBytes) return stem;
    // "~" is always escaped above, so a cut name cannot meet a whole one.
    QString cut;
    for (const char32_t c : stem.toUcs4()) {
        const QString one = QString::fromUcs4(&c, 1);
        if (cut.toUtf8().size() + one.toUtf8().size() > kCutStemBytes) break;
        cut += one;
    }
    const QByteArray hash = QCryptographicHash::hash(table.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return cut + QLatin1Char('~') + QString::fromLatin1(hash);
}

QString SnapshotFolder(const QString& databaseLabel) {
    return QString::fromLatin1(kSnapshotFolder) + QLatin1Char('/') + SnapshotStem(databaseLabel);
}

QString SnapshotFileName(const QString& stem, const QString& stamp, int sequence, const QString& kind) {
    QString name = stem + QLatin1Char('-') + stamp;
    if (sequence > 1) name += QLatin1Char('-') + QString::number(sequence);
    return name + kind + QStringLiteral(".tsv");
}

QStringList SnapshotsBeyond(const QString& stem, const QStringList& fileNames, int keep, const QString& kind) {
    std::vector<std::pair<SnapshotOrder, QString>> snapshots;
    for (const QString& name : fileNames)
        if (auto order = OrderOf(stem, name, kind)) snapshots.emplace_back(std::move(*order), name);
    std::sort(snapshots.begin(), snapshots.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    QStringList beyond;
    const qsizetype excess = static_cast<qsizetype>(snapshots.size()) - std::max(keep, 0);
    for (qsizetype i = 0; i < excess; ++i) beyond.push_back(snapshots[static_cast<size_t>(i)].second);
    return beyond;
}

void RowHash::add(bool null, std::string_view cellBytes) {
    const uint64_t cell = null ? 0x6e756c6cULL : std::hash<std::string_view>()(cellBytes) + 1;
    // Order matters: the same cells in other columns make another row.
    hash_ ^= cell + 0x9e3779b97f4a7c15ULL + (hash_ << 6) + (hash_ >> 2);
}

void RowHash::addExact(std::string_view encoded) {
    if (encoded.empty()) return;
    hash_ ^= std::hash<std::string_view>()(encoded) + 0x7f4a7c159e3779b9ULL + (hash_ << 6) + (hash_ >> 2);
}

int64_t RowsChangedSince(std::vector<uint64_t> read, std::vector<uint64_t> now) {
    std::sort(read.begin(), read.end());
    std::sort(now.begin(), now.end());
    int64_t gone = 0, come = 0;
    size_t i = 0, j = 0;
    while (i < read.size() || j < now.size()) {
        if (j == now.size() || (i < read.size() && read[i] < now[j])) ++gone, ++i;
        else if (i == read.size() || now[j] < read[i]) ++come, ++j;
        else ++i, ++j;
    }
    return std::max(gone, come);
}

namespace {

// rename() that fails with EEXIST instead of replacing an existing file.
bool RenameWithoutReplacing(const QByteArray& from, const QByteArray& to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the no-replace rename: a hard link fails as well on an existing name.
    if (::link(from.constData(), to.constData()) != 0) return false;
    ::unlink(from.constData());
    return true;
}

}  // namespace

Error SnapshotFileError(int errnoValue, const QString& path) {
    int32_t number = Error::kFileAccess;
    if (errnoValue == ENOSPC || errnoValue == EDQUOT || errnoValue == EFBIG) number = Error::kDiskFull;
    else if (errnoValue == EACCES || errnoValue == EPERM || errnoValue == EROFS) number = Error::kPermissionDenied;
    return Error(number, QStringLiteral("更新前の内容を保存できないため、テーブルは変更していません。"
                                        "続けるには、保存先のフォルダを書込めるようにするか空きを作るか、"
                                        "Velkin.ini の [Default1] に BACKUP=NO と書いて保存をやめてください。\r\n") +
                             path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errnoValue)));
}

TableSnapshot::TempFile::~TempFile() {
    close();
    if (!path.isEmpty()) ::unlink(path.constData());
}

void TableSnapshot::TempFile::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void ForEachRowAsShown(Cursor& cursor, const std::function<void(const std::vector<QString>&, uint64_t)>& row) {
    const int count = cursor.columnCount();
    std::vector<bool> isDate;
    for (const ResultColumn& column : cursor.columns()) isDate.push_back(column.kind == ColumnKind::Date);
    std::vector<QString> cells(static_cast<size_t>(count));
    std::string scratch;
    DateCellBuffer dateText;
    cursor.first();
    while (!cursor.atEnd()) {
        // The same bytes a read puts in the grid, so that the hashes compare.
        RowHash hash;
        for (int j = 0; j < count; ++j) {
            // Asked first, as a read asks: the value's view may point into the engine's buffer.
            const std::optional<ExactValue> exact = cursor.exact(j);
            std::optional<std::string_view> value = cursor.utf8Value(j, scratch);
            if (value && isDate[static_cast<size_t>(j)]) value = DateCellTextUtf8(*value, dateText);
            hash.add(!value, value.value_or(std::string_view()));
            if (value && exact) hash.addExact(EncodeExact(*value, *exact));
            cells[static_cast<size_t>(j)] = value ? FromUtf8(*value) : QString();
        }
        row(cells, hash.value());
        cursor.next();
    }
}

TableSnapshot::TableSnapshot(Connection& database, const QString& query, const QString& table,
                             const QString& folder, const QDateTime& taken)
    : folder_(folder), stem_(SnapshotStem(table)), stamp_(taken.toString(QStringLiteral("yyyyMMdd-HHmmss"))) {
    // The query comes first, so a table that does not exist fails as the
    // engine reports it, with no file made.
    std::unique_ptr<Cursor> cursor = database.openCursor(query, CursorOption::KeepTrailingBlanks);
    open();
    writeHeader(cursor->columns());
    ForEachRowAsShown(*cursor, [this](const std::vector<QString>& cells, uint64_t hash) {
        rowHashes_.push_back(hash);
        append(cells);
    });
    complete();
}

TableSnapshot::TableSnapshot(const std::vector<ResultColumn>& columns, const QString& table, const QString& folder,
                             const QDateTime& taken)
    : folder_(folder), stem_(SnapshotStem(table)), kind_(kChangedRows),
      stamp_(taken.toString(QStringLiteral("yyyyMMdd-HHmmss"))) {
    open();
    writeHeader(columns);
}

void TableSnapshot::writeHeader(const std::vector<ResultColumn>& columns) {
    std::vector<QString> names, types;
    for (const ResultColumn& column : columns) {
        names.push_back(column.name);
        types.push_back(ColumnTypeText(CatalogueEntry(column.kind, column.size, column.scale)));
    }
    pending_.reserve(kPendingChars + 4096);
    append(names);
    append(types);
}

void TableSnapshot::complete() {
    flush();
    // On disk before the DELETE runs: a disk that fills up or fails shows
    // here, while the table is still untouched, not after the commit.
    if (::fsync(file_.fd) != 0) throw SnapshotFileError(errno, QFile::decodeName(file_.path));
    // Complete: from here on the Update may commit, so the file is kept
    // whatever happens to this process. Renamed before its lock goes, so no
    // other Update ever takes it for an abandoned one.
    QByteArray pending = file_.path;
    pending.replace(".tsv.part", ".tsv.pending");
    pending.truncate(pending.indexOf(".tsv.pending") + 12);
    // Never onto another Update's complete snapshot (one in the same second):
    // "….tsv.pending", else "….tsv.pending2", ...
    for (int attempt = 1;; ++attempt) {
        const QByteArray to = attempt == 1 ? pending : pending + QByteArray::number(attempt);
        if (RenameWithoutReplacing(file_.path, to)) {
            pending = to;
            break;
        }
        if (errno != EEXIST || attempt >= 1000) throw SnapshotFileError(errno, QFile::decodeName(file_.path));
    }
    file_.path = std::move(pending);
    if (::close(std::exchange(file_.fd, -1)) != 0) throw SnapshotFileError(errno, QFile::decodeName(file_.path));
}

void TableSnapshot::removeAbandonedParts() const {
    QDir folder(folder_);
    for (const QString& name : folder.entryList({stem_ + QStringLiteral("-*.tsv.part*")}, QDir::Files | QDir::Hidden)) {
        // Only this table's own: "<stem>-<stamp>[-n].tsv.part[k]".
        const qsizetype part = name.lastIndexOf(QStringLiteral(".part"));
        if (!OrderOf(stem_, name.left(part), kind_) || !DigitsAt(name, part + 5, name.size() - part - 5)) continue;
        const QByteArray path = QFile::encodeName(folder.filePath(name));
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        // A writer holds its lock until the file is complete; a killed one
        // holds none. Its table was never touched: the DELETE comes after.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlink(path.constData());
        ::close(fd);
    }
}

void TableSnapshot::open() {
    // Only its owner may look in, at every level: the files hold table data.
    qsizetype slash = folder_.startsWith(QLatin1String("./")) ? 2 : 0;
    do {
        slash = folder_.indexOf(QLatin1Char('/'), slash + 1);
        const QString level = slash < 0 ? folder_ : folder_.left(slash);
        if (::mkdir(QFile::encodeName(level).constData(), 0700) != 0 && errno != EEXIST)
            throw SnapshotFileError(errno, level);
    } while (slash >= 0);
    removeAbandonedParts();
    const QByteArray base = QFile::encodeName(folder_ + QLatin1Char('/') + SnapshotFileName(stem_, stamp_, 1, kind_));
    for (int attempt = 1;; ++attempt) {
        QByteArray path = base + ".part";
        if (attempt > 1) path += QByteArray::number(attempt);
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            file_.fd = fd;
            file_.path = std::move(path);
            // Held while the file is written: it tells a live writer from a killed one.
            if (::flock(fd, LOCK_EX) != 0) throw SnapshotFileError(errno, QFile::decodeName(file_.path));
            break;
        }
        if (errno != EEXIST || attempt >= 1000) throw SnapshotFileError(errno, QFile::decodeName(path));
    }
    // Exactly 0600, whatever the umask.
    if (::fchmod(file_.fd, 0600) != 0) throw SnapshotFileError(errno, QFile::decodeName(file_.path));
}

void TableSnapshot::append(const std::vector<QString>& row) {
    AppendClipboardRow(pending_, row);
    if (pending_.size() >= kPendingChars) flush();
}

void TableSnapshot::flush() {
    // The grid's own UTF-8: a lone surrogate keeps the bytes it was read from.
    std::string bytes;
    AppendUtf8(pending_, bytes);
    WriteAll(file_.fd, QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size())), file_.path);
    pending_.resize(0);  // keeps its capacity for the next block
}

void TableSnapshot::commitStarts() noexcept {
    // The file stays on disk from here on, whatever becomes of the COMMIT.
    committing_ = std::exchange(file_.path, QByteArray());
}

void TableSnapshot::commitRefused() noexcept {
    if (!committing_.isEmpty()) ::unlink(committing_.constData());
    committing_.clear();
}

void TableSnapshot::keep() noexcept {
    try {
        if (committing_.isEmpty()) commitStarts();
        const QByteArray from = committing_;
        if (from.isEmpty()) return;
        for (int sequence = 1; sequence < 1000; ++sequence) {
            const QByteArray to =
                QFile::encodeName(folder_ + QLatin1Char('/') + SnapshotFileName(stem_, stamp_, sequence, kind_));
            // An Update in the same second must not replace the other's file.
            if (RenameWithoutReplacing(from, to)) break;
            if (errno != EEXIST) return;
        }
        const QStringList beyond =
            SnapshotsBeyond(stem_, QDir(folder_).entryList(QDir::Files | QDir::Hidden), kSnapshotsKept, kind_);
        for (const QString& name : beyond) QFile::remove(folder_ + QLatin1Char('/') + name);
    } catch (...) {
        // Out of memory while naming or tidying: the table is replaced all the same.
    }
}

}  // namespace velkin
