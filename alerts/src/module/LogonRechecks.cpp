#include "alerts/src/module/LogonRechecks.h"

#include "platform/Logging/Logging.h"

#include <exception>

namespace Drem {

namespace {

const wchar_t kSource[] = L"VantrelImpl";
const wchar_t kFunction[] = L"Drem::LogonRechecks::run";

// A failure ends one check, never the thread.
template <typename Work>
void guarded(Work work) {
    try {
        work();
    } catch (const std::exception& e) {
        VT_LOG(ETWLogging::LevelError, kSource, kFunction, L"Session check failed [caught: %hs]", e.what());
    } catch (...) {
        VT_LOG(ETWLogging::LevelError, kSource, kFunction, L"Session check failed.");
    }
}

}  // namespace

LogonRechecks::LogonRechecks(Timing timing,
                             std::function<std::vector<std::uint32_t>(const std::vector<std::uint32_t>&)> loggedOn,
                             std::function<void(std::uint32_t)> found)
    : timing_(timing), loggedOn_(std::move(loggedOn)), found_(std::move(found)) {}

LogonRechecks::~LogonRechecks() { stop(); }

bool LogonRechecks::add(std::uint32_t sessionId) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_ || timing_.checks == 0) {
        return false;
    }
    if (waiting_.size() >= kMaxWaiting && waiting_.count(sessionId) == 0) {
        VT_LOG(ETWLogging::LevelWarning, kSource, L"Drem::LogonRechecks::add",
               L"Too many sessions waiting to be logged on; session %lu is not checked again.",
               static_cast<unsigned long>(sessionId));
        return false;
    }
    waiting_[sessionId] = timing_.checks;
    if (!running_) {
        if (thread_.joinable()) {
            thread_.join();  // it has left its loop already
        }
        thread_ = std::thread([this] { run(); });
        running_ = true;
    }
    return true;
}

void LogonRechecks::stop() {
    std::thread ending;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        waiting_.clear();
        ending = std::move(thread_);
    }
    wake_.notify_all();
    if (ending.joinable()) {
        ending.join();
    }
}

std::size_t LogonRechecks::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_.size();
}

bool LogonRechecks::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

void LogonRechecks::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopped_ && !waiting_.empty()) {
        if (wake_.wait_for(lock, timing_.interval, [this] { return stopped_; })) {
            break;
        }
        std::vector<std::uint32_t> ids;
        ids.reserve(waiting_.size());
        for (const auto& entry : waiting_) {
            ids.push_back(entry.first);
        }
        lock.unlock();
        std::vector<std::uint32_t> loggedOn;
        guarded([&] { loggedOn = loggedOn_(ids); });
        lock.lock();
        if (stopped_) {
            break;
        }
        std::vector<std::uint32_t> found;
        for (const std::uint32_t id : loggedOn) {
            if (waiting_.erase(id) != 0) {
                found.push_back(id);
            }
        }
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (--it->second != 0) {
                ++it;
                continue;
            }
            VT_LOG(ETWLogging::LevelNormal, kSource, kFunction,
                   L"Session %lu was not logged on in time; not checked again.",
                   static_cast<unsigned long>(it->first));
            it = waiting_.erase(it);
        }
        lock.unlock();
        for (const std::uint32_t id : found) {
            VT_LOG(ETWLogging::LevelNormal, kSource, kFunction, L"Session %lu is logged on now.",
                   static_cast<unsigned long>(id));
            guarded([&] { found_(id); });
        }
        lock.lock();
    }
    running_ = false;
}

}  // namespace Drem
