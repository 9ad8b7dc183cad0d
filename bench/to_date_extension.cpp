// A loadable SQLite extension with the program's own TO_DATE and REAL_FROM_BITS, so the
// reference client (the sqlite3 shell) can run the very INSERT texts the
// table replace sends: `.load PATH` at the top of the reference script.
//
// The shell and this module share Debian's libsqlite3.so, so the module calls
// the library directly instead of going through the extension routine table.

#include "db/sqlite/to_date.h"

#include <sqlite3.h>

extern "C" __attribute__((visibility("default"))) int sqlite3_extension_init(sqlite3* db, char** /*error*/,
                                                                               const void* /*api*/) {
    const int rc = velkin::RegisterToDate(db);
    return rc != SQLITE_OK ? rc : velkin::RegisterRealFromBits(db);
}
