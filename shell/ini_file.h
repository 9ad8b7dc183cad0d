#pragma once
// The private-profile (INI) form the settings file is kept in, read and
// written by the rules of the Windows profile routines, so that a file made
// or edited on Windows reads the same here. Text only: the caller does the
// file access and the conversion to and from the file's encoding.
//
// Reading:
//  - A section header is a line whose first non-blank character is '[' and
//    that holds a ']'; the name lies between the '[' and the last ']', blanks
//    around it ignored.
//  - A key line is "key=value"; the key is the text before the first '=',
//    blanks around it ignored. Lines before the first header, lines without
//    '=' and comment lines (first non-blank character ';') are no entries.
//  - Section and key names match without regard to ASCII case. Only the first
//    matching section is looked in, and the first matching key there wins.
//  - The value loses its leading and trailing blanks (spaces and tabs), then
//    one pair of enclosing quotes: '"' ... '"' or '\'' ... '\'', the same
//    mark at both ends, as the Windows reader drops them. Inner blanks stay.
//  - Anything absent reads as an empty string.
//
// Writing leaves every line it does not need to touch exactly as it was:
//  - The first matching key of the first matching section gets the new value
//    behind its own "key =" (the file's spelling and blanks are kept);
//  - otherwise "key=value" is added after the section's last line that is
//    neither blank nor a comment, so trailing blank lines stay as a gap;
//  - otherwise "[section]" and "key=value" are added at the end of the text,
//    after a blank line when the text does not already end with one.
//  - Added lines end as the text's lines do: CR LF if any line ends so, else
//    LF if any does, else lone CR if any does; a text with no line break at
//    all gets CR LF, as Windows writes. A last line without a line break gets
//    one when something is added after it.
//  - The value is written as given: blanks or quotes around it are stored and
//    then dropped again by the reader, as on Windows.

#include <QString>

#include <vector>

namespace velkin::ini {

struct Line {
    QString text;    // without its line break
    QString ending;  // "\r\n", "\n", "\r", or empty for a last line without one
    // Index of the line in the text it was split from while `text` is still
    // that line's text; -1 for text that was added or changed. A caller that
    // holds the bytes read keeps them for such lines. (Giving a last line
    // its missing line break changes only `ending`.)
    qsizetype origin = -1;
};

// Splits at CR LF, LF and lone CR. Text after the last line break, if any,
// is a last line without an ending; "" gives no lines.
std::vector<Line> SplitLines(const QString& text);
QString JoinLines(const std::vector<Line>& lines);

QString ReadValue(const std::vector<Line>& lines, const QString& section, const QString& key);
QString ReadValue(const QString& text, const QString& section, const QString& key);

// Sets the value as described above. Returns false, changing nothing, for
// names or a value that cannot stand in one line and read back under the same
// names: a line break or NUL anywhere, an empty key, a key holding '=', or a
// key beginning with ';' or '['.
bool WriteValue(std::vector<Line>& lines, const QString& section, const QString& key,
                const QString& value);
bool WriteValue(QString& text, const QString& section, const QString& key, const QString& value);

}  // namespace velkin::ini
