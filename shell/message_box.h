#pragma once
// The one place that builds message boxes, so every box has exactly the text,
// title, buttons and default button its caller asks for. Tests install an
// answerer that records each box and answers it without a window.

#include "commands/command_report.h"

#include <QString>
#include <functional>
#include <vector>

class QWidget;

namespace velkin {

class Error;

inline const QString kApplicationTitle = QStringLiteral("Velkin");

// Shows a modal box (no icon) and returns the button pressed.
MessageAnswer ShowMessage(const MessageRequest& request);

// The error report: label, number, CR LF, description, one OK button.
QString ErrorReportText(ErrorReportKind kind, const Error& error);
void ShowErrorReport(ErrorReportKind kind, const Error& error);

// For tests: every box goes to `answerer` instead of the screen while one is set.
using MessageAnswerer = std::function<MessageAnswer(const MessageRequest&)>;
void SetMessageAnswerer(MessageAnswerer answerer);

// Records every box and answers Yes/No boxes with a chosen answer.
class RecordingAnswerer {
public:
    explicit RecordingAnswerer(MessageAnswer yesNoAnswer = MessageAnswer::Yes);
    ~RecordingAnswerer();
    RecordingAnswerer(const RecordingAnswerer&) = delete;
    RecordingAnswerer& operator=(const RecordingAnswerer&) = delete;

    void setYesNoAnswer(MessageAnswer answer) { yesNoAnswer_ = answer; }
    std::vector<MessageRequest> boxes;

private:
    MessageAnswer yesNoAnswer_;
};

}  // namespace velkin
