// The work between an alert's arrival and its closing report: the product
// plug-in's look at it before it is queued, the preferred viewers tried in
// order, the wait for the closing report and the take-down.
#pragma once

#include "alerts/UPDATE_MANAGER/include/CvUpdateMgr_Helper.h"
#include "alerts/src/common/DefaultBus.h"
#include "alerts/src/common/UnixTime.h"
#include "alerts/src/plugins/PluginRegistrar.h"
#include "alerts/src/queue/Alert.h"
#include "alerts/src/viewers/ViewerRegistrar.h"
#include "framework/bus/MessageBus.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace Drem {

// The compact request to the log collector: {"Problem":problem,"coolingperiod":"",
// "throttlingpercent":"1","logstocollect":"2"}.
std::wstring logCollectionPayload(const wchar_t* problem);
// "sustainability.collect.logs" with the sender "Vantrel".
std::shared_ptr<Tessil::Message> logCollectionRequest(const wchar_t* problem);

class AlertDispatcher {
public:
    static constexpr std::uint32_t kDefaultClosingGraceSeconds = 30;

    // An empty bus becomes, at the first publication, a connection from
    // connect or else a new default one. closingGraceSeconds is added to an
    // alert's timeout for the wait for its closing report; an empty
    // updateEvents asks the real kernel objects.
    AlertDispatcher(std::shared_ptr<ViewerRegistrar> viewerRegistrar,
                    std::shared_ptr<PluginRegistrar> pluginRegistrar,
                    std::shared_ptr<Tessil::MessageBus> bus = nullptr,
                    std::uint32_t closingGraceSeconds = kDefaultClosingGraceSeconds,
                    std::shared_ptr<UpdateEventAPI> updateEvents = nullptr, BusConnector connect = {});
    // Takes down the alert still shown.
    virtual ~AlertDispatcher();
    AlertDispatcher(const AlertDispatcher&) = delete;
    AlertDispatcher& operator=(const AlertDispatcher&) = delete;

    // The plug-in's look before queueing: false when the alert is suppressed
    // or the plug-in's output is unusable; its data may be replaced.
    virtual bool process(Alert& alert);
    // Tries the preferred viewers in order; true when one has shown the
    // alert, which is then the current alert. A stop ends the tries; so does
    // a delete of the alert, which leaves nothing to report.
    virtual bool show(std::shared_ptr<Alert> alert);
    // Waits for the current alert's closing report: timeout + grace seconds.
    virtual bool wait();
    // Has the current alert taken down when its instance id is instanceId.
    virtual bool dismissIfShowing(const std::wstring& instanceId);
    // Has the current alert taken down and forgets it.
    virtual bool dismissCurrent();
    // Ends at once, for good, every wait for a viewer's reply or a closing
    // report of this dispatcher, the ones under way included; a later show
    // tries no viewer. Takes no lock: callable while a show holds the mutex.
    virtual void interrupt();
    // Whether the last show ended for the stop before any viewer was ever
    // asked about the alert: nothing was sent or reported, and the alert may
    // be shown later. Once a viewer was asked, a stopped show ends as one that
    // no viewer could take.
    virtual bool lastShowStoppedUnheld();

    // The alert a viewer is showing, empty when none.
    std::shared_ptr<Alert> current();

private:
    std::wstring updateRunningLabel() const;

    std::shared_ptr<ViewerRegistrar> viewerRegistrar_;
    std::shared_ptr<PluginRegistrar> pluginRegistrar_;
    LazyBus bus_;
    const std::uint32_t closingGraceSeconds_;
    std::shared_ptr<UpdateEventAPI> updateEvents_;
    const std::shared_ptr<Kelmora::StopSignal> stop_ = std::make_shared<Kelmora::StopSignal>();
    std::atomic<bool> stoppedUnheld_{false};  // set by show
    // Held through a whole show and a whole take-down. Order: a session's
    // mutex, then this one, then the viewer or plug-in registrar's lock.
    std::mutex mutex_;
    std::shared_ptr<Alert> current_;  // guarded by mutex_
};

}  // namespace Drem
