#pragma once
// A connection that hands every member to a real engine's connection, for wrappers
// that watch or steer one step (the tests' hooks, the benchmark's recorder):
// they override that step alone, and a member added to the interface is
// passed on here once.

#include "db/engine.h"

#include <memory>

namespace velkin::testing {

class ForwardingConnection : public Connection {
public:
    explicit ForwardingConnection(std::unique_ptr<Connection> inner) : inner_(std::move(inner)) {}
    void open(const QString& host, const QString& connect, OpenOption option) override {
        inner_->open(host, connect, option);
    }
    int64_t execute(const QString& sql) override { return inner_->execute(sql); }
    std::unique_ptr<Cursor> openCursor(const QString& sql, CursorOption option) override {
        return inner_->openCursor(sql, option);
    }
    std::unique_ptr<StatementStream> openStatementStream(const QString& table, StatementDone done) override {
        return inner_->openStatementStream(table, std::move(done));
    }
    void begin() override { inner_->begin(); }
    void commit() override { inner_->commit(); }
    void rollback() override { inner_->rollback(); }
    Dialect dialect() const override { return inner_->dialect(); }
    void setServerWait(ServerWait* wait) override { inner_->setServerWait(wait); }
    void requireReplaceableTable(const QString& table) override { inner_->requireReplaceableTable(table); }
    void requireTransactionalTable(const QString& table) override { inner_->requireTransactionalTable(table); }
    std::vector<ReferringKey> keysReferringTo(const QString& table) override { return inner_->keysReferringTo(table); }
    TableKey tableKey(const QString& table, const Cursor& rows) override { return inner_->tableKey(table, rows); }
    bool hasFeature(Feature feature) const override { return inner_->hasFeature(feature); }
    bool holdsTransaction() override { return inner_->holdsTransaction(); }
    NeedsStatement statementForNeeds(uint8_t needs) override { return inner_->statementForNeeds(needs); }

protected:
    Connection& inner() { return *inner_; }

private:
    std::unique_ptr<Connection> inner_;
};

}  // namespace velkin::testing
