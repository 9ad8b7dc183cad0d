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
        OraDatabase& database = connection.database();
        const QString query = buildQuery(database);

        auto dynaset = database.DbCreateDynaset(query, kDynasetNoBlankStrip);
        const int32_t recordCount = dynaset->RecordCount();
        OraFields& fields = dynaset->Fields();
        const int16_t columnCount = fields.Count();

        rebuildCatalogue(fields, columnCount);
        if (columnCount < 0) throw Error::SubscriptOutOfRange();
        sheet_.setColumnCount(columnCount);
        writeHeaderRows(columnCount);
        // The names and types show while the records are on their way.
        context_.report.sheetChanged(BlockBetween(0, 0, columnCount, 2));

        CommandReport& report = context_.report;
        if (recordCount == 0) {
            report.ask({kNoDataMessage, QString(), MessageButtons::Ok, MessageAnswer::Ok});
            if (inputs_.tableMode) {
                report.allowUpdate(true);
                activate(kFirstDataRow);
            }
            return;
        }
        if (recordCount > 0) report.setProgressRange(0, recordCount);
        if (!loadRecords(*dynaset)) return;

        PaintReadColumn(sheet_);
        report.sheetChanged(WholeSheet(sheet_));

        report.allowUpdate(inputs_.tableMode);
        const int32_t last = sheet_.lastDataRow();
        activate(last < kFirstDataRow ? kFirstDataRow : last);
    }

private:
    QString buildQuery(OraDatabase& database) {
        if (!inputs_.tableMode) return inputs_.sql;
        const QString base = QStringLiteral("SELECT * FROM ") + inputs_.table;
        const QString discovery = connection_->session().dialect().discoveryQuery(base);
        auto probe = database.DbCreateDynaset(discovery, kDynasetNoBlankStrip);
        OraFields& fields = probe->Fields();
        SortList sortList;
        const int16_t count = fields.Count();
        for (int16_t j = 0; j < count; ++j)
            if (!fields.Item(j).OraNullOK()) sortList.add(j + 1);
        return sortList.isEmpty() ? base : base + QStringLiteral(" ORDER BY ") + sortList.text();
    }

    void rebuildCatalogue(OraFields& fields, int16_t columnCount) {
        catalogue_.clear();
        fields_.clear();
        isDate_.clear();
        for (int16_t j = 0; j < columnCount; ++j) {
            OraField& field = fields.Item(j);
            fields_.push_back(&field);
            const int32_t code = field.OraIDataType();
            const ColumnInfo info = CatalogueEntry(code, field.Size(), field.OraScale());
            catalogue_.add({field.Name(), info.kind, info.size, info.scale, field.Origin()});
            isDate_.push_back(code == OraType::kDate);
        }
        if (inputs_.tableMode) {
            catalogue_.source.table = inputs_.table;
            catalogue_.source.host = inputs_.login.host;
            catalogue_.source.referencesUnchecked = !connection_->session().ListsReferringKeys();
        }
    }

    void writeHeaderRows(int16_t columnCount) {
        for (int32_t c = 1; c <= columnCount; ++c) {
            const size_t j = static_cast<size_t>(c - 1);
            WriteCellText(sheet_, 1, c, catalogue_.COL_Name(j));
            WriteCellText(sheet_, 2, c, inputs_.tableMode ? catalogue_.typeText(j) : QString());
        }
    }

    // False when the row limit stopped the read.
    bool loadRecords(OraDynaset& dynaset) {
        const size_t columns = fields_.size();
        int32_t counter = 0;
        std::string scratch;
        DateCellBuffer dateText;
        dynaset.MoveFirst();
        int32_t row = kFirstDataRow;
        sheet_.beginRead(kFirstDataRow, static_cast<int32_t>(columns));
        while (!dynaset.Eof()) {
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
                std::optional<ExactValue> exact = fields_[j]->Exact();
                // UTF-8 from the engine straight into the grid: no QString per cell.
                const std::optional<std::string_view> value = fields_[j]->Utf8Value(scratch);
                if (!value) {
                    sheet_.markReadNull(row, column);
                    continue;
                }
                const std::string_view shown = isDate_[j] ? DateCellTextUtf8(*value, dateText) : *value;
                if (exact) sheet_.setReadExact(counter - 1, column, EncodeExact(shown, *exact));
                WriteCellText(sheet_, row, column, shown);
            }
            dynaset.MoveNext();
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
    std::vector<OraField*> fields_;  // taken once, used for every record
    std::vector<bool> isDate_;
};

}  // namespace

void TableRead::run(const CommandInputs& inputs) {
    context_.report.allowUpdate(false);
    ReadRun steps(context_, inputs);
    RunCommand(context_, inputs.login, steps);
}

}  // namespace velkin
