// The narrow adapter the bus client calls: a bus handle with its table
// (MessageBusShimImpl) or the client's own library connection (MessageBusLib).
#pragma once

#include "framework/message/Message.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Tessil {

class MessageBusShim {
public:
    virtual ~MessageBusShim() = default;
    virtual std::uint32_t publish(const std::shared_ptr<Message>& message, bool ex) = 0;
    virtual std::uint32_t request(const std::shared_ptr<Message>& message, std::uint64_t replyIndex,
                                  void* context, std::uint64_t timeoutMs, bool ex) = 0;
    virtual std::uint32_t unregisterReplyCallback() = 0;
    // Keeps the context of this connection's requests alive for as long as
    // the bus may still call back with it.
    virtual void keepReplyContext(std::shared_ptr<void> context) { (void)context; }
    // Subscription id, 0 = refused.
    virtual std::uint32_t subscribe(const std::wstring& name, void* context) = 0;
    virtual std::uint32_t subscribeFilter(const std::wstring& expression, void* context) = 0;
    virtual std::uint32_t unsubscribe(std::uint32_t subscriptionId) = 0;
};

}  // namespace Tessil
