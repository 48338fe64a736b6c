// The module's proxy for one viewer: the Show and Delete requests over the
// bus, each reply checked by its name alone.
#pragma once

#include "framework/bus/MessageBus.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Drem {

class AlertViewer {
public:
    static constexpr std::uint64_t kDefaultRequestTimeoutMs = 90000;

    // An empty bus becomes a new default connection (which may throw).
    AlertViewer(const std::wstring& id, std::shared_ptr<Tessil::MessageBus> bus,
                std::uint64_t requestTimeoutMs = kDefaultRequestTimeoutMs);
    virtual ~AlertViewer();
    AlertViewer(const AlertViewer&) = delete;
    AlertViewer& operator=(const AlertViewer&) = delete;

    virtual const std::wstring& getId() const;
    // True when the viewer confirmed with "Vantrel.Alert.<alertId>.Shown.<instanceId>".
    virtual bool show(const std::wstring& payload, const std::wstring& alertId,
                      const std::wstring& instanceId);
    // True when the viewer confirmed with ".Dismissed."; otherwise the alert
    // is reported ".Failed." on the bus.
    virtual bool dismiss(const std::wstring& alertId, const std::wstring& instanceId);

    // The request bodies: 0 when confirmed, else the module status of the failure.
    std::uint32_t sendShowRequest(const std::wstring& payload, const std::wstring& alertId,
                                  const std::wstring& instanceId);
    std::uint32_t sendDismissRequest(const std::wstring& alertId, const std::wstring& instanceId);

private:
    std::uint32_t sendRequest(const std::wstring& name, const std::wstring& payload,
                              const std::wstring& expectedReply, bool isDismiss,
                              const wchar_t* function);

    const std::wstring id_;
    const std::wstring showPrefix_;
    const std::wstring deletePrefix_;
    const std::shared_ptr<Tessil::MessageBus> bus_;
    const std::uint64_t requestTimeoutMs_;
};

}  // namespace Drem
