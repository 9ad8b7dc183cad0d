// Who the native MySQL engine hands the password to, against the suite's two
// MariaDB servers (one without TLS, one with a certificate of a throwaway
// authority: scripts/mariadb-test-server.sh) and a fake server of the test's
// own that asks for the password as typed.

#include "db/engine.h"
#include "db/error.h"
#include "tests/my_test_env.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

using namespace velkin;
using velkin::test::MyEnv;

namespace {

// Opens `host` and runs a one-value query: its value, or "error NUMBER: DESCRIPTION".
std::string Ask(const std::string& host, const std::string& query, const std::string& login = test::MyLogin()) {
    try {
        auto database = CreateConnection(QString::fromStdString(host));
        database->open(QString::fromStdString(host), QString::fromStdString(login), OpenOption::NoLockWait);
        const auto value = database->openCursor(QString::fromStdString(query), CursorOption::StripTrailingBlanks)->value(0);
        return value ? value->toStdString() : "NULL";
    } catch (const Error& e) {
        return "error " + std::to_string(e.Number()) + ": " + e.Description().toStdString();
    }
}

bool Starts(const std::string& text, const std::string& start) { return text.rfind(start, 0) == 0; }

const char kCipher[] = "SELECT VARIABLE_VALUE FROM information_schema.SESSION_STATUS WHERE VARIABLE_NAME = 'Ssl_cipher'";
const std::string kNoTls = "error 2026: SQLSTATE HY000: TLS での接続が必要ですが、サーバーは TLS を提供していません";

TEST(MyTls, ServerWithoutTlsIsRefusedWhenTlsIsRequired) {
    ASSERT_FALSE(test::MyUri().empty()) << test::kMyMissingServer;
    EXPECT_EQ(Ask(test::MyUri(), kCipher), "") << "without ssl options it connects as before";
    const std::string refused = Ask(test::MyUri() + "?ssl=1", kCipher);
    EXPECT_TRUE(Starts(refused, kNoTls)) << refused;
    EXPECT_NE(refused.find("SSL is required, but the server does not support it"), std::string::npos) << refused;
}

TEST(MyTls, CertificateIsCheckedOnlyWhenAsked) {
    const std::string uri = MyEnv("VELKIN_MY_TLS_URI"), verify = uri + "?ssl=1&ssl-verify-server-cert=1";
    ASSERT_FALSE(uri.empty()) << "VELKIN_MY_TLS_URI is not set: scripts/run-tests.sh starts that server";
    EXPECT_NE(Ask(uri + "?ssl=1", kCipher), "");
    EXPECT_TRUE(Starts(Ask(verify, kCipher), "error 2026: ")) << "a certificate of an authority not given";
    EXPECT_FALSE(Starts(Ask(verify + "&ssl-ca=" + MyEnv("VELKIN_MY_TLS_CA"), kCipher), "error"));

    // PAM's client method hands over the password as typed: only to a
    // verified server, whose PAM then refuses it (after about two seconds).
    const std::string pam = MyEnv("VELKIN_MY_TLS_PAM_USER") + "/anything";
    EXPECT_TRUE(Starts(Ask(uri + "?ssl=1", "SELECT 1", pam), "error 5010: "));
    const std::string verified = Ask(verify + "&ssl-ca=" + MyEnv("VELKIN_MY_TLS_CA"), "SELECT 1", pam);
    EXPECT_TRUE(Starts(verified, "error 1045: ")) << verified;
}

// Not the default socket, which may be missing or another server's.
TEST(MyRoute, LocalhostWithAPortIsThatPortOverTcp) {
    const std::string port = MyEnv("VELKIN_MY_PORT");
    EXPECT_EQ(Ask("mysql://localhost:" + port + "/" + MyEnv("VELKIN_MY_DATABASE"), "SELECT @@port"), port);
}

// A fake server on a loopback port: it greets one client without TLS, naming
// `plugin` for the login, and asks for mysql_clear_password once the client
// has sent anything. Gives the bytes received, then the client's answer.
std::pair<std::string, std::string> Trap(uint32_t capabilities, const std::string& plugin, const std::string& options) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    bind(listener, reinterpret_cast<sockaddr*>(&address), length);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::string received;
    std::thread server([&] {
        pollfd ready{listener, POLLIN, 0};
        const int client = poll(&ready, 1, 10000) == 1 ? accept(listener, nullptr, nullptr) : -1;
        if (client < 0) return;
        auto send_packet = [client](char sequence, const std::string& body) {
            const std::string framed = std::string{char(body.size()), 0, 0, sequence} + body;
            (void)!send(client, framed.data(), framed.size(), MSG_NOSIGNAL);
        };
        const auto cap = [capabilities](int shift) { return char(capabilities >> shift); };
        send_packet(0, std::string("\x0a" "8.0.99-fake\0" "\x01\0\0\0" "01234567\0", 26) +
                           std::string{cap(0), cap(8), 45, 2, 0, cap(16), cap(24), 21} + std::string(10, '\0') +
                           std::string("89abcdefghij\0", 13) + plugin + '\0');
        char buffer[4096];
        pollfd readable{client, POLLIN, 0};
        while (poll(&readable, 1, 5000) == 1) {
            const ssize_t n = recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            if (received.empty()) send_packet(2, std::string("\xfe" "mysql_clear_password\0", 22));
            received.append(buffer, static_cast<size_t>(n));
        }
        close(client);
    });
    const std::string answer = Ask("mysql://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/v" + options,
                                   "SELECT 1", "velkin/trap-Secret-42");
    server.join();
    close(listener);
    return {received, answer};
}

TEST(MyPassword, NeverReachesAFakeServerThatAsksForItAsTyped) {
    constexpr uint32_t k41 = 0x200 | 0x8000 | 0x1, kPluginAuth = 0x80000;  // 4.1 protocol; login methods named
    const std::string notAllowed = "error 5010: SQLSTATE HY000: サーバーが求めた認証方式は";
    // Asked for at once, or after the first packet.
    for (const char* plugin : {"mysql_clear_password", "mysql_native_password"}) {
        const auto [received, answer] = Trap(k41 | kPluginAuth, plugin, "");
        EXPECT_EQ(received.find("trap-Secret-42"), std::string::npos) << plugin;
        EXPECT_TRUE(Starts(answer, notAllowed)) << answer;
    }
    // TLS required: nothing at all is sent, even to a server too old to be
    // asked for another login method.
    const auto [received, answer] = Trap(k41 | kPluginAuth, "mysql_native_password", "?ssl=1");
    EXPECT_EQ(received, "");
    EXPECT_TRUE(Starts(answer, kNoTls)) << answer;
    const auto [receivedByOld, answerOfOld] = Trap(k41, "", "?ssl=1");
    EXPECT_EQ(receivedByOld, "");
    EXPECT_TRUE(Starts(answerOfOld, "error 5010: SQLSTATE HY000: TLS での接続が必要ですが")) << answerOfOld;
}

}  // namespace
