// Scripting exports of the bus neighbour "MessageBus.dll" for tests. Resolve
// them with GetProcAddress; the typedefs below match the exports.
#pragma once

#include <cstdint>

extern "C" {
// Clears every script, the journal and the sequence-independent counters.
typedef void (*VtBusScript_Reset_t)();
// CreateObject answers null while on is non-zero.
typedef void (*VtBusScript_SetCreateObjectNull_t)(int on);
// open answers status (0 = open works again).
typedef void (*VtBusScript_SetOpenFailure_t)(std::uint32_t status);
// subscribe and subscribeFilter answer 0 while on is non-zero.
typedef void (*VtBusScript_SetSubscribeRefuse_t)(int on);
// The nth publish (or publishEx) from now on (1 = the next) answers status.
typedef void (*VtBusScript_FailNthPublish_t)(std::uint32_t n, std::uint32_t status);
// The nth request (or requestEx) from now on answers status without a callback.
typedef void (*VtBusScript_FailNthRequest_t)(std::uint32_t n, std::uint32_t status);
// Requests time out at once (callback with MODULE_STATUS_TIMEOUT, no delivery).
typedef void (*VtBusScript_SetRequestTimeoutAtOnce_t)(int on);
// request returns only after the reply callback has run (bounded by 5 s).
typedef void (*VtBusScript_SetReplyBeforeRequestReturns_t)(int on);
// senderSessionId stamped on every message (-1 = the process's real session).
typedef void (*VtBusScript_SetSenderSessionId_t)(std::int64_t session);
// Delivers a message to the subscribers of name as if published, stamped but
// with the chosen senderSessionId.
typedef std::uint32_t (*VtBusScript_InjectWithSession_t)(const wchar_t* name, const wchar_t* source,
                                                         const wchar_t* payload,
                                                         std::uint32_t senderSessionId);
// Delivers a raw header of headerBytes (100 for version 1, 108) unchanged.
typedef std::uint32_t (*VtBusScript_InjectRawHeader_t)(const void* header, std::uint32_t headerBytes,
                                                       const wchar_t* name, const wchar_t* source,
                                                       const wchar_t* payload);
// 1 when every queued delivery and reply has been run within timeoutMs, else 0.
typedef int (*VtBusScript_WaitIdle_t)(std::uint32_t timeoutMs);
// The ordered journal of calls, one line per call (N = the handle's number,
// see VtBusScript_HandleId): "CreateObject V", "open N", "close N",
// "publish N Name" (" reply" appended for a reply), "publishEx N Name",
// "request N Name index=I timeout=T", "requestEx ...", "subscribe N Name id=K"
// (or " refused"), "subscribeFilter N Expr id=K", "unsubscribe N id=K",
// "unregisterReplyCallback N", "inject Name"; unknown handles give "... unknown".
// The first 100000 lines are kept.
typedef std::uint32_t (*VtBusScript_JournalCount_t)();
// Copies entry index into buffer (capacity characters); answers its length, 0 past the end.
typedef std::uint32_t (*VtBusScript_JournalEntry_t)(std::uint32_t index, wchar_t* buffer,
                                                    std::uint32_t capacity);
// The small number a handle shows in the journal (0 for an unknown handle).
typedef std::uint32_t (*VtBusScript_HandleId_t)(void* handle);
// Handles open now.
typedef std::uint32_t (*VtBusScript_OpenHandleCount_t)();
}
