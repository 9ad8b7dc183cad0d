// Faults during a table replace on the embedded engine, end to end through
// the commands: whatever goes wrong, the table is wholly old or wholly new, the
// sheet keeps what the user typed (only the failure mark is added), and the
// next command works. Each case checks the table value by value (SQLite's
// quote() of every column, rowid included) against its state before.

#include "child_process.h"
#include "command_fixture.h"

#include "grid/grid_prepare.h"

#include <QThread>
#include <QFileInfo>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <optional>
#include <random>

using namespace velkin;
using namespace velkin::testing;

namespace {

constexpr const char* kCreateTable =
    "CREATE TABLE T (CODE CHAR(6) NOT NULL PRIMARY KEY, NAME VARCHAR2(40), AMT NUMBER(12,2), D DATE, NOTE CLOB, "
    "CHECK (AMT < 1000000));";
constexpr int32_t kColumns = 5;

// The table as stored: rowid and the SQL literal of every value.
constexpr const char* kDump = "SELECT rowid, quote(CODE), quote(NAME), quote(AMT), quote(D), quote(NOTE) FROM T ORDER BY rowid";
// The same without rowids, for tables that were written anew.
constexpr const char* kValues = "SELECT quote(CODE), quote(NAME), quote(AMT), quote(D), quote(NOTE) FROM T ORDER BY CODE";

std::string InsertRows(int count, const char* namePrefix = "old") {
    std::string sql = "BEGIN;";
    for (int i = 0; i < count; ++i) {
        char row[256];
        std::snprintf(row, sizeof row, "INSERT INTO T VALUES ('K%05d', '%s-%d', %d.25, '2024-01-%02d', 'n''%d');", i,
                      namePrefix, i, i, 1 + i % 28, i);
        sql += row;
    }
    return sql + "COMMIT;";
}

// Every cell's text and colour of the rows the grid uses.
struct GridState {
    std::vector<std::vector<QString>> texts;
    std::vector<std::vector<uint32_t>> colors;
    bool operator==(const GridState&) const = default;
};

// Restores the soft file-size limit and SIGXFSZ's handling on scope exit.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
        const rlimit limited{bytes, old_.rlim_max};
        ok_ = setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    bool ok() const { return ok_; }

private:
    rlimit old_{};
    void (*oldHandler_)(int) = SIG_DFL;
    bool ok_ = false;
};

// Runs the rest of the scope as user nobody when the tests run as root, who
// would ignore file modes. The real user id stays root, so it can come back.
class Unprivileged {
public:
    Unprivileged() {
        if (geteuid() != 0) {
            ok_ = true;
            return;
        }
        dropped_ = setegid(65534) == 0 && seteuid(65534) == 0;
        ok_ = dropped_;
    }
    ~Unprivileged() {
        if (geteuid() != 0) {
            if (seteuid(0) != 0 || setegid(0) != 0) std::abort();  // the rest of the suite needs root back
        }
    }
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
    bool dropped_ = false;
};

