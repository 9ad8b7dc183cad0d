#include "db/odbc/odbc_handles.h"

#include "db/odbc/odbc_text.h"

#include "db/postgres/pg_session.h"

#include <QStringList>

#include <vector>

namespace velkin::odbc {

namespace {

struct DiagnosticRecord {
    QString sqlState;
    SQLINTEGER native = 0;
    QString message;
};

// Reads record `index`; false when there is none.
bool ReadRecord(SQLSMALLINT handleType, SQLHANDLE handle, SQLSMALLINT index, DiagnosticRecord& record) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    std::vector<SQLWCHAR> message(512);
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRecW(handleType, handle, index, state, &native, message.data(),
                                  static_cast<SQLSMALLINT>(message.size()), &length);
    if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
        message.resize(static_cast<size_t>(length) + 1);
        rc = SQLGetDiagRecW(handleType, handle, index, state, &native, message.data(),
                            static_cast<SQLSMALLINT>(message.size()), &length);
    }
    if (!SQL_SUCCEEDED(rc)) return false;
    record.sqlState = FromWide(state, 5);
    record.native = native;
    const qsizetype size = std::min<qsizetype>(length, static_cast<qsizetype>(message.size()) - 1);
    record.message = FromWide(message.data(), std::max<qsizetype>(size, 0)).trimmed();
    return true;
}

QString RecordText(const DiagnosticRecord& record) {
    return QStringLiteral("[SQLSTATE %1] %2").arg(record.sqlState, record.message);
}

}  // namespace

Error DiagnosticError(SQLSMALLINT handleType, SQLHANDLE handle, const QString& lead) {
    std::vector<DiagnosticRecord> records;
    // A failed call rarely leaves more than a few; a runaway driver is cut short.
    for (SQLSMALLINT index = 1; index <= 8; ++index) {
        DiagnosticRecord record;
        if (!ReadRecord(handleType, handle, index, record)) break;
        bool repeated = false;
        for (const DiagnosticRecord& seen : records)
            repeated = repeated || (seen.sqlState == record.sqlState && seen.message == record.message);
        if (!repeated) records.push_back(std::move(record));
    }
    if (records.empty())
        return EngineError(QStringLiteral("HY000"),
                           lead.isEmpty() ? QStringLiteral("ODBC の呼び出しが失敗しましたが、ドライバは理由を返しませんでした。")
                                          : lead);

    // The first record with a native number names the failure; the driver
    // manager's own records come without one.
    const DiagnosticRecord* principal = &records.front();
    for (const DiagnosticRecord& record : records)
        if (record.native != 0) {
            principal = &record;
            break;
        }
    QStringList lines;
    if (!lead.isEmpty()) lines << lead;
    lines << RecordText(*principal);
    for (const DiagnosticRecord& record : records)
        if (&record != principal) lines << RecordText(record);
    const int32_t number = principal->native != 0 ? principal->native : PostgresErrorNumber(principal->sqlState);
    return Error(number, lines.join(QStringLiteral("\r\n")), principal->sqlState);
}

Error EngineError(const QString& sqlState, const QString& message) {
    return Error(PostgresErrorNumber(sqlState), QStringLiteral("[SQLSTATE %1] %2").arg(sqlState, message), sqlState);
}

void RefuseSecondStatement(const QString& sql) {
    if (HoldsSecondStatement(sql))
        throw EngineError(QStringLiteral("42000"), QStringLiteral("一度に実行できる SQL 文は 1 つだけです。"));
}

StatementHandle AllocateStatement(SQLHDBC dbc) {
    SQLHANDLE raw = SQL_NULL_HANDLE;
    const SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, dbc, &raw);
    if (!SQL_SUCCEEDED(rc)) throw DiagnosticError(SQL_HANDLE_DBC, dbc);
    return StatementHandle(raw);
}

}  // namespace velkin::odbc
