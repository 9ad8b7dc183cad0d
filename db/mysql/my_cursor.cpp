#include "db/mysql/my_cursor.h"

#include "db/dialect.h"
#include "db/plain_decimal.h"
#include "db/server_fault.h"
#include "db/utf8_text.h"
#include "db/value_forms.h"

#include <QDateTime>
#include <QTimeZone>

#include <cstring>
#include <limits>

namespace velkin::my {

namespace {

// Binary strings carry the character set number 63 ("binary").
constexpr unsigned kBinaryCharset = 63;
constexpr int32_t kUnboundedPrecision = 38;
// Unread rows a closing cursor still lets arrive (at most a fraction of a
// second); with more it drops the connection instead.
constexpr int64_t kRowsWorthDraining = 10000;

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
    auto integer = [](int32_t precision) { return ColumnType{ColumnKind::Number, precision + 1, 0, ValueForm::AsText}; };
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
        return {ColumnKind::Number, precision + 1, static_cast<int32_t>(field.decimals), ValueForm::PlainDecimal};
    }
    // Binary floating point is a number like any other, shown in plain decimal
    // (the server writes 1e20 with an exponent).
    case MYSQL_TYPE_FLOAT:
    case MYSQL_TYPE_DOUBLE: return {ColumnKind::Number, kUnboundedPrecision + 1, 0, ValueForm::PlainDecimal};
    // Sizes as Oracle gives them for DATE and TIMESTAMP; the commands do not use them.
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE: return {ColumnKind::Date, 7, 0, ValueForm::AsText};
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP: return {ColumnKind::Date, 11, 0, ValueForm::AsText};
    case MYSQL_TYPE_STRING:
        if (binary) return {ColumnKind::Other, static_cast<int32_t>(field.length), 0, ValueForm::Hex};
        if (field.flags & (ENUM_FLAG | SET_FLAG)) return {ColumnKind::Other, Characters(field), 0, ValueForm::AsText};
        // The server drops a CHAR value's trailing blanks; a CHAR value has all its characters.
        return {ColumnKind::FixedChar, Characters(field), 0, ValueForm::FixedChar};
    case MYSQL_TYPE_VARCHAR:
    case MYSQL_TYPE_VAR_STRING:
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
        if (binary) return {ColumnKind::Other, static_cast<int32_t>(std::min<unsigned long>(field.length, std::numeric_limits<int32_t>::max())), 0, ValueForm::Hex};
        return {ColumnKind::Text, Characters(field), 0, ValueForm::AsText};
    case MYSQL_TYPE_BIT:
    case MYSQL_TYPE_GEOMETRY: return {ColumnKind::Other, 0, 0, ValueForm::Hex};
    default: return {ColumnKind::Other, 0, 0, ValueForm::AsText};
    }
}

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

// The table behind every column of `sql` when it reads a whole table
// (SELECT * FROM ..., the program's own form) and all of `columns` come from it.
std::optional<BaseTable> WholeTable(const QByteArray& sql, const std::vector<PreparedColumn>& columns) {
    if (!sql.startsWith("SELECT * FROM ") || columns.empty() || columns.front().table.isEmpty()) return std::nullopt;
    const BaseTable first{columns.front().database, columns.front().table};
    for (const PreparedColumn& column : columns)
        if (column.database != first.first || column.table != first.second) return std::nullopt;
    return first;
}

// The table of a read's own query over a whole table (WholeTableReadOf).
std::optional<QByteArray> WholeTableOf(const QByteArray& sql) {
    const std::optional<QString> table = WholeTableReadOf(QString::fromUtf8(sql));
    if (!table) return std::nullopt;
    return table->toUtf8();
}

// The server writes a DECIMAL as plain digits with every place of its scale:
// its text without the fraction's trailing zeros. Nothing for any other text
// (a DOUBLE's exponent, say), which takes the general conversion.
std::optional<std::string_view> PlainDecimalText(std::string_view text) {
    bool point = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.' && !point) point = true;
        else if (!(c >= '0' && c <= '9') && !(c == '-' && i == 0)) return std::nullopt;
    }
    if (!point) return text;
    while (text.back() == '0') text.remove_suffix(1);
    if (text.back() == '.') text.remove_suffix(1);
    if (text == "-0") return std::string_view("0");
    return text;
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

}  // namespace

