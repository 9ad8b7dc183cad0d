#include "shell/main_window.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velkin"));
    // Ties the window to the installed menu entry (the Wayland app id, and the
    // name a desktop matches running windows against).
    QGuiApplication::setDesktopFileName(QStringLiteral("velkin"));
    // Compiled in from packaging/velkin.svg; every window and box shows it.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/velkin.svg")));
    Form1 window;
    window.show();
    return QApplication::exec();
}
