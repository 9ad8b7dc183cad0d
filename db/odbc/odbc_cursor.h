#pragma once
// A cursor over an ODBC result set.

#include "db/odbc/odbc_connection.h"
#include "db/session.h"

#include <QString>

#include <memory>

namespace velkin::odbc {

// Prepares `sql`, refuses it before it runs when it returns no rows, runs it
// and stands on its first record. `keepTrailingBlanks` is the no-strip option.
std::unique_ptr<Cursor> OpenCursor(SharedConnection connection, const QString& sql, bool keepTrailingBlanks);

}  // namespace velkin::odbc
