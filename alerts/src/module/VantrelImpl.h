// The alert module: the alert service's face on the bus. It hands out
// instance numbers, answers queue-status requests, runs show and delete
// requests one at a time on its executor thread, drops a user session at
// its log-off, and asks for logs when risk alerts arrive soon after the
// machine's out-of-box setup.
#pragma once

#include "alerts/src/module/AlertSessionFactory.h"
#include "alerts/src/module/LogonRechecks.h"
#include "alerts/src/module/TaskQueue.h"
#include "alerts/src/sessions/TerminalServicesAPI.h"
#include "framework/module/BaseModule.h"
#include "platform/Registry/monitored_reg_key.h"
#include "platform/Thread/AsyncJob.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace Drem {

struct VantrelOptions {
    // Used to find the active session; empty: the real calls.
    std::shared_ptr<TerminalServicesAPI> terminalServices;
    // Makes the alert of an accepted show request; empty: an alert with a
    // bus connection of its own.
    std::function<std::shared_ptr<Alert>(AlertInfo&&)> makeAlert;
    // Now in 100-ns units since 1970-01-01 UTC; empty: the system clock.
    std::function<std::int64_t()> now;
    // How a log-on notice for a session not yet logged on is checked again.
    LogonRechecks::Timing logonRechecks;
};

class VantrelImpl : public Tessil::BaseModule {
public:
    // Empty collaborators are made with their defaults; throws when one
    // cannot be built, after the executor has ended.
    VantrelImpl(std::shared_ptr<ViewerRegistrar> viewerRegistrar,
                std::shared_ptr<PluginRegistrar> pluginRegistrar,
                std::shared_ptr<AlertSessionFactory> sessionFactory, VantrelOptions options = {});
    ~VantrelImpl() override;

    std::uint32_t initialize() override;
    std::uint32_t start() override;
    std::uint32_t stop() override;
    std::uint32_t uninitialize() override;

    // The five bus handlers.
    std::uint32_t queueShowTask(std::shared_ptr<Tessil::Message> message);
    std::uint32_t queueDeleteTask(std::shared_ptr<Tessil::Message> message);
    std::uint32_t getIdHandler(std::shared_ptr<Tessil::Message> message);
    std::uint32_t queueStatusHandler(std::shared_ptr<Tessil::Message> message);
    std::uint32_t handleSessionLogoff(std::shared_ptr<Tessil::Message> message);
    // A log-on or connection of a session the terminal services list as
    // logged on: starts it, making it when the global queue holds alerts.
    // A session not listed so yet is checked again for a while.
    std::uint32_t handleSessionLogon(std::shared_ptr<Tessil::Message> message);

    // The executor tasks.
    DWORD showAlertHandler(const std::shared_ptr<Tessil::Message>& message);
    DWORD deleteAlertHandler(const std::shared_ptr<Tessil::Message>& message);

    // The text after the name's last "." when it reads as a number handed
    // out already or the next one.
    bool parseInstanceId(const std::wstring& name, std::wstring& instance) const;
    bool deleteAlert(const std::wstring& instance, const std::wstring& alertId);
    bool isIdle();
    // Runs on the watcher thread after every change of the out-of-box key.
    void onOobeValueChanged();
    static bool isRiskAlertId(const std::wstring& alertId, const std::wstring& riskId);

    bool outOfBoxMode() const { return outOfBoxMode_; }
    // Whether the out-of-box setup has been seen completing.
    bool oobeCompletionSeen() const { return oobeCompletionTime_ != 0; }

private:
    void setupHandlers();
    void cleanupHandlers();
    void executeCallback();
    // Called with the sessions lock held.
    void startActiveSession();
    // Starts the session of a log-on, made when the global queue holds alerts.
    void startLoggedOnSession(std::uint32_t sessionId);
    // The session of that id, made (not started) when there is none; with
    // the sessions lock held.
    std::shared_ptr<AlertUserSession> userSession(std::uint32_t sessionId);
    // The "sessionId" of a system-monitor message; false, logged, when none.
    bool sessionIdOf(const Tessil::Message& message, const wchar_t* function, unsigned int& sessionId);
    void detectFactoryMode();
    void CollectLogsForRiskAlert(const std::wstring& alertId);
    void stopExecutor();
    // Stops a session taken out of the map and keeps it until its thread has
    // ended; the end queues releaseEndedSessions on the executor. Never waits.
    void retire(std::shared_ptr<AlertUserSession> session);
    // On the executor: lets go the retired sessions whose thread has ended.
    void releaseEndedSessions();
    // The sessions of the map, then the retired ones, each copied under its lock.
    std::vector<std::shared_ptr<AlertUserSession>> sessionsSnapshot();
    std::uint32_t reply(const Tessil::Message& request, const std::wstring& name, const std::wstring& sender,
                        const std::wstring& payload);

    std::shared_ptr<ViewerRegistrar> viewerRegistrar_;
    std::shared_ptr<PluginRegistrar> pluginRegistrar_;
    std::shared_ptr<AlertSessionFactory> sessionFactory_;
    VantrelOptions options_;
    std::unordered_map<std::wstring, Tessil::MessageHandler> handlers_;  // host thread only
    std::shared_ptr<AlertGlobalSession> globalSession_;                   // fixed after construction
    // Guards the map only: held for look-ups and changes, never while a
    // session is asked anything that can wait for a viewer.
    std::mutex sessionsMutex_;
    std::unordered_map<std::uint32_t, std::shared_ptr<AlertUserSession>> userSessions_;  // guarded by sessionsMutex_
    // Stopped sessions whose thread may still be ending; let go on the
    // executor or at destruction, never on a bus thread.
    std::mutex retiredMutex_;
    std::vector<std::shared_ptr<AlertUserSession>> retired_;  // guarded by retiredMutex_
    std::atomic<std::uint32_t> instanceCounter_{1};
    TaskQueue taskQueue_;
    std::atomic<bool> exit_{false};
    std::unique_ptr<Kelmora::AsyncJob> executor_;
    DWORD fuAllow_ = 0;
    bool outOfBoxMode_ = false;
    std::atomic<DWORD> oobeDone_{0};
    std::atomic<std::int64_t> oobeCompletionTime_{0};
    std::int64_t logWindowSeconds_ = 3600;
    std::shared_ptr<Kelmora::monitored_reg_key> oobeWatcher_;
    std::vector<std::wstring> riskAlertIds_;
    std::unique_ptr<LogonRechecks> logonRechecks_;  // fixed after construction
};

}  // namespace Drem
