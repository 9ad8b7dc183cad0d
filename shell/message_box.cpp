#include "shell/message_box.h"

#include "db/error.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMessageBox>

namespace velkin {

namespace {

// Ctrl+C copies the box's title and text, so that an error can be passed on
// whole, as message boxes on Windows allow.
class CopyableMessageBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->matches(QKeySequence::Copy)) {
            QString copied = windowTitle() + QStringLiteral("\n") + text() + QStringLiteral("\n");
            if (!informativeText().isEmpty()) copied += informativeText() + QStringLiteral("\n");
            QApplication::clipboard()->setText(copied);
            return;
        }
        QMessageBox::keyPressEvent(event);
    }
};

}  // namespace

MessageAnswer ShowMessage(const MessageRequest& request) {
    CopyableMessageBox box(QApplication::activeWindow());
    box.setIcon(QMessageBox::NoIcon);
    box.setWindowTitle(request.title.isEmpty() ? kApplicationTitle : request.title);
    box.setText(request.text);
    box.setTextFormat(Qt::PlainText);
    if (!request.detail.isEmpty()) box.setInformativeText(request.detail);
    // A busy pointer left by a running command must not hide the box's buttons' meaning.
    const bool busy = QApplication::overrideCursor() != nullptr;
    if (busy) QApplication::setOverrideCursor(Qt::ArrowCursor);
    MessageAnswer answer = MessageAnswer::Ok;
    if (request.buttons == MessageButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(request.defaultButton == MessageAnswer::No ? QMessageBox::No : QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
        answer = box.exec() == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
    } else {
        box.setStandardButtons(QMessageBox::Ok);
        box.exec();
    }
    if (busy) QApplication::restoreOverrideCursor();
    return answer;
}

QString ErrorReportText(ErrorReportKind kind, const Error& error) { return ErrorReportRequest(kind, error).text; }

}  // namespace velkin
