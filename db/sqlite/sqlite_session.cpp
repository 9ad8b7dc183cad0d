#include "db/sqlite/sqlite_session.h"

#include "db/error.h"
#include "db/server_fault.h"
#include "db/plain_decimal.h"
#include "db/server_wait.h"
#include "db/sqlite/declared_type.h"
#include "db/sqlite/real_text.h"
#include "db/sqlite/sqlite_handles.h"
#include "db/sqlite/to_date.h"
#include "db/table_key.h"
#include "db/date_text.h"
#include "db/utf8_text.h"
#include "db/value_forms.h"

#include <QByteArray>
#include <QFile>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace velkin {

namespace {

// A busy timeout for callers that allow waiting: long enough to ride out a
// short write by someone else, short enough never to look like a hang.
constexpr int kPatientBusyTimeoutMs = 5000;

// How many of SQLite's virtual machine steps run between two looks at the
// command's wait (ServerWait::whileWorking): a look costs a clock reading,
// and a thousand steps take some microseconds.
constexpr int kStepsBetweenLooks = 1000;

// SQLite's progress handler: a non-zero answer interrupts the statement.
int LookIn(void* wait) { return static_cast<ServerWait*>(wait)->whileWorking() ? 1 : 0; }

QString Describe(const char* message) { return QStringLiteral("SQLite: ") + QString::fromUtf8(message); }

// The connection's own report of the failure `rc`: the extended result code
// and SQLite's message. Only the user's cancel interrupts a statement (LookIn).
[[noreturn]] void ThrowSqlite(sqlite3* db, int rc) {
    if ((rc & 0xff) == SQLITE_INTERRUPT) throw ServerWait::Cancelled();
    int code = rc;
    const char* message = sqlite3_errstr(rc);
    if (db && (sqlite3_extended_errcode(db) & 0xff) == (rc & 0xff)) {
        code = sqlite3_extended_errcode(db);
        message = sqlite3_errmsg(db);
    }
    throw Error(code, Describe(message));
}

[[noreturn]] void ThrowRefused(const QString& why) { throw Error(SQLITE_ERROR, QStringLiteral("SQLite: ") + why); }

bool IsBlankByte(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

struct PreparedStatement {
    StatementHandle statement;
    // The statement's own text, without whatever followed it (kept only on request).
    QByteArray text;
};

enum class KeepText { No, Yes };

// Prepares the one statement in `sql`. A second statement after it is refused
// before anything runs: a caller passing one statement must never have a
// second one executed, nor silently dropped.
PreparedStatement PrepareSingle(sqlite3* db, const QByteArray& sql, KeepText keep = KeepText::No) {
    PreparedStatement result;
    const char* const end = sql.constData() + sql.size();
    const char* from = sql.constData();
    while (from < end) {
        // Trailing blanks need no trip through the parser (every INSERT of the
        // replace ends in one); comments and ";" still go to SQLite.
        while (from < end && IsBlankByte(*from)) ++from;
        if (from == end) break;
        sqlite3_stmt* raw = nullptr;
        const char* tail = nullptr;
        const int rc = sqlite3_prepare_v3(db, from, static_cast<int>(end - from), 0, &raw, &tail);
        StatementHandle statement(raw);
        if (rc != SQLITE_OK) {
            if (!result.statement) ThrowSqlite(db, rc);
            ThrowRefused(QStringLiteral("一度に実行できる SQL 文は 1 つだけです。"));
        }
        if (statement) {
            if (result.statement) ThrowRefused(QStringLiteral("一度に実行できる SQL 文は 1 つだけです。"));
            result.statement = std::move(statement);
            if (keep == KeepText::Yes) result.text = QByteArray(from, static_cast<qsizetype>(tail - from));
        }
        // Blanks, comments and lone ";" prepare to no statement; go on past them.
        if (!tail || tail <= from) break;
        from = tail;
    }
    if (!result.statement) ThrowRefused(QStringLiteral("SQL 文がありません。"));
    return result;
}

// Runs a statement of the program's own (BEGIN, COMMIT, ...) to its end.
void Execute(sqlite3* db, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v3(db, sql, -1, 0, &raw, nullptr);
    const StatementHandle statement(raw);
    if (rc != SQLITE_OK) ThrowSqlite(db, rc);
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) ThrowSqlite(db, rc);
}

QString Latin1Number(int64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return QString::fromLatin1(buffer, static_cast<qsizetype>(result.ptr - buffer));
}


// Well-formed UTF-8 without NUL (a NUL would end a statement's text inside a
// quoted literal): no stray continuation bytes, no overlong forms, no
// surrogates, nothing beyond U+10FFFF. A read asks it of every text cell, so
// ASCII goes eight bytes at a time.
bool IsPlainUtf8(std::string_view bytes) {
    constexpr uint64_t kHighBits = 0x8080808080808080ULL;
    constexpr uint64_t kLowBits = 0x0101010101010101ULL;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    const auto plainAscii = [&](const unsigned char* at) {
        uint64_t word;
        std::memcpy(&word, at, sizeof word);
        return !(word & kHighBits) && !((word - kLowBits) & ~word & kHighBits);
    };
    // A byte above 0x7F, or a zero byte: the byte-by-byte loop decides.
    while (end - p >= 8 && plainAscii(p)) p += 8;
    // The last few bytes as the last eight, some of them already seen.
    if (p < end && end - p < 8 && bytes.size() >= 8 && plainAscii(end - 8)) return true;
    while (p < end) {
        const unsigned c = *p;
        if (c < 0x80) {
            if (c == 0) return false;
            ++p;
            continue;
        }
        int more;
        unsigned low = 0x80, high = 0xBF;  // the second byte's range
        if (c >= 0xC2 && c <= 0xDF) more = 1;
        else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (end - p <= more) return false;
        for (int i = 1; i <= more; ++i) {
            const unsigned b = p[i];
            if (b < (i == 1 ? low : 0x80u) || b > (i == 1 ? high : 0xBFu)) return false;
        }
        p += more + 1;
    }
    return true;
}

// The length in UTF-16 units (QString's count, which CHAR padding goes by)
// of well-formed UTF-8: one per character, two for one beyond U+FFFF.
qsizetype Utf16Length(std::string_view utf8) {
    qsizetype units = 0;
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        units += (byte & 0xC0) != 0x80;
        units += byte >= 0xF0;
    }
    return units;
}

