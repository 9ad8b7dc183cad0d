#include "tests/tcp_proxy.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <list>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace velkin::testing {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes read from one side and not yet written to the other, above which the
// proxy stops reading that side (as a full socket would).
constexpr size_t kMaxQueued = 4 << 20;

void NonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

struct Chunk {
    enum class Kind { Data, Strike, Close } kind = Kind::Data;
    Clock::time_point due;
    std::string bytes;
    size_t written = 0;
};

// One side of a connection and what waits to be written to it.
struct Side {
    int fd = -1;
    std::deque<Chunk> out;
    size_t queued = 0;
    bool ended = false;  // nothing more comes from it
};

struct Link {
    Side client, server;
    bool connecting = true;  // the proxy's own connection to the server
    bool silent = false;
    bool dead = false;
    bool serverSpokeLast = true;  // a client's first bytes begin a turn
    std::string tail;  // the client's last bytes, for a marker split between reads
    int seen = 0;      // markers the client has sent

    void close() {
        for (Side* side : {&client, &server})
            if (side->fd >= 0) {
                ::close(side->fd);
                side->fd = -1;
            }
        dead = true;
    }
};

}  // namespace

struct TcpProxy::Command {
    static constexpr char kQuit = 'q', kSilence = 's', kCut = 'c';
};

TcpProxy::TcpProxy(const std::string& targetHost, uint16_t targetPort, std::chrono::microseconds oneWayDelay)
    : targetHost_(targetHost), targetPort_(targetPort), delay_(oneWayDelay) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 64) != 0 || pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("proxy: ") + std::strerror(errno));
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    NonBlocking(listener_);
    thread_ = std::thread([this] { run(); });
}

