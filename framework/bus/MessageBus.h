// The bus interface: publish, request with a reply, subscribe to a name or to
// a regular expression over names, unsubscribe by alias.
#pragma once

#include "framework/message/Message.h"
#include "framework/message/Reply.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Tessil {

using MessageHandler = std::function<std::uint32_t(std::shared_ptr<Message>)>;
using ReplyHandler = std::function<void(std::shared_ptr<Reply>)>;

class MessageBus {
public:
    virtual ~MessageBus() = default;
    virtual std::uint32_t publish(const std::shared_ptr<Message>& message) = 0;
    virtual std::uint32_t publishEx(const std::shared_ptr<Message>& message) = 0;
    virtual std::uint32_t request(const std::shared_ptr<Message>& message, ReplyHandler handler,
                                  const std::uint64_t& timeoutMs) = 0;
    virtual std::uint32_t request(const std::shared_ptr<Message>& message,
                                  std::shared_ptr<Reply>& reply, const std::uint64_t& timeoutMs) = 0;
    virtual std::uint32_t requestEx(const std::shared_ptr<Message>& message, ReplyHandler handler,
                                    const std::uint64_t& timeoutMs) = 0;
    virtual std::uint32_t requestEx(const std::shared_ptr<Message>& message,
                                    std::shared_ptr<Reply>& reply,
                                    const std::uint64_t& timeoutMs) = 0;
    virtual std::uint32_t subscribe(const std::wstring& name, const std::wstring& alias,
                                    MessageHandler handler) = 0;
    virtual std::uint32_t subscribe(const std::wstring& name, MessageHandler handler) = 0;
    virtual std::uint32_t subscribeSession(const std::wstring& name, const std::wstring& alias,
                                           MessageHandler handler) = 0;
    virtual std::uint32_t subscribeSession(const std::wstring& name, MessageHandler handler) = 0;
    virtual std::uint32_t subscribeFilter(const std::wstring& expression, const std::wstring& alias,
                                          MessageHandler handler) = 0;
    virtual std::uint32_t subscribeFilter(const std::wstring& expression,
                                          MessageHandler handler) = 0;
    virtual std::uint32_t subscribeFilterSession(const std::wstring& expression,
                                                 const std::wstring& alias,
                                                 MessageHandler handler) = 0;
    virtual std::uint32_t subscribeFilterSession(const std::wstring& expression,
                                                 MessageHandler handler) = 0;
    virtual std::uint32_t unsubscribe(const std::wstring& alias) = 0;
};

}  // namespace Tessil
