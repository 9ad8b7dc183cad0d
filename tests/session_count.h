#pragma once
// Counts the connections the commands hold, through the session factory the
// tests hand them: a session is counted from its making until its release,
// which is when the command lets go of its connection.

#include "db/connection.h"
#include "forwarding_session.h"

#include <atomic>
#include <memory>

namespace velkin::testing {

class SessionCount {
public:
    // Sessions from `inner` (empty: the engine the host names), each counted while it lives.
    ConnectionFactory factory(ConnectionFactory inner = {}) const {
        return [open = open_, inner = std::move(inner)](const QString& host) -> std::unique_ptr<Connection> {
            return std::make_unique<Counted>(inner ? inner(host) : CreateConnection(host), open);
        };
    }
    // Sessions made and not yet released: none between commands.
    int open() const { return *open_; }

private:
    class Counted final : public ForwardingConnection {
    public:
        Counted(std::unique_ptr<Connection> inner, std::shared_ptr<std::atomic<int>> open)
            : ForwardingConnection(std::move(inner)), open_(std::move(open)) {
            ++*open_;
        }
        ~Counted() override { --*open_; }

    private:
        std::shared_ptr<std::atomic<int>> open_;
    };

    std::shared_ptr<std::atomic<int>> open_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace velkin::testing
