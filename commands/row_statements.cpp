#include "commands/row_statements.h"

#include "db/utf8_text.h"
#include "grid/exact_form.h"
#include "writeback/literals.h"

namespace velkin {

RowStatements::RowStatements(const SheetData& sheet, const ColumnCatalogue& catalogue, const QString& table,
                             Connection& database)
    : sheet_(sheet), catalogue_(catalogue), table_(table), database_(database), dialect_(database.dialect()) {
    // Columns the database computes take no value; an identity that
    // refuses one is told to take the value read.
    QString columnList;
    bool overriding = false;
    for (int32_t c = 1; c <= sheet_.columnCount(); ++c) {
        const CatalogueColumn& column = catalogue_.column(static_cast<size_t>(c - 1));
        if (column.origin.generated) continue;
        overriding = overriding || column.origin.alwaysIdentity;
        if (!columnList.isEmpty()) columnList += QLatin1Char(',');
        columnList += QuotedIdentifier(column.name);
    }
    columnList += overriding ? QStringLiteral(") OVERRIDING SYSTEM VALUE VALUES (") : QStringLiteral(") VALUES (");
    insertHead_ = QStringLiteral("INSERT INTO ") + table_ + QStringLiteral(" (") + columnList;
}

RowStatements::Cell RowStatements::sheetCell(int32_t row, int32_t column) const {
    Cell cell{sheet_.text(row, column), sheet_.unchangedSinceRead(row, column), false, {}};
    if (cell.asRead) {
        const int32_t record = sheet_.recordOf(row);
        cell.null = sheet_.readNull(record, column);
        cell.exact = sheet_.readExact(record, column);
    }
    return cell;
}

RowStatements::Cell RowStatements::readCell(int32_t record, int32_t column) const {
    return {FromUtf8(sheet_.readText(record, column)), true, sheet_.readNull(record, column),
            sheet_.readExact(record, column)};
}

uint8_t RowStatements::needsOf(const Cell& cell) const {
    return cell.asRead && !cell.exact.empty() ? DecodeExact(cell.exact).needs : 0;
}

uint8_t RowStatements::keyNeeds(int32_t record) const {
    uint8_t needs = 0;
    for (const int32_t c : catalogue_.source.keyColumns) needs |= needsOf(readCell(record, c));
    return needs;
}

void RowStatements::begin(QString& out, uint8_t needs) {
    out.resize(0);  // keeps its capacity from statement to statement
    form_ = nullptr;
    if (!needs) return;
    std::optional<NeedsStatement>& form = forms_[needs & 7];
    if (!form) form = database_.statementForNeeds(needs & 7);
    form_ = &*form;
    out += form_->prefix;
}

void RowStatements::appendValue(QString& out, int32_t column, const Cell& cell) {
    failedColumn_ = column;
    const auto j = static_cast<size_t>(column - 1);
    const ColumnOrigin& origin = catalogue_.origin(j);
    // In a statement run in UTC, a value shown in the session's time zone is
    // converted, unless it is in UTC already.
    const bool convert = form_ && origin.sessionZone && !form_->zoneBefore.isEmpty() &&
                         !(needsOf(cell) & ExactNeed::kUtcStatement);
    if (convert) out += form_->zoneBefore;
    if (cell.asRead)
        AppendReadLiteral(out, catalogue_.COL_Type(j), origin, cell.text, {cell.null, cell.exact}, dialect_);
    else
        AppendCellLiteral(out, catalogue_.COL_Type(j), cell.text, dialect_, origin);
    if (convert) out += form_->zoneAfter;
    failedColumn_ = 0;
}

void RowStatements::appendKeyCondition(QString& out, int32_t record) {
    bool first = true;
    for (const int32_t c : catalogue_.source.keyColumns) {
        if (!first) out += QStringLiteral(" AND ");
        first = false;
        out += QuotedIdentifier(catalogue_.COL_Name(static_cast<size_t>(c - 1))) + QStringLiteral(" = ");
        appendValue(out, c, readCell(record, c));
    }
}

void RowStatements::insert(QString& out, int32_t row) {
    uint8_t needs = 0;
    for (int32_t c = 1; c <= sheet_.columnCount(); ++c) needs |= needsOf(sheetCell(row, c));
    begin(out, needs);
    out += insertHead_;
    bool first = true;
    for (int32_t c = 1; c <= sheet_.columnCount(); ++c) {
        if (catalogue_.origin(static_cast<size_t>(c - 1)).generated) continue;
        if (!first) out += QLatin1Char(',');
        first = false;
        appendValue(out, c, sheetCell(row, c));
    }
    out += QStringLiteral(") ");
}

void RowStatements::update(QString& out, int32_t row, int32_t record, const std::vector<int32_t>& columns) {
    // The columns set are the user's changes: only the key's values go as read.
    begin(out, keyNeeds(record));
    out += QStringLiteral("UPDATE ") + table_ + QStringLiteral(" SET ");
    bool first = true;
    for (const int32_t c : columns) {
        if (!first) out += QStringLiteral(", ");
        first = false;
        out += QuotedIdentifier(catalogue_.COL_Name(static_cast<size_t>(c - 1))) + QStringLiteral(" = ");
        appendValue(out, c, sheetCell(row, c));
    }
    out += QStringLiteral(" WHERE ");
    appendKeyCondition(out, record);
}

void RowStatements::remove(QString& out, int32_t record) {
    begin(out, keyNeeds(record));
    out += QStringLiteral("DELETE FROM ") + table_ + QStringLiteral(" WHERE ");
    appendKeyCondition(out, record);
}

void RowStatements::lockingRead(QString& out, const std::vector<int32_t>& records, const RowLock& lock) {
    begin(out, records.empty() ? 0 : keyNeeds(records.front()));
    out += QStringLiteral("SELECT * FROM ") + table_ + lock.afterTable + QStringLiteral(" WHERE ");
    bool first = true;
    for (const int32_t record : records) {
        if (!first) out += QStringLiteral(" OR ");
        first = false;
        out += QLatin1Char('(');
        appendKeyCondition(out, record);
        out += QLatin1Char(')');
    }
    out += lock.afterWhere;
}

}  // namespace velkin
