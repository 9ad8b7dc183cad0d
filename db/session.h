#pragma once
// The engine interface: a connection to one database and the cursors it
// opens, with only what the commands use. Each engine (db/sqlite,
// db/postgres, db/mysql, db/odbc) implements both; the commands in read/ and
// writeback/ know nothing else about engines. Every member reports failure by
// throwing velkin::Error.

#include "db/column_type.h"
#include "db/dialect.h"
#include "db/error.h"
#include "db/server_wait.h"
#include "db/utf8_text.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velkin {

// How a column's values are shown as cell text, beyond its kind.
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
    // The value is its cell text without the trailing blanks that pad it to
    // its column's width (a CHAR value the database keeps shorter), written
    // as a quoted string. Said without a literal: in such a column most
    // values need it, and the sheet keeps it in one bit.
    bool unpadded = false;
};

// One result column, described once when its cursor opens.
struct ResultColumn {
    QString name;
    ColumnKind kind = ColumnKind::Other;
    // Declared size; for numbers precision + 1, so that the type text shows the precision.
    int32_t size = 0;
    int32_t scale = 0;
    // False for a column defined NOT NULL.
    bool nullable = true;
    ColumnOrigin origin;
};

// How a cursor hands out fixed-length character data.
enum class CursorOption : uint8_t {
    StripTrailingBlanks,
    KeepTrailingBlanks,
};

// The rows of a query, read forward from the first.
class Cursor {
public:
    virtual ~Cursor() = default;

    const std::vector<ResultColumn>& columns() const { return columns_; }
    int columnCount() const { return static_cast<int>(columns_.size()); }
    // 0-based; an index outside 0..columnCount()-1 throws error 9.
    const ResultColumn& column(int index) const { return columns_[Checked(index)]; }

    // The number of rows. Counted when first asked; an engine that cannot
    // count cheaply counts the rows themselves.
    virtual int32_t size() = 0;
    // Back to the first row.
    virtual void first() = 0;
    virtual void next() = 0;
    // True past the last row.
    virtual bool atEnd() const = 0;

    // The current row's value in column `index`: nullopt for SQL NULL.
    // Numbers come in plain decimal text, dates and timestamps as ISO text
    // ("YYYY-MM-DD[ HH:MM:SS]"), character data with its trailing blanks
    // unless the cursor strips them.
    std::optional<QString> value(int index) const { return valueAt(Checked(index)); }
    // The same value as UTF-8 bytes (db/utf8_text.h), for readers that keep
    // bytes: an engine whose values already are UTF-8 can hand them over
    // without a QString in between. The view stays valid until the cursor
    // moves or the value is asked again; it may point into `scratch`, the
    // caller's buffer, which an engine may fill.
    std::optional<std::string_view> utf8Value(int index, std::string& scratch) const {
        return utf8ValueAt(Checked(index), scratch);
    }
    // What it takes to write the current value back exactly, for the value
    // whose cell text cannot say it under the column's rules (a SQLite value
    // of another storage class than its column's, text that is not UTF-8, a
    // number's trailing zeros, a time in the hour a clock change repeats);
    // nullopt for every other value, NULL included.
    std::optional<ExactValue> exact(int index) const { return exactAt(Checked(index)); }

protected:
    virtual std::optional<QString> valueAt(size_t index) const = 0;
    virtual std::optional<std::string_view> utf8ValueAt(size_t index, std::string& scratch) const {
        const std::optional<QString> text = valueAt(index);
        if (!text) return std::nullopt;
        scratch.clear();
        AppendUtf8(*text, scratch);
        return std::string_view(scratch);
    }
    virtual std::optional<ExactValue> exactAt(size_t index) const {
        (void)index;
        return std::nullopt;
    }

    // Filled by the engine when the cursor opens; never changes afterwards.
    std::vector<ResultColumn> columns_;

private:
    size_t Checked(int index) const {
        if (index < 0 || static_cast<size_t>(index) >= columns_.size()) throw Error::SubscriptOutOfRange();
        return static_cast<size_t>(index);
    }
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
// in order, with its tag and the rows it processed (for an UPDATE on MySQL
// and MariaDB, the rows it matched, changed or not).
using StatementDone = std::function<void(int32_t tag, int64_t rows)>;

// A foreign key of another table that refers to a table, and what deleting a
// referenced row does through it.
struct ReferringKey {
    QString table;  // the referring table, with its schema when that is not the current one
    QString rule;   // ON DELETE: CASCADE, SET NULL, SET DEFAULT, NO ACTION or RESTRICT
};

// How an Update by key names the rows of a table, learnt at the read.
struct TableKey {
    // The key's columns as 0-based indices of the read cursor's columns: the
    // primary key; else, of the unique indexes that are neither partial nor on
    // expressions and whose columns are all NOT NULL, the first by name.
    // Empty when the table has none, or one of its columns is not in the cursor.
    std::vector<int> columns;
    // Foreign keys of other tables refer to the table (its keys to itself
    // are left out, as in keysReferringTo).
    bool referred = false;
};

// How an INSERT is sent that holds, unchanged, a value with exact needs
// (ExactNeed): a text before the statement, and texts around the
// literal of each column shown in the session's time zone whose value is not
// itself given in UTC. All empty where the engine needs nothing.
struct NeedsStatement {
    QString prefix;
    QString zoneBefore, zoneAfter;
};

// How a connection treats locks held by other sessions.
enum class OpenOption : uint8_t {
    WaitForLocks,
    NoLockWait,  // a statement that meets another session's lock fails at once
};

// What a connection can do beyond the operations every engine has.
enum class Feature : uint8_t {
    // KeysReferringTo sees the database's foreign keys (an ODBC driver
    // without SQLForeignKeys cannot, and answers none). Asks the server nothing.
    ListsReferringKeys,
    // An UPDATE counts every row it matched, also one whose values it left
    // as they were. MySQL and MariaDB count only changed rows unless the
    // client asks otherwise, which a driver's data source may not.
    CountsMatchedRows,
};

// A connection to one database: its statements, its cursors, its one
// transaction, and what the replace asks of the database beforehand.
class Connection {
public:
    virtual ~Connection() = default;

