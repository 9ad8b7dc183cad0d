#pragma once
// Owning handles for SQLite's C objects, so every path out of a function
// releases them without cleanup code of its own.

#include <sqlite3.h>

#include <memory>

namespace velkin {

struct DatabaseCloser {
    // close_v2 also copes with statements still open, should one ever outlive it.
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

using DatabaseHandle = std::unique_ptr<sqlite3, DatabaseCloser>;
using StatementHandle = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// One open database connection, shared by the session and every cursor, so
// they may be released in any order.
using SharedDatabase = std::shared_ptr<sqlite3>;

}  // namespace velkin
