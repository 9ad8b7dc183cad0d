#pragma once
// One undoable step of the user's: the texts a typed edit, a paste or a
// Delete changed, each cell with its text before and after. Commands that the
// program runs (a read, the reset, the failure mark) write the sheet directly
// and are not steps of the user's.

#include "grid/sheet_data.h"

#include <QString>
#include <QUndoCommand>
#include <functional>
#include <vector>

namespace velkin {

struct CellChange {
    int32_t row, column;
    QString before, after;
};

class CellEdits : public QUndoCommand {
public:
    // `changed` is told the block that every undo or redo rewrote.
    using ChangedBlock = std::function<void(const CellBlock&)>;

    CellEdits(const QString& name, SheetData& sheet, std::vector<CellChange> changes, ChangedBlock changed);

    void redo() override;
    void undo() override;

    // The cells the step touches; empty when it would change nothing.
    bool isEmpty() const { return changes_.empty(); }

private:
    void apply(bool forward);

    SheetData& sheet_;
    std::vector<CellChange> changes_;
    CellBlock block_{};
    ChangedBlock changed_;
};

}  // namespace velkin
