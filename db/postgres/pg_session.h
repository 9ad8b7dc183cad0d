#pragma once
// The PostgreSQL server engine, over libpq.
//
// Host text: any libpq URI ("postgresql://HOST:PORT/DBNAME?..."). The login
// comes from the connect string "user/password", split at its first "/".
//
// Errors: the number is the error's five-character SQLSTATE read as a base-36
// number (digits 0-9 are 0-9, letters A-Z are 10-35), so every SQLSTATE has its
// own number and the number gives the SQLSTATE back; "23505" is 3505685. The
// description starts with "SQLSTATE xxxxx: ", then the server's message and,
// on the next line, its detail. Failures that carry no SQLSTATE get one from
// the standard classes: 08001 when a connection cannot be made, 08006 when it
// is lost during a command.

#include "db/engine.h"

#include <QString>
#include <cstdint>
#include <memory>

namespace velkin {

std::unique_ptr<Connection> CreatePostgresConnection();

// The error number of a SQLSTATE, by the rule above (0 for text that is not
// five characters of 0-9 and A-Z).
int32_t PostgresErrorNumber(const QString& sqlState);

// How long a command waits for a lock held by another session when the
// database was opened with the no-wait option, before it fails with SQLSTATE
// 55P03. Long enough to pass a lock that a concurrent statement releases at
// once, short enough that a lock held by someone's open transaction ends the
// command without a noticeable pause.
inline constexpr const char* kNoWaitLockTimeout = "100ms";

// Rows a cursor fetches from its cursor at a time: the first batch, which
// comes with the cursor's opening, holds kCursorBatchRows; each next one is
// asked for while the caller works through the one before, twice its size up
// to kCursorMaxBatchRows. The client holds at most two batches of a result,
// however large the result is.
inline constexpr int kCursorBatchRows = 1000;
inline constexpr int kCursorMaxBatchRows = 8 * kCursorBatchRows;

}  // namespace velkin
