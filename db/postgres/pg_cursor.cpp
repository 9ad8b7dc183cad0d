#include "db/postgres/pg_cursor.h"

#include "db/plain_decimal.h"
#include "db/postgres/pg_session.h"
#include "db/value_forms.h"

#include <QByteArrayList>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <limits>

namespace velkin::pg {

namespace {

// Type OIDs of the built-in types (pg_type.dat); fixed since they are part of
// the catalogue's bootstrap data.
constexpr Oid kOidName = 19, kOidInt8 = 20, kOidInt2 = 21, kOidInt4 = 23, kOidText = 25;
constexpr Oid kOidFloat4 = 700, kOidFloat8 = 701, kOidBpchar = 1042, kOidVarchar = 1043;
constexpr Oid kOidDate = 1082, kOidTimestamp = 1114, kOidTimestampTz = 1184, kOidNumeric = 1700;
constexpr Oid kOidBytea = 17;

// Type modifiers of the length and precision types are offset by the varlena header size.
constexpr int kTypmodOffset = 4;
// Precision shown for numbers declared without one (Oracle's NUMBER maximum).
constexpr int32_t kUnboundedPrecision = 38;

ColumnType DescribeColumn(Oid type, int typmod) {
    const int declaredLength = typmod >= kTypmodOffset ? typmod - kTypmodOffset : 0;
    switch (type) {
    case kOidVarchar:
    case kOidText:
    case kOidName: return {ColumnKind::Text, declaredLength, 0, ValueForm::AsText};
    case kOidBpchar: return {ColumnKind::FixedChar, declaredLength, 0, ValueForm::FixedChar};
    // Integers print plainly; their size is the precision of the type's range, plus one.
    case kOidInt2: return {ColumnKind::Number, 5 + 1, 0, ValueForm::AsText};
    case kOidInt4: return {ColumnKind::Number, 10 + 1, 0, ValueForm::AsText};
    case kOidInt8: return {ColumnKind::Number, 19 + 1, 0, ValueForm::AsText};
    case kOidNumeric: {
        if (typmod < kTypmodOffset) return {ColumnKind::Number, kUnboundedPrecision + 1, 0, ValueForm::PlainDecimal};
        const int packed = typmod - kTypmodOffset;
        const int precision = (packed >> 16) & 0xffff;
        const int scale = ((packed & 0x7ff) ^ 1024) - 1024;  // 11-bit signed: scale may be negative
        return {ColumnKind::Number, precision + 1, scale, ValueForm::PlainDecimal};
    }
    // Binary floating point prints an exponent for large and small values (1e+20).
    case kOidFloat4:
    case kOidFloat8: return {ColumnKind::Number, kUnboundedPrecision + 1, 0, ValueForm::PlainDecimal};
    // Sizes as Oracle gives them for DATE and TIMESTAMP; the commands do not use them.
    case kOidDate: return {ColumnKind::Date, 7, 0, ValueForm::AsText};
    case kOidTimestamp:
    case kOidTimestampTz: return {ColumnKind::Date, 11, 0, ValueForm::AsText};
    case kOidBytea: return {ColumnKind::Other, 0, 0, ValueForm::Hex};
    default: return {};
    }
}

// The catalogue's facts of a result's columns, one row per column in their
// order: the type's name for casts, NOT NULL, generated, always an identity;
// the column's place in its table's key (0: none) and the number of the key's
// columns; whether other tables refer to its table; last the column's table
// and attribute number, type and modifier, as `columns` gives them (one row
// per result column, in order: kGivenColumns or kColumnsOfTable).
//
// The key: the primary key; else of the unique indexes that are valid,
// neither partial nor on expressions, and whose key columns (not those it
// INCLUDEs) are all NOT NULL, the first by name.
QString CatalogueQuery(const char* columns) {
    return QStringLiteral(
               "WITH k(rel, num, typ, mod, ord) AS (%2), "
               "target AS (SELECT DISTINCT rel AS oid FROM k WHERE rel <> 0), %1, "
               "keyed AS (SELECT DISTINCT ON (i.indrelid) i.indrelid AS rel, i.indkey::pg_catalog.int2[] AS cols, "
               "i.indnkeyatts AS width FROM target t JOIN pg_catalog.pg_index i ON i.indrelid = t.oid "
               "JOIN pg_catalog.pg_class x ON x.oid = i.indexrelid "
               "WHERE i.indisunique AND i.indisvalid AND i.indpred IS NULL AND i.indexprs IS NULL "
               "AND (i.indisprimary OR NOT EXISTS (SELECT FROM unnest(i.indkey::pg_catalog.int2[]) WITH ORDINALITY "
               "AS c(num, place) JOIN pg_catalog.pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = c.num "
               "WHERE c.place <= i.indnkeyatts AND NOT a.attnotnull)) "
               "ORDER BY i.indrelid, i.indisprimary DESC, x.relname) "
               "SELECT pg_catalog.format_type(k.typ, k.mod), coalesce(a.attnotnull, false), "
               "coalesce(a.attgenerated <> '', false), coalesce(a.attidentity = 'a', false), "
               "coalesce((SELECT c.place FROM keyed y, unnest(y.cols) WITH ORDINALITY AS c(num, place) "
               "WHERE y.rel = k.rel AND c.num = k.num AND c.place <= y.width), 0), "
               "coalesce((SELECT y.width FROM keyed y WHERE y.rel = k.rel), 0), "
               "k.rel IN (SELECT target FROM referring), k.rel, k.num, k.typ, k.mod "
               "FROM k LEFT JOIN pg_catalog.pg_attribute a ON a.attrelid = k.rel AND a.attnum = k.num AND k.num > 0 "
               "ORDER BY k.ord")
        .arg(Dialect::postgresReferringKeysCtes(QStringLiteral("target")), QLatin1String(columns));
}

// The result's columns given as parameters: arrays of each column's table
// and attribute number, type and modifier.
constexpr const char* kGivenColumns =
    "SELECT * FROM unnest($1::pg_catalog.oid[], $2::pg_catalog.int2[], $3::pg_catalog.oid[], $4::pg_catalog.int4[]) "
    "WITH ORDINALITY";

// The columns SELECT * gives of the table named $2 in schema $1 (empty: the
// first schema of the search path that has it), both as the server keeps
// them. Never an error, whatever the names: a table not found has none.
constexpr const char* kColumnsOfTable =
    "SELECT a.attrelid, a.attnum, a.atttypid, a.atttypmod, row_number() OVER (ORDER BY a.attnum) "
    "FROM pg_catalog.pg_attribute a WHERE a.attnum > 0 AND NOT a.attisdropped AND a.attrelid = ("
    "SELECT c.oid FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
    "WHERE c.relname = $2 AND (n.nspname = $1 OR ($1 = '' AND n.nspname = ANY (pg_catalog.current_schemas(true)))) "
    "ORDER BY pg_catalog.array_position(pg_catalog.current_schemas(true), n.nspname) LIMIT 1)";

// Fields of CatalogueQuery's rows.
constexpr size_t kKeyPlace = 4, kKeyLength = 5, kReferred = 6, kGivenFirst = 7;

// The schema and table a read's query over a whole table's first row names
// (WholeTableReadOf), as the server keeps them: an unquoted name in lower
// case. Nothing for any other text, or a name in quotes the server does not take.
std::optional<std::vector<QByteArray>> FirstRowTableOf(const QString& sql) {
    if (!sql.endsWith(QLatin1String(" LIMIT 1"))) return std::nullopt;
    const std::optional<QString> table = WholeTableReadOf(sql);
    if (!table || table->contains(QLatin1Char('`'))) return std::nullopt;
    std::vector<QByteArray> names;
    for (const NamePart& part : SplitTableName(*table)) {
        QString name = part.text;
        if (!part.quoted)
            for (QChar& c : name)
                if (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) c = c.toLower();
        names.push_back(name.toUtf8());
    }
    if (names.size() == 1) names.insert(names.begin(), QByteArray());
    return names;
}

// The catalogue's rows as texts, each field in turn.
std::vector<std::vector<QByteArray>> RowsOf(const PGresult* answer) {
    std::vector<std::vector<QByteArray>> rows;
    for (int r = 0; r < PQntuples(answer); ++r) {
        std::vector<QByteArray>& row = rows.emplace_back();
        for (int f = 0; f < PQnfields(answer); ++f) row.emplace_back(PQgetvalue(answer, r, f));
    }
    return rows;
}

// What the cursor keeps of a column besides its description.
struct Column {
    ColumnType type;
    // A numeric without a declared scale: each value keeps its own ("1.50").
    bool ownScale = false;
};

// A result set read through a scrollable cursor, a batch of rows at a time, so
// the client never holds more than two batches of however large a result: the
// one the caller works through and the next, asked for ahead so that its
// round trip runs meanwhile.
//
// A cursor needs a transaction. Inside the session's transaction the cursor
// lives in it; otherwise the first cursor opens one that the cursors share
// and the last of them commits, as single statements would have been. A
// begin meanwhile takes that transaction over, so the session's commit or
// rollback ends it, and the cursors with it.
class PgCursor final : public Cursor {
public:
    PgCursor(std::shared_ptr<PgConnection> connection, const QString& sql, CursorOption option, Count count)
        : connection_(std::move(connection)) {
        PgConnection& c = *connection_;
        // The transaction (when none is open), the cursor and its first batch
        // go in one round trip; so does the count when it is asked for at once.
        std::vector<PgConnection::Statement> opening;
        if (c.transaction.cursorOpens()) opening.push_back({"BEGIN", {}});
        generation_ = c.generation;
        try {
            cursor_ = "velkin_dynaset_" + QByteArray::number(++c.cursorsMade);
            opening.push_back({"DECLARE " + cursor_ + " SCROLL CURSOR FOR " + sql.toUtf8(), {}});
            const size_t declare = opening.size() - 1;
            opening.push_back({FetchSql(batchAsked_), {}});
            const size_t fetch = opening.size() - 1;
            if (count == Count::AtOpening) {
                // To the end and back to where the first batch ends (past
                // the end, harmlessly, when the batch already holds them all).
                opening.push_back({"MOVE FORWARD ALL IN " + cursor_, {}});
                opening.push_back({"MOVE ABSOLUTE " + QByteArray::number(batchAsked_) + " IN " + cursor_, {}});
            }
            // A read's first query over a table asks the catalogue by the
            // table's name at once, instead of by the result's columns a
            // round trip later; DescribeColumns checks that they are the same.
            const std::optional<std::vector<QByteArray>> table = FirstRowTableOf(sql);
            if (table) opening.push_back({CatalogueQuery(kColumnsOfTable).toUtf8(), *table});
            size_t ran = 0;
            std::vector<ResultPtr> results;
            try {
                results = c.Pipeline(opening, &ran);
            } catch (...) {
                declared_ = ran > declare;
                throw;
            }
            declared_ = true;
            TakeBatch(std::move(results[fetch]));
            if (count == Count::AtOpening && total_ < 0)
                total_ = serverPosition_ + std::strtoll(PQcmdTuples(results[fetch + 1].get()), nullptr, 10);
            DescribeColumns(table ? results.back().get() : nullptr);
            stripBlanks_ = option == CursorOption::StripTrailingBlanks;
        } catch (...) {
            Close();
            throw;
        }
    }

