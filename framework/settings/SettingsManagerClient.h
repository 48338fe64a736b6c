// The settings manager reached over the message bus: each operation is one
// request with a JSON payload and one checked reply; failures are logged
// and answered as false, never thrown.
#pragma once

#include "framework/bus/MessageBus.h"
#include "framework/settings/SettingsManager.h"

#include <functional>
#include <memory>

namespace Tessil {

class SettingsManagerClient : public SettingsManager {
public:
    // An empty bus becomes a new default bus client; a ModuleException from
    // making it leaves the constructor.
    explicit SettingsManagerClient(std::shared_ptr<MessageBus> bus);
    ~SettingsManagerClient() override;
    SettingsManagerClient(const SettingsManagerClient&) = delete;
    SettingsManagerClient& operator=(const SettingsManagerClient&) = delete;

    // A client over a default bus of its own; empty when that cannot be made.
    static std::unique_ptr<SettingsManager> getInstance();

    bool setProperty(const std::wstring& name, double value, const std::uint64_t& timeout) override;
    bool setProperty(const std::wstring& name, unsigned long value, const std::uint64_t& timeout) override;
    bool setProperty(const std::wstring& name, unsigned long long value, const std::uint64_t& timeout) override;
    bool setProperty(const std::wstring& name, unsigned int value, const std::uint64_t& timeout) override;
    bool setProperty(const std::wstring& name, long long value, const std::uint64_t& timeout) override;
    bool setProperty(const std::wstring& name, int value, const std::uint64_t& timeout) override;
    bool setProperty(const std::wstring& name, bool value, const std::uint64_t& timeout) override;
    bool setProperty(const std::wstring& name, const wchar_t* value, const std::uint64_t& timeout) override;
    bool setProperty(const std::wstring& name, const std::wstring& value, const std::uint64_t& timeout) override;
    PropertyResults setProperties(const PropertyValues& values, const std::uint64_t& timeout) override;

    bool setVolatileProperty(const std::wstring& name, double value, const std::uint64_t& timeout) override;
    bool setVolatileProperty(const std::wstring& name, unsigned long value, const std::uint64_t& timeout) override;
    bool setVolatileProperty(const std::wstring& name, unsigned long long value, const std::uint64_t& timeout) override;
    bool setVolatileProperty(const std::wstring& name, unsigned int value, const std::uint64_t& timeout) override;
    bool setVolatileProperty(const std::wstring& name, long long value, const std::uint64_t& timeout) override;
    bool setVolatileProperty(const std::wstring& name, int value, const std::uint64_t& timeout) override;
    bool setVolatileProperty(const std::wstring& name, bool value, const std::uint64_t& timeout) override;
    bool setVolatileProperty(const std::wstring& name, const wchar_t* value, const std::uint64_t& timeout) override;
    bool setVolatileProperty(const std::wstring& name, const std::wstring& value, const std::uint64_t& timeout) override;
    PropertyResults setVolatileProperties(const PropertyValues& values, const std::uint64_t& timeout) override;

    bool getProperty(const std::wstring& name, double& value, const std::uint64_t& timeout) override;
    bool getProperty(const std::wstring& name, unsigned long& value, const std::uint64_t& timeout) override;
    bool getProperty(const std::wstring& name, unsigned long long& value, const std::uint64_t& timeout) override;
    bool getProperty(const std::wstring& name, unsigned int& value, const std::uint64_t& timeout) override;
    bool getProperty(const std::wstring& name, long long& value, const std::uint64_t& timeout) override;
    bool getProperty(const std::wstring& name, int& value, const std::uint64_t& timeout) override;
    bool getProperty(const std::wstring& name, bool& value, const std::uint64_t& timeout) override;
    bool getProperty(const std::wstring& name, std::wstring& value, const std::uint64_t& timeout) override;
    PropertyResults getProperties(const std::vector<std::wstring>& names, PropertyValues& values,
                                  const std::uint64_t& timeout) override;
    bool getPropertiesByPrefix(const std::vector<std::wstring>& prefixes, PropertyValues& values,
                               const std::uint64_t& timeout) override;
    bool getPropertiesByPrefix(const std::wstring& prefix, PropertyValues& values,
                               const std::uint64_t& timeout) override;

    bool removeProperty(const std::wstring& name, const std::uint64_t& timeout) override;
    PropertyResults removeProperties(const std::vector<std::wstring>& names,
                                     const std::uint64_t& timeout) override;
    PropertyResults removePropertiesByPrefix(const std::vector<std::wstring>& prefixes,
                                             const std::uint64_t& timeout) override;
    bool removePropertiesByPrefix(const std::wstring& prefix, const std::uint64_t& timeout) override;

    bool subscribePropertySet(PropertyCallback callback, const std::wstring& name) override;
    bool subscribePropertySet(PropertyCallback callback) override;
    bool subscribeSetByPrefix(PropertyValueCallback callback, const std::wstring& prefix) override;
    bool unsubscribeSetByPrefix(const std::wstring& prefix) override;
    bool subscribeDeleteByPrefix(PropertyCallback callback, const std::wstring& prefix) override;
    bool unsubscribeDeleteByPrefix(const std::wstring& prefix) override;
    bool subscribePropertyRemoved(PropertyCallback callback, const std::wstring& name) override;
    bool subscribePropertyRemoved(PropertyCallback callback) override;

    using NameFilter = std::function<bool(const std::wstring&)>;
    // Notification handlers run by the bus.
    static std::uint32_t onPropertyNotify(const std::shared_ptr<Message>& message,
                                          const PropertyCallback& callback, const NameFilter& filter);
    static std::uint32_t onPropertyNotifySet(const std::shared_ptr<Message>& message,
                                             const PropertyValueCallback& callback);
    static std::uint32_t onPropertyNotifyDelete(const std::shared_ptr<Message>& message,
                                                const PropertyCallback& callback);

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace Tessil
