#pragma once
// A session that hands every member to a real engine's session, for wrappers
// that watch or steer one step (the tests' hooks, the benchmark's recorder):
// they override that step alone, and a member added to the interface is
// passed on here once.

#include "db/engine.h"

#include <memory>

namespace velkin::testing {

class ForwardingSession : public EngineSession {
public:
    explicit ForwardingSession(std::unique_ptr<EngineSession> inner) : inner_(std::move(inner)) {}
    std::unique_ptr<OraDatabase> OpenDatabase(const QString& host, const QString& connect, int32_t options) override {
        return inner_->OpenDatabase(host, connect, options);
    }
    void BeginTrans() override { inner_->BeginTrans(); }
    void CommitTrans() override { inner_->CommitTrans(); }
    void rollback() override { inner_->rollback(); }
    Dialect dialect() const override { return inner_->dialect(); }
    void setServerWait(ServerWait* wait) override { inner_->setServerWait(wait); }
    void RequireReplaceableTable(const QString& table) override { inner_->RequireReplaceableTable(table); }
    void RequireTransactionalTable(const QString& table) override { inner_->RequireTransactionalTable(table); }
    std::vector<ReferringKey> KeysReferringTo(const QString& table) override { return inner_->KeysReferringTo(table); }
    bool ListsReferringKeys() const override { return inner_->ListsReferringKeys(); }
    bool HoldsTransaction() override { return inner_->HoldsTransaction(); }
    NeedsStatement StatementForNeeds(uint8_t needs) override { return inner_->StatementForNeeds(needs); }

private:
    std::unique_ptr<EngineSession> inner_;
};

}  // namespace velkin::testing
