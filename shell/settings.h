#pragma once
// The settings file: the connection fields kept from run to run, and the two
// switches the user edits by hand (UPDATE, LINE). Values are stored in the
// locale's 8-bit encoding (UTF-8 on Linux) in the INI form of ini_file.h.

#include <QString>

#include <cstdint>
#include <utility>
#include <vector>

namespace velkin::Common1 {

// Relative on purpose: each call resolves it against the working directory of
// that moment, not the directory of the executable.
inline constexpr const char* kIniFile = "./Velkin.ini";
inline constexpr const char* kIniSection = "Default1";

// The row capacity when LINE is absent or unusable.
inline constexpr int32_t kDefaultRowCapacity = 502;
// The largest LINE that is taken. An empty sheet of this many rows costs
// almost nothing, but beyond it scrolling and the row header numbers become
// unwieldy, and a typing slip (an extra digit or two) should not produce a
// sheet nobody can use; larger values fall back to the default.
inline constexpr int32_t kMaxRowCapacity = 1000002;

// The value of `key` in `section` of the file, as the Windows profile reader
// returns it (see ini_file.h), cut to at most 255 bytes in the file's
// encoding at a character boundary and at a NUL character. A missing,
// unreadable or non-regular file, or an absent section or key, reads as "".
// Undecodable bytes read as U+FFFD. Never throws.
QString ReadIniString(const QString& section, const QString& key, const QString& fileName);

// Creates or replaces the value, creating the file and the section as needed
// and leaving every other line byte for byte as it was (bytes that do not
// decode included). The new file is written beside the old one and renamed
// over it, so a crash leaves the old file or the new one, never half of one.
// Returns nonzero on success, 0 when the file cannot be read or written (a
// read-only file, an unwritable directory, a directory or device in its
// place) or the names or value cannot be stored in one line. A file this
// creates has mode 0600 whatever the umask; a rewrite keeps the file's mode.
// Never throws.
int32_t WriteIniString(const QString& section, const QString& key, const QString& value,
                       const QString& fileName);

// Several keys of one section as one replace of the file, by the rules of
// WriteIniString: the file afterwards holds all of them or, on failure (0),
// none. Writers of the file (this one and WriteIniString, in any process)
// take turns through an flock on "<fileName>.lock" beside it, so that two
// windows closing at once leave one window's keys or the other's, never a
// mixture. The lock file is removed again by whoever holds it last.
int32_t WriteIniStrings(const QString& section, const std::vector<std::pair<QString, QString>>& keysAndValues,
                        const QString& fileName);

// The grid's row count from the LINE setting: the decimal integer it holds
// (blanks around it and a sign allowed) when that number leaves a remainder
// of 2 when divided by 100 and lies between 2 and kMaxRowCapacity; otherwise,
// and for an empty or non-numeric value or one outside 32 bits,
// kDefaultRowCapacity. So 2, 102, 502, 1002 are taken; 100, 500, 503, -98 are not.
int32_t RowCapacityFromLine(const QString& lineValue);

// Whether the UPDATE setting hides the Update command: only the exact text "NO".
bool UpdateHiddenBy(const QString& updateValue);

// Whether the BACKUP setting turns off the snapshot every Update keeps of the
// table's previous contents: only the exact text "NO", as for UPDATE.
bool SnapshotsOffBy(const QString& backupValue);

}  // namespace velkin::Common1
