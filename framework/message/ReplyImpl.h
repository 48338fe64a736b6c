// Reply over the request's outcome, with a deadline of time-out + 1000 ms on
// the unbiased interrupt-time clock counted from construction.
#pragma once

#include "framework/message/Reply.h"

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace Tessil {

// The outcome of one request: completed once by the bus client, waited for
// by its replies. A waiting thread waits on an event of its own, made once
// per thread, so that no request makes a waiting primitive.
class ReplySlot {
public:
    // The first completion counts; later ones change nothing.
    // A reply message; an empty one (it could not be built) is a failure.
    void complete(std::shared_ptr<Message> message);
    // The bus gave up waiting for the reply.
    void timeOut();
    // Any other failure, or the request abandoned.
    void fail();

    bool ready();
    // Waits at most milliseconds (keep them small) for the outcome; true once it is there.
    bool waitFor(std::uint64_t milliseconds);
    // The outcome once ready: REPLY_STATUS_RECEIVED with the message, or
    // REPLY_STATUS_TIMED_OUT or REPLY_STATUS_FAILED.
    ReplyStatus outcome(std::shared_ptr<Message>& message);

private:
    void finish(ReplyStatus status, std::shared_ptr<Message> message);

    std::mutex mutex_;
    bool done_ = false;                             // guarded by mutex_
    ReplyStatus status_ = REPLY_STATUS_PENDING;     // guarded by mutex_
    std::shared_ptr<Message> message_;              // guarded by mutex_
    std::vector<void*> waiters_;  // events of the waiting threads; guarded by mutex_
};

class ReplyImpl : public Reply {
public:
    // Milliseconds of a clock that does not advance while the machine sleeps
    // (unbiasedNowMs when empty).
    using Clock = std::function<std::uint64_t()>;

    // An empty slot is a reply in an invalid state.
    ReplyImpl(std::shared_ptr<ReplySlot> slot, const std::uint64_t& timeoutMs, Clock clock = Clock());

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
    std::shared_ptr<ReplySlot> slot_;
    std::uint64_t deadline_;
    Clock clock_;
};

}  // namespace Tessil
