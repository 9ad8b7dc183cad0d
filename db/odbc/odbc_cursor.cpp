#include "db/odbc/odbc_cursor.h"

#include "db/date_text.h"

#include "db/error.h"
#include "db/odbc/odbc_text.h"
#include "db/plain_decimal.h"
#include "db/value_forms.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace velkin::odbc {

namespace {

// Characters fetched per SQLGetData call at first; long values grow the buffer.
constexpr size_t kInitialChunk = 1024;

// Reads column `column` of the current row as text, in as many chunks as a
// long value needs; nullopt for SQL NULL. `buffer` is reused between calls.
std::optional<QString> ReadText(const StatementHandle& statement, SQLUSMALLINT column, std::vector<SQLWCHAR>& buffer) {
    QString text;
    for (;;) {
        SQLLEN indicator = 0;
        const auto capacity = static_cast<SQLLEN>(buffer.size() * sizeof(SQLWCHAR));
        const SQLRETURN rc = SQLGetData(statement.get(), column, SQL_C_WCHAR, buffer.data(), capacity, &indicator);
        if (rc == SQL_NO_DATA) break;  // the chunk before was the last one
        CheckStatement(rc, statement);
        if (indicator == SQL_NULL_DATA) return std::nullopt;
        // One place goes to the terminator the driver writes.
        const auto room = static_cast<SQLLEN>(buffer.size()) - 1;
        const bool truncated = rc == SQL_SUCCESS_WITH_INFO &&
                               (indicator == SQL_NO_TOTAL || indicator / static_cast<SQLLEN>(sizeof(SQLWCHAR)) > room);
        if (!truncated) {
            text.append(FromWide(buffer.data(), indicator / static_cast<SQLLEN>(sizeof(SQLWCHAR))));
            break;
        }
        text.append(FromWide(buffer.data(), room));
        const SQLLEN rest = indicator == SQL_NO_TOTAL ? room * 2 : indicator / static_cast<SQLLEN>(sizeof(SQLWCHAR)) - room;
        if (rest + 1 > static_cast<SQLLEN>(buffer.size())) buffer.resize(static_cast<size_t>(rest) + 1);
    }
    return text;
}

// The bytes of a binary column as upper-case hexadecimal digits, read as
// bytes: a driver asked for text may try to convert them as characters
// (MariaDB's fails on bytes that are not UTF-8).
std::optional<QString> ReadHex(const StatementHandle& statement, SQLUSMALLINT column) {
    QByteArray bytes;
    char chunk[8192];
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc = SQLGetData(statement.get(), column, SQL_C_BINARY, chunk, sizeof chunk, &indicator);
        if (rc == SQL_NO_DATA) break;
        CheckStatement(rc, statement);
        if (indicator == SQL_NULL_DATA) return std::nullopt;
        const bool more = rc == SQL_SUCCESS_WITH_INFO &&
                          (indicator == SQL_NO_TOTAL || indicator > static_cast<SQLLEN>(sizeof chunk));
        bytes.append(chunk, more ? static_cast<qsizetype>(sizeof chunk) : static_cast<qsizetype>(indicator));
        if (!more) break;
    }
    return HexText(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
}

// A string attribute of a result column (type name, base table, ...).
QString ColumnString(const StatementHandle& statement, SQLUSMALLINT column, SQLUSMALLINT field) {
    std::vector<SQLWCHAR> buffer(256);
    SQLSMALLINT bytes = 0;
    SQLRETURN rc = SQLColAttributeW(statement.get(), column, field, buffer.data(),
                                    static_cast<SQLSMALLINT>(buffer.size() * sizeof(SQLWCHAR)), &bytes, nullptr);
    if (rc == SQL_SUCCESS_WITH_INFO && static_cast<size_t>(bytes) >= buffer.size() * sizeof(SQLWCHAR)) {
        buffer.resize(static_cast<size_t>(bytes) / sizeof(SQLWCHAR) + 1);
        rc = SQLColAttributeW(statement.get(), column, field, buffer.data(),
                              static_cast<SQLSMALLINT>(buffer.size() * sizeof(SQLWCHAR)), &bytes, nullptr);
    }
    // Drivers that do not know an attribute leave it empty or refuse it: both mean "unknown".
    if (!SQL_SUCCEEDED(rc) || bytes <= 0) return QString();
    size_t length = std::min(static_cast<size_t>(bytes) / sizeof(SQLWCHAR), buffer.size() - 1);
    // As for the column's name (DescribeColumn), the terminator tells the truth.
    length = static_cast<size_t>(std::find(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(length), 0) -
                                 buffer.begin());
    return FromWide(buffer.data(), static_cast<qsizetype>(length));
}

struct Column {
    QString name;
    ColumnType type;
    bool nullOk = true;
    // Padding for CHAR values a driver hands over unpadded (SQLite keeps what was written).
    qsizetype padTo = 0;
    ColumnOrigin origin;
};

struct DescribedColumn {
    QString name;
    ColumnDescription description;
    SQLSMALLINT nullable = SQL_NULLABLE_UNKNOWN;
    QString schema;
    QString baseTable;
    QString baseColumn;
};

DescribedColumn Describe(const StatementHandle& statement, SQLUSMALLINT column) {
    DescribedColumn described;
    std::vector<SQLWCHAR> name(256);
    SQLSMALLINT nameLength = 0, sqlType = 0, digits = 0, nullable = SQL_NULLABLE_UNKNOWN;
    SQLULEN size = 0;
    SQLRETURN rc = SQLDescribeColW(statement.get(), column, name.data(), static_cast<SQLSMALLINT>(name.size()),
                                   &nameLength, &sqlType, &size, &digits, &nullable);
    if (rc == SQL_SUCCESS_WITH_INFO && static_cast<size_t>(nameLength) >= name.size()) {
        name.resize(static_cast<size_t>(nameLength) + 1);
        rc = SQLDescribeColW(statement.get(), column, name.data(), static_cast<SQLSMALLINT>(name.size()), &nameLength,
                             &sqlType, &size, &digits, &nullable);
    }
    CheckStatement(rc, statement);
    // SQLite's driver gives the name's length in UTF-8 bytes; its terminator tells the truth.
    const auto reported = std::min<qsizetype>(nameLength, static_cast<qsizetype>(name.size()) - 1);
    described.name = FromWide(name.data(), std::find(name.begin(), name.begin() + reported, 0) - name.begin());
    described.description.typeName = ColumnString(statement, column, SQL_DESC_TYPE_NAME);
    described.description.sqlType = sqlType;
    described.description.columnSize = size;
    described.description.decimalDigits = digits;
    described.nullable = nullable;
    if (nullable != SQL_NO_NULLS) {
        described.schema = ColumnString(statement, column, SQL_DESC_SCHEMA_NAME);
        described.baseTable = ColumnString(statement, column, SQL_DESC_BASE_TABLE_NAME);
        described.baseColumn = ColumnString(statement, column, SQL_DESC_BASE_COLUMN_NAME);
    }
    return described;
}

// A table's columns as the catalogue (SQLColumns) defines them.
struct CatalogueColumn {
    bool nullOk = true;
    QString declaredType;
};
using CatalogueTable = std::map<QString, CatalogueColumn>;

// Reads the definition of `schema`.`table`. A catalogue that cannot answer
// leaves the driver's own description standing, so a failure here is no error.
CatalogueTable ReadCatalogue(const OdbcConnection& connection, const QString& schema, const QString& table) {
    CatalogueTable columns;
    try {
        const StatementHandle statement = AllocateStatement(connection.get());
        // The names are search patterns: "_" in EMP_MASTER would match any
        // character, so they are escaped, and the rows are checked again.
        const QString tablePattern = EscapePattern(table, connection.searchPatternEscape);
        const QString schemaPattern = EscapePattern(schema, connection.searchPatternEscape);
        CheckStatement(connection.Waiting(statement.get(), [&] {
                           return SQLColumnsW(statement.get(), nullptr, 0, schema.isEmpty() ? nullptr : Wide(schemaPattern),
                                              static_cast<SQLSMALLINT>(schema.isEmpty() ? 0 : schemaPattern.size()),
                                              Wide(tablePattern), static_cast<SQLSMALLINT>(tablePattern.size()), nullptr, 0);
                       }),
                       statement);
        std::vector<SQLWCHAR> buffer(256);
        SQLRETURN rc;
        while (SQL_SUCCEEDED(rc = SQLFetch(statement.get()))) {
            // TABLE_SCHEM 2, TABLE_NAME 3, COLUMN_NAME 4, TYPE_NAME 6, NULLABLE 11.
            const QString rowSchema = ReadText(statement, 2, buffer).value_or(QString());
            const QString rowTable = ReadText(statement, 3, buffer).value_or(QString());
            const QString name = ReadText(statement, 4, buffer).value_or(QString());
            const QString typeName = ReadText(statement, 6, buffer).value_or(QString());
            const QString nullable = ReadText(statement, 11, buffer).value_or(QString());
            if (rowTable != table || (!schema.isEmpty() && rowSchema != schema)) continue;
            columns[name] = {nullable.trimmed() != QLatin1String("0"), typeName};
        }
        CheckStatement(rc, statement);
    } catch (const Error&) {
        columns.clear();
    }
    return columns;
}

// Columns of a result as the commands tell them apart. Nullability comes from the driver
// where it says NOT NULL; where it says "nullable" or "unknown" the catalogue
// is asked, once per base table: SQLite's driver calls every column nullable.
std::vector<Column> DescribeColumns(const OdbcConnection& connection, const StatementHandle& statement,
                                    SQLSMALLINT count, bool keepTrailingBlanks) {
    std::vector<DescribedColumn> described;
    described.reserve(static_cast<size_t>(count));
    for (SQLSMALLINT column = 1; column <= count; ++column)
        described.push_back(Describe(statement, static_cast<SQLUSMALLINT>(column)));

    std::map<std::pair<QString, QString>, CatalogueTable> catalogue;
    std::vector<Column> columns;
    columns.reserve(described.size());
    for (DescribedColumn& d : described) {
        Column column;
        column.name = d.name;
        column.nullOk = d.nullable != SQL_NO_NULLS;
        if (column.nullOk && !d.baseTable.isEmpty() && !d.baseColumn.isEmpty()) {
            const auto key = std::make_pair(d.schema, d.baseTable);
            auto found = catalogue.find(key);
            if (found == catalogue.end())
                found = catalogue.emplace(key, ReadCatalogue(connection, d.schema, d.baseTable)).first;
            if (const auto entry = found->second.find(d.baseColumn); entry != found->second.end()) {
                column.nullOk = entry->second.nullOk;
                d.description.declaredType = entry->second.declaredType;
            }
        }
        column.type = MapColumn(d.description);
        // The driver hands bytes over as their hexadecimal digits.
        const int sqlType = d.description.sqlType;
        if (sqlType == SQL_BINARY || sqlType == SQL_VARBINARY || sqlType == SQL_LONGVARBINARY)
            column.origin.shape = ValueShape::Binary;
        if (keepTrailingBlanks && column.type.kind == ColumnKind::FixedChar) column.padTo = column.type.size;
        columns.push_back(std::move(column));
    }
    return columns;
}

// The statement behind a cursor and the record it stands on. The values of
// the current record are read once, when it is fetched: ODBC hands each value
// over only once and in column order, and values may be read in any order.
struct StepState {
    // Declared before the statement so the statement is freed first.
    SharedConnection connection;
    StatementHandle statement;
    std::vector<Column> columns;
    std::vector<std::optional<QString>> values;
    // Per value: the length the driver gave a CHAR value padded here, else -1.
    std::vector<qsizetype> paddedFrom;
    std::vector<SQLWCHAR> buffer = std::vector<SQLWCHAR>(kInitialChunk);
    bool keepTrailingBlanks = true;
    bool eof = true;
    // Still on the first record of the latest execution.
    bool atFirst = true;

