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

    // Failures the program finds itself rather than the server: a number too
    // large for its column (6), an index past the catalogue's end (9), a cell
    // that is not of its column's type (13), an engine that is not installed
    // (429). The numbers never change: a user's report quotes them.
    static constexpr int32_t kOverflow = 6;
    static constexpr int32_t kSubscriptOutOfRange = 9;
    static constexpr int32_t kTypeMismatch = 13;
    static constexpr int32_t kCannotCreateObject = 429;
    // The program's own refusals get numbers from kProgramErrorBase + 1 on, a
    // range no engine reports, so such a report is never taken for the
    // server's. The first: a replace whose DELETE would reach rows of other
    // tables.
    static constexpr int32_t kProgramErrorBase = -2147221504 + 512;
    static constexpr int32_t kDeleteReachesOtherTables = kProgramErrorBase + 1;
    // (kProgramErrorBase + 2 is kNoAnswerError, db/server_wait.h.)
    // The program's refusal of a replace whose table box names a view or a
    // foreign table: which tables its DELETE reaches cannot be known.
    static constexpr int32_t kNotAPlainTable = kProgramErrorBase + 3;
    // A connection whose server would not take the string rules the
    // program's literals rely on (PostgreSQL's standard_conforming_strings).
    static constexpr int32_t kStringRulesNotPinned = kProgramErrorBase + 4;
    // The program's own refusal of a replace that would write back, unchanged,
    // a value no literal can give back (an ENUM value outside its definition).
    static constexpr int32_t kUnwritableValue = kProgramErrorBase + 6;
    // The server ended an Update's transaction between two statements (an
    // abort nobody was told of): nothing may be committed.
    static constexpr int32_t kTransactionEnded = kProgramErrorBase + 8;

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

}  // namespace velkin
