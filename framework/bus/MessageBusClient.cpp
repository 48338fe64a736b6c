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
// no delivery starts it from then on. A bus delivery passes through the
// client, which keeps track of which thread runs which handler.
struct SubscribedHandler : HandlerCell {
    SubscribedHandler(MessageHandler h, std::weak_ptr<MessageBusClient::Impl> client)
        : HandlerCell(std::move(h)), owner(std::move(client)) {}
    std::uint32_t run(std::shared_ptr<Message> message) override;
    bool removed = false;  // guarded by the client's subscription lock
    const std::weak_ptr<MessageBusClient::Impl> owner;
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

// A handler that has started and not finished, and the thread running it;
// onBus when it runs inside a bus callback. A null handler stands for a
// reply handler.
struct RunningHandler {
    RunningHandler(const SubscribedHandler* h, std::thread::id t, bool bus)
        : handler(h), thread(t), onBus(bus) {}
    const SubscribedHandler* handler;
    std::thread::id thread;
    bool onBus;
};

// A removal on one thread: first the bus is asked to end the subscriptions
// (it waits there for the bus callbacks running on other threads, unless
// the thread runs one itself), then the removal waits for their handlers.
struct RemovalState {
    std::thread::id thread;
    const std::vector<const SubscribedHandler*>* handlers;
    bool waitingForHandlers;
};

template <typename T>
bool contains(const std::vector<T>& in, const T& value) {
    return std::find(in.begin(), in.end(), value) != in.end();
}

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

class MessageBusClient::Impl : public std::enable_shared_from_this<Impl> {
public:
    std::shared_ptr<MessageBusShim> shim;
    std::shared_ptr<ProcessAPI> process;

    // The subscription lock guards the table and the bookkeeping of running
    // handlers and removals below. It is held across the shim's subscribe and
    // subscribeFilter and never across the shim's unsubscribe (the bus waits
    // there for running handlers, which may use this client) nor across a
    // handler. Once unsubscribe or unsubscribeAll has marked what it removes,
    // no handler of it starts; they return once no handler of it runs on
    // another thread, except where the running thread waits, directly or
    // through others, on the removing one: waiting for it would deadlock
    // (two handlers removing each other's alias). Every change to that
    // wait-for graph wakes the waiting removals. It is never held together
    // with the request lock.
    std::mutex subscriptionMutex;
    std::condition_variable graphChanged;  // with subscriptionMutex
    std::unordered_map<std::wstring, AliasSubscriptions> subscriptions;  // guarded by subscriptionMutex
    std::vector<RunningHandler> running;           // guarded by subscriptionMutex
    std::vector<const RemovalState*> removals;     // guarded by subscriptionMutex
    std::size_t removalsWaiting = 0;               // guarded by subscriptionMutex

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
        record.names.push_back(NameSubscription{0, name, newHandler(std::move(handler))});
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
            FilterSubscription{0, expression, std::move(compiled), newHandler(std::move(handler))});
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

    std::shared_ptr<SubscribedHandler> newHandler(MessageHandler handler) {
        return std::make_shared<SubscribedHandler>(std::move(handler), weak_from_this());
    }

    // The context the bus hands back to SubscriptionCallback.
    static void* context(SubscribedHandler& handler) {
        return static_cast<HandlerCell*>(&handler);
    }

    // Under the subscription lock: no delivery starts the record's
    // handlers from now on.
    static void markRemoved(const AliasSubscriptions& record) {
        for (const NameSubscription& s : record.names) s.handler->removed = true;
        for (const FilterSubscription& s : record.filters) s.handler->removed = true;
    }

    // Under the subscription lock: wakes the waiting removals to judge again.
    void graphChange() {
        if (removalsWaiting != 0) graphChanged.notify_all();
    }

    // Under the subscription lock.
    void startRunning(const SubscribedHandler* handler, std::thread::id thread, bool onBus) {
        running.emplace_back(handler, thread, onBus);
        graphChange();
    }
    void finishRunning(const SubscribedHandler* handler, std::thread::id thread, bool onBus) {
        const auto same = [&](const RunningHandler& r) {
            return r.handler == handler && r.thread == thread && r.onBus == onBus;
        };
        // Mostly the last one started.
        if (!running.empty() && same(running.back())) {
            running.pop_back();
        } else {
            auto it = std::find_if(running.begin(), running.end(), same);
            if (it != running.end()) running.erase(it);
        }
        graphChange();
    }

    // While it lives, the calling thread counts as running a bus callback of
    // handler (null: a reply handler); a removed handler does not start.
    class BusCallback {
    public:
        BusCallback(Impl& owner, const SubscribedHandler* handler)
            : owner_(owner), handler_(handler) {
            std::lock_guard<std::mutex> lock(owner_.subscriptionMutex);
            started_ = handler_ == nullptr || !handler_->removed;
            if (started_) owner_.startRunning(handler_, self_, true);
        }
        ~BusCallback() {
            if (!started_) return;
            std::lock_guard<std::mutex> lock(owner_.subscriptionMutex);
            owner_.finishRunning(handler_, self_, true);
        }
        BusCallback(const BusCallback&) = delete;
        BusCallback& operator=(const BusCallback&) = delete;
        bool started() const { return started_; }

    private:
        Impl& owner_;
        const SubscribedHandler* const handler_;
        const std::thread::id self_ = std::this_thread::get_id();
        bool started_ = false;
    };

