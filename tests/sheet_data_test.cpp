// The grid's cell storage against a plain map of the same operations: texts,
// clears, size changes and the last data row must agree after every step,
// through block reuse, compaction and the release of an emptied sheet.
// Texts go in as QStrings and as UTF-8 bytes, row by row as a read writes
// them and cell by cell at random as a user does.

#include "db/utf8_text.h"
#include "grid/exact_form.h"
#include "grid/sheet_data.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

using namespace velkin;

namespace {

class Model {
public:
    void setRowCount(int32_t rows) {
        rows_ = rows;
        std::erase_if(cells_, [&](const auto& kv) { return kv.first.first > rows; });
    }
    void setColumnCount(int32_t columns) {
        columns_ = columns;
        std::erase_if(cells_, [&](const auto& kv) { return kv.first.second > columns; });
    }
    void setText(int32_t r, int32_t c, const QString& text) {
        if (text.isEmpty()) cells_.erase({r, c});
        else cells_[{r, c}] = text;
    }
    // Rows from `at` on move down by `count`, or up over the `count` rows deleted.
    void insertRows(int32_t at, int32_t count) { moveRows(at, count); }
    void deleteRows(int32_t at, int32_t count) {
        std::erase_if(cells_, [&](const auto& kv) { return kv.first.first >= at && kv.first.first < at + count; });
        moveRows(at + count, -count);
    }
    void moveRows(int32_t from, int32_t by) {
        std::map<std::pair<int32_t, int32_t>, QString> moved;
        for (const auto& [key, text] : cells_)
            if (key.first < from) moved[key] = text;
            else if (key.first + by <= rows_) moved[{key.first + by, key.second}] = text;
        cells_.swap(moved);
    }
    void clear(const CellBlock& b) {
        std::erase_if(cells_, [&](const auto& kv) { return b.contains(kv.first.first, kv.first.second); });
    }
    QString text(int32_t r, int32_t c) const {
        auto it = cells_.find({r, c});
        return it == cells_.end() ? QString() : it->second;
    }
    int32_t lastDataRow() const {
        int32_t last = 0;
        for (const auto& [key, text] : cells_)
            if (key.first >= 1 && key.second >= 1) last = std::max(last, key.first);
        return last;
    }

private:
    int32_t rows_ = 0, columns_ = 0;
    std::map<std::pair<int32_t, int32_t>, QString> cells_;
};

// The sanitizers make each step some fifteen times slower; a quarter of the
// steps still reaches every operation thousands of times.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kRandomEditSteps = 15000;
#else
constexpr int kRandomEditSteps = 60000;
#endif

}  // namespace

