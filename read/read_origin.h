#pragma once
// What a table read learnt beyond the column catalogue, for writing the rows
// back exactly: each column's origin (db/session.h ColumnOrigin), the few
// values whose cell text cannot say them (the engine's own literal), and what
// was read, from where. The texts and NULL marks of the records stay in the
// grid (SheetData::beginRead).

#include "db/session.h"

#include <QString>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace velkin {

struct ReadOrigin {
    std::vector<ColumnOrigin> columns;  // element j describes grid column j + 1
    // The engine's literal of a value, keyed by exactKey(record, column).
    std::unordered_map<uint64_t, QString> exact;
    // The table box and the host box as they were when the table was read;
    // empty after a read in SQL mode.
    QString table;
    QString host;
    // The database could not list the keys of other tables that refer to the
    // table read (EngineSession::ListsReferringKeys): an Update there cannot
    // be refused for them, and its question says so.
    bool referencesUnchecked = false;

    static uint64_t exactKey(int32_t record, int32_t column) {
        return (static_cast<uint64_t>(static_cast<uint32_t>(record)) << 16) | static_cast<uint16_t>(column);
    }
    const QString* exactLiteral(int32_t record, int32_t column) const {
        if (exact.empty() || record < 0) return nullptr;
        const auto found = exact.find(exactKey(record, column));
        return found == exact.end() ? nullptr : &found->second;
    }
    const ColumnOrigin& column(size_t index) const {
        static const ColumnOrigin plain;
        return index < columns.size() ? columns[index] : plain;
    }
    void clear() { *this = ReadOrigin(); }
};

}  // namespace velkin
