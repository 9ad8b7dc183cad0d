#pragma once
// The replace's statements sent to a MySQL or MariaDB server several to a
// round trip (see my_statement_stream.cpp).

#include "db/mysql/my_connection.h"
#include "db/session.h"

#include <memory>

namespace velkin::my {

// A stream for statements that all name the one-identifier table they were
// opened for (IsPlainTableName).
std::unique_ptr<StatementStream> OpenBatches(std::shared_ptr<MyConnection> connection, StatementDone done);

}  // namespace velkin::my
