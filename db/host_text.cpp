#include "db/host_text.h"

#include <QDir>
#include <QStringList>

namespace velkin {

QString WithoutEndSpaces(const QString& text) {
    qsizetype first = 0, last = text.size();
    while (first < last && text[first] == QLatin1Char(' ')) ++first;
    while (last > first && text[last - 1] == QLatin1Char(' ')) --last;
    return text.mid(first, last - first);
}

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

namespace {

// "scheme://[user[:password]@]hosts[/path][?options]" without the login and the options.
QString UriLabel(const QString& uri) {
    const qsizetype authority = uri.indexOf(QStringLiteral("://")) + 3;
    qsizetype end = uri.indexOf(QLatin1Char('?'), authority);
    if (end < 0) end = uri.size();
    // A password may itself hold "@" or "/": the last "@" before the options
    // ends the login, so no part of it can be shown.
    const qsizetype at = uri.lastIndexOf(QLatin1Char('@'), end - 1);
    const qsizetype hostStart = at >= authority ? at + 1 : authority;
    return uri.left(authority) + uri.mid(hostStart, end - hostStart);
}

// An ODBC connection string's data source, driver, server, port and database;
// nothing else, since any other key may be a login.
QString OdbcLabel(const QString& target) {
    if (!target.contains(QLatin1Char('='))) return QStringLiteral("odbc:") + target;
    static const QStringList kShown = {QStringLiteral("DSN"),  QStringLiteral("DRIVER"),   QStringLiteral("SERVER"),
                                       QStringLiteral("HOST"), QStringLiteral("PORT"),     QStringLiteral("DATABASE"),
                                       QStringLiteral("DB"),   QStringLiteral("DBQ"),      QStringLiteral("SERVERNAME")};
    QStringList kept;
    qsizetype pos = 0;
    while (pos < target.size()) {
        const qsizetype equals = target.indexOf(QLatin1Char('='), pos);
        if (equals < 0) break;
        const QString key = target.mid(pos, equals - pos).trimmed();
        qsizetype end = equals + 1;
        // A braced value may hold ";".
        if (end < target.size() && target.at(end) == QLatin1Char('{')) {
            const qsizetype close = target.indexOf(QLatin1Char('}'), end);
            end = close < 0 ? target.size() : close + 1;
        }
        const qsizetype semicolon = target.indexOf(QLatin1Char(';'), end);
        end = semicolon < 0 ? target.size() : semicolon;
        if (kShown.contains(key.toUpper())) kept.push_back(target.mid(pos, end - pos).trimmed());
        pos = end + 1;
    }
    return QStringLiteral("odbc:") + kept.join(QLatin1Char(';'));
}

}  // namespace

QString DatabaseLabel(const QString& host) {
    const HostIdentifier id = ParseHost(host);
    switch (id.kind) {
    case EngineKind::SQLite: return host.isEmpty() ? kDefaultDatabaseFile : QStringLiteral("sqlite:") + id.target;
    case EngineKind::PostgreSQL:
    case EngineKind::MySQL: return UriLabel(host);
    case EngineKind::Odbc: return OdbcLabel(id.target);
    case EngineKind::OracleService: {
        // "user/password@service" is a login, not a service name.
        const qsizetype at = host.lastIndexOf(QLatin1Char('@'));
        return at < 0 ? host : host.mid(at + 1);
    }
    }
    return QString();
}

namespace {

// Whether two host box texts open the same database: the same engine and the
// same target; a file by its path as written, cleaned of "." and "..".
bool SameDatabase(const QString& a, const QString& b) {
    const HostIdentifier first = ParseHost(WithoutEndSpaces(a)), second = ParseHost(WithoutEndSpaces(b));
    if (first.kind != second.kind) return false;
    if (first.kind == EngineKind::SQLite) return QDir::cleanPath(first.target) == QDir::cleanPath(second.target);
    return first.target == second.target;
}

QString AsciiFolded(const QString& text, bool upper) {
    QString folded = text;
    for (QChar& ch : folded) {
        const char16_t c = ch.unicode();
        if (upper && c >= u'a' && c <= u'z') ch = QChar(c - u'a' + u'A');
        if (!upper && c >= u'A' && c <= u'Z') ch = QChar(c - u'A' + u'a');
    }
    return folded;
}

// A part of a table name as the database looks it up under `matching`.
QString LookedUp(const NamePart& part, NameMatching matching) {
    switch (matching) {
    case NameMatching::FoldsUnquotedToUpper: return part.quoted ? part.text : part.text.toUpper();
    case NameMatching::FoldsUnquotedToLower: return part.quoted ? part.text : AsciiFolded(part.text, false);
    case NameMatching::AsciiCaseBlind: return AsciiFolded(part.text, false);
    case NameMatching::Exact:
    case NameMatching::Unknown: return part.text;
    }
    return part.text;
}

bool SameTableName(const QString& a, const QString& b, NameMatching matching) {
    if (a == b) return true;
    const QString first = WithoutEndSpaces(a), second = WithoutEndSpaces(b);
    if (matching == NameMatching::Unknown || !IsPlainTableName(first) || !IsPlainTableName(second)) return false;
    const std::vector<NamePart> firstParts = SplitTableName(first), secondParts = SplitTableName(second);
    if (firstParts.size() != secondParts.size()) return false;
    for (size_t i = 0; i < firstParts.size(); ++i)
        if (LookedUp(firstParts[i], matching) != LookedUp(secondParts[i], matching)) return false;
    return true;
}

}  // namespace

bool SameTable(const TableInDatabase& a, const TableInDatabase& b, const Dialect& dialect) {
    return SameDatabase(a.host, b.host) && SameTableName(a.table, b.table, dialect.nameMatching());
}

Dialect DialectForHost(const QString& host, const std::function<QString(const QString& target)>& driverFacts) {
    const HostIdentifier id = ParseHost(host);
    switch (id.kind) {
    case EngineKind::SQLite: return Dialect(DialectKind::SQLite);
    case EngineKind::PostgreSQL: return Dialect(DialectKind::PostgreSQL);
    case EngineKind::MySQL: return Dialect(DialectKind::MySQL);
    case EngineKind::Odbc:
    case EngineKind::OracleService: return Dialect::fromDriverFacts(driverFacts(id.target));
    }
    return Dialect(DialectKind::Oracle);
}

}  // namespace velkin
