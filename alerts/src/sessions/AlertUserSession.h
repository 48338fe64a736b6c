// The alerts of one Windows session and its dispatch thread: once the user
// has been logged on long enough and the session is the active one, the
// thread takes alerts one by one from its own queue or the global queue and
// has the dispatcher show each and wait for it to be closed.
#pragma once

#include "alerts/src/dispatcher/AlertDispatcher.h"
#include "alerts/src/queue/AlertQueue.h"
#include "alerts/src/sessions/AlertGlobalSession.h"
#include "alerts/src/sessions/AlertSession.h"
#include "alerts/src/sessions/TerminalServicesAPI.h"
#include "framework/bus/MessageBus.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace Drem {

struct UserSessionTimings {
    // How long after its log-on a session starts showing alerts.
    std::uint32_t logonSettleSeconds = 120;
    // The length of one second of that delay.
    std::chrono::milliseconds second{1000};
};

class AlertUserSession : public AlertSession {
public:
    // An empty dispatcher becomes one built from the two registrars; an empty
    // bus a new default connection; empty terminal services the real calls.
    AlertUserSession(std::uint32_t sessionId, std::shared_ptr<ViewerRegistrar> viewerRegistrar,
                     std::shared_ptr<PluginRegistrar> pluginRegistrar,
                     std::shared_ptr<AlertGlobalSession> globalSession,
                     std::shared_ptr<AlertDispatcher> dispatcher = nullptr,
                     std::shared_ptr<Tessil::MessageBus> bus = nullptr,
                     std::shared_ptr<TerminalServicesAPI> terminalServices = nullptr,
                     UserSessionTimings timings = {});
    // Ends the dispatch thread after the alert in hand. Never on that thread.
    ~AlertUserSession() override;

    void queueAlert(std::shared_ptr<Alert> alert, bool* suppressed) override;
    bool deleteAlert(const std::wstring& instanceId, const std::wstring& alertId) override;
    // Nothing queued here (waits while the dispatch thread shows an alert).
    virtual bool isEmpty();
    // The thread holds an alert, or has not yet finished its start delay.
    virtual bool isDispatching();

    std::uint32_t sessionId() const { return sessionId_; }
    // The start delay from the session's log-on time.
    std::uint32_t startDelaySeconds();

private:
    // The thread's wait lock: the session mutex and the wake mutex together.
    class WaitLock;

    void dispatchThread();
    bool isActiveSession();
    std::uint32_t onSessionEvent(const std::shared_ptr<Tessil::Message>& message);
    // Wakes the dispatch thread; takes only the wake mutex.
    void wake();
    // Waits until woken after seen or stopped; lock holds the session mutex.
    void waitForWake(std::unique_lock<std::mutex>& lock, std::uint64_t seen);

    const std::uint32_t sessionId_;
    std::shared_ptr<ViewerRegistrar> viewerRegistrar_;
    std::shared_ptr<PluginRegistrar> pluginRegistrar_;
    std::shared_ptr<AlertGlobalSession> globalSession_;
    std::shared_ptr<AlertDispatcher> dispatcher_;
    std::shared_ptr<Tessil::MessageBus> bus_;
    std::shared_ptr<TerminalServicesAPI> terminalServices_;
    const UserSessionTimings timings_;
    // Lock order: this session mutex, then the global session's, then a queue's;
    // this session mutex, then the dispatcher's. The wake mutex comes last of all.
    std::mutex mutex_;
    AlertQueue queue_;                    // used under mutex_
    std::atomic<bool> stop_{false};       // written under mutex_
    std::atomic<bool> dispatching_{true};  // written under mutex_
    // A wake-up counts under the wake mutex, which the thread holds from its
    // check until it sleeps, so a wake-up between the two is not lost.
    std::mutex wakeMutex_;
    std::uint64_t wakeups_ = 0;  // guarded by wakeMutex_
    std::condition_variable_any work_;
    std::mutex startMutex_;
    std::condition_variable startCondition_;
    std::thread thread_;
};

}  // namespace Drem
