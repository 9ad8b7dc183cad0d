#pragma once
// The address of a MySQL or MariaDB server as the host box gives it:
//   mysql://[HOST][:PORT]/DBNAME[?NAME=VALUE&...]   (or mariadb://...)
// Parts are percent-decoded. An empty HOST, or "localhost", without a PORT is
// the local server through its socket; with a PORT it is TCP to that port. The
// options are the connector's connection options:
//   socket=PATH            the local server's unix socket (without a PORT)
//   ssl=1                  refuse a connection without TLS
//   ssl-ca, ssl-capath, ssl-cert, ssl-key, ssl-cipher, ssl-crl, ssl-crlpath
//                          TLS files and ciphers
//   ssl-verify-server-cert=1  check the server's certificate against its name
//   tls-version=TLSv1.2,TLSv1.3  the TLS versions allowed
//   connect-timeout, read-timeout, write-timeout  seconds
// ("_" may stand for "-"). Any other option is refused, so a misspelt TLS
// option never silently connects without TLS.

#include <QByteArray>
#include <QString>

#include <vector>

namespace velkin {

enum class MySqlOption {
    Socket,
    Ssl,
    SslCa,
    SslCaPath,
    SslCert,
    SslKey,
    SslCipher,
    SslCrl,
    SslCrlPath,
    SslVerifyServerCert,
    TlsVersion,
    ConnectTimeout,
    ReadTimeout,
    WriteTimeout,
};

struct MySqlAddress {
    QByteArray host;      // empty: the local server
    unsigned port = 0;    // 0: the connector's default
    QByteArray database;  // may be empty: no default database
    QByteArray user;      // from the address's user part, if any
    QByteArray password;
    std::vector<std::pair<MySqlOption, QByteArray>> options;  // in the order given
};

// Throws velkin::Error (2005, "unknown host" class) for text that is not such an address.
MySqlAddress ParseMySqlAddress(const QString& hostText);

// Whether an option's value means "on" (1, true, yes, on).
bool MySqlOptionOn(const QByteArray& value);

// How a connection to the address goes, from the address alone.
struct MySqlRoute {
    // A port was given, or a host other than the local one: TCP to that host
    // and port. "localhost" alone would otherwise mean the default socket,
    // which may belong to another server than the one whose port was named.
    bool tcp = false;
};

MySqlRoute MySqlRouteOf(const MySqlAddress& address);

}  // namespace velkin
