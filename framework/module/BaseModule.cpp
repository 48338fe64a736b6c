#include "framework/module/BaseModule.h"

#include "framework/bus/MessageBusClient.h"
#include "framework/message/ModuleStatus.h"
#include "platform/Logging/Logging.h"

#include <utility>

namespace Tessil {

namespace {
const wchar_t kSource[] = L"BaseModule";
}


BaseModule::BaseModule(std::shared_ptr<Kelmora::IOCContainer> container)
    : container_(container ? std::move(container) : std::make_shared<Kelmora::IOCContainer>()) {}

BaseModule::~BaseModule() = default;

std::uint32_t BaseModule::initialize() { return MODULE_STATUS_SUCCESS; }
std::uint32_t BaseModule::start() { return MODULE_STATUS_SUCCESS; }
std::uint32_t BaseModule::stop() { return MODULE_STATUS_SUCCESS; }
std::uint32_t BaseModule::uninitialize() { return MODULE_STATUS_SUCCESS; }

std::uint32_t BaseModule::baseInitialize(const std::wstring& name, const std::wstring& name2,
                                         const PropertyMap& properties,
                                         std::shared_ptr<internal::ModuleManagerShim> manager,
                                         std::shared_ptr<MessageBus> bus) {
    // The replaced bus goes after the lock is released: its client waits for
    // its running handlers, which forward through this module.
    std::shared_ptr<MessageBus> replaced;
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = name;
    name2_ = name2;
    properties_ = properties;
    if (!manager) {
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::BaseModule::baseInitialize",
               L"Invalid module manager object passed to base initialize.");
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    manager_ = std::move(manager);
    if (!bus) {
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::BaseModule::baseInitialize",
               L"Invalid message bus object passed to base initialize.");
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    replaced = std::exchange(bus_, bus);
    container_->registerFactory<MessageBus>(Kelmora::kDefaultRegistrationName, std::move(bus));
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t BaseModule::directMessage(std::shared_ptr<Message> message) {
    auto client = std::dynamic_pointer_cast<MessageBusClient>(bus());
    if (!client) {
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::BaseModule::directMessage",
               L"Failed to process direct message. Invalid message bus client.");
        return MODULE_STATUS_INVALID_STATE;
    }
    return client->deliverDirect(message);
}

void BaseModule::releaseBusSubscriptions() {
    if (auto client = std::dynamic_pointer_cast<MessageBusClient>(bus())) {
        client->unsubscribeAll();
    }
}

std::wstring BaseModule::moduleName() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return name_;
}

std::wstring BaseModule::moduleName2() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return name2_;
}

PropertyMap BaseModule::properties() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return properties_;
}

std::shared_ptr<internal::ModuleManagerShim> BaseModule::moduleManager() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return manager_;
}

std::shared_ptr<MessageBus> BaseModule::bus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bus_;
}

template <typename Call>
std::uint32_t BaseModule::forward(Call&& call) const {
    auto stored = bus();
    // Before a successful initialisation there is nothing to forward to.
    return stored ? call(*stored) : MODULE_STATUS_INVALID_STATE;
}

std::uint32_t BaseModule::publish(const std::shared_ptr<Message>& message) {
    return forward([&](MessageBus& b) { return b.publish(message); });
}
std::uint32_t BaseModule::publishEx(const std::shared_ptr<Message>& message) {
    return forward([&](MessageBus& b) { return b.publishEx(message); });
}
std::uint32_t BaseModule::request(const std::shared_ptr<Message>& message, ReplyHandler handler,
                                  const std::uint64_t& timeoutMs) {
    return forward([&](MessageBus& b) { return b.request(message, std::move(handler), timeoutMs); });
}
std::uint32_t BaseModule::request(const std::shared_ptr<Message>& message,
                                  std::shared_ptr<Reply>& reply, const std::uint64_t& timeoutMs) {
    return forward([&](MessageBus& b) { return b.request(message, reply, timeoutMs); });
}
std::uint32_t BaseModule::requestEx(const std::shared_ptr<Message>& message, ReplyHandler handler,
                                    const std::uint64_t& timeoutMs) {
    return forward([&](MessageBus& b) { return b.requestEx(message, std::move(handler), timeoutMs); });
}
std::uint32_t BaseModule::requestEx(const std::shared_ptr<Message>& message,
                                    std::shared_ptr<Reply>& reply, const std::uint64_t& timeoutMs) {
    return forward([&](MessageBus& b) { return b.requestEx(message, reply, timeoutMs); });
}
std::uint32_t BaseModule::subscribe(const std::wstring& name, const std::wstring& alias,
                                    MessageHandler handler) {
    return forward([&](MessageBus& b) { return b.subscribe(name, alias, std::move(handler)); });
}
std::uint32_t BaseModule::subscribe(const std::wstring& name, MessageHandler handler) {
    return forward([&](MessageBus& b) { return b.subscribe(name, std::move(handler)); });
}
std::uint32_t BaseModule::subscribeSession(const std::wstring& name, const std::wstring& alias,
                                           MessageHandler handler) {
    return forward([&](MessageBus& b) { return b.subscribeSession(name, alias, std::move(handler)); });
}
std::uint32_t BaseModule::subscribeSession(const std::wstring& name, MessageHandler handler) {
    return forward([&](MessageBus& b) { return b.subscribeSession(name, std::move(handler)); });
}
std::uint32_t BaseModule::subscribeFilter(const std::wstring& expression, const std::wstring& alias,
                                          MessageHandler handler) {
    return forward([&](MessageBus& b) { return b.subscribeFilter(expression, alias, std::move(handler)); });
}
std::uint32_t BaseModule::subscribeFilter(const std::wstring& expression, MessageHandler handler) {
    return forward([&](MessageBus& b) { return b.subscribeFilter(expression, std::move(handler)); });
}
std::uint32_t BaseModule::subscribeFilterSession(const std::wstring& expression,
                                                 const std::wstring& alias,
                                                 MessageHandler handler) {
    return forward([&](MessageBus& b) { return b.subscribeFilterSession(expression, alias, std::move(handler)); });
}
std::uint32_t BaseModule::subscribeFilterSession(const std::wstring& expression,
                                                 MessageHandler handler) {
    return forward([&](MessageBus& b) { return b.subscribeFilterSession(expression, std::move(handler)); });
}
std::uint32_t BaseModule::unsubscribe(const std::wstring& alias) {
    return forward([&](MessageBus& b) { return b.unsubscribe(alias); });
}

}  // namespace Tessil
