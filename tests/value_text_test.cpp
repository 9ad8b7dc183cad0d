#include "read/value_text.h"

#include <gtest/gtest.h>
#include <limits>
#include <string>

using namespace velkin;

TEST(DateCellText, DatesBecomeEightDigitsAndKeepATimeOfDay) {
    const std::pair<QString, QString> cases[] = {
        {"2024-01-31", "20240131"},
        {"2024-01-31 00:00:00", "20240131"},
        {"2024-01-31 00:00:00.000000", "20240131"},
        {"2024-01-31 23:59:59", "20240131 23:59:59"},
        {"2024-01-31 00:00:00.5", "20240131 00:00:00.5"},
        {"2024-01-31 23:59:59.123", "20240131 23:59:59.123"},
        {"2024-01-31 10:11:12.345600", "20240131 10:11:12.345600"},
        {"2024-01-31 10:11:12.000", "20240131 10:11:12"},
        {"2024-01-31T08:15:00", "20240131 08:15:00"},
        {"2024/01/31", "20240131"},
        {"2024/01/31 10:00:00", "20240131 10:00:00"},
        {"20240131", "20240131"},
        {"0001-01-01", "00010101"},
        {"9999-12-31", "99991231"},
        // A time zone, a shorter time or anything after it: shown as stored.
        {"2024-01-31 23:59:59.123456+09:00", "2024-01-31 23:59:59.123456+09:00"},
        {"2024-01-31 00:00:00+09", "2024-01-31 00:00:00+09"},
        {"2024-01-31T08:15", "2024-01-31T08:15"},
        {"20240131 101500", "20240131 101500"},
        {"2024-01-31 10:11:12.", "2024-01-31 10:11:12."},
    };
    for (const auto& [in, out] : cases) {
        SCOPED_TRACE(in.toStdString());
        EXPECT_EQ(DateCellText(in), out);
    }
}

TEST(DateCellText, TextThatIsNoDateIsShownAsStored) {
    const QString cases[] = {
        "",
        "hello",
        "2024-1-31",
        "2024-01-3",
        "24-01-31",
        "2024-01/31",
        "2024.01.31",
        "2024-13-01",
        "2024-00-10",
        "2024-01-00",
        "2024-01-32",
        "20241301",
        "20240132",
        "2024013",
        "202401311",
        "2024-01-311",
        "12345",
        "45322.5",
        " 2024-01-31",
        "-2024-01-31",
        "２０２４-01-31",
    };
    for (const auto& in : cases) {
        SCOPED_TRACE(in.toStdString());
        EXPECT_EQ(DateCellText(in), in);
    }
}

TEST(ColumnTypeText, SizeAndPositiveScale) {
    struct Case {
        const char* type;
        int32_t size;
        int32_t scale;
        const char* expected;
    };
    const Case cases[] = {
        {"NUMBER", 9, 2, "NUMBER(9.2)"},
        {"NUMBER", 9, 0, "NUMBER(9)"},
        {"NUMBER", 38, -127, "NUMBER(38)"},
        {"NUMBER", 21, -1, "NUMBER(21)"},
        {"NUMBER", -1, 0, "NUMBER(-1)"},
        {"VARCHAR2", 20, 0, "VARCHAR2(20)"},
        {"CHAR", 5, 0, "CHAR(5)"},
        {"DATE", 8, 0, "DATE(8)"},
        {"ETC", 0, 0, "ETC(0)"},
        {"NUMBER", 2147483647, 1, "NUMBER(2147483647.1)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ColumnTypeText(QString::fromLatin1(c.type), c.size, c.scale), QString::fromLatin1(c.expected))
            << c.expected;
    }
}

TEST(CatalogueEntry, ColumnKindsMapToTypeSizeScale) {
    using enum ColumnKind;
    struct Case {
        ColumnKind kind;
        int32_t size, scale;
        const char* type;
        int32_t wantSize, wantScale;
    };
    const Case cases[] = {
        {Text, 20, 0, "VARCHAR2", 20, 0},
        {Text, 20, 7, "VARCHAR2", 20, 0},
        {FixedChar, 5, 3, "CHAR", 5, 0},
        {Number, 10, 2, "NUMBER", 9, 2},
        {Number, 22, -127, "NUMBER", 21, -127},
        {Number, 0, 0, "NUMBER", -1, 0},
        {Number, std::numeric_limits<int32_t>::min(), 0, "NUMBER", std::numeric_limits<int32_t>::min(), 0},
        {Date, 7, 4, "DATE", 8, 0},
        {Other, 100, 1, "ETC", 0, 0},
        {Other, 0, 0, "ETC", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        const ColumnInfo info = CatalogueEntry(c.kind, c.size, c.scale);
        EXPECT_EQ(ColumnKindName(info.kind), QString::fromLatin1(c.type));
        EXPECT_EQ(info.size, c.wantSize);
        EXPECT_EQ(info.scale, c.wantScale);
    }
    // The catalogue and the type text together give the texts of grid row 2.
    const ColumnInfo n = CatalogueEntry(ColumnKind::Number, 10, 2);
    EXPECT_EQ(ColumnTypeText(ColumnKindName(n.kind), n.size, n.scale), "NUMBER(9.2)");
    const ColumnInfo d = CatalogueEntry(ColumnKind::Date, 7, 0);
    EXPECT_EQ(ColumnTypeText(ColumnKindName(d.kind), d.size, d.scale), "DATE(8)");
}

// The byte check a read makes for dates stored as text agrees with the
// cell's own round trip on every form a date takes, and on text that is none.
TEST(DateCellText, ADateStoredAsTextSurvivesItsCellAlikeInBytes) {
    const char* cases[] = {"2024-01-31", "2024-01-31 00:00:00", "2024-01-31 00:00:00.000", "2024-01-31 23:59:59",
                           "2024-01-31 00:00:00.5", "2024-01-31 10:11:12.000", "2024-01-31 10:11:12.3400",
                           "2024-01-31T08:15:00", "2024/01/31", "20240131", "20240131 10:00:00",
                           "2024-01-31 23:59:59+09:00", "2024-01-31T08:15", "2024-13-01", "", "hello", "1234567",
                           "12345678", "2024-01-31 ", "note for record"};
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(DateBytesSurviveTheirCell(text), DateTextSurvivesItsCell(QString::fromLatin1(text)));
    }
}
