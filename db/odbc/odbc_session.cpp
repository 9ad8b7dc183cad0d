#include "db/odbc/odbc_session.h"

#include "db/error.h"
#include "db/server_fault.h"
#include "db/odbc/odbc_connection.h"
#include "db/odbc/odbc_cursor.h"
#include "db/odbc/odbc_handles.h"
#include "db/odbc/odbc_text.h"
#include "db/mysql/my_transactional.h"
#include "db/postgres/pg_session.h"
#include "db/table_key.h"

#include <algorithm>
#include <optional>
#include <tuple>
#include <vector>

namespace velkin {

namespace odbc {

OdbcConnection::~OdbcConnection() {
    if (!connected) return;
    // Never throws: it runs when a command releases its connection, on every path.
    SQLEndTran(SQL_HANDLE_DBC, dbc.get(), SQL_ROLLBACK);
    SQLDisconnect(dbc.get());
}

void OdbcConnection::EndTransaction(SQLSMALLINT completion) {
    ++transactionsEnded;
    const SQLHDBC handle = dbc.get();
    Check(Waiting(SQL_NULL_HSTMT, [handle, completion] { return SQLEndTran(SQL_HANDLE_DBC, handle, completion); }),
          SQL_HANDLE_DBC, handle);
}

}  // namespace odbc

namespace {

using namespace odbc;

// Long enough for a server across a slow network, short enough that a wrong
// host name does not look like a hang.
constexpr SQLULEN kLoginTimeoutSeconds = 15;

const QString kStateNoDataSource = QStringLiteral("IM002");

// A string SQLGetInfo item of the connection.
QString InfoString(SQLHDBC dbc, SQLUSMALLINT item) {
    std::vector<SQLWCHAR> buffer(256);
    SQLSMALLINT bytes = 0;
    const SQLRETURN rc = SQLGetInfoW(dbc, item, buffer.data(),
                                     static_cast<SQLSMALLINT>(buffer.size() * sizeof(SQLWCHAR)), &bytes);
    if (!SQL_SUCCEEDED(rc) || bytes <= 0) return QString();
    const size_t length = std::min(static_cast<size_t>(bytes) / sizeof(SQLWCHAR), buffer.size() - 1);
    return FromWide(buffer.data(), static_cast<qsizetype>(length));
}

// An entry of the driver manager's lists: a data source with its driver, or a
// driver with its attributes ("KEY=VALUE" entries, each ended by a null character).
struct ListEntry {
    QString name;
    QString other;
};

// Walks one of the driver manager's lists (SQLDataSourcesW or SQLDriversW)
// and returns the first entry `accept` takes; nullopt when none does.
template <typename Next, typename Accept>
std::optional<ListEntry> FindInList(Next next, Accept accept) {
    std::vector<SQLWCHAR> name(512), other(4096);
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    for (;;) {
        SQLSMALLINT nameLength = 0, otherLength = 0;
        const SQLRETURN rc = next(direction, name.data(), static_cast<SQLSMALLINT>(name.size()), &nameLength,
                                  other.data(), static_cast<SQLSMALLINT>(other.size()), &otherLength);
        if (!SQL_SUCCEEDED(rc)) return std::nullopt;
        direction = SQL_FETCH_NEXT;
        const QString candidate =
            FromWide(name.data(), std::min<qsizetype>(nameLength, static_cast<qsizetype>(name.size()) - 1));
        if (accept(candidate))
            return ListEntry{candidate, FromWide(other.data(), std::min<qsizetype>(std::max<SQLSMALLINT>(otherLength, 0),
                                                                                   static_cast<qsizetype>(other.size()) - 1))};
    }
}

std::optional<ListEntry> FindDataSource(SQLHENV environment, const QString& wanted) {
    return FindInList(
        [environment](SQLUSMALLINT direction, SQLWCHAR* name, SQLSMALLINT nameSize, SQLSMALLINT* nameLength,
                      SQLWCHAR* description, SQLSMALLINT descriptionSize, SQLSMALLINT* descriptionLength) {
            return SQLDataSourcesW(environment, direction, name, nameSize, nameLength, description, descriptionSize,
                                   descriptionLength);
        },
        // Data source names are not case-sensitive, as on the system that had them first.
        [&wanted](const QString& name) { return name.compare(wanted, Qt::CaseInsensitive) == 0; });
}

template <typename Accept>
std::optional<ListEntry> FindDriver(SQLHENV environment, Accept accept) {
    return FindInList(
        [environment](SQLUSMALLINT direction, SQLWCHAR* name, SQLSMALLINT nameSize, SQLSMALLINT* nameLength,
                      SQLWCHAR* attributes, SQLSMALLINT attributesSize, SQLSMALLINT* attributesLength) {
            return SQLDriversW(environment, direction, name, nameSize, nameLength, attributes, attributesSize,
                               attributesLength);
        },
        accept);
}

QString FindOracleDriver(SQLHENV environment) {
    const auto driver = FindDriver(environment, [](const QString& name) {
        return name.contains(QLatin1String("oracle"), Qt::CaseInsensitive);
    });
    return driver ? driver->name : QString();
}

// Whether `driver` (an odbcinst.ini driver name, or a library path as odbc.ini
// and connection strings may give instead) is psqlODBC.
bool IsPsqlOdbc(SQLHENV environment, const QString& driver) {
    if (driver.isEmpty()) return false;
    if (IsPsqlOdbcDriver(driver)) return true;
    const auto entry = FindDriver(environment, [&driver](const QString& name) {
        return name.compare(driver, Qt::CaseInsensitive) == 0;
    });
    if (!entry) return false;
    for (const QString& attribute : entry->other.split(QChar(u'\0'), Qt::SkipEmptyParts)) {
        const qsizetype equals = attribute.indexOf(QLatin1Char('='));
        const QString key = attribute.left(equals).trimmed();
        if ((key.compare(QLatin1String("Driver"), Qt::CaseInsensitive) == 0 ||
             key.compare(QLatin1String("Driver64"), Qt::CaseInsensitive) == 0) &&
            IsPsqlOdbcDriver(attribute.mid(equals + 1).trimmed()))
            return true;
    }
    return false;
}

bool DataSourceIsPsqlOdbc(SQLHENV environment, const QString& dataSource) {
    const auto entry = FindDataSource(environment, dataSource);
    return entry && IsPsqlOdbc(environment, entry->other);
}

// The driver a connection string reaches: its DRIVER, or its DSN's driver.
bool ConnectionStringIsPsqlOdbc(SQLHENV environment, const QString& connectionString) {
    if (const auto driver = ConnectionStringValue(connectionString, QStringLiteral("DRIVER")))
        return IsPsqlOdbc(environment, *driver);
    if (const auto dataSource = ConnectionStringValue(connectionString, QStringLiteral("DSN")))
        return DataSourceIsPsqlOdbc(environment, *dataSource);
    return false;
}

// Throws the connection's diagnostics, led by `missing` when the driver
// manager found no such data source or driver (IM002).
[[noreturn]] void ThrowConnectError(SQLHDBC dbc, const QString& missing) {
    Error error = DiagnosticError(SQL_HANDLE_DBC, dbc);
    if (error.SqlState() == kStateNoDataSource && !missing.isEmpty()) throw DiagnosticError(SQL_HANDLE_DBC, dbc, missing);
    throw error;
}

void ConnectDataSource(SQLHDBC dbc, const QString& name, const Login& login) {
    // SQLConnect takes the three values apart, so no character in them needs quoting.
    const SQLRETURN rc = SQLConnectW(
        dbc, Wide(name), static_cast<SQLSMALLINT>(name.size()), login.user.isEmpty() ? nullptr : Wide(login.user),
        static_cast<SQLSMALLINT>(login.user.size()), login.password.isEmpty() ? nullptr : Wide(login.password),
        static_cast<SQLSMALLINT>(login.password.size()));
    if (!SQL_SUCCEEDED(rc))
        ThrowConnectError(dbc, QStringLiteral("ODBC データソース「%1」が見つかりません（odbc.ini に定義がありません）。").arg(name));
}

void ConnectWithString(SQLHDBC dbc, const QString& connectionString) {
    std::vector<SQLWCHAR> completed(1024);
    SQLSMALLINT completedLength = 0;
    const SQLRETURN rc = SQLDriverConnectW(dbc, nullptr, Wide(connectionString),
                                           static_cast<SQLSMALLINT>(connectionString.size()), completed.data(),
                                           static_cast<SQLSMALLINT>(completed.size()), &completedLength,
                                           SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc))
        ThrowConnectError(dbc, QStringLiteral("接続文字列のデータソースまたはドライバが見つかりません。"));
}

// psqlODBC holds every row of a result in client memory unless it reads
// through a server-side cursor, which its data sources leave off by default.
// The engine turns it on for psqlODBC, so a large read never needs the user
// to know the setting; a connection string that sets it keeps its own value.
// Other drivers get nothing they might not know.
void ConnectWithCursorFetch(SQLHENV environment, SQLHDBC dbc, const QString& connectionString) {
    ConnectWithString(dbc, ConnectionStringIsPsqlOdbc(environment, connectionString) ? WithCursorFetch(connectionString)
                                                                                      : connectionString);
}

void ConnectNamedSource(SQLHENV environment, SQLHDBC dbc, const QString& name, const Login& login) {
    // A data source of psqlODBC is reached through a connection string, the
    // one way to add settings to those of its odbc.ini entry.
    if (DataSourceIsPsqlOdbc(environment, name))
        ConnectWithString(dbc, WithCursorFetch(WithLogin(QStringLiteral("DSN=") + ConnectionValue(name), login)));
    else
        ConnectDataSource(dbc, name, login);
}

void Connect(OdbcConnection& connection, const HostIdentifier& host, const Login& login) {
    const SQLHENV environment = connection.environment.get();
    const SQLHDBC dbc = connection.get();
    const QString& name = host.target;
    if (host.kind == EngineKind::Odbc) {
        if (name.contains(QLatin1Char('=')))
            ConnectWithCursorFetch(environment, dbc, WithLogin(name, login));
        else
            ConnectNamedSource(environment, dbc, name, login);
        return;
    }
    if (const auto dataSource = FindDataSource(environment, name)) {
        ConnectNamedSource(environment, dbc, dataSource->name, login);
        return;
    }
    if (const QString driver = FindOracleDriver(environment); !driver.isEmpty()) {
        ConnectWithString(dbc, OracleServiceConnectionString(driver, name, login));
        return;
    }
    throw EngineError(kStateNoDataSource,
                      QStringLiteral("「%1」という名前の ODBC データソースがなく、Oracle の ODBC ドライバもインストールされていません。"
                                     "Oracle に接続するには Oracle の ODBC ドライバをインストールするか、"
                                     "その名前のデータソースを odbc.ini に定義してください。")
                          .arg(name));
}

// Runs a statement of the engine's own (a session setting).
void ExecuteOwn(const OdbcConnection& connection, const QString& sql) {
    const StatementHandle statement = AllocateStatement(connection.get());
    CheckStatement(connection.Waiting(statement.get(), [&] {
                       return SQLExecDirectW(statement.get(), Wide(sql), static_cast<SQLINTEGER>(sql.size()));
                   }),
                   statement);
}

// A fault of the session's own calls, by its SQLSTATE.
Error SessionError(SessionFault fault) {
    return EngineError(QLatin1String(CodeOf(kOdbcSessionFaults, fault).sqlState), SessionFaultText(fault));
}

[[noreturn]] void ThrowNotOpen() { throw SessionError(SessionFault::NotConnected); }

class OdbcSession final : public Connection {
public:
    void open(const QString& host, const QString& connect, OpenOption option) override {
        auto connection = std::make_shared<OdbcConnection>();
        SQLHANDLE raw = SQL_NULL_HANDLE;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &raw)))
            throw EngineError(QStringLiteral("HY001"), QStringLiteral("ODBC ドライバマネージャを初期化できません。"));
        connection->environment = EnvironmentHandle(raw);
        const SQLHENV environment = connection->environment.get();
        Check(SQLSetEnvAttr(environment, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
              SQL_HANDLE_ENV, environment);
        raw = SQL_NULL_HANDLE;
        Check(SQLAllocHandle(SQL_HANDLE_DBC, environment, &raw), SQL_HANDLE_ENV, environment);
        connection->dbc = ConnectionHandle(raw);
        const SQLHDBC dbc = connection->get();
        // Drivers without a login timeout say so; that is no reason to fail.
        SQLSetConnectAttrW(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(kLoginTimeoutSeconds), 0);

        connection->wait = &serverWait();
        const HostIdentifier target = ParseHost(host);
        const Login login = SplitLogin(connect);
        // Connecting cannot be cancelled; the login timeout bounds it.
        connection->Waiting(SQL_NULL_HSTMT, [&] {
            Connect(*connection, target, login);
            return SQL_SUCCESS;
        });
        connection->connected = true;

        Check(SQLSetConnectAttrW(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0),
              SQL_HANDLE_DBC, dbc);
        dialect_ = Dialect::fromDbmsName(InfoString(dbc, SQL_DBMS_NAME));
        const DialectDescription& described = dialect_.description();
        connection->keepsWrittenText = described.keepsWrittenText;
        connection->searchPatternEscape = InfoString(dbc, SQL_SEARCH_PATTERN_ESCAPE);
        // The driver manager answers from the driver's own table of functions.
        SQLUSMALLINT foreignKeys = SQL_FALSE;
        driverListsForeignKeys_ = SQL_SUCCEEDED(SQLGetFunctions(dbc, SQL_API_SQLFOREIGNKEYS, &foreignKeys)) &&
                                  foreignKeys == SQL_TRUE;
        if (described.sessionSetup) PinSessionRules(connection, described);
        // The driver begins each transaction itself: the isolation the
        // Update's lock relies on is the session's.
        if (described.lockingIsolation) ExecuteOwn(*connection, QLatin1String(described.lockingIsolation));
        // Where the dialect has no such setting, the data source's own
        // timeout decides (see the header).
        if (option == OpenOption::NoLockWait && described.noLockWait)
            ExecuteOwn(*connection, QLatin1String(described.noLockWait));
        connection->EndTransaction(SQL_COMMIT);

        connection_ = connection;
    }

    int64_t execute(const QString& sql) override {
        RefuseSecondStatement(sql);
        OdbcConnection& connection = Wire();
        SQLLEN rows = 0;
        {
            const StatementHandle statement = AllocateStatement(connection.get());
            const SQLRETURN rc = connection.Waiting(statement.get(), [&] {
                return SQLExecDirectW(statement.get(), Wide(sql), static_cast<SQLINTEGER>(sql.size()));
            });
            if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
                const Error error = DiagnosticError(SQL_HANDLE_STMT, statement.get());
                // Some drivers answer a later commit with success all the same.
                if (error.SqlState().startsWith(QLatin1String("08"))) connection.lost = true;
                if (!connection.inTransaction) {
                    ++connection.transactionsEnded;
                    SQLEndTran(SQL_HANDLE_DBC, connection.get(), SQL_ROLLBACK);
                }
                throw error;
            }
            // SQL_NO_DATA: a searched UPDATE or DELETE that met no row.
            if (rc == SQL_NO_DATA || !SQL_SUCCEEDED(SQLRowCount(statement.get(), &rows)) || rows < 0) rows = 0;
        }
        if (!connection.inTransaction) connection.EndTransaction(SQL_COMMIT);
        return rows;
    }

    std::unique_ptr<Cursor> openCursor(const QString& sql, CursorOption option) override {
        Wire();  // throws when not open
        return OpenCursor(connection_, sql, option == CursorOption::KeepTrailingBlanks);
    }

    void begin() override {
        OdbcConnection& connection = Wire();
        if (connection.inTransaction)
            throw SessionError(SessionFault::AlreadyBegun);
        // With auto-commit off the driver opens the transaction at the next
        // statement; nothing before it is left uncommitted (see execute).
        if (MarksTransactions()) ExecuteOwn(connection, QStringLiteral("SAVEPOINT ") + QLatin1String(kTransactionMark));
        connection.inTransaction = true;
    }

    void commit() override {
        OdbcConnection& connection = Wire();
        if (!connection.inTransaction)
            throw SessionError(SessionFault::NotBegun);
        // Whatever the commit answers, the transaction is over afterwards.
        connection.inTransaction = false;
        // A statement that met the lost connection took the transaction with
        // it: nothing can be committed, whatever the driver would answer.
        if (connection.lost)
            throw EngineError(QStringLiteral("08S01"),
                              QStringLiteral("接続が切れたため、コミットできません。変更は書込まれていません。"));
        if (MarksTransactions()) RequireMarkedTransaction(connection);
        connection.EndTransaction(SQL_COMMIT);
    }

    bool holdsTransaction() override {
        if (!connection_ || !connection_->inTransaction || !MarksTransactions()) return true;
        try {
            ExecuteOwn(*connection_, QStringLiteral("ROLLBACK TO SAVEPOINT ") + QLatin1String(kTransactionMark));
        } catch (const Error& error) {
            return error.Number() != dialect_.description().lostSavepointError;
        }
        return true;
    }

    void rollback() override {
        // Called from error handlers that may not know whether anything began.
        if (!connection_) return;
        connection_->inTransaction = false;
        connection_->EndTransaction(SQL_ROLLBACK);
    }

    Dialect dialect() const override { return dialect_; }

    // The database's own catalogue where the program knows it (the native
    // engines' queries), else the driver's SQLTables.
    void requireReplaceableTable(const QString& table) override {
        Wire();  // throws when not open
        const QString sql = dialect_.overreachQuery(table);
        RefuseOverreach(table, sql.isEmpty() ? ViewsByCatalogue(table) : TwoColumnQuery()(sql));
    }

    // Where some tables cannot roll back (MySQL's storage engines), the
    // tables behind the name are asked.
    void requireTransactionalTable(const QString& table) override {
        if (!dialect_.description().transactional) return;
        RequireTransactionalTables(MySqlBaseTables(table), table, TwoColumnQuery());
    }

    // Each database's own catalogue where the program knows it. MariaDB's
    // driver (3.1.15) leaves out of SQLForeignKeys the keys that refer to a
    // UNIQUE key rather than the primary key, so MySQL is asked directly too.
    std::vector<ReferringKey> keysReferringTo(const QString& table) override {
        Wire();  // throws when not open
        if (dialect_.description().baseTableReferringKeys)
            return MySqlKeysReferringTo(MySqlBaseTables(table), TwoColumnQuery());
        if (const QString sql = dialect_.referringKeysQuery(table); !sql.isEmpty()) return KeysOf(sql);
        if (!driverListsForeignKeys_) return {};
        return ForeignKeysOf(table);
    }

    // Each database's own catalogue where the program knows it (the
    // drivers' SQLStatistics do not say which indexes are partial or on
    // expressions); else the driver's SQLPrimaryKeys, and SQLStatistics'
    // unique indexes, whose columns must be NOT NULL as the cursor describes
    // them. A driver without those functions gives no key. Referred as
    // keysReferringTo says.
    TableKey tableKey(const QString& table, const Cursor& rows) override {
        Wire();  // throws when not open
        std::vector<UniqueIndex> indexes;
        if (dialect_.description().baseTableReferringKeys) {
            const std::optional<MySqlBaseTable> base = OneBaseTable(MySqlBaseTables(table));
            if (!base) return {};
            indexes = IndexesOf(IndexRowsOf(Dialect::mysqlKeyIndexesQuery(base->schema, base->table)));
        } else if (const QString sql = dialect_.keyIndexesQuery(table); !sql.isEmpty()) {
            indexes = IndexesOf(IndexRowsOf(sql));
        } else {
            try {
                const CatalogueName named = CatalogueNameOf(table);
                indexes = IndexesOf(PrimaryKeyRows(named));
                if (indexes.empty()) indexes = IndexesOf(UniqueIndexRows(named, rows));
            } catch (const Error& error) {
                if (error.isStop() || !IsMissingFunction(error)) throw;
                return {};
            }
        }
        return {ChooseKeyColumns(indexes, ColumnNames(rows)), !keysReferringTo(table).empty()};
    }

    bool hasFeature(Feature feature) const override {
        if (feature == Feature::CountsMatchedRows) return dialect_.kind() != DialectKind::MySQL;
        if (feature != Feature::ListsReferringKeys) return true;
        const DialectDescription& described = dialect_.description();
        // The database's own catalogue is asked where the program knows it.
        return described.referringKeys || described.baseTableReferringKeys || driverListsForeignKeys_;
    }

