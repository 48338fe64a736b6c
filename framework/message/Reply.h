// The outcome of one bus request: its status and the reply message.
#pragma once

#include "framework/message/Message.h"

#include <cstdint>
#include <memory>

namespace Tessil {

using ReplyStatus = std::uint32_t;
inline constexpr ReplyStatus REPLY_STATUS_RECEIVED = 0;
inline constexpr ReplyStatus REPLY_STATUS_PENDING = 1;
inline constexpr ReplyStatus REPLY_STATUS_TIMED_OUT = 2;
inline constexpr ReplyStatus REPLY_STATUS_FAILED = 3;

class Reply {
public:
    virtual ~Reply() = default;
    virtual ReplyStatus getStatus() = 0;
    virtual std::shared_ptr<Message> getMessage() = 0;
    virtual ReplyStatus wait() = 0;
    virtual ReplyStatus waitFor(const std::int64_t& milliseconds) = 0;
};

}  // namespace Tessil
