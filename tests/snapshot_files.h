#pragma once
// What the window tests look at in the snapshot folder an Update writes.

#include "grid/clipboard_text.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

namespace velkin::testing {

using Cells = std::vector<std::vector<QString>>;

// Every file in the folder, by name; none when the folder does not exist.
inline QStringList FolderFiles(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

// The file's permission bits, or -1 when it cannot be looked at.
inline int ModeOf(const QString& path) {
    struct stat info {};
    if (stat(QFile::encodeName(path).constData(), &info) != 0) return -1;
    return static_cast<int>(info.st_mode & 07777);
}

// The rows a spreadsheet program (or the grid's paste) takes from the file.
inline Cells SnapshotRows(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        ADD_FAILURE() << "cannot open " << path.toStdString();
        return {};
    }
    const QByteArray bytes = file.readAll();
    EXPECT_TRUE(bytes.endsWith("\r\n")) << "every row ends with CR LF, the last one too";
    return ParseClipboardText(QString::fromUtf8(bytes)).rows;
}

// The header rows as they are, the records in a fixed order: the snapshot
// reads the table unsorted, the Read sorts it by its NOT NULL columns.
inline Cells RecordsSorted(Cells rows) {
    if (rows.size() > 2) std::sort(rows.begin() + 2, rows.end());
    return rows;
}

inline bool IsSnapshotName(const QString& table, const QString& name) {
    static const QRegularExpression stamp(QStringLiteral("^-\\d{8}-\\d{6}(-[1-9]\\d*)?\\.tsv$"));
    return name.startsWith(table) && stamp.match(name.mid(table.size())).hasMatch();
}

}  // namespace velkin::testing
