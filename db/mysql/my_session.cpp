#include "db/mysql/my_session.h"

#include "db/server_fault.h"

#include "db/error.h"
#include "db/login.h"
#include "db/field_list.h"
#include "db/mysql/my_address.h"
#include "db/mysql/my_transactional.h"
#include "db/plain_decimal.h"

#include <errmsg.h>
#include <mysqld_error.h>
#include <mysql.h>
#include <mysql/plugin_auth.h>

#include <QByteArray>
#include <QDateTime>
#include <QTimeZone>

#include <cstdarg>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace velkin {

namespace {

struct MysqlDeleter {
    void operator()(MYSQL* mysql) const { mysql_close(mysql); }
};
struct ResultDeleter {
    void operator()(MYSQL_RES* result) const { mysql_free_result(result); }
};
using MysqlPtr = std::unique_ptr<MYSQL, MysqlDeleter>;
using ResultPtr = std::unique_ptr<MYSQL_RES, ResultDeleter>;

constexpr unsigned kConnectTimeoutSeconds = 10;
// The connector's own numbers for the failures the engine reports itself
// (its out-of-memory is not the sheet's Error::kOutOfMemory).
constexpr int32_t kClientOutOfMemory = CR_OUT_OF_MEMORY;
constexpr int32_t kNotConnected = CR_SERVER_GONE_ERROR;
constexpr int32_t kNoCurrentRecord = CR_NO_DATA;
constexpr int32_t kOutOfOrder = CR_COMMANDS_OUT_OF_SYNC;  // a transaction call in the wrong order
constexpr int32_t kNoResultSet = CR_NO_STMT_METADATA;     // a dynaset of a statement without rows
constexpr int32_t kBadOption = CR_UNKNOWN_HOST;
// Binary strings carry the character set number 63 ("binary").
constexpr unsigned kBinaryCharset = 63;
constexpr int32_t kUnboundedPrecision = 38;
// Unread rows a closing dynaset still lets arrive (at most a fraction of a
// second); with more it drops the connection instead.
constexpr int64_t kRowsWorthDraining = 10000;

Error MakeError(int32_t number, const QString& sqlState, const QString& message) {
    return Error(number, QStringLiteral("SQLSTATE %1: %2").arg(sqlState, message), sqlState);
}

Error ConnectionError(MYSQL* mysql) {
    return MakeError(static_cast<int32_t>(mysql_errno(mysql)), QString::fromLatin1(mysql_sqlstate(mysql)),
                     QString::fromUtf8(mysql_error(mysql)).trimmed());
}

Error EngineError(int32_t number, const QString& message) { return MakeError(number, QStringLiteral("HY000"), message); }

// The stack the connector's non-blocking calls run on. Its default (60 KiB)
// leaves little room for a TLS handshake.
constexpr size_t kAsyncStackBytes = 256 * 1024;

// Runs one of the connector's calls in its non-blocking form, waiting for the
// socket through the command's wait. `start` begins the call and returns what
// it waits for (MYSQL_WAIT_*), `proceed(ready)` goes on once that is there.
// On a stop `drop` ends the connection; the call then fails at once, is led
// to its end (so the connector holds nothing of it), and the stop is thrown.
template <class Start, class Proceed, class Drop>
void Await(MYSQL* mysql, ServerWait& wait, Start start, Proceed proceed, Drop drop) {
    int status = start();
    while (status != 0) {
        short events = 0;
        if (status & MYSQL_WAIT_READ) events |= POLLIN;
        if (status & MYSQL_WAIT_WRITE) events |= POLLOUT;
        if (status & MYSQL_WAIT_EXCEPT) events |= POLLPRI;
        const int timer = (status & MYSQL_WAIT_TIMEOUT) ? static_cast<int>(mysql_get_timeout_value_ms(mysql)) : -1;
        switch (wait.forSocket(static_cast<int>(mysql_get_socket(mysql)), events, timer)) {
        case ServerWait::Outcome::Ready:
            status = proceed(status & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE | MYSQL_WAIT_EXCEPT));
            break;
        case ServerWait::Outcome::EngineTimer: status = proceed(MYSQL_WAIT_TIMEOUT); break;
        case ServerWait::Outcome::Stop:
            drop();
            // The socket is shut: every read and write fails now.
            for (int step = 0; status != 0 && step < 1000; ++step) status = proceed(MYSQL_WAIT_READ | MYSQL_WAIT_WRITE);
            wait.throwStop();
        }
    }
}

class MyDynaset;

// The savepoint that marks the session's transaction (MySession::BeginTrans).
const QByteArray kTransactionMark = "SAVEPOINT velkin_update";

// A result column as the server describes a prepared query.
struct PreparedColumn {
    QByteArray name;
    enum_field_types type;
    unsigned flags;
};

// The connection and its transaction state, shared by the session, the
// database object and every open dynaset, so that it lives as long as the
// longest of them.
class MyConnection {
public:
    // `reopen` makes a fresh connection like the first, set up the same way;
    // `openQuietly` one that never hands control to the window (for a second
    // thread).
    using Opener = std::function<MysqlPtr(ServerWait&)>;
    MyConnection(MysqlPtr mysql, Opener reopen, ServerWait& wait)
        : mysql_(std::move(mysql)), reopen_(std::move(reopen)), wait_(wait) {}

    MYSQL* get() const { return mysql_.get(); }
    ServerWait& wait() const { return wait_; }

    // Sends one statement, first draining the stream a dynaset may be reading
    // (the protocol carries one result at a time). The result, if any, is
    // the caller's to take.
    void Send(const QByteArray& sql);

    // Drains the stream a dynaset may be reading, so the connection is free.
    void Claim();

    // Stops the unread rest of a result from crossing the network: the
    // protocol has no way to end a result early but to drop the connection.
    // The next command opens a fresh one. Only for a moment when no
    // transaction holds anything that a dropped connection would lose.
    void Abandon() noexcept {
        mariadb_cancel(get());
        abandoned_ = true;
    }

    // Ends the connection at once when the command stops: the server is told
    // to end it (KILL, from a second connection on a thread of its own, since
    // a silent server would hold that too), and the socket is shut, so
    // nothing more is waited for. The server rolls back the open transaction.
    void Drop() noexcept {
        if (dropped_) return;
        dropped_ = true;
        MYSQL* mysql = get();
        const unsigned long id = mysql_thread_id(mysql);
        try {
            std::thread([open = reopen_, id] {
                try {
                    const MysqlPtr killer = open(ServerWait::Unattended());
                    mysql_kill(killer.get(), id);
                } catch (...) {
                    // The socket is shut anyway; the server ends the session when it notices.
                }
            }).detach();
        } catch (...) {
        }
        shutdown(static_cast<int>(mysql_get_socket(mysql)), SHUT_RDWR);
    }

    // The connector's call in its non-blocking form (see Await).
    template <class Start, class Proceed>
    void Call(Start start, Proceed proceed) {
        if (dropped_)
            throw EngineError(CR_SERVER_LOST, QStringLiteral("サーバーとの接続を切りました。確定していない変更はサーバーが破棄します。"));
        Await(get(), wait_, start, proceed, [this] { Drop(); });
    }

    // Sends a statement without reading its answer: several may go before
    // any answer is read (the server takes them in turn), each answer then
    // read in order with ReadAnswer. One round trip for all.
    void SendAhead(const QByteArray& sql) {
        int rc = 0;
        MYSQL* m = get();
        Call([&] { return mysql_send_query_start(&rc, m, sql.constData(), static_cast<unsigned long>(sql.size())); },
             [&](int ready) { return mysql_send_query_cont(&rc, m, ready); });
        if (rc != 0) throw ConnectionError(m);
    }