    ~PgCursor() override { Close(); }

    // Counted on the cursor itself: it moves to the end and back, so the
    // count is that of the very rows the cursor delivers, without a second
    // run of the query and without bringing the rows to the client.
    int32_t size() override {
        if (total_ < 0) {
            PgConnection& c = Connection();
            c.Settle();  // where the cursor stands depends on the batch on its way
            if (ahead_.failure) throw *ahead_.failure;
            int64_t position = serverPosition_;
            if (ahead_.result) {
                const int rows = PQntuples(ahead_.result.get());
                position += rows;
                if (rows < aheadAsked_) total_ = position;
            }
            if (total_ < 0) {
                // Both moves in one round trip.
                const std::vector<ResultPtr> moved = c.ExecBatch(
                    {"MOVE FORWARD ALL IN " + cursor_, "MOVE ABSOLUTE " + QByteArray::number(position) + " IN " + cursor_});
                total_ = position + std::strtoll(PQcmdTuples(moved.front().get()), nullptr, 10);
            }
        }
        return RowCount(total_);
    }

    void first() override {
        if (batchStart_ == 0) {
            row_ = 0;
            FetchAhead();
            return;
        }
        Connection().Exec("MOVE ABSOLUTE 0 IN " + cursor_);
        ahead_ = {};  // read before the move, and passed by it
        aheadSent_ = false;
        serverPosition_ = 0;
        batch_.reset();
        batchRows_ = 0;
        row_ = 0;
        batchAsked_ = kCursorBatchRows;
        TakeBatch(Connection().Exec(FetchSql(batchAsked_)));
    }

