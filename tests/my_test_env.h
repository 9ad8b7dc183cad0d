#pragma once
// The MariaDB test server and its admin session: see tests/test_databases.h,
// where every test database is described.
#include "tests/test_databases.h"
