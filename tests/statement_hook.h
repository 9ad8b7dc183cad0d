#pragma once
// A real engine's session with a hook before each step a command takes
// through it: every statement it runs, opens as a dynaset or sends through a
// stream (with its text), and the COMMIT (as "COMMIT"). The hook may throw,
// as the engine would, or make something happen meanwhile (another session's
// write, the session killed), so a test can strike at exactly the k-th step.

#include "db/engine.h"
#include "tests/forwarding_session.h"

#include <functional>
#include <memory>

namespace velkin::testing {

using StepHook = std::function<void(OraDatabase& database, const QString& step)>;

class HookedDatabase final : public OraDatabase {
public:
    HookedDatabase(std::unique_ptr<OraDatabase> inner, StepHook hook) : inner_(std::move(inner)), hook_(std::move(hook)) {}
    int64_t ExecuteSQL(const QString& sql) override {
        hook_(*inner_, sql);
        return inner_->ExecuteSQL(sql);
    }
    std::unique_ptr<OraDynaset> DbCreateDynaset(const QString& sql, int32_t options) override {
        hook_(*inner_, sql);
        return inner_->DbCreateDynaset(sql, options);
    }
    std::unique_ptr<StatementStream> OpenStatementStream(const QString& table, StatementDone done) override {
        return std::make_unique<Stream>(inner_->OpenStatementStream(table, std::move(done)), *inner_, hook_);
    }
    OraDatabase& inner() { return *inner_; }

private:
    class Stream final : public StatementStream {
    public:
        Stream(std::unique_ptr<StatementStream> inner, OraDatabase& database, const StepHook& hook)
            : inner_(std::move(inner)), database_(database), hook_(hook) {}
        void Send(const QString& sql, int32_t tag) override {
            hook_(database_, sql);
            inner_->Send(sql, tag);
        }
        void Finish() override { inner_->Finish(); }

    private:
        std::unique_ptr<StatementStream> inner_;
        OraDatabase& database_;
        const StepHook& hook_;
    };

    std::unique_ptr<OraDatabase> inner_;
    StepHook hook_;
};

class HookedSession final : public ForwardingSession {
public:
    HookedSession(std::unique_ptr<EngineSession> inner, StepHook hook)
        : ForwardingSession(std::move(inner)), hook_(std::move(hook)) {}
    std::unique_ptr<OraDatabase> OpenDatabase(const QString& host, const QString& connect, int32_t options) override {
        auto database =
            std::make_unique<HookedDatabase>(ForwardingSession::OpenDatabase(host, connect, options), hook_);
        database_ = database.get();
        return database;
    }
    void CommitTrans() override {
        if (database_) hook_(database_->inner(), QStringLiteral("COMMIT"));
        ForwardingSession::CommitTrans();
    }

private:
    StepHook hook_;
    HookedDatabase* database_ = nullptr;  // owned by the command's connection, which outlives the session's use
};

}  // namespace velkin::testing
