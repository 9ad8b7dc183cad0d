#pragma once
// What a server's failure means for an Update that was under way: the
// faults that end the whole transaction whatever the row being sent, told
// apart by one table of error numbers and SQLSTATEs, and the line the report
// adds for each, under the server's own first line.

#include "db/error.h"

#include <QString>

namespace velkin {

enum class ServerFault {
    None,           // the statement's own failure (a key, a value): the row is at fault
    LockBusy,       // another session holds a lock on the table; nothing waited for it
    Conflict,       // the server rolled back because of another session (deadlock, serialization,
                    // a cluster's certification conflict)
    SessionEnded,   // the session was killed or its connection lost
    WriteSetLimit,  // a cluster's limit on one transaction's writes
};

ServerFault ServerFaultOf(const Error& error);

// The error a session raises when the server no longer holds the
// transaction although no statement failed (an abort between statements):
// nothing may be committed, and nothing more is sent.
Error TransactionEndedByServer();

// `error` as the Update's report shows it: the server's number and first
// line kept, and below them what became of the table. `committing`: the
// failure met the COMMIT, whose outcome the program cannot know when the
// connection went while it was under way.
Error ExplainUpdateFailure(const Error& error, bool committing);

}  // namespace velkin
