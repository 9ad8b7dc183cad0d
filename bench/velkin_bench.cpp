// velkin_bench: times the Read and Update commands of a real Form1 (offscreen,
// message boxes answered Yes) against the engines' own command-line clients
// doing the same work on the same data, side by side, several runs each, and
// prints one line per case:
//
//   CASE ratio=R target=T velkin_ms=A reference_ms=B [rss_mb=M]
//
// Times are medians; ratio = velkin_ms / reference_ms. The program exits 0
// whether or not a target is met. Details and conditions: bench/README.md.
//
// Options: --runs N (default 5), --rows N (default 100000), --limit-rows N
// (default 2000000), --million-rows N (default 1000000), --cases a,b,...
// (default all), --keep (leave the work folder), --backup NO (no snapshot).
// PostgreSQL cases need VELKIN_PG_URI, VELKIN_PG_USER and VELKIN_PG_PASSWORD
// (scripts/pg-test-cluster.sh prints them); MariaDB cases VELKIN_MY_URI,
// VELKIN_MY_USER, VELKIN_MY_PASSWORD and VELKIN_MY_PORT
// (scripts/mariadb-test-server.sh).
//
// Internal mode: --startup-child DIR is the child process of the startup case.

#include "db/engine.h"
#include "grid/grid.h"
#include "shell/main_window.h"
#include "shell/message_box.h"
#include "db/connection.h"
#include "tests/forwarding_session.h"
#include "tests/recording_answerer.h"
#include "tests/tcp_proxy.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <malloc.h>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace velkin;

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// NaN when any run failed: a figure from a failed run would mislead.
double Median(std::vector<double> values) {
    if (values.empty() || std::any_of(values.begin(), values.end(), [](double v) { return std::isnan(v); }))
        return NAN;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void Note(const std::string& text) { std::fprintf(stderr, "bench: %s\n", text.c_str()); }

struct Options {
    int runs = 5;
    int rows = 100000;
    int limitRows = 2000000;
    int millionRows = 1000000;
    int wanRows = 10000;
    int wanDelayUs = 1000;  // each way: a 2 ms round trip
    std::set<std::string> cases;
    bool keep = false;
    bool wants(const std::string& name) const { return cases.empty() || cases.count(name); }
};

// ---------------------------------------------------------------------------
// Child processes

struct Redirect {
    std::string stdinPath;   // empty: inherit
    std::string stdoutPath;  // empty: /dev/null
    int stdoutFd = -1;       // instead of stdoutPath
};

pid_t Start(const std::vector<std::string>& argv, const Redirect& redirect) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!redirect.stdinPath.empty())
        posix_spawn_file_actions_addopen(&actions, 0, redirect.stdinPath.c_str(), O_RDONLY, 0);
    if (redirect.stdoutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, redirect.stdoutFd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1,
                                         redirect.stdoutPath.empty() ? "/dev/null" : redirect.stdoutPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        Note("cannot start " + argv[0] + ": " + std::strerror(rc));
        return -1;
    }
    return pid;
}

// What a process spent: CPU time (user and system) and minor page faults.
struct CpuUse {
    double ms = 0;
    double faults = 0;
};
CpuUse CpuUseOf(const rusage& usage) {
    auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; };
    return {ms(usage.ru_utime) + ms(usage.ru_stime), static_cast<double>(usage.ru_minflt)};
}
CpuUse OwnCpuUse() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return CpuUseOf(usage);
}

// `used`, when given, receives the child's CPU use.
int Wait(pid_t pid, CpuUse* used = nullptr) {
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) return -1;
    if (used) *used = CpuUseOf(usage);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs a command to its end; the time in ms, or NaN when it failed.
double TimedRun(const std::vector<std::string>& argv, const Redirect& redirect = {}, CpuUse* used = nullptr) {
    const auto start = Clock::now();
    const int status = Wait(Start(argv, redirect), used);
    const double ms = MsSince(start);
    if (status != 0) {
        Note(argv[0] + " failed with status " + std::to_string(status));
        return NAN;
    }
    return ms;
}

// ---------------------------------------------------------------------------
// Memory of this process, from /proc/self/status, in MB.

double StatusMb(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t keyLength = std::strlen(key);
    while (std::getline(status, line))
        if (line.compare(0, keyLength, key) == 0) return std::strtod(line.c_str() + keyLength, nullptr) / 1024.0;
    return NAN;
}
double RssMb() { return StatusMb("VmRSS:"); }
double PeakRssMb() { return StatusMb("VmHWM:"); }
// Starts the peak (VmHWM) afresh at the current RSS.
void ResetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

// ---------------------------------------------------------------------------
// Data: the same 10-column table in both engines. No column is NOT NULL, so
// the read's query is "SELECT * FROM t", the reference's text.

enum class TableSql { Sqlite, Postgres, MariaDb };

