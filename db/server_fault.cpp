#include "db/server_fault.h"

#include "db/server_wait.h"

#include <algorithm>
#include <array>

namespace velkin {

namespace {

// One row per way a server says it: a SQLSTATE, or a number where the
// server's SQLSTATE is too general to tell (MySQL's HY000).
struct FaultCode {
    const char* sqlState;  // nullptr: any
    int32_t number;        // 0: any
    ServerFault fault;
};

constexpr std::array kFaultCodes{
    FaultCode{"55P03", 0, ServerFault::LockBusy},       // PostgreSQL: lock_not_available (NOWAIT, lock_timeout)
    FaultCode{nullptr, 1205, ServerFault::LockBusy},    // MySQL: lock wait timeout (the session waits 0 s)
    FaultCode{nullptr, 3572, ServerFault::LockBusy},    // MySQL: NOWAIT
    FaultCode{"40001", 0, ServerFault::Conflict},       // serialization failure; MySQL's 1213 deadlock
    FaultCode{"40P01", 0, ServerFault::Conflict},       // PostgreSQL: deadlock detected
    FaultCode{nullptr, 1213, ServerFault::Conflict},    // MySQL deadlock, Galera's certification conflict
    FaultCode{nullptr, 1927, ServerFault::SessionEnded},  // MariaDB: connection killed
    FaultCode{nullptr, 1053, ServerFault::SessionEnded},  // MySQL: server shutdown in progress
    FaultCode{nullptr, 2006, ServerFault::SessionEnded},  // client: server has gone away
    FaultCode{nullptr, 2013, ServerFault::SessionEnded},  // client: lost connection during query
    FaultCode{nullptr, 2055, ServerFault::SessionEnded},  // client: lost connection (extended)
    FaultCode{"57P01", 0, ServerFault::SessionEnded},   // PostgreSQL: terminated by administrator
    FaultCode{"57P02", 0, ServerFault::SessionEnded},   // crash shutdown
    FaultCode{"57P03", 0, ServerFault::SessionEnded},   // cannot connect now
    FaultCode{"08003", 0, ServerFault::SessionEnded},   // connection does not exist
    FaultCode{"08006", 0, ServerFault::SessionEnded},   // connection failure
    FaultCode{"08S01", 0, ServerFault::SessionEnded},   // ODBC: communication link failure
};

// SQLite's busy and locked results carry no SQLSTATE; their extended codes
// keep the primary one in the low byte.
constexpr int32_t kSqliteBusy = 5;
constexpr int32_t kSqliteLocked = 6;

bool IsSqliteLockError(const Error& error) {
    const int32_t primary = error.Number() & 0xff;
    if (error.Number() < 0 || (primary != kSqliteBusy && primary != kSqliteLocked)) return false;
    // The SQLite ODBC driver passes the engine's code on with a general SQLSTATE.
    return error.SqlState().isEmpty() || error.Description().contains(QLatin1String("locked"));
}

// Galera refuses the statement that makes the write set too large with the
// general "error during COMMIT" number; its text names the limit.
bool IsWriteSetLimit(const Error& error) {
    return error.Number() == 1180 && error.Description().contains(QLatin1String("wsrep_max_ws"));
}

QString LineFor(ServerFault fault) {
    switch (fault) {
    case ServerFault::LockBusy:
        return QStringLiteral("他の接続がこのテーブルを更新中です。しばらくしてからもう一度更新してください。"
                              "テーブルは変更していません。");
    case ServerFault::Conflict:
        return QStringLiteral("サーバーが他の接続との競合のため更新全体を取り消しました。"
                              "この行に誤りがあったわけではありません。テーブルは変更していません。"
                              "もう一度読込んでから更新してください。");
    case ServerFault::SessionEnded:
        return QStringLiteral("更新の途中でサーバーとの接続が切れたため、更新全体が取り消されました。"
                              "テーブルは変更していません。もう一度読込んでから更新してください。");
    case ServerFault::WriteSetLimit:
        return QStringLiteral("クラスタの書込み上限（wsrep_max_ws_rows / wsrep_max_ws_size）を超えました。"
                              "この行に誤りがあったわけではありません。テーブルは変更していません。");
    case ServerFault::None: break;
    }
    return QString();
}

const QString kOutcomeUnknown = QStringLiteral(
    "COMMIT の応答を待つ間だったため、更新が確定したかどうかは分かりません。テーブルを読み直して確かめてください。");

Error WithLine(const Error& error, const QString& line) {
    if (line.isEmpty()) return error;
    return Error(error.Number(), error.Description() + QStringLiteral("\r\n") + line, error.SqlState());
}

}  // namespace

ServerFault ServerFaultOf(const Error& error) {
    if (IsWriteSetLimit(error)) return ServerFault::WriteSetLimit;
    if (IsSqliteLockError(error)) return ServerFault::LockBusy;
    const QString& state = error.SqlState();
    const auto match = std::find_if(kFaultCodes.begin(), kFaultCodes.end(), [&](const FaultCode& code) {
        if (code.sqlState) return state == QLatin1String(code.sqlState);
        return code.number == error.Number() && state != QLatin1String("00000");
    });
    return match == kFaultCodes.end() ? ServerFault::None : match->fault;
}

Error TransactionEndedByServer() {
    return Error(Error::kTransactionEnded,
                 QStringLiteral("サーバーが更新の途中でトランザクションを終了していました（他の接続との競合など）。"),
                 QStringLiteral("25P01"));
}

Error ExplainUpdateFailure(const Error& error, bool committing) {
    if (error.isStop())
        return WithLine(error, committing ? kOutcomeUnknown
                                          : QStringLiteral("更新は取り消され、テーブルは変更していません。"));
    // Nothing after such an end was committed: the sessions keep every
    // statement inside a transaction (MySQL: autocommit off) until the COMMIT.
    if (error.Number() == Error::kTransactionEnded)
        return WithLine(error, QStringLiteral("更新全体が取り消されました。テーブルは変更していません。"
                                              "もう一度読込んでから更新してください。"));
    const ServerFault fault = ServerFaultOf(error);
    if (fault == ServerFault::SessionEnded && committing) return WithLine(error, kOutcomeUnknown);
    return WithLine(error, LineFor(fault));
}

}  // namespace velkin
