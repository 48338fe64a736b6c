// Log-on notices that came before the terminal services listed the session
// as logged on, looked at again for a bounded time. One thread of its own
// runs the checks, and only while notices are waiting.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace Drem {

class LogonRechecks {
public:
    struct Timing {
        std::chrono::milliseconds interval{1000};  // between two checks
        std::uint32_t checks = 30;                 // checks per notice
    };
    static constexpr std::size_t kMaxWaiting = 1024;

    // loggedOn answers which of the ids it is given are logged on now (one
    // look at the sessions for all); found runs, on the checking thread and
    // without its lock, for each id that loggedOn answered.
    LogonRechecks(Timing timing, std::function<std::vector<std::uint32_t>(const std::vector<std::uint32_t>&)> loggedOn,
                  std::function<void(std::uint32_t)> found);
    // Stops.
    ~LogonRechecks();
    LogonRechecks(const LogonRechecks&) = delete;
    LogonRechecks& operator=(const LogonRechecks&) = delete;

    // Checks that session again, its count of checks full again; false, and
    // nothing kept, after a stop or while kMaxWaiting sessions wait.
    bool add(std::uint32_t sessionId);
    // Ends the checks for good and joins the thread. Never from found.
    void stop();

    std::size_t waiting() const;
    // The checking thread runs.
    bool running() const;

private:
    void run();

    const Timing timing_;
    const std::function<std::vector<std::uint32_t>(const std::vector<std::uint32_t>&)> loggedOn_;
    const std::function<void(std::uint32_t)> found_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::unordered_map<std::uint32_t, std::uint32_t> waiting_;  // id -> checks left; guarded by mutex_
    bool stopped_ = false;                                      // guarded by mutex_
    bool running_ = false;                                      // guarded by mutex_
    // Joined under mutex_ only once it has left run's loop; then it touches nothing.
    std::thread thread_;  // guarded by mutex_
};

}  // namespace Drem
