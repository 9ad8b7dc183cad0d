#pragma once
// A PostgreSQL result set read through a scrollable cursor, a batch of rows
// at a time (see pg_cursor.cpp).

#include "db/postgres/pg_connection.h"
#include "db/session.h"

#include <memory>

namespace velkin::pg {

std::unique_ptr<Cursor> OpenCursor(std::shared_ptr<PgConnection> connection, const QString& sql, CursorOption option);

}  // namespace velkin::pg