    // Reads the answer to the next statement sent ahead: true when it ran
    // (its rows, if any, are the caller's to take), false when the server
    // refused it (the first refusal goes to `refusal`). A lost connection throws.
    bool ReadAnswer(std::optional<Error>& refusal) {
        my_bool failed = 0;
        MYSQL* m = get();
        Call([&] { return mysql_read_query_result_start(&failed, m); },
             [&](int ready) { return mysql_read_query_result_cont(&failed, m, ready); });
        if (!failed) {
            // The connector keeps a refusal of an earlier statement sent
            // ahead as its last error until the next command: it is not this one's.
            m->net.last_errno = 0;
            m->net.last_error[0] = '\0';
            std::strcpy(m->net.sqlstate, "00000");
            RequireTransactionKept();
            return true;
        }
        const unsigned number = mysql_errno(m);
        if (number == CR_SERVER_LOST || number == CR_SERVER_GONE_ERROR || number == CR_SERVER_LOST_EXTENDED)
            throw ConnectionError(m);
        if (!refusal) refusal = ConnectionError(m);
        return false;
    }

    // Sends `statements` one after another, after the deferred ones, whose
    // answers are read and let go; the answers to `statements` are the
    // caller's to read, in order.
    void SendGroup(const std::vector<QByteArray>& statements) {
        Claim();
        const std::vector<QByteArray> deferred = std::exchange(deferred_, {});
        for (const QByteArray& sql : deferred) SendAhead(sql);
        for (const QByteArray& sql : statements) SendAhead(sql);
        for (size_t i = 0; i < deferred.size(); ++i) {
            std::optional<Error> ignored;
            if (ReadAnswer(ignored) && mysql_field_count(get()) > 0) {
                ResultPtr dropped{mysql_use_result(get())};
                FreeResult(dropped);
            }
        }
    }

    // A statement whose answer nobody waits for (the COMMIT that ends the
    // dynasets' transaction when it only read): it goes with the next
    // statement, in its round trip, or with the connection when none follows.
    void Defer(QByteArray sql) { deferred_.push_back(std::move(sql)); }

    void RealQuery(const QByteArray& sql) {
        int rc = 0;
        MYSQL* m = get();
        Call([&] { return mysql_real_query_start(&rc, m, sql.constData(), static_cast<unsigned long>(sql.size())); },
             [&](int ready) { return mysql_real_query_cont(&rc, m, ready); });
        if (rc != 0) throw ConnectionError(m);
        RequireTransactionKept();
    }

    // The next row of a result being streamed; null at its end or on an error.
    MYSQL_ROW FetchRow(MYSQL_RES* result) {
        MYSQL_ROW row = nullptr;
        Call([&] { return mysql_fetch_row_start(&row, result); },
             [&](int ready) { return mysql_fetch_row_cont(&row, result, ready); });
        return row;
    }

    // Frees a result, reading through whatever of it has not arrived yet.
    void FreeResult(ResultPtr& result) {
        if (!result) return;
        // A shut socket has nothing more to give.
        if (dropped_) {
            result.reset();
            return;
        }
        MYSQL_RES* r = result.release();
        Call([&] { return mysql_free_result_start(r); }, [&](int ready) { return mysql_free_result_cont(r, ready); });
    }

    // The next result of a text holding several statements: 0 when there is
    // one, -1 at the end, above 0 for an error.
    int NextResult() {
        int rc = 0;
        MYSQL* m = get();
        Call([&] { return mysql_next_result_start(&rc, m); }, [&](int ready) { return mysql_next_result_cont(&rc, m, ready); });
        if (rc == 0) RequireTransactionKept();
        return rc;
    }

    // After an abort (a deadlock, a cluster's certification conflict) the
    // server ends the transaction, and every later statement answers OK and
    // is committed on its own. So each answer inside the session's
    // transaction must show it still open; an error packet carries no status,
    // but the session stops at an error anyway.
    void RequireTransactionKept() const {
        if (owner != Owner::Session) return;
        unsigned int status = 0;
        if (mariadb_get_infov(get(), MARIADB_CONNECTION_SERVER_STATUS, &status) != 0) return;
        if (!(status & SERVER_STATUS_IN_TRANS)) throw TransactionEndedByServer();
    }

    void SetServerOption(enum_mysql_set_option option) {
        int rc = 0;
        MYSQL* m = get();
        Call([&] { return mysql_set_server_option_start(&rc, m, option); },
             [&](int ready) { return mysql_set_server_option_cont(&rc, m, ready); });
        if (rc != 0) throw ConnectionError(m);
    }

    // Throws unless `sql` is one statement that returns rows. The server
    // prepares it without running it, so a statement that writes is refused
    // before it changes anything. Returns the result's columns.
    std::vector<PreparedColumn> RequireQuery(const QByteArray& sql);

    // Runs a statement of the program's own and drops whatever it returns.
    void Run(const QByteArray& sql) {
        Send(sql);
        if (mysql_field_count(get()) > 0) {
            ResultPtr dropped{mysql_use_result(get())};
            FreeResult(dropped);
        }
    }

    // Runs statements of the program's own in one round trip, dropping what
    // they return; throws the first refusal, after every answer is read.
    void RunGroup(const std::vector<QByteArray>& statements) {
        SendGroup(statements);
        std::optional<Error> refused;
        for (size_t i = 0; i < statements.size(); ++i) {
            if (ReadAnswer(refused) && mysql_field_count(get()) > 0) {
                ResultPtr dropped{mysql_use_result(get())};
                FreeResult(dropped);
            }
        }
        if (refused) throw *refused;
    }

    // Reads the rows of the statement just sent through, counting them.
    int64_t CountRows() {
        if (mysql_field_count(get()) == 0) return 0;
        ResultPtr rows{mysql_use_result(get())};
        if (!rows) throw ConnectionError(get());
        int64_t records = 0;
        while (FetchRow(rows.get())) ++records;
        if (mysql_errno(get()) != 0) throw ConnectionError(get());
        return records;
    }

    // The statement's whole result, for the small ones of the program's own.
    ResultPtr Stored(const QByteArray& sql) {
        Send(sql);
        MYSQL_RES* stored = nullptr;
        MYSQL* m = get();
        Call([&] { return mysql_store_result_start(&stored, m); },
             [&](int ready) { return mysql_store_result_cont(&stored, m, ready); });
        ResultPtr result{stored};
        if (!result && mysql_errno(m) != 0) throw ConnectionError(m);
        return result;
    }

    void SetStreaming(MyDynaset* dynaset) { streaming_ = dynaset; }
    void StreamEnded(const MyDynaset* dynaset) {
        if (streaming_ == dynaset) streaming_ = nullptr;
    }

    // Who opened the transaction now open: the session's BeginTrans, or the dynasets.
    enum class Owner { None, Session, Dynasets };
    Owner owner = Owner::None;
    int dynasetCount = 0;
    // A statement ran inside the dynasets' own transaction; their last one commits it.
    bool changedInDynasetTransaction = false;

private:
    MysqlPtr mysql_;
    Opener reopen_;
    ServerWait& wait_;
    MyDynaset* streaming_ = nullptr;
    bool abandoned_ = false;
    bool dropped_ = false;
    std::vector<QByteArray> deferred_;
};

enum class ValueForm { AsText, PlainDecimal, PaddedChar, Hex };

struct ColumnType {
    int32_t code = OraType::kOther;
    int32_t size = 0;
    int32_t scale = 0;
    ValueForm form = ValueForm::AsText;
};

int32_t Characters(const MYSQL_FIELD& field) {
    const MARIADB_CHARSET_INFO* charset = mariadb_get_charset_by_nr(field.charsetnr);
    const unsigned long perChar = charset && charset->char_maxlen > 0 ? charset->char_maxlen : 1;
    const unsigned long characters = field.length / perChar;
    return static_cast<int32_t>(std::min<unsigned long>(characters, std::numeric_limits<int32_t>::max()));
}

