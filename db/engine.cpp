#include "db/engine.h"

#include "db/error.h"
#include "db/mysql/my_session.h"
#include "db/odbc/odbc_session.h"
#include "db/postgres/pg_session.h"
#include "db/sqlite/sqlite_session.h"

#include <QDir>
#include <QStringList>

namespace velkin {

namespace {

// "orders (CASCADE), notes (SET NULL)": each table and rule once.
QString Listed(const std::vector<ReferringKey>& keys) {
    QStringList listed;
    for (const ReferringKey& key : keys) {
        const QString item = QStringLiteral("%1 (%2)").arg(key.table, key.rule.toUpper());
        if (!listed.contains(item)) listed << item;
    }
    return listed.join(QStringLiteral(", "));
}

// Each statement runs at once and is done when execute returns.
class ImmediateStream final : public StatementStream {
public:
    ImmediateStream(Connection& connection, StatementDone done) : connection_(connection), done_(std::move(done)) {}
    void Send(const QString& sql, int32_t tag) override {
        try {
            connection_.execute(sql);
        } catch (const Error& error) {
            // A command stopped while it waited was not refused by the database.
            if (error.isStop()) throw;
            throw StatementRefused(tag, error);
        }
        if (done_) done_(tag);
    }
    void Finish() override {}

private:
    Connection& connection_;
    StatementDone done_;
};

}  // namespace

std::unique_ptr<StatementStream> Connection::openStatementStream(const QString& table, StatementDone done) {
    (void)table;
    return std::make_unique<ImmediateStream>(*this, std::move(done));
}

void Connection::requireNoDestructiveReferences(const QString& table) {
    std::vector<ReferringKey> reaching;
    for (ReferringKey& key : keysReferringTo(table)) {
        const QString rule = key.rule.toUpper();
        if (rule == QLatin1String("CASCADE") || rule == QLatin1String("SET NULL") ||
            rule == QLatin1String("SET DEFAULT"))
            reaching.push_back(std::move(key));
    }
    if (reaching.empty()) return;
    throw Error(Error::kDeleteReachesOtherTables,
                QStringLiteral("表 %1 の行を削除すると、外部キーの ON DELETE によって他の表の行も削除または変更されるため、"
                               "表は変更していません: %2")
                    .arg(table, Listed(reaching)));
}

void Connection::RefuseOverreach(const QString& table, const std::vector<std::pair<QString, QString>>& found) {
    if (found.empty()) return;
    QStringList inheriting, rules;
    for (const auto& [kind, name] : found) {
        if (kind == QLatin1String("view"))
            throw Error(Error::kNotAPlainTable,
                        QStringLiteral("ビューや外部テーブルは更新できません（参照先のテーブルを確かめられないため）。"
                                       "テーブルは変更していません。"));
        QStringList& list = kind == QLatin1String("inherits") ? inheriting : rules;
        if (!list.contains(name)) list << name;
    }
    QString why;
    if (!inheriting.isEmpty())
        why += QStringLiteral("表 %1 を継承している表があり（%2）、DELETE はその行も削除して表 %1 に入れ直すため、"
                              "更新できません。")
                   .arg(table, inheriting.join(QStringLiteral(", ")));
    if (!rules.isEmpty())
        why += QStringLiteral("表 %1 には DELETE または INSERT のルールがあり（%2）、他の表を変更しうるため、"
                              "更新できません。")
                   .arg(table, rules.join(QStringLiteral(", ")));
    throw Error(Error::kDeleteReachesOtherTables, why + QStringLiteral("表は変更していません。"));
}

QString Connection::referringTablesNote(const QString& table) {
    try {
        const std::vector<ReferringKey> keys = keysReferringTo(table);
        if (keys.empty()) return QString();
        return QStringLiteral("表 %1 を外部キーで参照している表: %2").arg(table, Listed(keys));
    } catch (const std::exception&) {
        // The report of the refused DELETE stands without the line.
        return QString();
    }
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

QString WithoutEndSpaces(const QString& text) {
    qsizetype first = 0, last = text.size();
    while (first < last && text[first] == QLatin1Char(' ')) ++first;
    while (last > first && text[last - 1] == QLatin1Char(' ')) --last;
    return text.mid(first, last - first);
}

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

Dialect DialectForHost(const QString& host) {
    const HostIdentifier id = ParseHost(host);
    switch (id.kind) {
    case EngineKind::SQLite: return Dialect(DialectKind::SQLite);
    case EngineKind::PostgreSQL: return Dialect(DialectKind::PostgreSQL);
    case EngineKind::MySQL: return Dialect(DialectKind::MySQL);
    case EngineKind::Odbc:
    case EngineKind::OracleService: return Dialect::fromDriverFacts(OdbcDriverFacts(id.target));
    }
    return Dialect(DialectKind::Oracle);
}

std::unique_ptr<Connection> CreateConnection(const QString& host) {
    switch (ParseHost(host).kind) {
    case EngineKind::SQLite: return CreateSqliteConnection();
    case EngineKind::PostgreSQL: return CreatePostgresConnection();
    case EngineKind::MySQL: return CreateMySqlConnection();
    case EngineKind::Odbc:
    case EngineKind::OracleService: return CreateOdbcConnection();
    }
    throw Error::CannotCreateObject(QString());
}

}  // namespace velkin
