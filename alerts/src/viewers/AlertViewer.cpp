#include "alerts/src/viewers/AlertViewer.h"

#include "alerts/src/common/AlertTelemetry.h"
#include "alerts/src/common/DefaultBus.h"
#include "alerts/src/common/StatusNames.h"
#include "framework/message/ModuleStatus.h"
#include "platform/Logging/Logging.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace Drem {

namespace {

const wchar_t kSource[] = L"AlertViewer";
const wchar_t kShowFunction[] = L"Drem::AlertViewer::show";
const wchar_t kDismissFunction[] = L"Drem::AlertViewer::dismiss";
const wchar_t kSender[] = L"Vantrel";

// The reply of one request as the bus hands it over, shared with the
// completion so that a reply arriving after the caller gave up finds it alive.
struct Answer {
    std::mutex mutex;
    std::condition_variable arrived;
    bool done = false;                         // guarded by mutex
    Tessil::ReplyStatus status = Tessil::REPLY_STATUS_PENDING;  // guarded by mutex
    std::shared_ptr<Tessil::Message> message;  // guarded by mutex

    void complete(const std::shared_ptr<Tessil::Reply>& reply) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            status = reply ? reply->getStatus() : Tessil::REPLY_STATUS_FAILED;
            message = reply ? reply->getMessage() : nullptr;
            done = true;
        }
        arrived.notify_all();
    }
};

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
                                       const wchar_t* function, Kelmora::StopSignal* stop, bool* sentOut) {
    auto answer = std::make_shared<Answer>();
    const std::uint32_t sent = bus_->requestEx(
        Tessil::Message::create(name, kSender, payload),
        [answer](std::shared_ptr<Tessil::Reply> reply) { answer->complete(reply); }, requestTimeoutMs_);
    if (sent != MODULE_STATUS_SUCCESS) {
        VT_LOG(ETWLogging::LevelError, kSource, function, L"Failed to make request, status: %ls",
               Tessil::moduleStatusName(sent));
        return isDismiss ? MODULE_STATUS_NO_SUBSCRIBERS : sent;
    }
    if (sentOut != nullptr) {
        *sentOut = true;
    }
    Tessil::ReplyStatus status = Tessil::REPLY_STATUS_TIMED_OUT;
    std::shared_ptr<Tessil::Message> message;
    {
        // The bus answers by the time-out; one second more, as a reply's own wait.
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(requestTimeoutMs_ + 1000);
        std::unique_lock<std::mutex> lock(answer->mutex);
        if (!Kelmora::WaitUntil(stop, lock, answer->arrived, deadline, [&] { return answer->done; })) {
            if (stop != nullptr && stop->requested()) {
                return kInterrupted;
            }
        } else {
            status = answer->status;
            message = answer->message;
        }
    }
    if (status != Tessil::REPLY_STATUS_RECEIVED) {
        VT_LOG(ETWLogging::LevelError, kSource, function, L"Request failed with status %d.",
               static_cast<int>(status));
        return status == Tessil::REPLY_STATUS_TIMED_OUT ? MODULE_STATUS_TIMEOUT
                                                        : MODULE_STATUS_DATA_ERROR;
    }
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
                                           const std::wstring& instanceId, Kelmora::StopSignal* stop,
                                           bool* sent) {
    return sendRequest(showPrefix_ + instanceId, payload, alertStatusName(alertId, L".Shown.", instanceId),
                       false, kShowFunction, stop, sent);
}

std::uint32_t AlertViewer::sendDismissRequest(const std::wstring& alertId, const std::wstring& instanceId,
                                              Kelmora::StopSignal* stop) {
    return sendRequest(deletePrefix_ + instanceId, std::wstring(),
                       alertStatusName(alertId, L".Dismissed.", instanceId), true, kDismissFunction, stop);
}

bool AlertViewer::show(const std::wstring& payload, const std::wstring& alertId,
                       const std::wstring& instanceId, Kelmora::StopSignal* stop, bool* requested,
                       bool* sent) {
    bool wentOut = false;
    const std::uint32_t outcome = sendShowRequest(payload, alertId, instanceId, stop, &wentOut);
    if (requested != nullptr) {
        *requested = outcome == MODULE_STATUS_SUCCESS || outcome == kInterrupted;
    }
    if (sent != nullptr) {
        *sent = wentOut;
    }
    if (outcome == MODULE_STATUS_SUCCESS) {
        return true;
    }
    if (outcome == kInterrupted) {
        return false;
    }
    CEvent event(L"Vantrel.Warning.ViewerFailure");
    setAlertEventBasics(event, L"VT warning-Failed to show Viewer", false, false, L"Warning");
    event.SetLabel(id_);
    addHitGuid(event, alertId);
    addIntDimension(event, L"Hit.Result", outcome);
    event.Send();
    return false;
}

bool AlertViewer::dismiss(const std::wstring& alertId, const std::wstring& instanceId,
                          Kelmora::StopSignal* stop, const std::function<bool()>& mayReportFailure) {
    std::uint32_t outcome = sendDismissRequest(alertId, instanceId, stop);
    if (outcome == kInterrupted) {
        // The stop ends the wait, not the alert: it ends as a take-down that timed out.
        VT_LOG(ETWLogging::LevelWarning, kSource, kDismissFunction,
               L"Wait for the take-down cut short by the stop. Alert id: %ls, Instance id: %ls", alertId.c_str(),
               instanceId.c_str());
        outcome = MODULE_STATUS_TIMEOUT;
    }
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
        if (!mayReportFailure || mayReportFailure()) {
            bus_->publish(Tessil::Message::create(alertStatusName(alertId, L".Failed.", instanceId),
                                                  std::wstring(), std::wstring()));
        }
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