ColumnType DescribeColumn(const MYSQL_FIELD& field) {
    const bool isUnsigned = (field.flags & UNSIGNED_FLAG) != 0;
    const bool binary = field.charsetnr == kBinaryCharset;
    // Integers print plainly; their size is the precision of the type's range, plus one.
    auto integer = [](int32_t precision) { return ColumnType{OraType::kNumber, precision + 1, 0, ValueForm::AsText}; };
    switch (field.type) {
    case MYSQL_TYPE_TINY: return integer(3);
    case MYSQL_TYPE_SHORT: return integer(5);
    case MYSQL_TYPE_INT24: return integer(isUnsigned ? 8 : 7);
    case MYSQL_TYPE_LONG: return integer(10);
    case MYSQL_TYPE_LONGLONG: return integer(isUnsigned ? 20 : 19);
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL: {
        // The width counts the point and, for signed columns, the sign.
        const long width = static_cast<long>(field.length) - (field.decimals > 0 ? 1 : 0) - (isUnsigned ? 0 : 1);
        const int32_t precision = width > 0 ? static_cast<int32_t>(width) : kUnboundedPrecision;
        return {OraType::kNumber, precision + 1, static_cast<int32_t>(field.decimals), ValueForm::PlainDecimal};
    }
    // Binary floating point is a number like any other, shown in plain decimal
    // (the server writes 1e20 with an exponent).
    case MYSQL_TYPE_FLOAT:
    case MYSQL_TYPE_DOUBLE: return {OraType::kNumber, kUnboundedPrecision + 1, 0, ValueForm::PlainDecimal};
    // Sizes as Oracle gives them for DATE and TIMESTAMP; the commands do not use them.
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE: return {OraType::kDate, 7, 0, ValueForm::AsText};
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP: return {OraType::kDate, 11, 0, ValueForm::AsText};
    case MYSQL_TYPE_STRING:
        if (binary) return {OraType::kOther, static_cast<int32_t>(field.length), 0, ValueForm::Hex};
        if (field.flags & (ENUM_FLAG | SET_FLAG)) return {OraType::kOther, Characters(field), 0, ValueForm::AsText};
        // The server drops a CHAR value's trailing blanks; a CHAR value has all its characters.
        return {OraType::kChar, Characters(field), 0, ValueForm::PaddedChar};
    case MYSQL_TYPE_VARCHAR:
    case MYSQL_TYPE_VAR_STRING:
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
        if (binary) return {OraType::kOther, static_cast<int32_t>(std::min<unsigned long>(field.length, std::numeric_limits<int32_t>::max())), 0, ValueForm::Hex};
        return {OraType::kVarchar2, Characters(field), 0, ValueForm::AsText};
    case MYSQL_TYPE_BIT:
    case MYSQL_TYPE_GEOMETRY: return {OraType::kOther, 0, 0, ValueForm::Hex};
    default: return {OraType::kOther, 0, 0, ValueForm::AsText};
    }
}

// A value the cell text alone cannot say exactly comes with a second
// expression of the same column (its companion), fetched beside it:
//   Instant   a TIMESTAMP: its instant (UNIX_TIMESTAMP) where the session's
//             time zone would read its text as another (the hour a clock
//             change repeats), else NULL;
//   Outside   an ENUM: 1 for a value outside its definition (index 0), else NULL;
//   Single    a FLOAT: the value as a double where the server's text (six
//             digits) reads back as another FLOAT, else NULL.
enum class Companion : uint8_t { None, Instant, Outside, Single };

struct Column {
    QString name;
    ColumnType type;
    bool nullOk = true;
    ColumnOrigin origin;
    bool date = false;      // DATE, DATETIME or TIMESTAMP: may hold a zero date
    Companion companion = Companion::None;
    size_t companionAt = 0;  // its index in the row
};

ColumnOrigin OriginOf(const MYSQL_FIELD& field, const ColumnType& type) {
    ColumnOrigin origin;
    if (field.type == MYSQL_TYPE_BIT) origin.shape = ValueShape::Bit;
    else if (type.form == ValueForm::Hex) origin.shape = ValueShape::Binary;
    origin.sessionZone = field.type == MYSQL_TYPE_TIMESTAMP;
    return origin;
}

Companion CompanionOf(const PreparedColumn& column) {
    if (column.type == MYSQL_TYPE_TIMESTAMP) return Companion::Instant;
    if (column.flags & ENUM_FLAG) return Companion::Outside;
    if (column.type == MYSQL_TYPE_FLOAT) return Companion::Single;
    return Companion::None;
}

// The companions go after "SELECT *" of a query the program builds itself
// (SELECT * FROM table ...), where the column names are the table's own;
// any other query is left as it is.
QByteArray WithCompanions(const QByteArray& sql, const std::vector<PreparedColumn>& columns) {
    static const QByteArray kAll = "SELECT *";
    if (!sql.startsWith(kAll + " FROM ")) return sql;
    QByteArray list;
    for (const PreparedColumn& column : columns) {
        // Named, so that the count's derived table has no two columns alike.
        const QByteArray alias = " AS \"velkin_companion_" + QByteArray::number(static_cast<qsizetype>(&column - columns.data())) + '"';
        QByteArray name = column.name;
        name.replace('"', "\"\"");
        name = '"' + name + '"';
        switch (CompanionOf(column)) {
        case Companion::None: continue;
        case Companion::Instant:
            list += ", IF(UNIX_TIMESTAMP(" + name + ") <=> UNIX_TIMESTAMP(CAST(" + name +
                    " AS DATETIME(6))), NULL, UNIX_TIMESTAMP(" + name + "))" + alias;
            break;
        case Companion::Outside: list += ", IF(" + name + " + 0 = 0, 1, NULL)" + alias; break;
        case Companion::Single:
            list += ", IF(CAST(CAST(" + name + " AS CHAR) AS FLOAT) = " + name + ", NULL, " + name + " + 0e0)" + alias;
            break;
        }
    }
    if (list.isEmpty()) return sql;
    return kAll + list + sql.mid(kAll.size());
}

// "1729992600[.fraction]" as UTC text, quoted: '2024-10-27 01:30:00[.fraction]'.
QString UtcLiteral(std::string_view epoch) {
    const size_t point = epoch.find('.');
    const qint64 seconds = QByteArray(epoch.data(), static_cast<qsizetype>(std::min(point, epoch.size()))).toLongLong();
    QString text = QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc()).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (point != std::string_view::npos) text += QString::fromLatin1(epoch.substr(point).data(), static_cast<qsizetype>(epoch.size() - point));
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

// A date with a zero year, month or day ("0000-00-00", "2024-00-15").
bool IsZeroDate(std::string_view text) {
    if (text.size() < 10 || text[4] != '-' || text[7] != '-') return false;
    return text.substr(0, 4) == "0000" || text.substr(5, 2) == "00" || text.substr(8, 2) == "00";
}

// A result set streamed from the server one row at a time.
class MyDynaset final : public OraDynaset {
public:
    MyDynaset(std::shared_ptr<MyConnection> connection, const QString& sql, bool keepTrailingBlanks)
        : connection_(std::move(connection)), sql_(sql.toUtf8()), keepTrailingBlanks_(keepTrailingBlanks) {
        MyConnection& c = *connection_;
        // A dynaset reads: opening one must never change data.
        const std::vector<PreparedColumn> prepared = c.RequireQuery(sql_);
        if (QByteArray withCompanions = WithCompanions(sql_, prepared); withCompanions != sql_) {
            try {
                c.RequireQuery(withCompanions);
                sql_ = std::move(withCompanions);
                companions_ = true;
            } catch (const Error& error) {
                // A name the companions cannot use as written (a join's
                // ambiguous column): the values go without them.
                if (error.isStop()) throw;
            }
        }
        std::vector<QByteArray> opening;
        if (c.owner == MyConnection::Owner::None) {
            // The count and the rows must come from one snapshot.
            opening = {"SET TRANSACTION ISOLATION LEVEL REPEATABLE READ", "START TRANSACTION WITH CONSISTENT SNAPSHOT"};
            c.owner = MyConnection::Owner::Dynasets;
            c.changedInDynasetTransaction = false;
        }
        ++c.dynasetCount;
        try {
            Open(opening);
            MYSQL_RES* result = stream_.get();
            const unsigned n = mysql_num_fields(result);
            if (n > static_cast<unsigned>(std::numeric_limits<int16_t>::max())) throw Error::Overflow();
            MYSQL_FIELD* fields = mysql_fetch_fields(result);
            width_ = n;
            // The companions come last, one per column that has one, in column order.
            size_t visible = n;
            for (size_t i = 0, counted = 0; companions_ && i < n; ++i) {
                if (i + counted == n) {
                    visible = i;
                    break;
                }
                if (CompanionOf({{}, fields[i].type, fields[i].flags}) != Companion::None) ++counted;
            }
            columns_.reserve(visible);
            fields_.fields_.reserve(visible);
            size_t companionAt = visible;
            for (unsigned i = 0; i < visible; ++i) {
                const ColumnType type = DescribeColumn(fields[i]);
                Column column{QString::fromUtf8(fields[i].name, fields[i].name_length), type,
                              (fields[i].flags & NOT_NULL_FLAG) == 0, OriginOf(fields[i], type)};
                column.date = type.code == OraType::kDate;
                if (companions_) column.companion = CompanionOf({{}, fields[i].type, fields[i].flags});
                if (column.companion != Companion::None) column.companionAt = companionAt++;
                columns_.push_back(std::move(column));
                fields_.fields_.emplace_back(this, i);
            }
            Fetch();
        } catch (...) {
            Close();
            throw;
        }
    }

