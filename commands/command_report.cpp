#include "commands/command_report.h"

namespace velkin {

MessageRequest ErrorReportRequest(ErrorReportKind kind, const Error& error) {
    const bool connection = kind == ErrorReportKind::Connection;
    MessageRequest request;
    request.text = (connection ? QStringLiteral("Error Code: ") : QStringLiteral("Error Code:")) +
                   QString::number(error.Number()) + QStringLiteral("\r\n") + error.Description();
    request.title = connection ? QStringLiteral("Message") : QString();
    return request;
}

}  // namespace velkin
