#include "db/mysql/my_address.h"

#include "db/error.h"

#include <QUrl>
#include <QUrlQuery>

namespace velkin {

namespace {

// The connector's number for a host it cannot use (CR_UNKNOWN_HOST).
constexpr int32_t kBadAddress = 2005;

[[noreturn]] void Refuse(const QString& why) {
    throw Error(kBadAddress, QStringLiteral("SQLSTATE HY000: ") + why, QStringLiteral("HY000"));
}

bool OptionNamed(QString name, MySqlOption& option) {
    name = name.toLower().replace(QLatin1Char('_'), QLatin1Char('-'));
    static const std::pair<const char*, MySqlOption> kNames[] = {
        {"socket", MySqlOption::Socket},
        {"ssl", MySqlOption::Ssl},
        {"ssl-ca", MySqlOption::SslCa},
        {"ssl-capath", MySqlOption::SslCaPath},
        {"ssl-cert", MySqlOption::SslCert},
        {"ssl-key", MySqlOption::SslKey},
        {"ssl-cipher", MySqlOption::SslCipher},
        {"ssl-crl", MySqlOption::SslCrl},
        {"ssl-crlpath", MySqlOption::SslCrlPath},
        {"ssl-verify-server-cert", MySqlOption::SslVerifyServerCert},
        {"tls-version", MySqlOption::TlsVersion},
        {"connect-timeout", MySqlOption::ConnectTimeout},
        {"read-timeout", MySqlOption::ReadTimeout},
        {"write-timeout", MySqlOption::WriteTimeout},
    };
    for (const auto& [text, value] : kNames)
        if (name == QLatin1String(text)) {
            option = value;
            return true;
        }
    return false;
}

}  // namespace

bool MySqlOptionOn(const QByteArray& value) {
    const QByteArray v = value.trimmed().toLower();
    return v == "1" || v == "true" || v == "yes" || v == "on";
}

MySqlRoute MySqlRouteOf(const MySqlAddress& address) {
    MySqlRoute route;
    route.tcp = address.port != 0 || !(address.host.isEmpty() || address.host == "localhost");
    bool ssl = false;
    bool tlsFiles = false;
    for (const auto& [option, value] : address.options) {
        switch (option) {
        case MySqlOption::Ssl: ssl = MySqlOptionOn(value); break;
        case MySqlOption::SslVerifyServerCert: route.serverVerified = MySqlOptionOn(value); break;
        case MySqlOption::SslCa:
        case MySqlOption::SslCaPath:
        case MySqlOption::SslCert:
        case MySqlOption::SslKey:
        case MySqlOption::SslCipher: tlsFiles = tlsFiles || !value.isEmpty(); break;
        default: break;
        }
    }
    route.tlsRequired = ssl || route.serverVerified || tlsFiles;
    return route;
}

MySqlAddress ParseMySqlAddress(const QString& hostText) {
    const QUrl url(hostText, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("mysql") && scheme != QLatin1String("mariadb")))
        Refuse(QStringLiteral("「%1」は mysql://ホスト:ポート/データベース名 の形ではありません。").arg(hostText));

    MySqlAddress address;
    address.host = url.host(QUrl::FullyDecoded).toUtf8();
    const int port = url.port(0);
    if (port < 0 || port > 65535) Refuse(QStringLiteral("ポート番号が正しくありません: %1").arg(hostText));
    address.port = static_cast<unsigned>(port);
    QString path = url.path(QUrl::FullyDecoded);
    if (path.startsWith(QLatin1Char('/'))) path.remove(0, 1);
    if (path.contains(QLatin1Char('/')))
        Refuse(QStringLiteral("データベース名に「/」は使えません: %1").arg(hostText));
    address.database = path.toUtf8();
    address.user = url.userName(QUrl::FullyDecoded).toUtf8();
    address.password = url.password(QUrl::FullyDecoded).toUtf8();

    const QUrlQuery query(url);
    for (const auto& [name, value] : query.queryItems(QUrl::FullyDecoded)) {
        MySqlOption option;
        if (!OptionNamed(name, option))
            Refuse(QStringLiteral("接続オプション「%1」は使えません（socket, ssl, ssl-ca, ssl-capath, ssl-cert, "
                                  "ssl-key, ssl-cipher, ssl-crl, ssl-crlpath, ssl-verify-server-cert, tls-version, "
                                  "connect-timeout, read-timeout, write-timeout のどれかです）。")
                       .arg(name));
        address.options.emplace_back(option, value.toUtf8());
    }
    return address;
}

}  // namespace velkin