std::string TableRowsSelect(const char* numbers, TableSql sql) {
    // CHAR, VARCHAR2 (with Japanese text and apostrophes), NUMBER with and
    // without scale, DATE, and NULLs spread over the columns. (MariaDB reads
    // || as concatenation under PIPES_AS_CONCAT, which its table's script sets.)
    const char* days = sql == TableSql::Postgres ? "DATE '2000-01-01' + (i % 9000)"
                       : sql == TableSql::MariaDb ? "DATE '2000-01-01' + INTERVAL (i % 9000) DAY"
                                                  : "date('2000-01-01', '+' || (i % 9000) || ' days')";
    const char* days2 = sql == TableSql::Postgres ? "DATE '2020-01-01' + (i % 1500)"
                        : sql == TableSql::MariaDb ? "DATE '2020-01-01' + INTERVAL (i % 1500) DAY"
                                                   : "date('2020-01-01', '+' || (i % 1500) || ' days')";
    std::ostringstream s;
    s << "SELECT i, 'K' || (i % 97), "
      << "CASE WHEN i % 7 = 0 THEN NULL WHEN i % 10 = 0 THEN '鈴木 ' || i WHEN i % 50 = 1 THEN 'O''Brien ' || i "
         "ELSE 'name ' || i END, "
      << "CASE WHEN i % 11 = 0 THEN NULL ELSE (i % 100000) * 1.25 + 0.01 END, "
      << "CASE WHEN i % 13 = 0 THEN NULL ELSE " << days << " END, "
      << "CASE WHEN i % 3 = 0 THEN NULL ELSE 'note for record ' || i || ' with some more text' END, "
      << "i % 1000, "
      << "CASE WHEN i % 5 = 0 THEN NULL ELSE (i % 10000) / 10000.0 END, "
      << "CASE WHEN i % 2 = 0 THEN 'Y' ELSE 'N' END, " << days2 << " FROM " << numbers;
    return s.str();
}

// Through the sqlite3 shell: the bench itself leaves SQLite untouched, so the
// engine meets it uninitialised, as in the program.
bool SqliteExec(const std::string& path, const std::string& sql) {
    return !std::isnan(TimedRun({"sqlite3", "-bail", path, sql}));
}

bool MakeSqliteTable(const std::string& path, int rows) {
    std::remove(path.c_str());
    return SqliteExec(path,
                      "CREATE TABLE t (ID NUMBER(10), CODE CHAR(8), NAME VARCHAR2(40), AMOUNT NUMBER(12,2), "
                      "HIRED DATE, NOTE VARCHAR2(60), QTY NUMBER(9), RATE NUMBER(9,4), FLAG CHAR(1), UPDATED DATE);"
                      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                          std::to_string(rows) + ") INSERT INTO t " + TableRowsSelect("n", TableSql::Sqlite) + ";");
}

// The login boxes of a server case.
struct ServerLogin {
    std::string user, password;
};

struct PgServer : ServerLogin {
    std::string uri;
    bool available() const { return !uri.empty(); }
    std::vector<std::string> psql(std::initializer_list<std::string> more) const {
        std::vector<std::string> argv{"psql", "-X", "-q", "-d", uri, "-U", user};
        argv.insert(argv.end(), more);
        return argv;
    }
};

PgServer PgFromEnvironment() {
    PgServer pg;
    if (const char* v = std::getenv("VELKIN_PG_URI")) pg.uri = v;
    if (const char* v = std::getenv("VELKIN_PG_USER")) pg.user = v;
    if (const char* v = std::getenv("VELKIN_PG_PASSWORD")) pg.password = v;
    if (pg.available()) {
        setenv("PGPASSWORD", pg.password.c_str(), 1);
        setenv("PGDATABASE", pg.uri.substr(pg.uri.rfind('/') + 1).c_str(), 1);
    }
    return pg;
}

bool MakePgTable(const PgServer& pg, int rows) {
    const std::string sql =
        "DROP TABLE IF EXISTS t; CREATE TABLE t (id numeric(10), code char(8), name varchar(40), "
        "amount numeric(12,2), hired date, note varchar(60), qty numeric(9), rate numeric(9,4), flag char(1), "
        "updated date); INSERT INTO t " +
        TableRowsSelect(("generate_series(1, " + std::to_string(rows) + ") AS g(i)").c_str(), TableSql::Postgres) +
        ";";
    // Each -c runs on its own: VACUUM refuses to run inside a transaction.
    return !std::isnan(TimedRun(pg.psql({"-v", "ON_ERROR_STOP=1", "-c", sql, "-c", "VACUUM ANALYZE t"})));
}

struct MyServer : ServerLogin {
    std::string uri, port, database;
    bool available() const { return !uri.empty(); }
    // The mariadb client on the same database; the password goes by MYSQL_PWD.
    std::vector<std::string> mariadb(std::initializer_list<std::string> more) const {
        std::vector<std::string> argv{"mariadb", "--no-defaults", "-h", "127.0.0.1", "-P", port, "-u", user, "-D", database};
        argv.insert(argv.end(), more);
        return argv;
    }
};

MyServer MyFromEnvironment() {
    MyServer my;
    if (const char* v = std::getenv("VELKIN_MY_URI")) my.uri = v;
    if (const char* v = std::getenv("VELKIN_MY_USER")) my.user = v;
    if (const char* v = std::getenv("VELKIN_MY_PASSWORD")) my.password = v;
    if (const char* v = std::getenv("VELKIN_MY_PORT")) my.port = v;
    if (my.available()) {
        setenv("MYSQL_PWD", my.password.c_str(), 1);
        my.database = my.uri.substr(my.uri.rfind('/') + 1);
    }
    return my;
}

