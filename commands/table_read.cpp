#include "commands/table_read.h"

#include "commands/command_runner.h"
#include "db/error.h"
#include "grid/exact_form.h"
#include "grid/grid.h"
#include "grid/grid_prepare.h"
#include "read/value_text.h"

namespace velkin {

namespace {

// Opens the main query of the read and fills the grid. Returns when the read
// is done or stopped; a failure is reported as the command's.
class ReadRun final : public CommandSteps {
public:
    ReadRun(const CommandContext& context, const CommandInputs& inputs)
        : context_(context), inputs_(inputs), grid_(context.grid), catalogue_(context.catalogue) {}

    void prepare() override {
        ResetGrid(grid_, context_.rowCapacity);
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
        grid_.setColumnCount(columnCount);
        writeHeaderRows(columnCount);

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

        // Column 1 of every data row, filled or not, turns yellow.
        grid_.setBlockMode(true);
        grid_.setCurrentColumn(1);
        grid_.setBlockEndColumn(1);
        grid_.setCurrentRow(kFirstDataRow);
        grid_.setBlockEndRow(grid_.rowCount());
        grid_.setBackColor(GridColor::kYellow);
        grid_.setBlockMode(false);
        grid_.setRedraw(true);

        report.allowUpdate(inputs_.tableMode);
        const int32_t last = grid_.lastDataRow();
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
        catalogue_.reset(static_cast<size_t>(std::max<int16_t>(columnCount, 0)));
        fields_.clear();
        isDate_.clear();
        for (int16_t j = 0; j < columnCount; ++j) {
            OraField& field = fields.Item(j);
            fields_.push_back(&field);
            catalogue_.COL_Name[j] = field.Name();
            const int32_t code = field.OraIDataType();
            const ColumnInfo info = CatalogueEntry(code, field.Size(), field.OraScale());
            catalogue_.COL_Type[j] = info.type;
            catalogue_.COL_Size[j] = info.size;
            catalogue_.COL_Scale[j] = info.scale;
            isDate_.push_back(code == OraType::kDate);
            catalogue_.origin.columns.push_back(field.Origin());
        }
        if (inputs_.tableMode) {
            catalogue_.origin.table = inputs_.table;
            catalogue_.origin.host = inputs_.login.host;
            catalogue_.origin.referencesUnchecked = !connection_->session().ListsReferringKeys();
        }
    }

    void writeHeaderRows(int16_t columnCount) {
        for (int32_t c = 1; c <= columnCount; ++c) {
            const size_t j = static_cast<size_t>(c - 1);
            grid_.setCurrentRow(1);
            grid_.setCurrentColumn(c);
            grid_.setCellText(catalogue_.COL_Name[j]);
            grid_.setCurrentRow(2);
            grid_.setCellText(inputs_.tableMode ? ColumnTypeText(catalogue_.COL_Type[j], catalogue_.COL_Size[j],
                                                                 catalogue_.COL_Scale[j])
                                                : QString());
        }
    }

    // False when the row limit stopped the read.
    bool loadRecords(OraDynaset& dynaset) {
        const size_t columns = fields_.size();
        int32_t counter = 0;
        std::string scratch;
        DateCellBuffer dateText;
        dynaset.MoveFirst();
        grid_.setCurrentRow(kFirstDataRow);
        grid_.beginRead(kFirstDataRow, static_cast<int32_t>(columns));
        while (!dynaset.Eof()) {
            ++counter;
            context_.report.setProgress(counter);
            if (counter + 2 > grid_.rowCount()) {
                context_.report.ask(
                    {kRowLimitMessage, kRowLimitTitle, MessageButtons::Ok, MessageAnswer::Ok, kRowLimitHint});
                return false;
            }
            const int32_t row = grid_.currentRow();
            grid_.setCurrentColumn(0);
            grid_.setCellText(row - 2);
            for (size_t j = 0; j < columns; ++j) {
                const auto column = static_cast<int32_t>(j) + 1;
                // Asked first: the value's view below may point into the engine's buffer.
                std::optional<ExactValue> exact = fields_[j]->Exact();
                // UTF-8 from the engine straight into the grid: no QString per cell.
                const std::optional<std::string_view> value = fields_[j]->Utf8Value(scratch);
                if (!value) {
                    grid_.markReadNull(row, column);
                    continue;
                }
                const std::string_view shown = isDate_[j] ? DateCellTextUtf8(*value, dateText) : *value;
                if (exact) grid_.setReadExact(counter - 1, column, EncodeExact(shown, *exact));
                grid_.setCurrentColumn(column);
                grid_.setCellText(shown);
            }
            dynaset.MoveNext();
            grid_.setCurrentRow(row + 1);
        }
        grid_.endRead(counter);
        return true;
    }

    void activate(int32_t row) {
        grid_.setCurrentColumn(1);
        grid_.setCurrentRow(row);
        grid_.doAction(GridAction::ActivateCell);
    }

    const CommandContext& context_;
    const CommandInputs& inputs_;
    CommandConnection* connection_ = nullptr;  // while work() runs
    SpreadGrid& grid_;
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