    void next() override {
        if (row_ >= batchRows_) return;  // already past the last record
        ++row_;
        if (row_ < batchRows_) FetchAhead();
        else if (MoreToFetch()) TakeAhead();
    }

    bool atEnd() const override { return row_ >= batchRows_; }

    const TableKey& key() const { return key_; }

protected:
    std::optional<QString> valueAt(size_t index) const override;
    std::optional<std::string_view> utf8ValueAt(size_t index, std::string& scratch) const override;
    std::optional<ExactValue> exactAt(size_t index) const override;

private:
    bool HasCurrentRecord() const { return row_ < batchRows_; }

    PgConnection& Connection() {
        if (connection_->generation != generation_)
            throw MakeError(QStringLiteral("34000"),
                            QStringLiteral("トランザクションが終わったため、ダイナセットのカーソルは閉じられています。"));
        return *connection_;
    }

    QByteArray FetchSql(int rows) const {
        return "FETCH FORWARD " + QByteArray::number(rows) + " FROM " + cursor_;
    }

    // A full batch may have more rows behind it.
    bool MoreToFetch() const { return batchRows_ == batchAsked_ && !(total_ >= 0 && serverPosition_ >= total_); }

    // The next batch is asked for while the caller works through this one,
    // each twice the size of the one before, up to the largest.
    void FetchAhead() {
        if (aheadSent_ || !MoreToFetch() || connection_->generation != generation_) return;
        aheadAsked_ = std::min(batchAsked_ * 2, kCursorMaxBatchRows);
        aheadSent_ = true;
        connection_->SendAhead(FetchSql(aheadAsked_), ahead_);
    }

