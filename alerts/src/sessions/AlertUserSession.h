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
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace Drem {

struct UserSessionOptions {
    // How long after its log-on a session starts showing alerts.
    std::uint32_t logonSettleSeconds = 120;
    // The length of one second of that delay.
    std::chrono::milliseconds second{1000};
    // Opens the connections the session makes for itself and its default
    // dispatcher; empty: default connections through the bus library.
    BusConnector connect;
};

class AlertUserSession : public AlertSession {
public:
    // An empty dispatcher becomes one built from the two registrars; an empty
    // bus a new connection at start; empty terminal services the real calls.
    // The session holds its queue only: no thread, no connection, until start.
    AlertUserSession(std::uint32_t sessionId, std::shared_ptr<ViewerRegistrar> viewerRegistrar,
                     std::shared_ptr<PluginRegistrar> pluginRegistrar,
                     std::shared_ptr<AlertGlobalSession> globalSession,
                     std::shared_ptr<AlertDispatcher> dispatcher = nullptr,
                     std::shared_ptr<Tessil::MessageBus> bus = nullptr,
                     std::shared_ptr<TerminalServicesAPI> terminalServices = nullptr,
                     UserSessionOptions options = {});
    // Stops the session and joins its thread. Never on that thread.
    ~AlertUserSession() override;

    // For a session that is logged on: subscribes to the system monitor's
    // session messages, registers with the global session and starts the
    // dispatch thread. Once; nothing after a stop.
    void start();
    bool started() const { return started_; }

    // Stops the session without waiting: the waits for a viewer and for a
    // closing report end at once, the alert on screen is taken down and the
    // thread ends on its own. Takes no lock that a viewer wait can hold.
    void requestStop();
    // No dispatch thread runs: never started, or ended.
    bool ended() const { return !started_ || ended_; }
    // Runs callback once the dispatch thread has ended, on that thread as its
    // last act; at once on the caller's thread when it has ended already or
    // never started. For a stopped session; a later call replaces the callback.
    void whenEnded(std::function<void()> callback);

    void queueAlert(std::shared_ptr<Alert> alert, bool* suppressed) override;
    bool deleteAlert(const std::wstring& instanceId, const std::wstring& alertId) override;
    // Nothing queued here; never waits for the dispatch thread.
    virtual bool isEmpty();
    // The running thread holds an alert, or has not yet finished its start delay.
    virtual bool isDispatching();

    std::uint32_t sessionId() const { return sessionId_; }
    // The start delay from the session's log-on time.
    std::uint32_t startDelaySeconds();

private:
    // The thread's wait lock: the session mutex and the wake mutex together.
    class WaitLock;
    class TakenAlert;

    void dispatchThread();
    // Runs the end callback; the dispatch thread's last act.
    void reportEnd();
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
    LazyBus bus_;
    std::shared_ptr<TerminalServicesAPI> terminalServices_;
    const UserSessionOptions options_;
    std::uint64_t registration_ = 0;  // with the global session
    // Lock order: this session mutex, then the global session's, then a queue's;
    // this session mutex, then the dispatcher's. The wake mutex comes last of all.
    std::mutex mutex_;
    AlertQueue queue_;                    // used under mutex_
    std::atomic<bool> stop_{false};       // written under lifeMutex_
    std::atomic<bool> dispatching_{true};  // written under mutex_
    // A wake-up counts under the wake mutex, which the thread holds from its
    // check until it sleeps, so a wake-up between the two is not lost.
    std::mutex wakeMutex_;
    std::uint64_t wakeups_ = 0;  // guarded by wakeMutex_
    std::condition_variable_any work_;
    std::mutex startMutex_;
    std::condition_variable startCondition_;
    // Guards starting against stopping; never held while waiting.
    std::mutex lifeMutex_;
    std::atomic<bool> started_{false};  // written under lifeMutex_
    std::atomic<bool> ended_{false};
    // A leaf: the end callback is taken under it and run after it.
    std::mutex endMutex_;
    std::function<void()> onEnded_;  // guarded by endMutex_
    bool endReported_ = false;       // guarded by endMutex_
    std::thread thread_;  // set under lifeMutex_
};

}  // namespace Drem
