#pragma once
// Shared pieces of the window tests: a fresh working directory per test (the
// settings file and the default database live there), a Form1 built in it,
// the message box recorder, and direct SQLite access to check files.

#include "grid/grid.h"
#include "db/connection.h"
#include "shell/settings.h"
#include "shell/main_window.h"
#include "shell/message_box.h"
#include "recording_answerer.h"
#include "session_count.h"
#include "sqlite_file.h"

#include <QDir>
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
            form_->setSessionFactory(sessions_.factory());
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

    // Presses Update and answers its question; the boxes start afresh.
    void update(MessageAnswer answer = MessageAnswer::Yes) {
        boxes_.boxes.clear();
        boxes_.setYesNoAnswer(answer);
        form().CMD_Update->click();
    }
    // The boxes shown other than the confirmation question.
    std::vector<MessageRequest> reports() const {
        std::vector<MessageRequest> out;
        for (const auto& b : boxes_.boxes)
            if (b.buttons == MessageButtons::Ok) out.push_back(b);
        return out;
    }

    QTemporaryDir dir_;
    QString previousDir_;
    RecordingAnswerer boxes_;
    SessionCount sessions_;
    std::unique_ptr<Form1> form_;
};

}  // namespace velkin::testing
