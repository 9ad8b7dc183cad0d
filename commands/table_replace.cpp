#include "commands/table_replace.h"

#include "commands/command_runner.h"
#include "db/engine.h"
#include "db/error.h"
#include "db/server_fault.h"
#include "grid/exact_form.h"
#include "grid/grid_prepare.h"
#include "read/value_text.h"
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

// Whether grid row `row` is written: its first cell holds text, or the row
// holds a record of the read whose first cell is still as read. A row read
// with a blank key is the user's to delete by blanking it, not the replace's.
bool RowIsWritten(const SheetData& sheet, int32_t row, const QString& firstCell) {
    return !BlankFirstCell(firstCell) || sheet.unchangedSinceRead(row, 1);
}

// The last row the replace looks at: the last with text, or below it the
// last record of the read that is still written (RowIsWritten), so that a
// record read with every cell NULL at the end goes back like any other.
int32_t LastRowToWrite(const SheetData& sheet) {
    const int32_t lastText = sheet.lastDataRow();
    for (int32_t r = sheet.lastReadRow(); r > lastText; --r)
        if (sheet.unchangedSinceRead(r, 1)) return r;
    return lastText;
}

// What an Update is about to do, counted from the sheet.
struct ReplaceCounts {
    int32_t read = 0;     // data rows the read gave
    int32_t written = 0;  // rows to be inserted
    int32_t changed = 0;  // rows of the read written with any cell changed
    int32_t added = 0;    // rows written that the read did not give
    int32_t deleted = 0;  // rows of the read not written
    int32_t blankKey = 0;  // rows holding text that are left out for a blank first cell
};

bool RowHoldsText(const SheetData& sheet, int32_t row, int32_t columns) {
    for (int32_t c = 1; c <= columns; ++c)
        if (!sheet.textUtf8(row, c).empty()) return true;
    return false;
}