    // Connects to the database the host text names; `connect` is "user/password".
    virtual void open(const QString& host, const QString& connect, OpenOption option) = 0;
    // The dialect of the database opened (valid after open).
    virtual Dialect dialect() const = 0;
    virtual bool hasFeature(Feature feature) const {
        (void)feature;
        return true;
    }

    // Runs one statement inside the transaction; returns the rows processed.
    virtual int64_t execute(const QString& sql) = 0;
    virtual std::unique_ptr<Cursor> openCursor(const QString& sql, CursorOption option) = 0;
    // A cursor whose size() the caller asks for at once (a read's main query):
    // an engine may count its rows in the round trip that opens it.
    virtual std::unique_ptr<Cursor> openCursorToCount(const QString& sql, CursorOption option) {
        return openCursor(sql, option);
    }
    // A stream for statements that all name `table` as typed (an engine may
    // batch only statements it can tell apart safely). By default each
    // statement runs at once through execute.
    virtual std::unique_ptr<StatementStream> openStatementStream(const QString& table, StatementDone done);

    virtual void begin() = 0;
    virtual void commit() = 0;
    // Called from failure handlers that may not know whether anything began.
    virtual void rollback() = 0;

    // Where the connection waits for its server (db/server_wait.h); set before
    // open, and outliving the connection. Without one it waits as a blocking
    // call would. Wrappers pass it on to the connection they wrap.
    virtual void setServerWait(ServerWait* wait) { wait_ = wait; }

    // Throws when the table box's `table` names something whose DELETE
    // reaches beyond its own rows, so that a replace is refused before it
    // deletes anything: a view or a foreign table (Error::kNotAPlainTable),
    // a table that others inherit from or that has a DELETE or INSERT rule
    // (Error::kDeleteReachesOtherTables). Called inside the transaction,
    // before the other checks. Engines that cannot tell accept every table.
    virtual void requireReplaceableTable(const QString& table) { (void)table; }

    // Throws when changes to `table` could not be rolled back (a MySQL table
    // whose storage engine has no transactions, MyISAM say), so that a replace
    // is refused before it deletes anything. Called inside the transaction.
    // Engines whose tables always roll back accept every table.
    virtual void requireTransactionalTable(const QString& table) { (void)table; }

    // The foreign keys of other tables that refer to `table` (the table box's
    // text, as the DELETE will use it), from the catalogue of the database.
    // A table's keys to itself are left out: the rows they reach are the
    // table's own, which a replace deletes anyway. Throws when the catalogue
    // cannot be read. Engines that cannot tell answer none (and lack
    // Feature::ListsReferringKeys).
    virtual std::vector<ReferringKey> keysReferringTo(const QString& table) {
        (void)table;
        return {};
    }

    // The key of `table` (the table box's text) and whether other tables
    // refer to it, for a read whose cursor `rows` holds SELECT * of the
    // table. Engines answer from what opening the cursor already fetched
    // where they can, so that the read makes no round trip of its own for
    // it. Throws when the catalogue cannot be read. Engines that cannot tell
    // answer no key, and the Update replaces the table.
    virtual TableKey tableKey(const QString& table, const Cursor& rows) {
        (void)table;
        (void)rows;
        return {};
    }

    // Whether the transaction begin() began is still the one open, asked
    // when a statement of it failed: a server that aborted it between two
    // statements without a word (MariaDB) lets the next ones run in a
    // transaction of their own, where they fail for reasons of their own (a
    // key of a row the abort brought back). May undo the transaction's work;
    // the caller rolls back next. Engines that cannot lose it so answer true.
    virtual bool holdsTransaction() { return true; }

    // The statement form for values with the ExactNeed bits `needs`, asked
    // inside the replace's transaction. Throws when the server cannot be asked.
    virtual NeedsStatement statementForNeeds(uint8_t needs) {
        (void)needs;
        return {};
    }

    // Throws error Error::kDeleteReachesOtherTables, naming the tables and
    // their rules, when deleting the rows of `table` would delete or change
    // rows of other tables (ON DELETE CASCADE, SET NULL, SET DEFAULT): a
    // replace must change no table but its own. Called inside the replace's
    // transaction, before the DELETE.
    void requireNoDestructiveReferences(const QString& table);

    // A line for the report of a refused DELETE of `table`, naming the tables
    // whose keys refer to it, or empty when there are none or the catalogue
    // cannot be read. Never throws. On PostgreSQL a failed statement leaves
    // the transaction unable to run any other, so call it after the rollback.
    QString referringTablesNote(const QString& table);

protected:
    // Throws for what an overreach query (Dialect::overreachQuery) found for
    // `table`: rows of a kind word and a name. No rows: returns.
    static void RefuseOverreach(const QString& table, const std::vector<std::pair<QString, QString>>& found);

    ServerWait& serverWait() const { return wait_ ? *wait_ : ServerWait::Unattended(); }

private:
    ServerWait* wait_ = nullptr;
};

}  // namespace velkin
