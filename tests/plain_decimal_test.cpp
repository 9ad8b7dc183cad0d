#include "db/plain_decimal.h"

#include <gtest/gtest.h>

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
