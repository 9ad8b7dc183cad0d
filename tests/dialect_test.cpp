#include "db/dialect.h"
#include "db/engine.h"
#include "db/postgres/pg_session.h"
#include "db/server_fault.h"

#include <QStringList>
#include <string_view>
#include <gtest/gtest.h>

using namespace velkin;

TEST(Dialect, OracleTextsAreFixedToTheCharacter) {
    const Dialect oracle(DialectKind::Oracle);
    EXPECT_EQ(oracle.discoveryQuery("SELECT * FROM EMP"), "SELECT * FROM EMP WHERE ROWNUM < 2 ");
    EXPECT_EQ(oracle.deleteAll("EMP"), "DELETE EMP");
    EXPECT_EQ(oracle.tableListQuery(),
              "SELECT TABLE_NAME,COMMENTS FROM USER_TAB_COMMENTS \r\nORDER BY TABLE_NAME");
}

TEST(Dialect, OtherEnginesUseTheirOwnForms) {
    for (auto kind : {DialectKind::SQLite, DialectKind::PostgreSQL}) {
        const Dialect d(kind);
        EXPECT_EQ(d.discoveryQuery("SELECT * FROM t"), "SELECT * FROM t LIMIT 1");
        EXPECT_EQ(d.deleteAll("t"), "DELETE FROM t");
        EXPECT_TRUE(d.tableListQuery().contains("TABLE_NAME"));
        EXPECT_TRUE(d.tableListQuery().contains("COMMENTS"));
    }
    const Dialect standard(DialectKind::Standard);
    EXPECT_EQ(standard.discoveryQuery("SELECT * FROM t"), "SELECT * FROM t FETCH FIRST 1 ROWS ONLY");
    EXPECT_EQ(standard.deleteAll("t"), "DELETE FROM t");
}

TEST(Dialect, ChosenFromTheDbmsNameAnOdbcDriverReports) {
    EXPECT_EQ(Dialect::fromDbmsName("Oracle").kind(), DialectKind::Oracle);
    EXPECT_EQ(Dialect::fromDbmsName("PostgreSQL").kind(), DialectKind::PostgreSQL);
    EXPECT_EQ(Dialect::fromDbmsName("SQLite").kind(), DialectKind::SQLite);
    EXPECT_EQ(Dialect::fromDbmsName("MySQL").kind(), DialectKind::MySQL);
    EXPECT_EQ(Dialect::fromDbmsName("MariaDB").kind(), DialectKind::MySQL);
    EXPECT_EQ(Dialect::fromDbmsName("Microsoft SQL Server").kind(), DialectKind::SqlServer);
    EXPECT_EQ(Dialect::fromDbmsName("DB2/LINUXX8664").kind(), DialectKind::Standard);
}

// The table list's text, from what odbcinst.ini says of a driver: its name, else its library.
TEST(Dialect, ChosenFromTheDriverTheConfigurationNames) {
    const std::pair<const char*, DialectKind> cases[] = {
        {"MariaDB Unicode;Driver=libmaodbc.so", DialectKind::MySQL},
        {"MySQL ODBC 8.0 Unicode Driver", DialectKind::MySQL},
        {"Reporting;Driver=/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so", DialectKind::PostgreSQL},
        {"SQLite3;Driver=libsqlite3odbc.so", DialectKind::SQLite},
        {"ODBC Driver 18 for SQL Server", DialectKind::SqlServer},
        {"FreeTDS;Driver=libtdsodbc.so", DialectKind::SqlServer},
        {"Oracle 21 ODBC driver;Driver=libsqora.so.21.1", DialectKind::Oracle},
        {"Acme Warehouse;Driver=libacme.so", DialectKind::Oracle},
        {"", DialectKind::Oracle},
    };
    for (const auto& [facts, kind] : cases) EXPECT_EQ(Dialect::fromDriverFacts(facts).kind(), kind) << facts;
    EXPECT_EQ(Dialect::fromDriverFacts("SQLite3").dateLiteralForm(), DateLiteralForm::IsoText);
}

