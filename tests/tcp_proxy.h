#pragma once
// A TCP proxy on a loopback port in front of a database server, for the tests
// and the benchmark: it can add a fixed delay in each direction (a network's
// round trip, which these machines cannot make with tc netem), go silent (a
// server that stops answering, while its connections stay open), or cut every
// connection (a server killed). Silence and cuts can wait for a marker in what
// a client sends, so that they strike in the middle of a command. Everything
// runs on one thread of its own.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace velkin::testing {

class TcpProxy {
public:
    enum class Action { Silence, Cut };

    // Forwards 127.0.0.1:port() to targetHost:targetPort.
    TcpProxy(const std::string& targetHost, uint16_t targetPort,
             std::chrono::microseconds oneWayDelay = std::chrono::microseconds(0));
    ~TcpProxy();
    TcpProxy(const TcpProxy&) = delete;
    TcpProxy& operator=(const TcpProxy&) = delete;

    uint16_t port() const { return port_; }

    // Open connections stop carrying bytes either way; what arrives stays
    // unread. Connections made afterwards are carried as usual (so that a
    // client's cancel request still reaches the server).
    void silence();
    // Every open connection is closed at once, on both sides.
    void cut();
    // Once a client has sent `marker` for the `occurrence`-th time, the bytes
    // before its end are carried on and then `action` strikes.
    void armTrigger(const std::string& marker, int occurrence, Action action);
    // Whether the armed trigger has struck.
    bool triggered() const { return triggered_; }
    // How many times the proxy has read bytes from a client: at least one
    // per round trip the client made.
    size_t clientSends() const { return clientSends_; }
    // How many times a client spoke after its server had: the round trips
    // the clients made, however many statements each carried.
    size_t clientTurns() const { return clientTurns_; }

private:
    struct Command;
    void run();
    void post(int code);

    int listener_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::string targetHost_;
    uint16_t targetPort_;
    std::chrono::microseconds delay_;
    std::mutex mutex_;
    std::string marker_;
    int occurrence_ = 0;
    Action action_ = Action::Cut;
    std::atomic<bool> triggered_{false};
    std::atomic<size_t> clientSends_{0};
    std::atomic<size_t> clientTurns_{0};
    std::thread thread_;
};

}  // namespace velkin::testing
