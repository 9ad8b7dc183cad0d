#pragma once
// A real engine's connection with a hook before each step a command takes
// through it: every statement it runs, opens as a cursor or sends through a
// stream (with its text), and the COMMIT (as "COMMIT"). The hook may throw,
// as the engine would, or make something happen meanwhile (another session's
// write, the session killed), so a test can strike at exactly the k-th step.

#include "db/engine.h"
#include "tests/forwarding_session.h"

#include <functional>
#include <memory>

namespace velkin::testing {

using StepHook = std::function<void(Connection& database, const QString& step)>;

class HookedConnection final : public ForwardingConnection {
public:
    HookedConnection(std::unique_ptr<Connection> inner, StepHook hook)
        : ForwardingConnection(std::move(inner)), hook_(std::move(hook)) {}
    int64_t execute(const QString& sql) override {
        hook_(inner(), sql);
        return ForwardingConnection::execute(sql);
    }
    std::unique_ptr<Cursor> openCursor(const QString& sql, CursorOption option) override {
        hook_(inner(), sql);
        return ForwardingConnection::openCursor(sql, option);
    }
    std::unique_ptr<StatementStream> openStatementStream(const QString& table, StatementDone done) override {
        return std::make_unique<Stream>(ForwardingConnection::openStatementStream(table, std::move(done)), inner(),
                                        hook_);
    }
    void commit() override {
        hook_(inner(), QStringLiteral("COMMIT"));
        ForwardingConnection::commit();
    }

private:
    class Stream final : public StatementStream {
    public:
        Stream(std::unique_ptr<StatementStream> inner, Connection& database, const StepHook& hook)
            : inner_(std::move(inner)), database_(database), hook_(hook) {}
        void Send(const QString& sql, int32_t tag) override {
            hook_(database_, sql);
            inner_->Send(sql, tag);
        }
        void Finish() override { inner_->Finish(); }

    private:
        std::unique_ptr<StatementStream> inner_;
        Connection& database_;
        const StepHook& hook_;
    };

    StepHook hook_;
};

}  // namespace velkin::testing