// SQL Server cannot run here: its texts are checked as written.
TEST(Dialect, SqlServerTexts) {
    const Dialect d(DialectKind::SqlServer);
    EXPECT_EQ(d.discoveryQuery("SELECT * FROM EMP"), "SELECT TOP 1 * FROM EMP");
    EXPECT_EQ(d.discoveryQuery("select * from EMP"), "SELECT TOP 1 * from EMP");
    EXPECT_EQ(d.discoveryQuery("WITH x AS (SELECT 1 a) SELECT * FROM x"),
              "WITH x AS (SELECT 1 a) SELECT * FROM x ORDER BY (SELECT NULL) OFFSET 0 ROWS FETCH NEXT 1 ROWS ONLY");
    EXPECT_EQ(d.deleteAll("EMP"), "DELETE FROM EMP");
    EXPECT_EQ(d.dateLiteralForm(), DateLiteralForm::CompactText);
    EXPECT_EQ(d.tableListQuery(),
              "SELECT o.name AS TABLE_NAME, CAST(p.value AS NVARCHAR(4000)) AS COMMENTS "
              "FROM sys.objects o LEFT JOIN sys.extended_properties p ON p.class = 1 AND p.major_id = o.object_id "
              "AND p.minor_id = 0 AND p.name = N'MS_Description' "
              "WHERE o.type IN ('U','V') AND o.is_ms_shipped = 0 AND o.schema_id = SCHEMA_ID() \r\nORDER BY TABLE_NAME");
    EXPECT_EQ(Dialect::sqlServerNoLockWait(), "SET LOCK_TIMEOUT 0");
}

// The MySQL texts run against the test server too (my_engine_test); here the
// quoting of names in the storage-engine query.
TEST(Dialect, MySqlTexts) {
    const Dialect d(DialectKind::MySQL);
    EXPECT_EQ(d.discoveryQuery("SELECT * FROM t"), "SELECT * FROM t LIMIT 1");
    EXPECT_EQ(d.deleteAll("t"), "DELETE FROM t");
    EXPECT_EQ(d.dateLiteralForm(), DateLiteralForm::StandardDate);
    EXPECT_TRUE(d.tableListQuery().contains("TABLE_SCHEMA = DATABASE()"));
    EXPECT_TRUE(d.tableListQuery().contains("TABLE_COMMENT"));
    EXPECT_TRUE(Dialect::mysqlTransactionalQuery("d", "it's").endsWith("t.TABLE_SCHEMA = 'd' AND t.TABLE_NAME = 'it''s'"));
}

// The other engines' queries run against the test servers; here how names
// reach them, and SQL Server's text as written.
TEST(Dialect, ReferringKeysQueriesTakeTheNamesAsLiterals) {
    EXPECT_EQ(Dialect::sqlServerReferringKeysQuery("dbo.[it's]"),
              "SELECT CASE WHEN o.schema_id = SCHEMA_ID() THEN o.name ELSE s.name + N'.' + o.name END, "
              "REPLACE(k.delete_referential_action_desc, N'_', N' ') "
              "FROM sys.foreign_keys k JOIN sys.objects o ON o.object_id = k.parent_object_id "
              "JOIN sys.schemas s ON s.schema_id = o.schema_id "
              "WHERE k.referenced_object_id = OBJECT_ID(N'dbo.[it''s]') AND k.parent_object_id <> k.referenced_object_id "
              "ORDER BY 1, 2");
    EXPECT_TRUE(Dialect::postgresReferringKeysQuery(Dialect::sqlStringLiteral("s.\"it's\"")).contains("to_regclass('s.\"it''s\"')"));
    EXPECT_TRUE(Dialect::mysqlReferringKeysQuery("d", "it's")
                    .contains("WHERE UNIQUE_CONSTRAINT_SCHEMA = 'd' AND REFERENCED_TABLE_NAME = 'it''s' "));
    const QString lite = Dialect::sqliteReferringKeysQuery("my \"db\"", "it's");
    EXPECT_TRUE(lite.contains("FROM \"my \"\"db\"\"\".sqlite_master AS m JOIN pragma_foreign_key_list(m.name, 'my \"db\"')"));
    EXPECT_TRUE(lite.contains("f.\"table\" = 'it''s' COLLATE NOCASE")) << lite.toStdString();
}

// What the name is, asked of the catalogue by the name as typed; a database
// whose catalogue the program does not know has no query (SQLTables answers).
TEST(Dialect, OverreachQueriesTakeTheNameAsTyped) {
    EXPECT_TRUE(Dialect(DialectKind::MySQL).overreachQuery("d.\"it's\"").contains("TABLE_SCHEMA = 'd' AND TABLE_NAME = 'it''s'"));
    EXPECT_TRUE(Dialect(DialectKind::MySQL).overreachQuery("`v`").contains("TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'v'"));
    EXPECT_TRUE(Dialect(DialectKind::PostgreSQL).overreachQuery("s.\"it's\"").contains("to_regclass('s.\"it''s\"')"));
    EXPECT_TRUE(Dialect(DialectKind::SQLite).overreachQuery("[v]").contains("FROM \"main\".sqlite_master WHERE type = 'view' AND name = 'v'"));
    for (DialectKind other : {DialectKind::Oracle, DialectKind::SqlServer, DialectKind::Standard})
        EXPECT_EQ(Dialect(other).overreachQuery("v"), "");
}

