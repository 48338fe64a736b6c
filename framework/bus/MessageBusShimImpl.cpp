#include "framework/bus/MessageBusShimImpl.h"

#include "framework/message/CallGuarded.h"
#include "framework/message/ModuleException.h"
#include "platform/Logging/Logging.h"

#include <map>
#include <mutex>
#include <stdexcept>

namespace Tessil {

namespace {
const wchar_t kSource[] = L"MessageBusShimImpl";
const wchar_t* orEmpty(const wchar_t* s) { return s != nullptr ? s : L""; }

// The users of each handle's reply registration.
struct ReplyRegistration {
    std::size_t users = 0;
    std::vector<std::shared_ptr<void>> contexts;  // of users already gone
};
struct ReplyRegistrations {
    std::mutex mutex;
    std::map<MessageBusHandle, ReplyRegistration> byHandle;  // guarded by mutex
};
ReplyRegistrations& replyRegistrations() {
    // Never destroyed: shims may still go at process exit.
    static auto* registrations = new ReplyRegistrations;
    return *registrations;
}

thread_local int t_callbackDepth = 0;

// Marks the thread as inside a bus callback until the callback returns,
// after everything the callback held has been released.
struct CallbackScope {
    CallbackScope() { ++t_callbackDepth; }
    ~CallbackScope() { --t_callbackDepth; }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;
};
}  // namespace

bool insideBusCallback() { return t_callbackDepth > 0; }

std::uint32_t SubscriptionCallback(void* context, const MessageHeader* header, const wchar_t* name,
                                   const wchar_t* source, const wchar_t* payload) {
    CallbackScope scope;
    return callGuarded([&]() -> std::uint32_t {
        auto* cell = static_cast<HandlerCell*>(context);
        if (cell == nullptr) {
            throw std::invalid_argument("no handler object");
        }
        std::shared_ptr<HandlerCell> keep = cell->weak_from_this().lock();
        if (!cell->handler) {
            throw std::bad_function_call();
        }
        std::shared_ptr<Message> message =
            Message::create(orEmpty(name), orEmpty(source), orEmpty(payload));
        if (!message) {
            return MODULE_STATUS_UNKNOWN_EXCEPTION;
        }
        copyHeader(message->getHeader(), header);
        return cell->run(std::move(message));
    });
}

std::uint32_t ReplyCallback(void* context, std::uint64_t replyIndex, const MessageHeader* header,
                            const wchar_t* name, const wchar_t* source, const wchar_t* payload,
                            std::uint32_t status) {
    CallbackScope scope;
    return callGuarded([&]() -> std::uint32_t {
        auto* cell = static_cast<ReplyFunctionCell*>(context);
        if (cell == nullptr) {
            return MODULE_STATUS_INVALID_PARAMETER;
        }
        std::shared_ptr<ReplyFunctionCell> keep = cell->weak_from_this().lock();
        std::shared_ptr<Message> message;
        if (status == MODULE_STATUS_SUCCESS) {
            message = Message::create(orEmpty(name), orEmpty(source), orEmpty(payload));
            if (message) {
                copyHeader(message->getHeader(), header);
            }
        }
        if (!cell->function) {
            throw std::bad_function_call();
        }
        return cell->function(replyIndex, message, status);
    });
}

MessageBusShimImpl::MessageBusShimImpl(MessageBusHandle handle, const MessageBusFunctions* functions)
    : handle_(handle), functions_(functions) {
    if (handle_ == nullptr) {
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::MessageBusShimImpl::MessageBusShimImpl",
               L"Invalid message bus handle. Throwing ModuleException.");
        throw ModuleException("Invalid message bus handle");
    }
    if (functions_ == nullptr) {
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::MessageBusShimImpl::MessageBusShimImpl",
               L"Invalid message bus functions object. Throwing ModuleException.");
        throw ModuleException("Invalid message bus functions object");
    }
    ReplyRegistrations& registrations = replyRegistrations();
    std::lock_guard<std::mutex> lock(registrations.mutex);
    ++registrations.byHandle[handle_].users;
}

MessageBusShimImpl::~MessageBusShimImpl() {
    try {
        unregisterReplyCallback();
    } catch (...) {
    }
}

std::uint32_t MessageBusShimImpl::publish(const std::shared_ptr<Message>& message, bool ex) {
    if (!message) {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    return callBusEntry(ex ? functions_->publishEx : functions_->publish,
                        MODULE_STATUS_NOT_IMPLEMENTED, handle_,
                        static_cast<const MessageHeader*>(message->getHeader()),
                        message->getName().c_str(), message->getSource().c_str(),
                        message->getPayload().c_str());
}

std::uint32_t MessageBusShimImpl::request(const std::shared_ptr<Message>& message,
                                          std::uint64_t replyIndex, void* context,
                                          std::uint64_t timeoutMs, bool ex) {
    if (!message) {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    return callBusEntry(ex ? functions_->requestEx : functions_->request,
                        MODULE_STATUS_NOT_IMPLEMENTED, handle_, replyIndex, context,
                        &ReplyCallback, static_cast<const MessageHeader*>(message->getHeader()),
                        message->getName().c_str(), message->getSource().c_str(),
                        message->getPayload().c_str(), timeoutMs);
}

std::uint32_t MessageBusShimImpl::unregisterReplyCallback() {
    ReplyRegistrations& registrations = replyRegistrations();
    {
        std::lock_guard<std::mutex> lock(registrations.mutex);
        ReplyRegistration& registration = registrations.byHandle[handle_];
        if (!released_) {
            released_ = true;
            --registration.users;
            for (auto& context : replyContexts_) {
                registration.contexts.push_back(std::move(context));
            }
            replyContexts_.clear();
        }
        if (registration.users != 0) {
            return MODULE_STATUS_SUCCESS;
        }
    }
    const std::uint32_t status = callBusEntry(functions_->unregisterReplyCallback,
                                              MODULE_STATUS_NOT_IMPLEMENTED, handle_,
                                              &ReplyCallback);
    // No more reply calls for this handle: the kept contexts may go.
    std::vector<std::shared_ptr<void>> contexts;
    {
        std::lock_guard<std::mutex> lock(registrations.mutex);
        auto it = registrations.byHandle.find(handle_);
        if (it != registrations.byHandle.end() && it->second.users == 0) {
            contexts.swap(it->second.contexts);
            registrations.byHandle.erase(it);
        }
    }
    return status;
}

void MessageBusShimImpl::keepReplyContext(std::shared_ptr<void> context) {
    ReplyRegistrations& registrations = replyRegistrations();
    std::lock_guard<std::mutex> lock(registrations.mutex);
    if (released_) {
        registrations.byHandle[handle_].contexts.push_back(std::move(context));
    } else {
        replyContexts_.push_back(std::move(context));
    }
}

std::uint32_t MessageBusShimImpl::subscribe(const std::wstring& name, void* context) {
    return callBusEntry(functions_->subscribe, 0, handle_, context, &SubscriptionCallback,
                        name.c_str());
}

std::uint32_t MessageBusShimImpl::subscribeFilter(const std::wstring& expression, void* context) {
    return callBusEntry(functions_->subscribeFilter, 0, handle_, context, &SubscriptionCallback,
                        expression.c_str());
}

std::uint32_t MessageBusShimImpl::unsubscribe(std::uint32_t subscriptionId) {
    return callBusEntry(functions_->unsubscribe, MODULE_STATUS_NOT_IMPLEMENTED, handle_,
                        subscriptionId);
}

}  // namespace Tessil
