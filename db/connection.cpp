#include "db/connection.h"

#include "db/error.h"

namespace velkin {

QString ConnectionField(const QString& boxText) {
    qsizetype length = std::min<qsizetype>(boxText.size(), 32);
    // Never keep half of a surrogate pair.
    if (length == 32 && boxText[31].isHighSurrogate()) --length;
    return WithoutEndSpaces(boxText.left(length));
}

QString HostField(const QString& boxText) { return WithoutEndSpaces(boxText); }

CommandConnection::CommandConnection(std::unique_ptr<Connection> database) : database_(std::move(database)) {}

CommandConnection::~CommandConnection() = default;

std::unique_ptr<CommandConnection> OpenConnection(const ConnectionBoxes& boxes, const ConnectionFactory& factory,
                                                  ServerWait* wait) {
    const Login login{ConnectionField(boxes.user), ConnectionField(boxes.password)};
    const QString host = HostField(boxes.host);
    try {
        std::unique_ptr<Connection> database = factory ? factory(host) : CreateConnection(host);
        database->setServerWait(wait);
        database->open(host, JoinLogin(login), OpenOption::NoLockWait);
        return std::make_unique<CommandConnection>(std::move(database));
    } catch (const Error&) {
        throw;
    } catch (const std::exception& error) {
        throw Error(Error::kCannotCreateObject, QString::fromUtf8(error.what()));
    }
}

}  // namespace velkin
