#include "db/sqlite/real_text.h"

#include "db/sqlite/sqlite_handles.h"

#include <sqlite3.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace velkin {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The first library version whose conversion differs from the one followed here.
constexpr int kNewConversionVersion = 3043000;

}  // namespace

namespace {

// Long double units in the last place that the library's own steps may differ
// from these by (the order of its roundings); a result closer than this to a
// point where rounding to double tips either way is not taken as sure.
constexpr int64_t kMarginUlps = 32;

// `wide` rounded to double, and whether any long double within `margin` ulps
// of it rounds alike.
TextConversion Narrow(long double wide, int64_t margin) {
    const double narrow = static_cast<double>(wide);
    if (wide == 0 || !std::isfinite(narrow) || std::fabs(narrow) < std::numeric_limits<double>::min())
        return {narrow, false};
    if (margin == 0) return {narrow, true};
    int exponent = 0;
    const long double fraction = std::frexp(std::fabs(wide), &exponent);
    const auto mantissa = static_cast<uint64_t>(std::ldexp(fraction, 64));
    // The eleven bits rounding drops; the tipping point is their half.
    const auto dropped = static_cast<int64_t>(mantissa & 0x7ff);
    return {narrow, (dropped >= margin && dropped <= 0x7ff - margin && std::abs(dropped - 0x400) >= margin)};
}

// The library's steps after its parse: `sign` and the significand `s` of
// its digits, scaled by ten to the power `e`.
TextConversion Sqlite340Scaled(int sign, int64_t s, int e) {
    constexpr int64_t kLargest = std::numeric_limits<int64_t>::max();
    const int esign = e < 0 ? -1 : 1;
    if (e < 0) e = -e;
    if (s == 0) return {sign < 0 ? -0.0 : 0.0, true};
    while (e > 0) {
        if (esign > 0) {
            if (s >= kLargest / 10) break;
            s *= 10;
        } else {
            if (s % 10 != 0) break;
            s /= 10;
        }
        --e;
    }
    s = sign < 0 ? -s : s;
    // Within 2^53 the conversion is exact, whatever the library's steps.
    if (e == 0) return {static_cast<double>(s), s > -(int64_t{1} << 53) && s < (int64_t{1} << 53)};
    long double scale = 1.0;
    if (e > 307) {
        if (e >= 342) return {0, false};
        while (e % 308) scale *= 1.0e+1, e -= 1;
        TextConversion first =
            Narrow(esign < 0 ? static_cast<long double>(s) / scale : static_cast<long double>(s) * scale, kMarginUlps);
        first.value = esign < 0 ? first.value / 1.0e+308 : first.value * 1.0e+308;
        return first;
    }
    // Up to 1e22 the scale is exact and one operation rounds: no other order
    // of steps can come out otherwise.
    const int64_t margin = e <= 22 ? 0 : kMarginUlps;
    // Each power of ten below 1e22 is exact in a long double, as the
    // library's own steps of 1e+1 make it.
    static constexpr long double kPowers[22] = {1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,  1e7L,
                                                1e8L,  1e9L,  1e10L, 1e11L, 1e12L, 1e13L, 1e14L, 1e15L,
                                                1e16L, 1e17L, 1e18L, 1e19L, 1e20L, 1e21L};
    scale = kPowers[e % 22];
    e -= e % 22;
    while (e > 0) scale *= 1.0e+22, e -= 22;
    return Narrow(esign < 0 ? static_cast<long double>(s) / scale : static_cast<long double>(s) * scale, margin);
}

}  // namespace

TextConversion Sqlite340TextToDouble(std::string_view text) {
    constexpr int64_t kLargest = std::numeric_limits<int64_t>::max();
    const char* z = text.data();
    const char* const end = z + text.size();
    int sign = 1;
    int64_t s = 0;  // significand
    int d = 0;      // exponent adjustment for the point
    int esign = 1;
    int e = 0;
    if (z < end && *z == '-') {
        sign = -1;
        ++z;
    } else if (z < end && *z == '+') {
        ++z;
    }
    while (z < end && IsDigit(*z)) {
        s = s * 10 + (*z++ - '0');
        if (s >= (kLargest - 9) / 10)
            while (z < end && IsDigit(*z)) ++z, ++d;
    }
    if (z < end && *z == '.') {
        ++z;
        for (; z < end && IsDigit(*z); ++z)
            if (s < (kLargest - 9) / 10) s = s * 10 + (*z - '0'), --d;
    }
    if (z < end && (*z == 'e' || *z == 'E')) {
        ++z;
        if (z < end && *z == '-') esign = -1, ++z;
        else if (z < end && *z == '+') ++z;
        for (; z < end && IsDigit(*z); ++z) e = e < 10000 ? e * 10 + (*z - '0') : 10000;
    }
    return Sqlite340Scaled(sign, s, e * esign + d);
}

bool SqliteReadsBack(sqlite3* db, std::string_view text, double value, std::optional<ShortDecimalParts> parts) {
    static const bool knownConversion = sqlite3_libversion_number() < kNewConversionVersion;
    // The text's sign is the value's, and its digits and point those of the parts.
    const TextConversion conversion =
        parts ? Sqlite340Scaled(value < 0 ? -1 : 1, static_cast<int64_t>(parts->digits), -parts->places)
              : Sqlite340TextToDouble(text);
    const auto wholeNumber = [text] { return text.find_first_of(".eE") == std::string_view::npos; };
    if (conversion.sure && (knownConversion || wholeNumber())) return conversion.value == value;
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v3(db, "SELECT CAST(?1 AS REAL)", -1, 0, &raw, nullptr) != SQLITE_OK) return false;
    const StatementHandle statement(raw);
    sqlite3_bind_text(raw, 1, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    return sqlite3_step(raw) == SQLITE_ROW && sqlite3_column_double(raw, 0) == value;
}

QString RealFromBitsLiteral(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return QStringLiteral("REAL_FROM_BITS('") +
           QString::number(bits, 16).rightJustified(16, QLatin1Char('0')).toUpper() + QStringLiteral("')");
}

}  // namespace velkin
