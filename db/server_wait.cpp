#include "db/server_wait.h"

#include <QString>

#include <atomic>
#include <cerrno>
#include <climits>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace velkin {

namespace {

constexpr int32_t kLongestTimeoutSeconds = 24 * 60 * 60;

int MillisecondsUntil(ServerWait::Clock::time_point now, ServerWait::Clock::time_point then) {
    if (then <= now) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(then - now).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

int32_t TimeoutSecondsFromSetting(const QString& value) {
    bool ok = false;
    const int seconds = value.trimmed().toInt(&ok);
    if (!ok || seconds < 0 || seconds > kLongestTimeoutSeconds) return kDefaultTimeoutSeconds;
    return seconds;
}

ServerWait::ServerWait(int32_t timeoutSeconds, std::function<void()> keepAlive)
    : timeoutSeconds_(timeoutSeconds), keepAlive_(std::move(keepAlive)), lastKeepAlive_(Clock::now()) {}

ServerWait::~ServerWait() {
    if (helper_.joinable()) {
        {
            const std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_one();
        helper_.join();
    }
    if (doneFd_ >= 0) close(doneFd_);
}

ServerWait& ServerWait::Unattended() {
    // Never stopped and never runs anything: shared by every engine used
    // without a command, from any thread.
    static ServerWait wait(0, {});
    return wait;
}

void ServerWait::keepAliveIfDue(Clock::time_point now) {
    if (!keepAlive_ || now - lastKeepAlive_ < kKeepAliveInterval) return;
    keepAlive_();
    lastKeepAlive_ = Clock::now();
}

ServerWait::Outcome ServerWait::forSocket(int fd, short events, int engineTimerMs) {
    waitBegins();
    const Clock::time_point start = Clock::now();
    const Clock::time_point never = Clock::time_point::max();
    const Clock::time_point deadline = timeoutSeconds_ > 0 ? start + std::chrono::seconds(timeoutSeconds_) : never;
    const Clock::time_point engineDeadline =
        engineTimerMs >= 0 ? start + std::chrono::milliseconds(engineTimerMs) : never;
    for (;;) {
        if (stopped()) return Outcome::Stop;
        Clock::time_point now = Clock::now();
        keepAliveIfDue(now);
        if (cancelled_) return Outcome::Stop;
        now = Clock::now();
        if (now >= deadline) {
            timedOut_ = true;
            return Outcome::Stop;
        }
        if (now >= engineDeadline) return Outcome::EngineTimer;
        Clock::time_point until = std::min(deadline, engineDeadline);
        if (keepAlive_) until = std::min(until, lastKeepAlive_ + kKeepAliveInterval);
        pollfd p{fd, events, 0};
        const int ready = poll(&p, 1, until == never ? -1 : MillisecondsUntil(now, until));
        if (ready > 0) return Outcome::Ready;
        if (ready < 0 && errno != EINTR) return Outcome::Ready;  // a bad socket: the library reports it
    }
}

Error ServerWait::Cancelled() { return Error(Error::kCancelled, QStringLiteral("中止しました。"), QStringLiteral("HY008")); }

bool ServerWait::whileWorking() {
    waitBegins();
    if (keepAlive_) keepAliveIfDue(Clock::now());
    return cancelled_;
}

void ServerWait::throwStop() const {
    if (cancelled_) throw Cancelled();
    throw Error(Error::kNoAnswer,
                QStringLiteral("サーバーから %1 秒間応答がないため、接続を切りました。").arg(timeoutSeconds_),
                QStringLiteral("HYT00"));
}

void ServerWait::startHelper() {
    doneFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (doneFd_ < 0) throw Error(Error::kUnexpected, QStringLiteral("eventfd: %1").arg(errno));
    helper_ = std::thread([this] {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return quit_ || job_ != nullptr; });
            if (quit_) return;
            const std::function<void()>* job = job_;
            lock.unlock();
            std::exception_ptr error;
            try {
                (*job)();
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            jobError_ = error;
            job_ = nullptr;
            const uint64_t one = 1;
            (void)!write(doneFd_, &one, sizeof one);
        }
    });
}

void ServerWait::runBlocking(const std::function<void()>& call, const std::function<void()>& interrupt) {
    waitBegins();
    if (!keepAlive_ && timeoutSeconds_ == 0) {
        // Nobody to keep alive and nothing to time: the call may as well block here.
        call();
        return;
    }
    if (stopped()) throwStop();
    if (!helper_.joinable()) startHelper();
    {
        const std::lock_guard lock(mutex_);
        job_ = &call;
    }
    wake_.notify_one();
    // Stopping cancels the call from a thread of its own, which is joined
    // before the handles the call uses can go; the window is kept alive meanwhile.
    std::thread interrupter;
    std::atomic<bool> interruptDone{false};
    bool interrupted = false;
    for (;;) {
        if (!interrupted && forSocket(doneFd_, POLLIN) == Outcome::Stop) {
            interrupted = true;
            interrupter = std::thread([&interrupt, &interruptDone] {
                if (interrupt) interrupt();
                interruptDone = true;
            });
        }
        if (interrupted) keepAliveIfDue(Clock::now());
        pollfd p{doneFd_, POLLIN, 0};
        if (poll(&p, 1, interrupted ? static_cast<int>(kKeepAliveInterval.count()) : 0) > 0) break;
    }
    while (interrupter.joinable() && !interruptDone) {
        keepAliveIfDue(Clock::now());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (interrupter.joinable()) interrupter.join();
    uint64_t count = 0;
    (void)!read(doneFd_, &count, sizeof count);
    std::exception_ptr error;
    {
        const std::lock_guard lock(mutex_);
        error = std::exchange(jobError_, nullptr);
    }
    if (interrupted) throwStop();
    if (error) std::rethrow_exception(error);
}

}  // namespace velkin
