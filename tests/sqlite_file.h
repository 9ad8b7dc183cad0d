#pragma once
// A SQLite file opened directly, independent of the program's engine, to
// prepare a test's tables and check what a command left in them.

#include <QString>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

namespace velkin::testing {

using Rows = std::vector<std::vector<std::string>>;

class SqliteFile {
public:
    explicit SqliteFile(const QString& path) {
        if (sqlite3_open(path.toUtf8().constData(), &db_) != SQLITE_OK) ADD_FAILURE() << "cannot open " << path.toStdString();
    }
    ~SqliteFile() { sqlite3_close(db_); }
    SqliteFile(const SqliteFile&) = delete;
    SqliteFile& operator=(const SqliteFile&) = delete;

    void exec(const std::string& sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            ADD_FAILURE() << "SQL failed: " << (message ? message : "?") << "\n" << sql;
            sqlite3_free(message);
        }
    }
    // Every value as text; NULL as "<NULL>".
    Rows query(const std::string& sql) {
        Rows rows;
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << "prepare failed: " << sqlite3_errmsg(db_);
            return rows;
        }
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            auto& row = rows.emplace_back();
            for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
                const unsigned char* text = sqlite3_column_text(stmt, c);
                row.push_back(text ? std::string(reinterpret_cast<const char*>(text), sqlite3_column_bytes(stmt, c))
                                   : std::string("<NULL>"));
            }
        }
        sqlite3_finalize(stmt);
        return rows;
    }

private:
    sqlite3* db_ = nullptr;
};

}  // namespace velkin::testing
