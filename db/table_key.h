#pragma once
// Which of a table's unique indexes names its rows for an Update by key
// (TableKey), from what an engine's catalogue says of them: one rule for
// every engine, so that they differ only in how they ask.

#include "db/session.h"

#include <QString>

#include <optional>
#include <vector>

namespace velkin {

// A unique index of a table (or its primary key), as a catalogue lists it.
struct UniqueIndex {
    QString name;
    bool primary = false;
    std::vector<QString> columns;  // in key order
    // Can stand for the rows: no column may be NULL, and it is neither
    // partial nor on expressions. A primary key always can.
    bool usable = true;
};

// One row of a catalogue query for a table's unique indexes (the dialect's
// key queries): the rows of one index follow each other in key order.
struct IndexColumnRow {
    QString index;
    bool primary = false;
    std::optional<QString> column;  // none: an expression
    bool usable = true;             // as UniqueIndex::usable, for this column
};

// The indexes the rows describe, in their order.
std::vector<UniqueIndex> IndexesOf(const std::vector<IndexColumnRow>& rows);

// The key's columns as 0-based indices into `columnNames` (a cursor's
// columns as it names them): the primary key; else, of the usable unique
// indexes, the first by name. Empty when there is none, or when one of its
// columns is not among `columnNames`.
std::vector<int> ChooseKeyColumns(const std::vector<UniqueIndex>& indexes, const std::vector<QString>& columnNames);

// The names of a cursor's columns, in order.
std::vector<QString> ColumnNames(const Cursor& rows);

}  // namespace velkin