// Every description says every statement the program writes, and the
// session setup pins whatever its literal rules rely on.
TEST(Dialect, EveryDescriptionIsComplete) {
    const auto said = [](const char* text) { return text && *text; };
    for (DialectKind kind : kDialectKinds) {
        const DialectDescription& d = Describe(kind);
        SCOPED_TRACE(d.name);
        EXPECT_EQ(d.kind, kind);
        for (const char* text : {d.name, d.firstRowSuffix, d.deleteAllPrefix, d.selectAllPrefix, d.tableList,
                                 d.binary.prefix})
            EXPECT_TRUE(said(text)) << "a text every dialect has";
        for (const QuotedDateForm& form : {d.dateTime, d.dateTimeWithFraction})
            EXPECT_TRUE(form.prefix && form.suffix);
        EXPECT_EQ(d.replaceLock.before == nullptr, d.replaceLock.after == nullptr);
        EXPECT_TRUE(d.replaceLock.snapshotAfter);
        EXPECT_TRUE(QLatin1String(d.strings.doubled).contains('\'')) << "the apostrophe ends a text everywhere";
        EXPECT_EQ(d.transactional == nullptr, d.baseTableReferringKeys == nullptr) << "both ask by base table";
        for (const char* setting : {d.strings.pinnedBy, d.identifierQuotePinnedBy}) {
            if (!setting) continue;
            ASSERT_TRUE(said(d.sessionSetup)) << setting;
            EXPECT_TRUE(QLatin1String(d.sessionSetup).contains(QLatin1String(setting))) << setting;
        }
        if (d.strings.pinnedValue) EXPECT_TRUE(said(d.strings.pinnedBy));
        for (const char* statement : {d.sessionSetup, d.noLockWait, d.lockingIsolation})
            if (statement) EXPECT_TRUE(std::string_view(statement).starts_with("SET ")) << statement;
    }
    EXPECT_EQ(Describe(DialectKind::PostgreSQL).noLockWait,
              QStringLiteral("SET lock_timeout = '%1'").arg(kNoWaitLockTimeout)) << "as the native engine waits";
}

TEST(Dialect, TableNamesSplitIntoUnquotedParts) {
    const auto parts = [](const QString& typed) {
        QStringList out;
        for (const NamePart& p : SplitTableName(typed)) out << (p.quoted ? "[" + p.text + "]" : p.text);
        return out.join('|');
    };
    EXPECT_EQ(parts("emp"), "emp");
    EXPECT_EQ(parts(" main . Emp "), "main|Emp");
    EXPECT_EQ(parts("\"My \"\"S\"\"\".[t.x]"), "[My \"S\"]|[t.x]");
    EXPECT_EQ(parts("c.`s`.t"), "c|[s]|t");
}

TEST(HostIdentifier, ChoosesTheEngineFromTheHostText) {
    struct Case { const char* host; EngineKind kind; const char* target; };
    const Case cases[] = {
        {"", EngineKind::SQLite, "Velkin.db"},
        {"sqlite:demo/demo.db", EngineKind::SQLite, "demo/demo.db"},
        {"SQLITE:/tmp/a b.db", EngineKind::SQLite, "/tmp/a b.db"},
        {"postgresql://localhost:5432/db", EngineKind::PostgreSQL, "postgresql://localhost:5432/db"},
        {"postgres://h/db", EngineKind::PostgreSQL, "postgres://h/db"},
        {"odbc:MyDsn", EngineKind::Odbc, "MyDsn"},
        {"odbc:DRIVER={SQLite3};DATABASE=x.db", EngineKind::Odbc, "DRIVER={SQLite3};DATABASE=x.db"},
        {"mysql://127.0.0.1:3306/v", EngineKind::MySQL, "mysql://127.0.0.1:3306/v"},
        {"MariaDB:///v?socket=/run/s", EngineKind::MySQL, "MariaDB:///v?socket=/run/s"},
        {"ORCL", EngineKind::OracleService, "ORCL"},
        {"sqlitefoo", EngineKind::OracleService, "sqlitefoo"},
    };
    for (const Case& c : cases) {
        const HostIdentifier id = ParseHost(QString::fromUtf8(c.host));
        EXPECT_EQ(id.kind, c.kind) << c.host;
        EXPECT_EQ(id.target, QString::fromUtf8(c.target)) << c.host;
    }
    EXPECT_EQ(DialectForHost("").kind(), DialectKind::SQLite);
    EXPECT_EQ(DialectForHost("postgresql://x/y").kind(), DialectKind::PostgreSQL);
    EXPECT_EQ(DialectForHost("mysql://h/v").kind(), DialectKind::MySQL);
    EXPECT_EQ(DialectForHost("odbc:X").kind(), DialectKind::Oracle);
    EXPECT_EQ(DialectForHost("odbc:DRIVER={FreeTDS};SERVER=h").kind(), DialectKind::SqlServer);
    EXPECT_EQ(DialectForHost("odbc:Driver=/opt/x/libmyodbc8w.so;Server=h").kind(), DialectKind::MySQL);
    EXPECT_EQ(DialectForHost("ORCL").kind(), DialectKind::Oracle);
}

