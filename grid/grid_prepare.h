#pragma once
// Preparing the grid: the reset to an empty sheet of the configured size
// (Form1::FL_InitSpd) and the removal of a failed update's red mark
// (Form1::FL_InitColor), both defined in grid_prepare.cpp.

#include <cstdint>

namespace velkin {

// Every reset gives the sheet this many columns.
inline constexpr int32_t kResetColumnCount = 20;
// The first grid row that holds a record; rows 1 and 2 are the read's headers.
inline constexpr int32_t kFirstDataRow = 3;

}  // namespace velkin
