#pragma once
// The one error type of the program. Every failure that reaches the user
// (engine errors, conversion errors, grid errors) travels as a velkin::Error
// carrying a number and a description, as the error report shows them.

#include <QString>
#include <cstdint>
#include <stdexcept>

namespace velkin {

class Error : public std::exception {
public:
    Error(int32_t number, QString description, QString sqlState = QString());

    int32_t Number() const { return number_; }
    const QString& Description() const { return description_; }
    // The engine's own code (a SQLSTATE) when there is one; empty otherwise.
    const QString& SqlState() const { return sqlState_; }

    const char* what() const noexcept override { return utf8_.c_str(); }

    // The numbers of the failures the program finds itself rather than a
    // server, all of them, in one table. They never change: a user's report
    // quotes them. The numbers of an engine (a server's error code, a client
    // library's) pass through as the engine gives them and are not listed here.
    static constexpr int32_t kUnexpected = -1;           // a failure that is no Error (out of memory and the like)
    static constexpr int32_t kOverflow = 6;              // a number too large for its column
    static constexpr int32_t kOutOfMemory = 7;           // a value too large to keep in the sheet
    static constexpr int32_t kSubscriptOutOfRange = 9;   // an index past the catalogue's end
    static constexpr int32_t kTypeMismatch = 13;         // a cell that is not of its column's type
    static constexpr int32_t kCancelled = 18;            // "user interrupt": the user ended the command
    static constexpr int32_t kDiskFull = 61;             // the snapshot file: no room left
    static constexpr int32_t kPermissionDenied = 70;     // the snapshot file: not allowed
    static constexpr int32_t kFileAccess = 75;           // the snapshot file: any other failure
    static constexpr int32_t kCannotCreateObject = 429;  // an engine that is not installed
    // An Update refused because another session changed, added or removed
    // rows of the table since the read: replacing it would undo their work.
    // (The number the classic desktop databases gave for a record changed by
    // another user.)
    static constexpr int32_t kChangedSinceRead = 3197;
    // The program's own refusals get numbers from kProgramErrorBase + 1 on, a
    // range no engine reports, so such a report is never taken for the
    // server's.
    static constexpr int32_t kProgramErrorBase = -2147221504 + 512;
    // A replace whose DELETE would reach rows of other tables.
    static constexpr int32_t kDeleteReachesOtherTables = kProgramErrorBase + 1;
    // No answer from the server within the TIMEOUT setting.
    static constexpr int32_t kNoAnswer = kProgramErrorBase + 2;
    // A replace whose table box names a view or a foreign table: which
    // tables its DELETE reaches cannot be known.
    static constexpr int32_t kNotAPlainTable = kProgramErrorBase + 3;
    // A connection whose server would not take the string rules the
    // program's literals rely on (PostgreSQL's standard_conforming_strings).
    static constexpr int32_t kStringRulesNotPinned = kProgramErrorBase + 4;
    // A replace that would write back, unchanged, a value no literal can give
    // back (an ENUM value outside its definition).
    static constexpr int32_t kUnwritableValue = kProgramErrorBase + 6;
    // The server ended an Update's transaction between two statements (an
    // abort nobody was told of): nothing may be committed.
    static constexpr int32_t kTransactionEnded = kProgramErrorBase + 8;
    // An UPDATE or DELETE of an Update by key that met no row of the table,
    // or more than one.
    static constexpr int32_t kNotOneRow = kProgramErrorBase + 9;

    // Whether the command was stopped rather than refused: the user cancelled
    // it, or the server sent nothing within the TIMEOUT setting.
    bool isStop() const { return number_ == kCancelled || number_ == kNoAnswer; }

    static Error Overflow();
    static Error SubscriptOutOfRange();
    static Error TypeMismatch();
    // `detail` says which component is missing, so the user knows what to install.
    static Error CannotCreateObject(const QString& detail);
    // The server would not set `parameter` to `wanted` (it reports `reported`,
    // empty when unknown); `serverWords` is its own refusal, if any.
    static Error StringRulesNotPinned(const QString& parameter, const QString& wanted, const QString& reported,
                                      const QString& serverWords);

private:
    int32_t number_;
    QString description_;
    QString sqlState_;
    std::string utf8_;
};

// The faults of a connection's own calls that the server engines meet alike,
// each reported with the same text on every engine (SessionFaultText).
enum class SessionFault : uint8_t {
    NotConnected,  // a call before open, or after it failed
    AlreadyBegun,  // begin while the connection's transaction is open
    NotBegun,      // commit with no transaction of the connection's open
};

QString SessionFaultText(SessionFault fault);

// What an engine numbers a SessionFault with: its client library's number
// with SQLSTATE HY000 (MySQL), or a SQLSTATE whose number follows from it
// (PostgreSQL, ODBC). Each engine keeps the numbers its reports always had,
// so the same fault may carry a different number on another engine.
struct SessionFaultCode {
    int32_t number;        // 0: the SQLSTATE's own number
    const char* sqlState;
};

// Indexed by SessionFault.
inline constexpr SessionFaultCode kMySqlSessionFaults[] = {
    {2006, "HY000"},  // CR_SERVER_GONE_ERROR
    {2014, "HY000"},  // CR_COMMANDS_OUT_OF_SYNC
    {2014, "HY000"},  // CR_COMMANDS_OUT_OF_SYNC
};
inline constexpr SessionFaultCode kPostgresSessionFaults[] = {{0, "08003"}, {0, "25001"}, {0, "25P01"}};
inline constexpr SessionFaultCode kOdbcSessionFaults[] = {{0, "08003"}, {0, "25001"}, {0, "25000"}};

constexpr const SessionFaultCode& CodeOf(const SessionFaultCode (&table)[3], SessionFault fault) {
    return table[static_cast<size_t>(fault)];
}

}  // namespace velkin
