// Which server the native MySQL engine reaches, against the suite's MariaDB
// servers (scripts/mariadb-test-server.sh).

#include "db/engine.h"
#include "db/error.h"
#include "tests/my_test_env.h"

#include <gtest/gtest.h>

#include <string>

using namespace velkin;
using velkin::test::MyEnv;

namespace {

// Opens `host` and runs a one-value query: its value, or "error NUMBER: DESCRIPTION".
std::string Ask(const std::string& host, const std::string& query, const std::string& login = test::MyLogin()) {
    try {
        auto session = CreateSession(QString::fromStdString(host));
        auto database = session->OpenDatabase(QString::fromStdString(host), QString::fromStdString(login), kOpenNoWait);
        const auto value = database->DbCreateDynaset(QString::fromStdString(query), 0)->Fields().Item(0).Value();
        return value ? value->toStdString() : "NULL";
    } catch (const Error& e) {
        return "error " + std::to_string(e.Number()) + ": " + e.Description().toStdString();
    }
}

// Not the default socket, which may be missing or another server's.
TEST(MyRoute, LocalhostWithAPortIsThatPortOverTcp) {
    const std::string port = MyEnv("VELKIN_MY_PORT");
    EXPECT_EQ(Ask("mysql://localhost:" + port + "/" + MyEnv("VELKIN_MY_DATABASE"), "SELECT @@port"), port);
}

}  // namespace
