#pragma once
// How a date or timestamp value is shown in a cell, the form the write-back
// reads back.

#include <QString>
#include <array>
#include <string_view>

namespace velkin {

// The cell text of a DATE value (a date, or a date with a time of day):
//   "yyyymmdd"                  a date, or a date and time at midnight;
//   "yyyymmdd hh:mm:ss"         a time of day;
//   "yyyymmdd hh:mm:ss.ffffff"  with the fraction as the engine gave it, when
//                               it is not zero.
// The write-back takes all three. Engines deliver dates as "YYYY-MM-DD",
// "YYYY/MM/DD" or "YYYYMMDD", optionally followed by " " or "T" and
// "HH:MM:SS[.fff]". Month 01-12 and day 01-31 are required. Any other text
// (a time zone, a shorter time) is returned unchanged: the user sees what is
// stored, and it goes back as stored.
QString DateCellText(const QString& valueText);

// The most fraction digits a date cell shows, and the longest date cell text.
inline constexpr qsizetype kMaxFractionDigits = 12;
inline constexpr qsizetype kMaxDateCellChars = 8 + 1 + 8 + 1 + kMaxFractionDigits;
using DateCellBuffer = std::array<char, kMaxDateCellChars>;
// The same for UTF-8 text: the view returned is `valueText` itself, or the
// cell text written to `buffer`.
std::string_view DateCellTextUtf8(std::string_view valueText, DateCellBuffer& buffer);

// The ISO text a date cell stands for: "yyyymmdd" -> "yyyy-mm-dd", and
// "yyyymmdd hh:mm:ss[.f]" -> "yyyy-mm-dd hh:mm:ss[.f]", the text a database
// that keeps dates as text (SQLite) gets back from the cell.
QString IsoTextOfDateCell(const QString& cellText);
// Whether a date stored as text comes back the same through its cell.
inline bool DateTextSurvivesItsCell(const QString& stored) {
    return IsoTextOfDateCell(DateCellText(stored)) == stored;
}
// The same for UTF-8 bytes, counting their length in bytes, decided from
// the text's date parts without making the cell text: a read asks it of
// every date stored as text.
bool DateBytesSurviveTheirCell(std::string_view stored);

}  // namespace velkin
