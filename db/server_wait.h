#pragma once
// How a command waits for its database server.
//
// An engine that talks to a server over a socket never blocks in its client
// library: it waits here, on the socket, so that the window goes on handling
// its events (repaints, Esc, the Cancel button, the close box) while the
// server works, and so that a server that has gone silent cannot freeze the
// program. A wait ends early when the user cancels, or when the server has
// sent nothing for the TIMEOUT setting's seconds; the engine then drops its
// connection (the server discards the open transaction with it) and the
// command ends with the error that says which.
//
// The database work stays on the window's thread: the commands write every
// value straight into the grid, and a widget belongs to the thread that made
// it. Only the waiting hands control back to the event loop, and the window
// takes no input but cancelling while it does (Form1), so no second command
// can start inside the first.
//
// ODBC has no socket to wait on; its blocking calls run on a helper thread of
// the wait (runBlocking), and stopping cancels the call (SQLCancel). SQLite
// works in the program's own thread and looks in now and then while a
// statement runs (whileWorking); a cancel interrupts the statement.

#include "db/error.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace velkin {

// A stopped command ends with Error::kCancelled or Error::kNoAnswer (Error::isStop()).

// The TIMEOUT setting when it is absent or unusable: wait for ever, as a
// long DELETE, a slow COMMIT or a lock wait may need; Esc, the Cancel button
// and the close box still end a command.
inline constexpr int32_t kDefaultTimeoutSeconds = 0;

// The seconds the TIMEOUT setting gives: a whole number from 0 (wait for
// ever) up to a day, blanks around it allowed; anything else gives the
// default, 0.
int32_t TimeoutSecondsFromSetting(const QString& value);

class ServerWait {
public:
    using Clock = std::chrono::steady_clock;
    // How often `keepAlive` runs while a wait goes on: often enough for
    // repaints and a prompt reaction to Esc, rarely enough to cost nothing.
    static constexpr std::chrono::milliseconds kKeepAliveInterval{50};

    // timeoutSeconds: how long the server may send nothing, 0 for ever.
    // keepAlive: run about every kKeepAliveInterval while waiting (the
    // window's events); it may call cancel().
    ServerWait(int32_t timeoutSeconds, std::function<void()> keepAlive);
    ~ServerWait();
    ServerWait(const ServerWait&) = delete;
    ServerWait& operator=(const ServerWait&) = delete;

    // The wait of an engine used without a command (engine tests, tools): for
    // ever, running nothing meanwhile, exactly as a blocking call would.
    static ServerWait& Unattended();

    enum class Outcome {
        Ready,        // the socket is ready (or failed: the library finds out which)
        EngineTimer,  // `engineTimerMs` passed first
        Stop,         // cancelled, or no answer in time: drop the connection, then throwStop()
    };
    // Waits until `fd` is ready for `events` (poll's POLLIN, POLLOUT), until
    // `engineTimerMs` (when not negative) has passed, or until the command
    // must stop.
    Outcome forSocket(int fd, short events, int engineTimerMs = -1);

    // The error that ends a stopped command: cancelled, or no answer for N seconds.
    [[noreturn]] void throwStop() const;

    // Runs `call` on the wait's helper thread and waits for it as forSocket
    // does. On a stop, runs `interrupt` (on a thread of its own, since
    // cancelling may itself wait on the network), waits until `call` has
    // returned (it uses the caller's handles) and throws the stop's error.
    // An exception of `call` is thrown here.
    void runBlocking(const std::function<void()>& call, const std::function<void()>& interrupt);

    // For an engine that works in this thread (SQLite), called now and then
    // while a statement runs: keeps the window alive; true when the user has
    // cancelled and the statement must be interrupted (then throw Cancelled()).
    // No TIMEOUT here: the engine is working, not waiting for silence to end.
    bool whileWorking();

    // The error of a command the user cancelled.
    static Error Cancelled();

    // Runs as each wait begins (forSocket, runBlocking, whileWorking), before
    // the wait looks at anything: tests stop a command at a chosen wait with it.
    void setWaitHook(std::function<void(ServerWait&)> hook) { waitHook_ = std::move(hook); }

    // The user asked to stop: the current or next wait ends.
    void cancel() { cancelled_ = true; }
    bool stopped() const { return cancelled_ || timedOut_; }
    int32_t timeoutSeconds() const { return timeoutSeconds_; }

private:
    void keepAliveIfDue(Clock::time_point now);
    void startHelper();
    void waitBegins() {
        if (waitHook_) waitHook_(*this);
    }

    const int32_t timeoutSeconds_;
    std::function<void()> keepAlive_;
    std::function<void(ServerWait&)> waitHook_;
    Clock::time_point lastKeepAlive_;
    bool cancelled_ = false;
    bool timedOut_ = false;

    // The helper thread of runBlocking, started on first use.
    std::thread helper_;
    std::mutex mutex_;
    std::condition_variable wake_;
    const std::function<void()>* job_ = nullptr;
    std::exception_ptr jobError_;
    bool quit_ = false;
    int doneFd_ = -1;  // an eventfd the helper signals when a job is done
};

}  // namespace velkin