TcpProxy::~TcpProxy() {
    post(Command::kQuit);
    thread_.join();
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void TcpProxy::post(int code) {
    const char byte = static_cast<char>(code);
    (void)!write(wake_[1], &byte, 1);
}

void TcpProxy::silence() { post(Command::kSilence); }
void TcpProxy::cut() { post(Command::kCut); }

void TcpProxy::armTrigger(const std::string& marker, int occurrence, Action action) {
    const std::lock_guard lock(mutex_);
    marker_ = marker;
    occurrence_ = occurrence;
    action_ = action;
    triggered_ = false;
}

void TcpProxy::run() {
    std::list<Link> links;
    sockaddr_in target{};
    {
        addrinfo hints{}, *found = nullptr;
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        if (getaddrinfo(targetHost_.c_str(), nullptr, &hints, &found) == 0 && found) {
            target = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
            freeaddrinfo(found);
        }
        target.sin_port = htons(targetPort_);
    }
    auto silenceAll = [&] {
        for (Link& link : links) link.silent = true;
    };
    auto enqueue = [&](Side& to, Chunk chunk) {
        to.queued += chunk.bytes.size();
        to.out.push_back(std::move(chunk));
    };
    // Scans the client's bytes for the armed marker; the bytes up to it go on,
    // then the strike, then the rest.
    auto fromClient = [&](Link& link, std::string bytes, Clock::time_point due) {
        std::string marker;
        {
            const std::lock_guard lock(mutex_);
            if (!triggered_) marker = marker_;
        }
        if (!marker.empty()) {
            const std::string window = link.tail + bytes;
            size_t from = 0;
            for (size_t at; (at = window.find(marker, from)) != std::string::npos; from = at + 1) {
                if (at + marker.size() <= link.tail.size()) continue;  // counted in an earlier read
                if (++link.seen < occurrence_) continue;
                const size_t split = at + marker.size() - link.tail.size();
                triggered_ = true;
                enqueue(link.server, {Chunk::Kind::Data, due, bytes.substr(0, split)});
                enqueue(link.server, {Chunk::Kind::Strike, due, {}});
                enqueue(link.server, {Chunk::Kind::Data, due, bytes.substr(split)});
                return;
            }
            link.tail = window.substr(window.size() > marker.size() ? window.size() - marker.size() : 0);
        }
        enqueue(link.server, {Chunk::Kind::Data, due, std::move(bytes)});
    };

    std::vector<pollfd> fds;
    std::vector<std::pair<Link*, Side*>> owners;
    for (;;) {
        const Clock::time_point now = Clock::now();
        Clock::time_point next = Clock::time_point::max();
        fds.clear();
        owners.clear();
        fds.push_back({wake_[0], POLLIN, 0});
        fds.push_back({listener_, POLLIN, 0});
        owners.resize(2, {nullptr, nullptr});
        for (Link& link : links) {
            if (link.dead || link.silent) continue;
            for (Side* side : {&link.client, &link.server}) {
                Side& other = side == &link.client ? link.server : link.client;
                short events = 0;
                if (side == &link.server && link.connecting) events = POLLOUT;
                else {
                    if (!side->ended && other.queued < kMaxQueued) events |= POLLIN;
                    if (!side->out.empty()) {
                        if (side->out.front().due <= now) events |= POLLOUT;
                        else next = std::min(next, side->out.front().due);
                    }
                }
                fds.push_back({side->fd, events, 0});
                owners.push_back({&link, side});
            }
        }
        timespec wait{};
        const timespec* timeout = nullptr;
        if (next != Clock::time_point::max()) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(next - now).count();
            wait.tv_sec = ns / 1000000000;
            wait.tv_nsec = ns % 1000000000;
            timeout = &wait;
        }
        if (ppoll(fds.data(), fds.size(), timeout, nullptr) < 0 && errno != EINTR) return;

        if (fds[0].revents & POLLIN) {
            char codes[64];
            const ssize_t got = read(wake_[0], codes, sizeof codes);
            for (ssize_t i = 0; i < got; ++i) {
                if (codes[i] == Command::kQuit) {
                    for (Link& link : links) link.close();
                    return;
                }
                if (codes[i] == Command::kSilence) silenceAll();
                if (codes[i] == Command::kCut)
                    for (Link& link : links) link.close();
            }
        }
        if (fds[1].revents & POLLIN) {
            for (int client; (client = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                Link& link = links.emplace_back();
                link.client.fd = client;
                link.server.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                const int on = 1;
                setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                setsockopt(link.server.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                if (connect(link.server.fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0 &&
                    errno != EINPROGRESS)
                    link.close();
            }
        }
        const Clock::time_point arrived = Clock::now();
        for (size_t i = 2; i < fds.size(); ++i) {
            auto [link, side] = owners[i];
            if (link->dead || link->silent || fds[i].revents == 0) continue;
            Side& other = side == &link->client ? link->server : link->client;
            if (side == &link->server && link->connecting) {
                int error = 0;
                socklen_t length = sizeof error;
                getsockopt(side->fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0) link->close();
                link->connecting = false;
                continue;
            }
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                char buffer[65536];
                const ssize_t got = read(side->fd, buffer, sizeof buffer);
                if (got > 0) {
                    std::string bytes(buffer, static_cast<size_t>(got));
                    if (side == &link->client) {
                        ++clientSends_;
                        if (link->serverSpokeLast) ++clientTurns_;
                        link->serverSpokeLast = false;
                        fromClient(*link, std::move(bytes), arrived + delay_);
                    } else {
                        link->serverSpokeLast = true;
                        enqueue(other, {Chunk::Kind::Data, arrived + delay_, std::move(bytes)});
                    }
                } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    // The end reaches the other side after the bytes before it.
                    side->ended = true;
                    enqueue(other, {Chunk::Kind::Close, arrived + delay_, {}});
                }
            }
            if (fds[i].revents & POLLOUT) {
                const Clock::time_point writing = Clock::now();
                while (!link->dead && !link->silent && !side->out.empty() && side->out.front().due <= writing) {
                    Chunk& chunk = side->out.front();
                    if (chunk.kind == Chunk::Kind::Close) {
                        link->close();
                        break;
                    }
                    if (chunk.kind == Chunk::Kind::Strike) {
                        side->out.pop_front();
                        if (action_ == Action::Cut) link->close();
                        else silenceAll();
                        break;
                    }
                    const ssize_t put = send(side->fd, chunk.bytes.data() + chunk.written,
                                             chunk.bytes.size() - chunk.written, MSG_NOSIGNAL);
                    if (put < 0) {
                        if (errno != EAGAIN && errno != EINTR) link->close();
                        break;
                    }
                    chunk.written += static_cast<size_t>(put);
                    side->queued -= static_cast<size_t>(put);
                    if (chunk.written < chunk.bytes.size()) break;
                    side->out.pop_front();
                }
            }
        }
        links.remove_if([](const Link& link) { return link.dead; });
    }
}

}  // namespace velkin::testing