    // Moves on to the batch asked for ahead, waiting for it if need be, and
    // asks for the one after it.
    void TakeAhead() {
        FetchAhead();  // not yet asked for when the batch had one row
        // The previous batch goes first, so that no more than two ever coexist.
        batch_.reset();
        batchRows_ = 0;
        row_ = 0;
        PgConnection& c = Connection();
        if (ahead_.pending) c.Settle();
        AheadAnswer answer = std::exchange(ahead_, {});
        aheadSent_ = false;
        if (answer.failure) throw *answer.failure;
        if (!answer.result) throw MakeError(kStateInternal, QStringLiteral("次の行が読めません。"));
        batchAsked_ = aheadAsked_;
        TakeBatch(std::move(answer.result));
        FetchAhead();
    }

    void TakeBatch(ResultPtr batch) {
        batch_ = std::move(batch);
        row_ = 0;
        batchRows_ = PQntuples(batch_.get());
        batchStart_ = serverPosition_;
        serverPosition_ += batchRows_;
        if (batchRows_ < batchAsked_) total_ = serverPosition_;
    }

    // The catalogue's rows for the result's columns, each given as its table,
    // attribute number, type and modifier: `byName`'s when they are about
    // these very columns, else known to the connection, else asked for.
    const std::vector<std::vector<QByteArray>>& CatalogueRows(const std::array<QByteArrayList, 4>& given,
                                                              const PGresult* byName) {
        std::vector<QByteArray> parameters;
        for (const QByteArrayList& list : given) parameters.push_back("{" + list.join(',') + "}");
        PgConnection& connection = Connection();
        if (byName) {
            std::vector<std::vector<QByteArray>> rows = RowsOf(byName);
            bool same = rows.size() == static_cast<size_t>(given[0].size());
            for (size_t i = 0; same && i < rows.size(); ++i)
                for (size_t f = 0; f < given.size(); ++f)
                    same = same && rows[i][kGivenFirst + f] == given[f].at(static_cast<qsizetype>(i));
            if (same) connection.catalogue.insert_or_assign(parameters, std::move(rows));
        }
        auto known = connection.catalogue.find(parameters);
        if (known == connection.catalogue.end()) {
            // Result columns without a table behind them (expressions) find no attribute.
            const QByteArray sql = CatalogueQuery(kGivenColumns).toUtf8();
            ResultPtr answer = connection.ExecParams(sql.constData(), parameters);
            known = connection.catalogue.emplace(parameters, RowsOf(answer.get())).first;
        }
        return known->second;
    }

