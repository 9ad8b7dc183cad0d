#include "shell/main_window.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>

#include <cstring>

#ifndef VELKIN_VERSION_TEXT
#define VELKIN_VERSION_TEXT ""
#endif

namespace {

// --help and --version answer without a window, so they work where no
// display is; every other argument is ignored, as the settings file alone
// configures the program.
bool AsksForUsage(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        for (const char* option : {"-h", "--help", "-v", "--version"})
            if (std::strcmp(argv[i], option) == 0) return true;
    return false;
}

int PrintUsage(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velkin"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELKIN_VERSION_TEXT));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Edit one database table as a spreadsheet and write it back.\n"
        "Settings come from Velkin.ini in the current folder (see velkin(1))."));
    parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.parse(QCoreApplication::arguments());
    if (parser.isSet(version)) parser.showVersion();
    parser.showHelp(0);
}

}  // namespace

int main(int argc, char** argv) {
    if (AsksForUsage(argc, argv)) return PrintUsage(argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velkin"));
    QApplication::setApplicationVersion(QStringLiteral(VELKIN_VERSION_TEXT));
    // Ties the window to the installed menu entry (the Wayland app id, and the
    // name a desktop matches running windows against).
    QGuiApplication::setDesktopFileName(QStringLiteral("velkin"));
    // Compiled in from packaging/velkin.svg; every window and box shows it.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/velkin.svg")));
    Form1 window;
    window.show();
    return QApplication::exec();
}
