#include "db/dialect.h"
#include "db/engine.h"

#include <gtest/gtest.h>

using namespace velkin;

TEST(Dialect, OracleTextsAreTheOriginalProgramsToTheCharacter) {
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
    EXPECT_EQ(Dialect::fromDbmsName("Microsoft SQL Server").kind(), DialectKind::Standard);
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
    EXPECT_EQ(DialectForHost("odbc:X").kind(), DialectKind::Oracle);
    EXPECT_EQ(DialectForHost("ORCL").kind(), DialectKind::Oracle);
}
