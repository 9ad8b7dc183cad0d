#include "grid/grid_prepare.h"

#include "db/error.h"
#include "grid/grid.h"
#include "shell/common1.h"
#include "shell/main_window.h"
#include "shell/message_box.h"

#include <QPushButton>

using namespace velkin;

void Form1::FL_InitSpd() {
    SpreadGrid& grid = *SPD1;
    grid.setColumnCount(kResetColumnCount);
    grid.setRowCount(Common1::RowCapacity);
    grid.setCurrentColumn(0);
    grid.setBlockEndColumn(grid.columnCount());
    grid.setCurrentRow(0);
    grid.setBlockEndRow(grid.lastDataRow());
    grid.setBlockMode(true);
    grid.doAction(GridAction::ClearText);
    grid.setBlockMode(false);
    grid.clearUndoHistory();
    CMD_Update->setEnabled(false);
}

void Form1::FL_InitColor() {
    SpreadGrid& grid = *SPD1;
    try {
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
            grid.setBlockMode(false);
            return;
        }
    } catch (const Error& error) {
        grid.setBlockMode(false);
        ShowErrorReport(ErrorReportKind::Command, error);
    }
}
