#pragma once
// The one place that builds message boxes, so every box has exactly the text,
// title, buttons and default button its caller asks for.

#include "commands/command_report.h"

#include <QString>
#include <functional>

class QWidget;

namespace velkin {

class Error;

inline const QString kApplicationTitle = QStringLiteral("Velkin");

// Shows a modal box (no icon) and returns the button pressed.
MessageAnswer ShowMessage(const MessageRequest& request);

// The error report's text (ErrorReportRequest): label, number, CR LF, description.
QString ErrorReportText(ErrorReportKind kind, const Error& error);

// Whoever answers a window's boxes in place of the screen (Form1's constructor).
using MessageAnswerer = std::function<MessageAnswer(const MessageRequest&)>;

}  // namespace velkin
