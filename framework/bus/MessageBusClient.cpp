#include "framework/bus/MessageBusClient.h"

#include "framework/bus/MessageBusShimImpl.h"
#include "framework/bus/RegexMatch.h"
#include "framework/message/ModuleException.h"
#include "framework/message/ModuleStatus.h"
#include "framework/message/ReplyImpl.h"
#include "platform/Logging/Logging.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Tessil {

namespace {

const wchar_t kSource[] = L"MessageBusClient";

// A subscription's handler object. removed is set when its alias is removed:
// no direct delivery starts it from then on.
struct SubscribedHandler : HandlerCell {
    using HandlerCell::HandlerCell;
    bool removed = false;  // guarded by the client's subscription lock
};

struct NameSubscription {
    std::uint32_t id;
    std::wstring name;
    std::shared_ptr<SubscribedHandler> handler;
};

struct FilterSubscription {
    std::uint32_t id;
    std::wstring expressionText;
    std::wregex expression;
    std::shared_ptr<SubscribedHandler> handler;
};

// A direct handler that has started and the thread running it.
struct RunningDirect {
    const SubscribedHandler* handler;
    std::thread::id thread;
};

struct AliasSubscriptions {
    std::vector<NameSubscription> names;
    std::vector<FilterSubscription> filters;
};

// A request waiting for its reply. One that goes unanswered (the client is
// destroyed) fails its slot: a Reply held elsewhere then ends with status 3.
struct PendingRequest {
    PendingRequest() = default;
    PendingRequest(PendingRequest&&) = default;
    PendingRequest& operator=(PendingRequest&&) = default;
    ~PendingRequest() {
        if (slot) slot->fail();
    }
    std::shared_ptr<ReplySlot> slot;
    std::function<void()> completion;  // empty for the reply form
};

void logTooLong(const std::wstring& name) {
    VT_LOG(ETWLogging::LevelWarning, kSource, L"Tessil::MessageBusClient::deliverDirect",
           L"Message name of %lu characters is too long for expression matching; not matched.",
           static_cast<unsigned long>(name.size()));
}

}  // namespace

class MessageBusClient::Impl {
public:
    std::shared_ptr<MessageBusShim> shim;
    std::shared_ptr<ProcessAPI> process;

    // The subscription lock guards the table and the bookkeeping of direct
    // handlers and removals below. It is held across the shim's subscribe and
    // subscribeFilter and never across the shim's unsubscribe (the bus waits
    // there for running handlers, which may use this client) nor across a
    // handler. Once unsubscribe or unsubscribeAll has marked what it removes,
    // no direct handler of it starts; they return once the direct handlers of
    // it that had started on other threads have finished, except those whose
    // thread is itself removing subscriptions of this client (two handlers
    // removing each other's alias would wait for each other). It is never
    // held together with the request lock.
    std::mutex subscriptionMutex;
    std::condition_variable directFinished;  // with subscriptionMutex
    std::unordered_map<std::wstring, AliasSubscriptions> subscriptions;  // guarded by subscriptionMutex
    std::vector<RunningDirect> runningDirect;       // guarded by subscriptionMutex
    std::vector<std::thread::id> removingThreads;   // guarded by subscriptionMutex
    std::size_t removalsWaiting = 0;                // guarded by subscriptionMutex

    std::shared_ptr<ReplyFunctionCell> replyFunction;
    std::mutex requestMutex;
    std::uint64_t requestCounter = 0;                              // guarded by requestMutex
    std::unordered_map<std::uint64_t, PendingRequest> pending;     // guarded by requestMutex

    std::uint32_t sessionId = 0;

    MessageHandler wrapSession(MessageHandler handler) const {
        return [own = sessionId, inner = std::move(handler)](std::shared_ptr<Message> message)
                   -> std::uint32_t {
            if (message) {
                const MessageHeaderExtension* ext = message->getHeader()->getExtension(2);
                if (ext != nullptr && ext->senderSessionId != 0 && ext->senderSessionId != own) {
                    return MODULE_STATUS_SUCCESS;
                }
            }
            return inner(std::move(message));
        };
    }

