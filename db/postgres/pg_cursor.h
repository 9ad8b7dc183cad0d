#pragma once
// A PostgreSQL result set read through a scrollable cursor, a batch of rows
// at a time (see pg_cursor.cpp).

#include "db/postgres/pg_connection.h"
#include "db/session.h"

#include <memory>

namespace velkin::pg {

// When the cursor counts its rows: when size() is first asked (a round trip
// of its own), or in the round trip that opens it.
enum class Count { WhenAsked, AtOpening };

std::unique_ptr<Cursor> OpenCursor(std::shared_ptr<PgConnection> connection, const QString& sql, CursorOption option,
                                   Count count);

// The key of the one table behind every column of `rows`, a cursor OpenCursor
// opened, as the catalogue query of its opening found it; no key for a
// cursor of any other kind, or of columns from several tables or none.
TableKey KeyOf(const Cursor& rows);

}  // namespace velkin::pg
