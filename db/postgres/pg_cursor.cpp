#include "db/postgres/pg_cursor.h"

#include "db/field_list.h"
#include "db/plain_decimal.h"
#include "db/postgres/pg_session.h"

#include <QByteArrayList>

#include <algorithm>
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

enum class ValueForm {
    AsText,         // the server's text as it is
    PlainDecimal,   // numbers that may carry trailing zeros or an exponent
    StripBlanks,    // fixed character data when the dynaset strips blanks
    Hex,            // bytea: \x0a1b shown as 0A1B
};

struct ColumnType {
    int32_t code = OraType::kOther;
    int32_t size = 0;
    int32_t scale = 0;
    ValueForm form = ValueForm::AsText;
    // A numeric without a declared scale: each value keeps its own ("1.50").
    bool ownScale = false;
};

ColumnType DescribeColumn(Oid type, int typmod) {
    const int declaredLength = typmod >= kTypmodOffset ? typmod - kTypmodOffset : 0;
    switch (type) {
    case kOidVarchar:
    case kOidText:
    case kOidName: return {OraType::kVarchar2, declaredLength, 0, ValueForm::AsText};
    case kOidBpchar: return {OraType::kChar, declaredLength, 0, ValueForm::AsText};
    // Integers print plainly; their size is the precision of the type's range, plus one.
    case kOidInt2: return {OraType::kNumber, 5 + 1, 0, ValueForm::AsText};
    case kOidInt4: return {OraType::kNumber, 10 + 1, 0, ValueForm::AsText};
    case kOidInt8: return {OraType::kNumber, 19 + 1, 0, ValueForm::AsText};
    case kOidNumeric: {
        if (typmod < kTypmodOffset) return {OraType::kNumber, kUnboundedPrecision + 1, 0, ValueForm::PlainDecimal, true};
        const int packed = typmod - kTypmodOffset;
        const int precision = (packed >> 16) & 0xffff;
        const int scale = ((packed & 0x7ff) ^ 1024) - 1024;  // 11-bit signed: scale may be negative
        return {OraType::kNumber, precision + 1, scale, ValueForm::PlainDecimal};
    }
    // Binary floating point prints an exponent for large and small values (1e+20).
    case kOidFloat4:
    case kOidFloat8: return {OraType::kNumber, kUnboundedPrecision + 1, 0, ValueForm::PlainDecimal};
    // Sizes as Oracle gives them for DATE and TIMESTAMP; the commands do not use them.
    case kOidDate: return {OraType::kDate, 7, 0, ValueForm::AsText};
    case kOidTimestamp:
    case kOidTimestampTz: return {OraType::kDate, 11, 0, ValueForm::AsText};
    case kOidBytea: return {OraType::kOther, 0, 0, ValueForm::Hex};
    default: return {};
    }
}

class PgDynaset;

class PgField final : public OraField {
public:
    PgField(const PgDynaset* dynaset, int column, QString name, ColumnType type, bool nullOk, ColumnOrigin origin)
        : dynaset_(dynaset), column_(column), name_(std::move(name)), type_(type), nullOk_(nullOk),
          origin_(std::move(origin)) {}

    QString Name() const override { return name_; }
    int32_t OraIDataType() const override { return type_.code; }
    int32_t Size() const override { return type_.size; }
    int32_t OraScale() const override { return type_.scale; }
    bool OraNullOK() const override { return nullOk_; }
    std::optional<QString> Value() const override;
    ColumnOrigin Origin() const override { return origin_; }
    std::optional<ExactValue> Exact() const override;

    void StripBlanks() {
        if (type_.code == OraType::kChar) type_.form = ValueForm::StripBlanks;
    }

private:
    const PgDynaset* dynaset_;
    int column_;
    QString name_;
    ColumnType type_;
    bool nullOk_;
    ColumnOrigin origin_;
};

using PgFields = FieldList<PgField>;

// A result set read through a scrollable cursor, a batch of rows at a time, so
// the client never holds more than one batch of however large a result.
//
// A cursor needs a transaction. Inside the session's transaction the cursor
// lives in it; otherwise the first dynaset opens one that the dynasets share
// and the last of them commits, as single statements would have been. A
// BeginTrans meanwhile takes that transaction over, so the session's commit or
// rollback ends it, and the cursors with it.
class PgDynaset final : public OraDynaset {
public:
    PgDynaset(std::shared_ptr<PgConnection> connection, const QString& sql, int32_t options)
        : connection_(std::move(connection)) {
        PgConnection& c = *connection_;
        // The transaction (when none is open), the cursor and its first batch
        // go in one round trip.
        std::vector<PgConnection::Statement> opening;
        if (c.owner == TransactionOwner::None) {
            opening.push_back({"BEGIN", {}});
            c.owner = TransactionOwner::Dynasets;
            c.changedInDynasetTransaction = false;
        }
        generation_ = c.generation;
        ++c.dynasetCount;
        try {
            cursor_ = "velkin_dynaset_" + QByteArray::number(++c.cursorsMade);
            fetchSql_ = "FETCH FORWARD " + QByteArray::number(kDynasetBatchRows) + " FROM " + cursor_;
            opening.push_back({"DECLARE " + cursor_ + " SCROLL CURSOR FOR " + sql.toUtf8(), {}});
            opening.push_back({fetchSql_, {}});
            size_t ran = 0;
            std::vector<ResultPtr> results;
            try {
                results = c.Pipeline(opening, &ran);
            } catch (...) {
                declared_ = ran + 1 >= opening.size();  // all but the FETCH ran
                throw;
            }
            declared_ = true;
            TakeBatch(std::move(results.back()));
            DescribeColumns();
            if ((options & kDynasetNoBlankStrip) == 0)
                for (PgField& field : fields_.fields_) field.StripBlanks();
        } catch (...) {
            Close();
            throw;
        }
    }

