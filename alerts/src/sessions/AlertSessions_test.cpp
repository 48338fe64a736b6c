#include "alerts/src/sessions/AlertGlobalSession.h"
#include "alerts/src/sessions/AlertUserSession.h"

#include "alerts/src/common/testing/RecordingTelemetry.h"
#include "alerts/src/dispatcher/testing/DispatcherTesting.h"
#include "alerts/src/sessions/testing/SessionTesting.h"
#include "neighbours/MessageBus/MessageBusScript.h"
#include "neighbours/SettingsManager/testing/InProcessBus.h"
#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <string>
#include <vector>

using Drem::Alert;
using Drem::AlertGlobalSession;
using Drem::AlertInfo;
using Drem::AlertUserSession;
using Drem::testing::FakeDispatcher;
using Drem::testing::FakePluginRegistrar;
using Drem::testing::FakeTerminalServices;
using Drem::testing::FakeViewerRegistrar;
using ETWLogging::LevelError;
using ETWLogging::LevelInformation;
using ETWLogging::LevelNormal;
using ETWLogging::LevelWarning;

namespace {

constexpr auto kBound = std::chrono::seconds(30);

std::wstring dimension(const Tessil::Analytics::Dimensions& event, const std::wstring& name) {
    auto it = event.find(name);
    return it == event.end() ? L"<absent>" : it->second;
}

// Returns once the system clock has moved on, so the next alert is built later.
void nextClockTick() {
    const std::int64_t start = Drem::unixTimeNow100ns();
    while (Drem::unixTimeNow100ns() == start) {
        SwitchToThread();
    }
}

class SessionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.ok());
        bus_.script<VtBusScript_Reset_t>("VtBusScript_Reset")();
        moduleSide_ = bus_.openClient();
        monitor_ = bus_.openClient();
        alertBus_ = bus_.openClient();
        ASSERT_TRUE(moduleSide_ && monitor_ && alertBus_);
        viewers_ = std::make_shared<FakeViewerRegistrar>(moduleSide_);
        plugins_ = std::make_shared<FakePluginRegistrar>();
        terminal_ = std::make_shared<FakeTerminalServices>();
        terminal_->setActive(3);
        globalDispatcher_ = std::make_shared<FakeDispatcher>(viewers_, plugins_, moduleSide_);
        global_ = std::make_shared<AlertGlobalSession>(viewers_, plugins_, globalDispatcher_);
    }

    void TearDown() override {
        terminal_->setOnEnumerate(nullptr);
        sessions_.clear();
        bus_.waitIdle();
    }

    // A user session with its own dispatcher and bus connection; one second
    // of its start delay lasts secondMs.
    AlertUserSession& addSession(std::uint32_t id, std::chrono::milliseconds second = std::chrono::milliseconds(1)) {
        auto dispatcher = std::make_shared<FakeDispatcher>(viewers_, plugins_, moduleSide_);
        dispatchers_[id] = dispatcher;
        auto& session = sessions_[id];
        session = std::make_unique<AlertUserSession>(id, viewers_, plugins_, global_, dispatcher,
                                                     bus_.openClient(), terminal_,
                                                     Drem::UserSessionOptions{120, second, {}});
        session->start();
        return *session;
    }

    std::shared_ptr<Alert> makeAlert(const std::wstring& instance, std::int32_t priority = 2,
                                     const std::wstring& title = L"") {
        AlertInfo info;
        info.id = L"ALERT-" + instance;
        info.instanceId = instance;
        info.product = L"Prod";
        info.priority = priority;
        info.preferredViewer = {L"v1"};
        info.context = L"{\"title\":\"" + (title.empty() ? instance : title) + L"\"}";
        return std::make_shared<Alert>(std::move(info), alertBus_, 1);
    }

    void publishMonitor(const std::wstring& name) {
        ASSERT_EQ(monitor_->publish(Tessil::Message::create(name, L"SystemMonitor", L"{\"sessionId\":3}")), 0u);
    }

    BusTesting::InProcessBus bus_;
    ETWLogging::testing::ScopedCapturingLogger log_;
    Drem::testing::ScopedRecordingTelemetry telemetry_;
    std::shared_ptr<Tessil::MessageBusClient> moduleSide_;
    std::shared_ptr<Tessil::MessageBusClient> monitor_;
    std::shared_ptr<Tessil::MessageBusClient> alertBus_;
    std::shared_ptr<FakeViewerRegistrar> viewers_;
    std::shared_ptr<FakePluginRegistrar> plugins_;
    std::shared_ptr<FakeTerminalServices> terminal_;
    std::shared_ptr<FakeDispatcher> globalDispatcher_;
    std::shared_ptr<AlertGlobalSession> global_;
    std::map<std::uint32_t, std::shared_ptr<FakeDispatcher>> dispatchers_;
    std::map<std::uint32_t, std::unique_ptr<AlertUserSession>> sessions_;
};

