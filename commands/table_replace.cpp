#include "commands/table_replace.h"

#include "commands/command_runner.h"
#include "commands/row_statements.h"
#include "db/engine.h"
#include "db/error.h"
#include "db/server_fault.h"
#include "grid/exact_form.h"
#include "grid/grid_prepare.h"
#include "read/value_text.h"
#include "writeback/literals.h"
#include "writeback/table_snapshot.h"

#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <unordered_map>

namespace velkin {

namespace {

bool BlankFirstCell(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == ' '; });
}

// Whether a cell of a row of the read is as the read gave it. A row nobody
// wrote since the read answers without comparing texts (changedSinceRead),
// which keeps the counts and the plan of a large grid quick.
bool AsRead(const SheetData& sheet, int32_t row, int32_t column) {
    return sheet.recordOf(row) >= 0 && !sheet.changedSinceRead(row, column);
}

// Whether grid row `row` is written: its first cell holds text, or the row
// holds a record of the read whose first cell is still as read. A row read
// with a blank key is the user's to delete by blanking it, not the replace's.
bool RowIsWritten(const SheetData& sheet, int32_t row) {
    return !BlankFirstCell(sheet.textUtf8(row, 1)) || AsRead(sheet, row, 1);
}

// The last row the replace looks at: the last with text, or below it the
// last record of the read that is still written (RowIsWritten), so that a
// record read with every cell NULL at the end goes back like any other.
int32_t LastRowToWrite(const SheetData& sheet) {
    const int32_t lastText = sheet.lastDataRow();
    for (int32_t r = sheet.lastReadRow(); r > lastText; --r)
        if (AsRead(sheet, r, 1)) return r;
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
        if (!RowIsWritten(sheet, r)) {
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
            if (!AsRead(sheet, r, c)) {
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

// A record of the read as the table must still hold it, as a RowHash of its cells as read.
uint64_t RecordHash(const SheetData& sheet, int32_t record, int32_t columns) {
    RowHash hash;
    for (int32_t c = 1; c <= columns; ++c) {
        hash.add(sheet.readNull(record, c), sheet.readText(record, c));
        hash.addExact(sheet.readExact(record, c));
    }
    return hash.value();
}

// The rows of the read as the table must still hold them for the replace to go ahead.
std::vector<uint64_t> ReadRowHashes(const SheetData& sheet, int32_t columns) {
    std::vector<uint64_t> hashes(static_cast<size_t>(sheet.readRecordCount()));
    for (int32_t record = 0; record < sheet.readRecordCount(); ++record)
        hashes[static_cast<size_t>(record)] = RecordHash(sheet, record, columns);
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

// The first such cell among the `rows` about to be inserted.
UnwritableCell FindUnwritable(const SheetData& sheet, const std::vector<int32_t>& rows, int32_t columns) {
    if (!sheet.readHasExact()) return {};
    for (const int32_t r : rows) {
        if (!(RowNeeds(sheet, r, columns) & ExactNeed::kUnwritable)) continue;
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

// A row an Update by key is about to update or delete that another session
// changed or deleted since the read: refused, naming the row by its key
// (and its place in the grid, where it still shows).
Error RowChangedSinceRead(const QString& key, int32_t row) {
    const QString where = row > 0 ? QStringLiteral("%1 行目、").arg(row - kFirstDataRow + 1) : QString();
    return Error(Error::kChangedSinceRead,
                 QStringLiteral("読込んだ後に、他の接続がこの行を変更または削除しています（%1%2）。"
                                "もう一度読込んでから更新してください。テーブルは変更していません。")
                     .arg(where, key));
}

// "id = 42, branch = 'north'": record `record`'s key as the read showed it.
QString KeyText(const SheetData& sheet, const ColumnCatalogue& catalogue, int32_t record) {
    QStringList parts;
    for (const int32_t c : catalogue.source.keyColumns)
        parts << catalogue.COL_Name(static_cast<size_t>(c - 1)) + QStringLiteral(" = ") +
                     (sheet.readNull(record, c) ? QStringLiteral("NULL") : FromUtf8(sheet.readText(record, c)));
    return parts.join(QStringLiteral(", "));
}

// An UPDATE or DELETE by key that met no row, or more than one.
Error NotOneRow(int64_t rows) {
    return Error(Error::kNotOneRow,
                 QStringLiteral("キーで指定した行の更新が、テーブルの %1 行に当たりました（1 行のはずです）。"
                                "テーブルは変更していません。")
                     .arg(rows));
}

// The line the question gains when the changes are written by key.
QString ByKeyLine(const ChangePlan& plan) {
    return QStringLiteral("主キーで変更分だけを書込みます（更新 %1 行、追加 %2 行、削除 %3 行）")
        .arg(plan.updates.size())
        .arg(plan.inserts.size())
        .arg(plan.deletes.size());
}

// The records of the read that the changes update or delete, each with the
// row that shows it (0 for none), in the order the rows are checked.
std::vector<RecordDelete> RowsToLock(const ChangePlan& plan) {
    std::vector<RecordDelete> rows;
    for (const RowUpdate& update : plan.updates) rows.push_back({update.record, update.row});
    rows.insert(rows.end(), plan.deletes.begin(), plan.deletes.end());
    return rows;
}

// The records of `targets` in groups for the locking reads: records whose
// keys need the same statement form together, so many at a time.
constexpr size_t kKeysPerLockingRead = 500;

std::vector<std::vector<int32_t>> LockChunks(const std::vector<RecordDelete>& targets, const RowStatements& statements) {
    std::array<std::vector<int32_t>, 8> byNeeds;
    for (const RecordDelete& target : targets) byNeeds[statements.keyNeeds(target.record) & 7].push_back(target.record);
    std::vector<std::vector<int32_t>> chunks;
    for (const std::vector<int32_t>& records : byNeeds)
        for (size_t i = 0; i < records.size(); i += kKeysPerLockingRead)
            chunks.emplace_back(records.begin() + static_cast<std::ptrdiff_t>(i),
                                records.begin() + static_cast<std::ptrdiff_t>(std::min(records.size(), i + kKeysPerLockingRead)));
    return chunks;
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
// and the snapshot under the lock, the statements, the COMMIT. It replaces
// the table, or writes the changes by key (WritesByKey).
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
    void planChanges();
    void showProgress();
    // Everything between the connection and the end of the command; throws.
    void replace(Connection& database);
    void writeChanges(Connection& database);
    // Locks the table against other writers and, unless the settings say
    // otherwise, keeps its rows, compared with the Read.
    std::unique_ptr<TableSnapshot> lockAndKeep(Connection& database, const Dialect& dialect);
    // Locks the rows the changes update or delete, compares them with the
    // Read and, unless the settings say otherwise, keeps them.
    std::unique_ptr<TableSnapshot> lockAndKeepRows(Connection& database, RowStatements& statements);
    void refuseUnwritable(const std::vector<int32_t>& rows);
    // Writes one statement with `write` and sends it tagged `tag`; a cell
    // that cannot be written fails the Update at sheet row `row`.
    void send(StatementStream& stream, RowStatements& statements, int32_t tag, int32_t row,
              const std::function<void(QString&)>& write);
    void sendInsert(StatementStream& stream, RowStatements& statements, int32_t row) {
        send(stream, statements, row, row, [&](QString& out) { statements.insert(out, row); });
    }
    void commit(Connection& database, TableSnapshot* snapshot);
    // The stream's answer for statement `tag`, in the by-key way.
    void changeDone(int32_t tag, int64_t rows);
    // The sheet row a by-key statement's tag stands for; 0 for none.
    int32_t rowOfTag(int32_t tag) const;

    const CommandContext& context_;
    const CommandInputs& inputs_;
    SheetData& sheet_;
    const ColumnCatalogue& catalogue_;
    const ReadOrigin& read_;
    int32_t lastRow_ = 0;
    std::optional<ChangePlan> plan_;  // set when the changes are written by key
    CommandConnection* connection_ = nullptr;  // while work() runs
    int32_t rowInProgress_ = 0;     // the data row at fault; 0 for none
    int32_t columnInProgress_ = 0;  // the cell whose literal could not be written; 0 for none
    bool committing_ = false;
    // By key: statements answered, whether an UPDATE may count 0 for a
    // row it left as it was, and the first statement that did not meet
    // exactly one row (its tag and count).
    int32_t answered_ = 0;
    bool countsMatchedRows_ = true;
    std::optional<std::pair<int32_t, int64_t>> miscounted_;
    std::vector<int32_t> updateRows_;  // the rows of the plan's UPDATEs, ascending
    // One buffer for every row's statement: it keeps its capacity from row to row.
    QString statement_;
};

bool ReplaceRun::confirmed() {
    if (const int32_t unmarked = RemoveFailureMark(sheet_); unmarked > 0)
        context_.report.sheetChanged(BlockBetween(1, unmarked, sheet_.columnCount(), unmarked));
    lastRow_ = LastRowToWrite(sheet_);
    planChanges();
    MessageRequest question =
        ReplaceQuestion(CountReplace(sheet_, lastRow_), inputs_.table, inputs_.login.host, read_);
    if (plan_) question.detail += QStringLiteral("\n") + ByKeyLine(*plan_);
    return context_.report.ask(question) == MessageAnswer::Yes;
}

void ReplaceRun::planChanges() {
    const QString& host = inputs_.login.host;
    const bool sameTable = SameTable({host, inputs_.table}, {read_.host, read_.table}, DialectForHost(HostField(host)));
    if (!WritesByKey(context_.writeSetting, read_, sameTable)) return;
    ChangeScope scope;
    scope.firstRow = kFirstDataRow;
    scope.lastRow = lastRow_;
    scope.columns = sheet_.columnCount();
    scope.keyColumns = read_.keyColumns;
    for (int32_t c = 1; c <= scope.columns; ++c)
        if (catalogue_.origin(static_cast<size_t>(c - 1)).generated) scope.unsetColumns.push_back(c);
    scope.rowIsWritten = [this](int32_t row) { return RowIsWritten(sheet_, row); };
    plan_ = PlanChanges(sheet_, scope);
}

void ReplaceRun::showProgress() {
    // The replace can take a while on a large grid; the user must see that it works.
    CommandReport& report = context_.report;
    report.setProgress(0);
    const int32_t steps = plan_ ? static_cast<int32_t>(plan_->deletes.size() + plan_->updates.size() + plan_->inserts.size())
                                : lastRow_ - 2;
    if (steps > 0) {
        report.setProgressRange(0, steps);
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
    if (plan_) writeChanges(connection.database());
    else replace(connection.database());
}

void ReplaceRun::refused(const StatementRefused& refused, CommandConnection& connection) {
    if (plan_) {
        rowInProgress_ = rowOfTag(refused.tag());
        // A DELETE refused for a key of another table names the tables that refer to this one.
        const Error error =
            refused.tag() < 0 ? DeleteRefused(connection.database(), inputs_.table, refused.error()) : refused.error();
        failed(error, &connection);
    } else if (refused.tag() == kDeleteTag) {
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
    std::vector<int32_t> written;
    for (int32_t r = kFirstDataRow; r <= lastRow_; ++r)
        if (RowIsWritten(sheet_, r)) written.push_back(r);
    refuseUnwritable(written);
    // Every statement from here on goes through one stream, which may
    // send several before their answers are back (StatementStream); the
    // bar moves as the database carries each out.
    const std::unique_ptr<StatementStream> stream =
        database.openStatementStream(table, [&report = context_.report](int32_t row, int64_t) {
            if (row != kDeleteTag) report.setProgress(row - 2);
        });
    stream->Send(dialect.deleteAll(table), kDeleteTag);
    RowStatements statements(sheet_, catalogue_, table, database);
    for (const int32_t r : written) sendInsert(*stream, statements, r);
    stream->Finish();
    commit(database, snapshot.get());
}

// The changes by key: deletes, updates, inserts, each UPDATE and DELETE
// meeting exactly one row, in one transaction.
void ReplaceRun::writeChanges(Connection& database) {
    const QString& table = inputs_.table;
    const ChangePlan& plan = *plan_;
    database.begin();
    // An UPDATE or DELETE of a table that others inherit from reaches their rows too.
    database.requireReplaceableTable(table);
    RowStatements statements(sheet_, catalogue_, table, database);
    const std::unique_ptr<TableSnapshot> snapshot = lockAndKeepRows(database, statements);
    database.requireTransactionalTable(table);
    // Only a row deleted (or re-keyed) can set off another table's ON DELETE rule.
    if (!plan.deletes.empty()) database.requireNoDestructiveReferences(table);
    refuseUnwritable(plan.inserts);
    countsMatchedRows_ = database.hasFeature(Feature::CountsMatchedRows);
    for (const RowUpdate& update : plan.updates) updateRows_.push_back(update.row);
    const std::unique_ptr<StatementStream> stream =
        database.openStatementStream(table, [this](int32_t tag, int64_t rows) { changeDone(tag, rows); });
    for (size_t i = 0; i < plan.deletes.size(); ++i) {
        const RecordDelete& gone = plan.deletes[i];
        send(*stream, statements, -static_cast<int32_t>(i) - 1, gone.row,
             [&](QString& out) { statements.remove(out, gone.record); });
    }
    for (const RowUpdate& update : plan.updates)
        send(*stream, statements, update.row, update.row,
             [&](QString& out) { statements.update(out, update.row, update.record, update.columns); });
    for (const int32_t r : plan.inserts) sendInsert(*stream, statements, r);
    stream->Finish();
    if (miscounted_) {
        rowInProgress_ = rowOfTag(miscounted_->first);
        throw NotOneRow(miscounted_->second);
    }
    commit(database, snapshot.get());
}

void ReplaceRun::changeDone(int32_t tag, int64_t rows) {
    context_.report.setProgress(++answered_);
    if (miscounted_) return;
    const bool isUpdate = tag > 0 && std::binary_search(updateRows_.begin(), updateRows_.end(), tag);
    if (tag > 0 && !isUpdate) return;  // an INSERT
    // Without matched-row counts, an UPDATE that left its row as it was
    // counts 0; the row was read again under its lock, so it is there.
    const bool unchangedRow = isUpdate && rows == 0 && !countsMatchedRows_;
    if (rows != 1 && !unchangedRow) miscounted_.emplace(tag, rows);
}

int32_t ReplaceRun::rowOfTag(int32_t tag) const {
    if (tag >= 0) return tag;
    return plan_->deletes[static_cast<size_t>(-tag - 1)].row;
}

void ReplaceRun::refuseUnwritable(const std::vector<int32_t>& rows) {
    if (const UnwritableCell cell = FindUnwritable(sheet_, rows, sheet_.columnCount()); cell.row > 0) {
        rowInProgress_ = cell.row;
        throw Unwritable(catalogue_.COL_Name(static_cast<size_t>(cell.column - 1)), cell.row);
    }
}

void ReplaceRun::send(StatementStream& stream, RowStatements& statements, int32_t tag, int32_t row,
                      const std::function<void(QString&)>& write) {
    QString& statement = statement_;
    try {
        write(statement);
    } catch (const Error&) {
        // Statements of earlier rows may still be unanswered: a refusal
        // among them comes first in row order, and wins.
        stream.Finish();
        rowInProgress_ = row;
        columnInProgress_ = statements.failedColumn();
        throw;
    }
    stream.Send(statement, tag);
}

void ReplaceRun::commit(Connection& database, TableSnapshot* snapshot) {
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

std::unique_ptr<TableSnapshot> ReplaceRun::lockAndKeepRows(Connection& database, RowStatements& statements) {
    const std::vector<RecordDelete> targets = RowsToLock(*plan_);
    if (targets.empty()) return nullptr;  // only new rows: nothing of the read is touched
    const QString& table = inputs_.table;
    const RowLock lock = database.dialect().rowLock(table);
    if (!lock.first.isEmpty()) database.execute(lock.first);
    std::unique_ptr<TableSnapshot> snapshot;
    std::unordered_map<uint64_t, int32_t> found;  // the rows as they are now, by RowHash
    QString query;
    const RowLock readOnly{QString(), lock.afterTable, QString(), false};
    for (const std::vector<int32_t>& chunk : LockChunks(targets, statements)) {
        statements.lockingRead(query, chunk, lock);
        if (lock.lockApart) {
            database.execute(query);
            statements.lockingRead(query, chunk, readOnly);
        }
        const std::unique_ptr<Cursor> rows = database.openCursor(query, CursorOption::KeepTrailingBlanks);
        if (!snapshot && context_.keepSnapshots)
            snapshot = std::make_unique<TableSnapshot>(rows->columns(), table,
                                                       SnapshotFolder(DatabaseLabel(HostField(inputs_.login.host))));
        ForEachRowAsShown(*rows, [&](const std::vector<QString>& cells, uint64_t hash) {
            ++found[hash];
            if (snapshot) snapshot->addRow(cells);
        });
    }
    const auto columns = static_cast<int32_t>(catalogue_.size());
    for (const RecordDelete& target : targets) {
        int32_t& left = found[RecordHash(sheet_, target.record, columns)];
        if (left > 0) {
            --left;
            continue;
        }
        rowInProgress_ = target.row;
        throw RowChangedSinceRead(KeyText(sheet_, catalogue_, target.record), target.row);
    }
    // On disk before the first change is sent.
    if (snapshot) snapshot->complete();
    return snapshot;
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
