#pragma once
// The frame every database command runs in, so that a command holds only its
// own steps. In order: the busy pointer goes on, the wait for the server is
// set up, the command prepares, the connection opens (a failure here is
// reported as a connection's), the command works; every failure of the
// command ends in one place; and whatever happened, the closing steps run
// last: the window shows the sheet as the command left it, the busy pointer
// goes, the connection is released.

#include "commands/command_context.h"

namespace velkin {

class StatementRefused;

// What one command does inside the frame.
class CommandSteps {
public:
    virtual ~CommandSteps() = default;
    // Before connecting, with the busy pointer on: what the command shows
    // while it connects. A failure here ends in failed(), as one of work's.
    virtual void prepare() {}
    // The command's work on its open connection.
    virtual void work(CommandConnection& connection) = 0;
    // Where every failure of prepare() and work() ends (a failure that is no
    // velkin::Error as Error::kUnexpected). `connection` is null when the
    // failure came before it was open.
    virtual void failed(const Error& error, CommandConnection* connection) = 0;
    // A statement of a stream that the database refused: by default a
    // failure like any other.
    virtual void refused(const StatementRefused& refused, CommandConnection& connection);
};

// Runs `steps` on a connection opened from the boxes `login`; every outcome
// is shown through the context's report.
void RunCommand(const CommandContext& context, const ConnectionBoxes& login, CommandSteps& steps);

}  // namespace velkin
