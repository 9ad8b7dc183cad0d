#pragma once
// The MariaDB server the tests run against, as scripts/run-tests.sh describes
// it in VELKIN_MY_* variables, and a plain connector connection to it for
// setting up tables and for looking at them from a second session.

#include <mysql.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

namespace velkin::test {

inline std::string MyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Empty when the suite was started without a server (not through make test).
inline std::string MyUri() { return MyEnv("VELKIN_MY_URI"); }
inline std::string MyLogin() { return MyEnv("VELKIN_MY_USER") + "/" + MyEnv("VELKIN_MY_PASSWORD"); }
// The same database through MariaDB's ODBC driver, as a connection string.
inline std::string MyOdbcHost() {
    return "odbc:Driver=MariaDB Unicode;Server=127.0.0.1;Port=" + MyEnv("VELKIN_MY_PORT") +
           ";Database=" + MyEnv("VELKIN_MY_DATABASE");
}

inline const char* kMyMissingServer =
    "VELKIN_MY_URI is not set: the MariaDB tests run against the server that "
    "scripts/run-tests.sh (make test) starts";

// A second session of its own, outside the engines under test.
class MyAdmin {
public:
    MyAdmin() : mysql_(mysql_init(nullptr)) {
        mysql_optionsv(mysql_.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
        if (!mysql_real_connect(mysql_.get(), "127.0.0.1", MyEnv("VELKIN_MY_USER").c_str(),
                                MyEnv("VELKIN_MY_PASSWORD").c_str(), MyEnv("VELKIN_MY_DATABASE").c_str(),
                                static_cast<unsigned>(std::stoul(MyEnv("VELKIN_MY_PORT"))), nullptr, 0))
            throw std::runtime_error(std::string("admin connection: ") + mysql_error(mysql_.get()));
        Exec("SET SESSION sql_mode = CONCAT(@@sql_mode, ',ANSI_QUOTES')");
    }

    void Exec(const std::string& sql) {
        if (mysql_real_query(mysql_.get(), sql.data(), sql.size()) != 0)
            throw std::runtime_error(sql + ": " + mysql_error(mysql_.get()));
        if (MYSQL_RES* result = mysql_store_result(mysql_.get())) mysql_free_result(result);
    }

    // All rows of a one-column query, joined by "|" ("NULL" for NULL).
    std::string Column(const std::string& sql) {
        if (mysql_real_query(mysql_.get(), sql.data(), sql.size()) != 0)
            throw std::runtime_error(sql + ": " + mysql_error(mysql_.get()));
        std::unique_ptr<MYSQL_RES, void (*)(MYSQL_RES*)> result(mysql_store_result(mysql_.get()), mysql_free_result);
        std::string joined;
        bool first = true;
        while (MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr) {
            if (!first) joined += "|";
            first = false;
            joined += row[0] ? row[0] : "NULL";
        }
        return joined;
    }

private:
    struct Closer {
        void operator()(MYSQL* m) const { mysql_close(m); }
    };
    std::unique_ptr<MYSQL, Closer> mysql_;
};

}  // namespace velkin::test
