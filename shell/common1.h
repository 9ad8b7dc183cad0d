#pragma once
// The shared module: the settings file routines, the row capacity and the
// connection pair, used by the window and by both database commands.

#include "db/connection.h"
#include "shell/settings.h"

#include <cstdint>

namespace velkin::Common1 {

// The grid's row count, set once at start-up from the settings file.
extern int32_t RowCapacity;

// Whether an Update keeps a snapshot of the table's previous contents, set
// once at start-up from the settings file.
extern bool KeepSnapshots;

// The connection pair of the command that is running.
extern ConnectionPair Connection;

}  // namespace velkin::Common1