// A column declared to hold bytes: "BLOB" (any case, blanks around it).
bool IsBlobDeclaration(const char* declared) {
    return QByteArray(declared).trimmed().toUpper() == "BLOB";
}

// A column whose declared type gives it no affinity (none, or one naming
// BLOB and no INT, CHAR, CLOB or TEXT, as SQLite decides in that order): a
// value keeps the storage class it was given.
bool HasNoAffinity(const char* declared) {
    const QByteArray type = QByteArray(declared ? declared : "").toUpper();
    if (type.contains("INT") || type.contains("CHAR") || type.contains("CLOB") || type.contains("TEXT")) return false;
    return type.trimmed().isEmpty() || type.contains("BLOB");
}

[[noreturn]] void ThrowNotOpen() { ThrowRefused(QStringLiteral("データベースが開かれていません。")); }

// ----------------------------------------------------------------------------

// The statement behind a cursor and where it stands. Fields read their
// values from it, so they follow every move.
struct StepState {
    // Declared before the statement so the statement is finalized first.
    SharedDatabase connection;
    StatementHandle statement;
    bool eof = true;
    uint64_t steps = 0;  // tells one record from the next

    void Step() {
        ++steps;
        const int rc = sqlite3_step(statement.get());
        eof = rc != SQLITE_ROW;
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) ThrowSqlite(connection.get(), rc);
    }
};

// One column's value in the current row as SQLite holds it: its storage
// class and its number or bytes.
struct StoredValue {
    int type = SQLITE_NULL;
    int64_t integer = 0;
    double real = 0;
    // TEXT and BLOB: SQLite's own buffer, valid until the statement moves.
    std::string_view bytes;
};

// One column of a cursor's current row: its values follow every step.
class SqliteField final {
public:
    SqliteField(const StepState& cursor, int column, ColumnType type, bool keepTrailingBlanks, ColumnOrigin origin,
                bool keepsClass)
        : cursor_(&cursor), column_(column), type_(type), keepTrailingBlanks_(keepTrailingBlanks),
          padTo_(keepTrailingBlanks && type.kind == ColumnKind::FixedChar ? type.size : 0), origin_(std::move(origin)),
          keepsClass_(keepsClass) {}

