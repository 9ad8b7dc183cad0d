#pragma once
// What the database commands work on, handed to them by the window: the sheet,
// the column catalogue, the reporting interface, the settings they need and
// where sessions come from; and the texts of the boxes at the moment the
// command starts.

#include "commands/command_report.h"
#include "db/connection.h"
#include "grid/sheet_data.h"
#include "read/column_catalogue.h"
#include "writeback/change_plan.h"

#include <QString>
#include <cstdint>

namespace velkin {

struct CommandContext {
    SheetData& sheet;
    ColumnCatalogue& catalogue;
    CommandReport& report;
    ConnectionFactory sessions;// empty: the engine the host names
    int32_t rowCapacity;      // the sheet's row count after a reset
    bool keepSnapshots;       // an Update keeps the replaced rows in a file
    // Seconds the server may send nothing before a command ends (the TIMEOUT setting); 0: for ever.
    int32_t timeoutSeconds = kDefaultTimeoutSeconds;
    // How an Update writes a table that has a key (the WRITE setting).
    WriteSetting writeSetting = WriteSetting::Auto;
};

struct CommandInputs {
    ConnectionBoxes login;  // the connection boxes as typed
    QString table;          // the table box as typed
    QString sql;            // the SQL box
    bool tableMode = true;  // table mode, or SQL mode
};

}  // namespace velkin