    ~PgDynaset() override { Close(); }

    OraFields& Fields() override { return fields_; }

    // Counted on the cursor itself: it moves to the end and back, so the
    // count is that of the very rows the dynaset delivers, without a second
    // run of the query and without bringing the rows to the client.
    int32_t RecordCount() override {
        if (total_ < 0) {
            // Both moves in one round trip.
            const std::vector<ResultPtr> moved = Connection().ExecBatch(
                {"MOVE FORWARD ALL IN " + cursor_, "MOVE ABSOLUTE " + QByteArray::number(serverPosition_) + " IN " + cursor_});
            total_ = serverPosition_ + std::strtoll(PQcmdTuples(moved.front().get()), nullptr, 10);
        }
        if (total_ > std::numeric_limits<int32_t>::max()) throw Error::Overflow();
        return static_cast<int32_t>(total_);
    }

    void MoveFirst() override {
        if (batchStart_ == 0) {
            row_ = 0;
            return;
        }
        Connection().Exec("MOVE ABSOLUTE 0 IN " + cursor_);
        serverPosition_ = 0;
        FetchBatch();
    }

    void MoveNext() override {
        if (row_ >= batchRows_) return;  // already past the last record
        ++row_;
        if (row_ < batchRows_) return;
        const bool lastBatch = batchRows_ < kDynasetBatchRows || (total_ >= 0 && serverPosition_ >= total_);
        if (!lastBatch) FetchBatch();
    }

    bool Eof() const override { return row_ >= batchRows_; }

    // The current record, for the fields.
    const PGresult* Batch() const { return batch_.get(); }
    int Row() const { return row_; }
    bool HasCurrentRecord() const { return row_ < batchRows_; }

private:
    PgConnection& Connection() {
        if (connection_->generation != generation_)
            throw MakeError(QStringLiteral("34000"),
                            QStringLiteral("トランザクションが終わったため、ダイナセットのカーソルは閉じられています。"));
        return *connection_;
    }

    void FetchBatch() {
        // The previous batch goes first, so two batches never coexist.
        batch_.reset();
        batchRows_ = 0;
        row_ = 0;
        TakeBatch(Connection().Exec(fetchSql_));
    }

    void TakeBatch(ResultPtr batch) {
        batch_ = std::move(batch);
        row_ = 0;
        batchRows_ = PQntuples(batch_.get());
        batchStart_ = serverPosition_;
        serverPosition_ += batchRows_;
        if (batchRows_ < kDynasetBatchRows) total_ = serverPosition_;
    }

    // Names and types from the result's description; each type's name for
    // casts, and NOT NULL, generated and identity from the catalogue, in one
    // query for all columns.
    void DescribeColumns() {
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
            const std::vector<QByteArray> parameters = {"{" + tables.join(',') + "}", "{" + columns.join(',') + "}",
                                                        "{" + types.join(',') + "}", "{" + modifiers.join(',') + "}"};
            PgConnection& connection = Connection();
            auto known = connection.catalogue.find(parameters);
            if (known == connection.catalogue.end()) {
                // Result columns without a table behind them (expressions) find no attribute.
                ResultPtr answer = connection.ExecParams(
                    "SELECT pg_catalog.format_type(k.typ, k.mod), coalesce(a.attnotnull, false), "
                    "coalesce(a.attgenerated <> '', false), coalesce(a.attidentity = 'a', false) "
                    "FROM unnest($1::pg_catalog.oid[], $2::pg_catalog.int2[], $3::pg_catalog.oid[], "
                    "$4::pg_catalog.int4[]) WITH ORDINALITY AS k(rel, num, typ, mod, ord) "
                    "LEFT JOIN pg_catalog.pg_attribute a ON a.attrelid = k.rel AND a.attnum = k.num AND k.num > 0 "
                    "ORDER BY k.ord",
                    parameters);
                std::vector<std::vector<QByteArray>> rows;
                for (int r = 0; r < PQntuples(answer.get()); ++r)
                    rows.push_back({PQgetvalue(answer.get(), r, 0), PQgetvalue(answer.get(), r, 1),
                                    PQgetvalue(answer.get(), r, 2), PQgetvalue(answer.get(), r, 3)});
                known = connection.catalogue.emplace(parameters, std::move(rows)).first;
            }
            const std::vector<std::vector<QByteArray>>& rows = known->second;
            for (int r = 0; r < static_cast<int>(rows.size()) && r < n; ++r) {
                Catalogued& c = catalogued[static_cast<size_t>(r)];
                const std::vector<QByteArray>& row = rows[static_cast<size_t>(r)];
                c.origin.castType = QString::fromUtf8(row[0]);
                c.notNull = row[1].startsWith('t');
                c.origin.generated = row[2].startsWith('t');
                c.origin.alwaysIdentity = row[3].startsWith('t');
                if (PQftype(result, r) == kOidBytea) c.origin.shape = ValueShape::Binary;
            }
        }