private:
    static QString ColumnText(const StatementHandle& statement, SQLSMALLINT column, SQLUSMALLINT field) {
        std::vector<SQLWCHAR> buffer(512);
        SQLSMALLINT bytes = 0;
        const SQLRETURN rc = SQLColAttributeW(statement.get(), static_cast<SQLUSMALLINT>(column), field, buffer.data(),
                                              static_cast<SQLSMALLINT>(buffer.size() * sizeof(SQLWCHAR)), &bytes, nullptr);
        if (!SQL_SUCCEEDED(rc) || bytes <= 0) return QString();
        return FromWide(buffer.data(), std::min<qsizetype>(bytes / static_cast<qsizetype>(sizeof(SQLWCHAR)),
                                                           static_cast<qsizetype>(buffer.size()) - 1));
    }

    OdbcConnection& Wire() {
        if (!connection_) ThrowNotOpen();
        return *connection_;
    }

    // The database and table behind each column of `table`, as a MySQL server resolves the name.
    std::vector<MySqlBaseTable> MySqlBaseTables(const QString& table) {
        std::vector<MySqlBaseTable> tables;
        const StatementHandle probe = AllocateStatement(Wire().get());
        const QString sql = MySqlBaseTableProbe(table);
        CheckStatement(Wire().Waiting(probe.get(), [&] {
                           return SQLExecDirectW(probe.get(), Wide(sql), static_cast<SQLINTEGER>(sql.size()));
                       }),
                       probe);
        SQLSMALLINT count = 0;
        CheckStatement(SQLNumResultCols(probe.get(), &count), probe);
        for (SQLSMALLINT column = 1; column <= count; ++column)
            tables.push_back({ColumnText(probe, column, SQL_DESC_CATALOG_NAME),
                              ColumnText(probe, column, SQL_DESC_BASE_TABLE_NAME)});
        return tables;
    }

    // MariaDB ends a transaction on an abort between two statements without
    // a word, and the driver (auto-commit off) runs what follows in a new one.
    // A savepoint marks the transaction begin began; a transaction that
    // replaced it has none, and must not be committed.
    static constexpr const char* kTransactionMark = "velkin_update";
    void RequireMarkedTransaction(const OdbcConnection& connection) const {
        try {
            ExecuteOwn(connection, QStringLiteral("RELEASE SAVEPOINT ") + QLatin1String(kTransactionMark));
        } catch (const Error& error) {
            if (error.Number() == dialect_.description().lostSavepointError) throw TransactionEndedByServer();
            throw;
        }
    }
    // The server may end a transaction unasked (DialectDescription::lostSavepointError).
    bool MarksTransactions() const { return dialect_.description().lostSavepointError != 0; }

    MySqlTwoColumnQuery TwoColumnQuery() {
        return [connection = connection_](const QString& sql) {
            std::vector<std::pair<QString, QString>> rows;
            const auto cursor = OpenCursor(connection, sql, true);
            for (; !cursor->atEnd(); cursor->next())
                rows.emplace_back(cursor->value(0).value_or(QString()),
                                  cursor->value(1).value_or(QString()));
            return rows;
        };
    }

    std::vector<ReferringKey> KeysOf(const QString& sql) {
        std::vector<ReferringKey> keys;
        for (auto& [table, rule] : TwoColumnQuery()(sql)) keys.push_back({std::move(table), std::move(rule)});
        return keys;
    }

    // A table name as typed, in the parts a catalogue function takes.
    // Unquoted parts are folded as the driver says the database stores them
    // (Oracle: upper case).
    struct CatalogueName {
        std::optional<QString> catalog, schema;
        QString name;
    };
    CatalogueName CatalogueNameOf(const QString& table) {
        SQLUSMALLINT identifierCase = SQL_IC_SENSITIVE;
        SQLGetInfoW(Wire().get(), SQL_IDENTIFIER_CASE, &identifierCase, sizeof identifierCase, nullptr);
        std::vector<QString> parts;
        for (const NamePart& part : SplitTableName(table)) {
            if (part.quoted) parts.push_back(part.text);
            else if (identifierCase == SQL_IC_UPPER) parts.push_back(part.text.toUpper());
            else if (identifierCase == SQL_IC_LOWER) parts.push_back(part.text.toLower());
            else parts.push_back(part.text);
        }
        CatalogueName named{std::nullopt, std::nullopt, parts.back()};
        if (parts.size() > 1) named.schema = parts[parts.size() - 2];
        if (parts.size() > 2) named.catalog = parts[parts.size() - 3];
        return named;
    }

    // SQLTables' TABLE_TYPE of the name, for the databases whose catalogue
    // the program does not know: a view or foreign table of that name
    // anywhere the unqualified name could mean, as an overreach row.
    std::vector<std::pair<QString, QString>> ViewsByCatalogue(const QString& table) {
        const CatalogueName named = CatalogueNameOf(table);
        const QString& escape = Wire().searchPatternEscape;
        const QString namePattern = EscapePattern(named.name, escape);
        const std::optional<QString> schemaPattern =
            named.schema ? std::optional(EscapePattern(*named.schema, escape)) : std::nullopt;
        const StatementHandle statement = AllocateStatement(Wire().get());
        CheckStatement(Wire().Waiting(statement.get(), [&] {
                           return SQLTablesW(statement.get(), WideOrNull(named.catalog), WideLength(named.catalog),
                                             WideOrNull(schemaPattern), WideLength(schemaPattern), Wide(namePattern),
                                             static_cast<SQLSMALLINT>(namePattern.size()), nullptr, 0);
                       }),
                       statement);
        // Result columns: 2 TABLE_SCHEM, 3 TABLE_NAME, 4 TABLE_TYPE. The names
        // were patterns: rows are checked again.
        std::vector<std::pair<QString, QString>> found;
        SQLRETURN rc;
        while ((rc = SQLFetch(statement.get())) != SQL_NO_DATA) {
            CheckStatement(rc, statement);
            const QString type = Text(statement, 4).toUpper();
            if (Text(statement, 3) != named.name || (named.schema && Text(statement, 2) != *named.schema)) continue;
            if (type.contains(QLatin1String("VIEW")) || type.contains(QLatin1String("FOREIGN")))
                found.emplace_back(QStringLiteral("view"), named.name);
        }
        return found;
    }

    static SQLWCHAR* WideOrNull(const std::optional<QString>& text) { return text ? Wide(*text) : nullptr; }
    static SQLSMALLINT WideLength(const std::optional<QString>& text) {
        return static_cast<SQLSMALLINT>(text ? text->size() : 0);
    }

    // Column `column` of the statement's current row as text; empty for NULL.
    static QString Text(const StatementHandle& statement, SQLUSMALLINT column) {
        std::vector<SQLWCHAR> buffer(512);
        SQLLEN indicator = 0;
        const SQLRETURN rc = SQLGetData(statement.get(), column, SQL_C_WCHAR, buffer.data(),
                                        static_cast<SQLLEN>(buffer.size() * sizeof(SQLWCHAR)), &indicator);
        if (!SQL_SUCCEEDED(rc) || indicator <= 0) return QString();
        return FromWide(buffer.data(), std::min<qsizetype>(indicator / static_cast<SQLLEN>(sizeof(SQLWCHAR)),
                                                           static_cast<qsizetype>(buffer.size()) - 1));
    }

    // The driver's own catalogue function, for the databases whose catalogue
    // the program does not know.
    std::vector<ReferringKey> ForeignKeysOf(const QString& table) {
        const SQLHDBC dbc = Wire().get();
        const CatalogueName named = CatalogueNameOf(table);
        const StatementHandle statement = AllocateStatement(dbc);
        CheckStatement(Wire().Waiting(statement.get(), [&] {
                           return SQLForeignKeysW(statement.get(), WideOrNull(named.catalog), WideLength(named.catalog),
                                                  WideOrNull(named.schema), WideLength(named.schema), Wide(named.name),
                                                  static_cast<SQLSMALLINT>(named.name.size()), nullptr, 0, nullptr, 0,
                                                  nullptr, 0);
                       }),
                       statement);
        // Result columns: 2 PKTABLE_SCHEM, 3 PKTABLE_NAME, 6 FKTABLE_SCHEM, 7 FKTABLE_NAME, 11 DELETE_RULE.
        const auto text = [&statement](SQLUSMALLINT column) { return Text(statement, column); };
        std::vector<ReferringKey> keys;
        SQLRETURN rc;
        while ((rc = SQLFetch(statement.get())) != SQL_NO_DATA) {
            CheckStatement(rc, statement);
            const QString referredSchema = text(2), referredTable = text(3);
            const QString referringSchema = text(6), referringTable = text(7);
            if (referringSchema == referredSchema && referringTable == referredTable) continue;  // to itself
            SQLSMALLINT rule = SQL_NO_ACTION;
            SQLLEN indicator = 0;
            SQLGetData(statement.get(), 11, SQL_C_SSHORT, &rule, sizeof rule, &indicator);
            if (indicator == SQL_NULL_DATA) rule = SQL_NO_ACTION;
            const QString shown = referringSchema.isEmpty() || referringSchema == referredSchema
                                      ? referringTable
                                      : referringSchema + QLatin1Char('.') + referringTable;
            keys.push_back({shown, RuleWords(rule)});
        }
        return keys;
    }

    // The one table behind every column; none for an expression or several tables.
    static std::optional<MySqlBaseTable> OneBaseTable(const std::vector<MySqlBaseTable>& tables) {
        if (tables.empty() || tables.front().table.isEmpty()) return std::nullopt;
        for (const MySqlBaseTable& t : tables)
            if (t.schema != tables.front().schema || t.table != tables.front().table) return std::nullopt;
        return tables.front();
    }

    // The rows of a key query (Dialect::keyIndexesQuery).
    std::vector<IndexColumnRow> IndexRowsOf(const QString& sql) {
        std::vector<IndexColumnRow> indexRows;
        const auto cursor = OpenCursor(connection_, sql, true);
        for (; !cursor->atEnd(); cursor->next()) {
            const std::optional<QString> index = cursor->value(0);
            if (!index) continue;  // MySQL's row for a table without unique indexes
            const auto on = [&cursor](int field) { return cursor->value(field).value_or(QStringLiteral("0")) != QLatin1String("0"); };
            indexRows.push_back({*index, on(1), cursor->value(2), on(3)});
        }
        return indexRows;
    }

    // A catalogue function the driver does not have ("optional feature not
    // implemented", "driver does not support this function").
    static bool IsMissingFunction(const Error& error) {
        return error.SqlState() == QLatin1String("HYC00") || error.SqlState() == QLatin1String("IM001");
    }

    // A catalogue function's result set for `named`, each row's first
    // `width` columns as text handed to `take` (index 0 is column 1; read in
    // order, as some drivers need). Rows of another table than the one named
    // (the name was a pattern for some drivers, or an unqualified name found
    // in several schemas) are left out, by TABLE_SCHEM and TABLE_NAME.
    template <class Call, class Take>
    void CatalogueRows(const CatalogueName& named, SQLUSMALLINT width, Call call, Take take) {
        const StatementHandle statement = AllocateStatement(Wire().get());
        CheckStatement(Wire().Waiting(statement.get(), [&] { return call(statement.get()); }), statement);
        std::optional<QString> schema = named.schema;
        SQLRETURN rc;
        while ((rc = SQLFetch(statement.get())) != SQL_NO_DATA) {
            CheckStatement(rc, statement);
            std::vector<QString> row;
            for (SQLUSMALLINT column = 1; column <= width; ++column) row.push_back(Text(statement, column));
            if (row[2] != named.name) continue;
            // An unqualified name: the first schema the driver lists.
            if (!schema) schema = row[1];
            if (row[1] != *schema) continue;
            take(row);
        }
    }

    // SQLPrimaryKeys: 4 COLUMN_NAME, 5 KEY_SEQ; put in key order.
    std::vector<IndexColumnRow> PrimaryKeyRows(const CatalogueName& named) {
        std::vector<std::pair<int, QString>> placed;
        CatalogueRows(
            named, 5,
            [&named](SQLHSTMT statement) {
                return SQLPrimaryKeysW(statement, WideOrNull(named.catalog), WideLength(named.catalog),
                                       WideOrNull(named.schema), WideLength(named.schema), Wide(named.name),
                                       static_cast<SQLSMALLINT>(named.name.size()));
            },
            [&placed](const std::vector<QString>& row) { placed.emplace_back(row[4].toInt(), row[3]); });
        std::sort(placed.begin(), placed.end());
        std::vector<IndexColumnRow> key;
        for (auto& [place, column] : placed) key.push_back({QString(), true, std::move(column), true});
        return key;
    }

    // SQLStatistics' unique indexes: 6 INDEX_NAME, 7 TYPE, 8 ORDINAL_POSITION,
    // 9 COLUMN_NAME (an expression's text, or NULL), 13 FILTER_CONDITION (a
    // partial index's, where the driver says); put in index and key order. A
    // column counts for a key when the cursor has it NOT NULL.
    std::vector<IndexColumnRow> UniqueIndexRows(const CatalogueName& named, const Cursor& rows) {
        std::vector<std::tuple<QString, int, IndexColumnRow>> found;
        CatalogueRows(
            named, 13,
            [&named](SQLHSTMT statement) {
                return SQLStatisticsW(statement, WideOrNull(named.catalog), WideLength(named.catalog),
                                      WideOrNull(named.schema), WideLength(named.schema), Wide(named.name),
                                      static_cast<SQLSMALLINT>(named.name.size()), SQL_INDEX_UNIQUE, SQL_QUICK);
            },
            [&](const std::vector<QString>& row) {
                if (row[6].toInt() == SQL_TABLE_STAT) return;
                const QString& column = row[8];
                const auto& columns = rows.columns();
                const auto shown = std::find_if(columns.begin(), columns.end(),
                                                [&column](const ResultColumn& c) { return c.name == column; });
                const bool notNull = shown != columns.end() && !shown->nullable;
                found.emplace_back(row[5], row[7].toInt(), IndexColumnRow{row[5], false, column, notNull && row[12].isEmpty()});
            });
        std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
            return std::tie(std::get<0>(a), std::get<1>(a)) < std::tie(std::get<0>(b), std::get<1>(b));
        });
        std::vector<IndexColumnRow> indexRows;
        for (auto& row : found) indexRows.push_back(std::move(std::get<2>(row)));
        return indexRows;
    }

    static QString RuleWords(SQLSMALLINT rule) {
        switch (rule) {
        case SQL_CASCADE: return QStringLiteral("CASCADE");
        case SQL_SET_NULL: return QStringLiteral("SET NULL");
        case SQL_SET_DEFAULT: return QStringLiteral("SET DEFAULT");
        case SQL_RESTRICT: return QStringLiteral("RESTRICT");
        default: return QStringLiteral("NO ACTION");
        }
    }

    // The session's string rules as the native engines pin them
    // (DialectDescription::sessionSetup); where the server reports the
    // setting, it must report it pinned. psqlODBC reads the server's setting
    // anew for each statement it scans.
    static void PinSessionRules(const SharedConnection& connection, const DialectDescription& described) {
        const QString setup = QLatin1String(described.sessionSetup);
        if (!described.strings.pinnedValue) {
            ExecuteOwn(*connection, setup);
            return;
        }
        const QString parameter = QLatin1String(described.strings.pinnedBy);
        const QString wanted = QLatin1String(described.strings.pinnedValue);
        std::optional<QString> now;
        try {
            ExecuteOwn(*connection, setup);
            now = OpenCursor(connection, QStringLiteral("SHOW ") + parameter, true)->value(0);
        } catch (const Error& error) {
            throw Error::StringRulesNotPinned(parameter, wanted, now.value_or(QString()), error.Description());
        }
        if (now != wanted) throw Error::StringRulesNotPinned(parameter, wanted, now.value_or(QString()), QString());
    }

    SharedConnection connection_;
    Dialect dialect_;
    bool driverListsForeignKeys_ = true;
};

}  // namespace

std::unique_ptr<Connection> CreateOdbcConnection() { return std::make_unique<OdbcSession>(); }

QString OdbcDriverFacts(const QString& target) {
    SQLHENV raw = SQL_NULL_HANDLE;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &raw))) return QString();
    const EnvironmentHandle environment(raw);
    SQLSetEnvAttr(raw, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);

    QString driver;
    if (target.contains(QLatin1Char('='))) {
        driver = ConnectionStringValue(target, QStringLiteral("DRIVER")).value_or(QString());
        if (driver.isEmpty()) {
            const QString source = ConnectionStringValue(target, QStringLiteral("DSN")).value_or(QString());
            return source.isEmpty() ? QString() : OdbcDriverFacts(source);
        }
    } else {
        const auto source = FindDataSource(raw, target);
        if (!source) return QString();
        driver = source->other;
    }
    QString facts = driver;
    const auto entry = FindDriver(raw, [&driver](const QString& name) {
        return name.compare(driver, Qt::CaseInsensitive) == 0;
    });
    // The attributes come as "KEY=VALUE" entries, each ended by a null character.
    if (entry) facts += QLatin1Char(';') + QString(entry->other).replace(QChar(0), QLatin1Char(';'));
    return facts;
}

}  // namespace velkin
