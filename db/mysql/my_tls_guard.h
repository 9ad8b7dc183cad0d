#pragma once
// Who gets the password, and TLS when it is required, for a MySQL or MariaDB
// connection (MySqlRoute in my_address.h says when): set on the connector's
// handle before it connects.

#include "db/error.h"
#include "db/mysql/my_address.h"

#include <mysql.h>

namespace velkin::my {

// What the guard learnt while connecting; it must outlive the connect call.
struct TlsGuard {
    const char* pluginsOverTls = nullptr;  // the methods allowed once TLS is up; nullptr: any
    bool ran = false;
    bool refused = false;  // the server offered no TLS
};

// Sets who gets the password and whether TLS is required, before connecting.
void GuardPassword(MYSQL* mysql, const MySqlRoute& route, TlsGuard& guard);

// A failed connection, said in the program's own words where its own guards
// refused it.
Error ConnectFailure(MYSQL* mysql, const MySqlRoute& route, const TlsGuard& guard);

}  // namespace velkin::my
