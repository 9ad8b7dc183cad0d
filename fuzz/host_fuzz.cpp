// Host identifier parsing: any text names exactly one engine, the prefix
// decides which, and the dialect follows the engine.

#include "db/host_text.h"
#include "fuzz_support.h"

#include <cstdint>

using namespace velkin;
using velkin::fuzz::Check;
using velkin::fuzz::Visible;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString host = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const HostIdentifier id = ParseHost(host);
    const auto starts = [&](const char* prefix) { return host.startsWith(QLatin1String(prefix), Qt::CaseInsensitive); };

    switch (id.kind) {
    case EngineKind::SQLite:
        Check(host.isEmpty() || starts("sqlite:"), "SQLite only for an empty host or sqlite:", Visible(host));
        Check(!id.target.isEmpty(), "a SQLite host always names a file", Visible(host));
        Check(host.size() <= 7 ? id.target == kDefaultDatabaseFile : id.target == host.mid(7), "the file is the rest",
              Visible(host));
        break;
    case EngineKind::PostgreSQL:
        Check(starts("postgresql://") || starts("postgres://"), "PostgreSQL only for its URIs", Visible(host));
        Check(id.target == host, "the URI goes to libpq unchanged", Visible(host));
        break;
    case EngineKind::MySQL:
        Check(starts("mysql://") || starts("mariadb://"), "MySQL only for its addresses", Visible(host));
        Check(id.target == host, "the address goes to the engine unchanged", Visible(host));
        break;
    case EngineKind::Odbc:
        Check(starts("odbc:"), "ODBC only for odbc:", Visible(host));
        Check(id.target == host.mid(5), "the ODBC target is the rest", Visible(host));
        break;
    case EngineKind::OracleService:
        Check(!host.isEmpty() && !starts("sqlite:") && !starts("postgresql://") && !starts("postgres://") &&
                  !starts("odbc:") && !starts("mysql://") && !starts("mariadb://"),
              "a service name is what no prefix claims", Visible(host));
        Check(id.target == host, "the service name is taken as typed", Visible(host));
        break;
    default:
        velkin::fuzz::Fail("an engine kind out of range", Visible(host));
    }

    // No driver configured: an ODBC target or a service name is Oracle.
    const DialectKind dialect = DialectForHost(host, [](const QString&) { return QString(); }).kind();
    const DialectKind expected = id.kind == EngineKind::SQLite       ? DialectKind::SQLite
                                 : id.kind == EngineKind::PostgreSQL ? DialectKind::PostgreSQL
                                 : id.kind == EngineKind::MySQL      ? DialectKind::MySQL
                                                                     : DialectKind::Oracle;
    Check(dialect == expected, "the dialect follows the engine", Visible(host));
    return 0;
}