    ~MyDynaset() override { Close(); }

    OraFields& Fields() override { return fields_; }

    int32_t RecordCount() override {
        if (count_ > std::numeric_limits<int32_t>::max()) throw Error::Overflow();
        return static_cast<int32_t>(count_);
    }

    void MoveFirst() override {
        if (position_ == 0 && !eof_) return;  // on the first record already
        Execute();
        Fetch();
    }

    void MoveNext() override {
        if (eof_) return;
        if (!stream_) Resume();
        Fetch();
    }

    bool Eof() const override { return eof_; }

    // Called by the connection before it sends anything else: the rest of the
    // stream is drained, and the current record kept for the fields.
    void Suspend() {
        if (!stream_) return;
        if (!eof_) {
            held_.clear();
            for (size_t i = 0; i < width_; ++i)
                held_.push_back(row_[i] ? std::optional<QByteArray>(QByteArray(row_[i], static_cast<qsizetype>(lengths_[i])))
                                        : std::nullopt);
        }
        EndStream();
    }

    // The current record's bytes at `index` of the row; nullopt for NULL.
    std::optional<std::string_view> Raw(size_t index) const {
        if (stream_) {
            if (!row_[index]) return std::nullopt;
            return std::string_view(row_[index], lengths_[index]);
        }
        if (!held_[index]) return std::nullopt;
        return std::string_view(held_[index]->constData(), static_cast<size_t>(held_[index]->size()));
    }

    std::optional<ExactValue> Exact(size_t index) const {
        if (eof_) return std::nullopt;
        const Column& column = columns_[index];
        if (column.companion != Companion::None) {
            const std::optional<std::string_view> companion = Raw(column.companionAt);
            if (companion && column.companion == Companion::Outside) return ExactValue{QString(), ExactNeed::kUnwritable};
            if (companion && column.companion == Companion::Single)
                return ExactValue{QString::fromLatin1(companion->data(), static_cast<qsizetype>(companion->size()))};
            // The epoch 0 is no TIMESTAMP's: it is the zero date.
            if (companion && companion->find_first_not_of("0.") != std::string_view::npos)
                return ExactValue{UtcLiteral(*companion), ExactNeed::kUtcStatement};
        }
        if (column.date) {
            const std::optional<std::string_view> value = Raw(index);
            if (value && IsZeroDate(*value)) return ExactValue{QString(), ExactNeed::kZeroDates};
        }
        return std::nullopt;
    }

    std::optional<QString> Value(size_t index) const {
        if (eof_) throw EngineError(kNoCurrentRecord, QStringLiteral("現在のレコードがありません。"));
        const std::optional<std::string_view> raw = Raw(index);
        if (!raw) return std::nullopt;
        const char* text = raw->data();
        auto length = static_cast<qsizetype>(raw->size());
        const ColumnType& type = columns_[index].type;
        switch (type.form) {
        case ValueForm::AsText: break;
        case ValueForm::PlainDecimal: {
            // The server writes a DECIMAL as plain digits with every place of
            // its scale; only the fraction's trailing zeros go. Anything else
            // takes the general conversion.
            bool point = false;
            for (qsizetype i = 0; i < length; ++i) {
                const char c = text[i];
                if (c == '.' && !point) point = true;
                else if (!(c >= '0' && c <= '9') && !(c == '-' && i == 0))
                    return PlainDecimalFromText(QString::fromLatin1(text, length));
            }
            if (!point) break;
            while (text[length - 1] == '0') --length;
            if (text[length - 1] == '.') --length;
            if (length == 2 && text[0] == '-' && text[1] == '0') return QStringLiteral("0");
            return QString::fromLatin1(text, length);
        }
        case ValueForm::PaddedChar: {
            QString value = QString::fromUtf8(text, length);
            if (keepTrailingBlanks_ && value.size() < type.size) value.resize(type.size, QLatin1Char(' '));
            if (!keepTrailingBlanks_) {
                qsizetype end = value.size();
                while (end > 0 && value.at(end - 1) == QLatin1Char(' ')) --end;
                value.truncate(end);
            }
            return value;
        }
        case ValueForm::Hex: return QString::fromLatin1(QByteArray::fromRawData(text, length).toHex().toUpper());
        }
        return QString::fromUtf8(text, length);
    }

    const Column& column(size_t index) const { return columns_[index]; }

private:
    class Field final : public OraField {
    public:
        Field(const MyDynaset* dynaset, size_t index) : dynaset_(dynaset), index_(index) {}
        QString Name() const override { return dynaset_->column(index_).name; }
        int32_t OraIDataType() const override { return dynaset_->column(index_).type.code; }
        int32_t Size() const override { return dynaset_->column(index_).type.size; }
        int32_t OraScale() const override { return dynaset_->column(index_).type.scale; }
        bool OraNullOK() const override { return dynaset_->column(index_).nullOk; }
        std::optional<QString> Value() const override { return dynaset_->Value(index_); }
        ColumnOrigin Origin() const override { return dynaset_->column(index_).origin; }
        std::optional<ExactValue> Exact() const override { return dynaset_->Exact(index_); }

    private:
        const MyDynaset* dynaset_;
        size_t index_;
    };

    // Runs the query and starts streaming its rows, before the first record.
    void Execute() {
        connection_->Send(sql_);
        StartStream();
    }

    // Streams the rows of the query whose answer has just come.
    void StartStream() {
        MyConnection& c = *connection_;
        if (mysql_field_count(c.get()) == 0)
            throw EngineError(kNoResultSet, QStringLiteral("行を返さない SQL 文からはダイナセットを作れません。"));
        stream_.reset(mysql_use_result(c.get()));
        if (!stream_) throw ConnectionError(c.get());
        c.SetStreaming(this);
        position_ = -1;
        eof_ = false;
        row_ = nullptr;
        held_.clear();
    }

    // Runs the query again after another command drained it, and moves to the
    // record it stood on. Inside the snapshot the rows come back the same.
    void Resume() {
        const int64_t target = position_;
        Execute();
        do Fetch();
        while (!eof_ && position_ < target);
    }

    void Fetch() {
        MYSQL* mysql = connection_->get();
        ++position_;
        row_ = connection_->FetchRow(stream_.get());
        if (!row_) {
            const bool failed = mysql_errno(mysql) != 0;
            const Error error = failed ? ConnectionError(mysql) : Error(0, QString());
            eof_ = true;
            EndStream();
            if (failed) throw error;
            return;
        }
        lengths_ = mysql_fetch_lengths(stream_.get());
    }

    void EndStream() {
        row_ = nullptr;
        connection_->StreamEnded(this);
        connection_->FreeResult(stream_);
    }

