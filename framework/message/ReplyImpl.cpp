#include "framework/message/ReplyImpl.h"

#include "platform/Logging/Logging.h"
#include "platform/Thread/UnbiasedClock.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <system_error>

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

}  // namespace

ReplyImpl::ReplyImpl(std::shared_future<std::shared_ptr<Message>> future,
                     const std::uint64_t& timeoutMs, Clock clock)
    : future_(std::move(future)), clock_(clock ? std::move(clock) : Clock(&unbiasedNowMs)) {
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
    try {
        std::shared_ptr<Message> message = future_.get();
        if (!message) {
            return REPLY_STATUS_FAILED;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        message_ = std::move(message);
        return REPLY_STATUS_RECEIVED;
    } catch (const std::system_error& e) {
        return e.code() == std::make_error_code(std::errc::operation_canceled)
                   ? REPLY_STATUS_TIMED_OUT
                   : REPLY_STATUS_FAILED;
    } catch (...) {
        return REPLY_STATUS_FAILED;
    }
}

ReplyStatus ReplyImpl::getReplyMessage() {
    if (!future_.valid()) {
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::ReplyImpl::getReplyMessage",
               L"Reply future is in an invalid state. Returning.");
        return REPLY_STATUS_FAILED;
    }
    while (future_.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        const std::uint64_t now = clock_();
        if (now > deadline_) {
            VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::ReplyImpl::getReplyMessage",
                   L"Reply future did not get fulfilled on time. Returning.");
            return REPLY_STATUS_TIMED_OUT;
        }
        const std::uint64_t remaining = deadline_ - now;
        const std::uint64_t slice = std::max<std::uint64_t>(1, std::min(remaining, kWaitSliceMs));
        future_.wait_for(std::chrono::milliseconds(slice));
    }
    return readResult();
}

ReplyStatus ReplyImpl::waitFor(const std::int64_t& milliseconds) {
    if (!future_.valid()) {
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::ReplyImpl::waitFor",
               L"Reply future is in an invalid state. Returning.");
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = REPLY_STATUS_FAILED;
        return status_;
    }
    const std::uint64_t total = milliseconds > 0 ? static_cast<std::uint64_t>(milliseconds) : 0;
    const auto start = std::chrono::steady_clock::now();
    bool ready = future_.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
    while (!ready) {
        const auto elapsed = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start)
                .count());
        if (elapsed >= total) {
            break;
        }
        const std::uint64_t slice = std::min(total - elapsed, kWaitSliceMs);
        ready = future_.wait_for(std::chrono::milliseconds(slice)) == std::future_status::ready;
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
