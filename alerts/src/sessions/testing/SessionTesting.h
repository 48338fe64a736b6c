// Test support for the sessions: scripted terminal services and a dispatcher
// whose show, wait and take-down answer as the test says.
#pragma once

#include "alerts/src/dispatcher/AlertDispatcher.h"
#include "alerts/src/sessions/TerminalServicesAPI.h"

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Drem::testing {

// The machine's sessions as the test sets them. Session information answers
// a log-on long ago unless scripted.
class FakeTerminalServices : public TerminalServicesAPI {
public:
    void setSessions(const std::vector<std::pair<DWORD, WTS_CONNECTSTATE_CLASS>>& sessions);
    // Only this session is active (0: none).
    void setActive(DWORD sessionId);
    // Enumeration fails with error (0: works again).
    void failEnumeration(DWORD error);
    // The user of sessionId logged on secondsAgo before now.
    void setLoggedOnSecondsAgo(DWORD sessionId, std::uint64_t secondsAgo);
    void failSessionInfo(DWORD error);
    void setSessionInfoSize(DWORD bytes);
    // Runs inside every enumeration, before it answers.
    void setOnEnumerate(std::function<void()> hook);

    BOOL EnumerateSessions(WTS_SESSION_INFOW** sessions, DWORD* count) override;
    BOOL QuerySessionInformation(DWORD sessionId, WTS_INFO_CLASS infoClass, LPWSTR* buffer,
                                 DWORD* bytes) override;
    void FreeMemory(void* memory) override;

    std::size_t enumerations() const;
    // Waits until at least count enumerations have answered.
    bool waitForEnumerations(std::size_t count, DWORD timeoutMs = 20000) const;
    // Blocks handed out and not freed.
    int outstanding() const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable enumerated_;
    std::vector<std::pair<DWORD, WTS_CONNECTSTATE_CLASS>> sessions_;  // guarded by mutex_
    DWORD enumerationError_ = 0;                                     // guarded by mutex_
    std::map<DWORD, std::uint64_t> loggedOnAgo_;                     // guarded by mutex_
    DWORD infoError_ = 0;                                            // guarded by mutex_
    DWORD infoSize_ = sizeof(WTSINFOW);                              // guarded by mutex_
    std::function<void()> onEnumerate_;                              // guarded by mutex_
    std::size_t enumerations_ = 0;                                   // guarded by mutex_
    int outstanding_ = 0;                                            // guarded by mutex_
};

// A dispatcher with every step scripted and recorded.
class FakeDispatcher : public AlertDispatcher {
public:
    FakeDispatcher(std::shared_ptr<ViewerRegistrar> viewers, std::shared_ptr<PluginRegistrar> plugins,
                   std::shared_ptr<Tessil::MessageBus> bus);
    ~FakeDispatcher() override;

    bool process(Alert& alert) override;
    bool show(std::shared_ptr<Alert> alert) override;
    bool wait() override;
    bool dismissIfShowing(const std::wstring& instanceId) override;
    bool dismissCurrent() override;
    // Ends a held show or wait, as the real one ends its waits.
    void interrupt() override;
    // True when a held show was ended by the stop.
    bool lastShowStoppedUnheld() override;

    void setProcessResult(bool queued);
    void setShowResult(bool shown);
    void setWaitResult(bool waited);
    void setDismissResult(bool dismissed);
    // While held, wait blocks until released, interrupted or the dispatcher goes.
    void holdWait(bool hold);
    // While held, show blocks until released or interrupted; interrupted, it
    // fails with no viewer holding the alert.
    void holdShow(bool hold);

    // Instance ids shown, in order ("<none>" for an empty alert).
    std::vector<std::wstring> shown() const;
    bool waitForShown(std::size_t count, DWORD timeoutMs = 20000) const;
    bool waitForWaiting(DWORD timeoutMs = 20000) const;
    std::vector<std::wstring> dismissedInstances() const;
    int dismissCurrentCalls() const;
    bool interrupted() const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool processResult_ = true;
    bool showResult_ = true;
    bool waitResult_ = true;
    bool dismissResult_ = true;
    bool holdWait_ = false;
    bool holdShow_ = false;
    bool stoppedUnheld_ = false;
    bool waiting_ = false;
    bool closing_ = false;
    bool interrupted_ = false;
    std::shared_ptr<Alert> current_;
    std::vector<std::wstring> shown_;
    std::vector<std::wstring> dismissed_;
    int dismissCurrentCalls_ = 0;
};

}  // namespace Drem::testing
