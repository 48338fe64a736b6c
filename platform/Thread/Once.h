#pragma once
// A once-flag whose callable may throw: the throw leaves the flag unset and
// the next caller runs the callable again. (std::call_once on winpthreads is
// never reset after a throw, so every later caller would block for ever.)
#include <atomic>
#include <mutex>
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
        if (done_.load(std::memory_order_acquire)) return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (done_.load(std::memory_order_relaxed)) return;
        std::forward<F>(f)();
        done_.store(true, std::memory_order_release);
    }

    bool done() const noexcept { return done_.load(std::memory_order_acquire); }

private:
    std::atomic<bool> done_{false};
    std::mutex mutex_;
};

}  // namespace Kelmora
