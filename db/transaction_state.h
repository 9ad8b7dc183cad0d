#pragma once
// The one transaction a server connection has open, and who opened it: the
// connection's begin(), or its cursors, which need a transaction of their own
// (a snapshot that the count and the rows share, a server-side cursor) and
// share it while any of them is open. A begin() meanwhile takes the cursors'
// transaction over, so that the connection's commit or rollback ends it. The
// engines whose cursors need one (MySQL, PostgreSQL) keep this state on the
// connection object their cursors share.

#include "db/error.h"

namespace velkin {

class TransactionState {
public:
    enum class Owner { None, Connection, Cursors };

    Owner owner() const { return owner_; }
    bool heldByConnection() const { return owner_ == Owner::Connection; }
    int cursorCount() const { return cursorCount_; }
    // A statement of the caller's ran inside the cursors' own transaction:
    // their last one commits it, and waits for that.
    bool changedInCursorTransaction() const { return changedInCursorTransaction_; }

    // begin(): throws `alreadyBegun()` while the connection's transaction is
    // open. True when the cursors' transaction became the connection's
    // (nothing to send); false when the caller opens one and then calls began().
    template <class Fault>
    bool takeOverForBegin(Fault alreadyBegun) {
        if (owner_ == Owner::Connection) throw alreadyBegun();
        if (owner_ != Owner::Cursors) return false;
        owner_ = Owner::Connection;
        return true;
    }
    void began() { owner_ = Owner::Connection; }

    // commit(): throws `notBegun()` unless the connection's transaction is
    // open. Afterwards none is, whatever the COMMIT answers.
    template <class Fault>
    void endForCommit(Fault notBegun) {
        if (owner_ != Owner::Connection) throw notBegun();
        owner_ = Owner::None;
    }

    // A statement of the caller's is about to run.
    void noteStatement() {
        if (owner_ == Owner::Cursors) changedInCursorTransaction_ = true;
    }

    // A cursor opens: true when it must open the cursors' own transaction.
    bool cursorOpens() {
        ++cursorCount_;
        if (owner_ != Owner::None) return false;
        owner_ = Owner::Cursors;
        changedInCursorTransaction_ = false;
        return true;
    }

    // A cursor closes: true when it was the last one inside the cursors' own
    // transaction, which the caller then ends.
    bool lastCursorCloses() {
        if (--cursorCount_ != 0 || owner_ != Owner::Cursors) return false;
        owner_ = Owner::None;
        return true;
    }

    // The transaction is over whoever held it (a rollback, a lost connection).
    void forget() {
        owner_ = Owner::None;
        cursorCount_ = 0;
        changedInCursorTransaction_ = false;
    }
    void forgetOwner() { owner_ = Owner::None; }

private:
    Owner owner_ = Owner::None;
    int cursorCount_ = 0;
    bool changedInCursorTransaction_ = false;
};

}  // namespace velkin
