#pragma once
// The databases the tests run against, in one place: the PostgreSQL cluster
// and MariaDB server that scripts/run-tests.sh starts (it describes them in
// VELKIN_PG_* and VELKIN_MY_* variables, read here and nowhere else), the host
// texts that reach them, a plain connection of each database's own library
// (libpq, MariaDB's connector, sqlite3) for setting tables up and for looking
// at them from a second session, and the tables a test makes there.

#include "db/engine.h"

#include <libpq-fe.h>
#include <mysql.h>
#include <sqlite3.h>
#include <unistd.h>

#include <QUrl>

#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace velkin::test {

inline std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}
inline std::string PgEnv(const char* name) { return Env(name); }
inline std::string MyEnv(const char* name) { return Env(name); }

// ---------------------------------------------------------------------------
// PostgreSQL. Empty when the suite was started without a server (not through make test).

inline std::string PgUri() { return Env("VELKIN_PG_URI"); }
inline std::string PgUser() { return Env("VELKIN_PG_USER"); }
inline std::string PgPassword() { return Env("VELKIN_PG_PASSWORD"); }
// The connect string the session takes: "user/password".
inline std::string PgLogin() { return PgUser() + "/" + PgPassword(); }

// Where a server's database is; a test may point one elsewhere (another
// database, a port where nothing listens).
struct Place {
    std::string host;
    int port = 0;
    std::string database;
};

inline Place PgPlace() {
    const QUrl url(QString::fromStdString(PgUri()));
    return {url.host().toStdString(), url.port(), url.path().mid(1).toStdString()};
}
inline std::string PgHost(const Place& at) {
    return "postgresql://" + at.host + ":" + std::to_string(at.port) + "/" + at.database;
}
// The same database through psqlODBC, by a connection string naming `driver`.
inline std::string PgOdbcHost(const Place& at = PgPlace(), const std::string& driver = "PostgreSQL Unicode") {
    return "odbc:DRIVER={" + driver + "};SERVER=" + at.host + ";PORT=" + std::to_string(at.port) +
           ";DATABASE=" + at.database;
}

inline const char* kPgMissingServer =
    "VELKIN_PG_URI is not set: the PostgreSQL tests run against the cluster that "
    "scripts/run-tests.sh (make test) starts";

// ---------------------------------------------------------------------------
// MariaDB. Empty when the suite was started without a server.

inline std::string MyUri() { return Env("VELKIN_MY_URI"); }
inline std::string MyLogin() { return Env("VELKIN_MY_USER") + "/" + Env("VELKIN_MY_PASSWORD"); }
inline Place MyPlace() {
    const std::string port = Env("VELKIN_MY_PORT");
    return {"127.0.0.1", port.empty() ? 0 : std::stoi(port), Env("VELKIN_MY_DATABASE")};
}
// The server whose sessions run in a named time zone and refuse zero dates
// (scripts/mariadb-test-server.sh start-zoned); same login and database.
inline Place MyZonedPlace() {
    const std::string port = Env("VELKIN_MY_ZONED_PORT");
    return {"127.0.0.1", port.empty() ? 0 : std::stoi(port), Env("VELKIN_MY_DATABASE")};
}
inline const char* kMyMissingZonedServer =
    "VELKIN_MY_ZONED_PORT is not set: the zoned MariaDB server is started by scripts/run-tests.sh (make test)";
inline std::string MyHost(const Place& at) {
    return "mysql://" + at.host + ":" + std::to_string(at.port) + "/" + at.database;
}
// The same database through MariaDB's ODBC driver, as a connection string.
inline std::string MyOdbcHost(const Place& at = MyPlace()) {
    return "odbc:Driver=MariaDB Unicode;Server=" + at.host + ";Port=" + std::to_string(at.port) +
           ";Database=" + at.database;
}

inline const char* kMyMissingServer =
    "VELKIN_MY_URI is not set: the MariaDB tests run against the server that "
    "scripts/run-tests.sh (make test) starts";

// ---------------------------------------------------------------------------
// A connection of an engine under test

using Opened = std::unique_ptr<Connection>;

inline Opened Open(const QString& host, const QString& login, OpenOption option = OpenOption::NoLockWait) {
    Opened o = CreateConnection(host);
    o->open(host, login, option);
    return o;
}

using Values = std::vector<std::optional<QString>>;

// The current record's values.
inline Values Row(Cursor& cursor) {
    Values row;
    for (int32_t i = 0; i < cursor.columnCount(); ++i) row.push_back(cursor.value(i));
    return row;
}

// Every record of a query.
inline std::vector<Values> Read(Connection& db, const QString& sql,
                                CursorOption option = CursorOption::KeepTrailingBlanks) {
    auto cursor = db.openCursor(sql, option);
    std::vector<Values> rows;
    for (cursor->first(); !cursor->atEnd(); cursor->next()) rows.push_back(Row(*cursor));
    return rows;
}

