#pragma once
// Owning ODBC handles and the one way ODBC failures become velkin::Error.

#include "db/error.h"

#include <QString>

#include <sql.h>
#include <sqlext.h>

#include <utility>

namespace velkin::odbc {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the wide ODBC calls take UTF-16, as QString holds it");

// A QString as the wide ODBC calls take it (valid while `text` lives).
inline SQLWCHAR* Wide(const QString& text) {
    return reinterpret_cast<SQLWCHAR*>(const_cast<char16_t*>(reinterpret_cast<const char16_t*>(text.utf16())));
}
inline QString FromWide(const SQLWCHAR* text, qsizetype length) {
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(text), length);
}

// One environment, connection or statement handle, freed when it goes.
// A connection handle must be disconnected first; OdbcConnection does that.
template <SQLSMALLINT HandleType>
class Handle {
public:
    Handle() = default;
    explicit Handle(SQLHANDLE handle) : handle_(handle) {}
    ~Handle() { reset(); }
    Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, SQLHANDLE{})) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, SQLHANDLE{});
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    SQLHANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != SQL_NULL_HANDLE; }
    void reset() {
        if (handle_ != SQL_NULL_HANDLE) SQLFreeHandle(HandleType, handle_);
        handle_ = SQL_NULL_HANDLE;
    }

private:
    SQLHANDLE handle_ = nullptr;
};

using EnvironmentHandle = Handle<SQL_HANDLE_ENV>;
using ConnectionHandle = Handle<SQL_HANDLE_DBC>;
using StatementHandle = Handle<SQL_HANDLE_STMT>;

// The error the diagnostics of `handle` describe: the driver's native error
// number (for Oracle the ORA number) and "[SQLSTATE xxxxx] message" for each
// diagnostic record. A record without a native number (the driver manager's
// own, such as IM002) is numbered from its SQLSTATE as the PostgreSQL engine
// numbers SQLSTATEs. `lead` goes before the records when given.
Error DiagnosticError(SQLSMALLINT handleType, SQLHANDLE handle, const QString& lead = QString());

// An error of the engine's own, with the SQLSTATE that classifies it.
Error EngineError(const QString& sqlState, const QString& message);

// Throws when `sql` holds more than one statement (odbc_text.h
// HoldsSecondStatement), before anything reaches the driver: a caller passing
// one statement must never have a second one run.
void RefuseSecondStatement(const QString& sql);

// Throws the handle's diagnostics unless `rc` reports success (with or
// without information) or SQL_NO_DATA.
inline void Check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle) {
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) throw DiagnosticError(handleType, handle);
}

inline void CheckStatement(SQLRETURN rc, const StatementHandle& statement) {
    Check(rc, SQL_HANDLE_STMT, statement.get());
}

// A new statement on connection `dbc`.
StatementHandle AllocateStatement(SQLHDBC dbc);

}  // namespace velkin::odbc
