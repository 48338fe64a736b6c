// The module's proxy for one viewer: the Show and Delete requests over the
// bus, each reply checked by its name alone.
#pragma once

#include "framework/bus/MessageBus.h"
#include "platform/Thread/StopSignal.h"

#include <cstdint>
#include <functional>
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
    // The outcome of a request whose wait for the reply was cut short by stop.
    static constexpr std::uint32_t kInterrupted = 0xFFFFFFFFu;

    // True when the viewer confirmed with "Vantrel.Alert.<alertId>.Shown.<instanceId>".
    // A stop ends the wait for the reply at once: false, nothing reported.
    // requested, when given, is set when the viewer holds the request: it was
    // confirmed, or its reply was still awaited when the stop came; sent as
    // for sendShowRequest.
    virtual bool show(const std::wstring& payload, const std::wstring& alertId,
                      const std::wstring& instanceId, Kelmora::StopSignal* stop = nullptr,
                      bool* requested = nullptr, bool* sent = nullptr);
    // True when the viewer confirmed with ".Dismissed."; otherwise the alert
    // is reported ".Failed." on the bus, unless mayReportFailure (when given)
    // answers false. The request is sent also after a stop, whose wait for
    // the reply then ends at once: a failure, as if its time had run out.
    virtual bool dismiss(const std::wstring& alertId, const std::wstring& instanceId,
                         Kelmora::StopSignal* stop = nullptr,
                         const std::function<bool()>& mayReportFailure = {});

    // The request bodies: 0 when confirmed, kInterrupted, else the module
    // status of the failure.
    // sent, when given, is set when the request went out on the bus.
    std::uint32_t sendShowRequest(const std::wstring& payload, const std::wstring& alertId,
                                  const std::wstring& instanceId, Kelmora::StopSignal* stop = nullptr,
                                  bool* sent = nullptr);
    std::uint32_t sendDismissRequest(const std::wstring& alertId, const std::wstring& instanceId,
                                     Kelmora::StopSignal* stop = nullptr);

private:
    std::uint32_t sendRequest(const std::wstring& name, const std::wstring& payload,
                              const std::wstring& expectedReply, bool isDismiss,
                              const wchar_t* function, Kelmora::StopSignal* stop, bool* sent = nullptr);

    const std::wstring id_;
    const std::wstring showPrefix_;
    const std::wstring deletePrefix_;
    const std::shared_ptr<Tessil::MessageBus> bus_;
    const std::uint64_t requestTimeoutMs_;
};

}  // namespace Drem
