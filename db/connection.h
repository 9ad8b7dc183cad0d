#pragma once
// Each database command opens its own connection at its start and releases it
// in its closing steps; nothing stays connected between commands.

#include "db/engine.h"

#include <QString>
#include <functional>
#include <memory>

namespace velkin::Common1 {

// The session and database objects of the command that is running; empty
// between commands.
struct ConnectionPair {
    std::unique_ptr<EngineSession> Session;
    std::unique_ptr<OraDatabase> Database;
};

// A connection field: the first 32 characters of a box's text, trimmed of
// the spaces at both ends.
QString ConnectionField(const QString& boxText);

// The host field: the box's text trimmed of the spaces at both ends, never cut.
// A database address or a service name cut short could name another database,
// and a replace would then empty a table there.
QString HostField(const QString& boxText);

// Opens the pair from the three boxes' texts. Returns true when it FAILED,
// after showing the connection's error report; false on success.
bool ConnectDatabase(ConnectionPair& pair, const QString& userBox, const QString& passwordBox,
                     const QString& hostBox);

// Releases the database, then the session.
void DisconnectDatabase(ConnectionPair& pair);

// For tests: where session objects come from (default: the engine the host names).
using SessionFactory = std::function<std::unique_ptr<EngineSession>(const QString& host)>;
void SetSessionFactory(SessionFactory factory);

}  // namespace velkin::Common1
