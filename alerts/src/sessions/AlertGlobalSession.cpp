#include "alerts/src/sessions/AlertGlobalSession.h"

#include "alerts/src/common/AlertTelemetry.h"
#include "alerts/src/sessions/SessionTelemetry.h"
#include "platform/Logging/Logging.h"

#include <algorithm>

namespace Drem {

namespace {

const wchar_t kSource[] = L"AlertGlobalSession";
const wchar_t kQueueAlert[] = L"Drem::AlertGlobalSession::queueAlert";
const wchar_t kDeleteAlert[] = L"Drem::AlertGlobalSession::deleteAlert";

}  // namespace

AlertGlobalSession::AlertGlobalSession(std::shared_ptr<ViewerRegistrar> viewerRegistrar,
                                       std::shared_ptr<PluginRegistrar> pluginRegistrar,
                                       std::shared_ptr<AlertDispatcher> dispatcher)
    : viewerRegistrar_(std::move(viewerRegistrar)),
      pluginRegistrar_(std::move(pluginRegistrar)),
      dispatcher_(dispatcher ? std::move(dispatcher)
                             : std::make_shared<AlertDispatcher>(viewerRegistrar_, pluginRegistrar_)) {}

AlertGlobalSession::~AlertGlobalSession() = default;

void AlertGlobalSession::queueAlert(std::shared_ptr<Alert> alert, bool* suppressed) {
    queueProcessed(*dispatcher_, alert, suppressed, kSource, kQueueAlert, [&] {
        // The wake callbacks run under the mutex, so no session unregisters meanwhile.
        std::lock_guard<std::mutex> lock(mutex_);
        if (!queue_.push(alert)) {
            return false;
        }
        wakeAll();
        return true;
    });
}

bool AlertGlobalSession::deleteAlert(const std::wstring& instanceId, const std::wstring& alertId) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!queue_.remove(instanceId)) {
        return false;
    }
    reportDeleted(kSource, kDeleteAlert, L"Delete", alertId, instanceId);
    return true;
}

bool AlertGlobalSession::globalGoesFirst(const Alert& sessionHead) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::shared_ptr<Alert> head = queue_.front();
    if (!head) {
        return false;
    }
    const std::int32_t globalPriority = head->getAlertInfo().priority;
    const std::int32_t sessionPriority = const_cast<Alert&>(sessionHead).getAlertInfo().priority;
    if (globalPriority != sessionPriority) {
        return globalPriority < sessionPriority;  // as within one queue: the smaller number first
    }
    return head->getQueuedTime() < sessionHead.getQueuedTime();
}

std::shared_ptr<Alert> AlertGlobalSession::popFront() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Alert> alert = queue_.pop();
    if (alert) {
        taken_.push_back(alert);
    }
    return alert;
}

void AlertGlobalSession::forgetTaken(const std::shared_ptr<Alert>& alert) {
    const auto it = std::find(taken_.begin(), taken_.end(), alert);
    if (it != taken_.end()) {
        taken_.erase(it);
    }
}

void AlertGlobalSession::putBack(std::shared_ptr<Alert> alert) {
    std::lock_guard<std::mutex> lock(mutex_);
    forgetTaken(alert);
    // The delete's mark is set under this mutex too: it is never missed here.
    if (alert && alert->isDeleted()) {
        return;
    }
    if (queue_.putBack(std::move(alert))) {
        wakeAll();
    }
}

void AlertGlobalSession::release(const std::shared_ptr<Alert>& alert) {
    std::lock_guard<std::mutex> lock(mutex_);
    forgetTaken(alert);
}

bool AlertGlobalSession::deleteTaken(const std::wstring& instanceId) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::shared_ptr<Alert>& alert : taken_) {
        if (!alert->isDeleted() && alert->getAlertInfo().instanceId == instanceId) {
            alert->markDeleted();
            return true;
        }
    }
    return false;
}

bool AlertGlobalSession::holdsAlerts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.count() != 0 || !taken_.empty();
}

void AlertGlobalSession::wakeAll() {
    for (const auto& entry : wakeCallbacks_) {
        entry.second.wake();
    }
}

bool AlertGlobalSession::isEmpty() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.count() == 0;
}

std::uint64_t AlertGlobalSession::registerSession(std::uint32_t sessionId, std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t registration = nextRegistration_++;
    wakeCallbacks_.emplace(registration, Registration{sessionId, std::move(wake)});
    return registration;
}

void AlertGlobalSession::unregisterSession(std::uint64_t registration) {
    std::lock_guard<std::mutex> lock(mutex_);
    wakeCallbacks_.erase(registration);
}

}  // namespace Drem