// A column kind as row 2 names it.
inline const char* KindName(ColumnKind kind) {
    switch (kind) {
    case ColumnKind::Text: return "VARCHAR2";
    case ColumnKind::Number: return "NUMBER";
    case ColumnKind::Date: return "DATE";
    case ColumnKind::FixedChar: return "CHAR";
    case ColumnKind::Other: break;
    }
    return "ETC";
}

// What a cursor says of its columns, in one text: "name KIND/size/scale"
// with " NOT NULL" where no NULL is allowed, joined by ", ". KIND is the type
// word of row 2: VARCHAR2, NUMBER, DATE, CHAR, or ETC for anything else.
inline std::string Columns(const Cursor& cursor) {
    std::string text;
    for (int32_t i = 0; i < cursor.columnCount(); ++i) {
        const ResultColumn& c = cursor.column(i);
        text += (i ? ", " : "") + c.name.toStdString() + " " + KindName(c.kind) + "/" + std::to_string(c.size) + "/" +
                std::to_string(c.scale) + (c.nullable ? "" : " NOT NULL");
    }
    return text;
}

// ---------------------------------------------------------------------------
// A second session of its own, outside the engines under test.

class Admin {
public:
    virtual ~Admin() = default;
    // Runs a statement (several at once on PostgreSQL and SQLite); throws on an error.
    virtual void Exec(const std::string& sql) = 0;
    // All rows of a one-column query, joined by "|" ("NULL" for NULL), in the query's order.
    virtual std::string Column(const std::string& sql) = 0;
};

class PgAdmin final : public Admin {
public:
    PgAdmin() {
        if (PgUri().empty()) throw std::runtime_error(kPgMissingServer);
        const char* keys[] = {"dbname", "user", "password", "client_encoding", nullptr};
        const std::string uri = PgUri(), user = PgUser(), password = PgPassword();
        const char* values[] = {uri.c_str(), user.c_str(), password.c_str(), "UTF8", nullptr};
        conn_.reset(PQconnectdbParams(keys, values, 1));
        if (PQstatus(conn_.get()) != CONNECTION_OK)
            throw std::runtime_error(std::string("admin connection: ") + PQerrorMessage(conn_.get()));
        // "does not exist, skipping" and the like are not news in a test log.
        PQsetNoticeProcessor(conn_.get(), [](void*, const char*) {}, nullptr);
    }

    void Exec(const std::string& sql) override { Run(sql, false); }

    // First column of the first row ("" for none or NULL).
    std::string Scalar(const std::string& sql) {
        const Result result = Run(sql, true);
        if (PQntuples(result.get()) == 0 || PQgetisnull(result.get(), 0, 0)) return "";
        return PQgetvalue(result.get(), 0, 0);
    }

    std::string Column(const std::string& sql) override {
        const Result result = Run(sql, true);
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

    Result Run(const std::string& sql, bool rows) {
        Result result{PQexec(conn_.get(), sql.c_str())};
        const ExecStatusType status = PQresultStatus(result.get());
        if (status != PGRES_TUPLES_OK && (rows || status != PGRES_COMMAND_OK))
            throw std::runtime_error(sql + ": " + PQresultErrorMessage(result.get()));
        return result;
    }

    std::unique_ptr<PGconn, ConnDeleter> conn_;
};

class MyAdmin final : public Admin {
public:
    explicit MyAdmin(const Place& at = MyPlace()) : mysql_(mysql_init(nullptr)) {
        if (MyUri().empty()) throw std::runtime_error(kMyMissingServer);
        mysql_optionsv(mysql_.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
        if (!mysql_real_connect(mysql_.get(), at.host.c_str(), Env("VELKIN_MY_USER").c_str(),
                                Env("VELKIN_MY_PASSWORD").c_str(), at.database.c_str(), static_cast<unsigned>(at.port),
                                nullptr, 0))
            throw std::runtime_error(std::string("admin connection: ") + mysql_error(mysql_.get()));
        // Double-quoted names, as the engines under test read them.
        Exec("SET SESSION sql_mode = CONCAT(@@sql_mode, ',ANSI_QUOTES')");
    }

    void Exec(const std::string& sql) override {
        if (mysql_real_query(mysql_.get(), sql.data(), sql.size()) != 0)
            throw std::runtime_error(sql + ": " + mysql_error(mysql_.get()));
        if (MYSQL_RES* result = mysql_store_result(mysql_.get())) mysql_free_result(result);
    }

    std::string Column(const std::string& sql) override {
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

// A SQLite file opened directly, by the library rather than by an engine.
class SqliteAdmin final : public Admin {
public:
    explicit SqliteAdmin(const std::string& path) {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
            const std::string message = sqlite3_errmsg(db_);
            sqlite3_close(db_);
            throw std::runtime_error("cannot open " + path + ": " + message);
        }
    }
    ~SqliteAdmin() override { sqlite3_close(db_); }
    SqliteAdmin(const SqliteAdmin&) = delete;
    SqliteAdmin& operator=(const SqliteAdmin&) = delete;

    void Exec(const std::string& sql) override {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            const std::string why = message ? message : "?";
            sqlite3_free(message);
            throw std::runtime_error(sql + ": " + why);
        }
    }

    std::string Column(const std::string& sql) override {
        std::string joined;
        bool first = true;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
            throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_));
        while (sqlite3_step(statement) == SQLITE_ROW) {
            if (!first) joined += "|";
            first = false;
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
            joined += text ? std::string(text, sqlite3_column_bytes(statement, 0)) : "NULL";
        }
        const int rc = sqlite3_finalize(statement);
        if (rc != SQLITE_OK) throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_));
        return joined;
    }