bool MakeMyTable(const MyServer& my, int rows) {
    const std::string sql =
        "SET SESSION sql_mode = CONCAT(@@sql_mode, ',PIPES_AS_CONCAT'); DROP TABLE IF EXISTS t; "
        "CREATE TABLE t (id DECIMAL(10), code CHAR(8), name VARCHAR(40), amount DECIMAL(12,2), hired DATE, "
        "note VARCHAR(60), qty DECIMAL(9), rate DECIMAL(9,4), flag CHAR(1), updated DATE) ENGINE=InnoDB; "
        "INSERT INTO t " +
        TableRowsSelect(("(SELECT seq AS i FROM seq_1_to_" + std::to_string(rows) + ") AS g").c_str(), TableSql::MariaDb) +
        "; ANALYZE TABLE t;";
    return !std::isnan(TimedRun(my.mariadb({"-e", sql})));
}

// ---------------------------------------------------------------------------
// Recording the statements the replace sends, to give the reference client
// exactly the same texts.

class RecordingConnection final : public velkin::testing::ForwardingConnection {
public:
    RecordingConnection(std::unique_ptr<Connection> inner, std::vector<QString>& log)
        : ForwardingConnection(std::move(inner)), log_(log) {}
    int64_t execute(const QString& sql) override {
        log_.push_back(sql);
        return ForwardingConnection::execute(sql);
    }
    // The engine's own stream, so the recorded Update goes as fast as a timed one.
    std::unique_ptr<StatementStream> openStatementStream(const QString& table, StatementDone done) override {
        return std::make_unique<Stream>(ForwardingConnection::openStatementStream(table, std::move(done)), log_);
    }

private:
    class Stream final : public StatementStream {
    public:
        Stream(std::unique_ptr<StatementStream> inner, std::vector<QString>& log) : inner_(std::move(inner)), log_(log) {}
        void Send(const QString& sql, int32_t tag) override {
            log_.push_back(sql);
            inner_->Send(sql, tag);
        }
        void Finish() override { inner_->Finish(); }

    private:
        std::unique_ptr<StatementStream> inner_;
        std::vector<QString>& log_;
    };

    std::vector<QString>& log_;
};

// ---------------------------------------------------------------------------
// The window, in a working folder of its own with its settings file.

// Set from --backup: the same for every window of the run.
QByteArray gBackupSetting;