    // The transaction's opening statements, the count and the query itself go
    // in one round trip, their answers read in turn. The server counts the
    // query as a subquery, without sending its rows; a statement that cannot
    // be one (SHOW, say) is counted through its own rows, and run again.
    void Open(const std::vector<QByteArray>& opening) {
        MyConnection& c = *connection_;
        QByteArray inner = sql_;
        while (!inner.isEmpty() && (QChar::isSpace(static_cast<uchar>(inner.back())) || inner.back() == ';')) inner.chop(1);
        // The line breaks keep a trailing "-- comment" from swallowing the ")".
        const QByteArray countSql = "SELECT COUNT(*) FROM (\n" + inner + "\n) AS velkin_counted";
        std::vector<QByteArray> group = opening;
        group.push_back(countSql);
        group.push_back(sql_);
        c.SendGroup(group);

        std::optional<Error> openingRefused;
        for (size_t i = 0; i < opening.size(); ++i) c.ReadAnswer(openingRefused);
        std::optional<Error> countRefused;
        bool counted = false;
        if (c.ReadAnswer(countRefused)) {
            MYSQL_RES* stored = nullptr;
            MYSQL* m = c.get();
            c.Call([&] { return mysql_store_result_start(&stored, m); },
                   [&](int ready) { return mysql_store_result_cont(&stored, m, ready); });
            const ResultPtr result{stored};
            MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
            if (row && row[0]) {
                count_ = std::strtoll(row[0], nullptr, 10);
                counted = true;
            }
        }
        std::optional<Error> queryRefused;
        bool ran = false;
        try {
            ran = c.ReadAnswer(queryRefused);
        } catch (const Error& error) {
            // The count's refusal ended the transaction (a deadlock, say): that is the cause to report.
            if (countRefused && error.Number() == Error::kTransactionEnded) throw *countRefused;
            throw;
        }
        if (!ran) throw openingRefused ? *openingRefused : countRefused ? *countRefused : *queryRefused;
        StartStream();
        if (countRefused && ServerFaultOf(*countRefused) != ServerFault::None) {
            // Not a statement that cannot be a subquery: the server refused
            // the count for a lock or a conflict, which the query must not hide.
            c.Abandon();
            throw *countRefused;
        }
        if (openingRefused) {
            // Outside a snapshot the count could disagree with the rows; the
            // rows still on their way are not waited for.
            c.Abandon();
            throw *openingRefused;
        }
        if (counted) return;
        count_ = 0;
        while (c.FetchRow(stream_.get())) ++count_;
        if (mysql_errno(c.get()) != 0) throw ConnectionError(c.get());
        EndStream();
        Execute();
    }

    // Never throws: it runs from the destructor and from a failed constructor.
    void Close() noexcept {
        MyConnection& c = *connection_;
        try {
            // A read that stops early (the grid's row limit) would otherwise
            // wait for every remaining row of a large table to arrive. The
            // dynasets' transaction has only read, so dropping the connection
            // loses nothing.
            const bool abandon = stream_ && !eof_ && count_ - position_ > kRowsWorthDraining &&
                                 c.dynasetCount == 1 && c.owner == MyConnection::Owner::Dynasets &&
                                 !c.changedInDynasetTransaction;
            if (abandon) c.Abandon();
            EndStream();
            if (--c.dynasetCount == 0 && c.owner == MyConnection::Owner::Dynasets) {
                c.owner = MyConnection::Owner::None;
                // A transaction that only read ends with whatever runs next, in its round trip.
                if (!abandon) {
                    if (c.changedInDynasetTransaction) c.Run("COMMIT");
                    else c.Defer("COMMIT");
                }
            }
        } catch (...) {
            // A lost connection ends the transaction on the server.
        }
    }

    std::shared_ptr<MyConnection> connection_;
    QByteArray sql_;
    bool keepTrailingBlanks_;
    bool companions_ = false;  // sql_ fetches companions after the columns
    size_t width_ = 0;         // values in a row, companions included
    std::vector<Column> columns_;
    FieldList<Field> fields_;
    int64_t count_ = 0;

    ResultPtr stream_;
    MYSQL_ROW row_ = nullptr;
    unsigned long* lengths_ = nullptr;
    std::vector<std::optional<QByteArray>> held_;  // the current record once the stream is drained
    int64_t position_ = -1;  // index of the current record
    bool eof_ = true;
};

void MyConnection::Claim() {
    if (abandoned_) {
        deferred_.clear();  // they belonged to the connection that went
        mysql_ = reopen_(wait_);
        abandoned_ = false;
    }
    if (!streaming_) return;
    MyDynaset* drained = streaming_;
    streaming_ = nullptr;
    drained->Suspend();
}

std::vector<PreparedColumn> MyConnection::RequireQuery(const QByteArray& sql) {
    Claim();
    struct StatementCloser {
        void operator()(MYSQL_STMT* statement) const { mysql_stmt_close(statement); }
    };
    const std::unique_ptr<MYSQL_STMT, StatementCloser> statement{mysql_stmt_init(get())};
    if (!statement) throw ConnectionError(get());
    int rc = 0;
    MYSQL_STMT* prepared = statement.get();
    Call([&] { return mysql_stmt_prepare_start(&rc, prepared, sql.constData(), static_cast<unsigned long>(sql.size())); },
         [&](int ready) { return mysql_stmt_prepare_cont(&rc, prepared, ready); });
    if (rc != 0) {
        const unsigned number = mysql_stmt_errno(statement.get());
        // Statements the server cannot prepare (administrative ones) are not
        // queries a dynaset can be sure of; anything else is the statement's own error.
        if (number == ER_UNSUPPORTED_PS)
            throw EngineError(static_cast<int32_t>(number),
                              QStringLiteral("この SQL 文からはダイナセットを作れません（サーバーが事前に検査できない文です）。"));
        throw MakeError(static_cast<int32_t>(number), QString::fromLatin1(mysql_stmt_sqlstate(statement.get())),
                        QString::fromUtf8(mysql_stmt_error(statement.get())).trimmed());
    }
    if (mysql_stmt_field_count(statement.get()) == 0)
        throw EngineError(kNoResultSet, QStringLiteral("行を返さない SQL 文からはダイナセットを作れません。"));
    std::vector<PreparedColumn> columns;
    const ResultPtr metadata{mysql_stmt_result_metadata(statement.get())};
    if (!metadata) return columns;
    const MYSQL_FIELD* fields = mysql_fetch_fields(metadata.get());
    for (unsigned i = 0; i < mysql_num_fields(metadata.get()); ++i)
        columns.push_back({QByteArray(fields[i].name, static_cast<qsizetype>(fields[i].name_length)), fields[i].type,
                           fields[i].flags});
    return columns;
}

void MyConnection::Send(const QByteArray& sql) {
    Claim();
    if (deferred_.empty()) {
        RealQuery(sql);
        return;
    }
    SendGroup({sql});
    std::optional<Error> refusal;
    if (!ReadAnswer(refusal)) throw *refusal;
}

// The replace's statements several to a round trip: the DELETE alone, then
// the INSERTs joined by ";" into batches that the server runs as one text
// (multi-statements, switched on for the batches only and off again at the
// end), each statement's result read in turn. The server stops a batch at its
// first error, so the statement that failed is the one reported and none
// after it has run. A batch stays under the server's max_allowed_packet and
// holds at most kMaxBatchBytes, so memory does not grow with the grid.
//
// Only for a table name that is one identifier (IsPlainTableName): the name
// goes into every statement as typed, and with multi-statements on, a ";" in
// it would begin a statement of its own.
class MyBatches final : public StatementStream {
public:
    static constexpr qsizetype kMaxBatchBytes = 256 * 1024;

    MyBatches(std::shared_ptr<MyConnection> connection, StatementDone done)
        : connection_(std::move(connection)), done_(std::move(done)) {}

    ~MyBatches() override {
        // Left halfway: the statements still due cannot be waited for here,
        // so the connection goes, and the transaction with it.
        if (multiOn_) connection_->Drop();
    }

    void Send(const QString& sql, int32_t tag) override {
        QByteArray text = sql.toUtf8();
        if (first_) {
            // The DELETE, on its own, before multi-statements are on.
            first_ = false;
            RunBatch(text, {tag});
            return;
        }
        if (!tags_.empty() && batch_.size() + 1 + text.size() > Limit()) RunBatch(batch_, tags_);
        if (!tags_.empty()) batch_ += ';';
        batch_ += text;
        tags_.push_back(tag);
    }

    void Finish() override {
        if (!tags_.empty()) RunBatch(batch_, tags_);
        MultiStatements(false);
    }

private:
    // The most a batch may hold: under the server's own packet limit, asked once.
    qsizetype Limit() {
        if (limit_ == 0) {
            limit_ = kMaxBatchBytes;
            ResultPtr result = connection_->Stored("SELECT @@max_allowed_packet");
            MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
            // Room for the packet's header and the command byte.
            if (row && row[0]) limit_ = std::min<qsizetype>(limit_, std::strtoll(row[0], nullptr, 10) - 1024);
            limit_ = std::max<qsizetype>(limit_, 1);
        }
        return limit_;
    }