    std::uint32_t subscribeName(const std::wstring& name, const std::wstring& alias,
                                MessageHandler handler) {
        std::lock_guard<std::mutex> lock(subscriptionMutex);
        AliasSubscriptions& record = subscriptions[alias];
        record.names.push_back(
            NameSubscription{0, name, std::make_shared<SubscribedHandler>(std::move(handler))});
        const std::uint32_t id = shim->subscribe(name, context(*record.names.back().handler));
        if (id == 0) {
            VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::MessageBusClient::subscribe",
                   L"Failed to subscribe. Alias: %ls Message name: %ls", alias.c_str(),
                   name.c_str());
            record.names.pop_back();
            return MODULE_STATUS_UNSUCCESSFUL;
        }
        record.names.back().id = id;
        return MODULE_STATUS_SUCCESS;
    }

    std::uint32_t subscribeExpression(const std::wstring& expression, const std::wstring& alias,
                                      MessageHandler handler) {
        std::wregex compiled;
        try {
            compiled.assign(expression, kBusRegexFlags);
        } catch (const std::regex_error& e) {
            VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::MessageBusClient::subscribeFilter",
                   L"subscribeFilter failed. Regex error with regex \"%ls\" [caught: %hs]",
                   expression.c_str(), e.what());
            return MODULE_STATUS_INVALID_PARAMETER;
        }
        std::lock_guard<std::mutex> lock(subscriptionMutex);
        AliasSubscriptions& record = subscriptions[alias];
        record.filters.push_back(
            FilterSubscription{0, expression, std::move(compiled),
                               std::make_shared<SubscribedHandler>(std::move(handler))});
        const std::uint32_t id =
            shim->subscribeFilter(expression, context(*record.filters.back().handler));
        if (id == 0) {
            VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::MessageBusClient::subscribeFilter",
                   L"Failed to subscribeFilter. Alias: %ls Message nameRegex: %ls", alias.c_str(),
                   expression.c_str());
            record.filters.pop_back();
            return MODULE_STATUS_UNSUCCESSFUL;
        }
        record.filters.back().id = id;
        return MODULE_STATUS_SUCCESS;
    }

    // The context the bus hands back to SubscriptionCallback.
    static void* context(SubscribedHandler& handler) {
        return static_cast<HandlerCell*>(&handler);
    }

    // Under the subscription lock: no direct delivery starts the record's
    // handlers from now on.
    static void markRemoved(const AliasSubscriptions& record) {
        for (const NameSubscription& s : record.names) s.handler->removed = true;
        for (const FilterSubscription& s : record.filters) s.handler->removed = true;
    }

    // While it lives, the calling thread counts as removing subscriptions of
    // this client.
    class Removal {
    public:
        explicit Removal(Impl& owner) : owner_(owner) {
            std::lock_guard<std::mutex> lock(owner_.subscriptionMutex);
            owner_.removingThreads.push_back(self_);
            // Removals waiting for this thread's handlers need not wait any more.
            if (owner_.removalsWaiting != 0) owner_.directFinished.notify_all();
        }
        ~Removal() {
            std::lock_guard<std::mutex> lock(owner_.subscriptionMutex);
            auto& threads = owner_.removingThreads;
            threads.erase(std::find(threads.begin(), threads.end(), self_));
        }
        Removal(const Removal&) = delete;
        Removal& operator=(const Removal&) = delete;

    private:
        Impl& owner_;
        const std::thread::id self_ = std::this_thread::get_id();
    };

    void unsubscribeRecord(const AliasSubscriptions& record) {
        for (const NameSubscription& s : record.names) {
            shim->unsubscribe(s.id);
        }
        for (const FilterSubscription& s : record.filters) {
            shim->unsubscribe(s.id);
        }
    }

    bool removing(std::thread::id thread) const {
        return std::find(removingThreads.begin(), removingThreads.end(), thread) !=
               removingThreads.end();
    }

    // Asks the bus to end the dropped subscriptions, then waits until no
    // other thread runs a direct handler of them, apart from threads that
    // are themselves removing subscriptions.
    void drop(std::vector<AliasSubscriptions> dropped) {
        const Removal removal(*this);
        std::vector<const SubscribedHandler*> handlers;
        for (const AliasSubscriptions& record : dropped) {
            unsubscribeRecord(record);
            for (const NameSubscription& s : record.names) handlers.push_back(s.handler.get());
            for (const FilterSubscription& s : record.filters) handlers.push_back(s.handler.get());
        }
        const std::thread::id self = std::this_thread::get_id();
        std::unique_lock<std::mutex> lock(subscriptionMutex);
        ++removalsWaiting;
        const auto waitedFor = [&](const RunningDirect& r) {
            return r.thread != self && !removing(r.thread) &&
                   std::find(handlers.begin(), handlers.end(), r.handler) != handlers.end();
        };
        directFinished.wait(lock, [&] {
            return std::none_of(runningDirect.begin(), runningDirect.end(), waitedFor);
        });
        --removalsWaiting;
        // The handler objects go here; a running delivery keeps its own.
    }

    std::uint32_t unsubscribe(const std::wstring& alias) {
        std::vector<AliasSubscriptions> dropped;
        {
            std::lock_guard<std::mutex> lock(subscriptionMutex);
            auto it = subscriptions.find(alias);
            if (it == subscriptions.end()) {
                VT_LOG(ETWLogging::LevelWarning, kSource, L"Tessil::MessageBusClient::unsubscribe",
                       L"Subscription not found. Alias: %ls.", alias.c_str());
                return MODULE_STATUS_SUCCESS;
            }
            markRemoved(it->second);
            dropped.push_back(std::move(it->second));
            subscriptions.erase(it);
        }
        drop(std::move(dropped));
        return MODULE_STATUS_SUCCESS;
    }

    void unsubscribeAll() {
        std::vector<AliasSubscriptions> dropped;
        {
            std::lock_guard<std::mutex> lock(subscriptionMutex);
            for (auto& entry : subscriptions) {
                markRemoved(entry.second);
                dropped.push_back(std::move(entry.second));
            }
            subscriptions.clear();
        }
        drop(std::move(dropped));
    }

    // Under the subscription lock: the calling thread's handler has finished.
    void finishDirect(const SubscribedHandler* handler, std::thread::id self) {
        auto it = std::find_if(runningDirect.begin(), runningDirect.end(),
                               [&](const RunningDirect& r) {
                                   return r.handler == handler && r.thread == self;
                               });
        if (it != runningDirect.end()) runningDirect.erase(it);
        if (removalsWaiting != 0) directFinished.notify_all();
    }

    std::uint32_t deliverDirect(const std::shared_ptr<Message>& message) {
        const std::wstring& name = message->getName();
        const std::thread::id self = std::this_thread::get_id();
        std::vector<std::shared_ptr<SubscribedHandler>> matching;
        bool tooLong = false;
        std::unique_lock<std::mutex> lock(subscriptionMutex);
        for (const auto& entry : subscriptions) {
            for (const NameSubscription& s : entry.second.names) {
                if (s.name == name && s.handler && s.handler->handler) {
                    matching.push_back(s.handler);
                }
            }
            for (const FilterSubscription& s : entry.second.filters) {
                const RegexMatchResult match = regexFullMatchBounded(s.expression, name);
                tooLong = tooLong || match == RegexMatchResult::TooLong;
                if (match == RegexMatchResult::Match && s.handler && s.handler->handler) {
                    matching.push_back(s.handler);
                }
            }
        }
        if (tooLong) {
            lock.unlock();
            logTooLong(name);
            lock.lock();
        }
        // Each handler starts, under the lock, only while its alias is still
        // subscribed: a handler before it, or another thread, may have
        // removed it.
        std::uint32_t result = MODULE_STATUS_SUCCESS;
        for (const auto& handler : matching) {
            if (handler->removed) continue;
            runningDirect.push_back(RunningDirect{handler.get(), self});
            lock.unlock();
            try {
                handler->handler(message);
            } catch (...) {
                result = MODULE_STATUS_UNKNOWN_EXCEPTION;
            }
            lock.lock();
            finishDirect(handler.get(), self);
        }
        return result;
    }

    std::uint32_t replyCallback(std::uint64_t replyIndex, const std::shared_ptr<Message>& message,
                                std::uint32_t status) {
        PendingRequest entry;
        {
            std::lock_guard<std::mutex> lock(requestMutex);
            auto it = pending.find(replyIndex);
            if (it == pending.end()) {
                VT_LOG(ETWLogging::LevelWarning, kSource, L"Tessil::MessageBusClient::replyCallback",
                       L"Reply index not found. Returning");
                return MODULE_STATUS_NOT_FOUND;
            }
            entry = std::move(it->second);
            pending.erase(it);
        }
        if (status == MODULE_STATUS_TIMEOUT) {
            entry.slot->timeOut();
        } else if (status != MODULE_STATUS_SUCCESS) {
            entry.slot->fail();
        } else {
            entry.slot->complete(message);
        }
        if (entry.completion) {
            try {
                entry.completion();
            } catch (...) {
            }
        }
        return MODULE_STATUS_SUCCESS;
    }
};