    // Names and types from the result's description; each type's name for
    // casts, and NOT NULL, generated and identity from the catalogue, in one
    // query for all columns, unless `byName` (the catalogue's answer for the
    // table the query named) is about these very columns.
    void DescribeColumns(const PGresult* byName) {
        const PGresult* result = batch_.get();
        const int n = PQnfields(result);
        if (n > std::numeric_limits<int16_t>::max()) throw Error::Overflow();

        struct Catalogued {
            bool notNull = false;
            ColumnOrigin origin;
        };
        std::vector<Catalogued> catalogued(static_cast<size_t>(n));
        if (n > 0) {
            QByteArrayList tables, columns, types, modifiers;
            for (int i = 0; i < n; ++i) {
                tables.push_back(QByteArray::number(PQftable(result, i)));
                columns.push_back(QByteArray::number(std::max(PQftablecol(result, i), 0)));
                types.push_back(QByteArray::number(PQftype(result, i)));
                modifiers.push_back(QByteArray::number(PQfmod(result, i)));
            }
            const std::vector<std::vector<QByteArray>>& rows = CatalogueRows({tables, columns, types, modifiers}, byName);
            for (int r = 0; r < static_cast<int>(rows.size()) && r < n; ++r) {
                Catalogued& c = catalogued[static_cast<size_t>(r)];
                const std::vector<QByteArray>& row = rows[static_cast<size_t>(r)];
                c.origin.castType = QString::fromUtf8(row[0]);
                c.notNull = row[1].startsWith('t');
                c.origin.generated = row[2].startsWith('t');
                c.origin.alwaysIdentity = row[3].startsWith('t');
                if (PQftype(result, r) == kOidBytea) c.origin.shape = ValueShape::Binary;
            }
            LearnKey(rows);
        }

        columns_.reserve(static_cast<size_t>(n));
        kept_.reserve(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            Catalogued& c = catalogued[static_cast<size_t>(i)];
            const ColumnType type = DescribeColumn(PQftype(result, i), PQfmod(result, i));
            columns_.push_back({QString::fromUtf8(PQfname(result, i)), type.kind, type.size, type.scale, !c.notNull,
                                std::move(c.origin)});
            kept_.push_back({type, PQftype(result, i) == kOidNumeric && PQfmod(result, i) < kTypmodOffset});
        }
    }

    // The key of the table behind every column, when one table is (SELECT *
    // of a table): the columns with a place in it, in that order, and all of
    // its columns among them.
    void LearnKey(const std::vector<std::vector<QByteArray>>& rows) {
        const PGresult* result = batch_.get();
        const int n = PQnfields(result);
        if (static_cast<int>(rows.size()) != n) return;
        std::vector<std::pair<int, int>> placed;  // place in the key, column
        for (int i = 0; i < n; ++i) {
            if (PQftable(result, i) == InvalidOid || PQftable(result, i) != PQftable(result, 0)) return;
            const std::vector<QByteArray>& row = rows[static_cast<size_t>(i)];
            if (const int place = row[kKeyPlace].toInt(); place > 0) placed.emplace_back(place, i);
        }
        const std::vector<QByteArray>& first = rows.front();
        key_.referred = first[kReferred].startsWith('t');
        if (placed.empty() || static_cast<int>(placed.size()) != first[kKeyLength].toInt()) return;
        std::sort(placed.begin(), placed.end());
        for (const auto& [place, column] : placed) key_.columns.push_back(column);
    }

    // Never throws: it runs from the destructor and from a failed constructor.
    void Close() noexcept {
        batch_.reset();
        PgConnection& c = *connection_;
        c.Forget(ahead_);
        if (c.generation != generation_) return;  // the transaction, and the cursor, are gone already
        try {
            // Nobody waits for a cursor to close, nor for a transaction that
            // only read to end: both go with whatever the connection runs
            // next, in the same round trip, or with the connection itself.
            const bool usable = !c.IsBroken() && PQtransactionStatus(c.get()) == PQTRANS_INTRANS;
            if (declared_ && usable) c.Defer("CLOSE " + cursor_, false);
            if (c.transaction.lastCursorCloses()) {
                const bool wrote = c.transaction.changedInCursorTransaction();
                c.ForgetTransaction();
                if (!c.IsBroken()) {
                    // COMMIT ends an aborted transaction as a rollback would.
                    if (wrote) c.Exec("COMMIT");
                    else c.Defer("COMMIT", false);
                }
            }
        } catch (...) {
            // A cursor that cannot tidy up leaves it to the server, which ends
            // the transaction when the connection closes.
        }
    }

    std::shared_ptr<PgConnection> connection_;
    uint64_t generation_ = 0;
    QByteArray cursor_;
    bool declared_ = false;
    std::vector<Column> kept_;  // beside each column's description
    bool stripBlanks_ = true;
    TableKey key_;  // of the one table behind the columns