// Child: another writer. Opens the file with SQLite's C API, runs the
// statements of its first argument, says "locked", and ends its transaction
// with the line it then reads from stdin ("COMMIT" or "ROLLBACK"; ROLLBACK
// when stdin closes).
int LockChild(const QStringList& args) {
    if (args.size() != 2) return 64;
    sqlite3* db = nullptr;
    if (sqlite3_open(args[0].toUtf8().constData(), &db) != SQLITE_OK) return 65;
    if (sqlite3_exec(db, args[1].toUtf8().constData(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "lock child: %s\n", sqlite3_errmsg(db));
        return 66;
    }
    std::fputs("locked\n", stdout);
    std::fflush(stdout);
    char line[64] = {};
    const bool commit = std::fgets(line, sizeof line, stdin) && std::string(line).rfind("COMMIT", 0) == 0;
    const int rc = sqlite3_exec(db, commit ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return rc == SQLITE_OK ? 0 : 67;
}
const ChildRegistration kLockChild("lock", LockChild);

// Starts the other writer and waits until it holds its lock.
bool HoldLock(QProcess& other, const QString& file, const char* statements) {
    StartChild(other, QStringLiteral("lock"), {file, QString::fromUtf8(statements)});
    return other.waitForStarted(30000) && WaitForLine(other, "locked");
}
bool ReleaseLock(QProcess& other, const char* how) {
    other.write(how);
    other.write("\n");
    other.closeWriteChannel();
    return other.waitForFinished(30000) && other.exitStatus() == QProcess::NormalExit && other.exitCode() == 0;
}

class FaultTest : public CommandTest {
protected:
    void SetUp() override {
        CommandTest::SetUp();
        db_ = std::make_unique<SqliteFile>(path("Velkin.db"));
        db_->exec(kCreateTable);
        db_->exec(InsertRows(7));
    }
    void TearDown() override {
        db_.reset();
        CommandTest::TearDown();
    }

    Rows dump() { return db_->query(kDump); }

    void read() {
        report.boxes.clear();
        readTable(QStringLiteral("T"));
        ASSERT_TRUE(report.boxes.empty()) << report.boxes[0].text.toStdString();
        ASSERT_TRUE(report.updateAllowed);
    }

    GridState gridState() {
        GridState state;
        const int32_t last = std::max<int32_t>(sheet.lastDataRow(), 2);
        for (int32_t r = 1; r <= last; ++r) {
            auto& texts = state.texts.emplace_back();
            auto& colors = state.colors.emplace_back();
            for (int32_t c = 1; c <= sheet.columnCount(); ++c) {
                texts.push_back(cell(r, c));
                colors.push_back(color(r, c));
            }
        }
        return state;
    }
    // The state the grid must be in after a failed replace: as before, with
    // `markedRow` (0 for none) red in every column.
    // An earlier mark is gone: the replace removes it before it asks.
    static GridState Marked(GridState state, int32_t markedRow) {
        for (size_t r = 2; r < state.colors.size(); ++r) {
            auto& row = state.colors[r];
            if (row.empty() || row[0] != GridColor::kRed) continue;
            for (size_t c = 0; c < row.size(); ++c) row[c] = c == 0 ? GridColor::kYellow : GridColor::kWhite;
        }
        if (markedRow > 0)
            for (uint32_t& c : state.colors[static_cast<size_t>(markedRow - 1)]) c = GridColor::kRed;
        return state;
    }

    // The first row carrying the failure mark; 0 for none.
    int32_t markedRow() {
        for (int32_t r = 3; r <= sheet.lastDataRow(); ++r)
            if (color(r, 1) == GridColor::kRed) return r;
        return 0;
    }

    // One failed replace: exactly one report, the table as it was, the grid
    // as it was apart from the mark, Update still offered, no connection held.
    void expectFailedReplace(const Rows& tableBefore, const GridState& gridBefore, int32_t markedRow) {
        const auto shown = report.reports();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_TRUE(shown[0].text.startsWith(QStringLiteral("Error Code:"))) << shown[0].text.toStdString();
        EXPECT_EQ(dump(), tableBefore);
        EXPECT_TRUE(QDir(path("backup/Velkin.db")).entryList({QStringLiteral("*.part*")}, QDir::Files).isEmpty())
            << "the snapshot of a failed Update is removed";
        const GridState now = gridState();
        const GridState expected = Marked(gridBefore, markedRow);
        EXPECT_TRUE(now.texts == expected.texts) << "the grid's texts changed";
        EXPECT_EQ(now.colors, expected.colors);
        EXPECT_TRUE(report.updateAllowed);
        EXPECT_EQ(report.busy, false);
        EXPECT_EQ(openConnections(), 0);
    }
    // The window still works: a Read loads the table as it now stands.
    void expectReadWorks(const Rows& table) {
        read();
        EXPECT_EQ(sheet.lastDataRow(), static_cast<int32_t>(table.size()) + 2);
        EXPECT_EQ(cell(3, 1).trimmed(), QString::fromStdString(table.empty() ? "" : table[0][1]).mid(1, 6));
    }

    std::unique_ptr<SqliteFile> db_;
};

}  // namespace

// ----------------------------------------------------------------------------
// Refused rows

TEST_F(FaultTest, ARefusedRowAtTheFirstAMiddleOrTheLastRowLosesNothing) {
    struct Case {
        const char* where;
        int32_t row;
        int32_t column;
        const char* text;
    };
    // Three ways to be refused: by the CHECK constraint, by the NUMBER
    // conversion before anything is sent, by the primary key.
    const Case cases[] = {
        {"first", 3, 3, "5000000"},
        {"middle", 6, 3, "twelve"},
        {"last", 9, 1, "K00000"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.where);
        read();
        const Rows before = dump();
        const QString old = cell(k.row, k.column);
        setCell(k.row, k.column, QString::fromUtf8(k.text));
        const GridState gridBefore = gridState();
        update();
        expectFailedReplace(before, gridBefore, k.row);

        // Corrected and sent again, the grid is written whole.
        setCell(k.row, k.column, old);
        update();
        EXPECT_TRUE(report.reports().empty());
        EXPECT_EQ(db_->query(kValues).size(), 7u);
        EXPECT_EQ(dump(), before) << "the same rows written anew get the same rowids";
    }
}

// ----------------------------------------------------------------------------
// The database file

TEST_F(FaultTest, AReadOnlyFileRefusesTheDeleteAndChangesNothing) {
    read();
    setCell(4, 2, QStringLiteral("changed"));
    const Rows before = dump();
    const GridState gridBefore = gridState();
    db_.reset();
    ASSERT_EQ(chmod(path("Velkin.db").toLocal8Bit().constData(), 0444), 0);
    ASSERT_EQ(chmod(path(QStringLiteral(".")).toLocal8Bit().constData(), 0755), 0);
    // The snapshot folder stays writable: this case is about the database file.
    ASSERT_TRUE(QDir(path(QStringLiteral("."))).mkdir(QStringLiteral("backup")));
    ASSERT_EQ(chmod(path("backup").toLocal8Bit().constData(), 0777), 0);
    {
        // Root ignores file modes, so the case runs as nobody; it is never skipped.
        Unprivileged nobody;
        ASSERT_TRUE(nobody.ok()) << "cannot run as user nobody: the read-only case needs it";
        update();
        const auto shown = report.reports();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_TRUE(shown[0].text.startsWith(QStringLiteral("Error Code:%1").arg(SQLITE_READONLY)))
            << shown[0].text.toStdString();
        EXPECT_EQ(gridState(), gridBefore) << "a failure before the rows marks none";
        EXPECT_TRUE(report.updateAllowed);
        EXPECT_TRUE(QDir(path("backup/Velkin.db")).isEmpty()) << "the snapshot of a failed Update is removed";
        // Reading needs no write access.
        read();
        EXPECT_EQ(cell(4, 2), QStringLiteral("old-1"));
    }
    ASSERT_EQ(chmod(path("Velkin.db").toLocal8Bit().constData(), 0644), 0);
    db_ = std::make_unique<SqliteFile>(path("Velkin.db"));
    EXPECT_EQ(dump(), before);
}

TEST_F(FaultTest, AnotherWriterHoldingTheLockMakesTheReplaceFailAtOnce) {
    read();
    setCell(5, 2, QStringLiteral("mine"));
    const Rows before = dump();
    const GridState gridBefore = gridState();

    // A second process holds a write transaction with a row of its own.
    QProcess other;
    ASSERT_TRUE(HoldLock(other, path("Velkin.db"),
                         "BEGIN IMMEDIATE; INSERT INTO T VALUES ('ZZZ', 'theirs', 1, NULL, NULL);"));

    update();
    const auto shown = report.reports();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(shown[0].text.startsWith(QStringLiteral("Error Code:%1").arg(SQLITE_BUSY))) << shown[0].text.toStdString();
    EXPECT_EQ(gridState(), gridBefore);
    EXPECT_EQ(dump(), before) << "their insert is not visible, ours never happened";
    // Reading goes on while they write.
    report.boxes.clear();
    readTable(QStringLiteral("T"));
    EXPECT_TRUE(report.boxes.empty());
    EXPECT_EQ(sheet.lastDataRow(), 9);

    // They commit: the replace now works and removes their row, as a replace does.
    ASSERT_TRUE(ReleaseLock(other, "COMMIT"));
    read();
    EXPECT_EQ(sheet.lastDataRow(), 10);
    setCell(10, 1, QString());  // their row is skipped
    update();
    EXPECT_TRUE(report.reports().empty());
    EXPECT_EQ(dump(), before);
}

TEST_F(FaultTest, AnExclusiveLockFailsTheConnectionAndTouchesNothing) {
    read();
    const Rows before = dump();
    const GridState gridBefore = gridState();
    QProcess other;
    ASSERT_TRUE(HoldLock(other, path("Velkin.db"), "BEGIN EXCLUSIVE; DELETE FROM T;"));

    update();
    ASSERT_EQ(report.boxes.size(), 2u) << "the question and the connection's report";
    EXPECT_TRUE(report.boxes[1].text.startsWith(QStringLiteral("Error Code: %1").arg(SQLITE_BUSY)))
        << report.boxes[1].text.toStdString();
    EXPECT_EQ(gridState(), gridBefore);

    ASSERT_TRUE(ReleaseLock(other, "ROLLBACK"));
    EXPECT_EQ(dump(), before);
    expectReadWorks(before);
}

TEST_F(FaultTest, AFullDiskDuringARowOrAtTheCommitRollsBack) {
    read();
    const Rows before = dump();
    const qint64 fileSize = QFileInfo(path("Velkin.db")).size();
    // The file may not grow by more than a little: room for the journal of
    // the small table, none for what follows.
    const rlim_t limit = static_cast<rlim_t>(fileSize) + 64 * 1024;

    // A row too big to stay in SQLite's page cache: the write fails during its insert.
    const QString note = cell(6, 5);
    setCell(6, 5, QString(4 * 1024 * 1024, QLatin1Char('x')));
    GridState gridBefore = gridState();
    {
        FileSizeLimit full(limit);
        ASSERT_TRUE(full.ok());
        update();
    }
    // Whether the write fails inside the row's insert (the row is marked) or
    // at the commit (none is) depends on when SQLite spills its cache.
    int32_t marked = markedRow();
    std::printf("[ full disk with a huge row: failed %s ]\n", marked ? "in its insert" : "at the commit");
    EXPECT_TRUE(marked == 0 || marked == 6) << marked;
    expectFailedReplace(before, gridBefore, marked);

    // Many rows that fit the cache: the write fails at the commit, no row marked.
    setCell(6, 5, note);
    for (int32_t r = 10; r < 10 + 300; ++r) {
        setCell(r, 1, QStringLiteral("N%1").arg(r));
        setCell(r, 5, QString(2000, QLatin1Char('y')));
    }
    gridBefore = gridState();
    {
        FileSizeLimit full(limit);
        ASSERT_TRUE(full.ok());
        update();
    }
    marked = markedRow();
    std::printf("[ full disk with many rows: failed %s ]\n", marked ? "in a row's insert" : "at the commit");
    EXPECT_TRUE(marked == 0 || marked >= 10) << "only a new row can need the space: " << marked;
    expectFailedReplace(before, gridBefore, marked);

    // With room again the same grid goes in whole.
    update();
    EXPECT_TRUE(report.reports().empty());
    EXPECT_EQ(db_->query(kValues).size(), 307u);
}

TEST_F(FaultTest, AFileDeletedOrReplacedAfterTheReadLosesNoRowOfTheGrid) {
    read();
    setCell(3, 2, QStringLiteral("edited"));
    const GridState gridBefore = gridState();
    db_.reset();

    // Replaced by something that is no database: the connection fails.
    {
        QFile junk(path("Velkin.db"));
        ASSERT_TRUE(junk.open(QIODevice::WriteOnly | QIODevice::Truncate));
        junk.write(QByteArray(8192, '\x5a'));
    }
    update();
    ASSERT_EQ(report.boxes.size(), 2u);
    EXPECT_TRUE(report.boxes[1].text.startsWith(QStringLiteral("Error Code: %1").arg(SQLITE_NOTADB)))
        << report.boxes[1].text.toStdString();
    EXPECT_EQ(gridState(), gridBefore);

    // Deleted: the engine creates an empty file, which has no such table.
    ASSERT_TRUE(QFile::remove(path("Velkin.db")));
    update();
    const auto shown = report.reports();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(shown[0].text.contains(QStringLiteral("no such table"))) << shown[0].text.toStdString();
    EXPECT_EQ(gridState(), gridBefore);

    // The table exists again, empty: its rows went since the read, and the
    // Update says so instead of writing over that; the grid still holds every row.
    db_ = std::make_unique<SqliteFile>(path("Velkin.db"));
    db_->exec(kCreateTable);
    update();
    ASSERT_EQ(report.reports().size(), 1u);
    EXPECT_TRUE(report.reports()[0].text.startsWith(QStringLiteral("Error Code:3197\r\n"))) << report.reports()[0].text.toStdString();
    EXPECT_TRUE(db_->query(kValues).empty());
    EXPECT_EQ(gridState(), gridBefore);
}

// ----------------------------------------------------------------------------
// The process killed during an Update

namespace {

constexpr int kBigRows = 3000;

// Child: reads T into a window, gives every row a new NAME, and presses
// Update. When the progress bar reaches `killAt` it says "kill" and, in
// pause mode, waits there, holding the open transaction, until it is killed
// (or the test ends and its stdin closes).
int UpdateChild(const QStringList& args) {
    if (args.size() != 3 || !QDir::setCurrent(args[0])) return 64;
    const int killAt = args[1].toInt();
    const bool pause = args[2] == QStringLiteral("pause");  // "run" and "late" go on
    SheetData sheet;
    ColumnCatalogue catalogue;
    RecordingReport report;
    const QString line = Common1::ReadIniString(QString::fromLatin1(Common1::kIniSection), QStringLiteral("LINE"),
                                                QString::fromLatin1(Common1::kIniFile));
    const CommandContext context{sheet, catalogue, report, {}, Common1::RowCapacityFromLine(line), true};
    ResetSheet(sheet, context.rowCapacity);
    CommandInputs inputs;
    inputs.table = QStringLiteral("T");
    TableRead(context).run(inputs);
    if (!report.boxes.empty() || sheet.lastDataRow() != kBigRows + 2) return 65;
    for (int32_t r = 3; r < kBigRows + 3; ++r) WriteCellText(sheet, r, 2, QStringLiteral("new-%1").arg(r - 3));
    report.onProgress = [&](int32_t value) {
        if (value != killAt) return;
        std::fputs("kill\n", stdout);
        std::fflush(stdout);
        if (pause) std::getchar();
    };
    TableReplace(context).run(inputs);
    std::fputs("done\n", stdout);
    std::fflush(stdout);
    return report.boxes.size() == 1 ? 0 : 66;
}
const ChildRegistration kUpdateChild("update", UpdateChild);

}  // namespace

TEST_F(FaultTest, AProcessKilledDuringAnUpdateLeavesTheTableWhollyOldOrWhollyNew) {
    db_->exec("DELETE FROM T;");
    db_->exec(InsertRows(kBigRows));
    writeSettings(QByteArray("[Default1]\r\nLINE=") + QByteArray::number(kBigRows + 2) + "\r\n");
    const Rows oldValues = db_->query(kValues);
    Rows newValues = oldValues;
    for (size_t i = 0; i < newValues.size(); ++i) newValues[i][1] = "'new-" + std::to_string(i) + "'";
    db_.reset();

    struct Case {
        int killAt;
        const char* mode;
    };
    // Paused with the transaction open, then at points where it runs on freely.
    // "late": killed a moment after the last row, around the commit.
    const Case cases[] = {{kBigRows / 2, "pause"}, {1, "run"},        {kBigRows / 2, "run"}, {kBigRows - 5, "run"},
                          {kBigRows, "run"},       {kBigRows, "late"}, {kBigRows, "late"},    {kBigRows, "late"}};
    std::mt19937 random(11);
    int wholeOld = 0, wholeNew = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.mode) + " at " + std::to_string(k.killAt));
        QProcess child;
        StartChild(child, QStringLiteral("update"), {path(QStringLiteral(".")), QString::number(k.killAt), k.mode});
        ASSERT_TRUE(child.waitForStarted(30000));
        const bool reached = WaitForLine(child, "kill");
        if (std::string(k.mode) == "late") QThread::usleep(random() % 20000);
        child.kill();
        ASSERT_TRUE(child.waitForFinished(30000));
        ASSERT_TRUE(reached) << "the child never reached the kill point; exit code " << child.exitCode();

        // Checked from this process, a second one: opening it rolls back a hot journal.
        SqliteFile after(path("Velkin.db"));
        const Rows now = after.query(kValues);
        EXPECT_EQ(after.query("PRAGMA integrity_check"), (Rows{{"ok"}}));
        if (now == oldValues) {
            ++wholeOld;
        } else if (now == newValues) {
            ++wholeNew;
            after.exec("DELETE FROM T;");
            after.exec(InsertRows(kBigRows));  // back to the old table for the next kill
        } else {
            ADD_FAILURE() << "the table is neither old nor new: " << now.size() << " rows";
        }
        if (std::string(k.mode) == "pause") EXPECT_EQ(now, oldValues) << "killed inside the transaction";
    }
    std::printf("[ killed during Update: %d times; table wholly old %d, wholly new %d ]\n",
                static_cast<int>(std::size(cases)), wholeOld, wholeNew);

    // This process's window still works on what the kills left.
    db_ = std::make_unique<SqliteFile>(path("Velkin.db"));
    read();
    EXPECT_EQ(sheet.lastDataRow(), kBigRows + 2);
    EXPECT_EQ(cell(3, 2), QStringLiteral("old-0"));
    update();
    EXPECT_TRUE(report.reports().empty());
    EXPECT_EQ(db_->query(kValues), oldValues);
}