    // Records fetched ahead with their values, on the connection's helper
    // thread (a driver may go to the server for them), a batch at a time:
    // handing each record over on its own would cost more than reading it.
    // The records' storage is reused from batch to batch.
    static constexpr int kRecordsAhead = 64;
    struct Record {
        std::vector<std::optional<QString>> values;
        std::vector<qsizetype> paddedFrom;
    };
    std::vector<Record> ahead;
    size_t aheadNext = 0, aheadCount = 0;  // the next record to hand out, and the records held
    bool ended = false;                    // the driver said there are no more
    std::exception_ptr failure;            // what fetching met after the records ahead
    uint64_t aheadSince = 0;               // the connection's transactions ended when they were fetched

    void Fetch() {
        if (aheadNext < aheadCount && !ended && !failure && aheadSince != connection->transactionsEnded) {
            // A transaction ended since: where the driver closed its cursor
            // then, reading on is its error, not the records fetched ahead.
            const size_t held = aheadCount;
            FetchAhead(true);
            if (failure && aheadCount == held) aheadNext = aheadCount = 0;
        }
        if (aheadNext == aheadCount && !ended && !failure) FetchAhead(false);
        if (aheadNext == aheadCount) {
            if (failure) std::rethrow_exception(std::exchange(failure, nullptr));
            eof = true;
            values.assign(columns.size(), std::nullopt);
            return;
        }
        values.swap(ahead[aheadNext].values);
        paddedFrom.swap(ahead[aheadNext].paddedFrom);
        ++aheadNext;
        eof = false;
    }