    std::uint32_t runOnBus(SubscribedHandler& handler, std::shared_ptr<Message> message) {
        const BusCallback callback(*this, &handler);
        return callback.started() ? handler.handler(std::move(message)) : MODULE_STATUS_SUCCESS;
    }

    // Under the subscription lock: whether removal waits for running.
    static bool awaits(const RemovalState& removal, const RunningHandler& running) {
        return running.thread != removal.thread && contains(*removal.handlers, running.handler);
    }

    // Under the subscription lock.
    bool runsOnBus(std::thread::id thread) const {
        return std::any_of(running.begin(), running.end(), [&](const RunningHandler& r) {
            return r.onBus && r.thread == thread;
        });
    }

    // Under the subscription lock: visits each thread that thread waits for
    // in a removal of this client. In the bus that is every other thread
    // running a bus callback, unless thread runs one itself (the bus does not
    // wait on its delivery thread).
    template <typename Visit>
    void forEachAwaited(std::thread::id thread, Visit visit) const {
        for (const RemovalState* removal : removals) {
            if (removal->thread != thread) continue;
            const bool inBus = !removal->waitingForHandlers && !runsOnBus(thread);
            for (const RunningHandler& r : running) {
                if (removal->waitingForHandlers ? awaits(*removal, r)
                                                : inBus && r.onBus && r.thread != thread) {
                    visit(r.thread);
                }
            }
        }
    }

    // Under the subscription lock: whether from waits, directly or through
    // other threads, for to.
    bool waitsFor(std::thread::id from, std::thread::id to) const {
        std::vector<std::thread::id> reached{from};
        bool found = false;
        for (std::size_t i = 0; i < reached.size() && !found; ++i) {
            forEachAwaited(reached[i], [&](std::thread::id next) {
                found = found || next == to;
                if (!contains(reached, next)) reached.push_back(next);
            });
        }
        return found;
    }

    // Under the subscription lock: whether a handler the removal waits for
    // runs on a thread that does not wait for the removal's own.
    bool holdsUp(const RemovalState& removal) const {
        return std::any_of(running.begin(), running.end(), [&](const RunningHandler& r) {
            return awaits(removal, r) && !waitsFor(r.thread, removal.thread);
        });
    }

    // A removal in the wait-for graph from construction until it has waited
    // for its handlers or is destroyed.
    class Removal {
    public:
        Removal(Impl& owner, const std::vector<const SubscribedHandler*>& handlers)
            : owner_(owner), state_{std::this_thread::get_id(), &handlers, false} {
            std::lock_guard<std::mutex> lock(owner_.subscriptionMutex);
            owner_.removals.push_back(&state_);
            owner_.graphChange();
        }
        ~Removal() {
            if (ended_) return;
            std::lock_guard<std::mutex> lock(owner_.subscriptionMutex);
            end();
        }
        Removal(const Removal&) = delete;
        Removal& operator=(const Removal&) = delete;

        // Waits until no handler it removes runs on another thread, apart from
        // those whose thread waits for this one; leaves the graph under the
        // same hold of the lock, so no other removal sees it waiting on a
        // handler it skipped.
        void waitForHandlers() {
            std::unique_lock<std::mutex> lock(owner_.subscriptionMutex);
            state_.waitingForHandlers = true;
            ++owner_.removalsWaiting;
            owner_.graphChange();
            owner_.graphChanged.wait(lock, [&] { return !owner_.holdsUp(state_); });
            end();
        }

    private:
        // Under the subscription lock.
        void end() {
            auto& all = owner_.removals;
            all.erase(std::find(all.begin(), all.end(), &state_));
            if (state_.waitingForHandlers) --owner_.removalsWaiting;
            ended_ = true;
            owner_.graphChange();
        }
        Impl& owner_;
        RemovalState state_;
        bool ended_ = false;
    };

    void unsubscribeRecord(const AliasSubscriptions& record) {
        for (const NameSubscription& s : record.names) {
            shim->unsubscribe(s.id);
        }
        for (const FilterSubscription& s : record.filters) {
            shim->unsubscribe(s.id);
        }
    }

    // Asks the bus to end the dropped subscriptions, then waits until no
    // other thread runs a handler of them, apart from threads that wait for
    // this one.
    void drop(std::vector<AliasSubscriptions> dropped) {
        std::vector<const SubscribedHandler*> handlers;
        for (const AliasSubscriptions& record : dropped) {
            for (const NameSubscription& s : record.names) handlers.push_back(s.handler.get());
            for (const FilterSubscription& s : record.filters) handlers.push_back(s.handler.get());
        }
        Removal removal(*this, handlers);
        for (const AliasSubscriptions& record : dropped) unsubscribeRecord(record);
        removal.waitForHandlers();
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
            startRunning(handler.get(), self, false);
            lock.unlock();
            try {
                handler->handler(message);
            } catch (...) {
                result = MODULE_STATUS_UNKNOWN_EXCEPTION;
            }
            lock.lock();
            finishRunning(handler.get(), self, false);
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
            const BusCallback callback(*this, nullptr);
            try {
                entry.completion();
            } catch (...) {
            }
        }
        return MODULE_STATUS_SUCCESS;
    }
};

std::uint32_t SubscribedHandler::run(std::shared_ptr<Message> message) {
    // The client is held until the callback returns, also when the handler
    // releases it.
    const std::shared_ptr<MessageBusClient::Impl> client = owner.lock();
    return client ? client->runOnBus(*this, std::move(message)) : MODULE_STATUS_SUCCESS;
}

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