    void MultiStatements(bool on) {
        if (on == multiOn_) return;
        connection_->SetServerOption(on ? MYSQL_OPTION_MULTI_STATEMENTS_ON : MYSQL_OPTION_MULTI_STATEMENTS_OFF);
        multiOn_ = on;
    }

    // The statement `tag` was refused, or the connection ended while it was
    // in progress (which, as when one statement went at a time, is reported
    // against it).
    [[noreturn]] void Fail(int32_t tag) {
        MYSQL* m = connection_->get();
        const unsigned number = mysql_errno(m);
        const Error error = ConnectionError(m);
        if (number != CR_SERVER_LOST && number != CR_SERVER_GONE_ERROR && number != CR_SERVER_LOST_EXTENDED) {
            try {
                MultiStatements(false);
            } catch (const Error&) {
                // The refusal is what the user needs to hear.
            }
        }
        throw StatementRefused(tag, error);
    }

    // Whether `error`, met while a batch ran, is the server's refusal of
    // the statement then due: not a stop, nor a transaction already gone.
    static bool RefusedStatement(const Error& error) {
        return !error.isStop() && error.Number() != Error::kTransactionEnded;
    }

    static Error Unanswered() {
        return EngineError(CR_COMMANDS_OUT_OF_SYNC,
                           QStringLiteral("サーバーがこの文に応答しませんでした。更新全体を取り消します。"));
    }

    void RunBatch(const QByteArray& text, const std::vector<int32_t>& tags) {
        MyConnection& c = *connection_;
        if (c.owner == MyConnection::Owner::Dynasets) c.changedInDynasetTransaction = true;
        if (tags.size() > 1) MultiStatements(true);
        try {
            c.Send(text);
        } catch (const Error& error) {
            if (!RefusedStatement(error)) throw;
            Fail(tags.front());
        }
        for (size_t i = 0;; ) {
            if (mysql_field_count(c.get()) > 0) c.CountRows();
            if (done_) done_(tags[i]);
            if (++i == tags.size()) break;
            int next = 0;
            try {
                next = c.NextResult();
            } catch (const Error& error) {
                if (!RefusedStatement(error)) throw;
                Fail(tags[i]);
            }
            if (next > 0) Fail(tags[i]);
            // The server answered fewer statements than the batch holds:
            // the rest did not run, so the replace cannot be whole.
            if (next < 0) throw StatementRefused(tags[i], Unanswered());
        }
        // The texts are the caller's: nothing more is due.
        while (c.NextResult() == 0) {
        }
        batch_.clear();
        tags_.clear();
    }

    std::shared_ptr<MyConnection> connection_;
    StatementDone done_;
    bool first_ = true;
    bool multiOn_ = false;
    qsizetype limit_ = 0;
    QByteArray batch_;
    std::vector<int32_t> tags_;
};

class MyDatabase final : public OraDatabase {
public:
    explicit MyDatabase(std::shared_ptr<MyConnection> connection) : connection_(std::move(connection)) {}

    std::unique_ptr<StatementStream> OpenStatementStream(const QString& table, StatementDone done) override {
        if (!IsPlainTableName(table)) return OraDatabase::OpenStatementStream(table, std::move(done));
        return std::make_unique<MyBatches>(connection_, std::move(done));
    }

    int64_t ExecuteSQL(const QString& sql) override {
        MyConnection& c = *connection_;
        if (c.owner == MyConnection::Owner::Dynasets) c.changedInDynasetTransaction = true;
        c.Send(sql.toUtf8());
        if (mysql_field_count(c.get()) == 0) return static_cast<int64_t>(mysql_affected_rows(c.get()));
        // A query run as a statement: its rows are read through and counted.
        return c.CountRows();
    }

    std::unique_ptr<OraDynaset> DbCreateDynaset(const QString& sql, int32_t options) override {
        return std::make_unique<MyDynaset>(connection_, sql, (options & kDynasetNoBlankStrip) != 0);
    }

private:
    std::shared_ptr<MyConnection> connection_;
};

void ApplyOption(MYSQL* mysql, MySqlOption option, const QByteArray& value) {
    const char* text = value.constData();
    int rc = 0;
    switch (option) {
    case MySqlOption::Socket: return;  // given to mysql_real_connect
    case MySqlOption::Ssl: {
        const my_bool on = MySqlOptionOn(value);
        rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_ENFORCE, &on);
        break;
    }
    case MySqlOption::SslVerifyServerCert: {
        const my_bool on = MySqlOptionOn(value);
        rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &on);
        break;
    }
    case MySqlOption::SslCa: rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_CA, text); break;
    case MySqlOption::SslCaPath: rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_CAPATH, text); break;
    case MySqlOption::SslCert: rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_CERT, text); break;
    case MySqlOption::SslKey: rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_KEY, text); break;
    case MySqlOption::SslCipher: rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_CIPHER, text); break;
    case MySqlOption::SslCrl: rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_CRL, text); break;
    case MySqlOption::SslCrlPath: rc = mysql_optionsv(mysql, MYSQL_OPT_SSL_CRLPATH, text); break;
    case MySqlOption::TlsVersion: rc = mysql_optionsv(mysql, MARIADB_OPT_TLS_VERSION, text); break;
    case MySqlOption::ConnectTimeout:
    case MySqlOption::ReadTimeout:
    case MySqlOption::WriteTimeout: {
        bool ok = false;
        const unsigned seconds = value.trimmed().toUInt(&ok);
        if (!ok) throw EngineError(kBadOption, QStringLiteral("秒数が正しくありません: %1").arg(QString::fromUtf8(value)));
        const mysql_option which = option == MySqlOption::ConnectTimeout ? MYSQL_OPT_CONNECT_TIMEOUT
                                   : option == MySqlOption::ReadTimeout  ? MYSQL_OPT_READ_TIMEOUT
                                                                         : MYSQL_OPT_WRITE_TIMEOUT;
        rc = mysql_optionsv(mysql, which, &seconds);
        break;
    }
    }
    if (rc != 0) throw EngineError(kBadOption, QStringLiteral("接続オプションを設定できません: %1").arg(QString::fromUtf8(value)));
}

// ---------------------------------------------------------------------------
// Who gets the password.

// The authentication methods that never hand the server the password itself:
// a scramble or signature over the server's random challenge
// (mysql_native_password, client_ed25519), or Kerberos (auth_gssapi_client).
// Every other one does: mysql_clear_password and dialog (PAM) send it as
// typed; sha256_password and caching_sha2_password send it as typed over TLS,
// and without TLS encrypt it to whatever RSA key the server sends. The
// connector matches a method's name anywhere in this text.
constexpr char kPasswordKeepingPlugins[] = "mysql_native_password,client_ed25519,auth_gssapi_client";

// Connector/C 3.3 asks for TLS only when the server offers it: unless the
// certificate is verified too, it goes on in plain text with a server that
// offers none (MYSQL_OPT_SSL_ENFORCE notwithstanding), and a man in the middle
// need only offer none. So when TLS is required the connector starts with this
// authentication method of ours. It runs once the server's greeting has
// arrived and before the client has said anything: it refuses a server that
// offers no TLS, and otherwise sends the login's first packet, where the
// connector starts TLS, with no password in it. The server, not knowing this
// method, then names the one the account uses, which goes on over TLS (one
// round trip more than a login that starts with the account's method).
constexpr char kTlsGuardPlugin[] = "velkin_tls_required";
constexpr char kTlsGuardKey[] = "velkin.tls-guard";

struct TlsGuard {
    const char* pluginsOverTls = nullptr;  // the methods allowed once TLS is up; nullptr: any
    bool ran = false;
    bool refused = false;  // the server offered no TLS
};

