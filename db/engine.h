#pragma once
// Choosing the engine from the host text, and what the host text says
// without connecting.

#include "db/dialect.h"
#include "db/host_text.h"
#include "db/server_wait.h"
#include "db/session.h"

#include <QString>
#include <memory>
#include <utility>
#include <vector>

namespace velkin {

// The dialect a host speaks, learnt without connecting, with the ODBC
// driver manager's configuration as the driver facts (host_text.h).
Dialect DialectForHost(const QString& host);

// Creates the connection object for the engine the host text names. Throws
// error 429 when that engine is not available on this machine.
std::unique_ptr<Connection> CreateConnection(const QString& host);

}  // namespace velkin