    // A SQLite column holds values of any storage class. The cell text goes
    // back through the column's type (a number unquoted, a date as the
    // embedded TO_DATE writes it, bytes as X'..', the rest quoted); a value
    // that would come back in another class or with other bytes gets its own
    // literal here.
    std::optional<ExactValue> Exact() const {
        if (cursor_->eof) return std::nullopt;
        const StoredValue& value = Current();
        switch (value.type) {
        case SQLITE_INTEGER:
            if (type_.kind == ColumnKind::Number) return std::nullopt;
            return ExactValue{Latin1Number(value.integer)};
        case SQLITE_FLOAT: return RealExact(value.real);
        case SQLITE_TEXT: return TextExact(value.bytes);
        case SQLITE_BLOB:
            if (origin_.shape == ValueShape::Binary) return std::nullopt;
            return ExactValue{QStringLiteral("X'") + HexText(value.bytes) + QLatin1Char('\'')};
        default: return std::nullopt;
        }
    }

    std::optional<QString> Value() const {
        if (cursor_->eof) ThrowRefused(QStringLiteral("現在のレコードがありません。"));
        const StoredValue& value = Current();
        switch (value.type) {
        case SQLITE_NULL: return std::nullopt;
        case SQLITE_INTEGER: return Latin1Number(value.integer);
        case SQLITE_FLOAT: return PlainDecimalFromDouble(value.real);
        case SQLITE_TEXT: return Text(value.bytes);
        default: return HexText(value.bytes);
        }
    }

    std::optional<std::string_view> Utf8Value(std::string& scratch) const {
        if (cursor_->eof) ThrowRefused(QStringLiteral("現在のレコードがありません。"));
        const StoredValue& value = Current();
        switch (value.type) {
        case SQLITE_NULL: return std::nullopt;
        case SQLITE_INTEGER: {
            scratch.resize(24);
            const auto end = std::to_chars(scratch.data(), scratch.data() + scratch.size(), value.integer);
            scratch.resize(static_cast<size_t>(end.ptr - scratch.data()));
            return std::string_view(scratch);
        }
        case SQLITE_FLOAT: return RealText(value.real);
        case SQLITE_TEXT: {
            // SQLite's own bytes, read in place.
            const std::string_view text = value.bytes;
            if (padTo_ > 0) {
                // Padding counts characters; only ASCII text has one byte per character.
                if (!IsAscii(text)) return Converted(scratch);
                if (static_cast<qsizetype>(text.size()) >= padTo_) return text;
                scratch.assign(text);
                scratch.resize(static_cast<size_t>(padTo_), ' ');
                return std::string_view(scratch);
            }
            return keepTrailingBlanks_ ? text : WithoutTrailingBlanks(text);
        }
        default: return Converted(scratch);
        }
    }

private:
    // The current row's value, taken from SQLite once per step: the cell
    // text and the exact form are both made from it, in either order.
    const StoredValue& Current() const {
        if (currentStep_ == cursor_->steps) return current_;
        // One handle per cell; its accessors skip the statement checks that
        // each sqlite3_column_* call repeats. The connection is used by one
        // thread only (SQLITE_OPEN_NOMUTEX).
        sqlite3_value* stored = sqlite3_column_value(cursor_->statement.get(), column_);
        current_.type = sqlite3_value_type(stored);
        switch (current_.type) {
        case SQLITE_INTEGER: current_.integer = sqlite3_value_int64(stored); break;
        case SQLITE_FLOAT: current_.real = sqlite3_value_double(stored); break;
        case SQLITE_TEXT:
            current_.bytes = {reinterpret_cast<const char*>(sqlite3_value_text(stored)),
                              static_cast<size_t>(sqlite3_value_bytes(stored))};
            break;
        case SQLITE_BLOB:
            current_.bytes = {static_cast<const char*>(sqlite3_value_blob(stored)),
                              static_cast<size_t>(sqlite3_value_bytes(stored))};
            break;
        default: current_.bytes = {}; break;
        }
        currentStep_ = cursor_->steps;
        return current_;
    }

