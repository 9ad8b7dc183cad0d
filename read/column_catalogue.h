#pragma once
// The column catalogue a table read learns and the replace relies on: four
// parallel arrays, element j describing grid column j + 1, and what the read
// learnt beyond them for writing values back exactly.

#include "read/read_origin.h"

#include <QString>
#include <cstdint>
#include <vector>

namespace velkin {

struct ColumnCatalogue {
    std::vector<QString> COL_Name;
    std::vector<QString> COL_Type;  // "VARCHAR2", "CHAR", "NUMBER", "DATE" or "ETC"
    std::vector<int32_t> COL_Size;
    std::vector<int32_t> COL_Scale;
    ReadOrigin origin;

    // n columns, names and types empty, sizes and scales 0.
    void reset(size_t n) {
        COL_Name.assign(n, QString());
        COL_Type.assign(n, QString());
        COL_Size.assign(n, 0);
        COL_Scale.assign(n, 0);
        origin.clear();
    }
};

}  // namespace velkin
