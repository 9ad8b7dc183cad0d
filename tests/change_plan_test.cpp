// The difference an Update by key sends, from a read and a user's edits:
// every kind of change once, and what must send nothing.

#include "grid/sheet_data.h"
#include "writeback/change_plan.h"

#include <gtest/gtest.h>

using namespace velkin;

namespace {

// Records k1..k8 read into rows 3..10: key, name, a computed column.
void ReadEight(SheetData& sheet) {
    sheet.setRowCount(20);
    sheet.setColumnCount(3);
    sheet.beginRead(3, 3);
    for (int32_t i = 0; i < 8; ++i) {
        sheet.setTextUtf8(i + 3, 1, "k" + std::to_string(i + 1));
        sheet.setTextUtf8(i + 3, 2, "name" + std::to_string(i + 1));
        sheet.setTextUtf8(i + 3, 3, "c");
    }
    sheet.endRead(8);
}

ChangePlan Plan(const SheetData& sheet) {
    ChangeScope scope;
    scope.lastRow = 20;
    scope.columns = 3;
    scope.keyColumns = {1};
    scope.unsetColumns = {3};
    scope.rowIsWritten = [&](int32_t row) { return !sheet.textUtf8(row, 1).empty(); };
    return PlanChanges(sheet, scope);
}

}  // namespace

TEST(ChangePlan, EachEditBecomesOneStatementAndUntouchedRowsNone) {
    SheetData sheet;
    ReadEight(sheet);
    EXPECT_TRUE(Plan(sheet).empty());

    sheet.setText(3, 2, QStringLiteral("John Smith"));  // k1: a changed name
    sheet.setText(4, 1, QString());                      // k2: first cell blanked
    sheet.setText(5, 1, QStringLiteral("k30"));          // k3: a changed key
    sheet.setText(7, 2, QStringLiteral("name5"));        // k5: retyped as read
    sheet.setText(8, 3, QStringLiteral("x"));            // k6: only the computed column
    sheet.takeRows(9, sheet.emptyRowsLike(20, 1));       // k7 deleted; k8 moves up to row 9
    sheet.putRows(6, SheetData::InsertedRows(1));        // a new row 6; k4..k8 move down
    sheet.setText(6, 1, QStringLiteral("k9"));
    sheet.setText(10, 2, QStringLiteral("eight"));       // k8, now in row 10

    const ChangePlan plan = Plan(sheet);
    ASSERT_EQ(plan.deletes.size(), 3u);
    EXPECT_EQ(plan.deletes[0].record, 1);  // k2, still shown blanked in row 4
    EXPECT_EQ(plan.deletes[0].row, 4);
    EXPECT_EQ(plan.deletes[1].record, 2);  // k3, re-keyed in row 5
    EXPECT_EQ(plan.deletes[1].row, 5);
    EXPECT_EQ(plan.deletes[2].record, 6);  // k7, its row gone
    EXPECT_EQ(plan.deletes[2].row, 0);

    ASSERT_EQ(plan.updates.size(), 2u);
    EXPECT_EQ(plan.updates[0].row, 3);
    EXPECT_EQ(plan.updates[0].record, 0);
    EXPECT_EQ(plan.updates[0].columns, std::vector<int32_t>{2});
    EXPECT_EQ(plan.updates[1].row, 10);
    EXPECT_EQ(plan.updates[1].record, 7);

    EXPECT_EQ(plan.inserts, (std::vector<int32_t>{5, 6}));
}

TEST(ChangePlan, ACopiedRecordIsWrittenOnceAndItsCopyIsNew) {
    SheetData sheet;
    ReadEight(sheet);
    // Row 12 is a row the read did not fill.
    sheet.setText(12, 1, QStringLiteral("k1"));
    sheet.setText(12, 2, QStringLiteral("name1"));
    const ChangePlan plan = Plan(sheet);
    EXPECT_TRUE(plan.deletes.empty());
    EXPECT_TRUE(plan.updates.empty());
    EXPECT_EQ(plan.inserts, std::vector<int32_t>{12});
}
