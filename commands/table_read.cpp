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
        Connection& database = connection.database();
        const QString query = buildQuery(database);

        auto dynaset = database.openCursor(query, CursorOption::KeepTrailingBlanks);
        const int32_t recordCount = dynaset->size();
        const auto columnCount = static_cast<int16_t>(dynaset->columnCount());

        rebuildCatalogue(*dynaset, columnCount);
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
        catalogue_.reset(static_cast<size_t>(std::max<int16_t>(columnCount, 0)));
        isDate_.clear();
        for (int16_t j = 0; j < columnCount; ++j) {
            const ResultColumn& field = cursor.column(j);
            catalogue_.COL_Name[j] = field.name;
            const ColumnKind code = field.kind;
            const ColumnInfo info = CatalogueEntry(code, field.size, field.scale);
            catalogue_.COL_Type[j] = info.type;
            catalogue_.COL_Size[j] = info.size;
            catalogue_.COL_Scale[j] = info.scale;
            isDate_.push_back(code == ColumnKind::Date);
            catalogue_.origin.columns.push_back(field.origin);
        }
        if (inputs_.tableMode) {
            catalogue_.origin.table = inputs_.table;
            catalogue_.origin.host = inputs_.login.host;
            catalogue_.origin.referencesUnchecked = !connection_->database().hasFeature(Feature::ListsReferringKeys);
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
    bool loadRecords(Cursor& dynaset) {
        const auto columns = static_cast<size_t>(dynaset.columnCount());
        int32_t counter = 0;
        std::string scratch;
        DateCellBuffer dateText;
        dynaset.first();
        grid_.setCurrentRow(kFirstDataRow);
        grid_.beginRead(kFirstDataRow, static_cast<int32_t>(columns));
        while (!dynaset.atEnd()) {
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
                std::optional<ExactValue> exact = dynaset.exact(static_cast<int>(j));
                // UTF-8 from the engine straight into the grid: no QString per cell.
                const std::optional<std::string_view> value = dynaset.utf8Value(static_cast<int>(j), scratch);
                if (!value) {
                    grid_.markReadNull(row, column);
                    continue;
                }
                const std::string_view shown = isDate_[j] ? DateCellTextUtf8(*value, dateText) : *value;
                if (exact) grid_.setReadExact(counter - 1, column, EncodeExact(shown, *exact));
                grid_.setCurrentColumn(column);
                grid_.setCellText(shown);
            }
            dynaset.next();
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
    std::vector<bool> isDate_;
};

}  // namespace

void TableRead::run(const CommandInputs& inputs) {
    context_.report.allowUpdate(false);
    ReadRun steps(context_, inputs);
    RunCommand(context_, inputs.login, steps);
}

}  // namespace velkin
