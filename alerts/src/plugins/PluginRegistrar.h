// The product plug-ins of the alert service: one plug-in per product, loaded
// on the product's first alert and kept, the default plug-in for products
// without a working one, and invalidation when a product's key is removed.
#pragma once

#include "alerts/src/plugins/AlertPluginLib.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace Tessil {
class MessageBus;
class SettingsManager;
}  // namespace Tessil

namespace Drem {

class PluginRegistrar {
public:
    // Makes the (unloaded) plug-in object of a product.
    using PluginFactory = std::function<std::shared_ptr<AlertPluginLib>(const std::wstring& product)>;

    // Empty settings become a client on the bus, or on a new default bus
    // connection when that is empty too (throws what making them throws).
    // Removals are announced on the bus; without a bus only when the
    // settings client was made here. An empty factory makes plug-ins that
    // read their registration over connections of their own, so a reply they
    // wait for never queues behind a removal notice waiting for this lock.
    explicit PluginRegistrar(std::shared_ptr<Tessil::SettingsManager> settings, PluginFactory makePlugin = {},
                             std::shared_ptr<Tessil::MessageBus> bus = {});
    // Stops following removals when stop was not called.
    virtual ~PluginRegistrar();
    PluginRegistrar(const PluginRegistrar&) = delete;
    PluginRegistrar& operator=(const PluginRegistrar&) = delete;

    // Follows removals of product keys; answers the subscription's result.
    virtual bool start();
    virtual bool stop();
    // The product's plug-in entry 2; MODULE_STATUS_BUFFER_TOO_SMALL when no
    // plug-in can be had. Out strings are written only on status 0.
    virtual std::uint32_t processAlert(const std::wstring& product, const std::wstring& alert,
                                       std::wstring& processed, std::int32_t* suppress, std::wstring& reason);
    // The product's plug-in entry 4, with processAlert's failure status.
    virtual std::uint32_t getAlertContent(const std::wstring& product, const std::wstring& alert,
                                          const std::wstring& viewerId, std::wstring& content);

    // The cached plug-in, else a newly loaded one (cached), else the default
    // one; null when none loads. Caller holds the registrar lock; the object
    // lives as long as the registrar.
    AlertPluginLib* getPlugin(const std::wstring& product);
    // Invalidates the cached plug-in of the product named after the key's
    // last "/", then announces "Vantrel.Product.<product>.Unregistered".
    void onProductDeleted(const std::wstring& keyName);

private:
    void sendLoadFailed(const std::wstring& product, std::uint32_t status);

    std::shared_ptr<Tessil::MessageBus> bus_;  // may be empty: nothing announced
    std::shared_ptr<Tessil::SettingsManager> settings_;
    // Held across every plug-in call: one plug-in entry runs at a time.
    // Order: a dispatcher's lock, then this lock, then a plug-in's own lock.
    std::mutex lock_;
    std::unordered_map<std::wstring, std::shared_ptr<AlertPluginLib>> plugins_;  // guarded by lock_
    PluginFactory makePlugin_;
    bool subscribed_ = false;  // host thread only
};

}  // namespace Drem
