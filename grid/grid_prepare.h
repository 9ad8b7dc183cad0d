#pragma once
// Preparing the grid: the reset to an empty sheet of the configured size and
// the removal of a failed update's red mark.

#include <cstdint>

namespace velkin {

class SpreadGrid;

// Every reset gives the sheet this many columns.
inline constexpr int32_t kResetColumnCount = 20;
// The first grid row that holds a record; rows 1 and 2 are the read's headers.
inline constexpr int32_t kFirstDataRow = 3;

// Empties the sheet to kResetColumnCount columns and `rowCapacity` rows,
// header row and column included, paints every cell white, forgets the
// read and ends the undo history. A failure of the
// grid propagates to the caller.
void ResetGrid(SpreadGrid& grid, int32_t rowCapacity);

// Gives the first row marked red (back colour 255 in column 2) back its
// colours: yellow in column 1, white in the others; later rows are not looked
// at. Throws velkin::Error when the grid fails.
void RemoveFailureMark(SpreadGrid& grid);

}  // namespace velkin
