#include "db/mysql/my_tls_guard.h"

#include "db/mysql/my_connection.h"

#include <mysql/client_plugin.h>

namespace velkin::my {

namespace {

// Who gets the password.

// The authentication methods that never hand the server the password itself:
// a scramble or signature over the server's random challenge
// (mysql_native_password, client_ed25519), or Kerberos (auth_gssapi_client).
// Every other one does: mysql_clear_password and dialog (PAM) send it as
// typed; sha256_password and caching_sha2_password send it as typed over TLS,
// and without TLS encrypt it to whatever RSA key the server sends. The
// connector matches a method's name anywhere in this text.
constexpr char kPasswordKeepingPlugins[] = "mysql_native_password,client_ed25519,auth_gssapi_client";

// Connector/C 3.3 asks for TLS only when the server offers it: unless the
// certificate is verified too, it goes on in plain text with a server that
// offers none (MYSQL_OPT_SSL_ENFORCE notwithstanding), and a man in the middle
// need only offer none. So when TLS is required the connector starts with this
// authentication method of ours. It runs once the server's greeting has
// arrived and before the client has said anything: it refuses a server that
// offers no TLS, and otherwise sends the login's first packet, where the
// connector starts TLS, with no password in it. The server, not knowing this
// method, then names the one the account uses, which goes on over TLS (one
// round trip more than a login that starts with the account's method).
constexpr char kTlsGuardPlugin[] = "velkin_tls_required";
constexpr char kTlsGuardKey[] = "velkin.tls-guard";

int RequireTls(MYSQL_PLUGIN_VIO* vio, MYSQL* mysql) {
    TlsGuard* guard = nullptr;
    mysql_get_optionv(mysql, MARIADB_OPT_USERDATA, const_cast<char*>(kTlsGuardKey), &guard);
    if (guard) guard->ran = true;
    if (!guard || !(mysql->server_capabilities & CLIENT_SSL)) {
        if (guard) guard->refused = true;
        // In the connector's own words for this refusal, which it makes
        // itself only when the certificate is verified too.
        mysql->methods->set_error(mysql, CR_SSL_CONNECTION_ERROR, "HY000",
                                  "TLS/SSL error: SSL is required, but the server does not support it");
        return CR_ERROR;
    }
    // The methods allowed from here on; the connector checks each one the
    // server names against this list as it comes.
    if (mysql_optionsv(mysql, MARIADB_OPT_RESTRICTED_AUTH, guard->pluginsOverTls) != 0) return CR_ERROR;
    unsigned char* packet = nullptr;
    // Sends the first packet, then reads the server's answer: the method it
    // wants, which the connector takes from here (a plugin's read fails on it).
    // A server that accepted the login as it stands ends it here.
    const int length = vio->read_packet(vio, &packet);
    return length > 0 && packet[0] == 0 ? CR_OK_HANDSHAKE_COMPLETE : CR_ERROR;
}

// An authentication method as the connector's client plugin interface lays it
// out. Its header, mysql/client_plugin.h, cannot be included as Debian ships

// Registers the TLS guard with the connector, once for the process. Without
// it the connector would go on with a fallback that sends the first packet
// regardless, so a failure refuses the connection.
void RegisterTlsGuard(MYSQL* mysql) {
    static st_mysql_client_plugin_AUTHENTICATION plugin{
        MYSQL_CLIENT_AUTHENTICATION_PLUGIN, MYSQL_CLIENT_AUTHENTICATION_PLUGIN_INTERFACE_VERSION, kTlsGuardPlugin,
        "Velkin", "Refuses a server that offers no TLS", {1, 0, 0}, "", nullptr, nullptr, nullptr, nullptr,
        RequireTls};
    // A function-local static runs once, thread-safely, and unlike
    // std::call_once needs no thread-local storage from the dynamic loader.
    static const bool registered =
        mysql_client_register_plugin(mysql, reinterpret_cast<st_mysql_client_plugin*>(&plugin)) != nullptr;
    if (!registered) throw EngineError(kBadOption, QStringLiteral("TLS を必須にする仕組みを接続ライブラリに登録できません。"));
}

}  // namespace

// Sets who gets the password and whether TLS is required, before connecting.
void GuardPassword(MYSQL* mysql, const MySqlRoute& route, TlsGuard& guard) {
    const char* allowed = route.mayHandOverPassword() ? nullptr : kPasswordKeepingPlugins;
    int rc = 0;
    if (route.tlsRequired) {
        RegisterTlsGuard(mysql);
        guard.pluginsOverTls = allowed;
        rc |= mysql_optionsv(mysql, MYSQL_DEFAULT_AUTH, kTlsGuardPlugin);
        rc |= mysql_optionsv(mysql, MARIADB_OPT_RESTRICTED_AUTH, kTlsGuardPlugin);
        // Read by the guard while connecting only.
        rc |= mysql_optionsv(mysql, MARIADB_OPT_USERDATA, kTlsGuardKey, static_cast<void*>(&guard));
    } else if (allowed) {
        rc = mysql_optionsv(mysql, MARIADB_OPT_RESTRICTED_AUTH, allowed);
    }
    if (rc != 0) throw EngineError(kBadOption, QStringLiteral("認証方式の制限を接続ライブラリに設定できません。"));
}

// A failed connection, said in the program's own words where its own guards
// refused it.
Error ConnectFailure(MYSQL* mysql, const MySqlRoute& route, const TlsGuard& guard) {
    const QString connector = QString::fromUtf8(mysql_error(mysql)).trimmed();
    const auto number = static_cast<int32_t>(mysql_errno(mysql));
    const QString state = QString::fromLatin1(mysql_sqlstate(mysql));
    if (guard.refused)
        return MakeError(number, state,
                         QStringLiteral("TLS での接続が必要ですが、サーバーは TLS を提供していません。"
                                        "平文では接続しません（%1）").arg(connector));
    if (number != CR_PLUGIN_NOT_ALLOWED) return ConnectionError(mysql);
    // A server too old to be asked for another method (before MySQL 5.5)
    // starts the login with its own, before the guard could look at TLS.
    if (route.tlsRequired && !guard.ran)
        return MakeError(number, state,
                         QStringLiteral("TLS での接続が必要ですが、このサーバーとはログインの前に TLS を確かめられ"
                                        "ません（認証方式を選べない古いサーバーです）。（%1）").arg(connector));
    // The connector's own text is left out: after the server has named
    // another method, Connector/C 3.3 prints whatever its buffer then holds
    // as that method's name.
    return MakeError(number, state,
                     QStringLiteral("サーバーが求めた認証方式は、証明書で身元を確かめていないサーバーには使いません"
                                    "（パスワードそのものを渡す方式などです。ssl-verify-server-cert=1 で確かめると"
                                    "使えます）。"));
}

}  // namespace velkin::my
