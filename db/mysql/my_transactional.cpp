#include "db/mysql/my_transactional.h"

#include "db/dialect.h"
#include "db/error.h"

namespace velkin {

namespace {
// The server's own number for "some non-transactional tables couldn't be rolled back".
constexpr int32_t kNotTransactional = 1196;
}  // namespace

QString MySqlBaseTableProbe(const QString& table) { return QStringLiteral("SELECT * FROM ") + table + QStringLiteral(" LIMIT 0"); }

void RequireTransactionalTables(const std::vector<MySqlBaseTable>& tables, const QString& shownName,
                                const MySqlTwoColumnQuery& query) {
    std::vector<std::pair<QString, QString>> checked;
    for (const MySqlBaseTable& base : tables) {
        if (base.table.isEmpty()) continue;  // an expression column
        const auto key = std::make_pair(base.schema, base.table);
        if (std::find(checked.begin(), checked.end(), key) != checked.end()) continue;
        checked.push_back(key);
        for (const auto& [engine, transactions] : query(Dialect::mysqlTransactionalQuery(base.schema, base.table))) {
            if (transactions.compare(QLatin1String("YES"), Qt::CaseInsensitive) == 0) continue;
            throw Error(kNotTransactional,
                        QStringLiteral("SQLSTATE HY000: 表 %1 のストレージエンジン %2 はトランザクションに対応していない"
                                       "ため、失敗した行より前の変更を取り消せません。表は変更していません"
                                       "（InnoDB などロールバックできるエンジンの表にしてください）。")
                            .arg(shownName, engine),
                        QStringLiteral("HY000"));
        }
    }
}

std::vector<ReferringKey> MySqlKeysReferringTo(const std::vector<MySqlBaseTable>& tables,
                                               const MySqlTwoColumnQuery& query) {
    std::vector<ReferringKey> keys;
    std::vector<std::pair<QString, QString>> asked;
    for (const MySqlBaseTable& base : tables) {
        if (base.table.isEmpty()) continue;  // an expression column
        const auto key = std::make_pair(base.schema, base.table);
        if (std::find(asked.begin(), asked.end(), key) != asked.end()) continue;
        asked.push_back(key);
        for (auto& [table, rule] : query(Dialect::mysqlReferringKeysQuery(base.schema, base.table)))
            keys.push_back({std::move(table), std::move(rule)});
    }
    return keys;
}

}  // namespace velkin
