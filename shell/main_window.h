#pragma once
// Form1, the one window: connection boxes, the table / SQL mode switch, the
// Read, Update and Quit commands, the table-list query button, the grid SPD1
// and the status line. Its methods are defined where their work lives:
//   shell/main_window.cpp   controls, events, start-up and shut-down
//   grid/grid_prepare.cpp   FL_InitSpd, FL_InitColor
//   read/table_read.cpp     FL_Read
//   writeback/table_replace.cpp  FL_UPDATE

#include "read/read_origin.h"

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
class ProgressBar;
class SpreadGrid;
class Error;
}

class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(QWidget* parent = nullptr);
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

    // Column catalogue of the last read; element j describes grid column j + 1.
    std::vector<QString> COL_Name;
    std::vector<QString> COL_Type;
    std::vector<int32_t> COL_Size;
    std::vector<int32_t> COL_Scale;
    // What the last read learnt beyond the catalogue, for an exact write-back.
    velkin::ReadOrigin readOrigin;

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

    // The window's fixed client size in twips, and twips to pixels on this screen.
    static constexpr int kClientWidthTwips = 12270;
    static constexpr int kClientHeightTwips = 8460;
    int twipsToPixels(int twips) const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void place(QWidget* control, int left, int top, int width, int height);
    // The closing steps every database command ends with.
    void closeCommand();
    void failReplace(const velkin::Error& error, int32_t rowInProgress);

    bool unloaded_ = false;
};
