#pragma once
// The database commands run without a window: a sheet, a column catalogue
// and a report that records what the window would show, in a fresh working
// directory per test (the settings file and the default database live
// there). What a user sees of the same runs is tested through the window
// (the *_window_test files and tests/user_seat).

#include "commands/command_context.h"
#include "commands/table_read.h"
#include "commands/table_replace.h"
#include "grid/grid_prepare.h"
#include "session_count.h"
#include "shell/settings.h"
#include "sqlite_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

namespace velkin::testing {

// Records every call a command makes of its report.
class RecordingReport final : public CommandReport {
public:
    MessageAnswer ask(const MessageRequest& request) override {
        boxes.push_back(request);
        return request.buttons == MessageButtons::YesNo ? yesNoAnswer : MessageAnswer::Ok;
    }
    void reportError(ErrorReportKind kind, const Error& error) override {
        boxes.push_back(ErrorReportRequest(kind, error));
    }
    void setProgressRange(int32_t minimum, int32_t maximum) override {
        progressMinimum = minimum;
        progressMaximum = maximum;
    }
    // Kept as a bar keeps it: a step is a change of its value.
    void setProgress(int32_t value) override {
        const bool step = value != progress;
        progress = value;
        if (!step) return;
        progressSteps.push_back(value);
        if (onProgress) onProgress(value);
    }
    void allowUpdate(bool allowed) override { updateAllowed = allowed; }
    void setBusy(bool on) override { busy = on; }
    void sheetChanged(const CellBlock&) override { ++sheetChanges; }
    void sheetEmptied() override { ++sheetChanges; }
    void activateCell(int32_t row, int32_t column) override { activeCell = {row, column}; }
    void revealRow(int32_t row) override { revealedRow = row; }

    // The boxes other than a Yes/No question.
    std::vector<MessageRequest> reports() const {
        std::vector<MessageRequest> out;
        for (const MessageRequest& box : boxes)
            if (box.buttons == MessageButtons::Ok) out.push_back(box);
        return out;
    }

    MessageAnswer yesNoAnswer = MessageAnswer::Yes;
    std::vector<MessageRequest> boxes;  // questions and reports, in order
    int32_t progress = 0, progressMinimum = 0, progressMaximum = 100;
    std::vector<int32_t> progressSteps;
    std::function<void(int32_t)> onProgress;  // called at each step
    bool updateAllowed = false;
    bool busy = false;
    int sheetChanges = 0;  // times the window was told of the sheet's changes
    std::optional<std::pair<int32_t, int32_t>> activeCell;  // (row, column)
    int32_t revealedRow = 0;
};

class CommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        previousDir_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
    }
    void TearDown() override { QDir::setCurrent(previousDir_); }

    void writeSettings(const QByteArray& content) {
        QFile file(dir_.filePath(QStringLiteral("Velkin.ini")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QString path(const QString& name) const { return dir_.filePath(name); }

    // What the commands are given, the settings read at the first command as
    // the window reads them at its start, with the sheet reset to their size.
    CommandContext context() {
        if (!loaded_) load();
        return {sheet, catalogue, report, sessions_.factory(engine_), rowCapacity_, keepSnapshots_, timeoutSeconds_,
                writeSetting_};
    }
    // As the window does when it opens again: the settings are read afresh at the next command.
    void restart() { loaded_ = false; }
    // Where the sessions come from; empty: the engine the host names.
    void useSessions(ConnectionFactory engine) { engine_ = std::move(engine); }
    int openConnections() const { return sessions_.open(); }

    void readTable(const QString& table) {
        inputs.tableMode = true;
        inputs.table = table;
        TableRead(context()).run(inputs);
    }
    void readSql(const QString& sql) {
        inputs.tableMode = false;
        inputs.sql = sql;
        TableRead(context()).run(inputs);
    }
    // Runs Update and answers its question; the boxes start afresh.
    void update(MessageAnswer answer = MessageAnswer::Yes) {
        report.boxes.clear();
        report.yesNoAnswer = answer;
        inputs.tableMode = true;
        TableReplace(context()).run(inputs);
    }

    QString cell(int32_t row, int32_t column) const { return sheet.text(row, column); }
    // As the user types it.
    void setCell(int32_t row, int32_t column, const QString& text) {
        if (!loaded_) load();
        WriteCellText(sheet, row, column, text);
    }
    uint32_t color(int32_t row, int32_t column) const { return sheet.backColor(row, column); }
    // The texts of sheet row r, columns 1 to n (the column count when n is 0).
    std::vector<QString> row(int32_t r, int32_t n = 0) const {
        std::vector<QString> cells;
        for (int32_t c = 1; c <= (n > 0 ? n : sheet.columnCount()); ++c) cells.push_back(cell(r, c));
        return cells;
    }
    // Data rows painted red: a failure marks one whole row, or none.
    std::vector<int32_t> redRows() const {
        std::vector<int32_t> rows;
        for (int32_t r = kFirstDataRow; r <= sheet.lastDataRow(); ++r) {
            int red = 0;
            for (int32_t c = 1; c <= sheet.columnCount(); ++c) red += color(r, c) == GridColor::kRed;
            if (red == sheet.columnCount()) rows.push_back(r);
            else EXPECT_EQ(red, 0) << "row " << r << " is partly red";
        }
        return rows;
    }

    SheetData sheet;
    ColumnCatalogue catalogue;
    RecordingReport report;
    CommandInputs inputs;

private:
    void load() {
        using namespace Common1;
        loaded_ = true;
        const auto setting = [](const char* key) {
            return ReadIniString(QString::fromLatin1(kIniSection), QString::fromLatin1(key), QString::fromLatin1(kIniFile));
        };
        inputs.login = {setting("USERID"), setting("PASS"), setting("HOST")};
        rowCapacity_ = RowCapacityFromLine(setting("LINE"));
        keepSnapshots_ = !SnapshotsOffBy(setting("BACKUP"));
        timeoutSeconds_ = TimeoutSecondsFromSetting(setting("TIMEOUT"));
        writeSetting_ = WriteSettingFrom(setting("WRITE"));
        ResetSheet(sheet, rowCapacity_);
    }

    QTemporaryDir dir_;
    QString previousDir_;
    SessionCount sessions_;
    ConnectionFactory engine_;
    bool loaded_ = false;
    int32_t rowCapacity_ = 0;
    bool keepSnapshots_ = true;
    int32_t timeoutSeconds_ = kDefaultTimeoutSeconds;
    WriteSetting writeSetting_ = WriteSetting::Auto;
};

}  // namespace velkin::testing
