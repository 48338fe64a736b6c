// The module base class: keeps what the host hands over at initialisation and
// is itself a bus that forwards every operation to the bus stored then.
#pragma once

#include "framework/bus/MessageBus.h"
#include "framework/module/IOCContainer.h"
#include "framework/module/Module.h"
#include "framework/module/ModuleManagerShim.h"

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace Tessil {

using PropertyMap = std::unordered_map<std::wstring, std::wstring>;

class BaseModule : public Module, public MessageBus {
public:
    // An empty container becomes a new empty one.
    explicit BaseModule(std::shared_ptr<Kelmora::IOCContainer> container = nullptr);
    ~BaseModule() override;
    BaseModule(const BaseModule&) = delete;
    BaseModule& operator=(const BaseModule&) = delete;

    std::uint32_t initialize() override;
    std::uint32_t start() override;
    std::uint32_t stop() override;
    std::uint32_t uninitialize() override;
    virtual std::uint32_t baseInitialize(const std::wstring& name, const std::wstring& name2,
                                         const PropertyMap& properties,
                                         std::shared_ptr<internal::ModuleManagerShim> manager,
                                         std::shared_ptr<MessageBus> bus);

    // Runs the stored client's matching handlers on the calling thread.
    std::uint32_t directMessage(std::shared_ptr<Message> message);

    // Ends every subscription made through the stored bus; run before the
    // module is destroyed, while the derived parts still exist.
    void releaseBusSubscriptions();

    std::uint32_t publish(const std::shared_ptr<Message>& message) override;
    std::uint32_t publishEx(const std::shared_ptr<Message>& message) override;
    std::uint32_t request(const std::shared_ptr<Message>& message, ReplyHandler handler,
                          const std::uint64_t& timeoutMs) override;
    std::uint32_t request(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                          const std::uint64_t& timeoutMs) override;
    std::uint32_t requestEx(const std::shared_ptr<Message>& message, ReplyHandler handler,
                            const std::uint64_t& timeoutMs) override;
    std::uint32_t requestEx(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                            const std::uint64_t& timeoutMs) override;
    std::uint32_t subscribe(const std::wstring& name, const std::wstring& alias,
                            MessageHandler handler) override;
    std::uint32_t subscribe(const std::wstring& name, MessageHandler handler) override;
    std::uint32_t subscribeSession(const std::wstring& name, const std::wstring& alias,
                                   MessageHandler handler) override;
    std::uint32_t subscribeSession(const std::wstring& name, MessageHandler handler) override;
    std::uint32_t subscribeFilter(const std::wstring& expression, const std::wstring& alias,
                                  MessageHandler handler) override;
    std::uint32_t subscribeFilter(const std::wstring& expression, MessageHandler handler) override;
    std::uint32_t subscribeFilterSession(const std::wstring& expression, const std::wstring& alias,
                                         MessageHandler handler) override;
    std::uint32_t subscribeFilterSession(const std::wstring& expression,
                                         MessageHandler handler) override;
    std::uint32_t unsubscribe(const std::wstring& alias) override;

    // What initialisation stored (copies).
    std::wstring moduleName() const;
    std::wstring moduleName2() const;
    PropertyMap properties() const;
    std::shared_ptr<internal::ModuleManagerShim> moduleManager() const;
    std::shared_ptr<MessageBus> bus() const;
    std::shared_ptr<Kelmora::IOCContainer> container() const { return container_; }

private:
    // Runs call on the stored bus; MODULE_STATUS_INVALID_STATE when none is stored.
    template <typename Call>
    std::uint32_t forward(Call&& call) const;

    mutable std::mutex mutex_;
    std::wstring name_;                                      // guarded by mutex_
    std::wstring name2_;                                     // guarded by mutex_
    PropertyMap properties_;                                 // guarded by mutex_
    std::shared_ptr<internal::ModuleManagerShim> manager_;   // guarded by mutex_
    std::shared_ptr<MessageBus> bus_;                        // guarded by mutex_
    std::shared_ptr<Kelmora::IOCContainer> container_;
};

}  // namespace Tessil