    // The value's text made into UTF-8 bytes in `scratch`.
    std::optional<std::string_view> Converted(std::string& scratch) const {
        const std::optional<QString> value = Value();
        if (!value) return std::nullopt;
        scratch.clear();
        AppendUtf8(*value, scratch);
        return std::string_view(scratch);
    }

    // Text goes back as its cell text where that gives the same bytes in the
    // same class; a value shown padded to its CHAR width goes back without
    // the padding, and the rest as it is stored.
    std::optional<ExactValue> TextExact(std::string_view bytes) const {
        if (!IsPlainUtf8(bytes)) return ExactValue{QStringLiteral("CAST(X'") + HexText(bytes) + QStringLiteral("' AS TEXT)")};
        const auto stored = [&] {
            return ExactValue{Dialect::sqlStringLiteral(QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())))};
        };
        if (type_.kind == ColumnKind::Number || origin_.shape == ValueShape::Binary) return stored();
        // A character takes a byte at least: fewer bytes than the width are fewer characters too.
        if (padTo_ > 0 && (static_cast<qsizetype>(bytes.size()) < padTo_ || Utf16Length(bytes) < padTo_)) {
            // Stripping the cell's trailing blanks gives the value back unless it ends in blanks of its own.
            if (!bytes.empty() && bytes.back() == ' ') return stored();
            return ExactValue{QString(), 0, true};
        }
        if (type_.kind == ColumnKind::Date && !DateBytesSurviveTheirCell(bytes)) return stored();
        return std::nullopt;
    }

    // A REAL goes back as its cell text in a number column, with a point
    // where the column would otherwise store an INTEGER (a column without a
    // type keeps each value's class), and through its bits where SQLite would
    // read the text as another double.
    std::optional<ExactValue> RealExact(double value) const {
        const bool numberColumn = type_.kind == ColumnKind::Number;
        // SQLite reads a number too large for a double as infinity.
        if (std::isinf(value)) return ExactValue{QString::fromLatin1(value > 0 ? "9e999" : "-9e999")};
        std::string_view text = RealText(value);
        const bool addPoint = text.find('.') == std::string_view::npos && (!numberColumn || keepsClass_);
        std::string withPoint;
        if (addPoint) text = withPoint.append(text).append(".0");
        if (!SqliteReadsBack(cursor_->connection.get(), text, value, realParts_))
            return ExactValue{RealFromBitsLiteral(value)};
        if (numberColumn && !addPoint) return std::nullopt;
        return ExactValue{QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()))};
    }

    // The current record's REAL as plain decimal, made once for both the
    // exact form and the cell text.
    std::string_view RealText(double value) const {
        if (realTextStep_ != cursor_->steps) {
            realParts_ = PlainDecimalFromDouble(value, realText_);
            realTextStep_ = cursor_->steps;
        }
        return realText_;
    }

    QString Text(std::string_view bytes) const {
        QString text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
        // SQLite stores CHAR(n) text as given; a CHAR value has n characters.
        if (padTo_ > text.size()) PadWithBlanks(text, padTo_);
        else if (!keepTrailingBlanks_) StripTrailingBlanks(text);
        return text;
    }

    const StepState* cursor_;
    int column_;
    ColumnType type_;
    bool keepTrailingBlanks_;
    qsizetype padTo_;
    ColumnOrigin origin_;
    bool keepsClass_;  // a column without affinity: each value keeps its storage class
    mutable StoredValue current_;
    mutable uint64_t currentStep_ = UINT64_MAX;
    mutable std::string realText_;
    mutable std::optional<ShortDecimalParts> realParts_;  // the decimal realText_ spells
    mutable uint64_t realTextStep_ = UINT64_MAX;
};

// Type of a result column with no declared type (an expression, or a table
// column declared without one): a number when the first row holds a number,
// otherwise variable character text of unknown size.
ColumnType UndeclaredColumnType(sqlite3_stmt* statement, int column, bool haveRow) {
    const int valueType = haveRow ? sqlite3_column_type(statement, column) : SQLITE_NULL;
    if (valueType == SQLITE_INTEGER || valueType == SQLITE_FLOAT) return MapDeclaredType("NUMBER");
    return {ColumnKind::Text, 0, 0};
}

