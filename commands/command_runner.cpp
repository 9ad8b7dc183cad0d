#include "commands/command_runner.h"

#include "db/session.h"
#include "grid/grid.h"

namespace velkin {

namespace {

// Where a command waits for its server: the context's TIMEOUT, with the
// window kept alive through the report meanwhile.
class CommandWait : public ServerWait {
public:
    explicit CommandWait(const CommandContext& context)
        : ServerWait(context.timeoutSeconds, [this, &report = context.report] { report.whileWaiting(*this); }) {}
};

// The closing steps every database command ends with, in this order: the
// grid draws again, the busy pointer goes, the connection is released, the
// grid takes input again. Run by the destructor, so no path can skip them.
class ClosingSteps {
public:
    ClosingSteps(SpreadGrid& grid, CommandReport& report, std::unique_ptr<CommandConnection>& connection)
        : grid_(grid), report_(report), connection_(connection) {}
    ~ClosingSteps() {
        grid_.setRedraw(true);
        report_.setBusy(false);
        connection_.reset();
        grid_.setEnabled(true);
    }
    ClosingSteps(const ClosingSteps&) = delete;
    ClosingSteps& operator=(const ClosingSteps&) = delete;

private:
    SpreadGrid& grid_;
    CommandReport& report_;
    std::unique_ptr<CommandConnection>& connection_;
};

}  // namespace

void CommandSteps::refused(const StatementRefused& refused, CommandConnection& connection) {
    failed(refused.error(), &connection);
}

void RunCommand(const CommandContext& context, const ConnectionBoxes& login, CommandSteps& steps) {
    CommandReport& report = context.report;
    report.setBusy(true);
    CommandWait wait(context);
    std::unique_ptr<CommandConnection> connection;
    const ClosingSteps closing(context.grid, report, connection);
    try {
        steps.prepare();
        try {
            connection = OpenConnection(login, context.sessions, &wait);
        } catch (const Error& error) {
            report.reportError(ErrorReportKind::Connection, error);
            return;
        }
        steps.work(*connection);
    } catch (const StatementRefused& refused) {
        // Only a stream, and so only an open connection, refuses a statement.
        steps.refused(refused, *connection);
    } catch (const Error& error) {
        steps.failed(error, connection.get());
    } catch (const std::exception& error) {
        // Out of memory and the like: still ended as any failure is.
        steps.failed(Error(Error::kUnexpected, QString::fromLocal8Bit(error.what())), connection.get());
    }
}

}  // namespace velkin
