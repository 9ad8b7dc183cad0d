#pragma once
// Choosing the engine from the host text, and what an engine adds to the
// session interface: the dialect of the database it opened.

#include "db/dialect.h"
#include "db/server_wait.h"
#include "db/session.h"

#include <QString>
#include <memory>
#include <utility>
#include <vector>

namespace velkin {

enum class EngineKind {
    SQLite,         // "" or "sqlite:PATH"
    PostgreSQL,     // "postgresql://..." or "postgres://..."
    MySQL,          // "mysql://..." or "mariadb://..."
    Odbc,           // "odbc:NAME" or "odbc:KEY=VALUE;..."
    OracleService,  // anything else: an Oracle net service name, reached through ODBC
};

struct HostIdentifier {
    EngineKind kind = EngineKind::SQLite;
    // What the engine opens: the database file path, the libpq URI, the
    // MySQL address (the host text whole), the ODBC
    // data source name or connection string, or the net service name.
    QString target;
};

// The file the embedded engine uses when the host box is empty.
inline const QString kDefaultDatabaseFile = QStringLiteral("Velkin.db");

HostIdentifier ParseHost(const QString& host);

// The database a host text names, as the user may be shown it: engine, host,
// port and database name as the host text gives them ("postgresql://h:5432/db",
// "odbc:DSN=sales", "Velkin.db" for the default). A user name, a password
// and any other option (which may hold one) are left out.
QString DatabaseLabel(const QString& host);

// A table as a command names it: the host box's and the table box's texts as typed.
struct TableInDatabase {
    QString host;
    QString table;
};

// Whether `a` and `b` are one table of one database, told from the texts
// alone, the way `dialect` (the database's) matches names. The hosts are
// taken as a connection takes them, trimmed of the spaces at their ends, and
// must name the same database ("", "sqlite:" and "sqlite:./Velkin.db" are one
// file); the table names must be one identifier each, optionally qualified,
// with parts that match by the dialect's NameMatching. A name that is not
// plain (IsPlainTableName) matches only its own text; under an unknown
// matching, so does every name. An answer of "different" is the cautious one.
bool SameTable(const TableInDatabase& a, const TableInDatabase& b, const Dialect& dialect);

// The dialect a host speaks, learnt without connecting: an ODBC source or
// connection string, or a service name that is a data source, by its driver
// as the driver manager's configuration names it (Dialect::fromDriverFacts);
// a service name that is no data source, or an unknown driver, is Oracle.
Dialect DialectForHost(const QString& host);

// A foreign key of another table that refers to a table, and what deleting a
// referenced row does through it.
struct ReferringKey {
    QString table;  // the referring table, with its schema when that is not the current one
    QString rule;   // ON DELETE: CASCADE, SET NULL, SET DEFAULT, NO ACTION or RESTRICT
};

// How an INSERT is sent that holds, unchanged, a value with exact needs
// (db/session.h ExactNeed): a text before the statement, and texts around the
// literal of each column shown in the session's time zone whose value is not
// itself given in UTC. All empty where the engine needs nothing.
struct NeedsStatement {
    QString prefix;
    QString zoneBefore, zoneAfter;
};

// A session of one engine. Besides the session members it knows the dialect of
// the database it opened (valid after OpenDatabase).
class EngineSession : public OraSession {
public:
    virtual Dialect dialect() const = 0;

    // Where the session waits for its server (db/server_wait.h); set before
    // OpenDatabase, and outliving the session. Without one the session waits
    // as a blocking call would. Wrappers pass it on to the session they wrap.
    virtual void setServerWait(ServerWait* wait) { wait_ = wait; }

    // Throws when the table box's `table` names something whose DELETE
    // reaches beyond its own rows, so that a replace is refused before it
    // deletes anything: a view or a foreign table (Error::kNotAPlainTable),
    // a table that others inherit from or that has a DELETE or INSERT rule
    // (Error::kDeleteReachesOtherTables). Called inside the transaction,
    // before the other checks. Engines that cannot tell accept every table.
    virtual void RequireReplaceableTable(const QString& table) { (void)table; }

    // Throws when changes to `table` could not be rolled back (a MySQL table
    // whose storage engine has no transactions, MyISAM say), so that a replace
    // is refused before it deletes anything. Called inside the transaction.
    // Engines whose tables always roll back accept every table.
    virtual void RequireTransactionalTable(const QString& table) { (void)table; }

    // The foreign keys of other tables that refer to `table` (the table box's
    // text, as the DELETE will use it), from the catalogue of the database.
    // A table's keys to itself are left out: the rows they reach are the
    // table's own, which a replace deletes anyway. Throws when the catalogue
    // cannot be read. Engines that cannot tell answer none.
    virtual std::vector<ReferringKey> KeysReferringTo(const QString& table) {
        (void)table;
        return {};
    }
    // False when KeysReferringTo cannot see the database's keys and answers
    // none for want of a catalogue (an ODBC driver without SQLForeignKeys).
    // Valid after OpenDatabase; asks the server nothing.
    virtual bool ListsReferringKeys() const { return true; }

    // Whether the transaction BeginTrans began is still the one open, asked
    // when a statement of it failed: a server that aborted it between two
    // statements without a word (MariaDB) lets the next ones run in a
    // transaction of their own, where they fail for reasons of their own (a
    // key of a row the abort brought back). May undo the transaction's work;
    // the caller rolls back next. Engines that cannot lose it so answer true.
    virtual bool HoldsTransaction() { return true; }

    // Throws error Error::kDeleteReachesOtherTables, naming the tables and
    // their rules, when deleting the rows of `table` would delete or change
    // rows of other tables (ON DELETE CASCADE, SET NULL, SET DEFAULT): a
    // replace must change no table but its own. Called inside the replace's
    // transaction, before the DELETE.
    void RequireNoDestructiveReferences(const QString& table);

    // The statement form for values with the ExactNeed bits `needs`, asked
    // inside the replace's transaction. Throws when the server cannot be asked.
    virtual NeedsStatement StatementForNeeds(uint8_t needs) {
        (void)needs;
        return {};
    }

    // A line for the report of a refused DELETE of `table`, naming the tables
    // whose keys refer to it, or empty when there are none or the catalogue
    // cannot be read. Never throws. On PostgreSQL a failed statement leaves
    // the transaction unable to run any other, so call it after the rollback.
    QString ReferringTablesNote(const QString& table);

protected:
    // Throws for what an overreach query (Dialect::overreachQuery) found for
    // `table`: rows of a kind word and a name. No rows: returns.
    static void RefuseOverreach(const QString& table, const std::vector<std::pair<QString, QString>>& found);

    ServerWait& serverWait() const { return wait_ ? *wait_ : ServerWait::Unattended(); }

private:
    ServerWait* wait_ = nullptr;
};

// Creates the session object for the engine the host text names. Throws error
// 429 when that engine is not available on this machine.
std::unique_ptr<EngineSession> CreateSession(const QString& host);

}  // namespace velkin