// Whether the result column accepts NULL, from its table's column definition.
// Expressions (no table column behind them) accept NULL.
bool ColumnAcceptsNull(sqlite3* db, sqlite3_stmt* statement, int column) {
    const char* database = sqlite3_column_database_name(statement, column);
    const char* table = sqlite3_column_table_name(statement, column);
    const char* origin = sqlite3_column_origin_name(statement, column);
    if (!table || !origin) return true;
    int notNull = 0;
    if (sqlite3_table_column_metadata(db, database, table, origin, nullptr, nullptr, &notNull, nullptr, nullptr) !=
        SQLITE_OK)
        return true;
    return notNull == 0;
}

class SqliteCursor final : public Cursor {
public:
    SqliteCursor(SharedDatabase connection, PreparedStatement prepared, bool keepTrailingBlanks)
        : text_(std::move(prepared.text)) {
        cursor_.connection = std::move(connection);
        cursor_.statement = std::move(prepared.statement);
        sqlite3* db = cursor_.connection.get();
        sqlite3_stmt* statement = cursor_.statement.get();

        // Positioned on the first record from the start; this also surfaces
        // errors that only running the query reveals.
        cursor_.Step();

        const int count = sqlite3_column_count(statement);
        columns_.reserve(static_cast<size_t>(count));
        fields_.reserve(static_cast<size_t>(count));
        for (int column = 0; column < count; ++column) {
            const char* declared = sqlite3_column_decltype(statement, column);
            const ColumnType type = declared && *declared ? MapDeclaredType(declared)
                                                             : UndeclaredColumnType(statement, column, !cursor_.eof);
            ColumnOrigin origin;
            if (declared && IsBlobDeclaration(declared)) origin.shape = ValueShape::Binary;
            columns_.push_back({QString::fromUtf8(sqlite3_column_name(statement, column)), type.kind, type.size,
                                type.scale, ColumnAcceptsNull(db, statement, column), origin});
            fields_.emplace_back(cursor_, column, type, keepTrailingBlanks, std::move(origin), HasNoAffinity(declared));
        }
    }

    int32_t size() override {
        return rowCount_.get([this] { return CountRecords(); });
    }

    void first() override {
        // The step that failed has already been reported; reset's copy of it is not news.
        sqlite3_reset(cursor_.statement.get());
        cursor_.Step();
    }

    void next() override {
        // Stepping a finished statement would start it over.
        if (!cursor_.eof) cursor_.Step();
    }

    bool atEnd() const override { return cursor_.eof; }

protected:
    std::optional<QString> valueAt(size_t index) const override { return fields_[index].Value(); }
    std::optional<std::string_view> utf8ValueAt(size_t index, std::string& scratch) const override {
        return fields_[index].Utf8Value(scratch);
    }
    std::optional<ExactValue> exactAt(size_t index) const override { return fields_[index].Exact(); }

private:
    // Counts without holding any row: SQLite counts the query as a subquery,
    // on the same connection and so in the same snapshot as the records read.
    // A statement that cannot be a subquery (a PRAGMA, say) is stepped through
    // once by a second statement instead, which holds one row at a time.
    int64_t CountRecords() {
        sqlite3* db = cursor_.connection.get();
        QByteArray inner = text_;
        while (!inner.isEmpty() && (IsBlankByte(inner.back()) || inner.back() == ';')) inner.chop(1);
        // The line breaks keep a trailing "-- comment" from swallowing the ")".
        const QByteArray countSql = QByteArrayLiteral("SELECT count(*) FROM (\n") + inner + QByteArrayLiteral("\n)");
        sqlite3_stmt* raw = nullptr;
        const char* tail = nullptr;
        const int prepared =
            sqlite3_prepare_v3(db, countSql.constData(), static_cast<int>(countSql.size()), 0, &raw, &tail);
        const StatementHandle count(raw);
        if (prepared == SQLITE_OK && count && tail == countSql.constData() + countSql.size()) {
            const int rc = sqlite3_step(count.get());
            if (rc != SQLITE_ROW) ThrowSqlite(db, rc);
            return sqlite3_column_int64(count.get(), 0);
        }

        raw = nullptr;
        const int rc = sqlite3_prepare_v3(db, text_.constData(), static_cast<int>(text_.size()), 0, &raw, nullptr);
        const StatementHandle copy(raw);
        if (rc != SQLITE_OK) ThrowSqlite(db, rc);
        int64_t records = 0;
        int stepped;
        while ((stepped = sqlite3_step(copy.get())) == SQLITE_ROW) ++records;
        if (stepped != SQLITE_DONE) ThrowSqlite(db, stepped);
        return records;
    }