TEST(SheetData, AgreesWithAPlainMapThroughRandomEdits) {
    std::mt19937 random(20261208);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
    auto randomText = [&](int32_t r, int32_t c, int step) {
        switch (uniform(0, 59)) {
        case 0: return QString();
        case 1: return QString(uniform(300000, 400000), QChar(u'長'));  // a block of its own
        case 2: return QStringLiteral("lone %1 surrogates %2 😀").arg(QChar(0xD800)).arg(QChar(0xDFFF));
        default: return QStringLiteral("r%1c%2 東京 %3").arg(r).arg(c).arg(step).repeated(uniform(1, 4));
        }
    };
    SheetData sheet;
    Model model;
    int32_t rows = 300, columns = 20;
    sheet.setRowCount(rows);
    sheet.setColumnCount(columns);
    model.setRowCount(rows);
    model.setColumnCount(columns);

    for (int step = 0; step < kRandomEditSteps; ++step) {
        const int op = uniform(0, 99);
        if (op < 75) {
            const int32_t r = uniform(0, rows), c = uniform(0, columns);
            const QString text = randomText(r, c, step);
            if (uniform(0, 1)) {
                sheet.setText(r, c, text);
            } else {
                std::string bytes;
                AppendUtf8(text, bytes);
                sheet.setTextUtf8(r, c, bytes);
            }
            model.setText(r, c, text);
        } else if (op < 80) {
            // A whole row left to right in UTF-8, as a read writes it, some
            // cells twice, then a look at it while it is still being written.
            const int32_t r = uniform(0, rows);
            for (int32_t c = 0; c <= columns; ++c) {
                for (int times = uniform(1, 8) == 1 ? 2 : 1; times > 0; --times) {
                    const QString text = uniform(0, 4) ? randomText(r, c, step) : QString();
                    std::string bytes;
                    AppendUtf8(text, bytes);
                    sheet.setTextUtf8(r, c, bytes);
                    model.setText(r, c, text);
                }
            }
            for (int32_t c = 0; c <= columns; ++c) ASSERT_EQ(sheet.text(r, c), model.text(r, c)) << "step " << step;
        } else if (op < 90) {
            const int32_t r1 = uniform(0, rows), c1 = uniform(0, columns);
            const CellBlock block{c1, r1, uniform(c1, columns), uniform(r1, rows)};
            sheet.clearTexts(block);
            model.clear(block);
        } else if (op < 93) {
            const CellBlock everything{0, 0, columns, sheet.lastDataRow()};
            sheet.clearTexts(everything);
            model.clear(everything);
        } else if (op < 95) {
            rows = uniform(2, 400);
            sheet.setRowCount(rows);
            model.setRowCount(rows);
        } else if (op < 98) {
            // Rows inserted or deleted; now and then taken back at once,
            // which must give the sheet back as it was.
            const int32_t at = uniform(1, rows), count = uniform(1, std::min(rows - at + 1, 40));
            const bool insert = uniform(0, 1);
            const SheetRows out = insert ? sheet.putRows(at, SheetData::InsertedRows(count))
                                         : sheet.takeRows(at, sheet.emptyRowsLike(rows, count));
            if (uniform(0, 2) == 0) {
                insert ? sheet.takeRows(at, out) : sheet.putRows(at, out);
            } else {
                insert ? model.insertRows(at, count) : model.deleteRows(at, count);
            }
            ASSERT_EQ(sheet.lastDataRow(), model.lastDataRow()) << "step " << step;
        } else {
            columns = uniform(1, 30);
            sheet.setColumnCount(columns);
            model.setColumnCount(columns);
        }
        if (step % 97 == 0 || (op >= 90 && op < 98)) {
            ASSERT_EQ(sheet.lastDataRow(), model.lastDataRow()) << "step " << step;
            for (int32_t r = 0; r <= rows; r += uniform(1, 7))
                for (int32_t c = 0; c <= columns; ++c)
                    ASSERT_EQ(sheet.text(r, c), model.text(r, c)) << "step " << step << " cell " << r << "," << c;
        }
    }
}

// A read's rows cost little beyond their text, and rewriting them over and
// over leaves no more than compaction allows: replaced rows are reclaimed.
TEST(SheetData, MemoryStaysNearTheTextHeld) {
    constexpr int32_t kRows = 60000, kColumns = 10;
    SheetData sheet;
    sheet.setRowCount(kRows + 2);
    sheet.setColumnCount(kColumns);
    size_t textBytes = 0;
    for (int pass = 0; pass < 4; ++pass) {
        textBytes = 0;
        for (int32_t r = 3; r <= kRows + 2; ++r)
            for (int32_t c = 0; c <= kColumns; ++c) {
                const std::string text = "pass " + std::to_string(pass) + " cell " + std::to_string(r * 100 + c);
                sheet.setTextUtf8(r, c, text);
                textBytes += text.size();
            }
        const size_t held = sheet.memoryBytes();
        EXPECT_GE(held, textBytes) << "pass " << pass;
        // Per row: its width and 11 cell ends beside the text; one block and the row list's growth on top.
        const size_t bound = pass == 0 ? textBytes + kRows * 56 + (3 << 20) : 3 * (textBytes + kRows * 56);
        EXPECT_LE(held, bound) << "pass " << pass;
    }
    EXPECT_EQ(sheet.text(kRows + 2, kColumns), QStringLiteral("pass 3 cell %1").arg((kRows + 2) * 100 + kColumns));
    EXPECT_EQ(sheet.lastDataRow(), kRows + 2);
    sheet.clearTexts({0, 0, kColumns, kRows + 2});
    EXPECT_EQ(sheet.memoryBytes(), 0u);
}

