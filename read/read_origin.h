#pragma once
// Where a table read came from, for writing the rows back to the same table.
// What it learnt of each column is in the column catalogue
// (read/column_catalogue.h); the texts, NULL marks and exact forms of the
// records stay in the sheet (SheetData::beginRead).

#include "db/session.h"

#include <QString>
#include <cstdint>
#include <vector>

namespace velkin {

struct ReadOrigin {
    // The table box and the host box as they were when the table was read;
    // empty after a read in SQL mode.
    QString table;
    QString host;
    // The database could not list the keys of other tables that refer to the
    // table read (Feature::ListsReferringKeys): an Update there cannot
    // be refused for them, and its question says so.
    bool referencesUnchecked = false;
    // The table's key as sheet columns (1-based, in key order); empty when
    // it has none (Connection::tableKey).
    std::vector<int32_t> keyColumns;
    // Foreign keys of other tables refer to the table.
    bool referred = false;
};

}  // namespace velkin
