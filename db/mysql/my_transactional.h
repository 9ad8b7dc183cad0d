#pragma once
// Refusing a replace of a MySQL or MariaDB table whose storage engine cannot
// roll back (MyISAM, Aria, MEMORY, ...): there a refused row would leave the
// table half written, since the rows deleted and inserted before it stay.
// And the foreign keys that refer to such a table. Shared by the native
// engine and by the ODBC engine on such a server.

#include "db/engine.h"

#include <QString>

#include <functional>
#include <utility>
#include <vector>

namespace velkin {

// A table as the server names it: database and table, unquoted.
struct MySqlBaseTable {
    QString schema;
    QString table;
};

// Runs a query and returns the first two columns of its rows as text.
using MySqlTwoColumnQuery = std::function<std::vector<std::pair<QString, QString>>(const QString& sql)>;

// Throws error 1196 naming the table and its storage engine when any of
// `tables` cannot roll back. `shownName` is the name as the user typed it.
void RequireTransactionalTables(const std::vector<MySqlBaseTable>& tables, const QString& shownName,
                                const MySqlTwoColumnQuery& query);

// The foreign keys of other tables that refer to any of `tables` (see
// Connection::KeysReferringTo).
std::vector<ReferringKey> MySqlKeysReferringTo(const std::vector<MySqlBaseTable>& tables,
                                               const MySqlTwoColumnQuery& query);

// The probe whose result columns name the tables behind `table`: no row is read.
QString MySqlBaseTableProbe(const QString& table);

}  // namespace velkin
