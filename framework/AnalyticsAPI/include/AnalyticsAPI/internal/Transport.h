// A way of delivering an event's dimensions.
#pragma once

#include "framework/AnalyticsAPI/include/AnalyticsAPI/internal/Tracker.h"

#include <cstdint>
#include <string>

namespace Tessil::Analytics::internal {

class ITransport {
public:
    virtual ~ITransport() = default;
    virtual bool Connect() = 0;
    virtual bool Send(const Dimensions& dimensions) = 0;
    virtual void Disconnect() = 0;
    virtual std::wstring GetName() = 0;
    virtual std::int32_t GetVersion() = 0;
};

class CBaseTransport : public ITransport {
public:
    CBaseTransport(std::wstring name, std::int32_t version)
        : name_(std::move(name)), version_(version) {}
    std::wstring GetName() override { return name_; }
    std::int32_t GetVersion() override { return version_; }

private:
    std::wstring name_;
    std::int32_t version_;
};

}  // namespace Tessil::Analytics::internal
