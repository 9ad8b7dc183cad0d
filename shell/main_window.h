#pragma once
// Form1, the one window: connection boxes, the table / SQL mode switch, the
// Read, Update and Quit commands, the table-list query button, the grid SPD1
// and the status line. Its FL_ methods hand the boxes' texts to the commands
// (commands/table_read.h, commands/table_replace.h) and the grid's
// preparation (grid/grid_prepare.h); the window is what the commands report to.

#include "commands/command_report.h"
#include "db/connection.h"
#include "grid/sheet_data.h"
#include "read/column_catalogue.h"
#include "shell/message_box.h"
#include "writeback/change_plan.h"

#include <QWidget>
#include <array>
#include <cstdint>
#include <vector>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QGroupBox;

namespace velkin {
struct ControlPlace;
class ProgressBar;
class SpreadGrid;
struct CommandContext;
struct CommandInputs;
}

class Form1 : public QWidget, public velkin::CommandReport {
    Q_OBJECT
public:
    // Every box of the window goes to `answerer`; none: to the screen.
    explicit Form1(velkin::MessageAnswerer answerer = {}, QWidget* parent = nullptr);
    ~Form1() override;

    // Controls, named as the users' documentation names them.
    velkin::SpreadGrid* SPD1;
    QLineEdit* TXT_USER;
    QLineEdit* TXT_PASS;
    QLineEdit* TXT_HOST;
    QLineEdit* TXT_TABLE;
    QLabel* Label1;
    QPushButton* CMD_Read;
    QPushButton* CMD_Update;
    QPushButton* CMD_Quit;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QPlainTextEdit* TXT_SQL;
    QGroupBox* Frame1;
    std::array<QRadioButton*, 2> Option1;  // 0: table mode, 1: SQL mode
    QLabel* Label5;
    QPlainTextEdit* Text2;
    QPushButton* CMD_SerchTab;
    velkin::ProgressBar* ProgBar1;
    QLineEdit* Text1;
    QLineEdit* Text3;
    // Over the grid while a command waits for its database server: ends it.
    QPushButton* CMD_Cancel;

    // The cells SPD1 shows and the commands work on.
    velkin::SheetData sheet;

    // Column catalogue of the last read (COL_Name, COL_Type, COL_Size,
    // COL_Scale), and what it learnt beyond them for an exact write-back.
    velkin::ColumnCatalogue catalogue;

    // The work of the commands.
    void FL_Read();
    void FL_UPDATE();
    void FL_InitSpd();
    void FL_InitColor();

    // Events.
    void Form_Load();
    void Form_Unload();
    void CMD_Read_Click();
    void CMD_Update_Click();
    void CMD_Quit_Click();
    void CMD_SerchTab_Click();
    void Option1_Click(int index);

    bool tableMode() const;

    // Settings taken at start-up: the grid's row count, and whether an Update
    // keeps a snapshot of the rows it replaces.
    int32_t rowCapacity() const { return rowCapacity_; }
    bool keepsSnapshots() const { return keepSnapshots_; }
    // Where the commands' sessions come from; empty: the engine the host names.
    void setConnectionFactory(velkin::ConnectionFactory factory) { sessions_ = std::move(factory); }

    // What the commands report (velkin::CommandReport).
    velkin::MessageAnswer ask(const velkin::MessageRequest& request) override;
    void reportError(velkin::ErrorReportKind kind, const velkin::Error& error) override;
    void setProgressRange(int32_t minimum, int32_t maximum) override;
    void setProgress(int32_t value) override;
    void allowUpdate(bool allowed) override;
    void setBusy(bool busy) override;
    void whileWaiting(velkin::ServerWait& wait) override;
    void sheetChanged(const velkin::CellBlock& block) override;
    void sheetEmptied() override;
    void activateCell(int32_t row, int32_t column) override;
    void revealRow(int32_t row) override;

    // Twips to pixels on this screen.
    int twipsToPixels(int twips) const;

protected:
    void closeEvent(QCloseEvent* event) override;
    // While a command runs: the window's input goes nowhere but to cancelling.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // The controls, made in a loop over the window table (shell/window_table.h)
    // and then given what the table does not hold, one step each.
    void buildControls();
    QWidget* makeControl(const velkin::ControlPlace& at);
    void takeControls();
    void dressControls();
    void orderControls();
    void connectControls();
    // Puts a control where the window table says, by its name.
    void place(QWidget* control);
    velkin::MessageAnswer showMessage(const velkin::MessageRequest& request);
    velkin::CommandContext commandContext();
    velkin::CommandInputs commandInputs() const;
    // Runs a database command, never one inside another.
    template <class Command>
    void runCommand(Command command);

    velkin::MessageAnswerer answerer_;
    bool unloaded_ = false;
    int32_t rowCapacity_ = 0;
    bool keepSnapshots_ = true;
    velkin::WriteSetting writeSetting_ = velkin::WriteSetting::Auto;
    int32_t timeoutSeconds_ = velkin::kDefaultTimeoutSeconds;
    velkin::ConnectionFactory sessions_;
    bool commandRunning_ = false;
    velkin::ServerWait* waiting_ = nullptr;  // while events are handled inside a wait
};
