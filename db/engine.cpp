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
        int64_t rows = 0;
        try {
            rows = connection_.execute(sql);
        } catch (const Error& error) {
            // A command stopped while it waited was not refused by the database.
            if (error.isStop()) throw;
            throw StatementRefused(tag, error);
        }
        if (done_) done_(tag, rows);
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

Dialect DialectForHost(const QString& host) { return DialectForHost(host, OdbcDriverFacts); }

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
