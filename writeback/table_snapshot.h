#pragma once
// The snapshot an Update keeps of the table's previous contents, so that a
// replace made in error can be undone with the program's own workflow: open
// the file in a spreadsheet program, copy its records, Read the table, paste
// at grid row 3, Update.
//
// The file is tab-separated UTF-8 in the clipboard's form (grid/clipboard_text.h):
// row 1 the column names, row 2 the type texts, then one row per record with
// each cell exactly as a read shows it (read/value_text.h). It is taken inside
// the Update's transaction right before the DELETE, so it holds the rows the
// DELETE is about to remove. It is written under a temporary name, flushed to
// disk before the DELETE runs, and given its final name only after the commit.
// While it is being written it is "….tsv.part", locked by its writer (an
// Update killed then left its table untouched, and the next Update of the
// table removes the file); once complete, before the DELETE, "….tsv.pending"
// ("….tsv.pendingN" beside another Update's). Only its own Update removes it:
// when it failed before sending its COMMIT, or the server refused the COMMIT.
// A COMMIT whose answer never came may have committed, so its file is kept:
//
//   backup/<database>/<table>-<yyyymmdd-hhmmss>.tsv     beside the settings file
//   backup/<database>/<table>-<yyyymmdd-hhmmss>-2.tsv   a second one in the same second
//
// <database> is the database's label (db/engine.h DatabaseLabel: engine, host,
// port and name, never a login) made file-safe as a table name is, so that
// tables of one name in two databases keep their snapshots apart.
//
// readable and writable by its owner only, since it holds table data. The
// newest kSnapshotsKept of each table are kept.

#include "db/dialect.h"
#include "db/error.h"
#include "db/session.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace velkin {

// Relative on purpose, like the settings file: resolved against the working
// directory at the time of each Update.
inline constexpr const char* kSnapshotFolder = "./backup";
inline constexpr int kSnapshotsKept = 20;

// The table name as a file name: letters, digits and "_-.$#" stay, every
// other character (and a leading ".") becomes %XX per UTF-8 byte, so two
// table names never share a stem. A very long name is cut and given a hash
// of the whole name instead.
QString SnapshotStem(const QString& table);
// The folder of the snapshots of a database, by its label:
// kSnapshotFolder + "/" + SnapshotStem(label).
QString SnapshotFolder(const QString& databaseLabel);
// A snapshot's kind, the end of its file name: the whole table (none), or
// the rows an Update by key changed or deleted.
inline const QString kWholeTable;
inline const QString kChangedRows = QStringLiteral("-changes");

// "<stem>-<stamp><kind>.tsv" for sequence 1, "<stem>-<stamp>-<sequence><kind>.tsv"
// after it; stamp is "yyyymmdd-hhmmss".
QString SnapshotFileName(const QString& stem, const QString& stamp, int sequence, const QString& kind = kWholeTable);
// The snapshots of `stem` of one kind among `fileNames` beyond the newest
// `keep`, oldest first. Names that are not such snapshots are never listed.
QStringList SnapshotsBeyond(const QString& stem, const QStringList& fileNames, int keep,
                            const QString& kind = kWholeTable);

// A failure to write the snapshot, as the error report shows it: 61 for a
// full disk, 70 for a refused permission, 75 for any other file error.
Error SnapshotFileError(int errnoValue, const QString& path);

// A record's cells as one number, for telling whether a table still holds
// the rows a read gave it: each cell as the read shows it, NULL apart from an
// empty text, and its exact form where it has one (so a change that only a
// storage class or a scale shows is seen).
class RowHash {
public:
    void add(bool null, std::string_view cellBytes);
    // A cell's exact form (grid/exact_form.h), after its text; none adds nothing.
    void addExact(std::string_view encoded);
    uint64_t value() const { return hash_; }

private:
    uint64_t hash_ = 0x9e3779b97f4a7c15ULL;
};

// How many rows differ between the rows a read gave and the rows the table
// holds now, each given by its RowHash: the larger of the rows gone and the
// rows come, so that one changed row counts once.
int64_t RowsChangedSince(std::vector<uint64_t> read, std::vector<uint64_t> now);

// Calls `row` with each row of `cursor`: its cells as a read shows them
// (NULL as an empty text) and its RowHash.
void ForEachRowAsShown(Cursor& cursor, const std::function<void(const std::vector<QString>& cells, uint64_t hash)>& row);

class TableSnapshot {
public:
    // Reads every row of `table` through `database` with `query` (the
    // dialect's, which may lock the rows) and writes them under a
    // temporary name in `folder`, created when missing. Throws velkin::Error
    // (the engine's, or SnapshotFileError) with nothing left behind.
    TableSnapshot(Connection& database, const QString& query, const QString& table,
                  const QString& folder = QString::fromLatin1(kSnapshotFolder),
                  const QDateTime& taken = QDateTime::currentDateTime());
    // An Update by key's snapshot of `table`, of kind kChangedRows: the
    // file is made at once with the column names and types of `columns`,
    // given its rows by addRow and completed by complete() before the first
    // change is sent.
    TableSnapshot(const std::vector<ResultColumn>& columns, const QString& table, const QString& folder,
                  const QDateTime& taken = QDateTime::currentDateTime());
    void addRow(const std::vector<QString>& cells) { append(cells); }
    // Flushed to disk and renamed ".pending"; throws SnapshotFileError.
    void complete();

    // The file is removed unless its COMMIT has started (commitStarts).
    ~TableSnapshot() = default;
    TableSnapshot(const TableSnapshot&) = delete;
    TableSnapshot& operator=(const TableSnapshot&) = delete;

    // Right before the COMMIT is sent: from then on the Update may have
    // committed whatever the program hears, so the ".pending" file is never
    // removed, even when the COMMIT fails or its answer never comes.
    void commitStarts() noexcept;
    // The server answered the COMMIT with a refusal: nothing was committed,
    // so the pending file goes.
    void commitRefused() noexcept;

    // After the commit: gives the file its final name, never replacing
    // another snapshot, and removes the table's snapshots beyond
    // kSnapshotsKept. The table is already replaced, so nothing here fails
    // the Update: a file that cannot be renamed stays under its temporary
    // name, which still holds the old rows.
    void keep() noexcept;

    // Each row's RowHash, in the order read.
    const std::vector<uint64_t>& rowHashes() const { return rowHashes_; }

private:
    // The file being written; removed when it goes out of scope unless
    // released, so a constructor that throws leaves nothing behind.
    struct TempFile {
        ~TempFile();
        void close();
        QByteArray path;  // empty once released
        int fd = -1;
    };

    void writeHeader(const std::vector<ResultColumn>& columns);
    void open();
    // Removes this table's ".part" files that no writer holds: snapshots an
    // Update was killed while writing, before its DELETE.
    void removeAbandonedParts() const;
    void append(const std::vector<QString>& row);
    void flush();

    QString folder_;
    QString stem_;
    QString kind_;
    QString stamp_;
    TempFile file_;
    QByteArray committing_;  // the ".pending" file once its COMMIT started; never removed
    QString pending_;  // text not yet written, converted to UTF-8 a block at a time
    std::vector<uint64_t> rowHashes_;
};

}  // namespace velkin