struct DelayCase {
    const char* name;
    std::uint64_t loggedOnAgo;
    DWORD infoError;
    DWORD infoSize;
    const wchar_t* startLine;
    const wchar_t* warning;  // level-2 line, or null
};

class StartDelayTest : public SessionsTest, public ::testing::WithParamInterface<DelayCase> {};

TEST_P(StartDelayTest, StartDelayFollowsTheLogonTime) {
    const DelayCase& c = GetParam();
    terminal_->setActive(0);
    terminal_->setLoggedOnSecondsAgo(3, c.loggedOnAgo);
    terminal_->failSessionInfo(c.infoError);
    terminal_->setSessionInfoSize(c.infoSize);
    addSession(3);
    sessions_.clear();  // joins the thread, which has logged its start

    EXPECT_TRUE(log_->Contains(LevelNormal, c.startLine));
    if (c.warning != nullptr) {
        EXPECT_TRUE(log_->Contains(LevelWarning, c.warning));
    }
    EXPECT_EQ(terminal_->outstanding(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Logon, StartDelayTest,
    ::testing::Values(
        DelayCase{"ThirtySecondsAgo", 30, 0, sizeof(WTSINFOW),
                  L"Starting user session alert thread for session 3 with 90 delay", nullptr},
        DelayCase{"TenMinutesAgo", 600, 0, sizeof(WTSINFOW),
                  L"Starting user session alert thread for session 3 with 0 delay", nullptr},
        DelayCase{"JustNow", 0, 0, sizeof(WTSINFOW),
                  L"Starting user session alert thread for session 3 with 120 delay", nullptr},
        DelayCase{"InformationUnavailable", 30, 5, sizeof(WTSINFOW),
                  L"Starting user session alert thread for session 3 with 120 delay",
                  L"Failed to get session info (5), using default delay"},
        DelayCase{"UnexpectedSize", 30, 0, 100,
                  L"Starting user session alert thread for session 3 with 120 delay",
                  L"Unexpected session info size, using default delay"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionsTest, DispatchingUntilTheStartDelayEndsAndDestroyableDuringIt) {
    terminal_->setLoggedOnSecondsAgo(3, 0);
    AlertUserSession& session = addSession(3, std::chrono::milliseconds(1000));
    EXPECT_TRUE(session.isDispatching());
    auto destroyed = std::async(std::launch::async, [this] { sessions_.erase(3); });
    EXPECT_EQ(destroyed.wait_for(kBound), std::future_status::ready);
}

TEST_F(SessionsTest, NotDispatchingOnceWaitingForWork) {
    AlertUserSession& session = addSession(3);
    ASSERT_TRUE(terminal_->waitForEnumerations(1));
    EXPECT_FALSE(session.isDispatching());
    EXPECT_TRUE(session.isEmpty());
}

class MonitorMessageTest : public SessionsTest, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(MonitorMessageTest, InactiveSessionKeepsItsAlertsUntilAMonitorMessage) {
    terminal_->setActive(5);
    addSession(3);
    ASSERT_TRUE(terminal_->waitForEnumerations(1));
    bool suppressed = true;
    sessions_[3]->queueAlert(makeAlert(L"7"), &suppressed);
    EXPECT_FALSE(suppressed);
    ASSERT_TRUE(terminal_->waitForEnumerations(2));
    EXPECT_TRUE(dispatchers_[3]->shown().empty());
    EXPECT_FALSE(sessions_[3]->isEmpty());

    terminal_->setActive(3);
    publishMonitor(GetParam());
    ASSERT_TRUE(dispatchers_[3]->waitForShown(1));
    EXPECT_EQ(dispatchers_[3]->shown(), std::vector<std::wstring>{L"7"});
}

INSTANTIATE_TEST_SUITE_P(Names, MonitorMessageTest,
                         ::testing::Values(L"SystemMonitor.UserSession.Console.Connect",
                                           L"SystemMonitor.UserSession.Remote.Connect",
                                           L"SystemMonitor.UserSession.Logon"));

struct OrderCase {
    const char* name;
    std::int32_t ownPriority;
    std::int32_t globalPriority;
    bool globalBuiltFirst;
    std::vector<std::wstring> shownOrder;  // "own" is instance 1, "global" instance 2
};

class QueueOrderTest : public SessionsTest, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(QueueOrderTest, SmallerPriorityNumberWinsBetweenTheQueues) {
    const OrderCase& c = GetParam();
    terminal_->setActive(0);
    addSession(3);
    ASSERT_TRUE(terminal_->waitForEnumerations(1));
    bool suppressed = true;
    if (c.globalBuiltFirst) {
        auto globalAlert = makeAlert(L"2", c.globalPriority);
        nextClockTick();
        auto ownAlert = makeAlert(L"1", c.ownPriority);
        global_->queueAlert(globalAlert, &suppressed);
        sessions_[3]->queueAlert(ownAlert, &suppressed);
    } else {
        auto ownAlert = makeAlert(L"1", c.ownPriority);
        nextClockTick();
        auto globalAlert = makeAlert(L"2", c.globalPriority);
        sessions_[3]->queueAlert(ownAlert, &suppressed);
        global_->queueAlert(globalAlert, &suppressed);
    }
    EXPECT_FALSE(suppressed);

    terminal_->setActive(3);
    publishMonitor(L"SystemMonitor.UserSession.Logon");
    ASSERT_TRUE(dispatchers_[3]->waitForShown(2));
    EXPECT_EQ(dispatchers_[3]->shown(), c.shownOrder);
    EXPECT_TRUE(global_->isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Heads, QueueOrderTest,
    ::testing::Values(OrderCase{"GlobalP1BeforeOwnP2", 2, 1, false, {L"2", L"1"}},
                      OrderCase{"OwnP1BeforeGlobalP3", 1, 3, false, {L"1", L"2"}},
                      OrderCase{"OwnP1BeforeGlobalP3BuiltEarlier", 1, 3, true, {L"1", L"2"}},
                      OrderCase{"EqualGlobalBuiltEarlier", 2, 2, true, {L"2", L"1"}},
                      OrderCase{"EqualOwnBuiltEarlier", 2, 2, false, {L"1", L"2"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionsTest, GlobalAlertIsShownByTheActiveSessionOnly) {
    terminal_->setActive(4);
    addSession(3);
    addSession(4);
    ASSERT_TRUE(terminal_->waitForEnumerations(2));
    bool suppressed = true;
    global_->queueAlert(makeAlert(L"9"), &suppressed);
    EXPECT_FALSE(suppressed);
    ASSERT_TRUE(dispatchers_[4]->waitForShown(1));
    sessions_.clear();
    EXPECT_EQ(dispatchers_[4]->shown(), std::vector<std::wstring>{L"9"});
    EXPECT_TRUE(dispatchers_[3]->shown().empty());
}

TEST_F(SessionsTest, WakeUpDuringTheCheckIsNotLost) {
    addSession(3);
    ASSERT_TRUE(terminal_->waitForEnumerations(1));
    // The next check finds no work, then a global alert arrives while the
    // thread asks for the active session, before it sleeps.
    auto fired = std::make_shared<std::atomic<bool>>(false);
    terminal_->setOnEnumerate([this, fired] {
        if (!fired->exchange(true)) {
            std::async(std::launch::async, [this] {
                bool suppressed = true;
                global_->queueAlert(makeAlert(L"5"), &suppressed);
            }).get();
        }
    });
    publishMonitor(L"SystemMonitor.UserSession.Logon");
    ASSERT_TRUE(dispatchers_[3]->waitForShown(1));
    EXPECT_EQ(dispatchers_[3]->shown(), std::vector<std::wstring>{L"5"});
    terminal_->setOnEnumerate(nullptr);
}

TEST_F(SessionsTest, ASuccessorSessionOfTheSameIdIsWokenByGlobalAlerts) {
    addSession(3);
    ASSERT_TRUE(terminal_->waitForEnumerations(1));
    // The user logs on again before the old session of the id has gone.
    auto predecessor = std::move(sessions_[3]);
    addSession(3);
    ASSERT_TRUE(terminal_->waitForEnumerations(2));
    predecessor.reset();

    bool suppressed = true;
    global_->queueAlert(makeAlert(L"9"), &suppressed);
    EXPECT_FALSE(suppressed);
    ASSERT_TRUE(dispatchers_[3]->waitForShown(1));
    EXPECT_EQ(dispatchers_[3]->shown(), std::vector<std::wstring>{L"9"});
}

struct InactiveCase {
    const char* name;
    DWORD activeId;
    DWORD enumerationError;
    ETWLogging::LogLevel level;
    const wchar_t* line;
};

class InactiveTest : public SessionsTest, public ::testing::WithParamInterface<InactiveCase> {};

TEST_P(InactiveTest, NoShowWithoutActiveSession) {
    const InactiveCase& c = GetParam();
    terminal_->setActive(c.activeId);
    terminal_->failEnumeration(c.enumerationError);
    addSession(3);
    ASSERT_TRUE(terminal_->waitForEnumerations(1));
    bool suppressed = true;
    sessions_[3]->queueAlert(makeAlert(L"7"), &suppressed);
    ASSERT_TRUE(terminal_->waitForEnumerations(2));
    sessions_.clear();
    EXPECT_TRUE(dispatchers_[3]->shown().empty());
    if (c.line != nullptr) {
        EXPECT_TRUE(log_->Contains(c.level, c.line));
    }
    const auto failed = telemetry_->named(L"Vantrel.UserSession.Failed");
    if (c.enumerationError != 0) {
        ASSERT_FALSE(failed.empty());
        EXPECT_EQ(dimension(failed[0], L"Event.Label"), L"3");
        EXPECT_EQ(dimension(failed[0], L"Hit.Result"), std::to_wstring(c.enumerationError));
        EXPECT_EQ(dimension(failed[0], L"Hit.GUID"), L"<absent>");
    } else {
        EXPECT_TRUE(failed.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, InactiveTest,
    ::testing::Values(InactiveCase{"NoActiveSession", 0, 0, LevelWarning, L"No active session was found."},
                      InactiveCase{"AnotherSessionActive", 4, 0, LevelWarning, nullptr},
                      InactiveCase{"EnumerationFails", 3, 1722, LevelError,
                                   L"Failed to EnumerateSessions. Error: 1722."}),
    [](const auto& info) { return std::string(info.param.name); });

enum class Kind { User, Global };

struct QueueCase {
    const char* name;
    Kind kind;
    bool pluginQueues;
    bool duplicate;
    bool suppressed;
};

class QueueAlertTest : public SessionsTest, public ::testing::WithParamInterface<QueueCase> {};

TEST_P(QueueAlertTest, SuppressedWhenThePluginRefusesOrTheAlertIsADuplicate) {
    const QueueCase& c = GetParam();
    terminal_->setActive(0);
    Drem::AlertSession* session = global_.get();
    FakeDispatcher* dispatcher = globalDispatcher_.get();
    if (c.kind == Kind::User) {
        session = &addSession(3);
        dispatcher = dispatchers_[3].get();
    }
    bool suppressed = true;
    if (c.duplicate) {
        session->queueAlert(makeAlert(L"1", 2, L"same"), &suppressed);
        ASSERT_FALSE(suppressed);
    }
    dispatcher->setProcessResult(c.pluginQueues);
    session->queueAlert(makeAlert(L"7", 2, c.duplicate ? L"same" : L"other"), &suppressed);

    EXPECT_EQ(suppressed, c.suppressed);
    EXPECT_EQ(log_->Contains(LevelInformation, L"Plugin suppressed the alert. Alert id: ALERT-7, Instance: 7."),
              !c.pluginQueues);
    EXPECT_EQ(log_->Contains(LevelError, L"Vantrel Alert Status SuppressedDuplicate. Alert id: ALERT-7, "
                                         L"Instance id: 7."),
              c.duplicate);
    const auto events = telemetry_->named(L"Vantrel.Alert.SuppressedDuplicate");
    ASSERT_EQ(events.size(), c.duplicate ? 1u : 0u);
    if (c.duplicate) {
        EXPECT_EQ(dimension(events[0], L"Hit.GUID"), L"ALERT-7");
        EXPECT_EQ(dimension(events[0], L"Hit.Label.1"), L"Prod");
    }
    // Queued alerts can be deleted; refused ones were never queued.
    EXPECT_EQ(session->deleteAlert(L"7", L"ALERT-7"), !c.suppressed);
}

INSTANTIATE_TEST_SUITE_P(
    Both, QueueAlertTest,
    ::testing::Values(QueueCase{"UserQueued", Kind::User, true, false, false},
                      QueueCase{"UserPluginRefuses", Kind::User, false, false, true},
                      QueueCase{"UserDuplicate", Kind::User, true, true, true},
                      QueueCase{"GlobalQueued", Kind::Global, true, false, false},
                      QueueCase{"GlobalPluginRefuses", Kind::Global, false, false, true},
                      QueueCase{"GlobalDuplicate", Kind::Global, true, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct DeleteCase {
    const char* name;
    bool shown;            // else queued in an inactive session
    bool dismissConfirms;
    const wchar_t* instance;
    bool found;
    const wchar_t* line;  // level-3 line, or null
};

class UserDeleteTest : public SessionsTest, public ::testing::WithParamInterface<DeleteCase> {};

TEST_P(UserDeleteTest, DeletesQueuedOrShownAlerts) {
    const DeleteCase& c = GetParam();
    terminal_->setActive(c.shown ? 3 : 0);
    addSession(3);
    FakeDispatcher& dispatcher = *dispatchers_[3];
    dispatcher.holdWait(true);
    dispatcher.setDismissResult(c.dismissConfirms);
    bool suppressed = true;
    sessions_[3]->queueAlert(makeAlert(L"7"), &suppressed);
    if (c.shown) {
        ASSERT_TRUE(dispatcher.waitForWaiting());
    }

    EXPECT_EQ(sessions_[3]->deleteAlert(c.instance, L"REQ-ID"), c.found);

    if (c.line != nullptr) {
        EXPECT_TRUE(log_->Contains(LevelInformation, c.line));
    }
    const auto events = telemetry_->named(L"Vantrel.Alert.Delete");
    ASSERT_EQ(events.size(), c.found ? 1u : 0u);
    if (c.found) {
        EXPECT_EQ(dimension(events[0], L"Hit.GUID"), L"REQ-ID");
        EXPECT_EQ(dimension(events[0], L"Hit.Label.1"), L"Legacy");
    }
    dispatcher.holdWait(false);
}

INSTANTIATE_TEST_SUITE_P(
    Deletes, UserDeleteTest,
    ::testing::Values(
        DeleteCase{"Queued", false, true, L"7", true,
                   L"Vantrel Alert Status Delete. Alert id: REQ-ID, Instance id: 7."},
        DeleteCase{"ShownAndConfirmed", true, true, L"7", true,
                   L"Vantrel Alert Status Dismissed. Alert id: REQ-ID, Instance id: 7."},
        DeleteCase{"ShownNotConfirmed", true, false, L"7", false, nullptr},
        DeleteCase{"OtherInstanceQueued", false, true, L"8", false, nullptr},
        DeleteCase{"OtherInstanceShown", true, true, L"8", false, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionsTest, GlobalDeleteRemovesOnlyQueuedAlerts) {
    bool suppressed = true;
    global_->queueAlert(makeAlert(L"7"), &suppressed);
    EXPECT_FALSE(global_->deleteAlert(L"8", L"REQ-ID"));
    EXPECT_TRUE(global_->deleteAlert(L"7", L"REQ-ID"));
    EXPECT_FALSE(global_->deleteAlert(L"7", L"REQ-ID"));
    EXPECT_TRUE(global_->isEmpty());
    EXPECT_EQ(log_->Count(LevelInformation, L"Vantrel Alert Status Delete. Alert id: REQ-ID, Instance id: 7."), 1u);
    EXPECT_EQ(telemetry_->named(L"Vantrel.Alert.Delete").size(), 1u);
}

TEST_F(SessionsTest, StoppingEndsTheWaitForTheAlertOnScreenAndTakesItDown) {
    for (bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroyed" : "stopped");
        addSession(3);
        FakeDispatcher& dispatcher = *dispatchers_[3];
        dispatcher.holdWait(true);  // a viewer that never closes the alert
        bool suppressed = true;
        sessions_[3]->queueAlert(makeAlert(L"7"), &suppressed);
        ASSERT_TRUE(dispatcher.waitForWaiting());
        EXPECT_TRUE(sessions_[3]->isDispatching());

        auto session = std::move(sessions_[3]);
        sessions_.erase(3);
        if (destroy) {
            auto destroyed = std::async(std::launch::async, [&session] { session.reset(); });
            ASSERT_EQ(destroyed.wait_for(kBound), std::future_status::ready);
        } else {
            session->requestStop();  // returns without waiting for the thread
            EXPECT_TRUE(dispatcher.interrupted());
            auto ended = std::async(std::launch::async, [&session] {
                while (!session->ended()) SwitchToThread();
            });
            ASSERT_EQ(ended.wait_for(kBound), std::future_status::ready);
        }
        // The wait ended without a closing report: the alert was taken down.
        EXPECT_EQ(dispatcher.dismissCurrentCalls(), 1);
        dispatcher.holdWait(false);
        session.reset();
    }
}

TEST_F(SessionsTest, AnAlertTakenButHeldByNoViewerGoesBackWhereItCameFromWhenTheSessionStops) {
    for (bool global : {true, false}) {
        SCOPED_TRACE(global ? "global alert" : "own alert");
        addSession(3);
        FakeDispatcher& dispatcher = *dispatchers_[3];
        dispatcher.holdShow(true);
        Drem::AlertSession& from = global ? static_cast<Drem::AlertSession&>(*global_) : *sessions_[3];
        bool suppressed = true;
        from.queueAlert(makeAlert(L"1", 2, L"same"), &suppressed);
        ASSERT_TRUE(dispatcher.waitForShown(1));
        if (global) {
            // While it is taken: a later alert of its priority, and a duplicate
            // of it. (The session's own queue waits while a show runs.)
            from.queueAlert(makeAlert(L"2"), &suppressed);
            EXPECT_FALSE(suppressed);
            from.queueAlert(makeAlert(L"3", 2, L"same"), &suppressed);
            EXPECT_FALSE(suppressed);
        }

        auto session = std::move(sessions_[3]);
        sessions_.erase(3);
        session->requestStop();
        auto ended = std::async(std::launch::async, [&session] {
            while (!session->ended()) SwitchToThread();
        });
        ASSERT_EQ(ended.wait_for(kBound), std::future_status::ready);
        EXPECT_EQ(dispatcher.shown(), std::vector<std::wstring>{L"1"});
        if (global) {
            std::vector<std::wstring> order;
            while (auto alert = global_->popFront()) {
                order.push_back(alert->getAlertInfo().instanceId);
            }
            EXPECT_EQ(order, (std::vector<std::wstring>{L"1", L"2", L"3"}));
        } else {
            // Queued again in the stopped session: a delete finds it there.
            EXPECT_TRUE(session->deleteAlert(L"1", L"REQ-ID"));
            EXPECT_TRUE(log_->Contains(LevelInformation, L"Vantrel Alert Status Delete. Alert id: REQ-ID, Instance id: 1."));
            EXPECT_TRUE(dispatcher.dismissedInstances().empty());
        }
        session.reset();
    }
    EXPECT_EQ(log_->Count(LevelInformation, L"Session stopping; alert put back, no viewer was asked. Alert id: "
                                            L"ALERT-1, Instance id: 1."),
              2u);
}

TEST_F(SessionsTest, TheEndCallbackRunsOnceTheThreadHasEnded) {
    struct Case {
        const char* what;
        bool started;
        bool stopFirst;  // stopped before the callback is handed over
    };
    for (const Case& c : {Case{"never started", false, true}, Case{"stopped, then handed over", true, true},
                          Case{"handed over, then stopped", true, false}}) {
        SCOPED_TRACE(c.what);
        auto session = std::make_unique<AlertUserSession>(5, viewers_, plugins_, global_,
                                                          std::make_shared<FakeDispatcher>(viewers_, plugins_, moduleSide_),
                                                          bus_.openClient(), terminal_,
                                                          Drem::UserSessionOptions{120, std::chrono::milliseconds(1), {}});
        if (c.started) {
            const std::size_t seen = terminal_->enumerations();
            session->start();
            ASSERT_TRUE(terminal_->waitForEnumerations(seen + 1));  // waiting for work
        }
        std::promise<DWORD> endedOn;
        std::atomic<int> calls{0};
        auto report = [&] {
            if (++calls == 1) endedOn.set_value(GetCurrentThreadId());
        };
        if (c.stopFirst) session->requestStop();
        session->whenEnded(report);
        if (!c.stopFirst) session->requestStop();
        auto thread = endedOn.get_future();
        ASSERT_EQ(thread.wait_for(kBound), std::future_status::ready);
        EXPECT_TRUE(session->ended());
        // A thread that was running when handed the callback reports its own
        // end; a session without a thread answers the caller at once.
        if (!c.started) {
            EXPECT_EQ(thread.get(), GetCurrentThreadId());
        } else if (!c.stopFirst) {
            EXPECT_NE(thread.get(), GetCurrentThreadId());
        }
        session.reset();
        EXPECT_EQ(calls.load(), 1);
    }
}

TEST_F(SessionsTest, FailedShowDropsTheAlert) {
    addSession(3);
    FakeDispatcher& dispatcher = *dispatchers_[3];
    dispatcher.setShowResult(false);
    bool suppressed = true;
    sessions_[3]->queueAlert(makeAlert(L"7"), &suppressed);
    ASSERT_TRUE(dispatcher.waitForShown(1));
    sessions_.clear();
    EXPECT_TRUE(log_->Contains(LevelError, L"Failed to show alert."));
    EXPECT_EQ(dispatcher.dismissCurrentCalls(), 0);
}

TEST_F(SessionsTest, FailedWaitTakesTheAlertDownAndTheNextIsShown) {
    addSession(3);
    FakeDispatcher& dispatcher = *dispatchers_[3];
    dispatcher.setWaitResult(false);
    bool suppressed = true;
    sessions_[3]->queueAlert(makeAlert(L"7"), &suppressed);
    sessions_[3]->queueAlert(makeAlert(L"8"), &suppressed);
    ASSERT_TRUE(dispatcher.waitForShown(2));
    sessions_.clear();
    // Each alert shown, its wait failed, and it was taken down.
    EXPECT_EQ(log_->Count(LevelError, L"Failed to wait for alert."), 2u);
    EXPECT_EQ(dispatcher.dismissCurrentCalls(), 2);
}

}  // namespace
