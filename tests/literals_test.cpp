#include "db/error.h"
#include "writeback/literals.h"
#include "writeback/number_literal.h"

#include <QLocale>
#include <clocale>
#include <gtest/gtest.h>
#include <string>

using namespace velkin;

namespace {

struct LiteralCase {
    const char* type;
    QString text;
    QString expected;
};

// Returns the error number thrown by `f`, or -1 when nothing was thrown.
template <typename F>
int ErrorNumberOf(F f) {
    try {
        f();
    } catch (const Error& e) {
        return e.Number();
    }
    return -1;
}

}  // namespace

TEST(CellLiteral, EveryTypeWritesItsLiteral) {
    const LiteralCase cases[] = {
        // Empty cells.
        {"CHAR", "", "' '"},
        {"VARCHAR2", "", "''"},
        {"ETC", "", "''"},
        {"NUMBER", "", "0"},
        {"DATE", "", "NULL"},
        // Plain text, untrimmed.
        {"CHAR", "ab", "'ab'"},
        {"CHAR", "  ", "'  '"},
        {"CHAR", "ab   ", "'ab   '"},
        {"VARCHAR2", " x ", "' x '"},
        {"VARCHAR2", "日本語", "'日本語'"},
        {"ETC", "blob?", "'blob?'"},
        // Apostrophes doubled in every quoted type.
        {"CHAR", "O'Neil", "'O''Neil'"},
        {"VARCHAR2", "'", "''''"},
        {"VARCHAR2", "''", "''''''"},
        {"ETC", "it's", "'it''s'"},
        // Numbers.
        {"NUMBER", "1.23456", "1.2346"},
        {"NUMBER", "1.50", "1.5"},
        {"NUMBER", "-7", "-7"},
        // Dates are quoted.
        {"DATE", "20240131", "TO_DATE('20240131','yyyymmdd')"},
        {"DATE", "20240229", "TO_DATE('20240229','yyyymmdd')"},
        // Unknown type names are written as ETC; type names are case-sensitive.
        {"number", "", "''"},
        {"number", "12", "'12'"},
        {"Date", "20240131", "'20240131'"},
        {"", "x", "'x'"},
        {"char", "", "''"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " / [" + c.text.toStdString() + "]");
        EXPECT_EQ(CellLiteral(QString::fromUtf8(c.type), c.text), c.expected);
    }
}

TEST(CellLiteral, HostileTextStaysInsideTheQuotes) {
    const QString hostile = QStringLiteral("x'); DROP TABLE t; --");
    for (const char* type : {"CHAR", "VARCHAR2", "ETC"}) {
        SCOPED_TRACE(type);
        const QString lit = CellLiteral(QString::fromUtf8(type), hostile);
        EXPECT_EQ(lit, QStringLiteral("'x''); DROP TABLE t; --'"));
        // Removing every doubled apostrophe leaves exactly the two enclosing quotes.
        QString stripped = lit;
        stripped.replace(QStringLiteral("''"), QString());
        EXPECT_EQ(stripped.count(QLatin1Char('\'')), 2) << lit.toStdString();
    }
    EXPECT_EQ(ErrorNumberOf([&] { CellLiteral(QStringLiteral("DATE"), hostile); }), Error::kTypeMismatch);
    EXPECT_EQ(ErrorNumberOf([&] { CellLiteral(QStringLiteral("NUMBER"), hostile); }), Error::kTypeMismatch);
}

TEST(CellLiteral, DatesTakeTheFormTheDialectNames) {
    EXPECT_EQ(CellLiteral("DATE", "20240131", DateLiteralForm::ToDate), "TO_DATE('20240131','yyyymmdd')");
    EXPECT_EQ(CellLiteral("DATE", "20240131", DateLiteralForm::IsoText), "'2024-01-31'");
    EXPECT_EQ(CellLiteral("DATE", "20240131", DateLiteralForm::StandardDate), "DATE '2024-01-31'");
    EXPECT_EQ(CellLiteral("DATE", "20240131", DateLiteralForm::CompactText), "'20240131'");
    for (auto form : {DateLiteralForm::ToDate, DateLiteralForm::IsoText, DateLiteralForm::StandardDate,
                      DateLiteralForm::CompactText}) {
        EXPECT_EQ(CellLiteral("DATE", "", form), "NULL");
        EXPECT_EQ(ErrorNumberOf([&] { CellLiteral("DATE", "2024-01-31", form); }), Error::kTypeMismatch);
    }
    EXPECT_EQ(Dialect(DialectKind::Oracle).dateLiteralForm(), DateLiteralForm::ToDate);
    EXPECT_EQ(Dialect(DialectKind::PostgreSQL).dateLiteralForm(), DateLiteralForm::ToDate);
    EXPECT_EQ(Dialect(DialectKind::SQLite).dateLiteralForm(), DateLiteralForm::ToDate);
    EXPECT_EQ(Dialect(DialectKind::Standard).dateLiteralForm(), DateLiteralForm::StandardDate);
}

