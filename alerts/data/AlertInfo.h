// Drem::AlertInfo: one alert as the alert JSON describes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Drem {

class AlertInfo {
public:
    // Defaults of a new alert; created = now.
    AlertInfo();
    AlertInfo(const AlertInfo&) = default;
    AlertInfo(AlertInfo&&) = default;
    AlertInfo& operator=(const AlertInfo&) = default;
    AlertInfo& operator=(AlertInfo&&) = default;
    virtual ~AlertInfo();

    // Reads the alert JSON into a freshly constructed out. True when every
    // required member was read; false at the first failure, with the members
    // read before it left in out. Never throws for any text.
    static bool fromJson(const std::wstring& text, AlertInfo& out);
    // Compact alert JSON, members in their fixed writing order.
    static std::wstring toJson(const AlertInfo& info);

    // Member-wise, created included.
    bool operator==(const AlertInfo&) const = default;

    std::wstring id;
    std::wstring instanceId;
    std::int32_t priority = 3;  // 1 most urgent .. 3
    std::wstring product;
    std::int32_t source = 0;  // 0 "client", 1 "web"
    std::vector<std::wstring> preferredViewer;
    bool forcePreferredViewer = false;
    std::wstring context;  // compact JSON text of the context object
    std::wstring content;
    std::uint32_t timeout = 30;  // seconds
    std::uint32_t sessionId = 0;
    std::int64_t created;  // 100-ns units since 1970-01-01 UTC; not in the JSON
};

}  // namespace Drem
