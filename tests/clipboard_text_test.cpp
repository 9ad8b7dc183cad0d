#include "grid/clipboard_text.h"
#include "memory_watch.h"

#include <gtest/gtest.h>

#include <random>

using namespace velkin;

namespace {

using Cells = std::vector<std::vector<QString>>;

std::string Show(const Cells& rows) {
    std::string s;
    for (const auto& row : rows) {
        s += "[";
        for (const QString& cell : row) s += "<" + cell.toStdString() + ">";
        s += "]";
    }
    return s;
}

std::size_t Widest(const Cells& rows) {
    std::size_t w = 0;
    for (const auto& row : rows) w = std::max(w, row.size());
    return w;
}

}  // namespace

TEST(ClipboardWrite, BlocksAreWrittenAsExcelWritesThem) {
    const struct {
        const char* what;
        Cells rows;
        QString text;
    } cases[] = {
        {"nothing", {}, ""},
        {"one cell", {{"a"}}, "a\r\n"},
        {"two by two", {{"a", "b"}, {"c", "d"}}, "a\tb\r\nc\td\r\n"},
        {"empty cells", {{"", "", "x"}, {"", "", ""}}, "\t\tx\r\n\t\t\r\n"},
        {"one empty cell", {{""}}, "\r\n"},
        {"tab in a cell", {{"a\tb", "c"}}, "\"a\tb\"\tc\r\n"},
        {"line breaks in a cell", {{"l1\nl2", "x\r\ny", "cr\r"}}, "\"l1\nl2\"\t\"x\r\ny\"\t\"cr\r\"\r\n"},
        {"quotes doubled", {{"say \"hi\""}}, "\"say \"\"hi\"\"\"\r\n"},
        {"leading quote", {{"\"x"}}, "\"\"\"x\"\r\n"},
        {"apostrophe needs no quotes", {{"it's"}}, "it's\r\n"},
        {"Japanese as is", {{"山田", "ｶﾅ"}}, "山田\tｶﾅ\r\n"},
        {"blanks kept", {{"  a  ", " "}}, "  a  \t \r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(CellsToClipboardText(c.rows), c.text) << c.what;
}

TEST(ClipboardRead, SpreadsheetProgramOutputIsReadAsTheyMeantIt) {
    const struct {
        const char* what;
        QString text;
        Cells rows;
    } cases[] = {
        {"empty text", "", {}},
        {"Excel one cell", "abc\r\n", {{"abc"}}},
        {"Excel block", "1\t2\r\n3\t4\r\n", {{"1", "2"}, {"3", "4"}}},
        {"Excel cell with Alt+Enter break", "\"line1\nline2\"\tx\r\n", {{"line1\nline2", "x"}}},
        {"Excel quoted cell with quotes", "\"a \"\"b\"\"\nc\"\r\n", {{"a \"b\"\nc"}}},
        {"Excel empty cells", "\t\tx\r\n\t\t\r\n", {{"", "", "x"}, {"", "", ""}}},
        {"Excel quote inside a plain cell", "He said \"hi\"\tx\r\n", {{"He said \"hi\"", "x"}}},
        {"Excel plain cell starting with a quote", "\"hi\" there\tx\r\n", {{"\"hi\" there", "x"}}},
        {"Excel cell that is a quoted word", "\"hi\"\r\n", {{"hi"}}},
        {"LibreOffice LF", "a\tb\nc\td\n", {{"a", "b"}, {"c", "d"}}},
        {"lone CR", "a\rb\r", {{"a"}, {"b"}}},
        {"mixed line ends", "a\r\nb\nc\rd", {{"a"}, {"b"}, {"c"}, {"d"}}},
        {"no final line break", "a\tb", {{"a", "b"}}},
        {"only a line break", "\r\n", {{""}}},
        {"only a tab", "\t", {{"", ""}}},
        {"trailing tab", "a\t\r\n", {{"a", ""}}},
        {"empty line inside", "a\r\n\r\nb\r\n", {{"a"}, {""}, {"b"}}},
        {"two final line breaks", "a\r\n\r\n", {{"a"}, {""}}},
        {"empty quoted cell", "\"\"\tx", {{"", "x"}}},
        {"quoted cell at end of text", "x\t\"a\tb\"", {{"x", "a\tb"}}},
        {"quoted CR LF stays in the cell", "\"a\r\nb\"\r\nc\r\n", {{"a\r\nb"}, {"c"}}},
        {"stray quote inside a quoted cell", "\"ab\"cd\"\tz", {{"ab\"cd", "z"}}},
        {"unmatched quote", "\"abc\tdef\r\nghi", {{"\"abc", "def"}, {"ghi"}}},
        {"a lone quote", "\"", {{"\""}}},
        {"three quotes", "\"\"\"", {{"\"\"\""}}},
        {"unmatched quote on every line", "\"a\r\n\"b\r\n", {{"\"a"}, {"\"b"}}},
        {"Japanese", "山田\t太郎\r\n東京\t\r\n", {{"山田", "太郎"}, {"東京", ""}}},
    };
    for (const auto& c : cases) {
        const ClipboardBlock block = ParseClipboardText(c.text);
        EXPECT_EQ(block.rows, c.rows) << c.what << ": " << Show(block.rows);
        EXPECT_EQ(block.width, Widest(c.rows)) << c.what;
    }
}

TEST(ClipboardRead, RaggedRowsKeepTheirLengthsAndTheWidestGivesTheWidth) {
    const ClipboardBlock block = ParseClipboardText("a\r\nb\tc\td\r\ne\tf\r\n");
    ASSERT_EQ(block.rows.size(), 3u);
    EXPECT_EQ(block.rows[0].size(), 1u);
    EXPECT_EQ(block.rows[1].size(), 3u);
    EXPECT_EQ(block.rows[2].size(), 2u);
    EXPECT_EQ(block.width, 3u);
}

TEST(ClipboardRoundTrip, CellsComeBackAsTheyWere) {
    const Cells cases[] = {
        {{"a"}},
        {{""}},
        {{"", ""}, {""}, {"", "", ""}},
        {{"山田太郎", "ｶﾀｶﾅ", "全角　空白"}},
        {{"tab\there", "crlf\r\nhere", "lf\nhere", "cr\rhere"}},
        {{"\"", "\"\"", "\"quoted\"", "in \"the\" middle", "end\""}},
        {{"\"\t\"", "\r\n", "\n", "\r", "\t"}},
        {{"  blanks  ", "\"lead", "x"}, {"short"}},
        {{"1"}, {"2", "3"}, {"4", "5", "6"}},
        {{"last row empty cell"}, {""}},
        {{"😀 emoji", QString(QChar(0xD800))}},  // a lone surrogate is just a character here
    };
    for (const Cells& rows : cases) {
        const QString text = CellsToClipboardText(rows);
        EXPECT_EQ(ParseClipboardText(text).rows, rows) << Show(rows);
    }
}

TEST(ClipboardRoundTrip, RandomCellsComeBackAsTheyWere) {
    const QString alphabet[] = {"a", "Z", "\"", "\t", "\r", "\n", "\r\n", " ", "あ", "'", ";", "="};
    std::mt19937 random(2024);
    for (int iteration = 0; iteration < 3000; ++iteration) {
        Cells rows(1 + random() % 4);
        for (auto& row : rows) {
            row.resize(1 + random() % 4);
            for (QString& cell : row) {
                const int length = random() % 6;
                for (int i = 0; i < length; ++i) cell += alphabet[random() % std::size(alphabet)];
            }
        }
        const QString text = CellsToClipboardText(rows);
        ASSERT_EQ(ParseClipboardText(text).rows, rows) << Show(rows);
    }
}

TEST(ClipboardRoundTrip, ARowWithNoCellsComesBackAsOneEmptyCell) {
    EXPECT_EQ(ParseClipboardText(CellsToClipboardText({{"a"}, {}, {"b"}})).rows, (Cells{{"a"}, {""}, {"b"}}));
}

TEST(ClipboardRead, AnyTextParsesIntoAWellFormedBlock) {
    const QString alphabet[] = {"a", "\"", "\"\"", "\t", "\r", "\n", "あ", QString(QChar(0xDC00)), QString(QChar(0))};
    std::mt19937 random(99);
    for (int iteration = 0; iteration < 20000; ++iteration) {
        QString text;
        const int length = random() % 16;
        for (int i = 0; i < length; ++i) text += alphabet[random() % std::size(alphabet)];
        const ClipboardBlock block = ParseClipboardText(text);
        EXPECT_EQ(block.rows.empty(), text.isEmpty()) << text.toStdString();
        EXPECT_EQ(block.width, Widest(block.rows));
        for (const auto& row : block.rows) ASSERT_FALSE(row.empty());
        // Nothing is invented: the cells hold no more characters than the text.
        qsizetype characters = 0;
        for (const auto& row : block.rows) {
            for (const QString& cell : row) characters += cell.size();
        }
        EXPECT_LE(characters, text.size());
    }
}

TEST(ClipboardRead, TextFullOfStrayQuotesIsReadInLinearTime) {
    // Every line opens a quote that never closes; rescanning the rest of the
    // text for each of them would take far longer than the test's time limit.
    const int lines = 200000;
    const QString text = QString("\"x\t\"y\r\n").repeated(lines);
    const ClipboardBlock block = ParseClipboardText(text);
    ASSERT_EQ(block.rows.size(), static_cast<size_t>(lines));
    EXPECT_EQ(block.rows.front(), (std::vector<QString>{"\"x", "\"y"}));
    EXPECT_EQ(block.rows.back(), (std::vector<QString>{"\"x", "\"y"}));
    EXPECT_EQ(block.width, 2u);
}

TEST(ClipboardRead, AHugeQuotedCellTakesLittleMoreThanItsText) {
    // 50 million characters between quotes, with the doubled quotes and line
    // breaks that made it quoted.
    const QString text = u'"' + QString("0123456789abcdefghijk\"\"\r\n").repeated(2000000) + QStringLiteral("\"\r\n");
    const std::size_t textBytes = static_cast<std::size_t>(text.size()) * sizeof(QChar);
    velkin::testing::MemoryWatch memory;
    const ClipboardCells cells = ParseClipboardCells(text);
    ASSERT_EQ(cells.cellCount(), 1u);
    EXPECT_EQ(cells.cell(0, 0).size(), 2000000 * 24);
    velkin::testing::ExpectBoundedGrowth(memory, static_cast<long>(textBytes * 3 / 2 / 1024));
}
