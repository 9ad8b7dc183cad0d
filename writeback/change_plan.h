#pragma once
// What an Update by key sends: the difference between the rows a read put in
// the sheet and the rows the sheet holds now, as deletes, updates and inserts
// of whole rows. Pure logic over the sheet; the statements are written
// elsewhere.

#include "grid/sheet_data.h"
#include "read/read_origin.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

namespace velkin {

// A row of the read still in the sheet under its key, with cells changed.
struct RowUpdate {
    int32_t row = 0;     // the sheet row holding it now
    int32_t record = 0;  // the read's record, whose key the UPDATE names
    std::vector<int32_t> columns;  // the changed columns, 1 or more, ascending
};

// A record of the read that the table must lose: the user deleted its row,
// blanked its first cell or changed its key.
struct RecordDelete {
    int32_t record = 0;
    int32_t row = 0;  // the sheet row that still shows it (a blanked or re-keyed row); 0 when none
};

struct ChangePlan {
    // In the order of the read's records, which is the sheet's order at the read.
    std::vector<RecordDelete> deletes;
    // In sheet order.
    std::vector<RowUpdate> updates;
    // Sheet rows written as new rows: rows the read did not give, rows whose
    // key changed, and a second row holding a record already written. In sheet order.
    std::vector<int32_t> inserts;

    bool empty() const { return deletes.empty() && updates.empty() && inserts.empty(); }
};

// What the planner is told of the sheet beside its cells.
struct ChangeScope {
    int32_t firstRow = 3;  // the first data row
    int32_t lastRow = 0;   // the last row an Update looks at
    int32_t columns = 0;   // data columns 1..columns
    // The key's columns (1 or more): a row whose key cells are all as read
    // keeps its record's identity.
    std::vector<int32_t> keyColumns;
    // Columns an UPDATE never sets (computed by the database); their
    // changes alone make no update.
    std::vector<int32_t> unsetColumns;
    // Whether a row is written at all (a blank first cell leaves it out).
    std::function<bool(int32_t row)> rowIsWritten;
};

ChangePlan PlanChanges(const SheetData& sheet, const ChangeScope& scope);

// The WRITE setting: how an Update writes a table that has a key.
enum class WriteSetting : uint8_t {
    Auto,     // by key where other tables refer to the table, else the replace
    Changes,  // by key for every table that has a key
    All,      // always the replace: every row deleted and inserted again
};
// "CHANGES" and "ALL", in any case and with blanks around; anything else,
// or nothing, is Auto.
WriteSetting WriteSettingFrom(const QString& text);

// Whether an Update writes the changes by key rather than replacing the
// table: the table has a key, the Update's table is the one read (in the
// same database), and the setting asks for it.
bool WritesByKey(WriteSetting setting, const ReadOrigin& read, bool sameTableAsRead);

}  // namespace velkin
