// The bus library's table of ten plain functions on a bus handle
// and the two callback types it calls back. Free of Win32.
#pragma once

#include "framework/message/MessageHeader.h"
#include "framework/message/ModuleStatus.h"

#include <cstdint>

namespace Tessil {

using MessageBusHandle = void*;

// Delivery of a subscribed message: (context, header, name, source, payload) -> status.
using SubscriptionCallbackFn = std::uint32_t (*)(void* context, const MessageHeader* header,
                                                 const wchar_t* name, const wchar_t* source,
                                                 const wchar_t* payload);
// Completion of a request: (context, reply index, header, name, source, payload, bus status).
using ReplyCallbackFn = std::uint32_t (*)(void* context, std::uint64_t replyIndex,
                                          const MessageHeader* header, const wchar_t* name,
                                          const wchar_t* source, const wchar_t* payload,
                                          std::uint32_t status);

struct MessageBusFunctions {
    std::uint32_t (*open)(MessageBusHandle* handle);
    std::uint32_t (*close)(MessageBusHandle handle);
    std::uint32_t (*publish)(MessageBusHandle handle, const MessageHeader* header,
                             const wchar_t* name, const wchar_t* source, const wchar_t* payload);
    std::uint32_t (*request)(MessageBusHandle handle, std::uint64_t replyIndex, void* context,
                             ReplyCallbackFn callback, const MessageHeader* header,
                             const wchar_t* name, const wchar_t* source, const wchar_t* payload,
                             std::uint64_t timeoutMs);
    std::uint32_t (*subscribe)(MessageBusHandle handle, void* context,
                               SubscriptionCallbackFn callback, const wchar_t* name);
    std::uint32_t (*subscribeFilter)(MessageBusHandle handle, void* context,
                                     SubscriptionCallbackFn callback, const wchar_t* expression);
    std::uint32_t (*unsubscribe)(MessageBusHandle handle, std::uint32_t subscriptionId);
    std::uint32_t (*unregisterReplyCallback)(MessageBusHandle handle, ReplyCallbackFn callback);
    std::uint32_t (*publishEx)(MessageBusHandle handle, const MessageHeader* header,
                               const wchar_t* name, const wchar_t* source, const wchar_t* payload);
    std::uint32_t (*requestEx)(MessageBusHandle handle, std::uint64_t replyIndex, void* context,
                               ReplyCallbackFn callback, const MessageHeader* header,
                               const wchar_t* name, const wchar_t* source, const wchar_t* payload,
                               std::uint64_t timeoutMs);
};

static_assert(sizeof(MessageBusFunctions) == 10 * sizeof(void*));

// The one rule for a null entry, wherever the table is read: it is never
// called. A call through it answers absent (MODULE_STATUS_NOT_IMPLEMENTED for
// a status, 0 for a subscription id); a table lacking open or close cannot
// make a connection of its own and is refused.
template <typename Entry, typename... Args>
std::uint32_t callBusEntry(Entry entry, std::uint32_t absent, Args... args) {
    return entry == nullptr ? absent : entry(args...);
}

inline bool canOpenConnection(const MessageBusFunctions* functions) {
    return functions != nullptr && functions->open != nullptr && functions->close != nullptr;
}

// The number CreateObject is called with to obtain the table (version 2.1.0).
inline constexpr std::uint32_t MESSAGE_BUS_INTERFACE_VERSION = 2001000;

}  // namespace Tessil
