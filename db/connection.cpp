#include "db/connection.h"

#include "db/error.h"
#include "shell/message_box.h"

namespace velkin::Common1 {

namespace {
SessionFactory& factorySlot() {
    static SessionFactory factory;
    return factory;
}

QString TrimSpaces(const QString& text) {
    qsizetype first = 0, last = text.size();
    while (first < last && text[first] == QLatin1Char(' ')) ++first;
    while (last > first && text[last - 1] == QLatin1Char(' ')) --last;
    return text.mid(first, last - first);
}
}  // namespace

QString ConnectionField(const QString& boxText) {
    qsizetype length = std::min<qsizetype>(boxText.size(), 32);
    // Never keep half of a surrogate pair.
    if (length == 32 && boxText[31].isHighSurrogate()) --length;
    return TrimSpaces(boxText.left(length));
}

QString HostField(const QString& boxText) { return TrimSpaces(boxText); }

bool ConnectDatabase(ConnectionPair& pair, const QString& userBox, const QString& passwordBox,
                     const QString& hostBox) {
    try {
        const QString user = ConnectionField(userBox);
        const QString password = ConnectionField(passwordBox);
        const QString host = HostField(hostBox);
        pair.Session = factorySlot() ? factorySlot()(host) : CreateSession(host);
        pair.Database = pair.Session->OpenDatabase(host, user + QLatin1Char('/') + password, kOpenNoWait);
        return false;
    } catch (const Error& error) {
        ShowErrorReport(ErrorReportKind::Connection, error);
    } catch (const std::exception& error) {
        ShowErrorReport(ErrorReportKind::Connection,
                                Error(Error::kCannotCreateObject, QString::fromUtf8(error.what())));
    }
    return true;
}

void DisconnectDatabase(ConnectionPair& pair) {
    pair.Database.reset();
    pair.Session.reset();
}

void SetSessionFactory(SessionFactory factory) { factorySlot() = std::move(factory); }

}  // namespace velkin::Common1