// The database as a question or a folder names it: never a login, whatever the host box holds.
TEST(DatabaseLabel, NamesEngineHostPortAndDatabaseAndNoLogin) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "Velkin.db"},
        {"sqlite:data/stock.db", "sqlite:data/stock.db"},
        {"postgresql://db1:5432/sales", "postgresql://db1:5432/sales"},
        {"postgresql://u:se@cr/et@db1/sales?password=x&sslmode=require", "postgresql://db1/sales"},
        {"postgres://u@h1,h2:5433/d", "postgres://h1,h2:5433/d"},
        {"mysql://root:pw@127.0.0.1:3307/shop?ssl=1", "mysql://127.0.0.1:3307/shop"},
        {"mariadb:///local", "mariadb:///local"},
        {"odbc:sales_dsn", "odbc:sales_dsn"},
        {"odbc:DRIVER={MariaDB Unicode};SERVER=h;UID=u;PWD={p;w};DATABASE=d", "odbc:DRIVER={MariaDB Unicode};SERVER=h;DATABASE=d"},
        {"scott/tiger@ORCL", "ORCL"},
    };
    for (const auto& [host, label] : cases) EXPECT_EQ(DatabaseLabel(host), label) << host;
}

// The Update locks its table before the snapshot, without waiting: a
// locking snapshot on MySQL, a lock statement elsewhere.
TEST(Dialect, TheUpdatesLockIsEachDatabasesOwn) {
    const ReplaceLock pg = Dialect(DialectKind::PostgreSQL).replaceLock("s.t");
    EXPECT_EQ(pg.statement, "LOCK TABLE s.t IN EXCLUSIVE MODE NOWAIT");
    EXPECT_EQ(pg.snapshotQuery, "SELECT * FROM s.t");
    EXPECT_FALSE(pg.snapshotLocks);
    EXPECT_EQ(Dialect(DialectKind::Oracle).replaceLock("EMP").statement, "LOCK TABLE EMP IN EXCLUSIVE MODE NOWAIT");
    const ReplaceLock my = Dialect(DialectKind::MySQL).replaceLock("t");
    EXPECT_EQ(my.snapshotQuery, "SELECT * FROM t FOR UPDATE");
    EXPECT_EQ(my.statement, "SELECT COUNT(*) FROM t FOR UPDATE") << "without a snapshot";
    EXPECT_TRUE(my.snapshotLocks);
    EXPECT_EQ(Dialect(DialectKind::SQLite).replaceLock("t").statement, "DELETE FROM t WHERE 0 = 1");
    EXPECT_TRUE(Dialect(DialectKind::Standard).replaceLock("t").statement.isEmpty());
}

