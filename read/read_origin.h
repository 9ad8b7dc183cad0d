#pragma once
// What a table read learnt beyond the column catalogue, for writing the rows
// back exactly: each column's origin (db/session.h ColumnOrigin) and what was
// read, from where. The texts, NULL marks and exact forms of the records stay
// in the grid (SheetData::beginRead).

#include "db/session.h"

#include <QString>
#include <vector>

namespace velkin {

struct ReadOrigin {
    std::vector<ColumnOrigin> columns;  // element j describes grid column j + 1
    // The table box and the host box as they were when the table was read;
    // empty after a read in SQL mode.
    QString table;
    QString host;
    // The database could not list the keys of other tables that refer to the
    // table read (Feature::ListsReferringKeys): an Update there cannot
    // be refused for them, and its question says so.
    bool referencesUnchecked = false;

    const ColumnOrigin& column(size_t index) const {
        static const ColumnOrigin plain;
        return index < columns.size() ? columns[index] : plain;
    }
    void clear() { *this = ReadOrigin(); }
};

}  // namespace velkin
