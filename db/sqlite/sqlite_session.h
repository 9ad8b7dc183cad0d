#pragma once
// The embedded engine: SQLite database files.

#include "db/engine.h"

namespace velkin {

std::unique_ptr<Connection> CreateSqliteConnection();

}  // namespace velkin
