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

    // The run time's own errors, numbered as the original run time numbered them.
    static constexpr int32_t kOverflow = 6;
    static constexpr int32_t kSubscriptOutOfRange = 9;
    static constexpr int32_t kTypeMismatch = 13;
    static constexpr int32_t kCannotCreateObject = 429;
    // The program's own refusal of a replace whose DELETE would reach rows of
    // other tables. The run time left the numbers above vbObjectError + 512
    // (-2147221504 + 512) to programs for errors of their own; no engine
    // reports a number in that range, so the report is never taken for the
    // server's.
    static constexpr int32_t kDeleteReachesOtherTables = -2147221504 + 513;
    // The program's own refusal of a replace that would write back, unchanged,
    // a value no literal can give back (an ENUM value outside its definition).
    static constexpr int32_t kUnwritableValue = -2147221504 + 518;

    static Error Overflow();
    static Error SubscriptOutOfRange();
    static Error TypeMismatch();
    // `detail` says which component is missing, so the user knows what to install.
    static Error CannotCreateObject(const QString& detail);

private:
    int32_t number_;
    QString description_;
    QString sqlState_;
    std::string utf8_;
};

}  // namespace velkin
