#pragma once
// The replace's statements sent to a PostgreSQL server in libpq's pipeline
// mode (see pg_statement_stream.cpp).

#include "db/postgres/pg_connection.h"
#include "db/session.h"

#include <memory>

namespace velkin::pg {

std::unique_ptr<StatementStream> OpenPipeline(std::shared_ptr<PgConnection> connection, StatementDone done);

}  // namespace velkin::pg