// What a failure means for the Update, from the numbers and SQLSTATEs each
// engine gives, and the line the report adds under the server's own.
TEST(ServerFault, ToldApartByNumberAndStateWithTheirLines) {
    struct Case {
        Error error;
        ServerFault fault;
        const char* line;  // a piece of the added line; nullptr: none added
    };
    const Case cases[] = {
        {Error(1213, "Deadlock found when trying to get lock", "40001"), ServerFault::Conflict, "競合"},
        {Error(1213, "WSREP detected deadlock/conflict", "40001"), ServerFault::Conflict, "この行に誤りがあったわけではありません"},
        {Error(12345, "deadlock detected", "40P01"), ServerFault::Conflict, "競合"},
        {Error(1205, "Lock wait timeout exceeded", "HY000"), ServerFault::LockBusy, "他の接続がこのテーブルを更新中"},
        {Error(67890, "could not obtain lock", "55P03"), ServerFault::LockBusy, "しばらくしてから"},
        {Error(5, "database is locked"), ServerFault::LockBusy, "更新中"},
        {Error(517, "database is locked"), ServerFault::LockBusy, "更新中"},  // SQLITE_BUSY_SNAPSHOT
        {Error(1927, "Connection was killed", "70100"), ServerFault::SessionEnded, "接続が切れた"},
        {Error(2013, "Lost connection to server during query", "HY000"), ServerFault::SessionEnded, "接続が切れた"},
        {Error(1, "terminating connection due to administrator command", "57P01"), ServerFault::SessionEnded, "接続"},
        {Error(1180, "wsrep_max_ws_rows exceeded", "HY000"), ServerFault::WriteSetLimit, "wsrep_max_ws_rows"},
        {Error(1180, "Got error 1 during COMMIT", "HY000"), ServerFault::None, nullptr},
        {Error(1062, "Duplicate entry '4559' for key 'PRIMARY'", "23000"), ServerFault::None, nullptr},
        {Error(19, "UNIQUE constraint failed"), ServerFault::None, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error.Description().toStdString());
        EXPECT_EQ(ServerFaultOf(c.error), c.fault);
        const Error shown = ExplainUpdateFailure(c.error, false);
        EXPECT_EQ(shown.Number(), c.error.Number());
        EXPECT_TRUE(shown.Description().startsWith(c.error.Description())) << "the server's first line stays first";
        if (c.line) EXPECT_TRUE(shown.Description().contains(QString::fromUtf8(c.line))) << shown.what();
        else EXPECT_EQ(shown.Description(), c.error.Description());
    }
    // The connection lost while the COMMIT was under way: nobody can tell what became of it.
    const Error lost = ExplainUpdateFailure(Error(2013, "Lost connection", "HY000"), true);
    EXPECT_TRUE(lost.Description().contains(QStringLiteral("確定したかどうかは分かりません"))) << lost.what();
    // A conflict at the COMMIT is still a rollback the server made.
    EXPECT_TRUE(ExplainUpdateFailure(Error(1213, "Deadlock", "40001"), true).Description().contains(QStringLiteral("競合")));
}

// Whether the boxes still name the table that was read: the hosts as a
// connection takes them, the names as each database matches names. The
// answer is the same either way round.
TEST(SameTable, HostsAsConnectedAndNamesAsTheDatabaseMatchesThem) {
    const char* pg = "postgresql://db1/sales";
    const char* my = "mysql://db1/shop";
    struct Case { const char* hostA; const char* tableA; const char* hostB; const char* tableB; DialectKind kind; bool same; };
    const Case cases[] = {
        {" ", "EMP", "", "EMP", DialectKind::SQLite, true},
        {"", "EMP", "sqlite:./Velkin.db", "EMP", DialectKind::SQLite, true},
        {"sqlite:a.db", "EMP", "sqlite:b.db", "EMP", DialectKind::SQLite, false},
        {"", "emp", "", " EMP", DialectKind::SQLite, true},
        {"", "\"emp\"", "", "main.EMP", DialectKind::SQLite, false},
        {"", "\"emp\"", "", "EMP", DialectKind::SQLite, true},
        {"", "EMP", "", "EMP2", DialectKind::SQLite, false},
        {"", "EMP e", "", "EMPe", DialectKind::SQLite, false},
        {pg, "emp", pg, "EMP", DialectKind::PostgreSQL, true},
        {pg, "\"emp\"", pg, "Emp", DialectKind::PostgreSQL, true},
        {pg, "\"EMP\"", pg, "EMP", DialectKind::PostgreSQL, false},
        {pg, "S.Emp", pg, "s.\"emp\"", DialectKind::PostgreSQL, true},
        {pg, "emp", "postgresql://db1/sales2", "emp", DialectKind::PostgreSQL, false},
        {"ORCL", "emp", " ORCL", "\"EMP\"", DialectKind::Oracle, true},
        {"ORCL", "\"emp\"", "ORCL", "EMP", DialectKind::Oracle, false},
        {my, "emp", my, "EMP", DialectKind::MySQL, false},
        {my, "`emp`", my, "emp", DialectKind::MySQL, true},
        {"odbc:mssql", "emp", "odbc:mssql", "EMP", DialectKind::SqlServer, false},
        {"odbc:mssql", "dbo.emp", "odbc:mssql", "dbo.emp", DialectKind::SqlServer, true},
    };
    for (const Case& c : cases) {
        const TableInDatabase a{c.hostA, c.tableA}, b{c.hostB, c.tableB};
        const Dialect dialect(c.kind);
        EXPECT_EQ(SameTable(a, b, dialect), c.same) << c.hostA << " " << c.tableA << " / " << c.hostB << " " << c.tableB;
        EXPECT_EQ(SameTable(b, a, dialect), c.same) << c.hostB << " " << c.tableB << " / " << c.hostA << " " << c.tableA;
    }
}
