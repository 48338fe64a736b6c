#include "framework/buslib/MessageBusLib.h"

#include "framework/bus/MessageBusShimImpl.h"
#include "framework/message/ModuleException.h"
#include "framework/message/ModuleStatus.h"
#include "framework/performance/PerfTimer.h"
#include "platform/Logging/Logging.h"
#include "platform/dll/SharedLibrary.h"

#include <windows.h>

#include <thread>

namespace Tessil {

namespace {
const wchar_t kSource[] = L"MessageBusLib";
const wchar_t kConstructor[] = L"Tessil::MessageBusLib::MessageBusLib";

// Built when the library is loaded.
const LibraryDescriptor kBusLibrary{L"MessageBus.dll", {L"$(App.Folder)", L"$(Halvex.InstallDir)"}};
// Releases the library on a thread of our own once the calling thread, a
// thread of that library, has ended: freeing it while one of its threads
// still runs its code would pull the code from under that thread. When no
// such thread can be made the library stays loaded.
void releaseAfterThisThread(std::shared_ptr<SharedLibrary> library) {
    auto* held = new std::shared_ptr<SharedLibrary>(std::move(library));
    HANDLE self = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                         SYNCHRONIZE, FALSE, 0)) {
        return;
    }
    try {
        std::thread([held, self] {
            WaitForSingleObject(self, INFINITE);
            CloseHandle(self);
            delete held;
        }).detach();
    } catch (...) {
        CloseHandle(self);
    }
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
        releaseAfterThisThread(std::move(library_));
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
