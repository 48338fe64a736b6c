// Kelmora::StopSignal: a stop raised once that ends, at once, every wait
// made through it. Each waiter registers its mutex and condition; the stop
// notifies each under that mutex, so no wake-up is lost. Waiters never hold
// their mutex while they register or leave, so the two locks never cross.
// (std::stop_token is not used: with this toolchain's atomic waits, a
// stop_callback that ends while request_stop runs it can wait for ever.)
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>

namespace Kelmora {

class StopSignal {
public:
    using Clock = std::chrono::steady_clock;

    StopSignal() = default;
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Raises the stop and wakes every current waiter. Never call it while
    // holding a mutex a waiter of this signal uses.
    void request();
    bool requested() const { return requested_.load(); }

    // Waits on condition with lock (held on entry and on return) until done()
    // holds, the deadline passes or the stop is raised; answers done(). The
    // lock is let go for a moment on entry and on leaving.
    template <typename Done>
    bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& condition,
                   Clock::time_point deadline, Done done) {
        lock.unlock();
        const Waiters::iterator self = enter(*lock.mutex(), condition);
        lock.lock();
        while (!done() && !requested()) {
            if (condition.wait_until(lock, deadline) == std::cv_status::timeout) {
                break;
            }
        }
        const bool result = done();
        lock.unlock();
        leave(self);
        lock.lock();
        return result;
    }

private:
    struct Waiter {
        std::mutex& mutex;
        std::condition_variable& condition;
    };
    using Waiters = std::list<Waiter>;

    Waiters::iterator enter(std::mutex& mutex, std::condition_variable& condition);
    void leave(Waiters::iterator waiter);

    // Read by waiters under their own mutex, so never under mutex_.
    std::atomic<bool> requested_{false};
    std::mutex mutex_;
    Waiters waiters_;  // guarded by mutex_
};

// StopSignal::waitUntil through stop, or the plain wait when stop is null.
template <typename Done>
bool WaitUntil(StopSignal* stop, std::unique_lock<std::mutex>& lock, std::condition_variable& condition,
               StopSignal::Clock::time_point deadline, Done done) {
    return stop != nullptr ? stop->waitUntil(lock, condition, deadline, done)
                           : condition.wait_until(lock, deadline, done);
}

}  // namespace Kelmora