    StepState cursor_;
    std::vector<SqliteField> fields_;
    QByteArray text_;
    LazyRowCount rowCount_;
};

class SqliteSession final : public Connection {
public:
    void open(const QString& host, const QString& /*connect*/, OpenOption option) override {
        // The user name and password are not checked: a SQLite file has no logins.
        const QString path = ParseHost(host).target;
        // Nothing reads SQLite's memory statistics, and keeping them takes a
        // global lock on every allocation (dozens per statement prepared).
        // Only possible before SQLite's first use in the process; later it is
        // refused and changes nothing.
        static const bool statisticsOff = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
        (void)statisticsOff;
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &raw,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_EXRESCODE |
                                           // One thread uses a connection, so SQLite's locking
                                           // around every column read is pure cost.
                                           SQLITE_OPEN_NOMUTEX,
                                       nullptr);
        DatabaseHandle db(raw);
        if (rc != SQLITE_OK) {
            const char* message = db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc);
            throw Error(db ? sqlite3_extended_errcode(db.get()) : rc, Describe(message) + QStringLiteral(": ") + path);
        }
        sqlite3_extended_result_codes(db.get(), 1);
        sqlite3_busy_timeout(db.get(), option == OpenOption::NoLockWait ? 0 : kPatientBusyTimeoutMs);
        // A long statement keeps the window alive, and Esc interrupts it.
        sqlite3_progress_handler(db.get(), kStepsBetweenLooks, LookIn, &serverWait());
        if (const int registered = RegisterToDate(db.get()); registered != SQLITE_OK) ThrowSqlite(db.get(), registered);
        if (const int registered = RegisterRealFromBits(db.get()); registered != SQLITE_OK)
            ThrowSqlite(db.get(), registered);
        // Opening is lazy; reading the schema now turns a file that is not a
        // database, or one locked by another writer, into an error here.
        Execute(db.get(), "SELECT count(*) FROM sqlite_schema");

        connection_ = SharedDatabase(std::move(db));
    }

    int64_t execute(const QString& sql) override {
        // Each of an Update's many short statements ends before SQLite would
        // look in (LookIn): a look before each keeps the window alive.
        if (serverWait().whileWorking()) throw ServerWait::Cancelled();
        sqlite3* db = Open();
        const PreparedStatement prepared = PrepareSingle(db, sql.toUtf8());
        const sqlite3_int64 totalBefore = sqlite3_total_changes64(db);
        int rc;
        while ((rc = sqlite3_step(prepared.statement.get())) == SQLITE_ROW) {
        }
        if (rc != SQLITE_DONE) ThrowSqlite(db, rc);
        // sqlite3_changes64 keeps the count of the last INSERT, UPDATE or
        // DELETE; a statement that changed nothing (DDL, SELECT) processed 0 rows.
        return sqlite3_total_changes64(db) == totalBefore ? 0 : sqlite3_changes64(db);
    }

    std::unique_ptr<Cursor> openCursor(const QString& sql, CursorOption option) override {
        sqlite3* db = Open();
        PreparedStatement prepared = PrepareSingle(db, sql.toUtf8(), KeepText::Yes);
        // A cursor reads. Opening one must never change data, so a statement
        // that writes is refused before it runs.
        if (sqlite3_column_count(prepared.statement.get()) == 0)
            ThrowRefused(QStringLiteral("行を返さない SQL 文からはダイナセットを作れません。"));
        if (!sqlite3_stmt_readonly(prepared.statement.get()))
            ThrowRefused(QStringLiteral("データを変更する SQL 文からはダイナセットを作れません。"));
        const bool keepTrailingBlanks = option == CursorOption::KeepTrailingBlanks;
        return std::make_unique<SqliteCursor>(connection_, std::move(prepared), keepTrailingBlanks);
    }

    void begin() override {
        Execute(Open(), "BEGIN");
        began_ = true;
    }
    void commit() override {
        // SQLite rolls a transaction back on its own after some failures
        // (a full disk, no memory); a COMMIT then would end nothing.
        const bool ended = std::exchange(began_, false) && sqlite3_get_autocommit(Open());
        if (ended) throw TransactionEndedByServer();
        Execute(Open(), "COMMIT");
    }

    void rollback() override {
        // Called from error handlers that may not know whether a transaction began.
        began_ = false;
        if (!connection_ || sqlite3_get_autocommit(connection_.get())) return;
        Execute(connection_.get(), "ROLLBACK");
    }

    Dialect dialect() const override { return Dialect(DialectKind::SQLite); }

    void requireReplaceableTable(const QString& table) override {
        RefuseOverreach(table, TwoColumns(dialect().overreachQuery(table)));
    }

    // None while the connection has foreign keys off (SQLite's default, and
    // this engine's unless a statement of the user's turned them on): then
    // deleting a row neither reaches nor is refused by another table.
    std::vector<ReferringKey> keysReferringTo(const QString& table) override {
        const std::vector<NamePart> parts = SplitTableName(table);
        const QString schema = parts.size() > 1 ? parts[parts.size() - 2].text : QStringLiteral("main");
        std::vector<ReferringKey> keys;
        for (auto& [referring, rule] : TwoColumns(Dialect::sqliteReferringKeysQuery(schema, parts.back().text)))
            keys.push_back({std::move(referring), std::move(rule)});
        return keys;
    }

    // From the file's own catalogue, so no round trip to speak of. A view
    // has no indexes, and answers no key.
    TableKey tableKey(const QString& table, const Cursor& rows) override {
        const std::vector<NamePart> parts = SplitTableName(table);
        const QString schema = parts.size() > 1 ? parts[parts.size() - 2].text : QStringLiteral("main");
        std::vector<IndexColumnRow> indexRows;
        ForEachRow(Dialect::sqliteKeyIndexesQuery(schema, parts.back().text), [&](sqlite3_stmt* row) {
            const auto text = [row](int column) {
                return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(row, column)));
            };
            std::optional<QString> column;
            if (sqlite3_column_type(row, 2) != SQLITE_NULL) column = text(2);
            indexRows.push_back({text(0), sqlite3_column_int(row, 1) != 0, column, sqlite3_column_int(row, 3) != 0});
        });
        return {ChooseKeyColumns(IndexesOf(indexRows), ColumnNames(rows)), !keysReferringTo(table).empty()};
    }

