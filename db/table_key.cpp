#include "db/table_key.h"

#include <algorithm>

namespace velkin {

std::vector<int> ChooseKeyColumns(const std::vector<UniqueIndex>& indexes, const std::vector<QString>& columnNames) {
    const UniqueIndex* chosen = nullptr;
    for (const UniqueIndex& index : indexes) {
        if (index.columns.empty()) continue;
        if (index.primary) {
            chosen = &index;
            break;
        }
        if (index.usable && (!chosen || index.name < chosen->name)) chosen = &index;
    }
    std::vector<int> key;
    if (!chosen) return key;
    for (const QString& column : chosen->columns) {
        const auto found = std::find(columnNames.begin(), columnNames.end(), column);
        if (found == columnNames.end()) return {};
        key.push_back(static_cast<int>(found - columnNames.begin()));
    }
    return key;
}

std::vector<UniqueIndex> IndexesOf(const std::vector<IndexColumnRow>& rows) {
    std::vector<UniqueIndex> indexes;
    for (const IndexColumnRow& row : rows) {
        if (indexes.empty() || indexes.back().name != row.index || indexes.back().primary != row.primary)
            indexes.push_back({row.index, row.primary, {}, true});
        UniqueIndex& index = indexes.back();
        if (row.column) index.columns.push_back(*row.column);
        index.usable = index.usable && row.usable && row.column.has_value();
    }
    return indexes;
}

std::vector<QString> ColumnNames(const Cursor& rows) {
    std::vector<QString> names;
    for (const ResultColumn& column : rows.columns()) names.push_back(column.name);
    return names;
}

}  // namespace velkin
