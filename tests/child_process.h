#pragma once
// Tests that need a second process (one to kill, one to hold a lock) run a
// child of their own executable: child_main.cpp starts the function
// registered under the name given after "--child" instead of the tests.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>

#include <map>
#include <string>

namespace velkin::testing {

using ChildMain = int (*)(const QStringList& args);

inline std::map<std::string, ChildMain>& Children() {
    static std::map<std::string, ChildMain> children;
    return children;
}

struct ChildRegistration {
    ChildRegistration(const char* name, ChildMain main) { Children()[name] = main; }
};

// Starts this executable as the child `name` with `args`; stdout is the
// child's channel to the test, stderr goes to the test's own.
inline void StartChild(QProcess& process, const QString& name, const QStringList& args) {
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QCoreApplication::applicationFilePath(), QStringList{QStringLiteral("--child"), name} + args);
}

// Waits, bounded, for the child to write `word` on a line of its own.
// Returns false when the child ended or the bound passed first.
inline bool WaitForLine(QProcess& process, const QByteArray& word, int boundMs = 120000) {
    const QDeadlineTimer deadline(boundMs);
    for (;;) {
        while (process.canReadLine()) {
            if (process.readLine().trimmed() == word) return true;
        }
        if (deadline.hasExpired()) return false;
        if (!process.waitForReadyRead(static_cast<int>(deadline.remainingTime())) && !process.canReadLine())
            return false;
    }
}

}  // namespace velkin::testing
