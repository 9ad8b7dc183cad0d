#pragma once
// Small helpers shared by the fuzz targets.

#include <QString>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace velkin::fuzz {

// Stops the run with a message; libFuzzer saves the input that got here.
[[noreturn]] inline void Fail(const char* what, const QString& detail = QString()) {
    std::fprintf(stderr, "property broken: %s\n%s\n", what, detail.toUtf8().constData());
    std::abort();
}

inline void Check(bool ok, const char* what, const QString& detail = QString()) {
    if (!ok) Fail(what, detail);
}

// Shows invisible characters so a failure report can be read.
inline QString Visible(const QString& s) {
    QString out;
    for (QChar c : s) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace velkin::fuzz