int RequireTls(MYSQL_PLUGIN_VIO* vio, MYSQL* mysql) {
    TlsGuard* guard = nullptr;
    mysql_get_optionv(mysql, MARIADB_OPT_USERDATA, const_cast<char*>(kTlsGuardKey), &guard);
    if (guard) guard->ran = true;
    if (!guard || !(mysql->server_capabilities & CLIENT_SSL)) {
        if (guard) guard->refused = true;
        // In the connector's own words for this refusal, which it makes
        // itself only when the certificate is verified too.
        mysql->methods->set_error(mysql, CR_SSL_CONNECTION_ERROR, "HY000",
                                  "TLS/SSL error: SSL is required, but the server does not support it");
        return CR_ERROR;
    }
    // The methods allowed from here on; the connector checks each one the
    // server names against this list as it comes.
    if (mysql_optionsv(mysql, MARIADB_OPT_RESTRICTED_AUTH, guard->pluginsOverTls) != 0) return CR_ERROR;
    unsigned char* packet = nullptr;
    // Sends the first packet, then reads the server's answer: the method it
    // wants, which the connector takes from here (a plugin's read fails on it).
    // A server that accepted the login as it stands ends it here.
    const int length = vio->read_packet(vio, &packet);
    return length > 0 && packet[0] == 0 ? CR_OK_HANDSHAKE_COMPLETE : CR_ERROR;
}

// An authentication method as the connector's client plugin interface lays it
// out. Its header, mysql/client_plugin.h, cannot be included as Debian ships
// it: it includes a header of the connector's own that the package lacks.
struct AuthenticationPlugin {
    int type;
    unsigned interfaceVersion;
    const char* name;
    const char* author;
    const char* description;
    unsigned version[3];
    const char* license;
    void* mysqlApi;
    int (*init)(char*, size_t, int, va_list);
    int (*deinit)();
    int (*options)(const char*, const void*);
    int (*authenticateUser)(MYSQL_PLUGIN_VIO*, MYSQL*);
};
constexpr int kAuthenticationPluginType = 2;             // MYSQL_CLIENT_AUTHENTICATION_PLUGIN
constexpr unsigned kAuthenticationInterface = 0x0100;    // ..._PLUGIN_INTERFACE_VERSION

// Registers the TLS guard with the connector, once for the process. Without
// it the connector would go on with a fallback that sends the first packet
// regardless, so a failure refuses the connection.
void RegisterTlsGuard(MYSQL* mysql) {
    static AuthenticationPlugin plugin{kAuthenticationPluginType, kAuthenticationInterface, kTlsGuardPlugin,
                                       "Velkin", "Refuses a server that offers no TLS", {1, 0, 0}, "",
                                       nullptr, nullptr, nullptr, nullptr, RequireTls};
    // A function-local static runs once, thread-safely, and unlike
    // std::call_once needs no thread-local storage from the dynamic loader.
    static const bool registered =
        mysql_client_register_plugin(mysql, reinterpret_cast<st_mysql_client_plugin*>(&plugin)) != nullptr;
    if (!registered) throw EngineError(kBadOption, QStringLiteral("TLS を必須にする仕組みを接続ライブラリに登録できません。"));
}

// Sets who gets the password and whether TLS is required, before connecting.
void GuardPassword(MYSQL* mysql, const MySqlRoute& route, TlsGuard& guard) {
    const char* allowed = route.mayHandOverPassword() ? nullptr : kPasswordKeepingPlugins;
    int rc = 0;
    if (route.tlsRequired) {
        RegisterTlsGuard(mysql);
        guard.pluginsOverTls = allowed;
        rc |= mysql_optionsv(mysql, MYSQL_DEFAULT_AUTH, kTlsGuardPlugin);
        rc |= mysql_optionsv(mysql, MARIADB_OPT_RESTRICTED_AUTH, kTlsGuardPlugin);
        // Read by the guard while connecting only.
        rc |= mysql_optionsv(mysql, MARIADB_OPT_USERDATA, kTlsGuardKey, static_cast<void*>(&guard));
    } else if (allowed) {
        rc = mysql_optionsv(mysql, MARIADB_OPT_RESTRICTED_AUTH, allowed);
    }
    if (rc != 0) throw EngineError(kBadOption, QStringLiteral("認証方式の制限を接続ライブラリに設定できません。"));
}

// A failed connection, said in the program's own words where its own guards
// refused it.
Error ConnectFailure(MYSQL* mysql, const MySqlRoute& route, const TlsGuard& guard) {
    const QString connector = QString::fromUtf8(mysql_error(mysql)).trimmed();
    const auto number = static_cast<int32_t>(mysql_errno(mysql));
    const QString state = QString::fromLatin1(mysql_sqlstate(mysql));
    if (guard.refused)
        return MakeError(number, state,
                         QStringLiteral("TLS での接続が必要ですが、サーバーは TLS を提供していません。"
                                        "平文では接続しません（%1）").arg(connector));
    if (number != CR_PLUGIN_NOT_ALLOWED) return ConnectionError(mysql);
    // A server too old to be asked for another method (before MySQL 5.5)
    // starts the login with its own, before the guard could look at TLS.
    if (route.tlsRequired && !guard.ran)
        return MakeError(number, state,
                         QStringLiteral("TLS での接続が必要ですが、このサーバーとはログインの前に TLS を確かめられ"
                                        "ません（認証方式を選べない古いサーバーです）。（%1）").arg(connector));
    // The connector's own text is left out: after the server has named
    // another method, Connector/C 3.3 prints whatever its buffer then holds
    // as that method's name.
    return MakeError(number, state,
                     QStringLiteral("サーバーが求めた認証方式は、証明書で身元を確かめていないサーバーには使いません"
                                    "（パスワードそのものを渡す方式などです。ssl-verify-server-cert=1 で確かめると"
                                    "使えます）。"));
}

// On a stop while connecting, the half-made connection is simply shut.
void ShutSocket(MYSQL* mysql) {
    const auto socket = mysql_get_socket(mysql);
    if (socket != MARIADB_INVALID_SOCKET) shutdown(static_cast<int>(socket), SHUT_RDWR);
}

// Runs the statements of the session's setup on a fresh connection, all in
// one round trip: each is sent before any answer is read.
void RunSetup(MYSQL* mysql, ServerWait& wait, const std::vector<QByteArray>& statements) {
    const auto shut = [mysql] { ShutSocket(mysql); };
    for (const QByteArray& sql : statements) {
        int rc = 0;
        Await(mysql, wait,
              [&] { return mysql_send_query_start(&rc, mysql, sql.constData(), static_cast<unsigned long>(sql.size())); },
              [&](int ready) { return mysql_send_query_cont(&rc, mysql, ready); }, shut);
        if (rc != 0) throw ConnectionError(mysql);
    }
    std::optional<Error> failure;
    for (size_t i = 0; i < statements.size(); ++i) {
        my_bool failed = 0;
        Await(mysql, wait, [&] { return mysql_read_query_result_start(&failed, mysql); },
              [&](int ready) { return mysql_read_query_result_cont(&failed, mysql, ready); }, shut);
        if (failed && !failure) failure = ConnectionError(mysql);
    }
    if (failure) throw *failure;
}

