#include "shell/main_window.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velkin"));
    Form1 window;
    window.show();
    return QApplication::exec();
}
