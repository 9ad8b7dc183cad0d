#include "commands/table_read.h"

#include "commands/command_runner.h"
#include "db/error.h"
#include "grid/exact_form.h"
#include "grid/grid_prepare.h"
#include "read/value_text.h"

namespace velkin {

namespace {

// Opens the main query of the read and fills the sheet. Returns when the read
// is done or stopped; a failure is reported as the command's.
class ReadRun final : public CommandSteps {
public:
    ReadRun(const CommandContext& context, const CommandInputs& inputs)
        : context_(context), inputs_(inputs), sheet_(context.sheet), catalogue_(context.catalogue) {}

    void prepare() override {
        ResetSheet(sheet_, context_.rowCapacity);
        context_.report.sheetEmptied();
        context_.report.setProgress(0);
    }

    void failed(const Error& error, CommandConnection*) override {
        context_.report.reportError(ErrorReportKind::Command, error);
    }

    void work(CommandConnection& connection) override {
        connection_ = &connection;
        Connection& database = connection.database();
        const QString query = buildQuery(database);

        auto dynaset = database.openCursorToCount(query, CursorOption::KeepTrailingBlanks);
        const int32_t recordCount = dynaset->size();
        const auto columnCount = static_cast<int16_t>(dynaset->columnCount());

        rebuildCatalogue(*dynaset, columnCount);
        if (columnCount < 0) throw Error::SubscriptOutOfRange();
        sheet_.setColumnCount(columnCount);
        writeHeaderRows(columnCount);
        // The names and types show while the records are on their way.
        context_.report.sheetChanged(BlockBetween(0, 0, columnCount, 2));

        CommandReport& report = context_.report;
        if (recordCount == 0) {
            learnKey(*dynaset);
            report.ask({kNoDataMessage, QString(), MessageButtons::Ok, MessageAnswer::Ok});
            if (inputs_.tableMode) {
                report.allowUpdate(true);
                activate(kFirstDataRow);
            }
            return;
        }
        if (recordCount > 0) report.setProgressRange(0, recordCount);
        if (!loadRecords(*dynaset, recordCount)) return;
        learnKey(*dynaset);

        PaintReadColumn(sheet_);
        report.sheetChanged(WholeSheet(sheet_));

        report.allowUpdate(inputs_.tableMode);
        const int32_t last = sheet_.lastDataRow();
        activate(last < kFirstDataRow ? kFirstDataRow : last);
    }

private:
    QString buildQuery(Connection& database) {
        if (!inputs_.tableMode) return inputs_.sql;
        const QString base = QStringLiteral("SELECT * FROM ") + inputs_.table;
        const QString discovery = connection_->database().dialect().discoveryQuery(base);
        auto probe = database.openCursor(discovery, CursorOption::KeepTrailingBlanks);
        SortList sortList;
        const auto count = static_cast<int16_t>(probe->columnCount());
        for (int16_t j = 0; j < count; ++j)
            if (!probe->column(j).nullable) sortList.add(j + 1);
        return sortList.isEmpty() ? base : base + QStringLiteral(" ORDER BY ") + sortList.text();
    }

    void rebuildCatalogue(const Cursor& cursor, int16_t columnCount) {
        catalogue_.clear();
        isDate_.clear();
        for (int16_t j = 0; j < columnCount; ++j) {
            const ResultColumn& field = cursor.column(j);
            const ColumnInfo info = CatalogueEntry(field.kind, field.size, field.scale);
            catalogue_.add({field.name, info.kind, info.size, info.scale, field.origin});
            isDate_.push_back(field.kind == ColumnKind::Date);
        }
        if (inputs_.tableMode) {
            catalogue_.source.table = inputs_.table;
            catalogue_.source.host = inputs_.login.host;
            catalogue_.source.referencesUnchecked = !connection_->database().hasFeature(Feature::ListsReferringKeys);
        }
    }

    // Asked once the records are in: an engine may learn the key while they
    // travel (MariaDB's answer follows the rows). Only an Update needs it.
    void learnKey(const Cursor& cursor) {
        if (!inputs_.tableMode) return;
        const TableKey key = connection_->database().tableKey(inputs_.table, cursor);
        for (const int j : key.columns) catalogue_.source.keyColumns.push_back(j + 1);
        catalogue_.source.referred = key.referred;
    }

    void writeHeaderRows(int16_t columnCount) {
        for (int32_t c = 1; c <= columnCount; ++c) {
            const size_t j = static_cast<size_t>(c - 1);
            WriteCellText(sheet_, 1, c, catalogue_.COL_Name(j));
            WriteCellText(sheet_, 2, c, inputs_.tableMode ? catalogue_.typeText(j) : QString());
        }
    }

    // False when the row limit stopped the read.
    bool loadRecords(Cursor& dynaset, int32_t recordCount) {
        const auto columns = static_cast<size_t>(dynaset.columnCount());
        int32_t counter = 0;
        std::string scratch;
        DateCellBuffer dateText;
        dynaset.first();
        int32_t row = kFirstDataRow;
        sheet_.beginRead(kFirstDataRow, static_cast<int32_t>(columns), recordCount);
        while (!dynaset.atEnd()) {
            ++counter;
            context_.report.setProgress(counter);
            if (counter + 2 > sheet_.rowCount()) {
                context_.report.ask(
                    {kRowLimitMessage, kRowLimitTitle, MessageButtons::Ok, MessageAnswer::Ok, kRowLimitHint});
                return false;
            }
            WriteCellNumber(sheet_, row, 0, row - 2);
            for (size_t j = 0; j < columns; ++j) {
                const auto column = static_cast<int32_t>(j) + 1;
                // Asked first: the value's view below may point into the engine's buffer.
                std::optional<ExactValue> exact = dynaset.exact(static_cast<int>(j));
                // UTF-8 from the engine straight into the grid: no QString per cell.
                const std::optional<std::string_view> value = dynaset.utf8Value(static_cast<int>(j), scratch);
                if (!value) {
                    sheet_.markReadNull(row, column);
                    continue;
                }
                const std::string_view shown = isDate_[j] ? DateCellTextUtf8(*value, dateText) : *value;
                if (exact) sheet_.setReadExact(counter - 1, column, EncodeExact(shown, *exact));
                WriteCellText(sheet_, row, column, shown);
            }
            dynaset.next();
            ++row;
        }
        sheet_.endRead(counter);
        return true;
    }

    void activate(int32_t row) { context_.report.activateCell(row, 1); }

    const CommandContext& context_;
    const CommandInputs& inputs_;
    CommandConnection* connection_ = nullptr;  // while work() runs
    SheetData& sheet_;
    ColumnCatalogue& catalogue_;
    std::vector<bool> isDate_;
};

}  // namespace

void TableRead::run(const CommandInputs& inputs) {
    context_.report.allowUpdate(false);
    ReadRun steps(context_, inputs);
    RunCommand(context_, inputs.login, steps);
}

}  // namespace velkin
