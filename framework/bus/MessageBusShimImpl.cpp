#include "framework/bus/MessageBusShimImpl.h"

#include "framework/message/CallGuarded.h"
#include "framework/message/ModuleException.h"
#include "platform/Logging/Logging.h"

#include <stdexcept>

namespace Tessil {

namespace {
const wchar_t kSource[] = L"MessageBusShimImpl";
const wchar_t* orEmpty(const wchar_t* s) { return s != nullptr ? s : L""; }
}  // namespace

std::uint32_t SubscriptionCallback(void* context, const MessageHeader* header, const wchar_t* name,
                                   const wchar_t* source, const wchar_t* payload) {
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
        return cell->handler(std::move(message));
    });
}

std::uint32_t ReplyCallback(void* context, std::uint64_t replyIndex, const MessageHeader* header,
                            const wchar_t* name, const wchar_t* source, const wchar_t* payload,
                            std::uint32_t status) {
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
    auto entry = ex ? functions_->publishEx : functions_->publish;
    if (entry == nullptr) {
        return MODULE_STATUS_NOT_IMPLEMENTED;
    }
    return entry(handle_, message->getHeader(), message->getName().c_str(),
                 message->getSource().c_str(), message->getPayload().c_str());
}

std::uint32_t MessageBusShimImpl::request(const std::shared_ptr<Message>& message,
                                          std::uint64_t replyIndex, void* context,
                                          std::uint64_t timeoutMs, bool ex) {
    if (!message) {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    auto entry = ex ? functions_->requestEx : functions_->request;
    if (entry == nullptr) {
        return MODULE_STATUS_NOT_IMPLEMENTED;
    }
    return entry(handle_, replyIndex, context, &ReplyCallback, message->getHeader(),
                 message->getName().c_str(), message->getSource().c_str(),
                 message->getPayload().c_str(), timeoutMs);
}

std::uint32_t MessageBusShimImpl::unregisterReplyCallback() {
    if (functions_->unregisterReplyCallback == nullptr) {
        return MODULE_STATUS_NOT_IMPLEMENTED;
    }
    return functions_->unregisterReplyCallback(handle_, &ReplyCallback);
}

std::uint32_t MessageBusShimImpl::subscribe(const std::wstring& name, void* context) {
    if (functions_->subscribe == nullptr) {
        return 0;
    }
    return functions_->subscribe(handle_, context, &SubscriptionCallback, name.c_str());
}

std::uint32_t MessageBusShimImpl::subscribeFilter(const std::wstring& expression, void* context) {
    if (functions_->subscribeFilter == nullptr) {
        return 0;
    }
    return functions_->subscribeFilter(handle_, context, &SubscriptionCallback, expression.c_str());
}

std::uint32_t MessageBusShimImpl::unsubscribe(std::uint32_t subscriptionId) {
    if (functions_->unsubscribe == nullptr) {
        return MODULE_STATUS_NOT_IMPLEMENTED;
    }
    return functions_->unsubscribe(handle_, subscriptionId);
}

}  // namespace Tessil
