#include "framework/buslib/MessageBusLib.h"

#include "framework/bus/MessageBusShimImpl.h"
#include "framework/message/ModuleException.h"
#include "framework/message/ModuleStatus.h"
#include "framework/performance/PerfTimer.h"
#include "platform/Logging/Logging.h"
#include "platform/dll/SharedLibrary.h"

#include <windows.h>

namespace Tessil {

namespace {
const wchar_t kSource[] = L"MessageBusLib";
const wchar_t kConstructor[] = L"Tessil::MessageBusLib::MessageBusLib";

// Built when the library is loaded.
const LibraryDescriptor kBusLibrary{L"MessageBus.dll", {L"$(App.Folder)", L"$(Halvex.InstallDir)"}};
// A connection closed inside one of the library's own callbacks leaves the
// library loaded for the rest of the process: freeing it there could pull
// its code from under the calling thread, and a thread of ours waiting to
// free it later could outlive this module.
void keepLoaded(std::shared_ptr<SharedLibrary> library) {
    new std::shared_ptr<SharedLibrary>(std::move(library));  // never released
    VT_LOG(ETWLogging::LevelWarning, kSource, L"Tessil::MessageBusLib::~MessageBusLib",
           L"Message bus released inside one of its callbacks. The library stays loaded.");
}

}  // namespace

const LibraryDescriptor& messageBusLibraryDescriptor() {
    return kBusLibrary;
}

MessageBusLib::MessageBusLib(std::shared_ptr<SharedLibrary> library,
                             std::shared_ptr<MessageBusShim> innerShim)
    : library_(std::move(library)), innerShim_(std::move(innerShim)) {
    internal::PerfTimer timer(L"MessageBusLib::MessageBusLib");
    if (!library_) {
        library_ = std::make_shared<SharedLibrary>(kBusLibrary);
    }
    const LibraryFunctions* exports = library_->getFunctions();
    functions_ = static_cast<const MessageBusFunctions*>(
        exports->CreateObject(MESSAGE_BUS_INTERFACE_VERSION));
    if (!canOpenConnection(functions_)) {
        VT_LOG(ETWLogging::LevelError, kSource, kConstructor,
               L"Failed to get message bus functions object. Throwing ModuleException.");
        throw ModuleException("Failed to get message bus functions object");
    }
    const std::uint32_t status =
        callBusEntry(functions_->open, MODULE_STATUS_NOT_IMPLEMENTED, &handle_);
    if (status != MODULE_STATUS_SUCCESS) {
        VT_LOG(ETWLogging::LevelError, kSource, kConstructor,
               L"Failed to get message bus handle. Error code: %ls(%lu). Throwing ModuleException.",
               moduleStatusName(status), static_cast<unsigned long>(status));
        throw ModuleException("Failed to get message bus handle");
    }
    if (!innerShim_) {
        try {
            innerShim_ = std::make_shared<MessageBusShimImpl>(handle_, functions_);
        } catch (...) {
            // The destructor will not run: close the open handle here.
            try {
                callBusEntry(functions_->close, MODULE_STATUS_NOT_IMPLEMENTED, handle_);
            } catch (...) {
            }
            throw;
        }
    }
}

MessageBusLib::~MessageBusLib() {
    innerShim_.reset();
    try {
        const std::uint32_t status =
            callBusEntry(functions_->close, MODULE_STATUS_NOT_IMPLEMENTED, handle_);
        if (status != MODULE_STATUS_SUCCESS) {
            VT_LOG(ETWLogging::LevelWarning, kSource, L"Tessil::MessageBusLib::~MessageBusLib",
                   L"Failed to release message bus. Error code %ls(%lu).", moduleStatusName(status),
                   static_cast<unsigned long>(status));
        }
    } catch (...) {
    }
    if (insideBusCallback()) {
        keepLoaded(std::move(library_));
    } else {
        library_.reset();
    }
}

std::uint32_t MessageBusLib::publish(const std::shared_ptr<Message>& message, bool ex) {
    return innerShim_->publish(message, ex);
}

std::uint32_t MessageBusLib::request(const std::shared_ptr<Message>& message,
                                     std::uint64_t replyIndex, void* context,
                                     std::uint64_t timeoutMs, bool ex) {
    return innerShim_->request(message, replyIndex, context, timeoutMs, ex);
}

std::uint32_t MessageBusLib::unregisterReplyCallback() {
    return innerShim_->unregisterReplyCallback();
}

void MessageBusLib::keepReplyContext(std::shared_ptr<void> context) {
    innerShim_->keepReplyContext(std::move(context));
}

std::uint32_t MessageBusLib::subscribe(const std::wstring& name, void* context) {
    return innerShim_->subscribe(name, context);
}

std::uint32_t MessageBusLib::subscribeFilter(const std::wstring& expression, void* context) {
    return innerShim_->subscribeFilter(expression, context);
}

std::uint32_t MessageBusLib::unsubscribe(std::uint32_t subscriptionId) {
    return innerShim_->unsubscribe(subscriptionId);
}

}  // namespace Tessil
