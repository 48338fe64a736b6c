// Reply over the request's future, with a deadline of time-out + 1000 ms on
// the unbiased interrupt-time clock counted from construction.
#pragma once

#include "framework/message/Reply.h"

#include <functional>
#include <future>
#include <mutex>

namespace Tessil {

class ReplyImpl : public Reply {
public:
    // Milliseconds of a clock that does not advance while the machine sleeps
    // (unbiasedNowMs when empty).
    using Clock = std::function<std::uint64_t()>;

    ReplyImpl(std::shared_future<std::shared_ptr<Message>> future, const std::uint64_t& timeoutMs,
              Clock clock = Clock());

    ReplyStatus getStatus() override;
    std::shared_ptr<Message> getMessage() override;
    ReplyStatus wait() override;
    ReplyStatus waitFor(const std::int64_t& milliseconds) override;

    std::uint64_t deadline() const { return deadline_; }

private:
    ReplyStatus getReplyMessage();
    ReplyStatus readResult();

    std::mutex mutex_;  // guards status_ and message_
    ReplyStatus status_ = REPLY_STATUS_PENDING;
    std::shared_ptr<Message> message_;
    std::shared_future<std::shared_ptr<Message>> future_;
    std::uint64_t deadline_;
    Clock clock_;
};

}  // namespace Tessil