private:
    sqlite3* Open() const {
        if (!connection_) ThrowNotOpen();
        return connection_.get();
    }

    // Runs a catalogue query, handing each row to `take`.
    template <class Take>
    void ForEachRow(const QString& query, Take take) const {
        sqlite3* db = Open();
        const QByteArray sql = query.toUtf8();
        sqlite3_stmt* raw = nullptr;
        int rc = sqlite3_prepare_v3(db, sql.constData(), static_cast<int>(sql.size()), 0, &raw, nullptr);
        const StatementHandle statement(raw);
        if (rc != SQLITE_OK) ThrowSqlite(db, rc);
        while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) take(statement.get());
        if (rc != SQLITE_DONE) ThrowSqlite(db, rc);
    }

    // The first two columns of every row of a catalogue query, as text.
    std::vector<std::pair<QString, QString>> TwoColumns(const QString& query) const {
        std::vector<std::pair<QString, QString>> rows;
        ForEachRow(query, [&rows](sqlite3_stmt* row) {
            const auto text = [row](int column) {
                return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(row, column)));
            };
            rows.emplace_back(text(0), text(1));
        });
        return rows;
    }

    SharedDatabase connection_;
    bool began_ = false;  // begin ran and nothing has ended it since
};

}  // namespace

std::unique_ptr<Connection> CreateSqliteConnection() { return std::make_unique<SqliteSession>(); }

}  // namespace velkin
