#include "framework/message/ReplyImpl.h"

#include "platform/Logging/Logging.h"
#include "platform/Thread/UnbiasedClock.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <mutex>
#include <vector>

namespace Tessil {

namespace {

const wchar_t kSource[] = L"message\\ReplyImpl";
// Waits go in slices: a wait_for with a huge duration returns at once here.
constexpr std::uint64_t kWaitSliceMs = 100;

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    return (std::numeric_limits<std::uint64_t>::max() - a < b)
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

// Events for the threads waiting on a reply, reused from wait to wait.
// Not one per thread in thread-local storage: such an object registers a
// thread-exit destructor, which in a library also takes a reference on the
// library and frees it as the thread ends, and that free then waits for the
// loader lock while another thread's exit holds it and waits on the runtime
// locks the first one holds.
class WaiterEvents {
public:
    WaiterEvents() = default;
    ~WaiterEvents() {
        for (HANDLE event : free_) CloseHandle(event);
    }
    WaiterEvents(const WaiterEvents&) = delete;
    WaiterEvents& operator=(const WaiterEvents&) = delete;

    // An event, null when none can be made.
    HANDLE take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!free_.empty()) {
                HANDLE event = free_.back();
                free_.pop_back();
                return event;
            }
        }
        return CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    // A set that came after the wait ended only wakes the next wait early.
    void give(HANDLE event) {
        try {
            std::lock_guard<std::mutex> lock(mutex_);
            free_.push_back(event);
        } catch (...) {
            CloseHandle(event);
        }
    }

private:
    std::mutex mutex_;
    std::vector<HANDLE> free_;  // guarded by mutex_
};

WaiterEvents& waiterEvents() {
    static WaiterEvents events;
    return events;
}

// An event of the pool for one wait.
class WaiterEvent {
public:
    WaiterEvent() : event_(waiterEvents().take()) {}
    ~WaiterEvent() {
        if (event_ != nullptr) waiterEvents().give(event_);
    }
    WaiterEvent(const WaiterEvent&) = delete;
    WaiterEvent& operator=(const WaiterEvent&) = delete;
    HANDLE get() const { return event_; }

private:
    HANDLE event_;
};

}  // namespace

void ReplySlot::complete(std::shared_ptr<Message> message) {
    const ReplyStatus status = message ? REPLY_STATUS_RECEIVED : REPLY_STATUS_FAILED;
    finish(status, std::move(message));
}

void ReplySlot::timeOut() { finish(REPLY_STATUS_TIMED_OUT, nullptr); }

void ReplySlot::fail() { finish(REPLY_STATUS_FAILED, nullptr); }

void ReplySlot::finish(ReplyStatus status, std::shared_ptr<Message> message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (done_) {
        return;
    }
    done_ = true;
    status_ = status;
    message_ = std::move(message);
    // Under the lock: a waiter leaves the list before its wait returns.
    for (void* waiter : waiters_) {
        SetEvent(static_cast<HANDLE>(waiter));
    }
}

bool ReplySlot::ready() {
    std::lock_guard<std::mutex> lock(mutex_);
    return done_;
}

bool ReplySlot::waitFor(std::uint64_t milliseconds) {
    const WaiterEvent waiter;
    const HANDLE event = waiter.get();
    std::unique_lock<std::mutex> lock(mutex_);
    if (done_ || milliseconds == 0 || event == nullptr) {
        if (!done_ && milliseconds != 0) {
            // No event for this wait: wait by polling in short sleeps.
            lock.unlock();
            Sleep(static_cast<DWORD>(std::min<std::uint64_t>(milliseconds, 1)));
            lock.lock();
        }
        return done_;
    }
    waiters_.push_back(event);
    lock.unlock();
    // A set left over from an earlier wait only wakes this one early.
    WaitForSingleObject(event, static_cast<DWORD>(milliseconds));
    lock.lock();
    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), static_cast<void*>(event)));
    return done_;
}

ReplyStatus ReplySlot::outcome(std::shared_ptr<Message>& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    message = message_;
    return status_;
}

ReplyImpl::ReplyImpl(std::shared_ptr<ReplySlot> slot, const std::uint64_t& timeoutMs, Clock clock)
    : slot_(std::move(slot)), clock_(clock ? std::move(clock) : Clock(&unbiasedNowMs)) {
    deadline_ = saturatingAdd(saturatingAdd(clock_(), timeoutMs), 1000);
}

ReplyStatus ReplyImpl::getStatus() {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

std::shared_ptr<Message> ReplyImpl::getMessage() {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_ == REPLY_STATUS_RECEIVED ? message_ : std::shared_ptr<Message>();
}

ReplyStatus ReplyImpl::wait() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (status_ != REPLY_STATUS_PENDING) {
            return status_;
        }
    }
    const ReplyStatus status = getReplyMessage();
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
    return status;
}

ReplyStatus ReplyImpl::readResult() {
    std::shared_ptr<Message> message;
    const ReplyStatus status = slot_->outcome(message);
    if (status == REPLY_STATUS_RECEIVED) {
        std::lock_guard<std::mutex> lock(mutex_);
        message_ = std::move(message);
    }
    return status;
}

ReplyStatus ReplyImpl::getReplyMessage() {
    if (!slot_) {
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::ReplyImpl::getReplyMessage",
               L"Reply future is in an invalid state. Returning.");
        return REPLY_STATUS_FAILED;
    }
    while (!slot_->ready()) {
        const std::uint64_t now = clock_();
        if (now > deadline_) {
            VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::ReplyImpl::getReplyMessage",
                   L"Reply future did not get fulfilled on time. Returning.");
            return REPLY_STATUS_TIMED_OUT;
        }
        const std::uint64_t remaining = deadline_ - now;
        const std::uint64_t slice = std::max<std::uint64_t>(1, std::min(remaining, kWaitSliceMs));
        slot_->waitFor(slice);
    }
    return readResult();
}

ReplyStatus ReplyImpl::waitFor(const std::int64_t& milliseconds) {
    if (!slot_) {
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::ReplyImpl::waitFor",
               L"Reply future is in an invalid state. Returning.");
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = REPLY_STATUS_FAILED;
        return status_;
    }
    const std::uint64_t total = milliseconds > 0 ? static_cast<std::uint64_t>(milliseconds) : 0;
    const auto start = std::chrono::steady_clock::now();
    bool ready = slot_->ready();
    while (!ready) {
        const auto elapsed = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start)
                .count());
        if (elapsed >= total) {
            break;
        }
        const std::uint64_t slice = std::min(total - elapsed, kWaitSliceMs);
        ready = slot_->waitFor(slice);
    }
    if (!ready) {
        VT_LOG(ETWLogging::LevelWarning, kSource, L"Tessil::ReplyImpl::waitFor",
               L"Reply waitFor timed out. Returning.");
        std::lock_guard<std::mutex> lock(mutex_);
        return status_;
    }
    const ReplyStatus status = getReplyMessage();
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
    return status;
}

}  // namespace Tessil