MyCursor::MyCursor(std::shared_ptr<MyConnection> connection, const QString& sql, bool keepTrailingBlanks)
    : connection_(std::move(connection)), sql_(sql.toUtf8()), keepTrailingBlanks_(keepTrailingBlanks) {
    MyConnection& c = *connection_;
    // A cursor reads: opening one must never change data. A whole table's
    // query is one by its very text; its columns, for the companions, are
    // those the cursor before it found, when it read the same table (a
    // read's discovery query, then its main query).
    const std::optional<QByteArray> table = WholeTableOf(sql_);
    std::optional<DescribedTable> known = std::exchange(c.described, std::nullopt);
    if (known && (!table || known->table != *table)) known.reset();
    // A whole table's first row (a read's discovery query) needs no prepare
    // either: its own result describes the columns. It is the first thing a
    // read sends, so the session's setup goes in its round trip.
    const bool selfDescribed = !known && table && sql_.endsWith(" LIMIT 1");
    if (!known && !selfDescribed) known = DescribedTable{table.value_or(QByteArray()), c.RequireQuery(sql_)};
    QByteArray keyQuery;
    if (known) keyQuery = Plan(std::move(*known));
    std::vector<QByteArray> opening;
    // The count and the rows must come from one snapshot.
    if (c.transaction.cursorOpens())
        opening = {"SET TRANSACTION ISOLATION LEVEL REPEATABLE READ", "START TRANSACTION WITH CONSISTENT SNAPSHOT"};
    try {
        Open(opening, keyQuery, selfDescribed ? MyConnection::Setup::MayJoin : MyConnection::Setup::RunFirst);
        if (selfDescribed) {
            DescribedTable found{*table, PreparedColumnsOf(stream_.get())};
            if (WithCompanions(sql_, found.columns) == sql_) {
                wholeTable_ = WholeTable(sql_, found.columns);
                c.described = std::move(found);
            } else {
                // Its values need companions: opened again with them, in the same snapshot.
                EndStream();
                keyQuery = Plan(std::move(found));
                Open({}, keyQuery, MyConnection::Setup::RunFirst);
            }
        }
        DescribeColumns();
        Fetch();
    } catch (...) {
        Close();
        throw;
    }
}

QByteArray MyCursor::Plan(DescribedTable known) {
    MyConnection& c = *connection_;
    wholeTable_ = WholeTable(sql_, known.columns);
    // The key goes with the opening round trip, once per table and connection.
    QByteArray keyQuery;
    if (wholeTable_ && !c.tableKeys.contains(*wholeTable_))
        keyQuery = Dialect::mysqlKeyIndexesQuery(QString::fromUtf8(wholeTable_->first), QString::fromUtf8(wholeTable_->second))
                       .toUtf8();
    if (QByteArray withCompanions = WithCompanions(sql_, known.columns); withCompanions != sql_) {
        try {
            if (!known.companionsPrepared) c.RequireQuery(withCompanions);
            known.companionsPrepared = true;
            sql_ = std::move(withCompanions);
            companions_ = true;
        } catch (const Error& error) {
            // A name the companions cannot use as written (a join's
            // ambiguous column): the values go without them.
            if (error.isStop()) throw;
        }
    }
    if (!known.table.isEmpty()) c.described = std::move(known);
    return keyQuery;
}

void MyCursor::DescribeColumns() {
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
    kept_.reserve(visible);
    size_t companionAt = visible;
    for (unsigned i = 0; i < visible; ++i) {
        const ColumnType type = DescribeColumn(fields[i]);
        columns_.push_back({QString::fromUtf8(fields[i].name, fields[i].name_length), type.kind, type.size, type.scale,
                            (fields[i].flags & NOT_NULL_FLAG) == 0, OriginOf(fields[i], type)});
        Column column{type};
        column.date = type.kind == ColumnKind::Date;
        if (companions_) column.companion = CompanionOf({{}, fields[i].type, fields[i].flags});
        if (column.companion != Companion::None) column.companionAt = companionAt++;
        kept_.push_back(column);
    }
}