void WriteSettings(const QString& dir, const QString& host, const QString& user, const QString& password,
                   int line, const char* write = nullptr) {
    QFile file(QDir(dir).filePath(QStringLiteral("Velkin.ini")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
    QByteArray text = "[Default1]\r\nUSERID=" + user.toLocal8Bit() + "\r\nPASS=" + password.toLocal8Bit() +
                      "\r\nHOST=" + host.toLocal8Bit() + "\r\n";
    if (line > 0) text += "LINE=" + QByteArray::number(line) + "\r\n";
    if (!gBackupSetting.isEmpty()) text += "BACKUP=" + gBackupSetting + "\r\n";
    if (write) text += QByteArray("WRITE=") + write + "\r\n";
    file.write(text);
}

void Settle() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

class Window {
public:
    // `write`: the WRITE setting; nullptr leaves it out.
    Window(const QString& dir, const QString& host, int line, const ServerLogin* pg = nullptr,
           const char* write = nullptr) {
        WriteSettings(dir, host, pg ? QString::fromStdString(pg->user) : QStringLiteral("bench"),
                      pg ? QString::fromStdString(pg->password) : QStringLiteral("bench"), line, write);
        QDir::setCurrent(dir);
        form_ = std::make_unique<Form1>(boxes_.answerer());
        form_->show();
        Settle();
    }
    Form1& form() { return *form_; }
    SpreadGrid& grid() { return *form_->SPD1; }

    // The Read command in table mode, until the screen has caught up.
    double read(const QString& table) {
        form_->TXT_TABLE->setText(table);
        const auto start = Clock::now();
        form_->CMD_Read->click();
        QCoreApplication::processEvents();
        return MsSince(start);
    }
    double update() {
        const auto start = Clock::now();
        form_->CMD_Update->click();
        QCoreApplication::processEvents();
        return MsSince(start);
    }
    // Types `text` into cell (row, column), as the user's edit.
    void setCell(int32_t row, int32_t column, const QString& text) {
        grid().setCurrentRow(row);
        grid().setCurrentColumn(column);
        grid().setCellText(text);
    }
    // Boxes shown since the last call, as "title: text" lines.
    std::vector<std::string> takeBoxes() {
        std::vector<std::string> shown;
        for (const MessageRequest& box : boxes_.boxes)
            shown.push_back((box.title + QStringLiteral(": ") + box.text).toStdString());
        boxes_.boxes.clear();
        return shown;
    }
    // Notes every box but the replace's own question.
    bool quiet(const char* what) {
        bool none = true;
        for (const std::string& box : takeBoxes()) {
            if (box.find("本当に更新して良いですか") != std::string::npos) continue;
            Note(std::string(what) + " showed a box: " + box);
            none = false;
        }
        return none;
    }

private:
    testing::RecordingAnswerer boxes_{MessageAnswer::Yes};
    std::unique_ptr<Form1> form_;
};

// ---------------------------------------------------------------------------
// Cases

struct Result {
    Result(double velkin = NAN, double reference = NAN, std::optional<double> rss = {})
        : velkinMs(velkin), referenceMs(reference), rssMb(rss) {}
    double velkinMs = NAN;
    double referenceMs = NAN;
    std::optional<double> rssMb;
    // Reads: CPU time and minor faults of both sides, medians; the load moves
    // them less than the wall time.
    std::string cpu;
};

void Print(const char* name, const char* target, const Result& r, const std::string& more = {}) {
    const double ratio = r.velkinMs / r.referenceMs;
    std::printf("%s ratio=%.2f target=%s velkin_ms=%.1f reference_ms=%.1f", name, ratio, target, r.velkinMs,
                r.referenceMs);
    if (r.rssMb) std::printf(" rss_mb=%.1f", *r.rssMb);
    std::printf("%s%s", r.cpu.c_str(), more.c_str());
    std::printf("\n");
    std::fflush(stdout);
}

// Clears the grid outside the timed part, so every timed read starts from the
// same empty sheet, as the first read after start-up does.
// The freed cells go back to the system too, so the read meets the heap of a
// fresh process rather than a million freed blocks to sort through.
void ResetGrid(Window& window) {
    window.form().FL_InitSpd();
    Settle();
    malloc_trim(0);
}

// Times `runs` reads of table t in `window`, each beside a run of
// `reference`. A read that does not load `rows` records, leaves Update
// disabled or shows a box counts as failed. `afterRead` runs after each read,
// outside the clock.
Result TimedReads(Window& window, int runs, int rows, const std::vector<std::string>& reference,
                  const std::function<void()>& afterRead = {}) {
    std::vector<double> velkin, client, rss, velkinCpu, clientCpu, velkinFaults, clientFaults;
    for (int run = 0; run < runs; ++run) {
        ResetGrid(window);
        const double before = RssMb();
        ResetPeakRss();
        const CpuUse cpuBefore = OwnCpuUse();
        const double ms = window.read(QStringLiteral("t"));
        const CpuUse cpuAfter = OwnCpuUse();
        velkinCpu.push_back(cpuAfter.ms - cpuBefore.ms);
        velkinFaults.push_back(cpuAfter.faults - cpuBefore.faults);
        rss.push_back(PeakRssMb() - before);
        const bool ok = window.quiet("read");
        if (window.grid().lastDataRow() != rows + 2 || !window.form().CMD_Update->isEnabled() || !ok) {
            Note("read did not load every row");
            velkin.push_back(NAN);
        } else {
            velkin.push_back(ms);
        }
        if (afterRead) afterRead();
        CpuUse clientUse;
        client.push_back(TimedRun(reference, {}, &clientUse));
        clientCpu.push_back(clientUse.ms);
        clientFaults.push_back(clientUse.faults);
    }
    char cpu[160];
    std::snprintf(cpu, sizeof cpu, " velkin_cpu_ms=%.1f reference_cpu_ms=%.1f velkin_faults=%.0f reference_faults=%.0f",
                  Median(velkinCpu), Median(clientCpu), Median(velkinFaults), Median(clientFaults));
    Result result{Median(velkin), Median(client), Median(rss)};
    result.cpu = cpu;
    return result;
}

Result ReadCase(const Options& options, const QString& dir, const QString& host, const ServerLogin* pg,
                const std::vector<std::string>& reference) {
    Window window(dir, host, options.rows + 2, pg);
    return TimedReads(window, options.runs, options.rows, reference);
}

// A read across the proxy, and the round trips one read and one run of the
// reference took through it (untimed, after the timed runs), for the line's end.
Result WanReadCase(const Options& options, const QString& dir, const QString& host, const ServerLogin* pg,
                   const std::vector<std::string>& reference, const testing::TcpProxy& proxy, std::string& turns) {
    Window window(dir, host, options.rows + 2, pg);
    const Result result = TimedReads(window, options.runs, options.rows, reference);
    ResetGrid(window);
    size_t before = proxy.clientTurns();
    window.read(QStringLiteral("t"));
    window.quiet("read");
    const size_t velkin = proxy.clientTurns() - before;
    before = proxy.clientTurns();
    TimedRun(reference);
    turns = " velkin_turns=" + std::to_string(velkin) + " reference_turns=" + std::to_string(proxy.clientTurns() - before);
    return result;
}

// The UTF-8 bytes of the data cells' texts, the size of what a read holds.
double DataTextMb(const SpreadGrid& grid) {
    const SheetData& sheet = grid.sheet();
    size_t bytes = 0;
    for (int32_t r = 3; r <= sheet.lastDataRow(); ++r)
        for (int32_t c = 1; c <= sheet.columnCount(); ++c) bytes += static_cast<size_t>(sheet.text(r, c).toUtf8().size());
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

// A million-row read at the largest row capacity: time against the shell, and
// the peak memory growth against the bytes of text the grid ends up holding.
Result MillionReadCase(const Options& options, const QString& dir, const std::string& file, double& textMb) {
    Window window(dir, QStringLiteral("sqlite:../million.db"), options.millionRows + 2);
    textMb = NAN;
    return TimedReads(window, options.runs, options.millionRows, {"sqlite3", file, "SELECT * FROM t"}, [&] {
        if (std::isnan(textMb)) textMb = DataTextMb(window.grid());
    });
}

// The statements of one replace, recorded from the command itself.
std::vector<QString> RecordReplace(Window& window) {
    std::vector<QString> log;
    window.form().setConnectionFactory(
        [&log](const QString& host) { return std::make_unique<RecordingConnection>(CreateConnection(host), log); });
    window.read(QStringLiteral("t"));
    window.quiet("read");
    window.update();
    window.quiet("update");
    window.form().setConnectionFactory(nullptr);
    return log;
}

bool WriteScript(const std::string& path, const std::string& prologue, const std::vector<QString>& statements,
                 const std::string& epilogue) {
    std::ofstream out(path, std::ios::binary);
    out << prologue;
    for (const QString& s : statements) out << s.toStdString() << ";\n";
    out << epilogue;
    return bool(out);
}

Result ReplaceCase(const Options& options, const QString& dir, const QString& host, const ServerLogin* pg,
                   const std::function<std::vector<std::string>(const std::string& script)>& reference,
                   const std::string& prologue, const std::string& epilogue) {
    Window window(dir, host, options.rows + 2, pg);
    const std::vector<QString> statements = RecordReplace(window);
    // The DELETE and an INSERT per row, and whatever else the replace sends
    // (SQLite's lock is a statement of its own): the client runs them all.
    if (statements.size() < static_cast<size_t>(options.rows) + 1) {
        Note("the replace sent " + std::to_string(statements.size()) + " statements");
        return {};
    }
    const std::string script = QDir(dir).filePath(QStringLiteral("replace.sql")).toStdString();
    WriteScript(script, prologue, statements, epilogue);
    const std::vector<std::string> argv = reference(script);

    std::vector<double> velkin, client, rss;
    for (int run = 0; run < options.runs; ++run) {
        ResetGrid(window);
        window.read(QStringLiteral("t"));
        window.quiet("read");
        const double before = RssMb();
        ResetPeakRss();
        const double ms = window.update();
        rss.push_back(PeakRssMb() - before);
        const bool ok = window.quiet("update");
        if (window.grid().lastDataRow() != 0 || !ok) Note("update did not end with an empty grid");
        velkin.push_back(window.grid().lastDataRow() == 0 && ok ? ms : NAN);
        // The shells read the script from their input.
        const bool fromInput = argv[0] == "sqlite3" || argv[0] == "mariadb";
        client.push_back(TimedRun(argv, {fromInput ? script : std::string(), {}, -1}));
    }
    return {Median(velkin), Median(client), Median(rss)};
}

// An Update by key (WRITE=CHANGES) of `changed` rows of table k, spread
// over it, one cell each: timed from the Yes to the end of the command,
// against the engine's own client sending the same UPDATEs in one
// transaction, its connection included as in the other cases.
Result ChangeCase(const Options& options, const QString& dir, const QString& host, const ServerLogin* login,
                  int changed, const std::vector<std::string>& reference, const std::string& prologue,
                  const std::string& epilogue) {
    Window window(dir, host, options.rows + 2, login, "CHANGES");
    const int32_t step = std::max(1, options.rows / changed);
    // Each run writes other texts, so that every UPDATE changes its row.
    const auto edit = [&](int run) {
        for (int32_t i = 0; i < changed; ++i)
            window.setCell(3 + i * step, 6, QStringLiteral("changed %1 of %2 in run %3").arg(i).arg(changed).arg(run));
    };
    std::vector<QString> log;
    window.form().setConnectionFactory(
        [&log](const QString& host) { return std::make_unique<RecordingConnection>(CreateConnection(host), log); });
    window.read(QStringLiteral("k"));
    window.quiet("read");
    edit(0);
    window.update();
    window.quiet("update");
    window.form().setConnectionFactory(nullptr);
    std::vector<QString> updates;
    for (const QString& statement : log)
        if (statement.startsWith(QLatin1String("UPDATE "))) updates.push_back(statement);
    if (updates.size() != static_cast<size_t>(changed)) {
        Note("the Update by key sent " + std::to_string(updates.size()) + " UPDATEs for " + std::to_string(changed) +
             " changed rows");
        return {};
    }
    const std::string script = QDir(dir).filePath(QStringLiteral("change.sql")).toStdString();
    WriteScript(script, prologue, updates, epilogue);
    std::vector<double> velkin, client;
    for (int run = 1; run <= options.runs; ++run) {
        ResetGrid(window);
        window.read(QStringLiteral("k"));
        window.quiet("read");
        edit(run);
        const double ms = window.update();
        const bool ok = window.quiet("update") && window.grid().lastDataRow() == 0;
        if (!ok) Note("the Update by key did not end with an empty grid");
        velkin.push_back(ok ? ms : NAN);
        client.push_back(TimedRun(reference, {script, {}, -1}));
    }
    return {Median(velkin), Median(client), std::nullopt};
}

Result LimitCase(const Options& options, const QString& dir, const std::string& file) {
    Window window(dir, QStringLiteral("sqlite:../big.db"), 0);
    std::vector<double> velkin, client, rss;
    for (int run = 0; run < options.runs; ++run) {
        ResetGrid(window);
        const double before = RssMb();
        ResetPeakRss();
        velkin.push_back(window.read(QStringLiteral("t")));
        rss.push_back(PeakRssMb() - before);
        const auto boxes = window.takeBoxes();
        if (boxes.size() != 1 || window.grid().lastDataRow() != window.form().rowCapacity()) {
            Note("the read did not stop at the row limit with one message");
            velkin.back() = NAN;
        }
        client.push_back(
            TimedRun({"sqlite3", file, "SELECT count(*) FROM (SELECT * FROM t)"}));
    }
    return {Median(velkin), Median(client), Median(rss)};
}

// FL_InitSpd with the largest row capacity, after a read that loaded every
// row; memory is compared with the empty window of the same size.
Result InitSpdCase(const Options& options, const QString& dir) {
    Window window(dir, QStringLiteral("sqlite:../table.db"), 1000002);
    Settle();
    const double empty = RssMb();
    std::vector<double> velkin, rss;
    for (int run = 0; run < options.runs; ++run) {
        window.read(QStringLiteral("t"));
        window.quiet("read");
        if (window.grid().lastDataRow() != options.rows + 2) Note("read did not load every row");
        const auto start = Clock::now();
        window.form().FL_InitSpd();
        QCoreApplication::processEvents();
        velkin.push_back(MsSince(start));
        if (window.grid().lastDataRow() != 0) Note("FL_InitSpd left text behind");
        rss.push_back(RssMb() - empty);
    }
    return {Median(velkin), 20.0, Median(rss)};
}

// Process start to the window shown: the bench starts itself in the child
// mode below and stops the clock when the child reports the window's first paint.
Result StartupCase(const Options& options, const QString& dir) {
    WriteSettings(dir, QString(), QString(), QString(), 0);
    std::vector<double> velkin;
    for (int run = 0; run < options.runs + 1; ++run) {
        int fds[2];
        if (pipe(fds) != 0) break;
        const auto start = Clock::now();
        const pid_t pid = Start({"/proc/self/exe", "--startup-child", dir.toStdString()}, {{}, {}, fds[1]});
        close(fds[1]);
        char buffer[16] = {};
        const ssize_t got = read(fds[0], buffer, sizeof buffer - 1);
        const double ms = MsSince(start);
        close(fds[0]);
        const int status = Wait(pid);
        if (got <= 0 || std::strncmp(buffer, "shown", 5) != 0 || status != 0) {
            Note("startup child failed");
            continue;
        }
        if (run > 0) velkin.push_back(ms);  // the first run warms the file cache
    }
    return {Median(velkin), 300.0, {}};
}

class PaintSpy : public QObject {
public:
    bool painted = false;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) painted = true;
        return false;
    }
};

int StartupChild(int argc, char** argv) {
    QDir::setCurrent(QString::fromLocal8Bit(argv[2]));
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velkin"));
    Form1 window;
    PaintSpy spy;
    window.installEventFilter(&spy);
    window.show();
    const auto start = Clock::now();
    while (!spy.painted && MsSince(start) < 10000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (!spy.painted) return 1;
    const char shown[] = "shown\n";
    return write(1, shown, sizeof shown - 1) == sizeof shown - 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc >= 3 && std::strcmp(argv[1], "--startup-child") == 0) return StartupChild(argc, argv);

    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
        if (a == "--runs") options.runs = std::max(1, std::atoi(next().c_str()));
        else if (a == "--rows") options.rows = std::max(1, std::atoi(next().c_str()));
        else if (a == "--limit-rows") options.limitRows = std::max(1, std::atoi(next().c_str()));
        else if (a == "--million-rows") options.millionRows = std::max(1, std::atoi(next().c_str()));
        else if (a == "--wan-rows") options.wanRows = std::max(1, std::atoi(next().c_str()));
        else if (a == "--wan-delay-us") options.wanDelayUs = std::max(0, std::atoi(next().c_str()));
        else if (a == "--keep") options.keep = true;
        else if (a == "--backup") gBackupSetting = QByteArray::fromStdString(next());
        else if (a == "--cases") {
            std::stringstream list(next());
            for (std::string c; std::getline(list, c, ',');) options.cases.insert(c);
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--rows N] [--limit-rows N] [--million-rows N] [--wan-rows N] [--wan-delay-us N] [--cases a,b] [--keep] [--backup NO]\n", argv[0]);
            return 2;
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velkin"));
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/velkin-bench-XXXXXX"));
    work.setAutoRemove(!options.keep);
    if (options.keep) Note("work folder " + work.path().toStdString());
    const QString home = QDir::currentPath();
    auto folder = [&](const char* name) {
        const QString path = work.filePath(QString::fromLatin1(name));
        QDir().mkpath(path);
        return path;
    };
    const std::string tableFile = work.filePath(QStringLiteral("table.db")).toStdString();
    // The host box keeps 32 characters: each case's folder sits beside the files.
    const QString tableHost = QStringLiteral("sqlite:../table.db");
    const PgServer pg = PgFromEnvironment();

    const bool needTable = options.wants("read_sqlite") || options.wants("replace_sqlite") ||
                           options.wants("change_cell_sqlite") || options.wants("initspd");
    if (needTable && !MakeSqliteTable(tableFile, options.rows)) Note("cannot make the SQLite table");

    if (options.wants("read_sqlite"))
        Print("read_sqlite", "1.1",
              ReadCase(options, folder("read_sqlite"), tableHost, nullptr, {"sqlite3", tableFile, "SELECT * FROM t"}));

    if (options.wants("read_sqlite_1m")) {
        const std::string million = work.filePath(QStringLiteral("million.db")).toStdString();
        if (!MakeSqliteTable(million, options.millionRows)) Note("cannot make the million-row SQLite table");
        double textMb = NAN;
        const Result result = MillionReadCase(options, folder("read_sqlite_1m"), million, textMb);
        char more[48];
        std::snprintf(more, sizeof more, " text_mb=%.1f", textMb);
        // Memory target: rss_mb <= 1.6 x text_mb.
        Print("read_sqlite_1m", "1.1", result, more);
        std::remove(million.c_str());
    }

    if (options.wants("change_cell_sqlite")) {
        // The same table under a primary key, for the Update by key.
        const bool keyed = SqliteExec(tableFile, "DROP TABLE IF EXISTS k; CREATE TABLE k (ID NUMBER(10) NOT NULL PRIMARY KEY, "
                                                 "CODE CHAR(8), NAME VARCHAR2(40), AMOUNT NUMBER(12,2), HIRED DATE, "
                                                 "NOTE VARCHAR2(60), QTY NUMBER(9), RATE NUMBER(9,4), FLAG CHAR(1), "
                                                 "UPDATED DATE); INSERT INTO k SELECT * FROM t;");
        if (!keyed) Note("cannot make the keyed SQLite table");
        Print("change_cell_sqlite", "3.0",
              ChangeCase(options, folder("change_cell_sqlite"), tableHost, nullptr, 1,
                         {"sqlite3", "-bail", tableFile}, "BEGIN;\n", "COMMIT;\n"));
    }

    if (options.wants("replace_sqlite"))
        Print("replace_sqlite", "1.3",
              ReplaceCase(
                  options, folder("replace_sqlite"), tableHost, nullptr,
                  [&](const std::string&) { return std::vector<std::string>{"sqlite3", tableFile}; },
                  ".load " VELKIN_BENCH_TO_DATE_EXTENSION "\nBEGIN;\n", "COMMIT;\n"));

    const bool wantPgChange = options.wants("change_cell_pg") || options.wants("change_rows_pg");
    const bool wantPg = options.wants("read_pg") || options.wants("replace_pg") || wantPgChange;
    if (wantPg && !pg.available()) Note("no PostgreSQL server (VELKIN_PG_URI unset): its cases are not measured");
    if (wantPg && pg.available() && !MakePgTable(pg, options.rows)) Note("cannot make the PostgreSQL table");
    // The host box keeps 32 characters: host and port; the database comes from PGDATABASE.
    const QString pgHost = QString::fromStdString(pg.uri.substr(0, pg.uri.rfind('/')));

    if (options.wants("read_pg"))
        Print("read_pg", "1.3",
              pg.available() ? ReadCase(options, folder("read_pg"), pgHost, &pg, pg.psql({"-c", "SELECT * FROM t"}))
                             : Result{});
    if (options.wants("replace_pg"))
        Print("replace_pg", "1.2",
              pg.available()
                  ? ReplaceCase(
                        options, folder("replace_pg"), pgHost, &pg,
                        [&](const std::string& script) {
                            return pg.psql({"-v", "ON_ERROR_STOP=1", "-1", "-f", script});
                        },
                        "", "")
                  : Result{});

    if (wantPgChange && pg.available() &&
        std::isnan(TimedRun(pg.psql({"-v", "ON_ERROR_STOP=1", "-c",
                                     "DROP TABLE IF EXISTS k; CREATE TABLE k (LIKE t); ALTER TABLE k ADD PRIMARY KEY (id); "
                                     "INSERT INTO k SELECT * FROM t",
                                     "-c", "VACUUM ANALYZE k"}))))
        Note("cannot make the keyed PostgreSQL table");
    for (const auto& [name, rows, target] : {std::tuple{"change_cell_pg", 1, "3.0"}, std::tuple{"change_rows_pg", 1000, "1.5"}})
        if (options.wants(name))
            Print(name, target,
                  pg.available() ? ChangeCase(options, folder(name), pgHost, &pg, rows,
                                              pg.psql({"-v", "ON_ERROR_STOP=1", "-1", "-f", "/dev/stdin"}), "", "")
                                 : Result{});

    const MyServer my = MyFromEnvironment();
    const bool wantMy = options.wants("read_mariadb") || options.wants("replace_mariadb") ||
                        options.wants("change_cell_mariadb");
    if (wantMy && !my.available()) Note("no MariaDB server (VELKIN_MY_URI unset): its cases are not measured");
    if (wantMy && my.available() && !MakeMyTable(my, options.rows)) Note("cannot make the MariaDB table");
    const QString myHost = QString::fromStdString(my.uri);

    if (options.wants("read_mariadb"))
        Print("read_mariadb", "1.3",
              my.available() ? ReadCase(options, folder("read_mariadb"), myHost, &my, my.mariadb({"-e", "SELECT * FROM t"}))
                             : Result{});
    if (options.wants("replace_mariadb"))
        Print("replace_mariadb", "1.2",
              my.available()
                  ? ReplaceCase(
                        options, folder("replace_mariadb"), myHost, &my,
                        [&](const std::string&) { return my.mariadb({}); },
                        // The session reads the statements as the engine's session does.
                        "SET SESSION sql_mode = CONCAT_WS(',', NULLIF(@@SESSION.sql_mode, ''), 'ANSI_QUOTES', "
                        "'NO_BACKSLASH_ESCAPES', 'STRICT_TRANS_TABLES');\nSTART TRANSACTION;\n",
                        "COMMIT;\n")
                  : Result{});

    if (options.wants("change_cell_mariadb")) {
        if (my.available() && std::isnan(TimedRun(my.mariadb({"-e", "DROP TABLE IF EXISTS k; CREATE TABLE k LIKE t; "
                                                                     "ALTER TABLE k ADD PRIMARY KEY (id); "
                                                                     "INSERT INTO k SELECT * FROM t"}))))
            Note("cannot make the keyed MariaDB table");
        Print("change_cell_mariadb", "3.0",
              my.available()
                  ? ChangeCase(options, folder("change_cell_mariadb"), myHost, &my, 1, my.mariadb({}),
                               "SET SESSION sql_mode = CONCAT_WS(',', NULLIF(@@SESSION.sql_mode, ''), 'ANSI_QUOTES', "
                               "'NO_BACKSLASH_ESCAPES', 'STRICT_TRANS_TABLES');\nSTART TRANSACTION;\n",
                               "COMMIT;\n")
                  : Result{});
    }

    // The same cases across a network: a proxy that delays every byte by the
    // same time each way stands between the server and both clients.
    Options wan = options;
    wan.rows = options.wanRows;
    const auto delay = std::chrono::microseconds(options.wanDelayUs);
    const bool wantPgWan = options.wants("read_pg_wan") || options.wants("replace_pg_wan");
    if (wantPgWan && !pg.available()) Note("no PostgreSQL server (VELKIN_PG_URI unset): its cases are not measured");
    if (wantPgWan && pg.available()) {
        if (!MakePgTable(pg, wan.rows)) Note("cannot make the PostgreSQL table");
        const testing::TcpProxy proxy("127.0.0.1", static_cast<uint16_t>(std::atoi(std::getenv("VELKIN_PG_PORT"))), delay);
        PgServer far = pg;
        far.uri = "postgresql://127.0.0.1:" + std::to_string(proxy.port()) + pg.uri.substr(pg.uri.rfind('/'));
        const QString farHost = QString::fromStdString(far.uri.substr(0, far.uri.rfind('/')));
        if (options.wants("read_pg_wan")) {
            std::string turns;
            const Result r = WanReadCase(wan, folder("read_pg_wan"), farHost, &far, far.psql({"-c", "SELECT * FROM t"}), proxy, turns);
            Print("read_pg_wan", "0.7", r, turns);
        }
        if (options.wants("replace_pg_wan"))
            Print("replace_pg_wan", "0.15",
                  ReplaceCase(
                      wan, folder("replace_pg_wan"), farHost, &far,
                      [&](const std::string& script) { return far.psql({"-v", "ON_ERROR_STOP=1", "-1", "-f", script}); },
                      "", ""));
    }
    const bool wantMyWan = options.wants("read_mariadb_wan") || options.wants("replace_mariadb_wan");
    if (wantMyWan && !my.available()) Note("no MariaDB server (VELKIN_MY_URI unset): its cases are not measured");
    if (wantMyWan && my.available()) {
        if (!MakeMyTable(my, wan.rows)) Note("cannot make the MariaDB table");
        const testing::TcpProxy proxy("127.0.0.1", static_cast<uint16_t>(std::atoi(my.port.c_str())), delay);
        MyServer far = my;
        far.port = std::to_string(proxy.port());
        far.uri = "mysql://127.0.0.1:" + far.port + "/" + my.database;
        const QString farHost = QString::fromStdString(far.uri);
        if (options.wants("read_mariadb_wan")) {
            std::string turns;
            const Result r =
                WanReadCase(wan, folder("read_mariadb_wan"), farHost, &far, far.mariadb({"-e", "SELECT * FROM t"}), proxy, turns);
            Print("read_mariadb_wan", "1.0", r, turns);
        }
        if (options.wants("replace_mariadb_wan"))
            Print("replace_mariadb_wan", "0.15",
                  ReplaceCase(
                      wan, folder("replace_mariadb_wan"), farHost, &far, [&](const std::string&) { return far.mariadb({}); },
                      "SET SESSION sql_mode = CONCAT_WS(',', NULLIF(@@SESSION.sql_mode, ''), 'ANSI_QUOTES', "
                      "'NO_BACKSLASH_ESCAPES', 'STRICT_TRANS_TABLES');\nSTART TRANSACTION;\n",
                      "COMMIT;\n"));
    }

    if (options.wants("limit_sqlite")) {
        const std::string big = work.filePath(QStringLiteral("big.db")).toStdString();
        if (!MakeSqliteTable(big, options.limitRows)) Note("cannot make the large SQLite table");
        Print("limit_sqlite", "2.0", LimitCase(options, folder("limit_sqlite"), big));
        std::remove(big.c_str());
    }

    if (options.wants("initspd")) Print("initspd", "1.0", InitSpdCase(options, folder("initspd")));

    if (options.wants("startup")) Print("startup", "1.0", StartupCase(options, folder("startup")));

    QDir::setCurrent(home);
    return 0;
}
