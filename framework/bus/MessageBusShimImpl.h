// The shim over a bus handle and its functions table, and the two plain
// callbacks the bus library calls back.
#pragma once

#include "framework/bus/MessageBus.h"
#include "framework/bus/MessageBusFunctions.h"
#include "framework/bus/MessageBusShim.h"

#include <functional>
#include <memory>
#include <vector>

namespace Tessil {

// The handler object a subscription's context names. Held by shared pointer:
// a running delivery keeps it alive, so freeing the subscription from inside
// its own callback is safe.
struct HandlerCell : std::enable_shared_from_this<HandlerCell> {
    explicit HandlerCell(MessageHandler h) : handler(std::move(h)) {}
    virtual ~HandlerCell() = default;
    // Runs the handler for a bus delivery.
    virtual std::uint32_t run(std::shared_ptr<Message> message) {
        return handler(std::move(message));
    }
    MessageHandler handler;
};

// The reply function a request's context names (reply index, message, bus status).
using ReplyFunction =
    std::function<std::uint32_t(std::uint64_t, const std::shared_ptr<Message>&, std::uint32_t)>;
struct ReplyFunctionCell : std::enable_shared_from_this<ReplyFunctionCell> {
    explicit ReplyFunctionCell(ReplyFunction f) : function(std::move(f)) {}
    ReplyFunction function;
};

// Builds the message, gives it the received header and runs the HandlerCell
// named by context. Any exception, an empty handler or a message that cannot
// be built -> MODULE_STATUS_UNKNOWN_EXCEPTION.
std::uint32_t SubscriptionCallback(void* context, const MessageHeader* header, const wchar_t* name,
                                   const wchar_t* source, const wchar_t* payload);
// Calls the ReplyFunctionCell named by context with the reply (built only for
// status 0); null context -> MODULE_STATUS_INVALID_PARAMETER.
std::uint32_t ReplyCallback(void* context, std::uint64_t replyIndex, const MessageHeader* header,
                            const wchar_t* name, const wchar_t* source, const wchar_t* payload,
                            std::uint32_t status);

// True while the calling thread runs inside SubscriptionCallback or
// ReplyCallback, that is on a thread of the bus library.
bool insideBusCallback();

// Several shims may share one handle (a host's handle handed to each new
// client): the handle's reply registration is unregistered by the last of
// them, and the reply contexts of those gone before are kept until then.
class MessageBusShimImpl : public MessageBusShim {
public:
    // Throws ModuleException for a null handle or table. Neither is owned.
    MessageBusShimImpl(MessageBusHandle handle, const MessageBusFunctions* functions);
    ~MessageBusShimImpl() override;

    std::uint32_t publish(const std::shared_ptr<Message>& message, bool ex) override;
    std::uint32_t request(const std::shared_ptr<Message>& message, std::uint64_t replyIndex,
                          void* context, std::uint64_t timeoutMs, bool ex) override;
    std::uint32_t unregisterReplyCallback() override;
    void keepReplyContext(std::shared_ptr<void> context) override;
    std::uint32_t subscribe(const std::wstring& name, void* context) override;
    std::uint32_t subscribeFilter(const std::wstring& expression, void* context) override;
    std::uint32_t unsubscribe(std::uint32_t subscriptionId) override;

private:
    MessageBusHandle handle_;
    const MessageBusFunctions* functions_;
    // Both guarded by the process's lock of reply registrations.
    bool released_ = false;  // this shim no longer counts as a user of the handle
    std::vector<std::shared_ptr<void>> replyContexts_;
};

}  // namespace Tessil
