#include "db/sqlite/to_date.h"

#include <sqlite3.h>

#include <cstdint>
#include <cstring>

namespace velkin {

namespace {

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

void ToDate(sqlite3_context* context, int /*argc: always 2*/, sqlite3_value** argv) {
    // Oracle gives NULL for a NULL date or format; so does this one.
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    const auto* formatText = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
    const std::string_view format(formatText ? formatText : "", sqlite3_value_bytes(argv[1]));
    if (!IsYyyymmddFormat(format)) {
        const std::string message =
            "TO_DATE: 書式 '" + std::string(format) + "' には対応していません（'yyyymmdd' のみ）。";
        sqlite3_result_error(context, message.c_str(), static_cast<int>(message.size()));
        return;
    }
    const auto* dateText = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    const std::string_view text(dateText ? dateText : "", sqlite3_value_bytes(argv[0]));
    const std::optional<std::string> iso = IsoDateFromYyyymmdd(text);
    if (!iso) {
        const std::string message = "TO_DATE: 日付 '" + std::string(text) + "' は正しい日付ではありません。";
        sqlite3_result_error(context, message.c_str(), static_cast<int>(message.size()));
        return;
    }
    sqlite3_result_text(context, iso->data(), static_cast<int>(iso->size()), SQLITE_TRANSIENT);
}

void RealFromBits(sqlite3_context* context, int /*argc: always 1*/, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    const int size = sqlite3_value_bytes(argv[0]);
    uint64_t bits = 0;
    bool ok = size == 16;
    for (int i = 0; ok && i < size; ++i) {
        const char c = text[i];
        const int nibble = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
        ok = nibble >= 0;
        bits = bits << 4 | static_cast<uint64_t>(nibble & 0xf);
    }
    if (!ok) {
        static constexpr char kMessage[] = "REAL_FROM_BITS: 16 桁の 16 進数ではありません。";
        sqlite3_result_error(context, kMessage, static_cast<int>(sizeof kMessage - 1));
        return;
    }
    double value;
    std::memcpy(&value, &bits, sizeof value);
    sqlite3_result_double(context, value);
}

}  // namespace

bool IsYyyymmddFormat(std::string_view format) {
    static constexpr std::string_view kFormat = "yyyymmdd";
    if (format.size() != kFormat.size()) return false;
    for (size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != kFormat[i]) return false;
    }
    return true;
}

std::optional<std::string> IsoDateFromYyyymmdd(std::string_view text) {
    if (text.size() != 8) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    const auto number = [&](size_t from, size_t count) {
        int value = 0;
        for (size_t i = from; i < from + count; ++i) value = value * 10 + (text[i] - '0');
        return value;
    };
    const int year = number(0, 4);
    const int month = number(4, 2);
    const int day = number(6, 2);
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return std::nullopt;
    std::string iso;
    iso.reserve(10);
    iso.append(text.substr(0, 4)).append(1, '-').append(text.substr(4, 2)).append(1, '-').append(text.substr(6, 2));
    return iso;
}

int RegisterToDate(sqlite3* db) {
    return sqlite3_create_function_v2(db, "TO_DATE", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, &ToDate,
                                      nullptr, nullptr, nullptr);
}

int RegisterRealFromBits(sqlite3* db) {
    return sqlite3_create_function_v2(db, "REAL_FROM_BITS", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                      &RealFromBits, nullptr, nullptr, nullptr);
}

}  // namespace velkin
