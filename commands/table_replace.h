#pragma once
// The table replace: after the user confirms, deletes every row of the table
// named in the table box and inserts one row per filled grid row, all in one
// transaction. On any failure the transaction is rolled back, the failing
// grid row is marked red and the grid keeps everything the user typed. It
// opens its own connection and releases it at its end.
//
// The literal of each cell is written by writeback/literals.h.
// Unless the settings turn it off, the table's previous contents are kept
// as a snapshot file (writeback/table_snapshot.h), taken in the same
// transaction before the DELETE and kept only once the commit succeeded.

#include "commands/command_context.h"

#include <QString>
#include <cstdint>

namespace velkin {

inline const QString kReplaceQuestion = QStringLiteral("本当に更新して良いですか？");
inline const QString kReplaceQuestionTitle = QStringLiteral("警告");

// Under the question when the Read found that the database cannot list the
// keys of other tables that refer to the table.
inline const QString kReferencesUncheckedNote =
    QStringLiteral("注意: このデータベースでは他のテーブルからの参照を確かめられません。");

class TableReplace {
public:
    explicit TableReplace(const CommandContext& context) : context_(context) {}
    // Every outcome is shown through the context's report.
    void run(const CommandInputs& inputs);

private:
    CommandContext context_;
};

}  // namespace velkin
