#pragma once
// Text kept as UTF-8 bytes that give back exactly the UTF-16 string they came
// from. A string typed or pasted into the grid may hold a lone surrogate,
// which plain UTF-8 cannot carry; it is kept as the three bytes its code point
// would take (ED A0..BF xx), and read back as that surrogate. Everything else
// is ordinary UTF-8, so an engine's own UTF-8 bytes can be stored unchanged.

#include <QString>
#include <QStringView>

#include <string>
#include <string_view>

namespace velkin {

// Appends `text` to `out`.
void AppendUtf8(QStringView text, std::string& out);

// The string `bytes` stand for. Bytes that are not UTF-8 read as U+FFFD, as
// QString::fromUtf8 reads them, except the three-byte form of a surrogate,
// which reads as that surrogate.
QString FromUtf8(std::string_view bytes);

// Whether every byte is ASCII, so bytes and characters correspond one to one.
bool IsAscii(std::string_view bytes);

}  // namespace velkin
