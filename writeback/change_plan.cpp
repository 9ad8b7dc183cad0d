#include "writeback/change_plan.h"

#include <algorithm>

namespace velkin {

namespace {

bool KeyAsRead(const SheetData& sheet, int32_t row, const std::vector<int32_t>& keyColumns) {
    return std::all_of(keyColumns.begin(), keyColumns.end(),
                       [&](int32_t column) { return !sheet.changedSinceRead(row, column); });
}

std::vector<int32_t> ChangedColumns(const SheetData& sheet, int32_t row, const ChangeScope& scope) {
    std::vector<int32_t> changed;
    for (int32_t c = 1; c <= scope.columns; ++c) {
        if (!sheet.changedSinceRead(row, c)) continue;
        const bool unset = std::find(scope.unsetColumns.begin(), scope.unsetColumns.end(), c) != scope.unsetColumns.end();
        if (!unset) changed.push_back(c);
    }
    return changed;
}

}  // namespace

ChangePlan PlanChanges(const SheetData& sheet, const ChangeScope& scope) {
    ChangePlan plan;
    const auto records = static_cast<size_t>(sheet.readRecordCount());
    // Records still in the table under their key, and the row that last
    // showed each record that the table loses.
    std::vector<bool> kept(records, false);
    std::vector<int32_t> shownAt(records, 0);
    for (int32_t r = scope.firstRow; r <= scope.lastRow; ++r) {
        const int32_t record = sheet.recordOf(r);
        const auto index = static_cast<size_t>(record);
        if (!scope.rowIsWritten(r)) {
            if (record >= 0 && !shownAt[index]) shownAt[index] = r;
            continue;
        }
        // A record written twice (a row copied with its record) is kept once;
        // the other row is a new one.
        if (record < 0 || kept[index]) {
            plan.inserts.push_back(r);
            continue;
        }
        if (!KeyAsRead(sheet, r, scope.keyColumns)) {
            if (!shownAt[index]) shownAt[index] = r;
            plan.inserts.push_back(r);
            continue;
        }
        kept[index] = true;
        std::vector<int32_t> changed = ChangedColumns(sheet, r, scope);
        if (!changed.empty()) plan.updates.push_back(RowUpdate{r, record, std::move(changed)});
    }
    for (size_t record = 0; record < records; ++record)
        if (!kept[record]) plan.deletes.push_back(RecordDelete{static_cast<int32_t>(record), shownAt[record]});
    return plan;
}

WriteSetting WriteSettingFrom(const QString& text) {
    const QString word = text.trimmed().toUpper();
    if (word == QLatin1String("CHANGES")) return WriteSetting::Changes;
    if (word == QLatin1String("ALL")) return WriteSetting::All;
    return WriteSetting::Auto;
}

bool WritesByKey(WriteSetting setting, const ReadOrigin& read, bool sameTableAsRead) {
    if (read.keyColumns.empty() || !sameTableAsRead) return false;
    switch (setting) {
    case WriteSetting::Changes: return true;
    case WriteSetting::All: return false;
    case WriteSetting::Auto: break;
    }
    return read.referred;
}

}  // namespace velkin
