#include "read/table_read.h"

#include "db/error.h"
#include "grid/grid.h"
#include "grid/grid_prepare.h"
#include "read/read_origin.h"
#include "read/value_text.h"
#include "shell/common1.h"
#include "shell/main_window.h"
#include "shell/message_box.h"

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include "shell/progress_bar.h"
#include <QPushButton>
#include <QRadioButton>

using namespace velkin;

namespace {

// Opens the main query of the read and fills the grid. Returns when the read
// is done or stopped; errors propagate to FL_Read's one handler.
class ReadRun {
public:
    explicit ReadRun(Form1& form) : form_(form), grid_(*form.SPD1) {}

    void run() {
        using namespace Common1;
        OraDatabase& database = *Connection.Database;
        const QString query = buildQuery(database);

        auto dynaset = database.DbCreateDynaset(query, kDynasetNoBlankStrip);
        const int32_t recordCount = dynaset->RecordCount();
        OraFields& fields = dynaset->Fields();
        const int16_t columnCount = fields.Count();

        rebuildCatalogue(fields, columnCount);
        grid_.setColumnCount(columnCount);
        writeHeaderRows(columnCount);

        if (recordCount == 0) {
            ShowMessage({kNoDataMessage, QString(), MessageButtons::Ok, MessageAnswer::Ok});
            if (form_.tableMode()) {
                form_.CMD_Update->setEnabled(true);
                activate(kFirstDataRow);
            }
            return;
        }
        if (recordCount > 0) {
            form_.ProgBar1->setMaximum(recordCount);
            form_.ProgBar1->setMinimum(0);
        }
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

        form_.CMD_Update->setEnabled(form_.tableMode());
        const int32_t last = grid_.lastDataRow();
        activate(last < kFirstDataRow ? kFirstDataRow : last);
    }

private:
    QString buildQuery(OraDatabase& database) {
        if (!form_.tableMode()) return form_.TXT_SQL->toPlainText();
        const QString base = QStringLiteral("SELECT * FROM ") + form_.TXT_TABLE->text();
        const QString discovery = Common1::Connection.Session->dialect().discoveryQuery(base);
        auto probe = database.DbCreateDynaset(discovery, kDynasetNoBlankStrip);
        OraFields& fields = probe->Fields();
        SortList sortList;
        const int16_t count = fields.Count();
        for (int16_t j = 0; j < count; ++j)
            if (!fields.Item(j).OraNullOK()) sortList.add(j + 1);
        return sortList.isEmpty() ? base : base + QStringLiteral(" ORDER BY ") + sortList.text();
    }

    void rebuildCatalogue(OraFields& fields, int16_t columnCount) {
        const size_t n = static_cast<size_t>(std::max<int16_t>(columnCount, 0));
        form_.COL_Name.assign(n, QString());
        form_.COL_Type.assign(n, QString());
        form_.COL_Size.assign(n, 0);
        form_.COL_Scale.assign(n, 0);
        fields_.clear();
        isDate_.clear();
        form_.readOrigin.clear();
        for (int16_t j = 0; j < columnCount; ++j) {
            OraField& field = fields.Item(j);
            fields_.push_back(&field);
            form_.COL_Name[j] = field.Name();
            const int32_t code = field.OraIDataType();
            const ColumnInfo info = CatalogueEntry(code, field.Size(), field.OraScale());
            form_.COL_Type[j] = info.type;
            form_.COL_Size[j] = info.size;
            form_.COL_Scale[j] = info.scale;
            isDate_.push_back(code == OraType::kDate);
            form_.readOrigin.columns.push_back(field.Origin());
        }
        if (form_.tableMode()) {
            form_.readOrigin.table = form_.TXT_TABLE->text();
            form_.readOrigin.host = form_.TXT_HOST->text();
        }
    }

    void writeHeaderRows(int16_t columnCount) {
        const bool table = form_.tableMode();
        for (int32_t c = 1; c <= columnCount; ++c) {
            const size_t j = static_cast<size_t>(c - 1);
            grid_.setCurrentRow(1);
            grid_.setCurrentColumn(c);
            grid_.setCellText(form_.COL_Name[j]);
            grid_.setCurrentRow(2);
            grid_.setCellText(table ? ColumnTypeText(form_.COL_Type[j], form_.COL_Size[j], form_.COL_Scale[j])
                                    : QString());
        }
    }

    // False when the row limit stopped the read.
    bool loadRecords(OraDynaset& dynaset) {
        const size_t columns = fields_.size();
        int32_t counter = 0;
        std::string scratch;
        DateCellBuffer dateText;
        std::unordered_map<uint64_t, QString>& exact = form_.readOrigin.exact;
        dynaset.MoveFirst();
        grid_.setCurrentRow(kFirstDataRow);
        grid_.beginRead(kFirstDataRow, static_cast<int32_t>(columns));
        while (!dynaset.Eof()) {
            ++counter;
            form_.ProgBar1->setValue(counter);
            if (counter + 2 > grid_.rowCount()) {
                ShowMessage({kRowLimitMessage, kRowLimitTitle, MessageButtons::Ok, MessageAnswer::Ok});
                return false;
            }
            const int32_t row = grid_.currentRow();
            grid_.setCurrentColumn(0);
            grid_.setCellText(row - 2);
            for (size_t j = 0; j < columns; ++j) {
                const auto column = static_cast<int32_t>(j) + 1;
                // Asked first: the value's view below may point into the engine's buffer.
                if (std::optional<QString> literal = fields_[j]->ExactLiteral())
                    exact.emplace(ReadOrigin::exactKey(counter - 1, column), std::move(*literal));
                // UTF-8 from the engine straight into the grid: no QString per cell.
                const std::optional<std::string_view> value = fields_[j]->Utf8Value(scratch);
                if (!value) {
                    grid_.markReadNull(row, column);
                    continue;
                }
                grid_.setCurrentColumn(column);
                grid_.setCellText(isDate_[j] ? DateCellTextUtf8(*value, dateText) : *value);
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

    Form1& form_;
    SpreadGrid& grid_;
    std::vector<OraField*> fields_;  // taken once, used for every record
    std::vector<bool> isDate_;
};

}  // namespace

void Form1::FL_Read() {
    CMD_Update->setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    try {
        FL_InitSpd();
        ProgBar1->setValue(0);
        if (!Common1::ConnectDatabase(Common1::Connection, TXT_USER->text(), TXT_PASS->text(), TXT_HOST->text()))
            ReadRun(*this).run();
    } catch (const Error& error) {
        ShowErrorReport(ErrorReportKind::Command, error);
    } catch (const std::exception& error) {
        ShowErrorReport(ErrorReportKind::Command, Error(-1, QString::fromLocal8Bit(error.what())));
    }
    closeCommand();
}