private:
    sqlite3* db_ = nullptr;
};

// ---------------------------------------------------------------------------
// The tables a test makes

enum class Engine { SQLite, PostgreSQL, MariaDB };

// Tables of one test, made through an admin session under names of this
// process (the suite's programs share the servers) and dropped at the end,
// with whatever else the test registered to be undone.
class Tables {
public:
    Tables(Admin& admin, Engine engine, std::string prefix) : admin_(admin), engine_(engine), prefix_(std::move(prefix)) {}
    ~Tables() {
        for (auto undo = undo_.rbegin(); undo != undo_.rend(); ++undo) {
            try {
                admin_.Exec(*undo);
            } catch (const std::exception&) {
                // A lost object is not worth hiding the test's own failure.
            }
        }
    }
    Tables(const Tables&) = delete;
    Tables& operator=(const Tables&) = delete;

    // This process's name for `name`.
    std::string Name(const std::string& name) const { return prefix_ + name + "_" + std::to_string(getpid()); }

    // Creates the table afresh from a column list (MariaDB: `options` such as ENGINE=MyISAM).
    std::string Make(const std::string& name, const std::string& columns, const std::string& options = "") {
        const std::string table = Name(name);
        const std::string drop = "DROP TABLE IF EXISTS " + table + (engine_ == Engine::PostgreSQL ? " CASCADE" : "");
        admin_.Exec(drop);
        admin_.Exec("CREATE TABLE " + table + " (" + columns + ")" + (options.empty() ? "" : " " + options));
        undo_.push_back(drop);
        return table;
    }

    // Runs `statement` at the end, before the tables made earlier are dropped.
    void AtEnd(const std::string& statement) { undo_.push_back(statement); }

    // The standard table: a column of each kind the read tells apart, in the
    // engine's own words, and four rows of awkward values (kStandardRows).
    std::string MakeStandard(const std::string& name = "emp") {
        const std::string table = Make(name, StandardColumns(engine_));
        for (const char* row : kStandardRows) admin_.Exec("INSERT INTO " + table + " VALUES " + row);
        return table;
    }

    static std::string StandardColumns(Engine engine) {
        switch (engine) {
        case Engine::SQLite:
            return "code CHAR(5) NOT NULL, name VARCHAR2(20) NOT NULL, salary NUMBER(9,2), rate NUMBER, hired DATE, "
                   "seen TIMESTAMP, seq INTEGER NOT NULL, big INTEGER, note VARCHAR2(100)";
        case Engine::PostgreSQL:
            return "code char(5) NOT NULL, name varchar(20) NOT NULL, salary numeric(9,2), rate numeric, hired date, "
                   "seen timestamp, seq integer NOT NULL, big bigint, note varchar(100)";
        case Engine::MariaDB:
            return "code CHAR(5) NOT NULL, name VARCHAR(20) NOT NULL, salary DECIMAL(9,2), rate DECIMAL(38,10), "
                   "hired DATE, seen DATETIME, seq INT NOT NULL, big BIGINT, note VARCHAR(100)";
        }
        return {};
    }

    // Ordered by seq. CHAR values shorter than their column (and empty), text with
    // trailing blanks, '' beside NULL, numbers past a double's precision,
    // tiny and huge numbers, the first and a leap day.
    static constexpr const char* kStandardRows[] = {
        "('A0001', '山田 太郎', 1234.5, 0.1, '2024-01-31', '2024-01-31 12:34:56', 1, -9007199254740993, NULL)",
        "('AB', 'Smith  ', NULL, 1e20, NULL, NULL, 2, NULL, 'trailing   ')",
        "('C3   ', 'ｶﾀｶﾅ', -0.5, 42, '1999-12-31', '2000-02-29 00:00:00', 3, 0, '')",
        "('', '表''s', 0, 0.00000015, '0001-01-01', NULL, 4, 9223372036854775807, '  blanks kept  ')",
    };

private:
    Admin& admin_;
    Engine engine_;
    std::string prefix_;
    std::vector<std::string> undo_;
};

}  // namespace velkin::test
