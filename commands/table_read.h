#pragma once
// The table read: loads a table, ordered by its NOT NULL columns, or the
// result of a free SELECT into the grid with two header rows, learns the
// column catalogue the replace relies on, and decides whether Update may be
// used afterwards. It opens its own connection and releases it at its end.
//
// The catalogue rules and the cell text forms are in read/value_text.h.

#include "commands/command_context.h"

#include <QString>

namespace velkin {

inline const QString kNoDataMessage = QStringLiteral("データが有りません");
inline const QString kRowLimitMessage = QStringLiteral("レコード件数がＭＡＸ行数を超えました。");
inline const QString kRowLimitTitle = QStringLiteral("Message");
// Under the row limit's message: where the limit is set.
inline const QString kRowLimitHint = QStringLiteral("表示できる行数は Velkin.ini の LINE で増やせます（例: LINE=10002）。");

// The sort list of the main query: 1-based positions of the NOT NULL columns,
// joined by " ," ("1 ,3").
class SortList {
public:
    void add(int position) {
        if (!text_.isEmpty()) text_ += QStringLiteral(" ,");
        text_ += QString::number(position);
    }
    bool isEmpty() const { return text_.isEmpty(); }
    const QString& text() const { return text_; }

private:
    QString text_;
};

class TableRead {
public:
    explicit TableRead(const CommandContext& context) : context_(context) {}
    // Every outcome is shown through the context's report.
    void run(const CommandInputs& inputs);

private:
    CommandContext context_;
};

}  // namespace velkin
