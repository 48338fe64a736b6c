#pragma once
// A once-flag whose callable may throw: the throw leaves the flag unset and
// the next caller runs the callable again. (std::call_once on winpthreads is
// never reset after a throw, so every later caller would block for ever.)
// Constant-initialised, so a flag at namespace scope is usable before any
// dynamic initialisation.
#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

namespace Kelmora {

class OnceFlag {
public:
    constexpr OnceFlag() noexcept = default;
    OnceFlag(const OnceFlag&) = delete;
    OnceFlag& operator=(const OnceFlag&) = delete;

    // Runs f unless a call has completed; callers that arrive meanwhile wait
    // for it. Once done, a call is one load and one compare.
    template <class F>
    void call(F&& f) {
        if (state_.load(std::memory_order_acquire) == kDone) return;
        callSlow(std::forward<F>(f));
    }

    bool done() const noexcept { return state_.load(std::memory_order_acquire) == kDone; }

private:
    enum : int { kIdle, kRunning, kDone };

    template <class F>
    void callSlow(F&& f) {
        for (unsigned spins = 0;; ++spins) {
            int expected = kIdle;
            if (state_.compare_exchange_strong(expected, kRunning, std::memory_order_acquire)) break;
            if (expected == kDone) return;
            // Another caller runs it: wait for its end (done, or reset by a throw).
            if (spins < 64)
                std::this_thread::yield();
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        try {
            std::forward<F>(f)();
        } catch (...) {
            state_.store(kIdle, std::memory_order_release);
            throw;
        }
        state_.store(kDone, std::memory_order_release);
    }

    std::atomic<int> state_{kIdle};
};

}  // namespace Kelmora
