// The bus client: subscriptions by alias, numbered requests matched to their
// replies through reply slots, session filtering and direct delivery.
#pragma once

#include "framework/bus/MessageBus.h"
#include "framework/bus/MessageBusShim.h"
#include "framework/bus/ProcessAPI.h"

#include <memory>

namespace Tessil {

class MessageBusClient : public MessageBus {
public:
    // The shim must not be empty; an empty process access becomes a default one.
    explicit MessageBusClient(std::shared_ptr<MessageBusShim> shim,
                              std::shared_ptr<ProcessAPI> process = nullptr);
    ~MessageBusClient() override;
    MessageBusClient(const MessageBusClient&) = delete;
    MessageBusClient& operator=(const MessageBusClient&) = delete;

    std::uint32_t publish(const std::shared_ptr<Message>& message) override;
    std::uint32_t publishEx(const std::shared_ptr<Message>& message) override;
    std::uint32_t request(const std::shared_ptr<Message>& message, ReplyHandler handler,
                          const std::uint64_t& timeoutMs) override;
    std::uint32_t request(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                          const std::uint64_t& timeoutMs) override;
    std::uint32_t requestEx(const std::shared_ptr<Message>& message, ReplyHandler handler,
                            const std::uint64_t& timeoutMs) override;
    std::uint32_t requestEx(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                            const std::uint64_t& timeoutMs) override;
    std::uint32_t subscribe(const std::wstring& name, const std::wstring& alias,
                            MessageHandler handler) override;
    std::uint32_t subscribe(const std::wstring& name, MessageHandler handler) override;
    std::uint32_t subscribeSession(const std::wstring& name, const std::wstring& alias,
                                   MessageHandler handler) override;
    std::uint32_t subscribeSession(const std::wstring& name, MessageHandler handler) override;
    std::uint32_t subscribeFilter(const std::wstring& expression, const std::wstring& alias,
                                  MessageHandler handler) override;
    std::uint32_t subscribeFilter(const std::wstring& expression, MessageHandler handler) override;
    std::uint32_t subscribeFilterSession(const std::wstring& expression, const std::wstring& alias,
                                         MessageHandler handler) override;
    std::uint32_t subscribeFilterSession(const std::wstring& expression,
                                         MessageHandler handler) override;
    std::uint32_t unsubscribe(const std::wstring& alias) override;

    // Runs this client's matching handlers on the calling thread:
    // MODULE_STATUS_UNKNOWN_EXCEPTION when one of them threw (the others
    // still run), else 0.
    std::uint32_t deliverDirect(const std::shared_ptr<Message>& message);
    // Completes a pending request (reached through the reply function).
    std::uint32_t replyCallback(std::uint64_t replyIndex, const std::shared_ptr<Message>& message,
                                std::uint32_t status);
    std::uint32_t internalPublish(const std::shared_ptr<Message>& message, bool ex);
    // Reply form when reply is given, callback form otherwise.
    std::uint32_t internalRequest(const std::shared_ptr<Message>& message, ReplyHandler* handler,
                                  std::shared_ptr<Reply>* reply, std::uint64_t timeoutMs, bool ex);
    // Ends every subscription: no handler of them starts any more. Returns
    // once those already running on other threads have finished, apart from
    // a handler whose thread waits, directly or through the bus, on a removal
    // that waits for the caller; unsubscribe does the same for one alias.
    void unsubscribeAll();

    // The Windows session of the process, 0 when unknown.
    std::uint32_t sessionId() const;

    class Impl;

private:
    // Shared with running bus callbacks, so the client may be released from
    // inside one of its own handlers.
    std::shared_ptr<Impl> impl_;
};

}  // namespace Tessil
