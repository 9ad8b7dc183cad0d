// The clipboard text: any text parses without harm, and cells written out and
// parsed again come back as they were.
//
// The input is used twice: as clipboard text as it stands, and as a block of
// cells (0x1E ends a row, 0x1F ends a cell), so cells full of TABs, line
// breaks and quotes are written and read back.

#include "fuzz_support.h"
#include "grid/clipboard_text.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cstdint>
#include <vector>

using namespace velkin;
using velkin::fuzz::Check;
using velkin::fuzz::Visible;

namespace {

using Cells = std::vector<std::vector<QString>>;

// A row with no cells is written as a bare line break and comes back as one
// empty cell; that is the one difference the round trip allows.
Cells AsReadBack(Cells rows) {
    for (auto& row : rows)
        if (row.empty()) row.push_back(QString());
    return rows;
}

void CheckRoundTrip(const Cells& rows) {
    const QString text = CellsToClipboardText(rows);
    const ClipboardBlock block = ParseClipboardText(text);
    Check(block.rows == AsReadBack(rows), "cells come back from their clipboard text", Visible(text));
    size_t width = 0;
    for (const auto& row : block.rows) width = std::max(width, row.size());
    Check(block.width == width, "width is the widest row");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    // Arbitrary text: parses, and what it parses to survives a round trip.
    const ClipboardBlock pasted = ParseClipboardText(QString::fromUtf8(input));
    for (const auto& row : pasted.rows) Check(!row.empty(), "a parsed row has at least one cell");
    CheckRoundTrip(pasted.rows);

    // Arbitrary cells.
    Cells rows;
    if (!input.isEmpty()) {
        for (const QByteArray& rowBytes : input.split('\x1e')) {
            auto& row = rows.emplace_back();
            if (rowBytes.isEmpty()) continue;
            for (const QByteArray& cellBytes : rowBytes.split('\x1f')) row.push_back(QString::fromUtf8(cellBytes));
        }
    }
    CheckRoundTrip(rows);
    return 0;
}