MessageBusClient::MessageBusClient(std::shared_ptr<MessageBusShim> shim,
                                   std::shared_ptr<ProcessAPI> process)
    : impl_(std::make_shared<Impl>()) {
    if (!shim) {
        throw ModuleException("Invalid message bus shim");
    }
    impl_->shim = std::move(shim);
    impl_->process = process ? std::move(process) : std::make_shared<ProcessAPI>();
    std::weak_ptr<Impl> weak = impl_;
    impl_->replyFunction = std::make_shared<ReplyFunctionCell>(
        [weak](std::uint64_t index, const std::shared_ptr<Message>& message,
               std::uint32_t status) -> std::uint32_t {
            std::shared_ptr<Impl> keep = weak.lock();
            if (!keep) {
                return MODULE_STATUS_NOT_FOUND;
            }
            return keep->replyCallback(index, message, status);
        });
    impl_->shim->keepReplyContext(impl_->replyFunction);

    const DWORD processId = impl_->process->getCurrentProcessId();
    DWORD session = 0;
    if (impl_->process->processIdToSessionId(processId, &session)) {
        VT_LOG(ETWLogging::LevelNormal, kSource, L"Tessil::MessageBusClient::MessageBusClient",
               L"Found session id %ld for process %ld", static_cast<long>(session),
               static_cast<long>(processId));
        impl_->sessionId = session;
    } else {
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::MessageBusClient::MessageBusClient",
               L"Failed to get the session id for process %ld - defaulting to %ld",
               static_cast<long>(processId), 0L);
        impl_->sessionId = 0;
    }
}

