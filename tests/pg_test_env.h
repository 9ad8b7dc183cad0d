#pragma once
// The PostgreSQL server the tests run against, as scripts/run-tests.sh
// describes it in VELKIN_PG_* variables, and a plain libpq connection to it
// for setting up tables and for looking at them from a second session.

#include <libpq-fe.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

namespace velkin::test {

inline std::string PgEnv(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Empty when the suite was started without a server (not through make test).
inline std::string PgUri() { return PgEnv("VELKIN_PG_URI"); }
inline std::string PgUser() { return PgEnv("VELKIN_PG_USER"); }
inline std::string PgPassword() { return PgEnv("VELKIN_PG_PASSWORD"); }
// The connect string the session takes: "user/password".
inline std::string PgLogin() { return PgUser() + "/" + PgPassword(); }

inline const char* kPgMissingServer =
    "VELKIN_PG_URI is not set: the PostgreSQL tests run against the cluster that "
    "scripts/run-tests.sh (make test) starts";

// A second session of its own, outside the engine under test.
class PgAdmin {
public:
    PgAdmin() {
        const char* keys[] = {"dbname", "user", "password", "client_encoding", nullptr};
        const std::string uri = PgUri(), user = PgUser(), password = PgPassword();
        const char* values[] = {uri.c_str(), user.c_str(), password.c_str(), "UTF8", nullptr};
        conn_.reset(PQconnectdbParams(keys, values, 1));
        if (PQstatus(conn_.get()) != CONNECTION_OK)
            throw std::runtime_error(std::string("admin connection: ") + PQerrorMessage(conn_.get()));
        // "does not exist, skipping" and the like are not news in a test log.
        PQsetNoticeProcessor(conn_.get(), [](void*, const char*) {}, nullptr);
    }

    // Runs statements (several allowed); throws on the first error.
    void Exec(const std::string& sql) {
        Result result{PQexec(conn_.get(), sql.c_str())};
        const ExecStatusType status = PQresultStatus(result.get());
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
            throw std::runtime_error(sql + ": " + PQresultErrorMessage(result.get()));
    }

    // First column of the first row ("" for none or NULL).
    std::string Scalar(const std::string& sql) {
        Result result{PQexec(conn_.get(), sql.c_str())};
        if (PQresultStatus(result.get()) != PGRES_TUPLES_OK)
            throw std::runtime_error(sql + ": " + PQresultErrorMessage(result.get()));
        if (PQntuples(result.get()) == 0 || PQgetisnull(result.get(), 0, 0)) return "";
        return PQgetvalue(result.get(), 0, 0);
    }

    // All rows of a one-column query, joined by "|", in the query's order.
    std::string Column(const std::string& sql) {
        Result result{PQexec(conn_.get(), sql.c_str())};
        if (PQresultStatus(result.get()) != PGRES_TUPLES_OK)
            throw std::runtime_error(sql + ": " + PQresultErrorMessage(result.get()));
        std::string joined;
        for (int r = 0; r < PQntuples(result.get()); ++r) {
            if (r) joined += "|";
            joined += PQgetisnull(result.get(), r, 0) ? "NULL" : PQgetvalue(result.get(), r, 0);
        }
        return joined;
    }

private:
    struct ConnDeleter {
        void operator()(PGconn* c) const { PQfinish(c); }
    };
    struct ResultDeleter {
        void operator()(PGresult* r) const { PQclear(r); }
    };
    using Result = std::unique_ptr<PGresult, ResultDeleter>;
    std::unique_ptr<PGconn, ConnDeleter> conn_;
};

}  // namespace velkin::test
