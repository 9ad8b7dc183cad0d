#include "db/sqlite/declared_type.h"

#include "db/session.h"

#include <array>
#include <charconv>
#include <optional>
#include <string>

namespace velkin {

namespace {

constexpr int32_t kMaxPrecision = 38;
constexpr int32_t kDateSize = 7;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Upper-case words separated by single blanks: "double   precision" -> "DOUBLE PRECISION".
std::string NormalizeName(std::string_view s) {
    std::string out;
    bool pendingBlank = false;
    for (char c : Trim(s)) {
        if (IsBlank(c)) {
            pendingBlank = true;
            continue;
        }
        if (pendingBlank) out += ' ';
        pendingBlank = false;
        out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return out;
}

// The leading integer of an argument ("20", "20 CHAR", " 9 "); nullopt for "*" or garbage.
std::optional<int32_t> LeadingInt(std::string_view arg) {
    arg = Trim(arg);
    bool negative = false;
    if (!arg.empty() && (arg.front() == '-' || arg.front() == '+')) {
        negative = arg.front() == '-';
        arg.remove_prefix(1);
    }
    int32_t value = 0;
    const auto [end, ec] = std::from_chars(arg.data(), arg.data() + arg.size(), value);
    if (ec != std::errc() || end == arg.data()) return std::nullopt;
    return negative ? -value : value;
}

struct Arguments {
    std::optional<int32_t> first;
    std::optional<int32_t> second;
    bool firstIsStar = false;
};

Arguments ParseArguments(std::string_view inside) {
    Arguments args;
    const size_t comma = inside.find(',');
    const std::string_view first = Trim(inside.substr(0, comma));
    args.firstIsStar = first == "*";
    args.first = LeadingInt(first);
    if (comma != std::string_view::npos) args.second = LeadingInt(inside.substr(comma + 1));
    return args;
}

template <size_t N>
bool OneOf(const std::string& name, const std::array<std::string_view, N>& names) {
    for (std::string_view n : names)
        if (name == n) return true;
    return false;
}

constexpr std::array<std::string_view, 14> kVarcharNames = {
    "VARCHAR2", "VARCHAR", "NVARCHAR2", "NVARCHAR", "TEXT", "CLOB", "NCLOB",
    "CHARACTER VARYING", "CHAR VARYING", "VARYING CHARACTER", "NATIONAL CHARACTER VARYING",
    "NATIONAL CHAR VARYING", "NCHAR VARYING", "STRING"};
constexpr std::array<std::string_view, 6> kCharNames = {
    "CHAR", "NCHAR", "CHARACTER", "NATIONAL CHARACTER", "NATIONAL CHAR", "NATIVE CHARACTER"};
constexpr std::array<std::string_view, 20> kNumberNames = {
    "NUMBER", "NUMERIC", "DECIMAL", "DEC", "INTEGER", "INT", "SMALLINT", "BIGINT", "TINYINT",
    "MEDIUMINT", "INT2", "INT4", "INT8", "UNSIGNED BIG INT", "REAL", "FLOAT", "DOUBLE",
    "DOUBLE PRECISION", "BINARY_FLOAT", "BINARY_DOUBLE"};

}  // namespace

ColumnType MapDeclaredType(std::string_view declared) {
    const size_t open = declared.find('(');
    const std::string name = NormalizeName(declared.substr(0, open));
    Arguments args;
    if (open != std::string_view::npos) {
        std::string_view inside = declared.substr(open + 1);
        inside = inside.substr(0, inside.find(')'));
        args = ParseArguments(inside);
    }

    if (OneOf(name, kVarcharNames)) {
        const int32_t size = args.first && *args.first > 0 ? *args.first : 0;
        return {ColumnKind::Text, size, 0};
    }
    if (OneOf(name, kCharNames)) {
        const int32_t size = args.first && *args.first > 0 ? *args.first : 1;
        return {ColumnKind::FixedChar, size, 0};
    }
    if (OneOf(name, kNumberNames)) {
        int32_t precision = kMaxPrecision;
        if (args.first && *args.first > 0) precision = *args.first;
        const bool sized = args.first.has_value() || args.firstIsStar;
        const int32_t scale = sized && args.second ? *args.second : 0;
        return {ColumnKind::Number, precision + 1, scale};
    }
    // "TIMESTAMP(6) WITH TIME ZONE" keeps its tail after the parentheses; the
    // name before them is enough to know it is a date.
    if (name == "DATE" || name == "DATETIME" || name == "TIMESTAMP" || name.starts_with("TIMESTAMP "))
        return {ColumnKind::Date, kDateSize, 0};
    return {ColumnKind::Other, 0, 0};
}

}  // namespace velkin
