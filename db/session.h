#pragma once
// The database session interface: the four objects the commands talk to
// (session, database, dynaset, field) with only the members they use.
// Every member reports failure by throwing velkin::Error.
//
// Each engine (db/sqlite, db/postgres, db/odbc) implements these classes;
// the commands in read/ and writeback/ know nothing else about engines.

#include "db/utf8_text.h"

#include "db/error.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velkin {

// Oracle internal data type codes, the column types the commands tell apart.
namespace OraType {
constexpr int32_t kVarchar2 = 1;
constexpr int32_t kNumber = 2;
constexpr int32_t kDate = 12;
constexpr int32_t kChar = 96;
// Any other code is "ETC" to the commands; engines use this one for it.
constexpr int32_t kOther = 0;
}  // namespace OraType

// How a column's values are shown as cell text, beyond its type code.
enum class ValueShape : uint8_t {
    Plain,   // the value's own text
    Binary,  // bytes, shown as upper-case hexadecimal digits
    Bit,     // a bit string (MySQL's BIT), shown as upper-case hexadecimal digits
};

// What writing a column's values back into its table needs to know, so that
// a value nobody changed goes back exactly as it was read.
struct ColumnOrigin {
    ValueShape shape = ValueShape::Plain;
    // The column's type as a cast names it ("numeric(20,8)"), where the
    // engine's exact literals carry one (PostgreSQL); empty elsewhere.
    QString castType;
    // Computed by the database: an INSERT must leave it out.
    bool generated = false;
    // An identity column that refuses a given value unless the INSERT says
    // OVERRIDING SYSTEM VALUE (PostgreSQL's GENERATED ALWAYS).
    bool alwaysIdentity = false;
    // Its values are instants shown in the session's time zone (MySQL's
    // TIMESTAMP): a statement run in UTC takes them converted.
    bool sessionZone = false;
};

// What a statement holding a value must be sent with (ExactValue::needs).
namespace ExactNeed {
// The value's literal names the instant in UTC: the statement runs in UTC,
// and the other values of columns shown in the session's time zone
// (ColumnOrigin::sessionZone) are converted to it.
constexpr uint8_t kUtcStatement = 1;
// A zero date (0000-00-00, or a zero month or day), which a server mode may
// refuse: the statement runs with zero dates allowed.
constexpr uint8_t kZeroDates = 2;
// No literal gives the value back (an ENUM value outside its definition): an
// Update holding it unchanged is refused before it deletes anything.
constexpr uint8_t kUnwritable = 4;
}  // namespace ExactNeed

// A value's exact form, beyond its cell text.
struct ExactValue {
    // The complete SQL literal; empty when the literal of the cell text serves.
    QString literal;
    uint8_t needs = 0;  // ExactNeed bits
};

// One result column. A field follows its dynaset's current record.
class OraField {
public:
    virtual ~OraField() = default;
    virtual QString Name() const = 0;
    virtual int32_t OraIDataType() const = 0;
    // Declared size; for numbers precision + 1, so that the type text shows the precision.
    virtual int32_t Size() const = 0;
    virtual int32_t OraScale() const = 0;
    // False for a column defined NOT NULL.
    virtual bool OraNullOK() const = 0;
    // The current record's value: nullopt for SQL NULL. Numbers come in plain
    // decimal text, dates and timestamps as ISO text ("YYYY-MM-DD[ HH:MM:SS]"),
    // character data with its trailing blanks.
    virtual std::optional<QString> Value() const = 0;
    // The same value as UTF-8 bytes (db/utf8_text.h), for readers that keep
    // bytes: an engine whose values already are UTF-8 can hand them over
    // without a QString in between. The view stays valid until the dynaset
    // moves or this field is asked again; it may point into `scratch`, the
    // caller's buffer, which an engine may fill.
    virtual std::optional<std::string_view> Utf8Value(std::string& scratch) const {
        const std::optional<QString> value = Value();
        if (!value) return std::nullopt;
        scratch.clear();
        AppendUtf8(*value, scratch);
        return std::string_view(scratch);
    }

    virtual ColumnOrigin Origin() const { return {}; }
    // What it takes to write the current value back exactly, for the value
    // whose cell text cannot say it under the column's rules (a SQLite value
    // of another storage class than its column's, text that is not UTF-8, a
    // number's trailing zeros, a time in the hour a clock change repeats);
    // nullopt for every other value, NULL included.
    virtual std::optional<ExactValue> Exact() const { return std::nullopt; }
};

class OraFields {
public:
    virtual ~OraFields() = default;
    virtual int16_t Count() const = 0;
    // 0-based; an index outside 0..Count()-1 throws error 9.
    virtual OraField& Item(int32_t index) = 0;
};

// A result set opened by DbCreateDynaset.
class OraDynaset {
public:
    virtual ~OraDynaset() = default;
    virtual OraFields& Fields() = 0;
    virtual int32_t RecordCount() = 0;
    virtual void MoveFirst() = 0;
    virtual void MoveNext() = 0;
    // True past the last record ("EOF" is a macro in C++).
    virtual bool Eof() const = 0;
};

// A statement of a stream that the database refused: its tag, and the
// database's error.
class StatementRefused : public std::exception {
public:
    StatementRefused(int32_t tag, Error error) : tag_(tag), error_(std::move(error)) {}
    int32_t tag() const { return tag_; }
    const Error& error() const { return error_; }
    const char* what() const noexcept override { return error_.what(); }

private:
    int32_t tag_;
    Error error_;
};

// Statements run one after another inside the session's transaction, each
// with a tag of the caller's (the replace tags each INSERT with its grid row).
// An engine may send a statement before the answers to earlier ones have come
// back, so that a slow network costs a round trip per many statements rather
// than per statement; the statements still run in order, each exactly as
// given, and only so many are unanswered at a time.
class StatementStream {
public:
    virtual ~StatementStream() = default;
    // Sends `sql`. Throws StatementRefused for the first statement the
    // database refused, which may be this one or an earlier one; the rest
    // are not run. Any other failure (a lost connection) throws Error.
    virtual void Send(const QString& sql, int32_t tag) = 0;
    // Waits for every answer, throwing as Send does.
    virtual void Finish() = 0;
};

// Called for each statement of a stream that the database has carried out,
// in order, with its tag.
using StatementDone = std::function<void(int32_t tag)>;

class OraDatabase {
public:
    virtual ~OraDatabase() = default;
    // Runs one statement inside the session's transaction; returns rows processed.
    virtual int64_t ExecuteSQL(const QString& sql) = 0;
    // options 2: trailing blanks of character data are kept.
    virtual std::unique_ptr<OraDynaset> DbCreateDynaset(const QString& sql, int32_t options) = 0;
    // A stream for statements that all name `table` as typed (an engine may
    // batch only statements it can tell apart safely). By default each
    // statement runs at once through ExecuteSQL.
    virtual std::unique_ptr<StatementStream> OpenStatementStream(const QString& table, StatementDone done);
};

class OraSession {
public:
    virtual ~OraSession() = default;
    // connect is "user/password"; options 2: no waiting on locks held by others.
    virtual std::unique_ptr<OraDatabase> OpenDatabase(const QString& host, const QString& connect,
                                                      int32_t options) = 0;
    virtual void BeginTrans() = 0;
    virtual void CommitTrans() = 0;
    virtual void rollback() = 0;
};

// Option values the commands pass.
constexpr int32_t kOpenNoWait = 2;        // OpenDatabase
constexpr int32_t kDynasetNoBlankStrip = 2;  // DbCreateDynaset

}  // namespace velkin