        fields_.fields_.reserve(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            Catalogued& c = catalogued[static_cast<size_t>(i)];
            fields_.fields_.emplace_back(this, i, QString::fromUtf8(PQfname(result, i)),
                                         DescribeColumn(PQftype(result, i), PQfmod(result, i)), !c.notNull,
                                         std::move(c.origin));
        }
    }

    // Never throws: it runs from the destructor and from a failed constructor.
    void Close() noexcept {
        batch_.reset();
        PgConnection& c = *connection_;
        if (c.generation != generation_) return;  // the transaction, and the cursor, are gone already
        try {
            // Nobody waits for a cursor to close, nor for a transaction that
            // only read to end: both go with whatever the connection runs
            // next, in the same round trip, or with the connection itself.
            const bool usable = !c.IsBroken() && PQtransactionStatus(c.get()) == PQTRANS_INTRANS;
            if (declared_ && usable) c.Defer("CLOSE " + cursor_, false);
            if (--c.dynasetCount == 0 && c.owner == TransactionOwner::Dynasets) {
                const bool wrote = c.changedInDynasetTransaction;
                c.ForgetTransaction();
                if (!c.IsBroken()) {
                    // COMMIT ends an aborted transaction as a rollback would.
                    if (wrote) c.Exec("COMMIT");
                    else c.Defer("COMMIT", false);
                }
            }
        } catch (...) {
            // A dynaset that cannot tidy up leaves it to the server, which ends
            // the transaction when the connection closes.
        }
    }

    std::shared_ptr<PgConnection> connection_;
    uint64_t generation_ = 0;
    QByteArray cursor_;
    QByteArray fetchSql_;
    bool declared_ = false;
    PgFields fields_;

    ResultPtr batch_;
    int batchRows_ = 0;
    int row_ = 0;               // current record within the batch
    int64_t batchStart_ = 0;    // index of the batch's first row in the result
    int64_t serverPosition_ = 0;  // rows the cursor has passed
    int64_t total_ = -1;        // record count, once known
};

std::optional<QString> PgField::Value() const {
    if (!dynaset_->HasCurrentRecord())
        throw MakeError(QStringLiteral("24000"), QStringLiteral("現在のレコードがありません。"));
    const PGresult* batch = dynaset_->Batch();
    const int row = dynaset_->Row();
    if (PQgetisnull(batch, row, column_)) return std::nullopt;
    const char* text = PQgetvalue(batch, row, column_);
    const int length = PQgetlength(batch, row, column_);
    switch (type_.form) {
    case ValueForm::AsText: break;
    case ValueForm::PlainDecimal:
        // Most numbers are already plain; only a point or an exponent needs rewriting.
        for (int i = 0; i < length; ++i)
            if (text[i] == '.' || text[i] == 'e' || text[i] == 'E')
                return PlainDecimalFromText(QString::fromLatin1(text, length));
        break;
    case ValueForm::StripBlanks: {
        int end = length;
        while (end > 0 && text[end - 1] == ' ') --end;
        return QString::fromUtf8(text, end);
    }
    case ValueForm::Hex:
        // The server's hex output; the bytes' digits alone, as every engine shows bytes.
        if (length >= 2 && text[0] == '\\' && text[1] == 'x') return QString::fromLatin1(text + 2, length - 2).toUpper();
        break;
    }
    return QString::fromUtf8(text, length);
}

// The trailing zeros of a numeric of its own scale, which its cell text
// leaves out ("1.50" shows as 1.5): the server's text is the exact literal.
std::optional<ExactValue> PgField::Exact() const {
    if (!type_.ownScale || !dynaset_->HasCurrentRecord()) return std::nullopt;
    const PGresult* batch = dynaset_->Batch();
    const int row = dynaset_->Row();
    if (PQgetisnull(batch, row, column_)) return std::nullopt;
    const std::string_view text(PQgetvalue(batch, row, column_), static_cast<size_t>(PQgetlength(batch, row, column_)));
    if (text.empty() || text.back() != '0' || text.find('.') == std::string_view::npos) return std::nullopt;
    return ExactValue{QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()))};
}
}  // namespace

std::unique_ptr<OraDynaset> OpenCursor(std::shared_ptr<PgConnection> connection, const QString& sql, int32_t options) {
    return std::make_unique<PgDynaset>(std::move(connection), sql, options);
}

}  // namespace velkin::pg