class MySession final : public EngineSession {
public:
    std::unique_ptr<OraDatabase> OpenDatabase(const QString& host, const QString& connect,
                                              int32_t options) override {
        const MySqlAddress address = ParseMySqlAddress(host);
        const Login login = SplitLogin(connect);
        QByteArray user = login.user.toUtf8();
        QByteArray password = login.password.toUtf8();
        if (user.isEmpty()) user = address.user;
        if (password.isEmpty()) password = address.password;

        const bool noWait = (options & kOpenNoWait) != 0;
        auto open = [address, user, password, noWait](ServerWait& wait) -> MysqlPtr {
            MysqlPtr mysql{mysql_init(nullptr)};
            if (!mysql) throw EngineError(kClientOutOfMemory, QStringLiteral("メモリが足りません。"));
            MYSQL* m = mysql.get();
            // Every call that waits for the server runs in its non-blocking form (Await).
            const size_t stack = kAsyncStackBytes;
            if (mysql_optionsv(m, MYSQL_OPT_NONBLOCK, &stack) != 0)
                throw EngineError(kClientOutOfMemory, QStringLiteral("メモリが足りません。"));
            const unsigned timeout = kConnectTimeoutSeconds;
            const my_bool off = 0;
            const unsigned noLocalFiles = 0;
            mysql_optionsv(m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
            mysql_optionsv(m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
            // A silent reconnection would run the rest of a replace outside its transaction.
            mysql_optionsv(m, MYSQL_OPT_RECONNECT, &off);
            mysql_optionsv(m, MYSQL_OPT_LOCAL_INFILE, &noLocalFiles);
            QByteArray socket;
            for (const auto& [option, value] : address.options) {
                if (option == MySqlOption::Socket) socket = value;
                ApplyOption(m, option, value);
            }
            const MySqlRoute route = MySqlRouteOf(address);
            const unsigned tcp = MYSQL_PROTOCOL_TCP;
            if (route.tcp && mysql_optionsv(m, MYSQL_OPT_PROTOCOL, &tcp) != 0)
                throw EngineError(kBadOption, QStringLiteral("TCP での接続を接続ライブラリに設定できません。"));
            TlsGuard guard;
            GuardPassword(m, route, guard);
            MYSQL* connected = nullptr;
            const char* hostName = address.host.isEmpty() ? nullptr : address.host.constData();
            const char* userName = user.isEmpty() ? nullptr : user.constData();
            const char* database = address.database.isEmpty() ? nullptr : address.database.constData();
            const char* socketPath = socket.isEmpty() ? nullptr : socket.constData();
            Await(m, wait,
                  [&] {
                      return mysql_real_connect_start(&connected, m, hostName, userName, password.constData(), database,
                                                      address.port, socketPath, 0);
                  },
                  [&](int ready) { return mysql_real_connect_cont(&connected, m, ready); }, [m] { ShutSocket(m); });
            if (!connected) throw ConnectFailure(m, route, guard);
            std::vector<QByteArray> setup = {Dialect::mysqlSessionSetup().toUtf8()};
            if (noWait) setup.push_back(Dialect::mysqlNoLockWait().toUtf8());
            RunSetup(m, wait, setup);
            return mysql;
        };
        ServerWait& wait = serverWait();
        auto connection = std::make_shared<MyConnection>(open(wait), open, wait);
        connection_ = connection;
        return std::make_unique<MyDatabase>(std::move(connection));
    }

    // An abort (a deadlock, a cluster's certification conflict) that strikes
    // between two statements ends the transaction without a word: the next
    // statements answer OK. So the session's transaction runs with autocommit
    // off, where whatever follows such an abort waits in a transaction of its
    // own instead of being committed, and a savepoint marks the transaction:
    // one that replaced it has none, and its COMMIT is refused (CommitTrans).
    void BeginTrans() override {
        MyConnection& c = Connection();
        if (c.owner == MyConnection::Owner::Session)
            throw EngineError(kOutOfOrder, QStringLiteral("トランザクションは既に開始されています。"));
        if (c.owner == MyConnection::Owner::Dynasets) {
            c.owner = MyConnection::Owner::Session;  // the dynasets' open transaction becomes this one
            c.RunGroup({"SET autocommit = 0", kTransactionMark});
            return;
        }
        // REPEATABLE READ, as a Read's snapshot: the Update's locking read
        // then also locks the gaps, so no other session inserts meanwhile.
        c.RunGroup({"SET autocommit = 0", "SET TRANSACTION ISOLATION LEVEL REPEATABLE READ", "START TRANSACTION",
                    kTransactionMark});
        c.owner = MyConnection::Owner::Session;
    }

    void CommitTrans() override {
        MyConnection& c = Connection();
        if (c.owner != MyConnection::Owner::Session)
            throw EngineError(kOutOfOrder, QStringLiteral("トランザクションが開始されていません。"));
        // Whatever COMMIT answers, the transaction is over afterwards.
        c.owner = MyConnection::Owner::None;
        try {
            c.Run("RELEASE " + kTransactionMark);
        } catch (const Error& error) {
            if (error.Number() == ER_SP_DOES_NOT_EXIST) throw TransactionEndedByServer();
            throw;
        }
        c.RunGroup({"COMMIT", "SET autocommit = 1"});
    }

    bool HoldsTransaction() override {
        if (!connection_ || connection_->owner != MyConnection::Owner::Session) return true;
        try {
            connection_->Run("ROLLBACK TO " + kTransactionMark);
        } catch (const Error& error) {
            // A lost connection or a stop says more than this could.
            return error.Number() != ER_SP_DOES_NOT_EXIST;
        }
        return true;
    }

    void rollback() override {
        // Called from error handlers that may not know whether anything began.
        if (!connection_) return;
        MyConnection& c = *connection_;
        c.owner = MyConnection::Owner::None;
        // On a lost connection the server has already discarded the transaction.
        c.RunGroup({"ROLLBACK", "SET autocommit = 1"});
    }

    void RequireReplaceableTable(const QString& table) override {
        RefuseOverreach(table, TwoColumnQuery()(Dialect::mysqlOverreachQuery(table)));
    }

    void RequireTransactionalTable(const QString& table) override {
        RequireTransactionalTables(BaseTables(table), table, TwoColumnQuery());
    }

    std::vector<ReferringKey> KeysReferringTo(const QString& table) override {
        return MySqlKeysReferringTo(BaseTables(table), TwoColumnQuery());
    }

    Dialect dialect() const override { return Dialect(DialectKind::MySQL); }

    // MariaDB's SET STATEMENT: the settings hold for the one statement, and
    // the session's own stay as they are for every other.
    NeedsStatement StatementForNeeds(uint8_t needs) override {
        NeedsStatement form;
        if (!(needs & (ExactNeed::kUtcStatement | ExactNeed::kZeroDates))) return form;
        const ResultPtr result = Connection().Stored("SELECT @@SESSION.time_zone, @@SESSION.sql_mode");
        const MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
        if (!row || !row[0] || !row[1]) throw ConnectionError(Connection().get());
        QStringList settings;
        if (needs & ExactNeed::kUtcStatement) {
            settings << QStringLiteral("time_zone='+00:00'");
            form.zoneBefore = QStringLiteral("CONVERT_TZ(");
            form.zoneAfter = QLatin1Char(',') + Dialect::sqlStringLiteral(QString::fromUtf8(row[0])) +
                             QStringLiteral(",'+00:00')");
        }
        if (needs & ExactNeed::kZeroDates) {
            QStringList modes = QString::fromUtf8(row[1]).split(QLatin1Char(','), Qt::SkipEmptyParts);
            // TRADITIONAL would bring both back.
            const qsizetype removed = modes.removeIf([](const QString& mode) {
                return mode == QLatin1String("NO_ZERO_DATE") || mode == QLatin1String("NO_ZERO_IN_DATE") ||
                       mode == QLatin1String("TRADITIONAL");
            });
            if (removed > 0) settings << QStringLiteral("sql_mode=") + Dialect::sqlStringLiteral(modes.join(QLatin1Char(',')));
        }
        if (!settings.isEmpty()) form.prefix = QStringLiteral("SET STATEMENT ") + settings.join(QStringLiteral(", ")) + QStringLiteral(" FOR ");
        return form;
    }

private:
    MyConnection& Connection() {
        if (!connection_) throw EngineError(kNotConnected, QStringLiteral("データベースに接続されていません。"));
        return *connection_;
    }

    // The database and table behind each column of `table`, as the server resolves the name.
    std::vector<MySqlBaseTable> BaseTables(const QString& table) {
        std::vector<MySqlBaseTable> tables;
        ResultPtr probe = Connection().Stored(MySqlBaseTableProbe(table).toUtf8());
        if (!probe) return tables;
        MYSQL_FIELD* fields = mysql_fetch_fields(probe.get());
        for (unsigned i = 0; i < mysql_num_fields(probe.get()); ++i)
            tables.push_back({QString::fromUtf8(fields[i].db, fields[i].db_length),
                              QString::fromUtf8(fields[i].org_table, fields[i].org_table_length)});
        return tables;
    }

    MySqlTwoColumnQuery TwoColumnQuery() {
        return [&c = Connection()](const QString& sql) {
            std::vector<std::pair<QString, QString>> rows;
            ResultPtr result = c.Stored(sql.toUtf8());
            while (MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr)
                rows.emplace_back(QString::fromUtf8(row[0] ? row[0] : ""), QString::fromUtf8(row[1] ? row[1] : ""));
            return rows;
        };
    }

    std::shared_ptr<MyConnection> connection_;
};

}  // namespace

std::unique_ptr<EngineSession> CreateMySqlSession() { return std::make_unique<MySession>(); }

}  // namespace velkin
