#pragma once
// The login as the session interface carries it: "user/password", one string.
// Joined once, where the connection is opened, and split in this one place by
// every engine that needs the two apart.

#include <QString>

namespace velkin {

struct Login {
    QString user;
    QString password;
};

inline QString JoinLogin(const Login& login) { return login.user + QLatin1Char('/') + login.password; }

// The password may itself contain "/": only the first one separates.
inline Login SplitLogin(const QString& connect) {
    const qsizetype slash = connect.indexOf(QLatin1Char('/'));
    if (slash < 0) return {connect, QString()};
    return {connect.left(slash), connect.mid(slash + 1)};
}

}  // namespace velkin
