#include "commands/command_runner.h"

#include "db/session.h"
#include "grid/grid_prepare.h"

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
// window shows the sheet as the command left it, the busy pointer goes, the
// connection is released. Run by the destructor, so no path can skip them.
class ClosingSteps {
public:
    ClosingSteps(SheetData& sheet, CommandReport& report, std::unique_ptr<CommandConnection>& connection)
        : sheet_(sheet), report_(report), connection_(connection) {}
    ~ClosingSteps() {
        report_.sheetChanged(WholeSheet(sheet_));
        report_.setBusy(false);
        connection_.reset();
    }
    ClosingSteps(const ClosingSteps&) = delete;
    ClosingSteps& operator=(const ClosingSteps&) = delete;

private:
    SheetData& sheet_;
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
    const ClosingSteps closing(context.sheet, report, connection);
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
