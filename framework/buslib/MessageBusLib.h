// A bus connection of its own: loads the bus library, opens a handle on it
// and forwards the shim operations; closes the handle when it goes.
#pragma once

#include "framework/bus/MessageBusFunctions.h"
#include "framework/bus/MessageBusShim.h"
#include "platform/dll/LibraryFunctions.h"

#include <memory>

namespace Tessil {

class SharedLibrary;

// "MessageBus.dll" in the program's folder, then in the host's install folder.
const LibraryDescriptor& messageBusLibraryDescriptor();

class MessageBusLib : public MessageBusShim {
public:
    // An empty library is loaded from the bus library descriptor; an empty
    // inner shim becomes one over the handle opened here. Throws
    // ModuleException when the library, its table or the handle fails.
    explicit MessageBusLib(std::shared_ptr<SharedLibrary> library = nullptr,
                           std::shared_ptr<MessageBusShim> innerShim = nullptr);
    ~MessageBusLib() override;
    MessageBusLib(const MessageBusLib&) = delete;
    MessageBusLib& operator=(const MessageBusLib&) = delete;

    std::uint32_t publish(const std::shared_ptr<Message>& message, bool ex) override;
    std::uint32_t request(const std::shared_ptr<Message>& message, std::uint64_t replyIndex,
                          void* context, std::uint64_t timeoutMs, bool ex) override;
    std::uint32_t unregisterReplyCallback() override;
    void keepReplyContext(std::shared_ptr<void> context) override;
    std::uint32_t subscribe(const std::wstring& name, void* context) override;
    std::uint32_t subscribeFilter(const std::wstring& expression, void* context) override;
    std::uint32_t unsubscribe(std::uint32_t subscriptionId) override;

private:
    std::shared_ptr<SharedLibrary> library_;
    std::shared_ptr<MessageBusShim> innerShim_;
    MessageBusHandle handle_ = nullptr;  // opened here, closed by the destructor
    const MessageBusFunctions* functions_ = nullptr;
};

}  // namespace Tessil