    // Fetches the next batch, after the records held when `keep`.
    void FetchAhead(bool keep) {
        if (!keep) aheadNext = aheadCount = 0;
        aheadSince = connection->transactionsEnded;
        connection->Waiting(statement.get(), [this] {
            try {
                for (int i = 0; i < kRecordsAhead; ++i) {
                    const SQLRETURN rc = SQLFetch(statement.get());
                    if (rc == SQL_NO_DATA) {
                        ended = true;
                        break;
                    }
                    CheckStatement(rc, statement);
                    if (aheadCount == ahead.size()) ahead.emplace_back();
                    ReadValues(ahead[aheadCount]);
                    ++aheadCount;
                }
            } catch (const Error&) {
                failure = std::current_exception();
            }
            return SQL_SUCCESS;
        });
    }

    // The statement runs afresh: nothing fetched before counts.
    void Restart() {
        aheadNext = aheadCount = 0;
        ended = false;
        failure = nullptr;
    }

    void ReadValues(Record& record) {
        record.values.resize(columns.size());
        record.paddedFrom.assign(columns.size(), -1);
        for (size_t i = 0; i < columns.size(); ++i) {
            const auto column = static_cast<SQLUSMALLINT>(i + 1);
            record.values[i] = columns[i].origin.shape == ValueShape::Binary
                                   ? ReadHex(statement, column)
                                   : Converted(ReadText(statement, column, buffer), columns[i], record.paddedFrom[i]);
        }
    }

