#include "alerts/src/dispatcher/AlertDispatcher.h"

#include "alerts/src/common/AlertTelemetry.h"
#include "alerts/src/common/DefaultBus.h"
#include "alerts/src/common/StatusNames.h"
#include "platform/Logging/Logging.h"

#include <limits>

namespace Drem {

namespace {

const wchar_t kSource[] = L"AlertDispatcher";
const wchar_t kProcess[] = L"Drem::AlertDispatcher::process";
const wchar_t kShow[] = L"Drem::AlertDispatcher::show";
const wchar_t kWait[] = L"Drem::AlertDispatcher::wait";

void addText(CEvent& event, const wchar_t* name, const std::wstring& value) {
    event.Add(std::wstring(name), value);
}

}  // namespace

std::wstring logCollectionPayload(const wchar_t* problem) {
    return std::wstring(L"{\"Problem\":\"") + problem +
           L"\",\"coolingperiod\":\"\",\"throttlingpercent\":\"1\",\"logstocollect\":\"2\"}";
}

std::shared_ptr<Tessil::Message> logCollectionRequest(const wchar_t* problem) {
    return Tessil::Message::create(L"sustainability.collect.logs", L"Vantrel",
                                   logCollectionPayload(problem));
}

AlertDispatcher::AlertDispatcher(std::shared_ptr<ViewerRegistrar> viewerRegistrar,
                                 std::shared_ptr<PluginRegistrar> pluginRegistrar,
                                 std::shared_ptr<Tessil::MessageBus> bus,
                                 std::uint32_t closingGraceSeconds,
                                 std::shared_ptr<UpdateEventAPI> updateEvents, BusConnector connect)
    : viewerRegistrar_(std::move(viewerRegistrar)),
      pluginRegistrar_(std::move(pluginRegistrar)),
      bus_(std::move(bus), std::move(connect)),
      closingGraceSeconds_(closingGraceSeconds),
      updateEvents_(std::move(updateEvents)) {}

AlertDispatcher::~AlertDispatcher() { dismissCurrent(); }

std::wstring AlertDispatcher::updateRunningLabel() const {
    CCvUpdateMgr_Helper helper(L"default", updateEvents_);
    BOOL running = FALSE;
    helper.IsUpdateRunning(&running);
    return running ? L"1" : L"0";
}

bool AlertDispatcher::process(Alert& alert) {
    const AlertInfo& info = alert.getAlertInfo();
    const std::wstring product = info.product;
    const std::wstring input = AlertInfo::toJson(info);
    std::wstring output;
    std::wstring reason;
    std::int32_t suppress = 0;
    const std::uint32_t rc = pluginRegistrar_->processAlert(product, input, output, &suppress, reason);

    if (suppress == 1) {
        VT_LOG(ETWLogging::LevelInformation, kSource, kProcess,
               L"Vantrel Alert Status Suppressed. Alert id: %ls, Instance id: %ls", info.id.c_str(),
               info.instanceId.c_str());
        CEvent event(L"Vantrel.Alert.Suppressed");
        setAlertEventBasics(event, L"Suppressed", false, false, L"Suppressed");
        addHitGuid(event, info.id);
        addText(event, L"Hit.Label.1", product);
        addText(event, L"Hit.Label.2", reason);
        event.Send();
        return false;
    }
    if (rc != 0 || output.empty()) {
        VT_LOG(ETWLogging::LevelWarning, kSource, kProcess,
               L"Failed to process the alert. Continuing with unprocessed input data. Alert id: %ls, "
               L"Instance id: %ls",
               info.id.c_str(), info.instanceId.c_str());
        CEvent event(L"Vantrel.Failed.PluginProcess");
        setAlertEventBasics(event, L"VT failed to process Plugin", false, false, L"Failure");
        event.SetLabel(product);
        addHitGuid(event, info.id);
        addIntDimension(event, L"Hit.Result", rc);
        addText(event, L"Hit.Label.1", L"NoViewer");
        addText(event, L"Hit.Label.2", alert.preferredViewersText());
        addText(event, L"Hit.Label.3", updateRunningLabel());
        event.Send();
        output = input;
    }

    AlertInfo processed;
    if (AlertInfo::fromJson(output, processed)) {
        alert.setAlertInfo(processed);
        return true;
    }
    VT_LOG(ETWLogging::LevelError, kSource, kProcess,
           L"Failed to parse alert info. Alert id: %ls, Instance id: %ls, OutputAlertInfo : %s",
           processed.id.c_str(), processed.instanceId.c_str(), output.c_str());
    CEvent event(L"Vantrel.Failed.AlertInfoParse");
    setAlertEventBasics(event, L"VT failed to parse AlertInfo", false, false, L"Failure");
    event.SetLabel(std::wstring(L"parseFailed"));
    addHitGuid(event, processed.id);
    addText(event, L"Hit.Result", L"0");
    addText(event, L"Hit.Label.1", L"NoViewer");
    addText(event, L"Hit.Label.2", alert.preferredViewersText());
    addText(event, L"Hit.Label.3", product);
    event.Send();
    return false;
}

bool AlertDispatcher::show(std::shared_ptr<Alert> alert) {
    stoppedUnheld_ = false;
    if (!alert) {
        VT_LOG(ETWLogging::LevelError, kSource, kShow, L"Failed to show alert due to null.");
        return false;
    }
    dismissCurrent();
    alert->setStopSignal(stop_);

    std::lock_guard<std::mutex> lock(mutex_);
    std::uint32_t missing = 0;
    std::uint32_t noContent = 0;
    AlertInfo& info = alert->getAlertInfo();
    const std::vector<std::wstring> viewerIds = info.preferredViewer;
    // Once a viewer has been asked, a stop no longer gives the alert back:
    // it ends here as if no further viewer could show it.
    const auto cutShort = [&] {
        if (alert->isDeleted()) {
            return true;  // the delete request has answered for it
        }
        if (!stop_->requested()) {
            return false;
        }
        stoppedUnheld_ = !alert->viewerAsked();
        return true;
    };
    bool stopped = false;
    for (const std::wstring& viewerId : viewerIds) {
        if ((stopped = cutShort())) {
            break;
        }
        std::shared_ptr<AlertViewer> viewer = viewerRegistrar_->getViewer(viewerId);
        missing <<= 1;
        if (!viewer) {
            VT_LOG(ETWLogging::LevelWarning, kSource, kShow, L"Viewer %ls was not registered.",
                   viewerId.c_str());
            missing |= 1;
            continue;
        }
        alert->setViewer(viewer);
        alert->resetShown();

        std::wstring content;
        const std::uint32_t rc =
            pluginRegistrar_->getAlertContent(info.product, AlertInfo::toJson(info), viewerId, content);
        noContent <<= 1;
        if (rc != 0) {
            VT_LOG(ETWLogging::LevelWarning, kSource, kShow,
                   L"Failed to get alert content. Alert: %ls, Product: %ls, Viewer: %ls.",
                   info.id.c_str(), info.product.c_str(), viewerId.c_str());
            CEvent event(L"Vantrel.Warning.GetContentFailed");
            setAlertEventBasics(event, L"VT warning-Failed to get content", false, false, L"Warning");
            event.SetLabel(info.product);
            addHitGuid(event, info.id);
            addIntDimension(event, L"Hit.Result", rc);
            addText(event, L"Hit.Label.1", viewerId);
            event.Send();
            noContent |= 1;
            continue;
        }
        alert->setContent(std::move(content));
        if ((stopped = cutShort())) {
            break;  // during the content request: this viewer is not asked
        }
        if (!alert->show()) {
            if (alert->isShowInterrupted()) {
                current_ = alert;  // the viewer holds the request: the take-down sends it the Delete
                return false;
            }
            continue;
        }

        current_ = alert;
        const std::int64_t elapsedMs = (unixTimeNow100ns() - info.created) / 10000;
        VT_LOG(ETWLogging::LevelInformation, kSource, kShow,
               L"Vantrel Alert Status Shown. Alert id: %ls, Instance id: %ls TimeTaken: %llu",
               info.id.c_str(), info.instanceId.c_str(), static_cast<unsigned long long>(elapsedMs));
        CEvent event(L"Vantrel.Alert.Shown");
        setAlertEventBasics(event, L"Shown", true, false, L"Shown");
        addHitGuid(event, info.id);
        addText(event, L"Hit.Label.1", viewerId);
        addText(event, L"Hit.Label.2", alert->preferredViewersText());
        addText(event, L"Hit.Label.3", info.product);
        addText(event, L"Hit.Label.4", std::to_wstring(elapsedMs));
        event.Send();
        return true;
    }

    if (!stopped) {
        cutShort();
    }
    if (stoppedUnheld_ || alert->isDeleted()) {
        return false;  // nothing to report
    }
    const std::wstring viewers = alert->preferredViewersText();
    VT_LOG(ETWLogging::LevelError, kSource, kShow,
           L"Vantrel Alert Status Failed. Alert id: %ls, Instance id: %ls. Preferred viewers list is %s",
           info.id.c_str(), info.instanceId.c_str(), viewers.c_str());
    {
        CEvent event(L"Vantrel.Failed.Show");
        setAlertEventBasics(event, L"VT failed to Show in preferred viewers", false, false, L"Failure");
        event.SetLabel(info.product);
        addHitGuid(event, info.id);
        addIntDimension(event, L"Hit.Result", missing | (noContent << 8));
        addText(event, L"Hit.Label.1", L"All");
        addText(event, L"Hit.Label.2", viewers);
        addText(event, L"Hit.Label.3", updateRunningLabel());
        event.Send();
    }
    const std::shared_ptr<Tessil::MessageBus> bus = bus_.get();
    if (!bus) {
        return false;  // no connection: the failure is logged and sent as telemetry only
    }
    if (alert->claimFailureReport()) {
        bus->publish(Tessil::Message::create(alertStatusName(info.id, L".Failed.", info.instanceId),
                                             std::wstring(), std::wstring()));
    }
    bus->publish(logCollectionRequest(L"VT_FailedToShowAlert"));
    return false;
}

bool AlertDispatcher::wait() {
    std::shared_ptr<Alert> alert;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        alert = current_;
    }
    if (!alert) {
        return false;
    }
    const AlertInfo& info = alert->getAlertInfo();
    const std::uint32_t timeout = info.timeout;
    // A timeout too large for the grace to be added is used as it stands.
    const std::int64_t seconds =
        timeout >= std::numeric_limits<std::uint32_t>::max() - closingGraceSeconds_
            ? static_cast<std::int64_t>(timeout)
            : static_cast<std::int64_t>(timeout) + closingGraceSeconds_;
    // A wait cut short by the stop ends as one that ran out.
    const bool responded = alert->wait(seconds);
    if (!responded) {
        VT_LOG(ETWLogging::LevelInformation, kSource, kWait,
               L"Vantrel Alert Status Timeout. Alert id: %ls, Instance id: %ls", info.id.c_str(),
               info.instanceId.c_str());
        const std::shared_ptr<AlertViewer> viewer = alert->getViewer();
        CEvent event(L"Vantrel.Alert.TimeOut");
        setAlertEventBasics(event, L"Time Out", false, false, L"TimeOut");
        addHitGuid(event, info.id);
        addText(event, L"Hit.Label.1", viewer ? viewer->getId() : std::wstring());
        event.Send();
    }
    return responded;
}

bool AlertDispatcher::dismissCurrent() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!current_) {
        return false;
    }
    const bool dismissed = current_->dismiss();
    current_.reset();
    return dismissed;
}

bool AlertDispatcher::dismissIfShowing(const std::wstring& instanceId) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!current_ || current_->getAlertInfo().instanceId != instanceId) {
        return false;
    }
    const bool dismissed = current_->dismiss();
    current_.reset();
    return dismissed;
}

void AlertDispatcher::interrupt() { stop_->request(); }

bool AlertDispatcher::lastShowStoppedUnheld() { return stoppedUnheld_; }

std::shared_ptr<Alert> AlertDispatcher::current() {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

}  // namespace Drem
