#include "db/plain_decimal.h"

#include "db/decimal_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

using namespace velkin;

TEST(PlainDecimal, DoublesUseTheShortestExactTextWithoutExponent) {
    EXPECT_EQ(PlainDecimalFromDouble(0.1), "0.1");
    EXPECT_EQ(PlainDecimalFromDouble(1e20), "100000000000000000000");
    EXPECT_EQ(PlainDecimalFromDouble(1.5e-7), "0.00000015");
    EXPECT_EQ(PlainDecimalFromDouble(-1234.5), "-1234.5");
    EXPECT_EQ(PlainDecimalFromDouble(0.0), "0");
    EXPECT_EQ(PlainDecimalFromDouble(-0.0), "0");
    EXPECT_EQ(PlainDecimalFromDouble(42.0), "42");
    EXPECT_EQ(PlainDecimalFromDouble(0.1 + 0.2), "0.30000000000000004");
}

TEST(PlainDecimal, EngineTextIsRewrittenInPlainForm) {
    EXPECT_EQ(PlainDecimalFromText("12.50"), "12.5");
    EXPECT_EQ(PlainDecimalFromText("12.00"), "12");
    EXPECT_EQ(PlainDecimalFromText("-1.5e+20"), "-150000000000000000000");
    EXPECT_EQ(PlainDecimalFromText("1E-3"), "0.001");
    EXPECT_EQ(PlainDecimalFromText("0.000"), "0");
    EXPECT_EQ(PlainDecimalFromText("-0"), "0");
    EXPECT_EQ(PlainDecimalFromText("007"), "7");
    EXPECT_EQ(PlainDecimalFromText("100"), "100");
    EXPECT_EQ(PlainDecimalFromText("NaN"), "NaN");
    EXPECT_EQ(PlainDecimalFromText("Infinity"), "Infinity");
    EXPECT_EQ(PlainDecimalFromText("1e"), "1e");
}

// The one scanner behind the plain form, the NUMBER literal and the unquoted
// number test: its parts, and thousands groups only where its reader allows them.
TEST(PlainDecimal, TheDecimalScannerGivesThePartsAndGroupsOnlyWhenAllowed) {
    const std::optional<DecimalText> number = ScanDecimal("-01.50e+2");
    ASSERT_TRUE(number);
    EXPECT_TRUE(number->negative);
    EXPECT_EQ(number->digits, "0150");
    EXPECT_EQ(number->pointPos, 4);
    EXPECT_FALSE(ScanDecimal("1,234"));
    const DecimalRules grouped{.thousandsGroups = true};
    EXPECT_EQ(ScanDecimal("1,234,567.5", grouped)->digits, "12345675");
    for (const char* refused : {"1,23", "0,123", "1.234,5", ",123", "1e", ".", "1e+", " 1"})
        EXPECT_FALSE(ScanDecimal(refused, grouped)) << refused;
}

// Below 1e15 the plain text of a double is its shortest round-trip text in
// fixed notation, which the standard library also gives (above, that notation
// prints the binary value's every integer digit); compared over the values
// databases hold (decimals of a few places) and over arbitrary bit patterns.
TEST(PlainDecimal, DoublesAgreeWithTheShortestFixedNotation) {
    std::mt19937_64 random(20261208);
    auto fixed = [](double value) {
        char buffer[400];
        const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed).ptr;
        std::string text(buffer, end);
        return text == "-0" ? std::string("0") : text;
    };
    for (int i = 0; i < 400000; ++i) {
        double value;
        if (i % 2 == 0) {
            const auto places = static_cast<int>(random() % 18);
            const auto digits = static_cast<int64_t>(random() % 10000000000000000ULL) >> (random() % 50);
            value = static_cast<double>(digits) / std::pow(10.0, places) * (random() % 2 ? 1 : -1);
        } else {
            const uint64_t bits = random();
            std::memcpy(&value, &bits, sizeof value);
        }
        if (!(std::fabs(value) < 1e15)) continue;
        std::string text;
        PlainDecimalFromDouble(value, text);
        ASSERT_EQ(text, fixed(value)) << "bits " << std::bit_cast<uint64_t>(value);
        ASSERT_EQ(PlainDecimalFromDouble(value).toStdString(), text);
    }
}
