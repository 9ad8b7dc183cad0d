#pragma once
// The address of a MySQL or MariaDB server as the host box gives it:
//   mysql://[HOST][:PORT]/DBNAME[?NAME=VALUE&...]   (or mariadb://...)
// Parts are percent-decoded. An empty HOST, or "localhost", without a PORT is
// the local server through its socket; with a PORT it is TCP to that port. The
// options are the connector's connection options:
//   socket=PATH            the local server's unix socket (without a PORT)
//   ssl=1                  refuse a server that offers no TLS (its identity
//                          is not checked: see MySqlRoute)
//   ssl-ca, ssl-capath, ssl-cert, ssl-key, ssl-cipher, ssl-crl, ssl-crlpath
//                          TLS files and ciphers
//   ssl-verify-server-cert=1  check the server's certificate and its name;
//                          only then may a login method that hands over the
//                          password itself run (over the network)
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

// How a connection to the address goes and what it insists on, from the
// address alone. An option given twice counts by its last value, as it does
// for the connector.
struct MySqlRoute {
    // A port was given, or a host other than the local one: TCP to that host
    // and port. "localhost" alone would otherwise mean the default socket,
    // which may belong to another server than the one whose port was named.
    bool tcp = false;
    // ssl=1, certificate verification, or a CA, certificate, key or cipher
    // given: each asks for TLS, and a server that offers none is refused
    // rather than spoken to in plain text.
    bool tlsRequired = false;
    // ssl-verify-server-cert=1: the certificate's chain and the host's name
    // are checked, so the server is the one named.
    bool serverVerified = false;

    // Whether an authentication method that hands the server the password
    // itself may run: only with the one named, or through the local socket,
    // which is not on the network. Anyone else between could be handed it,
    // with TLS of his own or without.
    bool mayHandOverPassword() const { return serverVerified || !tcp; }
};

MySqlRoute MySqlRouteOf(const MySqlAddress& address);

}  // namespace velkin
