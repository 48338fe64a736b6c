// Chooses a transport for one send and adds the delivery dimensions.
#pragma once

#include "framework/AnalyticsAPI/include/AnalyticsAPI/internal/Transport.h"

#include <memory>
#include <string>

namespace Tessil::Analytics {

class CSDKConnector {
public:
    CSDKConnector() = default;
    virtual ~CSDKConnector() = default;
    CSDKConnector(const CSDKConnector&) = delete;
    CSDKConnector& operator=(const CSDKConnector&) = delete;

    // Selects anew; true when a transport was selected.
    virtual bool Connect();
    // Adds "__caller.name" and "__transport.name", then sends.
    virtual bool Send(Dimensions& dimensions);
    virtual void Disconnect();
    // The first candidate that connects, else a new null transport.
    virtual std::shared_ptr<internal::ITransport> SelectTransport();

    const std::shared_ptr<internal::ITransport>& GetTransport() const { return transport_; }

private:
    std::shared_ptr<internal::ITransport> transport_;
};

// The running program's image path, every backslash doubled.
std::wstring CallerNameDimension();

}  // namespace Tessil::Analytics