TEST(SheetData, PaintedBlocksAndTheDefaultColour) {
    SheetData sheet;
    sheet.setRowCount(10);
    sheet.setColumnCount(3);
    EXPECT_EQ(sheet.backColor(5, 2), GridColor::kWhite);
    sheet.paint({1, 3, 1, 10}, GridColor::kYellow);
    sheet.paint({1, 5, 3, 5}, GridColor::kRed);
    EXPECT_EQ(sheet.backColor(4, 1), GridColor::kYellow);
    EXPECT_EQ(sheet.backColor(5, 1), GridColor::kRed);
    EXPECT_EQ(sheet.backColor(5, 3), GridColor::kRed);
    EXPECT_EQ(sheet.backColor(5, 4), GridColor::kWhite) << "beyond the last column";
    sheet.paint({2, 5, 3, 5}, GridColor::kWhite);
    EXPECT_EQ(sheet.backColor(5, 1), GridColor::kRed);
    EXPECT_EQ(sheet.backColor(5, 2), GridColor::kWhite);
    // Clearing texts leaves colours alone.
    sheet.setText(5, 1, QStringLiteral("x"));
    sheet.clearTexts({0, 0, 3, 10});
    EXPECT_EQ(sheet.backColor(5, 1), GridColor::kRed);
}

TEST(SheetData, ACellShowsItsFirstLineCutToWhatAScreenCanHold) {
    SheetData sheet;
    sheet.setRowCount(3);
    sheet.setColumnCount(1);
    const std::string huge = "first line\n" + std::string(10 << 20, 'x');
    sheet.setTextUtf8(1, 1, huge);
    EXPECT_EQ(sheet.shownText(1, 1), QStringLiteral("first line…"));
    EXPECT_EQ(sheet.text(1, 1).size(), static_cast<qsizetype>(huge.size()));  // the text itself stays whole
    sheet.setText(2, 1, QString(2000, QChar(0x6F22)));  // 3 bytes each in UTF-8
    EXPECT_EQ(sheet.shownText(2, 1), QString(SheetData::kShownCharacters, QChar(0x6F22)) + u'…');
    sheet.setText(3, 1, QStringLiteral("short"));
    EXPECT_EQ(sheet.shownText(3, 1), QStringLiteral("short"));
}

// The exact forms a read gives stay with their records, a few bytes each: a
// column whose every value has trailing zeros costs no map entry per cell.
TEST(SheetData, ExactFormsStayWithTheirRecordsAndCostFewBytes) {
    constexpr int32_t kRecords = 100000;
    auto read = [](SheetData& sheet, bool exact) {
        sheet.setRowCount(kRecords + 2);
        sheet.setColumnCount(3);
        sheet.beginRead(3, 3);
        for (int32_t i = 0; i < kRecords; ++i) {
            sheet.setTextUtf8(i + 3, 2, "1.5");
            if (exact) sheet.setReadExact(i, 2, EncodeExact("1.5", {QStringLiteral("1.50")}));
            if (exact && i % 1000 == 0) sheet.setReadExact(i, 3, EncodeExact("", {QString(), ExactNeed::kZeroDates}));
        }
        sheet.endRead(kRecords);
    };
    SheetData plain, sheet;
    read(plain, false);
    read(sheet, true);
    EXPECT_LE(sheet.memoryBytes() - plain.memoryBytes(), size_t{kRecords} * 16);

    const ExactForm zeros = DecodeExact(sheet.readExact(kRecords - 1, 2));
    EXPECT_EQ(zeros.kind, ExactForm::Kind::TrailingZeros);
    EXPECT_EQ(zeros.trailingZeros, 1u);
    const ExactForm zeroDate = DecodeExact(sheet.readExact(1000, 3));
    EXPECT_EQ(zeroDate.kind, ExactForm::Kind::AsShown);
    EXPECT_EQ(zeroDate.needs, ExactNeed::kZeroDates);
    EXPECT_TRUE(sheet.readExact(1001, 3).empty());
    EXPECT_TRUE(sheet.readExact(5, 1).empty());
    EXPECT_EQ(DecodeExact(EncodeExact("5", {QStringLiteral("REAL_FROM_BITS('4014000000000000')")})).literal,
              "REAL_FROM_BITS('4014000000000000')");

    sheet.clearTexts({0, 0, 3, kRecords + 2});
    EXPECT_FALSE(sheet.readHasExact());
    EXPECT_EQ(sheet.memoryBytes(), 0u);
}

