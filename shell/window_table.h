#pragma once
// The window's layout table: every control's name, caption and place in
// twips, as the window builds it. The window, its widget tests and the
// user-seat tests all read this one table.

#include <array>
#include <stdexcept>
#include <string_view>

namespace velkin {

// What a control is, so that the window can make each one from its row.
enum class ControlKind { Grid, TextBox, MultiLineBox, Label, Button, Frame, Option, ProgressBar };

struct ControlPlace {
    std::string_view name;  // the control's objectName
    ControlKind kind;
    const char* caption;  // UTF-8; nullptr for a control without one
    int left, top, width, height;
    std::string_view inside = {};  // the control it lies in; empty: the window
};

// The client area, in twips.
inline constexpr int kClientWidthTwips = 12270;
inline constexpr int kClientHeightTwips = 8460;

// In the order the controls are made: a control made later lies on top of an
// earlier one it overlaps. Option1_0 and Option1_1 are placed inside Frame1.
inline constexpr std::array<ControlPlace, 23> kWindowTable = {{
    {"SPD1", ControlKind::Grid, nullptr, 120, 1920, 12015, 6135},
    {"TXT_USER", ControlKind::TextBox, nullptr, 1320, 360, 1455, 270},
    {"TXT_PASS", ControlKind::TextBox, nullptr, 2760, 360, 1335, 270},
    {"TXT_HOST", ControlKind::TextBox, nullptr, 4080, 360, 1455, 270},
    {"TXT_TABLE", ControlKind::TextBox, nullptr, 5640, 360, 1815, 270},
    {"Label1", ControlKind::Label, "対象ﾃｰﾌﾞﾙ名", 5640, 120, 1815, 375},
    {"CMD_Read", ControlKind::Button, "Read(&R)", 10080, 120, 975, 375},
    {"CMD_Update", ControlKind::Button, "Update(&U)", 240, 1440, 975, 375},
    {"CMD_Quit", ControlKind::Button, "Quit(&Q)", 11160, 120, 975, 375},
    {"Label2", ControlKind::Label, "ユーザ名", 1320, 120, 1455, 375},
    {"Label3", ControlKind::Label, "パスワード", 2760, 120, 1335, 375},
    {"Label4", ControlKind::Label, "ホスト識別名", 4080, 120, 1455, 375},
    {"TXT_SQL", ControlKind::MultiLineBox, nullptr, 1320, 600, 8415, 1215},
    {"Frame1", ControlKind::Frame, "対象", 0, 0, 1095, 1095},
    {"Option1_0", ControlKind::Option, "ﾃｰﾌﾞﾙ", 120, 240, 855, 375, "Frame1"},
    {"Option1_1", ControlKind::Option, "SQL", 120, 600, 735, 255, "Frame1"},
    {"Label5", ControlKind::Label, "SQL→", 600, 1080, 735, 255},
    {"Text2", ControlKind::MultiLineBox, nullptr, 9960, 600, 2175, 1215},
    {"CMD_SerchTab", ControlKind::Button, "ﾃｰﾌﾞﾙ一覧SQL", 7560, 120, 1575, 255},
    {"ProgBar1", ControlKind::ProgressBar, nullptr, 240, 8160, 3735, 255},
    {"Text1", ControlKind::TextBox, nullptr, 3960, 8160, 3375, 270},
    {"Text3", ControlKind::TextBox, nullptr, 7320, 8160, 4815, 270},
    // Over the middle of the grid, shown only while a command waits for its server.
    {"CMD_Cancel", ControlKind::Button, "中止(Esc)", 5400, 4800, 1455, 375},
}};

constexpr const ControlPlace& WindowControl(std::string_view name) {
    for (const ControlPlace& control : kWindowTable)
        if (control.name == name) return control;
    throw std::out_of_range("no such control in the window table");
}

}  // namespace velkin