    std::optional<QString> Converted(std::optional<QString> text, const Column& column, qsizetype& paddedFrom) const {
        if (!text) return text;
        switch (column.type.kind) {
        case ColumnKind::Number: return PlainDecimalFromText(*text);
        // A date or timestamp goes to the read as the driver wrote it, fraction
        // and zone included: the read decides what the cell shows.
        case ColumnKind::FixedChar:
            if (column.padTo > text->size()) {
                paddedFrom = text->size();
                PadWithBlanks(*text, column.padTo);
                return text;
            }
            [[fallthrough]];
        case ColumnKind::Text:
            if (!keepTrailingBlanks) StripTrailingBlanks(*text);
            return text;
        default: return text;
        }
    }
};

class OdbcCursor final : public Cursor {
public:
    OdbcCursor(SharedConnection connection, const QString& sql, bool keepTrailingBlanks) : sql_(sql) {
        RefuseSecondStatement(sql_);
        cursor_.connection = std::move(connection);
        cursor_.keepTrailingBlanks = keepTrailingBlanks;
        cursor_.statement = AllocateStatement(cursor_.connection->get());
        const StatementHandle& statement = cursor_.statement;

        const OdbcConnection& c = *cursor_.connection;
        CheckStatement(c.Waiting(statement.get(), [&] {
                           return SQLPrepareW(statement.get(), Wide(sql_), static_cast<SQLINTEGER>(sql_.size()));
                       }),
                       statement);
        // A cursor reads: a statement that returns no rows (an UPDATE, say)
        // is refused before it runs, so opening a cursor never changes data.
        // (A driver may ask the server for the result's shape.)
        SQLSMALLINT count = 0;
        CheckStatement(c.Waiting(statement.get(), [&] { return SQLNumResultCols(statement.get(), &count); }), statement);
        if (count <= 0)
            throw EngineError(QStringLiteral("07005"), QStringLiteral("行を返さない SQL 文からはダイナセットを作れません。"));
        if (count > std::numeric_limits<int16_t>::max()) throw Error::Overflow();

        CheckStatement(c.Waiting(statement.get(), [&] { return SQLExecute(statement.get()); }), statement);
        cursor_.columns = DescribeColumns(*cursor_.connection, statement, count, keepTrailingBlanks);
        cursor_.values.assign(cursor_.columns.size(), std::nullopt);
        columns_.reserve(cursor_.columns.size());
        for (const Column& column : cursor_.columns)
            columns_.push_back({column.name, column.type.kind, column.type.size, column.type.scale, column.nullOk,
                                column.origin});
        cursor_.Fetch();
    }

