#include "db/sqlite/sqlite_session.h"

#include "db/error.h"

namespace velkin {

std::unique_ptr<EngineSession> CreateSqliteSession() {
    throw Error::CannotCreateObject(QStringLiteral("SQLite engine not built yet"));
}

}  // namespace velkin
