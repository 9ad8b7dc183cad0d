// Entry point of the tests that start children of their own executable (see
// child_process.h): "--child NAME ARGS..." runs that child, anything else the
// tests, in both cases with an offscreen QApplication.
#include "child_process.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen")
                                                                     : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velkin"));
    if (argc >= 3 && std::strcmp(argv[1], "--child") == 0) {
        const auto found = velkin::testing::Children().find(argv[2]);
        if (found == velkin::testing::Children().end()) {
            std::fprintf(stderr, "no child named %s\n", argv[2]);
            return 64;
        }
        QStringList args;
        for (int i = 3; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
        return found->second(args);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
