#include "alerts/src/sessions/AlertUserSession.h"

#include "alerts/src/common/DefaultBus.h"
#include "alerts/src/sessions/SessionTelemetry.h"
#include "platform/Logging/Logging.h"

#include <utility>

namespace Drem {

namespace {

const wchar_t kSource[] = L"AlertUserSession";
const wchar_t kQueueAlert[] = L"Drem::AlertUserSession::queueAlert";
const wchar_t kDeleteAlert[] = L"Drem::AlertUserSession::deleteAlert";
const wchar_t kDispatchThread[] = L"Drem::AlertUserSession::dispatchThread";
const wchar_t kIsActiveSession[] = L"Drem::AlertUserSession::isActiveSession";

const wchar_t* const kSessionMessages[] = {
    L"SystemMonitor.UserSession.Console.Connect",
    L"SystemMonitor.UserSession.Remote.Connect",
    L"SystemMonitor.UserSession.Logon",
};

static_assert(sizeof(WTSINFOW) == 216, "the session information checked by size");

}  // namespace

// A global alert in this thread's hand: released to the global session
// when the thread is done with it, unless it was put back.
class AlertUserSession::TakenAlert {
public:
    TakenAlert(AlertGlobalSession* global, const std::shared_ptr<Alert>& alert)
        : global_(alert ? global : nullptr), alert_(alert) {}
    ~TakenAlert() {
        if (global_ != nullptr) {
            global_->release(alert_);
        }
    }
    void putBack() {
        if (global_ != nullptr) {
            std::exchange(global_, nullptr)->putBack(alert_);
        }
    }
    TakenAlert(const TakenAlert&) = delete;
    TakenAlert& operator=(const TakenAlert&) = delete;

private:
    AlertGlobalSession* global_;
    std::shared_ptr<Alert> alert_;
};

class AlertUserSession::WaitLock {
public:
    WaitLock(std::unique_lock<std::mutex>& session, std::unique_lock<std::mutex>& wake)
        : session_(session), wake_(wake) {}
    void lock() {
        session_.lock();
        wake_.lock();
    }
    void unlock() {
        wake_.unlock();
        session_.unlock();
    }

private:
    std::unique_lock<std::mutex>& session_;
    std::unique_lock<std::mutex>& wake_;
};

AlertUserSession::AlertUserSession(std::uint32_t sessionId, std::shared_ptr<ViewerRegistrar> viewerRegistrar,
                                   std::shared_ptr<PluginRegistrar> pluginRegistrar,
                                   std::shared_ptr<AlertGlobalSession> globalSession,
                                   std::shared_ptr<AlertDispatcher> dispatcher,
                                   std::shared_ptr<Tessil::MessageBus> bus,
                                   std::shared_ptr<TerminalServicesAPI> terminalServices,
                                   UserSessionOptions options)
    : sessionId_(sessionId),
      viewerRegistrar_(std::move(viewerRegistrar)),
      pluginRegistrar_(std::move(pluginRegistrar)),
      globalSession_(std::move(globalSession)),
      dispatcher_(dispatcher ? std::move(dispatcher)
                             : std::make_shared<AlertDispatcher>(viewerRegistrar_, pluginRegistrar_, nullptr,
                                                                 AlertDispatcher::kDefaultClosingGraceSeconds,
                                                                 nullptr, options.connect)),
      bus_(std::move(bus), options.connect),
      terminalServices_(orDefaultTerminalServices(std::move(terminalServices))),
      options_(std::move(options)) {}

void AlertUserSession::start() {
    std::lock_guard<std::mutex> life(lifeMutex_);
    if (started_ || stop_) {
        return;
    }
    // Without a connection only the session messages go unheard.
    const std::shared_ptr<Tessil::MessageBus> bus = bus_.get();
    if (bus) {
        for (const wchar_t* name : kSessionMessages) {
            bus->subscribe(name, name, [this](std::shared_ptr<Tessil::Message> message) {
                return onSessionEvent(message);
            });
        }
    }
    if (globalSession_) {
        registration_ = globalSession_->registerSession(sessionId_, [this] { wake(); });
    }
    try {
        thread_ = std::thread([this] {
            dispatchThread();
            reportEnd();
        });
    } catch (...) {
        if (globalSession_) {
            globalSession_->unregisterSession(registration_);
        }
        if (bus) {
            for (const wchar_t* name : kSessionMessages) {
                bus->unsubscribe(name);
            }
        }
        throw;
    }
    started_ = true;
}

AlertUserSession::~AlertUserSession() {
    requestStop();
    if (auto bus = bus_.ifOpen()) {
        for (const wchar_t* name : kSessionMessages) {
            bus->unsubscribe(name);
        }
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

void AlertUserSession::requestStop() {
    std::lock_guard<std::mutex> life(lifeMutex_);
    if (stop_.exchange(true)) {
        return;
    }
    // Not under the session mutex: a show holds it while it asks a viewer.
    // The thread sees stop at its next check, or is woken below.
    dispatcher_->interrupt();
    if (!started_) {
        return;
    }
    if (globalSession_) {
        globalSession_->unregisterSession(registration_);
    }
    {
        std::lock_guard<std::mutex> start(startMutex_);
        startCondition_.notify_one();
    }
    wake();
}

void AlertUserSession::whenEnded(std::function<void()> callback) {
    {
        std::lock_guard<std::mutex> lock(endMutex_);
        if (started_ && !endReported_) {
            onEnded_ = std::move(callback);
            return;
        }
    }
    if (callback) {
        callback();
    }
}

void AlertUserSession::reportEnd() {
    std::function<void()> callback;
    {
        std::lock_guard<std::mutex> lock(endMutex_);
        endReported_ = true;
        callback = std::move(onEnded_);
    }
    if (callback) {
        callback();
    }
}

std::uint32_t AlertUserSession::onSessionEvent(const std::shared_ptr<Tessil::Message>&) {
    wake();
    return 0;
}

void AlertUserSession::wake() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        ++wakeups_;
    }
    work_.notify_all();
}

void AlertUserSession::waitForWake(std::unique_lock<std::mutex>& lock, std::uint64_t seen) {
    std::unique_lock<std::mutex> wakeLock(wakeMutex_);
    WaitLock both(lock, wakeLock);
    work_.wait(both, [&] { return wakeups_ != seen || stop_; });
}

std::uint32_t AlertUserSession::startDelaySeconds() {
    const std::uint32_t full = options_.logonSettleSeconds;
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    if (!terminalServices_->QuerySessionInformation(sessionId_, WTSSessionInfo, &buffer, &bytes)) {
        VT_LOG(ETWLogging::LevelWarning, kSource, kDispatchThread,
               L"Failed to get session info (%lu), using default delay",
               static_cast<unsigned long>(GetLastError()));
        return full;
    }
    TerminalServicesMemory owner(*terminalServices_, buffer);
    if (buffer == nullptr || bytes != sizeof(WTSINFOW)) {
        VT_LOG(ETWLogging::LevelWarning, kSource, kDispatchThread,
               L"Unexpected session info size, using default delay");
        return full;
    }
    const auto* info = reinterpret_cast<const WTSINFOW*>(buffer);
    const std::uint64_t elapsed =
        (static_cast<std::uint64_t>(info->CurrentTime.QuadPart) -
         static_cast<std::uint64_t>(info->LogonTime.QuadPart)) / 10000000ull;
    if (elapsed == 0) {
        return full;
    }
    return elapsed >= full ? 0 : full - static_cast<std::uint32_t>(elapsed);
}

bool AlertUserSession::isActiveSession() {
    DWORD activeId = 0;
    DWORD error = 0;
    if (!findActiveSession(*terminalServices_, activeId, error)) {
        VT_LOG(ETWLogging::LevelError, kSource, kIsActiveSession, L"Failed to EnumerateSessions. Error: %lu.",
               static_cast<unsigned long>(error));
        sendSessionFailed(sessionId_, error);
        return false;
    }
    if (activeId == 0) {
        VT_LOG(ETWLogging::LevelWarning, kSource, kIsActiveSession, L"No active session was found.");
        return false;
    }
    return activeId == sessionId_;
}

void AlertUserSession::dispatchThread() {
    struct EndMark {
        std::atomic<bool>& ended;
        ~EndMark() { ended = true; }
    } endMark{ended_};
    const std::uint32_t delay = startDelaySeconds();
    VT_LOG(ETWLogging::LevelNormal, kSource, kDispatchThread,
           L"Starting user session alert thread for session %u with %lld delay", sessionId_,
           static_cast<long long>(delay));
    {
        std::unique_lock<std::mutex> start(startMutex_);
        startCondition_.wait_for(start, options_.second * delay, [this] { return stop_.load(); });
    }

    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        dispatching_ = false;
        for (;;) {
            std::uint64_t seen = 0;
            {
                std::lock_guard<std::mutex> wakeLock(wakeMutex_);
                seen = wakeups_;
            }
            const bool work = queue_.count() != 0 || (globalSession_ && !globalSession_->isEmpty());
            const bool active = isActiveSession();
            if (work && active) {
                break;
            }
            if (stop_) {
                return;
            }
            waitForWake(lock, seen);
        }
        if (stop_) {
            return;
        }
        dispatching_ = true;

        std::shared_ptr<Alert> alert;
        bool global = false;
        {
            std::shared_ptr<Alert> head = queue_.front();
            if (!head || (globalSession_ && globalSession_->globalGoesFirst(*head))) {
                global = true;
                alert = globalSession_ ? globalSession_->popFront() : nullptr;
            } else {
                alert = queue_.pop();
            }
        }
        // A global alert stays the global session's to answer for until this
        // thread is done with it.
        TakenAlert taken(global ? globalSession_.get() : nullptr, alert);
        if (!dispatcher_->show(alert)) {
            if (dispatcher_->lastShowStoppedUnheld()) {
                // No viewer was ever asked: back in the queue it came from, a
                // global alert for the next session to show unless deleted
                // meanwhile. The dispatcher stops only with the session.
                VT_LOG(ETWLogging::LevelInformation, kSource, kDispatchThread,
                       L"Session stopping; alert put back, no viewer was asked. Alert id: %ls, Instance id: %ls.",
                       alert->getAlertInfo().id.c_str(), alert->getAlertInfo().instanceId.c_str());
                if (global) {
                    taken.putBack();
                } else {
                    queue_.putBack(std::move(alert));
                }
                return;
            }
            if (stop_) {
                dispatcher_->dismissCurrent();  // a show cut short by the stop
                return;
            }
            if (!alert || !alert->isDeleted()) {
                VT_LOG(ETWLogging::LevelError, kSource, kDispatchThread, L"Failed to show alert.");
            }
            continue;
        }
        lock.unlock();
        if (alert->isDeleted()) {
            dispatcher_->dismissCurrent();  // deleted while a viewer took it
        } else if (!dispatcher_->wait()) {
            VT_LOG(ETWLogging::LevelError, kSource, kDispatchThread, L"Failed to wait for alert.");
            dispatcher_->dismissCurrent();
        }
        lock.lock();
    }
}

void AlertUserSession::queueAlert(std::shared_ptr<Alert> alert, bool* suppressed) {
    queueProcessed(*dispatcher_, alert, suppressed, kSource, kQueueAlert, [&] {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!queue_.push(alert)) {
                return false;
            }
        }
        wake();
        return true;
    });
}

bool AlertUserSession::deleteAlert(const std::wstring& instanceId, const std::wstring& alertId) {
    bool removed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        removed = queue_.remove(instanceId);
    }
    if (removed) {
        reportDeleted(kSource, kDeleteAlert, L"Delete", alertId, instanceId);
        return true;
    }
    if (!dispatcher_->dismissIfShowing(instanceId)) {
        return false;
    }
    reportDeleted(kSource, kDeleteAlert, L"Dismissed", alertId, instanceId);
    return true;
}

bool AlertUserSession::isEmpty() {
    // The queue's own lock only: the session mutex may be held by a show.
    return queue_.count() == 0;
}

bool AlertUserSession::isDispatching() { return started_ && !ended_ && dispatching_; }

}  // namespace Drem