TEST(CellLiteral, DatesMustBeEightDigitsNamingARealDay) {
    // Some engines read these as a different date without complaint.
    for (const char* text : {"2024-01-31", "2024013", "20240100", "20240230", "20231301", "00000101",
                             "2024013１", " 20240131", "20240131 ", " ", "2024'0131", "202401311"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ErrorNumberOf([&] { CellLiteral(QStringLiteral("DATE"), QString::fromUtf8(text)); }),
                  Error::kTypeMismatch);
    }
    EXPECT_EQ(CellLiteral(QStringLiteral("DATE"), QStringLiteral("20000229")), "TO_DATE('20000229','yyyymmdd')");
    EXPECT_EQ(CellLiteral(QStringLiteral("DATE"), QStringLiteral("99991231")), "TO_DATE('99991231','yyyymmdd')");
}

TEST(CellLiteral, NumberCellsOfBlanksAreNotEmptyAndFail) {
    for (const QString text : {QStringLiteral(" "), QStringLiteral("   "), QStringLiteral("\t")}) {
        EXPECT_EQ(ErrorNumberOf([&] { CellLiteral(QStringLiteral("NUMBER"), text); }), Error::kTypeMismatch);
    }
    EXPECT_EQ(ErrorNumberOf([] { CellLiteral(QStringLiteral("NUMBER"), QStringLiteral("1e400")); }),
              Error::kOverflow);
}

TEST(QuotedIdentifier, WrapsAndDoublesInnerQuotes) {
    const std::pair<QString, QString> cases[] = {
        {"ID", "\"ID\""},
        {"MixedCase", "\"MixedCase\""},
        {"with space", "\"with space\""},
        {"", "\"\""},
        {"a\"b", "\"a\"\"b\""},
        {"x\") VALUES (1); --", "\"x\"\") VALUES (1); --\""},
        {"氏名", "\"氏名\""},
    };
    for (const auto& [name, expected] : cases) EXPECT_EQ(QuotedIdentifier(name), expected) << name.toStdString();
}

TEST(NumberLiteral, AcceptedFormsAreWrittenInPlainDecimal) {
    const std::pair<QString, QString> cases[] = {
        // Plain decimal and normalisation.
        {"0", "0"},
        {"00", "0"},
        {"007", "7"},
        {"42", "42"},
        {"1234.5", "1234.5"},
        {"1.50", "1.5"},
        {"1.0000", "1"},
        {"100", "100"},
        {"-0", "0"},
        {"-0.0", "0"},
        {"+5", "5"},
        {"-5", "-5"},
        {".5", "0.5"},
        {"5.", "5"},
        {"-.25", "-0.25"},
        {"0.0001", "0.0001"},
        // Exact decimal: no binary floating point artefacts.
        {"0.1", "0.1"},
        {"0.3", "0.3"},
        {"0.7", "0.7"},
        {"1.1", "1.1"},
        {"123456789012.3456", "123456789012.3456"},
        // Blanks around.
        {"  12  ", "12"},
        {"\t-3.5\t", "-3.5"},
        {QString::fromUtf8("\u300012\u3000"), "12"},
        // Exponent.
        {"1.23E+12", "1230000000000"},
        {"1.23456789E+14", "123456789000000"},
        {"1.23e12", "1230000000000"},
        {"1E3", "1000"},
        {"1e-3", "0.001"},
        {"-2.5E-2", "-0.025"},
        {"12345e-4", "1.2345"},
        {"1e-400", "0"},
        {"-1e-400", "0"},
        {"0e999999999999999999999", "0"},
        {"1e-99999999999999999999999", "0"},
        {"1e00000000000000000000000003", "1000"},
        // Grouping.
        {"1,234", "1234"},
        {"1,234,567.5", "1234567.5"},
        {"-12,345,678", "-12345678"},
        {"999,999", "999999"},
        {"1,000e3", "1000000"},
        // Full-width (Japanese input) and the minus sign.
        {QString::fromUtf8("１２３．５"), "123.5"},
        {QString::fromUtf8("－１２"), "-12"},
        {QString::fromUtf8("＋１"), "1"},
        {QString::fromUtf8("１，２３４"), "1234"},
        {QString::fromUtf8("１Ｅ２"), "100"},
        {QString::fromUtf8("\u22125"), "-5"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text.toStdString());
        EXPECT_EQ(NumberLiteral(text), expected);
    }
}

TEST(NumberLiteral, RoundsToFourDecimalsHalfAwayFromZero) {
    const std::pair<QString, QString> cases[] = {
        {"1.23456", "1.2346"},
        {"1.23454", "1.2345"},
        {"1.23455", "1.2346"},
        {"-1.23455", "-1.2346"},
        {"0.00005", "0.0001"},
        {"-0.00005", "-0.0001"},
        {"0.000049999", "0"},
        {"-0.000049999", "0"},
        {"-0.00001", "0"},
        {"0.00004", "0"},
        {"2.00015", "2.0002"},
        {"2.00025", "2.0003"},
        {"-2.00025", "-2.0003"},
        {"9.99995", "10"},
        {"-9.99995", "-10"},
        {"0.99999", "1"},
        {"1.000050000000000000000000001", "1.0001"},
        {"5e-5", "0.0001"},
        {"4.9999e-5", "0"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text.toStdString());
        EXPECT_EQ(NumberLiteral(text), expected);
    }
}