// Until a row changes, the read's records are its rows; the first write,
// insert, delete or cut of the row count, whichever comes first, must leave
// every row on the record it held and every record its text as read.
TEST(SheetData, TheFirstChangeAfterAReadKeepsEachRowOnItsRecord) {
    constexpr int32_t kRecords = 6, kFirst = 3;
    enum Change { kWriteReadRow, kWriteOtherRow, kInsert, kDelete, kCutRows, kNarrow };
    for (const Change change : {kWriteReadRow, kWriteOtherRow, kInsert, kDelete, kCutRows, kNarrow}) {
        SCOPED_TRACE(change);
        SheetData sheet;
        sheet.setRowCount(12);
        sheet.setColumnCount(2);
        sheet.beginRead(kFirst, 2);
        for (int32_t i = 0; i < kRecords; ++i) {
            sheet.setTextUtf8(kFirst + i, 1, "k" + std::to_string(i));
            sheet.setTextUtf8(kFirst + i, 2, "v" + std::to_string(i));
        }
        sheet.endRead(kRecords);
        // Where each record is afterwards (-1: gone), by row.
        std::vector<int32_t> recordIn(13, -1);
        for (int32_t i = 0; i < kRecords; ++i) recordIn[kFirst + i] = i;
        int32_t written = -1;
        switch (change) {
        case kWriteReadRow: sheet.setText(written = 5, 2, QStringLiteral("new")); break;
        case kWriteOtherRow: sheet.setText(written = 10, 2, QStringLiteral("new")); break;
        case kInsert:
            sheet.putRows(4, SheetData::InsertedRows(2));
            recordIn.insert(recordIn.begin() + 4, 2, -2);
            recordIn.resize(13);
            break;
        case kDelete:
            sheet.takeRows(4, sheet.emptyRowsLike(12, 2));
            recordIn.erase(recordIn.begin() + 4, recordIn.begin() + 6);
            recordIn.resize(13, -1);
            break;
        case kCutRows:
            sheet.setRowCount(6);
            std::fill(recordIn.begin() + 7, recordIn.end(), -1);
            break;
        case kNarrow: sheet.setColumnCount(1); break;
        }
        for (int32_t row = 0; row <= 12; ++row) {
            EXPECT_EQ(sheet.recordOf(row), std::max(recordIn[static_cast<size_t>(row)], -1)) << "row " << row;
            EXPECT_EQ(sheet.insertedRow(row), recordIn[static_cast<size_t>(row)] == -2) << "row " << row;
            const bool changed = row == written || recordIn[static_cast<size_t>(row)] == -2 ||
                                 (change == kNarrow && recordIn[static_cast<size_t>(row)] >= 0);
            EXPECT_EQ(sheet.changedSinceRead(row, 2), changed) << "row " << row;
        }
        for (int32_t i = 0; i < kRecords; ++i) EXPECT_EQ(sheet.readText(i, 2), "v" + std::to_string(i));
        EXPECT_EQ(sheet.lastReadRow(), change == kCutRows ? 6 : change == kDelete ? 6 : change == kInsert ? 10 : 8);
    }
}
