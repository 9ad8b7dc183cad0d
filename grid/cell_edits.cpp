#include "grid/cell_edits.h"

#include <algorithm>

namespace velkin {

CellEdits::CellEdits(const QString& name, SheetData& sheet, std::vector<CellChange> changes, ChangedBlock changed)
    : QUndoCommand(name), sheet_(sheet), changes_(std::move(changes)), changed_(std::move(changed)) {
    // A cell whose text stays the same is no change; an unchanged cell kept
    // here would only cost memory on a large paste.
    std::erase_if(changes_, [](const CellChange& c) { return c.before == c.after; });
    if (changes_.empty()) return;
    block_ = {changes_.front().column, changes_.front().row, changes_.front().column, changes_.front().row};
    for (const CellChange& c : changes_) {
        block_.column1 = std::min(block_.column1, c.column);
        block_.column2 = std::max(block_.column2, c.column);
        block_.row1 = std::min(block_.row1, c.row);
        block_.row2 = std::max(block_.row2, c.row);
    }
}

void CellEdits::redo() { apply(true); }
void CellEdits::undo() { apply(false); }

void CellEdits::apply(bool forward) {
    if (changes_.empty()) return;
    for (const CellChange& c : changes_) sheet_.setText(c.row, c.column, forward ? c.after : c.before);
    if (changed_) changed_(block_);
}

}  // namespace velkin
