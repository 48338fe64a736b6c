#include "alerts/src/plugins/PluginRegistrar.h"

#include "alerts/src/common/AlertTelemetry.h"
#include "alerts/src/common/DefaultBus.h"
#include "alerts/src/common/RequestNames.h"
#include "framework/bus/MessageBus.h"
#include "framework/message/Message.h"
#include "framework/message/ModuleStatus.h"
#include "framework/settings/SettingsManager.h"
#include "framework/settings/SettingsManagerClient.h"

namespace Drem {

namespace {

std::shared_ptr<AlertPluginLib> makeDefaultPlugin(const std::wstring& product) {
    return std::make_shared<AlertPluginLib>(product, nullptr, nullptr);
}

}  // namespace

PluginRegistrar::PluginRegistrar(std::shared_ptr<Tessil::SettingsManager> settings, PluginFactory makePlugin,
                                 std::shared_ptr<Tessil::MessageBus> bus)
    : bus_(settings ? std::move(bus) : orDefaultMessageBus(std::move(bus))),
      settings_(settings ? std::move(settings) : std::make_shared<Tessil::SettingsManagerClient>(bus_)),
      makePlugin_(makePlugin ? std::move(makePlugin) : PluginFactory(makeDefaultPlugin)) {}

PluginRegistrar::~PluginRegistrar() {
    // A notice arriving after the cache is gone would find a dead registrar.
    if (subscribed_) {
        stop();
    }
}

bool PluginRegistrar::start() {
    subscribed_ = true;
    return settings_->subscribeDeleteByPrefix([this](const std::wstring& name) { onProductDeleted(name); },
                                              kProductKeyPrefix);
}

bool PluginRegistrar::stop() {
    subscribed_ = false;
    return settings_->unsubscribeDeleteByPrefix(kProductKeyPrefix);
}

std::uint32_t PluginRegistrar::processAlert(const std::wstring& product, const std::wstring& alert,
                                            std::wstring& processed, std::int32_t* suppress, std::wstring& reason) {
    std::lock_guard<std::mutex> guard(lock_);
    AlertPluginLib* plugin = getPlugin(product);
    if (plugin == nullptr) {
        return MODULE_STATUS_BUFFER_TOO_SMALL;
    }
    return plugin->processAlert(alert, processed, suppress, reason);
}

std::uint32_t PluginRegistrar::getAlertContent(const std::wstring& product, const std::wstring& alert,
                                               const std::wstring& viewerId, std::wstring& content) {
    std::lock_guard<std::mutex> guard(lock_);
    AlertPluginLib* plugin = getPlugin(product);
    if (plugin == nullptr) {
        return MODULE_STATUS_BUFFER_TOO_SMALL;
    }
    return plugin->getAlertContent(alert, viewerId, content);
}

AlertPluginLib* PluginRegistrar::getPlugin(const std::wstring& product) {
    if (auto cached = plugins_.find(product); cached != plugins_.end()) {
        return cached->second.get();
    }
    std::shared_ptr<AlertPluginLib> plugin = makePlugin_(product);
    const std::uint32_t status = plugin->load();
    if (status == 0) {
        AlertPluginLib* loaded = plugin.get();
        plugins_.emplace(product, std::move(plugin));
        return loaded;
    }
    sendLoadFailed(product, status);
    plugin.reset();
    return product != kDefaultPluginProduct ? getPlugin(kDefaultPluginProduct) : nullptr;
}

void PluginRegistrar::onProductDeleted(const std::wstring& keyName) {
    const std::wstring product = productOfKey(keyName);
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (auto cached = plugins_.find(product); cached != plugins_.end()) {
            cached->second->setState(AlertPluginLib::INVALIDATED);
        }
    }
    // The registration program waits for this after removing a product.
    if (bus_) {
        if (auto message = Tessil::Message::create(L"Vantrel.Product." + product + L".Unregistered", L"Vantrel",
                                                   std::wstring())) {
            bus_->publish(message);
        }
    }
}

void PluginRegistrar::sendLoadFailed(const std::wstring& product, std::uint32_t status) {
    CEvent event(L"Vantrel.Plugin.Failed");
    setAlertEventBasics(event, L"VT failed to load Plugin", false, false, L"Plugin").SetLabel(product);
    addIntDimension(event, L"Hit.Result", status).Send();
}

}  // namespace Drem