TEST(NumberLiteral, RangeEnds) {
    const std::pair<QString, QString> ok[] = {
        {"922337203685477.5807", "922337203685477.5807"},
        {"-922337203685477.5808", "-922337203685477.5808"},
        {"922337203685477.58074", "922337203685477.5807"},
        {"-922337203685477.58084", "-922337203685477.5808"},
        {"922,337,203,685,477", "922337203685477"},
        {"9.223372036854775807E14", "922337203685477.5807"},
        {"99999999999999", "99999999999999"},
        {"0.00000000000000000000000000000000000001", "0"},
    };
    for (const auto& [text, expected] : ok) {
        SCOPED_TRACE(text.toStdString());
        EXPECT_EQ(NumberLiteral(text), expected);
    }
    const QString overflow[] = {
        "922337203685477.5808",
        "922337203685477.58075",
        "-922337203685477.5809",
        "-922337203685477.58085",
        "922337203685478",
        "1000000000000000",
        "99999999999999999999",
        "1e15",
        "1.23E+15",
        "1e400",
        "-1e400",
        "1e99999999999999999999999",
        "9.3E+14",
    };
    for (const auto& text : overflow) {
        SCOPED_TRACE(text.toStdString());
        EXPECT_EQ(ErrorNumberOf([&] { NumberLiteral(text); }), Error::kOverflow);
    }
}

TEST(NumberLiteral, RefusedFormsAreTypeMismatch) {
    const QString refused[] = {
        "", " ", "   ", "\t",
        "abc", "NaN", "nan", "inf", "Infinity", "-inf",
        "$5", "¥100", QString::fromUtf8("￥100"), "5€", "(5)", "5%",
        "1,5", "1,23", "1,2345", "12,34,567", "1234,567", ",123", "1,", "1,,234", "0,123",
        "1.234,5", "1,234.5,6", "1.2,345",
        "1 234", "- 5", "5-", "+-5", "--5", "++5",
        ".", "-", "+", "e5", ".e5", "1e", "1e+", "1e-", "1e5.5", "1.2.3", "1..2",
        "0x10", "1_000", "１２a", "12 ab",
        QString::fromUtf8("1\u00A0234"),
    };
    for (const auto& text : refused) {
        SCOPED_TRACE(text.toStdString());
        EXPECT_EQ(ErrorNumberOf([&] { NumberLiteral(text); }), Error::kTypeMismatch);
    }
}

TEST(NumberLiteral, HugeInputsFinishQuickly) {
    // A very long run of digits and a very long exponent neither loop nor allocate by value.
    const QString longFraction = QStringLiteral("0.") + QString(200000, QLatin1Char('0')) + QStringLiteral("1");
    EXPECT_EQ(NumberLiteral(longFraction), "0");
    const QString longInteger = QString(200000, QLatin1Char('9'));
    EXPECT_EQ(ErrorNumberOf([&] { NumberLiteral(longInteger); }), Error::kOverflow);
    const QString longZeros = QString(200000, QLatin1Char('0')) + QStringLiteral("12.5");
    EXPECT_EQ(NumberLiteral(longZeros), "12.5");
    const QString longExponent = QStringLiteral("1e-") + QString(100000, QLatin1Char('9'));
    EXPECT_EQ(NumberLiteral(longExponent), "0");
}

TEST(NumberLiteral, IndependentOfTheLocale) {
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const std::string oldC = std::setlocale(LC_ALL, nullptr);
    const bool haveGerman = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    if (!haveGerman) std::setlocale(LC_ALL, "C.UTF-8");

    EXPECT_EQ(NumberLiteral(QStringLiteral("1234.5")), "1234.5");
    EXPECT_EQ(NumberLiteral(QStringLiteral("-0.25")), "-0.25");
    EXPECT_EQ(NumberLiteral(QStringLiteral("1,234,567.5")), "1234567.5");
    EXPECT_EQ(CellLiteral(QStringLiteral("NUMBER"), QStringLiteral("1.50")), "1.5");
    // German grouping and decimal comma are refused rather than misread.
    EXPECT_EQ(ErrorNumberOf([] { NumberLiteral(QStringLiteral("1234,5")); }), Error::kTypeMismatch);
    EXPECT_EQ(ErrorNumberOf([] { NumberLiteral(QStringLiteral("1.234,5")); }), Error::kTypeMismatch);

    std::setlocale(LC_ALL, oldC.c_str());
    QLocale::setDefault(before);
}
