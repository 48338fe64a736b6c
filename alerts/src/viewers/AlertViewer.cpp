#include "alerts/src/viewers/AlertViewer.h"

#include "alerts/src/common/AlertTelemetry.h"
#include "alerts/src/common/DefaultBus.h"
#include "framework/message/ModuleStatus.h"
#include "platform/Logging/Logging.h"

namespace Drem {

namespace {

const wchar_t kSource[] = L"AlertViewer";
const wchar_t kShowFunction[] = L"Drem::AlertViewer::show";
const wchar_t kDismissFunction[] = L"Drem::AlertViewer::dismiss";
const wchar_t kSender[] = L"Vantrel";

std::wstring statusName(const std::wstring& alertId, const wchar_t* word,
                        const std::wstring& instanceId) {
    return L"Vantrel.Alert." + alertId + word + instanceId;
}

}  // namespace

AlertViewer::AlertViewer(const std::wstring& id, std::shared_ptr<Tessil::MessageBus> bus,
                         std::uint64_t requestTimeoutMs)
    : id_(id),
      showPrefix_(L"Vantrel.Viewer." + id + L".Show."),
      deletePrefix_(L"Vantrel.Viewer." + id + L".Delete."),
      bus_(orDefaultMessageBus(std::move(bus))),
      requestTimeoutMs_(requestTimeoutMs) {}

AlertViewer::~AlertViewer() = default;

const std::wstring& AlertViewer::getId() const { return id_; }

std::uint32_t AlertViewer::sendRequest(const std::wstring& name, const std::wstring& payload,
                                       const std::wstring& expectedReply, bool isDismiss,
                                       const wchar_t* function) {
    std::shared_ptr<Tessil::Reply> reply;
    const std::uint32_t sent =
        bus_->requestEx(Tessil::Message::create(name, kSender, payload), reply, requestTimeoutMs_);
    if (sent != MODULE_STATUS_SUCCESS || !reply) {
        VT_LOG(ETWLogging::LevelError, kSource, function, L"Failed to make request, status: %ls",
               Tessil::moduleStatusName(sent));
        if (isDismiss) {
            return MODULE_STATUS_NO_SUBSCRIBERS;
        }
        return sent != MODULE_STATUS_SUCCESS ? sent : MODULE_STATUS_UNSUCCESSFUL;
    }
    const Tessil::ReplyStatus status = reply->wait();
    if (status != Tessil::REPLY_STATUS_RECEIVED) {
        VT_LOG(ETWLogging::LevelError, kSource, function, L"Request failed with status %d.",
               static_cast<int>(status));
        return status == Tessil::REPLY_STATUS_TIMED_OUT ? MODULE_STATUS_TIMEOUT
                                                        : MODULE_STATUS_DATA_ERROR;
    }
    const std::shared_ptr<Tessil::Message> message = reply->getMessage();
    const std::wstring received = message ? message->getName() : std::wstring();
    if (!message || received != expectedReply) {
        VT_LOG(ETWLogging::LevelError, kSource, function,
               L"Received invalid response message: %ls, expected: %ls.", received.c_str(),
               expectedReply.c_str());
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t AlertViewer::sendShowRequest(const std::wstring& payload, const std::wstring& alertId,
                                           const std::wstring& instanceId) {
    return sendRequest(showPrefix_ + instanceId, payload,
                       statusName(alertId, L".Shown.", instanceId), false, kShowFunction);
}

std::uint32_t AlertViewer::sendDismissRequest(const std::wstring& alertId,
                                              const std::wstring& instanceId) {
    return sendRequest(deletePrefix_ + instanceId, std::wstring(),
                       statusName(alertId, L".Dismissed.", instanceId), true, kDismissFunction);
}

bool AlertViewer::show(const std::wstring& payload, const std::wstring& alertId,
                       const std::wstring& instanceId) {
    const std::uint32_t outcome = sendShowRequest(payload, alertId, instanceId);
    if (outcome == MODULE_STATUS_SUCCESS) {
        return true;
    }
    CEvent event(L"Vantrel.Warning.ViewerFailure");
    setAlertEventBasics(event, L"VT warning-Failed to show Viewer", false, false, L"Warning");
    event.SetLabel(id_);
    addHitGuid(event, alertId);
    addIntDimension(event, L"Hit.Result", outcome);
    event.Send();
    return false;
}

bool AlertViewer::dismiss(const std::wstring& alertId, const std::wstring& instanceId) {
    const std::uint32_t outcome = sendDismissRequest(alertId, instanceId);
    if (outcome != MODULE_STATUS_SUCCESS) {
        {
            CEvent event(L"Vantrel.Failed.Dismiss");
            setAlertEventBasics(event, L"VT failed to Dismiss Alert", false, false, L"Failure");
            event.SetLabel(std::wstring(L"Dismiss"));
            addHitGuid(event, alertId);
            addIntDimension(event, L"Hit.Result", outcome);
            event.Add(std::wstring(L"Hit.Label.1"), id_);
            event.Send();
        }
        bus_->publish(Tessil::Message::create(statusName(alertId, L".Failed.", instanceId),
                                              std::wstring(), std::wstring()));
        return false;
    }
    VT_LOG(ETWLogging::LevelInformation, kSource, kDismissFunction,
           L"Vantrel Alert Status Dismissed. Alert id: %ls, Instance id: %ls", alertId.c_str(),
           instanceId.c_str());
    CEvent event(L"Vantrel.Alert.Dismissed");
    setAlertEventBasics(event, L"Dismissed", true, false, L"Dismissal");
    addHitGuid(event, alertId);
    event.Add(std::wstring(L"Hit.Label.1"), id_);
    event.Send();
    return true;
}

}  // namespace Drem
