#pragma once
// Shared pieces of the window tests: a fresh working directory per test (the
// settings file and the default database live there), a Form1 built in it,
// the message box recorder, the Read and Update a user would press with what
// each must leave behind, and direct SQLite access to check files.

#include "grid/grid.h"
#include "db/connection.h"
#include "shell/settings.h"
#include "shell/main_window.h"
#include "shell/message_box.h"
#include "commands/table_replace.h"
#include "recording_answerer.h"
#include "session_count.h"
#include "sqlite_file.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QLineEdit>
#include <QRadioButton>
#include <QPushButton>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace velkin::testing {

class FormTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        previousDir_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
    }
    void TearDown() override {
        form_.reset();
        QDir::setCurrent(previousDir_);
    }

    void writeSettings(const QByteArray& content) {
        QFile file(dir_.filePath(QStringLiteral("Velkin.ini")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    Form1& form() {
        if (!form_) {
            form_ = std::make_unique<Form1>(boxes_.answerer());
            form_->setConnectionFactory(sessions_.factory());
        }
        return *form_;
    }
    // Connections the window's commands hold, counted by the session factory it is given.
    int openConnections() const { return sessions_.open(); }
    SpreadGrid& grid() { return *form().SPD1; }
    QString path(const QString& name) const { return dir_.filePath(name); }

    // Reads a cell through the grid's current cell, as the commands do.
    QString cell(int32_t row, int32_t column) {
        grid().setCurrentRow(row);
        grid().setCurrentColumn(column);
        return grid().cellText();
    }
    void setCell(int32_t row, int32_t column, const QString& text) {
        grid().setCurrentRow(row);
        grid().setCurrentColumn(column);
        grid().setCellText(text);
    }
    uint32_t color(int32_t row, int32_t column) {
        grid().setCurrentRow(row);
        grid().setCurrentColumn(column);
        return grid().backColor();
    }

    // The texts of grid row r, columns 1 to the column count.
    std::vector<QString> gridRow(int32_t r) {
        std::vector<QString> cells;
        for (int32_t c = 1; c <= grid().columnCount(); ++c) cells.push_back(cell(r, c));
        return cells;
    }
    // Data rows painted red: a failure marks one whole row, or none.
    std::vector<int32_t> redRows() {
        std::vector<int32_t> rows;
        for (int32_t r = 3; r <= grid().lastDataRow(); ++r) {
            int red = 0;
            for (int32_t c = 1; c <= grid().columnCount(); ++c) red += color(r, c) == GridColor::kRed;
            if (red == grid().columnCount()) rows.push_back(r);
            else EXPECT_EQ(red, 0) << "row " << r << " is partly red";
        }
        return rows;
    }

    using Grid = std::vector<std::vector<QString>>;
    // Every cell of rows 1 (the names) to the last data row.
    Grid gridCells() {
        Grid cells;
        for (int32_t r = 1; r <= grid().lastDataRow(); ++r) cells.push_back(gridRow(r));
        return cells;
    }

    void login(const QString& host, const QString& user = QString(), const QString& password = QString()) {
        form().TXT_USER->setText(user);
        form().TXT_PASS->setText(password);
        form().TXT_HOST->setText(host);
    }
    // Presses Read in table mode; the boxes start afresh.
    void readTable(const QString& table) {
        boxes_.boxes.clear();
        form().Option1[0]->click();
        form().TXT_TABLE->setText(table);
        form().CMD_Read->click();
    }
    void readTable(const std::string& table) { readTable(QString::fromStdString(table)); }
    // A read that must succeed with rows.
    void read(const QString& table) {
        readTable(table);
        ASSERT_TRUE(boxes_.boxes.empty()) << boxes_.boxes[0].text.toStdString();
        ASSERT_TRUE(form().CMD_Update->isEnabled());
    }
    void read(const std::string& table) { read(QString::fromStdString(table)); }

    // Presses Update and answers its question; the boxes start afresh.
    void update(MessageAnswer answer = MessageAnswer::Yes) {
        boxes_.boxes.clear();
        boxes_.setYesNoAnswer(answer);
        snapshotsBefore_ = snapshots();
        form().CMD_Update->click();
    }
    // The boxes shown other than the confirmation question.
    std::vector<MessageRequest> reports() const {
        std::vector<MessageRequest> out;
        for (const auto& b : boxes_.boxes)
            if (b.buttons == MessageButtons::Ok) out.push_back(b);
        return out;
    }

    // A committed Update: only its question shown, the grid emptied, nothing held.
    void expectUpdated() {
        ASSERT_TRUE(reports().empty()) << reports()[0].text.toStdString();
        ASSERT_EQ(boxes_.boxes.size(), 1u);
        EXPECT_EQ(boxes_.boxes[0].text, kReplaceQuestion);
        EXPECT_EQ(grid().lastDataRow(), 0) << "a committed replace empties the grid";
        EXPECT_FALSE(form().CMD_Update->isEnabled());
        expectNothingHeld();
    }
    // The one report of a failed command in its form; its text, or "" when not one.
    QString expectOneReport(ErrorReportKind kind) {
        const auto shown = reports();
        EXPECT_EQ(shown.size(), 1u);
        if (shown.size() != 1) return QString();
        const bool connection = kind == ErrorReportKind::Connection;
        const QString label = connection ? QStringLiteral("Error Code: ") : QStringLiteral("Error Code:");
        EXPECT_TRUE(shown[0].text.startsWith(label)) << shown[0].text.toStdString();
        EXPECT_NE(shown[0].text.mid(label.size(), 1), QStringLiteral(" ")) << "one blank only";
        EXPECT_EQ(shown[0].title, connection ? QStringLiteral("Message") : QString());
        EXPECT_EQ(shown[0].buttons, MessageButtons::Ok);
        return shown[0].text;
    }
    // A failed Read: the grid reset, Update disabled, nothing held.
    void expectReadFailed() {
        EXPECT_EQ(grid().lastDataRow(), 0);
        EXPECT_FALSE(form().CMD_Update->isEnabled());
        expectNothingHeld();
    }
    // A failed Update: the grid as the user left it with only `marked` rows
    // red, Update still enabled to correct and try again, no snapshot left.
    void expectUpdateFailed(const Grid& before, const std::vector<int32_t>& marked) {
        EXPECT_EQ(gridCells(), before) << "the grid changed";
        EXPECT_EQ(redRows(), marked);
        EXPECT_TRUE(form().CMD_Update->isEnabled());
        EXPECT_TRUE(grid().isEnabled());
        EXPECT_EQ(snapshots(), snapshotsBefore_) << "the snapshot of a failed Update is removed";
        expectNothingHeld();
    }
    // Every snapshot file, by path.
    QStringList snapshots() const {
        QStringList files;
        for (QDirIterator it(dir_.filePath(QStringLiteral("backup")), QDir::Files, QDirIterator::Subdirectories);
             it.hasNext();)
            files << it.next();
        files.sort();
        return files;
    }
    void expectNothingHeld() {
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(openConnections(), 0);
    }

    QTemporaryDir dir_;
    QString previousDir_;
    RecordingAnswerer boxes_;
    QStringList snapshotsBefore_;  // when Update was last pressed
    SessionCount sessions_;
    std::unique_ptr<Form1> form_;
};

}  // namespace velkin::testing
