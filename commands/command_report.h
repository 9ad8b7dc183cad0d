#pragma once
// What a database command tells the user and asks of them, and the window
// state it changes while it runs. The window implements this interface; a
// command knows nothing else about the window. The sheet a command writes is
// the window's (CommandContext::sheet); the command says here what it changed,
// in one step per change, and the window shows it.

#include "db/error.h"
#include "db/server_wait.h"
#include "grid/sheet_data.h"

#include <QString>
#include <cstdint>

namespace velkin {

enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

struct MessageRequest {
    QString text;
    QString title;  // empty: the application's title
    MessageButtons buttons = MessageButtons::Ok;
    MessageAnswer defaultButton = MessageAnswer::Ok;
    QString detail;  // lines shown under the text; empty: none
};

// The error report's two forms: "Error Code: " under the title "Message" for
// a failed connection, "Error Code:" under the application's title for a
// failure inside a command.
enum class ErrorReportKind { Connection, Command };

// The error report's box: label, number, CR LF, description, one OK button.
MessageRequest ErrorReportRequest(ErrorReportKind kind, const Error& error);

class CommandReport {
public:
    virtual ~CommandReport() = default;
    // Shows a modal box and returns the button pressed.
    virtual MessageAnswer ask(const MessageRequest& request) = 0;
    virtual void reportError(ErrorReportKind kind, const Error& error) = 0;
    virtual void setProgressRange(int32_t minimum, int32_t maximum) = 0;
    virtual void setProgress(int32_t value) = 0;
    // Whether the Update command may be used.
    virtual void allowUpdate(bool allowed) = 0;
    // The busy pointer: on while a command works, off (fully) at its end.
    virtual void setBusy(bool busy) = 0;
    // Called about every ServerWait::kKeepAliveInterval while a command waits
    // for its database server or SQLite works: the window handles its events meanwhile
    // (repaints; Esc, its Cancel button and its close box cancel `wait`) and
    // takes no other input.
    virtual void whileWaiting(ServerWait& wait) { (void)wait; }

    // The command changed the sheet's size, or the cells of `block` (sheet
    // rows and columns, the header row and column included).
    virtual void sheetChanged(const CellBlock& block) = 0;
    // The command emptied the sheet (ResetSheet): what the user did to the
    // old one can no longer be undone.
    virtual void sheetEmptied() = 0;
    // Sheet cell (row, column) becomes the active cell.
    virtual void activateCell(int32_t row, int32_t column) = 0;
    // The view scrolls so that the user sees sheet row `row`.
    virtual void revealRow(int32_t row) = 0;
};

}  // namespace velkin