void MyCursor::Suspend() {
    if (!stream_) return;
    if (!eof_) {
        held_.clear();
        for (size_t i = 0; i < width_; ++i)
            held_.push_back(row_[i] ? std::optional<QByteArray>(QByteArray(row_[i], static_cast<qsizetype>(lengths_[i])))
                                    : std::nullopt);
    }
    EndStream();
}

std::optional<std::string_view> MyCursor::Raw(size_t index) const {
    if (stream_) {
        if (!row_[index]) return std::nullopt;
        return std::string_view(row_[index], lengths_[index]);
    }
    if (!held_[index]) return std::nullopt;
    return std::string_view(held_[index]->constData(), static_cast<size_t>(held_[index]->size()));
}

std::optional<ExactValue> MyCursor::exactAt(size_t index) const {
    if (eof_) return std::nullopt;
    const Column& column = kept_[index];
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

std::optional<QString> MyCursor::valueAt(size_t index) const {
    if (eof_) throw EngineError(kNoCurrentRecord, QStringLiteral("現在のレコードがありません。"));
    const std::optional<std::string_view> raw = Raw(index);
    if (!raw) return std::nullopt;
    const char* text = raw->data();
    auto length = static_cast<qsizetype>(raw->size());
    const ColumnType& type = kept_[index].type;
    switch (type.form) {
    case ValueForm::AsText: break;
    case ValueForm::PlainDecimal: {
        const std::optional<std::string_view> plain = PlainDecimalText(*raw);
        if (!plain) return PlainDecimalFromText(QString::fromLatin1(text, length));
        return QString::fromLatin1(plain->data(), static_cast<qsizetype>(plain->size()));
    }
    case ValueForm::FixedChar: {
        QString value = QString::fromUtf8(text, length);
        if (keepTrailingBlanks_) PadWithBlanks(value, type.size);
        else StripTrailingBlanks(value);
        return value;
    }
    case ValueForm::Hex: return HexText(std::string_view(text, static_cast<size_t>(length)));
    }
    return QString::fromUtf8(text, length);
}

// The server's own bytes wherever they are the cell text already: a read
// makes no QString per value.
std::optional<std::string_view> MyCursor::utf8ValueAt(size_t index, std::string& scratch) const {
    if (eof_) throw EngineError(kNoCurrentRecord, QStringLiteral("現在のレコードがありません。"));
    const std::optional<std::string_view> raw = Raw(index);
    if (!raw) return std::nullopt;
    std::string_view text = *raw;
    const ColumnType& type = kept_[index].type;
    switch (type.form) {
    case ValueForm::AsText: return text;
    case ValueForm::PlainDecimal: {
        const std::optional<std::string_view> plain = PlainDecimalText(text);
        if (!plain) return Cursor::utf8ValueAt(index, scratch);
        return plain;
    }
    case ValueForm::FixedChar:
        if (!keepTrailingBlanks_) return WithoutTrailingBlanks(text);
        // Padding counts characters; only ASCII text has one byte per character.
        if (!IsAscii(text)) return Cursor::utf8ValueAt(index, scratch);
        if (static_cast<int64_t>(text.size()) >= type.size) return text;
        scratch.assign(text);
        scratch.resize(static_cast<size_t>(type.size), ' ');
        return std::string_view(scratch);
    case ValueForm::Hex: break;
    }
    return Cursor::utf8ValueAt(index, scratch);
}

void MyCursor::StartStream() {
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

void MyCursor::Resume() {
    const int64_t target = position_;
    Execute();
    do Fetch();
    while (!eof_ && position_ < target);
}

void MyCursor::Fetch() {
    MYSQL* mysql = connection_->get();
    ++position_;
    row_ = connection_->FetchRow(stream_.get());
    if (!row_) {
        const bool failed = mysql_errno(mysql) != 0;
        const Error error = failed ? ConnectionError(mysql) : Error(0, QString());
        eof_ = true;
        try {
            EndStream();
        } catch (const Error&) {
            if (!failed) throw;  // the stream's own failure says more
        }
        if (failed) throw error;
        return;
    }
    lengths_ = mysql_fetch_lengths(stream_.get());
}

TableKeyFacts KeyFactsOf(MYSQL_RES* answer) {
    TableKeyFacts facts;
    while (MYSQL_ROW row = answer ? mysql_fetch_row(answer) : nullptr) {
        const auto on = [row](int field) { return row[field] && std::strcmp(row[field], "0") != 0; };
        facts.referred = on(5);
        if (!row[0]) continue;  // no unique index
        std::optional<QString> column;
        if (row[2]) column = QString::fromUtf8(row[2]);
        facts.indexRows.push_back({QString::fromUtf8(row[0]), on(1), column, on(3)});
    }
    return facts;
}

void MyCursor::Open(const std::vector<QByteArray>& opening, const QByteArray& keyQuery, MyConnection::Setup setup) {
    MyConnection& c = *connection_;
    QByteArray inner = sql_;
    while (!inner.isEmpty() && (QChar::isSpace(static_cast<uchar>(inner.back())) || inner.back() == ';')) inner.chop(1);
    // The line breaks keep a trailing "-- comment" from swallowing the ")".
    const QByteArray countSql = "SELECT COUNT(*) FROM (\n" + inner + "\n) AS velkin_counted";
    std::vector<QByteArray> group = opening;
    group.push_back(countSql);
    group.push_back(sql_);
    // Last: the server looks the key up while the rows are on their way and
    // being taken in; its answer is read when the rows end (EndStream).
    if (!keyQuery.isEmpty()) group.push_back(keyQuery);
    c.SendGroup(group, setup);
    keyPending_ = !keyQuery.isEmpty();

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
    if (!ran) {
        ReadKeyFacts();
        throw openingRefused ? *openingRefused : countRefused ? *countRefused : *queryRefused;
    }
    StartStream();
    if (countRefused && ServerFaultOf(*countRefused) != ServerFault::None) {
        // Not a statement that cannot be a subquery: the server refused
        // the count for a lock or a conflict, which the query must not hide.
        Abandon();
        throw *countRefused;
    }
    if (openingRefused) {
        // Outside a snapshot the count could disagree with the rows; the
        // rows still on their way are not waited for.
        Abandon();
        throw *openingRefused;
    }
    if (counted) return;
    count_ = 0;
    while (c.FetchRow(stream_.get())) ++count_;
    if (mysql_errno(c.get()) != 0) throw ConnectionError(c.get());
    EndStream();
    Execute();
}

void MyCursor::EndStream() {
    row_ = nullptr;
    connection_->StreamEnded(this);
    connection_->FreeResult(stream_);
    ReadKeyFacts();
}

void MyCursor::Abandon() {
    keyPending_ = false;  // goes with the connection
    connection_->Abandon();
}

void MyCursor::ReadKeyFacts() {
    if (!std::exchange(keyPending_, false)) return;
    MyConnection& c = *connection_;
    std::optional<Error> refused;
    if (!c.ReadAnswer(refused)) {
        c.tableKeys[*wholeTable_] = {{}, false, refused};
        return;
    }
    MYSQL_RES* stored = nullptr;
    MYSQL* m = c.get();
    c.Call([&] { return mysql_store_result_start(&stored, m); },
           [&](int ready) { return mysql_store_result_cont(&stored, m, ready); });
    const ResultPtr answer{stored};
    c.tableKeys[*wholeTable_] = KeyFactsOf(answer.get());
}

void MyCursor::Close() noexcept {
    MyConnection& c = *connection_;
    try {
        // A read that stops early (the grid's row limit) would otherwise
        // wait for every remaining row of a large table to arrive. The
        // cursors' transaction has only read, so dropping the connection
        // loses nothing.
        const bool abandon = stream_ && !eof_ && count_ - position_ > kRowsWorthDraining &&
                             c.transaction.cursorCount() == 1 &&
                             c.transaction.owner() == TransactionState::Owner::Cursors &&
                             !c.transaction.changedInCursorTransaction();
        if (abandon) Abandon();
        EndStream();
        if (c.transaction.lastCursorCloses()) {
            // A transaction that only read ends with whatever runs next, in its round trip.
            if (!abandon) {
                if (c.transaction.changedInCursorTransaction()) c.Run("COMMIT");
                else c.Defer("COMMIT");
            }
        }
    } catch (...) {
        // A lost connection ends the transaction on the server.
    }
}

}  // namespace velkin::my
