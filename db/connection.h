#pragma once
// Each database command opens its own connection at its start and releases it
// at its end, whatever happens; nothing stays connected between commands.

#include "db/engine.h"
#include "db/login.h"

#include <QString>
#include <functional>
#include <memory>

namespace velkin {

// A connection field: the first 32 characters of a box's text, trimmed of
// the spaces at both ends.
QString ConnectionField(const QString& boxText);

// The host field: the box's text trimmed of the spaces at both ends, never cut.
// A database address or a service name cut short could name another database,
// and a replace would then empty a table there.
QString HostField(const QString& boxText);

// What a command connects with: the three connection boxes' texts as typed.
struct ConnectionBoxes {
    QString user;
    QString password;
    QString host;
};

// Where connection objects come from: by default the engine the host names;
// tests give a recording one instead.
using ConnectionFactory = std::function<std::unique_ptr<Connection>(const QString& host)>;

// The open connection of one command, released when the command lets go of it.
class CommandConnection {
public:
    explicit CommandConnection(std::unique_ptr<Connection> database);
    ~CommandConnection();
    CommandConnection(const CommandConnection&) = delete;
    CommandConnection& operator=(const CommandConnection&) = delete;

    Connection& database() { return *database_; }

private:
    std::unique_ptr<Connection> database_;
};

// Opens a connection from the boxes' texts: the user and the password cut to
// 32 characters and trimmed, the host trimmed. Throws velkin::Error (429 when
// the engine's objects cannot be created). The connection waits for its server
// through `wait` (db/server_wait.h), which must outlive the connection; none:
// as a blocking call would.
std::unique_ptr<CommandConnection> OpenConnection(const ConnectionBoxes& boxes, const ConnectionFactory& factory = {},
                                                  ServerWait* wait = nullptr);

}  // namespace velkin