MessageBusClient::~MessageBusClient() {
    try {
        impl_->unsubscribeAll();
        impl_->shim->unregisterReplyCallback();
    } catch (...) {
    }
    // Abandon every unanswered request: a Reply held elsewhere ends with status 3.
    std::unordered_map<std::uint64_t, PendingRequest> abandoned;
    {
        std::lock_guard<std::mutex> lock(impl_->requestMutex);
        abandoned.swap(impl_->pending);
    }
    abandoned.clear();
    // impl_ (and with it the shim) goes now, or when a running callback of
    // this client returns.
}

std::uint32_t MessageBusClient::sessionId() const { return impl_->sessionId; }

std::uint32_t MessageBusClient::publish(const std::shared_ptr<Message>& message) {
    return internalPublish(message, false);
}

std::uint32_t MessageBusClient::publishEx(const std::shared_ptr<Message>& message) {
    return internalPublish(message, true);
}

std::uint32_t MessageBusClient::internalPublish(const std::shared_ptr<Message>& message, bool ex) {
    if (!message) {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    MessageHeader* header = message->getHeader();
    bool plainCopyDue = false;
    if (header->testFlag(MESSAGE_FLAG_REPLY) && !header->testFlag(MESSAGE_FLAG_NO_PLAIN_COPY) &&
        !header->testFlag(MESSAGE_FLAG_PLAIN_COPY_SENT)) {
        header->setFlag(MESSAGE_FLAG_PLAIN_COPY_SENT);
        plainCopyDue = true;
    }
    const std::uint32_t result = impl_->shim->publish(message, ex);
    if (result != MODULE_STATUS_SUCCESS) {
        if (plainCopyDue) {
            header->clearFlag(MESSAGE_FLAG_PLAIN_COPY_SENT);  // a retry sends the copy
        }
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::MessageBusClient::internalPublish",
               L"Failed to publish message. Error code %lu.", static_cast<unsigned long>(result));
        return result;
    }
    if (!plainCopyDue) {
        return MODULE_STATUS_SUCCESS;
    }
    header->clearFlag(MESSAGE_FLAG_REPLY);
    header->clearReplyTo();
    const std::uint32_t copyResult = impl_->shim->publish(message, ex);
    if (copyResult != MODULE_STATUS_SUCCESS) {
        VT_LOG(ETWLogging::LevelWarning, kSource, L"Tessil::MessageBusClient::internalPublish",
               L"Failed to publish non-reply copy of the message. Error code %lu.",
               static_cast<unsigned long>(copyResult));
    }
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t MessageBusClient::request(const std::shared_ptr<Message>& message,
                                        ReplyHandler handler, const std::uint64_t& timeoutMs) {
    return internalRequest(message, &handler, nullptr, timeoutMs, false);
}

std::uint32_t MessageBusClient::request(const std::shared_ptr<Message>& message,
                                        std::shared_ptr<Reply>& reply,
                                        const std::uint64_t& timeoutMs) {
    return internalRequest(message, nullptr, &reply, timeoutMs, false);
}

std::uint32_t MessageBusClient::requestEx(const std::shared_ptr<Message>& message,
                                          ReplyHandler handler, const std::uint64_t& timeoutMs) {
    return internalRequest(message, &handler, nullptr, timeoutMs, true);
}

std::uint32_t MessageBusClient::requestEx(const std::shared_ptr<Message>& message,
                                          std::shared_ptr<Reply>& reply,
                                          const std::uint64_t& timeoutMs) {
    return internalRequest(message, nullptr, &reply, timeoutMs, true);
}

std::uint32_t MessageBusClient::internalRequest(const std::shared_ptr<Message>& message,
                                                ReplyHandler* handler,
                                                std::shared_ptr<Reply>* reply,
                                                std::uint64_t timeoutMs, bool ex) {
    if (!message) {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    std::uint64_t index = 0;
    auto slot = std::make_shared<ReplySlot>();
    {
        std::lock_guard<std::mutex> lock(impl_->requestMutex);
        index = impl_->requestCounter++;
        if (impl_->pending.count(index) != 0) {
            VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::MessageBusClient::internalRequest",
                   L"Unable to create reply promise. Returning.");
            return MODULE_STATUS_UNSUCCESSFUL;
        }
        PendingRequest entry;
        entry.slot = slot;
        if (reply == nullptr) {
            ReplyHandler callerHandler = handler != nullptr ? std::move(*handler) : ReplyHandler();
            entry.completion = [slot, callerHandler]() {
                auto outcome = std::make_shared<ReplyImpl>(slot, 0);
                outcome->wait();
                if (callerHandler) {
                    callerHandler(outcome);
                }
            };
        }
        impl_->pending.emplace(index, std::move(entry));
    }
    const std::uint32_t result =
        impl_->shim->request(message, index, impl_->replyFunction.get(), timeoutMs, ex);
    if (result != MODULE_STATUS_SUCCESS) {
        std::lock_guard<std::mutex> lock(impl_->requestMutex);
        impl_->pending.erase(index);
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::MessageBusClient::internalRequest",
               L"Failed to make request. Error code %lu.", static_cast<unsigned long>(result));
        return result;
    }
    if (reply != nullptr) {
        *reply = std::make_shared<ReplyImpl>(std::move(slot), timeoutMs);
    }
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t MessageBusClient::replyCallback(std::uint64_t replyIndex,
                                              const std::shared_ptr<Message>& message,
                                              std::uint32_t status) {
    return impl_->replyCallback(replyIndex, message, status);
}

std::uint32_t MessageBusClient::subscribe(const std::wstring& name, const std::wstring& alias,
                                          MessageHandler handler) {
    return impl_->subscribeName(name, alias, std::move(handler));
}

std::uint32_t MessageBusClient::subscribe(const std::wstring& name, MessageHandler handler) {
    return impl_->subscribeName(name, name, std::move(handler));
}

std::uint32_t MessageBusClient::subscribeSession(const std::wstring& name,
                                                 const std::wstring& alias,
                                                 MessageHandler handler) {
    if (impl_->sessionId == 0) {
        return impl_->subscribeName(name, alias, std::move(handler));
    }
    return impl_->subscribeName(name, alias, impl_->wrapSession(std::move(handler)));
}

std::uint32_t MessageBusClient::subscribeSession(const std::wstring& name, MessageHandler handler) {
    return subscribeSession(name, name, std::move(handler));
}

std::uint32_t MessageBusClient::subscribeFilter(const std::wstring& expression,
                                                const std::wstring& alias, MessageHandler handler) {
    return impl_->subscribeExpression(expression, alias, std::move(handler));
}

std::uint32_t MessageBusClient::subscribeFilter(const std::wstring& expression,
                                                MessageHandler handler) {
    return impl_->subscribeExpression(expression, expression, std::move(handler));
}

std::uint32_t MessageBusClient::subscribeFilterSession(const std::wstring& expression,
                                                       const std::wstring& alias,
                                                       MessageHandler handler) {
    if (impl_->sessionId == 0) {
        return impl_->subscribeExpression(expression, alias, std::move(handler));
    }
    return impl_->subscribeExpression(expression, alias, impl_->wrapSession(std::move(handler)));
}

std::uint32_t MessageBusClient::subscribeFilterSession(const std::wstring& expression,
                                                       MessageHandler handler) {
    return subscribeFilterSession(expression, expression, std::move(handler));
}

std::uint32_t MessageBusClient::unsubscribe(const std::wstring& alias) {
    return impl_->unsubscribe(alias);
}

void MessageBusClient::unsubscribeAll() { impl_->unsubscribeAll(); }

std::uint32_t MessageBusClient::deliverDirect(const std::shared_ptr<Message>& message) {
    return message ? impl_->deliverDirect(message) : MODULE_STATUS_SUCCESS;
}

}  // namespace Tessil