    int32_t size() override {
        return rowCount_.get([this] { return CountRecords(); });
    }

    void first() override {
        // The cursor moves forward only: going back means running the query again.
        if (cursor_.atFirst) return;
        const StatementHandle& statement = cursor_.statement;
        CheckStatement(SQLFreeStmt(statement.get(), SQL_CLOSE), statement);
        cursor_.Restart();
        CheckStatement(cursor_.connection->Waiting(statement.get(), [&] { return SQLExecute(statement.get()); }),
                       statement);
        cursor_.atFirst = true;
        cursor_.Fetch();
    }

    void next() override {
        // Fetching past the end again would be a function sequence error.
        if (cursor_.eof) return;
        cursor_.atFirst = false;
        cursor_.Fetch();
    }

    bool atEnd() const override { return cursor_.eof; }

protected:
    std::optional<QString> valueAt(size_t index) const override {
        if (cursor_.eof) throw EngineError(QStringLiteral("24000"), QStringLiteral("現在のレコードがありません。"));
        return cursor_.values[index];
    }

    // A database that keeps written text (SQLite) gets a padded CHAR value or
    // a date text the cell would rewrite back as it was stored.
    std::optional<ExactValue> exactAt(size_t index) const override {
        if (cursor_.eof || !cursor_.connection->keepsWrittenText) return std::nullopt;
        const std::optional<QString>& value = cursor_.values[index];
        if (!value) return std::nullopt;
        QString stored;
        if (cursor_.paddedFrom[index] >= 0) stored = value->left(cursor_.paddedFrom[index]);
        else if (cursor_.columns[index].type.kind == ColumnKind::Date && !DateTextSurvivesItsCell(*value)) stored = *value;
        else return std::nullopt;
        return ExactValue{Dialect::sqlStringLiteral(stored)};
    }

private:
    // Counts without holding the rows: the server counts the query as a
    // subquery. A statement that cannot be one is run once more by a second
    // statement and fetched through without reading any value.
    int64_t CountRecords() {
        const SQLHDBC dbc = cursor_.connection->get();
        QString inner = sql_;
        while (!inner.isEmpty() && (inner.back().isSpace() || inner.back() == QLatin1Char(';'))) inner.chop(1);
        // The line breaks keep a trailing "-- comment" from swallowing the ")";
        // "t" without AS is an alias every dialect accepts (Oracle refuses AS).
        const QString countSql = QStringLiteral("SELECT COUNT(*) FROM (\n") + inner + QStringLiteral("\n) t");
        try {
            const StatementHandle count = AllocateStatement(dbc);
            const OdbcConnection& c = *cursor_.connection;
            CheckStatement(c.Waiting(count.get(), [&] {
                               return SQLExecDirectW(count.get(), Wide(countSql), static_cast<SQLINTEGER>(countSql.size()));
                           }),
                           count);
            const SQLRETURN fetched = c.Waiting(count.get(), [&] { return SQLFetch(count.get()); });
            CheckStatement(fetched, count);
            SQLBIGINT records = 0;
            SQLLEN indicator = 0;
            if (fetched != SQL_NO_DATA) {
                CheckStatement(SQLGetData(count.get(), 1, SQL_C_SBIGINT, &records, 0, &indicator), count);
                if (indicator != SQL_NULL_DATA && records >= 0) return records;
            }
        } catch (const Error&) {
            // Not a query that can stand in FROM; counted the long way below.
        }

        const StatementHandle copy = AllocateStatement(dbc);
        const OdbcConnection& c = *cursor_.connection;
        CheckStatement(c.Waiting(copy.get(), [&] {
                           return SQLExecDirectW(copy.get(), Wide(sql_), static_cast<SQLINTEGER>(sql_.size()));
                       }),
                       copy);
        int64_t records = 0;
        SQLRETURN rc;
        c.Waiting(copy.get(), [&] {
            while (SQL_SUCCEEDED(rc = SQLFetch(copy.get()))) ++records;
            return rc;
        });
        CheckStatement(rc, copy);
        return records;
    }

    StepState cursor_;
    QString sql_;
    LazyRowCount rowCount_;
};

}  // namespace

std::unique_ptr<Cursor> OpenCursor(SharedConnection connection, const QString& sql, bool keepTrailingBlanks) {
    return std::make_unique<OdbcCursor>(std::move(connection), sql, keepTrailingBlanks);
}

}  // namespace velkin::odbc