ReplaceCounts CountReplace(const SheetData& sheet, int32_t lastRow) {
    ReplaceCounts counts;
    counts.read = sheet.readRecordCount();
    int32_t recordsWritten = 0;
    const int32_t columns = sheet.columnCount();
    for (int32_t r = kFirstDataRow; r <= lastRow; ++r) {
        if (!RowIsWritten(sheet, r, sheet.text(r, 1))) {
            if (RowHoldsText(sheet, r, columns)) ++counts.blankKey;
            continue;
        }
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
    if (counts.blankKey > 0)
        question.detail += QStringLiteral("\n先頭列が空の行（%1 行）は書込みません。").arg(counts.blankKey);
    if (!SameTable({host, table}, {read.host, read.table}, DialectForHost(HostField(host)))) {
        question.detail += QStringLiteral("\n注意: 読込んだのは ") + TableAndDatabase(read.table, read.host) +
                           QStringLiteral(" です。");
        // Enter must not replace a table the user did not read.
        question.defaultButton = MessageAnswer::No;
    }
    if (read.referencesUnchecked) question.detail += QStringLiteral("\n") + kReferencesUncheckedNote;
    return question;
}

// A cell refused for its text says which cell it is and what it must hold:
// the column's name and type text, the row as its header numbers it.
Error WithRefusedCell(const Error& error, const ColumnCatalogue& catalogue, int32_t row, int32_t column) {
    const auto j = static_cast<size_t>(column - 1);
    if (error.Number() != Error::kTypeMismatch || row < kFirstDataRow || column < 1 || !catalogue.has(j))
        return error;
    const QString expected = ExpectedCellText(catalogue.COL_Type(j), catalogue.origin(j));
    if (expected.isEmpty()) return error;
    const QString where = QStringLiteral("列 %1（%2）、%3 行目: ")
                              .arg(catalogue.COL_Name(j), catalogue.typeText(j), QString::number(row - kFirstDataRow + 1));
    return Error(error.Number(), error.Description() + QStringLiteral("\r\n") + where + expected, error.SqlState());
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
    return Error(Error::kChangedSinceRead,
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

Error DeleteRefused(Connection& database, const QString& table, const Error& error) {
    if (!error.SqlState().isEmpty() && !error.SqlState().startsWith(QLatin1String("23"))) return error;
    try {
        database.rollback();
    } catch (const std::exception&) {
        return error;  // the connection is gone: no catalogue to read
    }
    const QString note = database.referringTablesNote(table);
    if (note.isEmpty()) return error;
    return Error(error.Number(), error.Description() + QStringLiteral("\r\n") + note, error.SqlState());
}

// Whether a failed COMMIT was answered by the server, so that nothing was
// committed: not a stop, nor a connection that went while it was under way.
bool CommitAnswered(const Error& error) {
    return !error.isStop() && ServerFaultOf(error) != ServerFault::SessionEnded;
}

// One Update, a step per method: the question, the connection, the checks
// and the snapshot under the table's lock, the statements, the COMMIT.
class ReplaceRun final : public CommandSteps {
public:
    ReplaceRun(const CommandContext& context, const CommandInputs& inputs)
        : context_(context), inputs_(inputs), sheet_(context.sheet),
          catalogue_(context.catalogue), read_(context.catalogue.source) {}

    void run();

    // The steps RunCommand runs.
    void prepare() override { showProgress(); }
    void work(CommandConnection& connection) override;
    void refused(const StatementRefused& refused, CommandConnection& connection) override;
    void failed(const Error& error, CommandConnection* connection) override;

private:
    bool confirmed();
    void showProgress();
    // Everything between the connection and the end of the command; throws.
    void replace(Connection& database);
    // Locks the table against other writers and, unless the settings say
    // otherwise, keeps its rows, compared with the Read.
    std::unique_ptr<TableSnapshot> lockAndKeep(Connection& database, const Dialect& dialect);
    QString insertHead() const;
    void sendRows(StatementStream& stream, const Dialect& dialect);
    // Cell (r, c) of the row's statement, record `record` of the Read.
    void appendCell(QString& statement, int32_t r, int32_t c, int32_t record, const NeedsStatement* form,
                    const Dialect& dialect);

    const CommandContext& context_;
    const CommandInputs& inputs_;
    SheetData& sheet_;
    const ColumnCatalogue& catalogue_;
    const ReadOrigin& read_;
    int32_t lastRow_ = 0;
    CommandConnection* connection_ = nullptr;  // while work() runs
    int32_t rowInProgress_ = 0;     // the data row at fault; 0 for none
    int32_t columnInProgress_ = 0;  // the cell whose literal could not be written; 0 for none
    bool committing_ = false;
};

bool ReplaceRun::confirmed() {
    if (const int32_t unmarked = RemoveFailureMark(sheet_); unmarked > 0)
        context_.report.sheetChanged(BlockBetween(1, unmarked, sheet_.columnCount(), unmarked));
    lastRow_ = LastRowToWrite(sheet_);
    return context_.report.ask(ReplaceQuestion(CountReplace(sheet_, lastRow_), inputs_.table, inputs_.login.host,
                                               read_)) == MessageAnswer::Yes;
}

void ReplaceRun::showProgress() {
    // The replace can take a while on a large grid; the user must see that it works.
    CommandReport& report = context_.report;
    report.setProgress(0);
    if (lastRow_ > 2) {
        report.setProgressRange(0, lastRow_ - 2);
    } else {
        report.setProgressRange(0, 1);
        report.setProgress(1);
    }
}

void ReplaceRun::run() {
    if (confirmed()) RunCommand(context_, inputs_.login, *this);
}

void ReplaceRun::work(CommandConnection& connection) {
    connection_ = &connection;
    replace(connection.database());
}

void ReplaceRun::refused(const StatementRefused& refused, CommandConnection& connection) {
    if (refused.tag() == kDeleteTag) {
        failed(DeleteRefused(connection.database(), inputs_.table, refused.error()), &connection);
    } else {
        rowInProgress_ = refused.tag();
        failed(refused.error(), &connection);
    }
}

void ReplaceRun::replace(Connection& database) {
    const QString& table = inputs_.table;
    const Dialect dialect = database.dialect();
    database.begin();
    // What the name is, before anything locks or reads it: a view, a rule or
    // inheritance would carry the DELETE into other tables.
    database.requireReplaceableTable(table);
    const std::unique_ptr<TableSnapshot> snapshot = lockAndKeep(database, dialect);
    database.requireTransactionalTable(table);
    database.requireNoDestructiveReferences(table);
    if (const UnwritableCell cell = FindUnwritable(sheet_, lastRow_, sheet_.columnCount()); cell.row > 0) {
        rowInProgress_ = cell.row;
        throw Unwritable(catalogue_.COL_Name(static_cast<size_t>(cell.column - 1)), cell.row);
    }
    // Every statement from here on goes through one stream, which may
    // send several before their answers are back (StatementStream); the
    // bar moves as the database carries each out.
    const std::unique_ptr<StatementStream> stream =
        database.openStatementStream(table, [&report = context_.report](int32_t row) {
            if (row != kDeleteTag) report.setProgress(row - 2);
        });
    stream->Send(dialect.deleteAll(table), kDeleteTag);
    sendRows(*stream, dialect);
    stream->Finish();
    committing_ = true;
    // From here on the snapshot may be the only copy of the old rows: kept
    // whatever the COMMIT's answer, or the lack of one.
    if (snapshot) snapshot->commitStarts();
    try {
        database.commit();
    } catch (const Error& error) {
        // A COMMIT the server answered with a refusal committed nothing.
        if (snapshot && CommitAnswered(error)) snapshot->commitRefused();
        throw;
    }
    if (snapshot) snapshot->keep();
    ResetSheet(sheet_, context_.rowCapacity);
    context_.report.sheetEmptied();
    context_.report.allowUpdate(false);
}

std::unique_ptr<TableSnapshot> ReplaceRun::lockAndKeep(Connection& database, const Dialect& dialect) {
    const QString& table = inputs_.table;
    const ReplaceLock lock = dialect.replaceLock(table);
    // A lock error here, as anywhere, is reported as someone else at work (ExplainUpdateFailure).
    if (!context_.keepSnapshots || !lock.snapshotLocks) {
        if (!lock.statement.isEmpty()) database.execute(lock.statement);
    }
    if (!context_.keepSnapshots) return nullptr;
    // In the replace's own transaction, under the lock: the rows the DELETE is about to remove.
    auto snapshot = std::make_unique<TableSnapshot>(database, lock.snapshotQuery, table,
                                                    SnapshotFolder(DatabaseLabel(HostField(inputs_.login.host))));
    // Only the table read can have changed since the read; another one is
    // the user's choice, which the question's warning line has put to them.
    if (SameTable({inputs_.login.host, table}, {read_.host, read_.table}, dialect)) {
        const int64_t changed =
            RowsChangedSince(ReadRowHashes(sheet_, static_cast<int32_t>(catalogue_.size())), snapshot->rowHashes());
        if (changed > 0) throw ChangedSinceRead(changed);
    }
    return snapshot;
}

QString ReplaceRun::insertHead() const {
    // Columns the database computes take no value; an identity that
    // refuses one is told to take the value read.
    QString columnList;
    bool overriding = false;
    const int32_t columns = sheet_.columnCount();
    for (int32_t c = 1; c <= columns; ++c) {
        const CatalogueColumn& column = catalogue_.column(static_cast<size_t>(c - 1));
        const ColumnOrigin& origin = column.origin;
        if (origin.generated) continue;
        overriding = overriding || origin.alwaysIdentity;
        if (!columnList.isEmpty()) columnList += QLatin1Char(',');
        columnList += QuotedIdentifier(column.name);
    }
    columnList += overriding ? QStringLiteral(") OVERRIDING SYSTEM VALUE VALUES (") : QStringLiteral(") VALUES (");
    return QStringLiteral("INSERT INTO ") + inputs_.table + QStringLiteral(" (") + columnList;
}

void ReplaceRun::sendRows(StatementStream& stream, const Dialect& dialect) {
    const QString statementStart = insertHead();
    // One buffer for every row's statement: it keeps its capacity from row to row.
    QString statement;
    // A row holding values that need a statement of their own form
    // (ExactNeed) is sent in it; each form is asked once.
    std::array<std::optional<NeedsStatement>, 8> needsForms;
    Connection& database = connection_->database();
    auto formFor = [&](uint8_t needs) -> const NeedsStatement& {
        std::optional<NeedsStatement>& form = needsForms[needs & 7];
        if (!form) form = database.statementForNeeds(needs & 7);
        return *form;
    };
    for (int32_t r = kFirstDataRow; r <= lastRow_; ++r) {
        if (!RowIsWritten(sheet_, r, sheet_.text(r, 1))) continue;

        const int32_t record = sheet_.recordOf(r);
        const uint8_t needs = RowNeeds(sheet_, r, sheet_.columnCount());
        const NeedsStatement* form = needs ? &formFor(needs) : nullptr;
        statement.resize(0);
        if (form) statement += form->prefix;
        statement += statementStart;
        const int32_t rowColumns = sheet_.columnCount();
        bool first = true;
        int32_t c = 1;
        try {
            for (; c <= rowColumns; ++c) {
                const auto j = static_cast<size_t>(c - 1);
                if (catalogue_.column(j).origin.generated) continue;
                if (!first) statement += QLatin1Char(',');
                first = false;
                appendCell(statement, r, c, record, form, dialect);
            }
        } catch (const Error&) {
            // Statements of earlier rows may still be unanswered: a refusal
            // among them comes first in row order, and wins.
            stream.Finish();
            rowInProgress_ = r;
            columnInProgress_ = c;
            throw;
        }
        statement += QStringLiteral(") ");
        stream.Send(statement, r);
    }
}

void ReplaceRun::appendCell(QString& statement, int32_t r, int32_t c, int32_t record, const NeedsStatement* form,
                            const Dialect& dialect) {
    const auto j = static_cast<size_t>(c - 1);
    const ColumnOrigin& origin = catalogue_.origin(j);
    // A cell still as read goes back as the value read; a changed one as typed.
    const bool unchanged = sheet_.unchangedSinceRead(r, c);
    const std::string_view exact = unchanged ? sheet_.readExact(record, c) : std::string_view();
    // In a statement run in UTC, a value shown in the session's time zone is
    // converted, unless it is in UTC already.
    const bool convert = form && origin.sessionZone && !form->zoneBefore.isEmpty() &&
                         !(DecodeExact(exact).needs & ExactNeed::kUtcStatement);
    if (convert) statement += form->zoneBefore;
    const QString text = sheet_.text(r, c);
    if (unchanged)
        AppendReadLiteral(statement, catalogue_.COL_Type(j), origin, text, {sheet_.readNull(record, c), exact},
                          dialect);
    else
        AppendCellLiteral(statement, catalogue_.COL_Type(j), text, dialect, origin);
    if (convert) statement += form->zoneAfter;
}

// The one failure handler of the replace: undo, mark the row at fault, report.
void ReplaceRun::failed(const Error& statementError, CommandConnection* connection) {
    Error error = statementError;
    // A statement that failed in a transaction other than the Update's own
    // says nothing of its row: the server ended the Update's before it.
    if (connection && !connection->database().holdsTransaction()) {
        error = TransactionEndedByServer();
        rowInProgress_ = 0;
    }
    try {
        if (connection) connection->database().rollback();
    } catch (const std::exception&) {
        // A lost connection has already discarded the transaction on the server.
    }
    if (rowInProgress_ > 0) {
        MarkFailedRow(sheet_, rowInProgress_);
        context_.report.sheetChanged(BlockBetween(1, rowInProgress_, sheet_.columnCount(), rowInProgress_));
        // The user must see which row failed, wherever the view stood.
        context_.report.revealRow(rowInProgress_);
    }
    // A cell the program itself could not read as its column's type: the
    // user is taken to it, within the marked row.
    const bool cellRefused = error.Number() == Error::kTypeMismatch || error.Number() == Error::kOverflow;
    if (rowInProgress_ > 0 && columnInProgress_ > 0 && cellRefused)
        context_.report.activateCell(rowInProgress_, columnInProgress_);
    context_.report.reportError(
        ErrorReportKind::Command,
        ExplainUpdateFailure(WithRefusedCell(error, catalogue_, rowInProgress_, columnInProgress_), committing_));
}

}  // namespace

void TableReplace::run(const CommandInputs& inputs) { ReplaceRun(context_, inputs).run(); }

}  // namespace velkin
