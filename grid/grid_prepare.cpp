#include "grid/grid_prepare.h"

#include "grid/grid.h"

namespace velkin {

void ResetGrid(SpreadGrid& grid, int32_t rowCapacity) {
    grid.setColumnCount(kResetColumnCount);
    grid.setRowCount(rowCapacity);
    grid.setCurrentColumn(0);
    grid.setBlockEndColumn(grid.columnCount());
    grid.setCurrentRow(0);
    grid.setBlockEndRow(grid.lastDataRow());
    grid.setBlockMode(true);
    grid.doAction(GridAction::ClearText);
    grid.setBlockMode(false);
    // A red mark must not outlive the rows it marked: the next read would
    // show it on whatever row then stands there.
    grid.clearBackColors();
    // Nothing of an emptied sheet shows as changed since a read.
    grid.forgetRead();
    grid.clearUndoHistory();
}

void RemoveFailureMark(SpreadGrid& grid) {
    struct BlockModeOff {
        SpreadGrid& grid;
        ~BlockModeOff() { grid.setBlockMode(false); }
    } blockModeOff{grid};
    grid.setCurrentColumn(2);
    const int32_t last = grid.lastDataRow();
    for (int32_t r = kFirstDataRow; r <= last; ++r) {
        grid.setCurrentRow(r);
        if (grid.backColor() != GridColor::kRed) continue;
        grid.setCurrentColumn(1);
        grid.setBlockEndColumn(1);
        grid.setCurrentRow(r);
        grid.setBlockEndRow(r);
        grid.setBlockMode(true);
        grid.setBackColor(GridColor::kYellow);
        grid.setCurrentColumn(2);
        grid.setBlockEndColumn(grid.columnCount());
        grid.setCurrentRow(r);
        grid.setBlockEndRow(r);
        grid.setBlockMode(true);
        grid.setBackColor(GridColor::kWhite);
        return;
    }
}

}  // namespace velkin