    ResultPtr batch_;
    int batchAsked_ = kCursorBatchRows;  // rows the current batch's FETCH asked for
    int batchRows_ = 0;
    int row_ = 0;               // current record within the batch
    int64_t batchStart_ = 0;    // index of the batch's first row in the result
    int64_t serverPosition_ = 0;  // rows the cursor had passed when the current batch came
    int64_t total_ = -1;        // record count, once known

    AheadAnswer ahead_;         // the next batch, asked for ahead
    bool aheadSent_ = false;    // until that batch is taken or passed
    int aheadAsked_ = 0;
};

std::optional<QString> PgCursor::valueAt(size_t index) const {
    if (!HasCurrentRecord())
        throw MakeError(QStringLiteral("24000"), QStringLiteral("現在のレコードがありません。"));
    const PGresult* batch = batch_.get();
    const int row = row_;
    const int column = static_cast<int>(index);
    if (PQgetisnull(batch, row, column)) return std::nullopt;
    const char* text = PQgetvalue(batch, row, column);
    const int length = PQgetlength(batch, row, column);
    switch (kept_[index].type.form) {
    case ValueForm::AsText: break;
    case ValueForm::PlainDecimal:
        // Most numbers are already plain; only a point or an exponent needs rewriting.
        for (int i = 0; i < length; ++i)
            if (text[i] == '.' || text[i] == 'e' || text[i] == 'E')
                return PlainDecimalFromText(QString::fromLatin1(text, length));
        break;
    case ValueForm::FixedChar: {
        // The server pads a CHAR value to its length itself.
        if (!stripBlanks_) break;
        const std::string_view kept = WithoutTrailingBlanks(std::string_view(text, static_cast<size_t>(length)));
        return QString::fromUtf8(kept.data(), static_cast<qsizetype>(kept.size()));
    }
    case ValueForm::Hex:
        // The server's hex output; the bytes' digits alone, as every engine shows bytes.
        if (length >= 2 && text[0] == '\\' && text[1] == 'x') return QString::fromLatin1(text + 2, length - 2).toUpper();
        break;
    }
    return QString::fromUtf8(text, length);
}

// The server's own bytes wherever they are the cell text already: a read
// makes no QString per value.
std::optional<std::string_view> PgCursor::utf8ValueAt(size_t index, std::string& scratch) const {
    if (!HasCurrentRecord())
        throw MakeError(QStringLiteral("24000"), QStringLiteral("現在のレコードがありません。"));
    const PGresult* batch = batch_.get();
    const int column = static_cast<int>(index);
    if (PQgetisnull(batch, row_, column)) return std::nullopt;
    const std::string_view text(PQgetvalue(batch, row_, column), static_cast<size_t>(PQgetlength(batch, row_, column)));
    switch (kept_[index].type.form) {
    case ValueForm::AsText: return text;
    case ValueForm::PlainDecimal:
        if (text.find_first_of(".eE") == std::string_view::npos) return text;
        break;
    case ValueForm::FixedChar: return stripBlanks_ ? WithoutTrailingBlanks(text) : text;
    case ValueForm::Hex: break;
    }
    return Cursor::utf8ValueAt(index, scratch);
}

// The trailing zeros of a numeric of its own scale, which its cell text
// leaves out ("1.50" shows as 1.5): the server's text is the exact literal.
std::optional<ExactValue> PgCursor::exactAt(size_t index) const {
    if (!kept_[index].ownScale || !HasCurrentRecord()) return std::nullopt;
    const PGresult* batch = batch_.get();
    const int column = static_cast<int>(index);
    if (PQgetisnull(batch, row_, column)) return std::nullopt;
    const std::string_view text(PQgetvalue(batch, row_, column), static_cast<size_t>(PQgetlength(batch, row_, column)));
    if (text.empty() || text.back() != '0' || text.find('.') == std::string_view::npos) return std::nullopt;
    return ExactValue{QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()))};
}
}  // namespace

TableKey KeyOf(const Cursor& rows) {
    const auto* cursor = dynamic_cast<const PgCursor*>(&rows);
    return cursor ? cursor->key() : TableKey{};
}

std::unique_ptr<Cursor> OpenCursor(std::shared_ptr<PgConnection> connection, const QString& sql, CursorOption option,
                                   Count count) {
    return std::make_unique<PgCursor>(std::move(connection), sql, option, count);
}

}  // namespace velkin::pg
