// The settings manager's interface: typed get, set and remove of named text
// properties, and the change notifications.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace Tessil {

using PropertyCallback = std::function<void(const std::wstring& name)>;
using PropertyValueCallback = std::function<void(const std::wstring& name, const std::wstring& value)>;
using PropertyResults = std::unordered_map<std::wstring, bool>;
using PropertyValues = std::unordered_map<std::wstring, std::wstring>;

// The 64-bit overloads take the long long types (std::uint64_t and
// std::int64_t here), so that they stay apart from unsigned long where that
// is 64 bits wide.
class SettingsManager {
public:
    virtual ~SettingsManager() = default;

    virtual bool setProperty(const std::wstring& name, double value, const std::uint64_t& timeout) = 0;
    virtual bool setProperty(const std::wstring& name, unsigned long value, const std::uint64_t& timeout) = 0;
    virtual bool setProperty(const std::wstring& name, unsigned long long value, const std::uint64_t& timeout) = 0;
    virtual bool setProperty(const std::wstring& name, unsigned int value, const std::uint64_t& timeout) = 0;
    virtual bool setProperty(const std::wstring& name, long long value, const std::uint64_t& timeout) = 0;
    virtual bool setProperty(const std::wstring& name, int value, const std::uint64_t& timeout) = 0;
    virtual bool setProperty(const std::wstring& name, bool value, const std::uint64_t& timeout) = 0;
    virtual bool setProperty(const std::wstring& name, const wchar_t* value, const std::uint64_t& timeout) = 0;
    virtual bool setProperty(const std::wstring& name, const std::wstring& value, const std::uint64_t& timeout) = 0;
    virtual PropertyResults setProperties(const PropertyValues& values, const std::uint64_t& timeout) = 0;

    virtual bool setVolatileProperty(const std::wstring& name, double value, const std::uint64_t& timeout) = 0;
    virtual bool setVolatileProperty(const std::wstring& name, unsigned long value, const std::uint64_t& timeout) = 0;
    virtual bool setVolatileProperty(const std::wstring& name, unsigned long long value, const std::uint64_t& timeout) = 0;
    virtual bool setVolatileProperty(const std::wstring& name, unsigned int value, const std::uint64_t& timeout) = 0;
    virtual bool setVolatileProperty(const std::wstring& name, long long value, const std::uint64_t& timeout) = 0;
    virtual bool setVolatileProperty(const std::wstring& name, int value, const std::uint64_t& timeout) = 0;
    virtual bool setVolatileProperty(const std::wstring& name, bool value, const std::uint64_t& timeout) = 0;
    virtual bool setVolatileProperty(const std::wstring& name, const wchar_t* value, const std::uint64_t& timeout) = 0;
    virtual bool setVolatileProperty(const std::wstring& name, const std::wstring& value, const std::uint64_t& timeout) = 0;
    virtual PropertyResults setVolatileProperties(const PropertyValues& values, const std::uint64_t& timeout) = 0;

    // Out values are written only on success.
    virtual bool getProperty(const std::wstring& name, double& value, const std::uint64_t& timeout) = 0;
    virtual bool getProperty(const std::wstring& name, unsigned long& value, const std::uint64_t& timeout) = 0;
    virtual bool getProperty(const std::wstring& name, unsigned long long& value, const std::uint64_t& timeout) = 0;
    virtual bool getProperty(const std::wstring& name, unsigned int& value, const std::uint64_t& timeout) = 0;
    virtual bool getProperty(const std::wstring& name, long long& value, const std::uint64_t& timeout) = 0;
    virtual bool getProperty(const std::wstring& name, int& value, const std::uint64_t& timeout) = 0;
    virtual bool getProperty(const std::wstring& name, bool& value, const std::uint64_t& timeout) = 0;
    virtual bool getProperty(const std::wstring& name, std::wstring& value, const std::uint64_t& timeout) = 0;
    // Every requested name is in the result; values is added to, never cleared.
    virtual PropertyResults getProperties(const std::vector<std::wstring>& names, PropertyValues& values,
                                          const std::uint64_t& timeout) = 0;
    virtual bool getPropertiesByPrefix(const std::vector<std::wstring>& prefixes, PropertyValues& values,
                                       const std::uint64_t& timeout) = 0;
    virtual bool getPropertiesByPrefix(const std::wstring& prefix, PropertyValues& values,
                                       const std::uint64_t& timeout) = 0;

    virtual bool removeProperty(const std::wstring& name, const std::uint64_t& timeout) = 0;
    virtual PropertyResults removeProperties(const std::vector<std::wstring>& names,
                                             const std::uint64_t& timeout) = 0;
    virtual PropertyResults removePropertiesByPrefix(const std::vector<std::wstring>& prefixes,
                                                     const std::uint64_t& timeout) = 0;
    // True only when a response named the prefix itself as removed.
    virtual bool removePropertiesByPrefix(const std::wstring& prefix, const std::uint64_t& timeout) = 0;

    // Subscriptions by message name last as long as the bus client.
    virtual bool subscribePropertySet(PropertyCallback callback, const std::wstring& name) = 0;
    virtual bool subscribePropertySet(PropertyCallback callback) = 0;
    virtual bool subscribeSetByPrefix(PropertyValueCallback callback, const std::wstring& prefix) = 0;
    virtual bool unsubscribeSetByPrefix(const std::wstring& prefix) = 0;
    virtual bool subscribeDeleteByPrefix(PropertyCallback callback, const std::wstring& prefix) = 0;
    virtual bool unsubscribeDeleteByPrefix(const std::wstring& prefix) = 0;
    virtual bool subscribePropertyRemoved(PropertyCallback callback, const std::wstring& name) = 0;
    virtual bool subscribePropertyRemoved(PropertyCallback callback) = 0;
};

}  // namespace Tessil
