#include "db/engine.h"

#include "db/error.h"
#include "db/mysql/my_session.h"
#include "db/odbc/odbc_session.h"
#include "db/postgres/pg_session.h"
#include "db/sqlite/sqlite_session.h"

namespace velkin {

HostIdentifier ParseHost(const QString& host) {
    if (host.isEmpty()) return {EngineKind::SQLite, kDefaultDatabaseFile};
    if (host.startsWith(QStringLiteral("sqlite:"), Qt::CaseInsensitive)) {
        QString path = host.mid(7);
        return {EngineKind::SQLite, path.isEmpty() ? kDefaultDatabaseFile : path};
    }
    if (host.startsWith(QStringLiteral("postgresql://"), Qt::CaseInsensitive) ||
        host.startsWith(QStringLiteral("postgres://"), Qt::CaseInsensitive))
        return {EngineKind::PostgreSQL, host};
    if (host.startsWith(QStringLiteral("mysql://"), Qt::CaseInsensitive) ||
        host.startsWith(QStringLiteral("mariadb://"), Qt::CaseInsensitive))
        return {EngineKind::MySQL, host};
    if (host.startsWith(QStringLiteral("odbc:"), Qt::CaseInsensitive)) return {EngineKind::Odbc, host.mid(5)};
    return {EngineKind::OracleService, host};
}

Dialect DialectForHost(const QString& host) {
    switch (ParseHost(host).kind) {
    case EngineKind::SQLite: return Dialect(DialectKind::SQLite);
    case EngineKind::PostgreSQL: return Dialect(DialectKind::PostgreSQL);
    case EngineKind::MySQL: return Dialect(DialectKind::MySQL);
    case EngineKind::Odbc:
    case EngineKind::OracleService: return Dialect(DialectKind::Oracle);
    }
    return Dialect(DialectKind::Oracle);
}

std::unique_ptr<EngineSession> CreateSession(const QString& host) {
    switch (ParseHost(host).kind) {
    case EngineKind::SQLite: return CreateSqliteSession();
    case EngineKind::PostgreSQL: return CreatePostgresSession();
    case EngineKind::MySQL: return CreateMySqlSession();
    case EngineKind::Odbc:
    case EngineKind::OracleService: return CreateOdbcSession();
    }
    throw Error::CannotCreateObject(QString());
}

Dialect ConnectedDialectForHost(const QString& host, const QString& connect) {
    const EngineKind kind = ParseHost(host).kind;
    if (kind != EngineKind::Odbc && kind != EngineKind::OracleService) return DialectForHost(host);
    try {
        const std::unique_ptr<EngineSession> session = CreateSession(host);
        session->OpenDatabase(host, connect, kOpenNoWait);
        return session->dialect();
    } catch (const std::exception&) {
        return DialectForHost(host);
    }
}

}  // namespace velkin
