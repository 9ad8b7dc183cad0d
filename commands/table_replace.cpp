#include "commands/table_replace.h"

#include "db/engine.h"
#include "db/error.h"
#include "grid/exact_form.h"
#include "grid/grid.h"
#include "grid/grid_prepare.h"
#include "writeback/literals.h"
#include "writeback/table_snapshot.h"

#include <array>
#include <optional>

namespace velkin {

namespace {

bool BlankFirstCell(const QString& text) {
    for (QChar ch : text)
        if (ch != QLatin1Char(' ')) return false;
    return true;
}

void MarkFailedRow(SpreadGrid& grid, int32_t row) {
    grid.setCurrentRow(row);
    grid.setBlockEndRow(row);
    grid.setCurrentColumn(1);
    grid.setBlockEndColumn(grid.columnCount());
    grid.setBlockMode(true);
    grid.setBackColor(GridColor::kRed);
    grid.setBlockMode(false);
    // The user must see which row failed, wherever the view stood.
    grid.revealRow(row);
}

// Whether grid row `row` is written: its first cell holds text, or the row
// holds a record of the read whose first cell is still as read. A row read
// with a blank key is the user's to delete by blanking it, not the replace's.
bool RowIsWritten(const SheetData& sheet, int32_t row, const QString& firstCell) {
    return !BlankFirstCell(firstCell) || sheet.unchangedSinceRead(row, 1);
}

// What an Update is about to do, counted from the grid.
struct ReplaceCounts {
    int32_t read = 0;     // data rows the read gave
    int32_t written = 0;  // rows to be inserted
    int32_t changed = 0;  // rows of the read written with any cell changed
    int32_t added = 0;    // rows written that the read did not give
    int32_t deleted = 0;  // rows of the read not written
};

ReplaceCounts CountReplace(const SheetData& sheet, int32_t lastRow) {
    ReplaceCounts counts;
    counts.read = sheet.readRecordCount();
    int32_t recordsWritten = 0;
    const int32_t columns = sheet.columnCount();
    for (int32_t r = kFirstDataRow; r <= lastRow; ++r) {
        if (!RowIsWritten(sheet, r, sheet.text(r, 1))) continue;
        ++counts.written;
        if (sheet.recordOf(r) < 0) {
            ++counts.added;
            continue;
        }
        ++recordsWritten;
        for (int32_t c = 1; c <= columns; ++c)
            if (!sheet.unchangedSinceRead(r, c)) {
                ++counts.changed;
                break;
            }
    }
    counts.deleted = counts.read - recordsWritten;
    return counts;
}

QString TableAndDatabase(const QString& table, const QString& host) {
    return table + QStringLiteral(" (") + DatabaseLabel(HostField(host)) + QLatin1Char(')');
}

// The lines under the question: which table of which database is replaced by
// how many rows, and a warning when that is not the table the grid was read from.
MessageRequest ReplaceQuestion(const ReplaceCounts& counts, const QString& table, const QString& host,
                               const ReadOrigin& read) {
    MessageRequest question{kReplaceQuestion, kReplaceQuestionTitle, MessageButtons::YesNo, MessageAnswer::Yes};
    question.detail = TableAndDatabase(table, host) +
                      QStringLiteral(": 読込 %1 行 → 書込 %2 行（変更 %3 行、追加 %4 行、削除 %5 行）")
                          .arg(counts.read)
                          .arg(counts.written)
                          .arg(counts.changed)
                          .arg(counts.added)
                          .arg(counts.deleted);
    if (table != read.table || host != read.host) {
        question.detail += QStringLiteral("\n注意: 読込んだのは ") + TableAndDatabase(read.table, read.host) +
                           QStringLiteral(" です。");
        // Enter must not replace a table the user did not read.
        question.defaultButton = MessageAnswer::No;
    }
    return question;
}

// The rows of the read as the table must still hold them for the replace to
// go ahead, each as a RowHash of its cells as read.
std::vector<uint64_t> ReadRowHashes(const SheetData& sheet, int32_t columns) {
    std::vector<uint64_t> hashes(static_cast<size_t>(sheet.readRecordCount()));
    for (int32_t record = 0; record < sheet.readRecordCount(); ++record) {
        RowHash hash;
        for (int32_t c = 1; c <= columns; ++c) {
            hash.add(sheet.readNull(record, c), sheet.readText(record, c));
            hash.addExact(sheet.readExact(record, c));
        }
        hashes[static_cast<size_t>(record)] = hash.value();
    }
    return hashes;
}

// The ExactNeed bits of the cells of `row` still as read.
uint8_t RowNeeds(const SheetData& sheet, int32_t row, int32_t columns) {
    const int32_t record = sheet.recordOf(row);
    if (record < 0 || !sheet.readHasExact()) return 0;
    uint8_t needs = 0;
    for (int32_t c = 1; c <= columns; ++c) {
        const std::string_view exact = sheet.readExact(record, c);
        if (!exact.empty() && sheet.unchangedSinceRead(row, c)) needs |= DecodeExact(exact).needs;
    }
    return needs;
}

// A value no literal gives back, which an Update would write back unchanged:
// refused before anything is deleted, naming its cell.
struct UnwritableCell {
    int32_t row = 0, column = 0;
};

UnwritableCell FindUnwritable(const SheetData& sheet, int32_t lastRow, int32_t columns) {
    if (!sheet.readHasExact()) return {};
    for (int32_t r = kFirstDataRow; r <= lastRow; ++r) {
        if (!(RowNeeds(sheet, r, columns) & ExactNeed::kUnwritable) || !RowIsWritten(sheet, r, sheet.text(r, 1)))
            continue;
        const int32_t record = sheet.recordOf(r);
        for (int32_t c = 1; c <= columns; ++c)
            if (sheet.unchangedSinceRead(r, c) && DecodeExact(sheet.readExact(record, c)).needs & ExactNeed::kUnwritable)
                return {r, c};
    }
    return {};
}

Error Unwritable(const QString& column, int32_t row) {
    return Error(Error::kUnwritableValue,
                 QStringLiteral("列 %1 の値は ENUM の定義にありません（%2 行目）。テーブルは変更していません。")
                     .arg(column)
                     .arg(row));
}

// Another session's changes since the read would be undone by the replace:
// refused, with the table untouched.
Error ChangedSinceRead(int64_t rows) {
    return Error(kChangedSinceReadError,
                 QStringLiteral("読込んだ後に、他の接続がテーブルを変更しています（%1 行）。"
                                "もう一度読込んでから更新してください。テーブルは変更していません。")
                     .arg(rows));
}

// The replace's DELETE, the first statement of the stream (its tag is
// kDeleteTag). When the database refuses it for a broken constraint (SQLSTATE
// class 23; SQLite gives none), a foreign key of another table (NO ACTION or
// RESTRICT) still points at a row, so the report names the tables that refer
// to this one. The catalogue is read after the rollback: PostgreSQL runs
// nothing more in a transaction once a statement failed. The failure
// handler's own rollback then finds nothing to undo.
constexpr int32_t kDeleteTag = 0;

Error DeleteRefused(EngineSession& session, const QString& table, const Error& error) {
    if (!error.SqlState().isEmpty() && !error.SqlState().startsWith(QLatin1String("23"))) return error;
    try {
        session.rollback();
    } catch (const std::exception&) {
        return error;  // the connection is gone: no catalogue to read
    }
    const QString note = session.ReferringTablesNote(table);
    if (note.isEmpty()) return error;
    return Error(error.Number(), error.Description() + QStringLiteral("\r\n") + note, error.SqlState());
}

// A command stopped while it waited (cancelled, or no answer in time) says
// what became of the table: nothing was committed, unless the stop came while
// the COMMIT itself was on its way.
Error WithOutcome(const Error& error, bool committing) {
    if (error.Number() != kCancelledError && error.Number() != kNoAnswerError) return error;
    const QString outcome =
        committing ? QStringLiteral("COMMIT の応答を待つ間だったため、更新が確定したかどうかは分かりません。"
                                    "テーブルを読み直して確かめてください。")
                   : QStringLiteral("更新は取り消され、テーブルは変更していません。");
    return Error(error.Number(), error.Description() + QStringLiteral("\r\n") + outcome, error.SqlState());
}

}  // namespace

void TableReplace::run(const CommandInputs& inputs) {
    CommandReport& report = context_.report;
    SpreadGrid& grid = context_.grid;
    const ColumnCatalogue& catalogue = context_.catalogue;
    const ReadOrigin& readOrigin = catalogue.origin;
    try {
        RemoveFailureMark(grid);
    } catch (const Error& error) {
        // The mark stays; the question comes all the same.
        report.reportError(ErrorReportKind::Command, error);
    }
    const SheetData& sheet = grid.sheet();
    const QString& table = inputs.table;
    const int32_t lastRow = grid.lastDataRow();
    if (report.ask(ReplaceQuestion(CountReplace(sheet, lastRow), table, inputs.login.host, readOrigin)) !=
        MessageAnswer::Yes)
        return;

    // The replace can take a while on a large grid; the user must see that it works.
    report.setBusy(true);
    report.setProgress(0);
    if (lastRow > 2) {
        report.setProgressRange(0, lastRow - 2);
    } else {
        report.setProgressRange(0, 1);
        report.setProgress(1);
    }

    CommandWait wait(context_);
    std::unique_ptr<CommandConnection> connection;
    const ClosingSteps closing(grid, report, connection);
    try {
        connection = OpenConnection(inputs.login, context_.sessions, &wait);
    } catch (const Error& error) {
        report.reportError(ErrorReportKind::Connection, error);
        return;
    }

    int32_t rowInProgress = 0;     // the data row at fault; 0 for none
    int32_t columnInProgress = 0;  // the cell whose literal could not be written; 0 for none
    bool committing = false;
    // The one failure handler of the replace: undo, mark the row at fault, report.
    auto fail = [&](const Error& error) {
        try {
            connection->session().rollback();
        } catch (const std::exception&) {
            // A lost connection has already discarded the transaction on the server.
        }
        if (rowInProgress > 0) MarkFailedRow(grid, rowInProgress);
        // A cell the program itself could not read as its column's type: the
        // user is taken to it, within the marked row.
        const bool cellRefused = error.Number() == Error::kTypeMismatch || error.Number() == Error::kOverflow;
        if (rowInProgress > 0 && columnInProgress > 0 && cellRefused) {
            grid.setCurrentRow(rowInProgress);
            grid.setCurrentColumn(columnInProgress);
            grid.doAction(GridAction::ActivateCell);
        }
        report.reportError(ErrorReportKind::Command, WithOutcome(error, committing));
    };
    try {
        EngineSession& session = connection->session();
        OraDatabase& database = connection->database();

        const Dialect dialect = session.dialect();
        session.BeginTrans();
        session.RequireTransactionalTable(table);
        session.RequireNoDestructiveReferences(table);
        if (const UnwritableCell cell = FindUnwritable(sheet, lastRow, grid.columnCount()); cell.row > 0) {
            rowInProgress = cell.row;
            throw Unwritable(catalogue.COL_Name.at(static_cast<size_t>(cell.column - 1)), cell.row);
        }
        // In the replace's own transaction, right before the DELETE: the rows it is about to remove.
        std::optional<TableSnapshot> snapshot;
        if (context_.keepSnapshots) {
            snapshot.emplace(database, dialect, table, SnapshotFolder(DatabaseLabel(HostField(inputs.login.host))));
            const int64_t changed = RowsChangedSince(
                ReadRowHashes(sheet, static_cast<int32_t>(readOrigin.columns.size())), snapshot->rowHashes());
            if (changed > 0) throw ChangedSinceRead(changed);
        }
        // Every statement from here on goes through one stream, which may
        // send several before their answers are back (StatementStream); the
        // bar moves as the database carries each out.
        const std::unique_ptr<StatementStream> stream =
            database.OpenStatementStream(table, [&report](int32_t row) {
                if (row != kDeleteTag) report.setProgress(row - 2);
            });
        stream->Send(dialect.deleteAll(table), kDeleteTag);

        // Columns the database computes take no value; an identity that
        // refuses one is told to take the value read.
        const QString head = QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (");
        QString columnList;
        bool overriding = false;
        const int32_t columns = grid.columnCount();
        for (int32_t c = 1; c <= columns; ++c) {
            if (static_cast<size_t>(c - 1) >= catalogue.COL_Name.size()) throw Error::SubscriptOutOfRange();
            const ColumnOrigin& origin = readOrigin.column(static_cast<size_t>(c - 1));
            if (origin.generated) continue;
            overriding = overriding || origin.alwaysIdentity;
            if (!columnList.isEmpty()) columnList += QLatin1Char(',');
            columnList += QuotedIdentifier(catalogue.COL_Name[static_cast<size_t>(c - 1)]);
        }
        columnList += overriding ? QStringLiteral(") OVERRIDING SYSTEM VALUE VALUES (") : QStringLiteral(") VALUES (");
        const QString statementStart = head + columnList;
        // One buffer for every row's statement: it keeps its capacity from row to row.
        QString statement;
        // A row holding values that need a statement of their own form
        // (ExactNeed) is sent in it; each form is asked once.
        std::array<std::optional<NeedsStatement>, 8> needsForms;
        auto formFor = [&](uint8_t needs) -> const NeedsStatement& {
            std::optional<NeedsStatement>& form = needsForms[needs & 7];
            if (!form) form = session.StatementForNeeds(needs & 7);
            return *form;
        };

        for (int32_t r = kFirstDataRow; r <= lastRow; ++r) {
            grid.setCurrentRow(r);
            grid.setCurrentColumn(1);
            if (!RowIsWritten(sheet, r, grid.cellText())) continue;

            const int32_t record = sheet.recordOf(r);
            const uint8_t needs = RowNeeds(sheet, r, grid.columnCount());
            const NeedsStatement* form = needs ? &formFor(needs) : nullptr;
            statement.resize(0);
            if (form) statement += form->prefix;
            statement += statementStart;
            const int32_t rowColumns = grid.columnCount();
            bool first = true;
            int32_t c = 1;
            try {
                for (; c <= rowColumns; ++c) {
                    grid.setCurrentColumn(c);
                    const auto j = static_cast<size_t>(c - 1);
                    if (j >= catalogue.COL_Type.size()) throw Error::SubscriptOutOfRange();
                    const ColumnOrigin& origin = readOrigin.column(j);
                    if (origin.generated) continue;
                    if (!first) statement += QLatin1Char(',');
                    first = false;
                    // A cell still as read goes back as the value read; a changed one as typed.
                    const bool unchanged = sheet.unchangedSinceRead(r, c);
                    const std::string_view exact = unchanged ? sheet.readExact(record, c) : std::string_view();
                    // In a statement run in UTC, a value shown in the
                    // session's time zone is converted, unless it is in UTC already.
                    const bool convert = form && origin.sessionZone && !form->zoneBefore.isEmpty() &&
                                         !(DecodeExact(exact).needs & ExactNeed::kUtcStatement);
                    if (convert) statement += form->zoneBefore;
                    if (unchanged)
                        AppendReadLiteral(statement, catalogue.COL_Type[j], origin, grid.cellText(),
                                          {sheet.readNull(record, c), exact}, dialect);
                    else
                        AppendCellLiteral(statement, catalogue.COL_Type[j], grid.cellText(), dialect, origin);
                    if (convert) statement += form->zoneAfter;
                }
            } catch (const Error&) {
                // Statements of earlier rows may still be unanswered: a refusal
                // among them comes first in row order, and wins.
                stream->Finish();
                rowInProgress = r;
                columnInProgress = c;
                throw;
            }
            statement += QStringLiteral(") ");
            stream->Send(statement, r);
        }
        stream->Finish();
        committing = true;
        session.CommitTrans();
        if (snapshot) snapshot->keep();
        ResetGrid(grid, context_.rowCapacity);
        report.allowUpdate(false);
    } catch (const StatementRefused& refused) {
        if (refused.tag() == kDeleteTag) {
            fail(DeleteRefused(connection->session(), table, refused.error()));
        } else {
            rowInProgress = refused.tag();
            fail(refused.error());
        }
    } catch (const Error& error) {
        fail(error);
    } catch (const std::exception& error) {
        // Out of memory and the like: still rolled back and reported.
        fail(Error(-1, QString::fromLocal8Bit(error.what())));
    }
}

}  // namespace velkin
