#include "alerts/src/module/VantrelImpl.h"

#include "alerts/src/common/testing/BusRecorder.h"
#include "alerts/src/common/testing/RecordingTelemetry.h"
#include "alerts/src/dispatcher/testing/DispatcherTesting.h"
#include "alerts/src/sessions/testing/SessionTesting.h"
#include "framework/bus/MessageBusShimImpl.h"
#include "framework/message/ModuleStatus.h"
#include "neighbours/MessageBus/MessageBusScript.h"
#include "neighbours/SettingsManager/testing/InProcessBus.h"
#include "neighbours/viewer/ViewerNeighbour.h"
#include "platform/Logging/testing/CapturingLogger.h"
#include "platform/Registry/testing/TestRegistry.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <future>
#include <iostream>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using Drem::AlertInfo;
using Drem::VantrelImpl;
using Drem::testing::BusRecorder;
using Drem::testing::FakePluginRegistrar;
using Drem::testing::FakeTerminalServices;
using Drem::testing::FakeViewerRegistrar;
using ETWLogging::LevelError;
using ETWLogging::LevelInformation;
using ETWLogging::LevelNormal;
using ETWLogging::LevelWarning;
using Neighbours::ViewerNeighbour;

namespace {

constexpr std::int64_t kSecond = 10000000;
const wchar_t kOobeKey[] = L"SOFTWARE\\Corvane\\Qen\\OEM";
const wchar_t kRiskId[] = L"b1eb23ed-5b27-4F1C-821a-40683741768f";
const std::wstring kRiskPayload =
    L"{\"Problem\":\"VT_ATRiskAlert_Request\",\"coolingperiod\":\"\",\"throttlingpercent\":\"1\","
    L"\"logstocollect\":\"2\"}";

std::wstring alertJson(const std::wstring& id, const std::wstring& instance, std::uint32_t sessionId,
                       const std::wstring& title = L"T", std::uint32_t timeout = 30,
                       std::vector<std::wstring> viewers = {L"v1"}) {
    AlertInfo info;
    info.id = id;
    info.instanceId = instance;
    info.product = L"Prod";
    info.priority = 2;
    info.sessionId = sessionId;
    info.timeout = timeout;
    info.preferredViewer = std::move(viewers);
    info.context = L"{\"title\":\"" + title + L"\"}";
    return AlertInfo::toJson(info);
}

std::wstring dimension(const Tessil::Analytics::Dimensions& event, const std::wstring& name) {
    auto it = event.find(name);
    return it == event.end() ? L"<absent>" : it->second;
}

bool setDword(const wchar_t* name, DWORD value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kOobeKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0) {
        return false;
    }
    const LONG result = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(key);
    return result == 0;
}

// The global session, telling the test when a stopping session has put an
// alert back.
class WatchedGlobalSession : public Drem::AlertGlobalSession {
public:
    using AlertGlobalSession::AlertGlobalSession;
    void putBack(std::shared_ptr<Drem::Alert> alert) override {
        AlertGlobalSession::putBack(std::move(alert));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++putBacks_;
        }
        changed_.notify_all();
    }
    bool waitForPutBacks(std::size_t count, DWORD timeoutMs = 20000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return putBacks_ >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t putBacks_ = 0;  // guarded by mutex_
};

// A user session that notes whether it is let go on a thread of the bus.
class WatchedUserSession : public Drem::AlertUserSession {
public:
    template <typename... Args>
    explicit WatchedUserSession(std::function<void(std::uint32_t, bool)> gone, Args&&... args)
        : Drem::AlertUserSession(std::forward<Args>(args)...), gone_(std::move(gone)) {}
    ~WatchedUserSession() override { gone_(sessionId(), Tessil::insideBusCallback()); }

private:
    std::function<void(std::uint32_t, bool)> gone_;
};

// Sessions as the module's factory makes them, on the test's bus, with
// scripted terminal services and a start delay of a few milliseconds.
class TestSessionFactory : public Drem::AlertSessionFactory {
public:
    TestSessionFactory(BusTesting::InProcessBus& bus, std::shared_ptr<FakeTerminalServices> terminal)
        : bus_(bus), terminal_(std::move(terminal)) {}
    std::shared_ptr<Drem::AlertUserSession> createUserSession(
        DWORD sessionId, std::shared_ptr<Drem::ViewerRegistrar> viewers, std::shared_ptr<Drem::PluginRegistrar> plugins,
        std::shared_ptr<Drem::AlertGlobalSession> global) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            created_.push_back(sessionId);
        }
        if (sessionId == failingSession) {
            throw std::runtime_error("no user session");
        }
        // Connections opened only when a session needs them, as by default.
        return std::make_shared<WatchedUserSession>(
            [this](std::uint32_t id, bool onBusThread) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    gone_.push_back({id, onBusThread});
                }
                goneChanged_.notify_all();
            },
            sessionId, viewers, plugins, global, nullptr, nullptr, terminal_,
            Drem::UserSessionOptions{120, std::chrono::milliseconds(1), [this] { return bus_.openClient(); }});
    }
    std::vector<DWORD> created() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return created_;
    }
    struct Gone {
        std::uint32_t sessionId;
        bool onBusThread;  // let go inside a bus callback
    };
    // Waits until count sessions have been let go (a generous bound).
    std::vector<Gone> waitForGone(std::size_t count) const {
        std::unique_lock<std::mutex> lock(mutex_);
        goneChanged_.wait_for(lock, std::chrono::seconds(20), [&] { return gone_.size() >= count; });
        return gone_;
    }
    std::shared_ptr<Drem::AlertGlobalSession> createGlobalSession(std::shared_ptr<Drem::ViewerRegistrar> viewers,
                                                                  std::shared_ptr<Drem::PluginRegistrar> plugins) override {
        if (failGlobal) {
            throw std::runtime_error("no global session");
        }
        auto dispatcher = std::make_shared<Drem::AlertDispatcher>(viewers, plugins, bus_.openClient());
        global = std::make_shared<WatchedGlobalSession>(viewers, plugins, dispatcher);
        return global;
    }
    std::shared_ptr<WatchedGlobalSession> global;
    bool failGlobal = false;
    DWORD failingSession = 0;

private:
    BusTesting::InProcessBus& bus_;
    std::shared_ptr<FakeTerminalServices> terminal_;
    mutable std::mutex mutex_;
    mutable std::condition_variable goneChanged_;
    std::vector<DWORD> created_;  // guarded by mutex_
    std::vector<Gone> gone_;      // guarded by mutex_
};

class VantrelImplTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(hklm_.ok());
        ASSERT_TRUE(bus_.ok());
        bus_.script<VtBusScript_Reset_t>("VtBusScript_Reset")();
        moduleBus_ = bus_.openClient();
        producer_ = bus_.openClient();
        viewerSide_ = bus_.openClient();
        ASSERT_TRUE(moduleBus_ && producer_ && viewerSide_);
        viewers_ = std::make_shared<FakeViewerRegistrar>(bus_.openClient());
        viewers_->add(L"v1");
        viewer_ = std::make_unique<ViewerNeighbour>(viewerSide_, L"v1");
        ASSERT_TRUE(viewer_->start());
        plugins_ = std::make_shared<FakePluginRegistrar>();
        terminal_ = std::make_shared<FakeTerminalServices>();
        terminal_->setActive(3);
        factory_ = std::make_shared<TestSessionFactory>(bus_, terminal_);
        replies_ = std::make_unique<BusRecorder>(
            producer_, L"Vantrel\\.Alert\\..*\\.(Queued|Suppressed|Deleted|NotFound)\\..*|sustainability\\.collect\\.logs");
        ASSERT_TRUE(replies_->subscribed());
    }

    void TearDown() override {
        if (plugins_) {
            plugins_->holdContent(false);  // a dispatch thread held there would never end
        }
        if (module_) {
            module_->uninitialize();
            module_.reset();
        }
        replies_.reset();
        bus_.waitIdle();
        viewer_.reset();
    }

    void makeModule() {
        Drem::VantrelOptions options;
        options.terminalServices = terminal_;
        options.makeAlert = [this](AlertInfo&& info) {
            return std::make_shared<Drem::Alert>(std::move(info), nullptr, 5, [this] { return bus_.openClient(); });
        };
        options.now = [this] {
            if (clockHook_) clockHook_();
            return now_.load();
        };
        options.logonRechecks = logonRechecks_;
        module_ = std::make_unique<VantrelImpl>(viewers_, plugins_, factory_, options);
        ASSERT_EQ(module_->baseInitialize(L"Vantrel", L"", {},
                                          std::make_shared<Tessil::internal::ModuleManagerShim>(nullptr, nullptr),
                                          moduleBus_),
                  MODULE_STATUS_SUCCESS);
        ASSERT_EQ(module_->initialize(), MODULE_STATUS_SUCCESS);
    }

    // A request and its reply; empty when none came.
    std::shared_ptr<Tessil::Message> ask(const std::wstring& name, const std::wstring& payload = L"",
                                         std::uint64_t timeoutMs = 20000) {
        std::shared_ptr<Tessil::Reply> reply;
        if (producer_->request(Tessil::Message::create(name, L"Test", payload), reply, timeoutMs) != 0 || !reply) {
            return nullptr;
        }
        return reply->wait() == Tessil::REPLY_STATUS_RECEIVED ? reply->getMessage() : nullptr;
    }

    void send(const std::wstring& name, const std::wstring& payload) {
        ASSERT_EQ(producer_->publish(Tessil::Message::create(name, L"Test", payload)), 0u);
    }

    std::wstring nextId() {
        auto reply = ask(L"Vantrel.Alert.GetId");
        return reply ? reply->getPayload() : L"<none>";
    }

    // The answer to a show request that is answered.
    std::wstring showReply(const std::wstring& instance, const std::wstring& payload,
                           std::uint64_t timeoutMs = 20000) {
        auto reply = ask(L"Vantrel.Alert.Show." + instance, payload, timeoutMs);
        return reply ? reply->getName() : L"<none>";
    }

    Kelmora::testing::PrivateHklm hklm_;
    BusTesting::InProcessBus bus_;
    ETWLogging::testing::ScopedCapturingLogger log_;
    Drem::testing::ScopedRecordingTelemetry telemetry_;
    std::atomic<std::int64_t> now_{1000 * kSecond};
    std::function<void()> clockHook_;  // set before the module is made
    Drem::LogonRechecks::Timing logonRechecks_;  // set before the module is made
    std::shared_ptr<Tessil::MessageBusClient> moduleBus_;
    std::shared_ptr<Tessil::MessageBusClient> producer_;
    std::shared_ptr<Tessil::MessageBusClient> viewerSide_;
    std::unique_ptr<ViewerNeighbour> viewer_;
    std::shared_ptr<FakeViewerRegistrar> viewers_;
    std::shared_ptr<FakePluginRegistrar> plugins_;
    std::shared_ptr<FakeTerminalServices> terminal_;
    std::shared_ptr<TestSessionFactory> factory_;
    std::unique_ptr<BusRecorder> replies_;
    std::unique_ptr<VantrelImpl> module_;
};

TEST_F(VantrelImplTest, InstanceNumbersAreHandedOutOnceEach) {
    makeModule();
    auto first = ask(L"Vantrel.Alert.GetId");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->getName(), L"Vantrel.Alert.GetId.Response");
    EXPECT_EQ(first->getSource(), L"Vantrel");
    EXPECT_EQ(first->getPayload(), L"1");
    EXPECT_EQ(nextId(), L"2");

    std::vector<std::future<std::wstring>> asked;
    for (int i = 0; i < 16; ++i) {
        asked.push_back(std::async(std::launch::async, [this] { return nextId(); }));
    }
    std::set<std::wstring> numbers;
    for (auto& answer : asked) {
        numbers.insert(answer.get());
    }
    EXPECT_EQ(numbers.size(), 16u);
    EXPECT_EQ(numbers.count(L"<none>"), 0u);
    EXPECT_EQ(numbers.count(L"1") + numbers.count(L"2"), 0u);
}

struct InstanceCase {
    const char* name;
    const wchar_t* suffix;
    const wchar_t* payloadInstance;  // null: a payload that is no alert
    bool accepted;
    const wchar_t* line;  // level-4 line of a dropped request
};

class InstanceTest : public VantrelImplTest, public ::testing::WithParamInterface<InstanceCase> {};

TEST_P(InstanceTest, ShowRequestsNeedAnInstanceHandedOutAndMatchingThePayload) {
    const InstanceCase& c = GetParam();
    terminal_->setActive(0);
    makeModule();
    ASSERT_EQ(nextId(), L"1");  // the counter is 2 now
    const std::wstring payload = c.payloadInstance ? alertJson(L"A", c.payloadInstance, 4) : L"{bad";
    send(std::wstring(L"Vantrel.Alert.Show.") + c.suffix, payload);
    // A later request through the same executor marks the end of the first.
    ASSERT_EQ(showReply(L"1", alertJson(L"M", L"1", 4, L"marker")), L"Vantrel.Alert.M.Queued.1");

    const auto names = replies_->names();
    const std::wstring answer = std::wstring(L"Vantrel.Alert.A.Queued.") + c.suffix;
    EXPECT_EQ(std::count(names.begin(), names.end(), answer), c.accepted ? 1 : 0);
    if (!c.accepted) {
        EXPECT_TRUE(log_->Contains(LevelError, c.line));
        EXPECT_TRUE(log_->Contains(LevelError, L"VT Callback unsuccessful."));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, InstanceTest,
    ::testing::Values(
        InstanceCase{"NextNumber", L"2", L"2", true, nullptr},
        InstanceCase{"Zero", L"0", L"0", true, nullptr},
        InstanceCase{"LeadingZeroKeptAsText", L"01", L"01", true, nullptr},
        InstanceCase{"NotHandedOut", L"5", L"5", false,
                     L"Failed to parse instance id from message name: Vantrel.Alert.Show.5."},
        InstanceCase{"NoDigits", L"x", L"x", false,
                     L"Failed to parse instance id from message name: Vantrel.Alert.Show.x."},
        InstanceCase{"OutOfRange", L"99999999999", L"99999999999", false,
                     L"Failed to parse instance id from message name: Vantrel.Alert.Show.99999999999."},
        InstanceCase{"Mismatched", L"2", L"02", false, L"Invalid input. Instance name and payload are mismatched."},
        InstanceCase{"PayloadNoAlert", L"2", nullptr, false, L"Failed to parse message payload {bad. Instance: 2."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VantrelImplTest, GlobalAlertCreatesTheActiveSessionWhichShowsIt) {
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    EXPECT_EQ(showReply(L"1", alertJson(L"G", L"1", 0)), L"Vantrel.Alert.G.Queued.1");
    ASSERT_TRUE(viewer_->waitForRequests(1, 20000));
    EXPECT_EQ(viewer_->requests()[0].name, L"Vantrel.Viewer.v1.Show.1");
    EXPECT_EQ(factory_->created(), std::vector<DWORD>{3});
    EXPECT_TRUE(log_->Contains(LevelInformation, L"Creating session for the active session. Session id: 3."));

    const auto requests = telemetry_->named(L"Vantrel.Alert.Request");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(dimension(requests[0], L"Hit.GUID"), L"G");
    EXPECT_EQ(dimension(requests[0], L"Hit.Result"), L"0");
    EXPECT_EQ(dimension(requests[0], L"Event.Label"), L"Prod");
    EXPECT_EQ(dimension(requests[0], L"Tertiary.Category"), L"Request");
}

TEST_F(VantrelImplTest, GlobalAlertWithoutActiveSessionStaysQueued) {
    terminal_->setActive(0);
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    EXPECT_EQ(showReply(L"1", alertJson(L"G", L"1", 0)), L"Vantrel.Alert.G.Queued.1");
    EXPECT_TRUE(log_->Contains(LevelWarning, L"No active session was found."));
    EXPECT_TRUE(factory_->created().empty());
    auto status = ask(L"Vantrel.Queue.GetStatus");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->getPayload(), L"1");
}

TEST_F(VantrelImplTest, QueueStatusFollowsQueuedAndShownAlerts) {
    terminal_->setActive(0);
    viewer_->setShowClosing(ViewerNeighbour::ClosingMode::Late);
    makeModule();
    auto idle = ask(L"Vantrel.Queue.GetStatus");
    ASSERT_TRUE(idle);
    EXPECT_EQ(idle->getName(), L"Vantrel.Queue.GetStatus.Response");
    EXPECT_EQ(idle->getSource(), L"Vantrel");
    EXPECT_EQ(idle->getPayload(), L"0");

    ASSERT_EQ(nextId(), L"1");
    EXPECT_EQ(showReply(L"1", alertJson(L"S", L"1", 3)), L"Vantrel.Alert.S.Queued.1");
    EXPECT_EQ(ask(L"Vantrel.Queue.GetStatus")->getPayload(), L"1");

    // Once on screen the alert has left the queue; the session is still busy.
    terminal_->setActive(3);
    send(L"SystemMonitor.UserSession.Logon", L"{\"sessionId\":3}");
    ASSERT_TRUE(viewer_->waitForRequests(1, 20000));
    EXPECT_EQ(ask(L"Vantrel.Queue.GetStatus")->getPayload(), L"1");
    EXPECT_EQ(viewer_->releaseLateReports(), 1u);
}

TEST_F(VantrelImplTest, DeleteAnswersDeletedOrNotFoundWithoutAlertId) {
    terminal_->setActive(0);
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    ASSERT_EQ(nextId(), L"2");
    EXPECT_EQ(showReply(L"1", alertJson(L"D", L"1", 4)), L"Vantrel.Alert.D.Queued.1");

    auto deleted = ask(L"Vantrel.Alert.Delete.1", alertJson(L"D", L"1", 4));
    ASSERT_TRUE(deleted);
    EXPECT_EQ(deleted->getName(), L"Vantrel.Alert..Deleted.1");
    EXPECT_TRUE(log_->Contains(LevelInformation, L"Alert removed from user session."));
    EXPECT_TRUE(log_->Contains(LevelInformation, L"Alert instance 1 deleted."));

    auto missing = ask(L"Vantrel.Alert.Delete.2", alertJson(L"D", L"2", 4));
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->getName(), L"Vantrel.Alert..NotFound.2");
    EXPECT_TRUE(log_->Contains(LevelInformation,
                               L"Alert instance 2 not found and not being shown - can't delete it"));
    // Idle once the session's thread has passed its start.
    ASSERT_TRUE(terminal_->waitForEnumerations(1));
    EXPECT_EQ(ask(L"Vantrel.Queue.GetStatus")->getPayload(), L"0");
}

// An alert of session 3's own queue, or a global one session 3 has taken.
class OnScreenDeleteTest : public VantrelImplTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(OnScreenDeleteTest, DeleteTakesDownTheAlertOnScreen) {
    viewer_->setShowClosing(ViewerNeighbour::ClosingMode::Never);
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    EXPECT_EQ(showReply(L"1", alertJson(L"D", L"1", GetParam())), L"Vantrel.Alert.D.Queued.1");
    ASSERT_TRUE(viewer_->waitForRequests(1, 20000));

    auto deleted = ask(L"Vantrel.Alert.Delete.1", alertJson(L"D", L"1", GetParam()));
    ASSERT_TRUE(deleted);
    EXPECT_EQ(deleted->getName(), L"Vantrel.Alert..Deleted.1");
    const auto requests = viewer_->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].name, L"Vantrel.Viewer.v1.Delete.1");
    // Taken down once, by the delete or by the session that sees it deleted.
    EXPECT_EQ(telemetry_->named(L"Vantrel.Alert.Delete").size(), 1u);
    EXPECT_EQ(telemetry_->named(L"Vantrel.Alert.Dismissed").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Queues, OnScreenDeleteTest, ::testing::Values(3u, 0u),
                         [](const ::testing::TestParamInfo<std::uint32_t>& info) {
                             return info.param == 0 ? "Global" : "Own";
                         });

TEST_F(VantrelImplTest, DeleteFindsAnAlertOfTheGlobalQueue) {
    terminal_->setActive(0);
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    EXPECT_EQ(showReply(L"1", alertJson(L"G", L"1", 0)), L"Vantrel.Alert.G.Queued.1");
    auto deleted = ask(L"Vantrel.Alert.Delete.1", alertJson(L"G", L"1", 0));
    ASSERT_TRUE(deleted);
    EXPECT_EQ(deleted->getName(), L"Vantrel.Alert..Deleted.1");
    EXPECT_TRUE(log_->Contains(LevelInformation, L"Alert removed from global queue."));
    EXPECT_EQ(ask(L"Vantrel.Queue.GetStatus")->getPayload(), L"0");
}

TEST_F(VantrelImplTest, AUserSessionIsMadeOnceForItsAlerts) {
    terminal_->setActive(0);
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    ASSERT_EQ(nextId(), L"2");
    EXPECT_EQ(showReply(L"1", alertJson(L"A", L"1", 4, L"one")), L"Vantrel.Alert.A.Queued.1");
    EXPECT_EQ(showReply(L"2", alertJson(L"B", L"2", 4, L"two")), L"Vantrel.Alert.B.Queued.2");
    EXPECT_EQ(factory_->created(), std::vector<DWORD>{4});
}

TEST_F(VantrelImplTest, ExecutorGoesOnAfterATaskThatThrows) {
    terminal_->setActive(0);
    factory_->failingSession = 9;
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    ASSERT_EQ(nextId(), L"2");
    send(L"Vantrel.Alert.Show.1", alertJson(L"F", L"1", 9));
    EXPECT_EQ(showReply(L"2", alertJson(L"A", L"2", 4)), L"Vantrel.Alert.A.Queued.2");
    const auto names = replies_->names();
    EXPECT_EQ(std::count(names.begin(), names.end(), L"Vantrel.Alert.F.Queued.1"), 0);
    EXPECT_TRUE(log_->Contains(LevelError, L"VT Callback unsuccessful."));
    // The failed session left nothing behind: deleting finds no entry to trip on.
    auto missing = ask(L"Vantrel.Alert.Delete.1", alertJson(L"F", L"1", 9));
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->getName(), L"Vantrel.Alert..NotFound.1");
}

TEST_F(VantrelImplTest, RefusedSubscriptionsAreLoggedAndInitializeSucceeds) {
    bus_.script<VtBusScript_SetSubscribeRefuse_t>("VtBusScript_SetSubscribeRefuse")(1);
    makeModule();
    bus_.script<VtBusScript_SetSubscribeRefuse_t>("VtBusScript_SetSubscribeRefuse")(0);
    // The five request handlers and the three log-on messages.
    EXPECT_EQ(log_->Count(LevelWarning, L"Unable to subscribe to message "), 8u);
    EXPECT_TRUE(log_->Contains(LevelWarning, L"Unable to subscribe to message Vantrel.Alert.Show..+ : returned "));
    EXPECT_EQ(ask(L"Vantrel.Alert.GetId", L"", 1000), nullptr);
}

TEST_F(VantrelImplTest, SuppressedAlertIsAnsweredSuppressed) {
    plugins_->setProcess({0, true, L"", 1, L"not now"});
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    EXPECT_EQ(showReply(L"1", alertJson(L"P", L"1", 3)), L"Vantrel.Alert.P.Suppressed.1");
}

struct LogoffCase {
    const char* name;
    const wchar_t* payload;
    std::uint32_t status;
    bool sessionEnded;
    ETWLogging::LogLevel level;
    const wchar_t* line;
};

class LogoffTest : public VantrelImplTest, public ::testing::WithParamInterface<LogoffCase> {};

TEST_P(LogoffTest, LogoffDropsTheSessionNamed) {
    const LogoffCase& c = GetParam();
    terminal_->setActive(0);
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    EXPECT_EQ(showReply(L"1", alertJson(L"L", L"1", 4)), L"Vantrel.Alert.L.Queued.1");

    auto message = Tessil::Message::create(L"SystemMonitor.UserSession.Logoff", L"SystemMonitor", c.payload);
    EXPECT_EQ(module_->handleSessionLogoff(message), c.status);
    EXPECT_TRUE(log_->Contains(c.level, c.line));
    // An ended session took its queued alert with it.
    EXPECT_EQ(ask(L"Vantrel.Queue.GetStatus")->getPayload(), c.sessionEnded ? L"0" : L"1");
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, LogoffTest,
    ::testing::Values(
        LogoffCase{"KnownSession", L"{\"sessionId\":4}", MODULE_STATUS_SUCCESS, true, LevelInformation,
                   L"Clearing alert session after logout. Session id: 4."},
        LogoffCase{"UnknownSession", L"{\"sessionId\":9}", MODULE_STATUS_SUCCESS, false, LevelInformation,
                   L"Starting VT executor thread"},
        LogoffCase{"NoSessionId", L"{\"user\":4}", MODULE_STATUS_INVALID_PARAMETER, false, LevelError,
                   L"Failed to parse session id. Payload: {\"user\":4}."},
        LogoffCase{"NotJson", L"logoff 4", MODULE_STATUS_INVALID_PARAMETER, false, LevelError,
                   L"Failed to parse SystemMonitor.UserSession.Logoff payload: logoff 4."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VantrelImplTest, LogoffOverTheBusEndsTheSession) {
    terminal_->setActive(0);
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    EXPECT_EQ(showReply(L"1", alertJson(L"L", L"1", 4)), L"Vantrel.Alert.L.Queued.1");
    send(L"SystemMonitor.UserSession.Logoff", L"{\"sessionId\":4}");
    ASSERT_TRUE(bus_.waitIdle());
    EXPECT_TRUE(log_->Contains(LevelInformation, L"Clearing alert session after logout. Session id: 4."));
    EXPECT_EQ(ask(L"Vantrel.Queue.GetStatus")->getPayload(), L"0");
}

// An alert whose time-out would outlast any test, on screen in session 3 with a
// viewer that never closes it and never answers the take-down.
constexpr std::uint32_t kEndlessTimeout = 4000000000u;

// An alert of session 3 on screen, whose viewer never closes it and never
// answers its Delete, with a time-out beyond any test.
class StuckViewerTest : public VantrelImplTest {
protected:
    void showAlertThatNeverCloses() {
        viewer_->setShowClosing(ViewerNeighbour::ClosingMode::Never);
        viewer_->setDeleteReply(ViewerNeighbour::ReplyMode::None);
        makeModule();
        ASSERT_EQ(nextId(), L"1");
        EXPECT_EQ(showReply(L"1", alertJson(L"W", L"1", 3, L"T", kEndlessTimeout)), L"Vantrel.Alert.W.Queued.1");
        ASSERT_TRUE(viewer_->waitForRequests(1, 20000));
    }
};

TEST_F(StuckViewerTest, LogoffWithAnAlertOnScreenLeavesTheModuleAnswering) {
    ASSERT_NO_FATAL_FAILURE(showAlertThatNeverCloses());

    // Through the bus: the log-off runs on the module's delivery thread,
    // which must then go on to answer the next request.
    send(L"SystemMonitor.UserSession.Logoff", L"{\"sessionId\":3}");
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(nextId(), L"2");
    std::cout << "[ figures  ] GetId answered "
              << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked).count()
              << " ms after the log-off was sent" << std::endl;
    // The session took its alert down on its way out; once it is gone,
    // nothing is left in hand.
    ASSERT_TRUE(viewer_->waitForRequests(2, 20000));
    EXPECT_EQ(viewer_->requests()[1].name, L"Vantrel.Viewer.v1.Delete.1");
    ASSERT_EQ(factory_->waitForGone(1).size(), 1u);
    auto status = ask(L"Vantrel.Queue.GetStatus");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->getPayload(), L"0");
}

TEST_F(StuckViewerTest, DestroyedWithAnAlertOnScreenReturnsWhateverItsTimeout) {
    ASSERT_NO_FATAL_FAILURE(showAlertThatNeverCloses());
    // The host's order, each step bounded far beyond a sound one.
    const std::pair<const char*, std::function<void()>> steps[] = {
        {"stopped", [this] { EXPECT_EQ(module_->stop(), MODULE_STATUS_SUCCESS); }},
        {"uninitialized", [this] { EXPECT_EQ(module_->uninitialize(), MODULE_STATUS_SUCCESS); }},
        {"destroyed", [this] { module_.reset(); }},
    };
    for (const auto& [what, step] : steps) {
        const auto started = std::chrono::steady_clock::now();
        auto done = std::async(std::launch::async, step);
        ASSERT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready) << what;
        std::cout << "[ figures  ] " << what << " in "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
                         .count()
                  << " ms with the alert on screen" << std::endl;
    }
}

TEST_F(VantrelImplTest, QueueStatusIsAnsweredWhileASessionWaitsForItsViewer) {
    // A viewer that never answers the show, with a limit beyond the test.
    viewers_ = std::make_shared<FakeViewerRegistrar>(bus_.openClient(), 600000);
    viewers_->add(L"v1");
    viewer_->setShowReply(ViewerNeighbour::ReplyMode::None);
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    ASSERT_EQ(nextId(), L"2");
    EXPECT_EQ(showReply(L"1", alertJson(L"A", L"1", 3, L"one")), L"Vantrel.Alert.A.Queued.1");
    ASSERT_TRUE(viewer_->waitForRequests(1, 20000));
    // The second alert of the session holds the executor while it waits to be queued.
    send(L"Vantrel.Alert.Show.2", alertJson(L"B", L"2", 3, L"two"));
    while (plugins_->processed().size() < 2) {
        SwitchToThread();
    }
    auto status = ask(L"Vantrel.Queue.GetStatus");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->getPayload(), L"1");
    EXPECT_EQ(nextId(), L"3");
}

class LogonTest : public VantrelImplTest, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(LogonTest, AGlobalAlertQueuedBeforeAnyLogonIsShownAtTheLogon) {
    terminal_->setActive(0);
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    EXPECT_EQ(showReply(L"1", alertJson(L"G", L"1", 0)), L"Vantrel.Alert.G.Queued.1");
    EXPECT_EQ(ask(L"Vantrel.Queue.GetStatus")->getPayload(), L"1");

    terminal_->setActive(3);
    send(GetParam(), L"{\"sessionId\":3}");
    ASSERT_TRUE(viewer_->waitForRequests(1, 20000));
    EXPECT_EQ(viewer_->requests()[0].name, L"Vantrel.Viewer.v1.Show.1");
}

INSTANTIATE_TEST_SUITE_P(Names, LogonTest,
                         ::testing::Values(L"SystemMonitor.UserSession.Logon",
                                           L"SystemMonitor.UserSession.Console.Connect",
                                           L"SystemMonitor.UserSession.Remote.Connect"));

// The log-on notice comes while the terminal services do not list the
// session yet, or list it as still initialising.
class EarlyLogonTest : public VantrelImplTest, public ::testing::WithParamInterface<bool> {};

TEST_P(EarlyLogonTest, ALogonNoticedBeforeTheSessionIsListedReachesItOnceLoggedOn) {
    logonRechecks_ = {std::chrono::milliseconds(5), 4000};
    terminal_->setSessions(GetParam() ? std::vector<std::pair<DWORD, WTS_CONNECTSTATE_CLASS>>{{4, WTSInit}}
                                      : std::vector<std::pair<DWORD, WTS_CONNECTSTATE_CLASS>>{});
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    EXPECT_EQ(showReply(L"1", alertJson(L"G", L"1", 0)), L"Vantrel.Alert.G.Queued.1");
    send(L"SystemMonitor.UserSession.Logon", L"{\"sessionId\":4}");
    ASSERT_TRUE(bus_.waitIdle());
    EXPECT_TRUE(log_->Contains(LevelNormal, L"Session 4 is not logged on; nothing started."));

    // No further message: listed, the session is started and shows the alert.
    terminal_->setSessions({{4, WTSActive}});
    ASSERT_TRUE(viewer_->waitForRequests(1, 20000));
    EXPECT_EQ(viewer_->requests()[0].name, L"Vantrel.Viewer.v1.Show.1");
    EXPECT_EQ(factory_->created(), std::vector<DWORD>{4});
}

INSTANTIATE_TEST_SUITE_P(Listing, EarlyLogonTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Initialising" : "NotListed";
                         });

TEST_F(VantrelImplTest, AGlobalAlertQueuedBeforeTheStartGoesToTheActiveSession) {
    terminal_->setActive(0);
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    EXPECT_EQ(showReply(L"1", alertJson(L"G", L"1", 0)), L"Vantrel.Alert.G.Queued.1");
    terminal_->setActive(3);
    ASSERT_EQ(module_->start(), MODULE_STATUS_SUCCESS);
    ASSERT_TRUE(viewer_->waitForRequests(1, 20000));
    EXPECT_EQ(viewer_->requests()[0].name, L"Vantrel.Viewer.v1.Show.1");
    module_->stop();
}

std::size_t threadsOfThisProcess() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    std::size_t count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count;
}

TEST_F(VantrelImplTest, AlertsForSessionsNobodyIsLoggedOnToCostNoThreads) {
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    const auto openHandles = bus_.script<VtBusScript_OpenHandleCount_t>("VtBusScript_OpenHandleCount");
    ASSERT_TRUE(bus_.waitIdle());
    const std::size_t threadsBefore = threadsOfThisProcess();
    const std::uint32_t busBefore = openHandles();

    constexpr std::uint32_t kAbsent = 1000;
    for (std::uint32_t i = 0; i < kAbsent; ++i) {
        send(L"Vantrel.Alert.Show.0", alertJson(L"A", L"0", 1000 + i, L"absent " + std::to_wstring(i)));
    }
    ASSERT_EQ(showReply(L"1", alertJson(L"M", L"1", 3, L"marker")), L"Vantrel.Alert.M.Queued.1");
    ASSERT_TRUE(bus_.waitIdle());
    const std::size_t threadsAfter = threadsOfThisProcess();
    const std::uint32_t busAfter = openHandles();
    std::cout << "[ counts   ] " << kAbsent << " alerts to absent sessions: threads " << threadsBefore << " -> "
              << threadsAfter << ", bus handles " << busBefore << " -> " << busAfter << std::endl;
    // Session 3's thread and connections, and the marker alert's, at most.
    EXPECT_LE(threadsAfter, threadsBefore + 6);
    EXPECT_LE(busAfter, busBefore + 4);
    EXPECT_EQ(factory_->created().size(), kAbsent + 1);

    // Each alert waits for its session: one that logs on is shown its own,
    // after the marker's show in the active session.
    ASSERT_TRUE(viewer_->waitForRequests(1, 20000));
    EXPECT_NE(viewer_->requests()[0].payload.find(L"marker"), std::wstring::npos);
    terminal_->setSessions({{3, WTSDisconnected}, {1007, WTSActive}});
    const std::size_t before = viewer_->requests().size();
    send(L"SystemMonitor.UserSession.Logon", L"{\"sessionId\":1007}");
    ASSERT_TRUE(viewer_->waitForRequests(before + 1, 20000));
    EXPECT_NE(viewer_->requests()[before].payload.find(L"absent 7"), std::wstring::npos);
}

TEST_F(VantrelImplTest, LogonsOfSessionsNobodyIsLoggedOnToStartNothing) {
    logonRechecks_ = {std::chrono::milliseconds(2), 10};
    terminal_->setActive(0);
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    ASSERT_EQ(nextId(), L"2");
    // A global alert waiting for a session, and session 5 known but not logged on.
    EXPECT_EQ(showReply(L"1", alertJson(L"G", L"1", 0, L"global")), L"Vantrel.Alert.G.Queued.1");
    EXPECT_EQ(showReply(L"2", alertJson(L"S", L"2", 5, L"own")), L"Vantrel.Alert.S.Queued.2");
    const auto openHandles = bus_.script<VtBusScript_OpenHandleCount_t>("VtBusScript_OpenHandleCount");
    ASSERT_TRUE(bus_.waitIdle());
    const std::size_t threadsBefore = threadsOfThisProcess();
    const std::uint32_t busBefore = openHandles();

    // Stale or early messages: ids the machine does not have, and session 5 before its log-on.
    const wchar_t* const names[] = {L"SystemMonitor.UserSession.Logon", L"SystemMonitor.UserSession.Console.Connect",
                                    L"SystemMonitor.UserSession.Remote.Connect"};
    constexpr std::uint32_t kStale = 1000;
    for (std::uint32_t i = 0; i < kStale; ++i) {
        const std::uint32_t id = i % 10 == 0 ? 5 : 2000 + i;
        send(names[i % 3], L"{\"sessionId\":" + std::to_wstring(id) + L"}");
    }
    ASSERT_TRUE(bus_.waitIdle(60000));
    const std::size_t threadsAfter = threadsOfThisProcess();
    const std::uint32_t busAfter = openHandles();
    std::cout << "[ counts   ] " << kStale << " stale log-ons: threads " << threadsBefore << " -> " << threadsAfter
              << ", bus handles " << busBefore << " -> " << busAfter << std::endl;
    EXPECT_LE(threadsAfter, threadsBefore + 2);
    EXPECT_EQ(busAfter, busBefore);
    EXPECT_EQ(factory_->created(), std::vector<DWORD>{5});
    EXPECT_TRUE(viewer_->requests().empty());
    EXPECT_TRUE(log_->Contains(LevelNormal, L"Session 2001 is not logged on; nothing started."));
    // Each is checked again for a while, then the checks and their thread end.
    const auto settled = [&] {
        return log_->Contains(LevelNormal, L"Session 5 was not logged on in time; not checked again.") &&
               threadsOfThisProcess() <= threadsBefore;
    };
    for (int i = 0; i < 4000 && !settled(); ++i) {
        Sleep(5);
    }
    EXPECT_TRUE(log_->Contains(LevelNormal, L"Session 2999 was not logged on in time; not checked again."));
    const std::size_t threadsSettled = threadsOfThisProcess();
    std::cout << "[ counts   ] once their checks ended: threads " << threadsSettled << std::endl;
    EXPECT_LE(threadsSettled, threadsBefore);
    EXPECT_EQ(factory_->created(), std::vector<DWORD>{5});

    // The real log-on of session 5 starts it: it shows the global alert and its own.
    terminal_->setSessions({{0, WTSDisconnected}, {5, WTSActive}});
    send(L"SystemMonitor.UserSession.Logon", L"{\"sessionId\":5}");
    ASSERT_TRUE(viewer_->waitForRequests(2, 20000));
    std::set<std::wstring> shown;
    for (const auto& request : viewer_->requests()) {
        shown.insert(request.name);
    }
    EXPECT_EQ(shown, (std::set<std::wstring>{L"Vantrel.Viewer.v1.Show.1", L"Vantrel.Viewer.v1.Show.2"}));
    EXPECT_EQ(factory_->created(), std::vector<DWORD>{5});
}

TEST_F(VantrelImplTest, AGlobalAlertTakenBySessionThatLogsOffBeforeAnyViewerHasItGoesToTheNext) {
    makeModule();
    for (const wchar_t* id : {L"1", L"2", L"3"}) {
        ASSERT_EQ(nextId(), id);
    }
    // Session 3 takes the alert; its content request to the plug-in holds it there.
    plugins_->holdContent(true);
    EXPECT_EQ(showReply(L"1", alertJson(L"G", L"1", 0, L"same")), L"Vantrel.Alert.G.Queued.1");
    ASSERT_TRUE(plugins_->waitForContentCalls(1));
    // Meanwhile a later alert of its priority, and a duplicate of it, which
    // the global queue takes while the first is out of it.
    EXPECT_EQ(showReply(L"2", alertJson(L"H", L"2", 0, L"other")), L"Vantrel.Alert.H.Queued.2");
    EXPECT_EQ(showReply(L"3", alertJson(L"D", L"3", 0, L"same")), L"Vantrel.Alert.D.Queued.3");

    send(L"SystemMonitor.UserSession.Logoff", L"{\"sessionId\":3}");
    ASSERT_TRUE(bus_.waitIdle());
    ASSERT_TRUE(log_->Contains(LevelInformation, L"Clearing alert session after logout. Session id: 3."));
    plugins_->holdContent(false);
    EXPECT_TRUE(factory_->global->waitForPutBacks(1));

    // The next session shows all three, the first in its place.
    terminal_->setSessions({{0, WTSDisconnected}, {3, WTSDisconnected}, {4, WTSActive}});
    send(L"SystemMonitor.UserSession.Logon", L"{\"sessionId\":4}");
    ASSERT_TRUE(viewer_->waitForRequests(3, 20000));
    std::vector<std::wstring> names;
    for (const auto& request : viewer_->requests()) {
        names.push_back(request.name);
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{L"Vantrel.Viewer.v1.Show.1", L"Vantrel.Viewer.v1.Show.2",
                                                 L"Vantrel.Viewer.v1.Show.3"}));
    ASSERT_TRUE(bus_.waitIdle());
    const auto replies = replies_->names();
    EXPECT_EQ(std::count(replies.begin(), replies.end(), L"sustainability.collect.logs"), 0);
    EXPECT_TRUE(telemetry_->named(L"Vantrel.Failed.Show").empty());
}

// Session 3 takes global alert G ("1") and its content request holds it there
// while the session logs off.
class InHandTest : public VantrelImplTest {
protected:
    void takeGlobalAlertAndLogOff() {
        makeModule();
        for (const wchar_t* id : {L"1", L"2"}) {
            ASSERT_EQ(nextId(), id);
        }
        plugins_->holdContent(true);
        EXPECT_EQ(showReply(L"1", alertJson(L"G", L"1", 0, L"global")), L"Vantrel.Alert.G.Queued.1");
        ASSERT_TRUE(plugins_->waitForContentCalls(1));
        send(L"SystemMonitor.UserSession.Logoff", L"{\"sessionId\":3}");
        ASSERT_TRUE(bus_.waitIdle());
        ASSERT_TRUE(log_->Contains(LevelInformation, L"Clearing alert session after logout. Session id: 3."));
        terminal_->setSessions({{0, WTSDisconnected}, {3, WTSDisconnected}, {4, WTSActive}});
    }

    std::vector<std::wstring> showsOf(const std::wstring& instance) const {
        std::vector<std::wstring> names;
        for (const auto& request : viewer_->requests()) {
            if (request.kind == L"Show" && request.instanceId == instance) names.push_back(request.name);
        }
        return names;
    }
};

// With a log-on of the next session while the alert is in hand, or with no
// message at all about the session that is active by then.
class GivenBackTest : public InHandTest, public ::testing::WithParamInterface<bool> {};

TEST_P(GivenBackTest, AGlobalAlertAStoppingSessionGivesBackIsShownByTheActiveSessionAndCountsMeanwhile) {
    ASSERT_NO_FATAL_FAILURE(takeGlobalAlertAndLogOff());
    if (GetParam()) {
        send(L"SystemMonitor.UserSession.Logon", L"{\"sessionId\":4}");
        ASSERT_TRUE(bus_.waitIdle());
    }
    // Still waiting to be shown, though in no queue.
    auto status = ask(L"Vantrel.Queue.GetStatus");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->getPayload(), L"1");

    plugins_->holdContent(false);
    EXPECT_TRUE(factory_->global->waitForPutBacks(1));
    ASSERT_TRUE(viewer_->waitForRequests(1, 20000));
    EXPECT_EQ(viewer_->requests()[0].name, L"Vantrel.Viewer.v1.Show.1");
    const auto created = factory_->created();
    EXPECT_EQ(std::count(created.begin(), created.end(), 4u), 1);
}

INSTANTIATE_TEST_SUITE_P(LogonMeanwhile, GivenBackTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "LogonMeanwhile" : "NoMessage";
                         });

TEST_F(InHandTest, ADeleteWhileAStoppingSessionHoldsTheAlertRemovesItForGood) {
    ASSERT_NO_FATAL_FAILURE(takeGlobalAlertAndLogOff());
    std::shared_ptr<Tessil::Reply> deleted;
    ASSERT_EQ(producer_->request(Tessil::Message::create(L"Vantrel.Alert.Delete.1", L"Test",
                                                         alertJson(L"G", L"1", 0, L"global")),
                                 deleted, 20000),
              0u);
    ASSERT_TRUE(bus_.waitIdle());
    // The executor has the delete now; one that answers before the content
    // request ends has its answer in by then.
    deleted->waitFor(500);
    plugins_->holdContent(false);
    ASSERT_EQ(deleted->wait(), Tessil::REPLY_STATUS_RECEIVED);
    EXPECT_EQ(deleted->getMessage()->getName(), L"Vantrel.Alert..Deleted.1");
    EXPECT_TRUE(log_->Contains(LevelInformation, L"Vantrel Alert Status Delete. Alert id: G, Instance id: 1."));
    EXPECT_EQ(telemetry_->named(L"Vantrel.Alert.Delete").size(), 1u);

    // The next session shows the alert queued after it, and not the deleted one.
    send(L"SystemMonitor.UserSession.Logon", L"{\"sessionId\":4}");
    EXPECT_EQ(showReply(L"2", alertJson(L"M", L"2", 0, L"marker")), L"Vantrel.Alert.M.Queued.2");
    ASSERT_TRUE(viewer_->waitForRequests(1, 20000));
    ASSERT_TRUE(bus_.waitIdle());
    EXPECT_TRUE(showsOf(L"1").empty());
    EXPECT_EQ(showsOf(L"2"), std::vector<std::wstring>{L"Vantrel.Viewer.v1.Show.2"});
}

// The log-off comes while the content request for the second viewer is
// held, after the first viewer was asked and did not answer in its time.
struct AskedCase {
    const char* name;
    bool firstViewerReports;  // v1 closes the alert before the log-off
};

class AskedBeforeTheStopTest : public InHandTest, public ::testing::WithParamInterface<AskedCase> {};

TEST_P(AskedBeforeTheStopTest, AnAlertAViewerWasAskedAboutEndsInItsSessionWithOneReport) {
    viewers_ = std::make_shared<FakeViewerRegistrar>(bus_.openClient(), 300);
    viewers_->add(L"v1");
    viewers_->add(L"v2");
    viewer_->setShowReply(ViewerNeighbour::ReplyMode::None);
    viewer_->setShowClosing(ViewerNeighbour::ClosingMode::Late);
    auto v2Side = bus_.openClient();
    ViewerNeighbour v2(v2Side, L"v2");
    ASSERT_TRUE(v2.start());
    BusRecorder reports(producer_, L"Vantrel\\.Alert\\.G\\.(Dismissed|Failed)\\.1");
    ASSERT_TRUE(reports.subscribed());
    makeModule();
    for (const wchar_t* id : {L"1", L"2"}) {
        ASSERT_EQ(nextId(), id);
    }
    plugins_->holdContentOf(L"v2");
    EXPECT_EQ(showReply(L"1", alertJson(L"G", L"1", 0, L"global", 30, {L"v1", L"v2"})), L"Vantrel.Alert.G.Queued.1");
    ASSERT_TRUE(plugins_->waitForContentCalls(2));
    ASSERT_EQ(telemetry_->named(L"Vantrel.Warning.ViewerFailure").size(), 1u);
    if (GetParam().firstViewerReports) {
        ASSERT_EQ(viewer_->releaseLateReports(), 1u);
        ASSERT_TRUE(reports.waitFor(1));
        ASSERT_TRUE(bus_.waitIdle());
    }
    send(L"SystemMonitor.UserSession.Logoff", L"{\"sessionId\":3}");
    ASSERT_TRUE(bus_.waitIdle());
    terminal_->setSessions({{0, WTSDisconnected}, {3, WTSDisconnected}, {4, WTSActive}});
    plugins_->holdContent(false);

    // The next session shows the alert queued after it, and this one no more.
    send(L"SystemMonitor.UserSession.Logon", L"{\"sessionId\":4}");
    EXPECT_EQ(showReply(L"2", alertJson(L"M", L"2", 0, L"marker", 30, {L"v2"})), L"Vantrel.Alert.M.Queued.2");
    ASSERT_TRUE(v2.waitForRequests(1, 20000));
    ASSERT_TRUE(bus_.waitIdle());
    EXPECT_EQ(showsOf(L"1"), std::vector<std::wstring>{L"Vantrel.Viewer.v1.Show.1"});
    ASSERT_EQ(v2.requests().size(), 1u);
    EXPECT_EQ(v2.requests()[0].name, L"Vantrel.Viewer.v2.Show.2");
    const auto names = reports.names();
    ASSERT_EQ(names.size(), 1u) << "one closing report";
    EXPECT_EQ(names[0], GetParam().firstViewerReports ? L"Vantrel.Alert.G.Dismissed.1" : L"Vantrel.Alert.G.Failed.1");
    EXPECT_EQ(telemetry_->named(L"Vantrel.Failed.Show").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Reports, AskedBeforeTheStopTest,
                         ::testing::Values(AskedCase{"FirstViewerClosedIt", true},
                                           AskedCase{"NoViewerReported", false}),
                         [](const ::testing::TestParamInfo<AskedCase>& info) { return info.param.name; });

// Where the log-off finds an alert of session 3 whose viewer never answers:
// its Show unanswered, its closing report awaited, or its take-down unanswered.
enum class StuckAt { Show, ClosingReport, TakeDown };

struct StuckCase {
    const char* name;
    StuckAt at;
    std::vector<const wchar_t*> events;  // sent once each for the alert's end
};

class StoppedWhileStuckTest : public VantrelImplTest, public ::testing::WithParamInterface<StuckCase> {};

TEST_P(StoppedWhileStuckTest, EveryAlertAViewerWasAskedAboutEndsWithOneReportAtTheLogoff) {
    const StuckCase& c = GetParam();
    // Limits beyond any test: only the stop ends the waits.
    viewers_ = std::make_shared<FakeViewerRegistrar>(bus_.openClient(), 600000);
    viewers_->add(L"v1");
    viewer_->setShowReply(c.at == StuckAt::Show ? ViewerNeighbour::ReplyMode::None : ViewerNeighbour::ReplyMode::Normal);
    viewer_->setShowClosing(ViewerNeighbour::ClosingMode::Never);
    viewer_->setDeleteReply(ViewerNeighbour::ReplyMode::None);
    viewer_->setDeleteClosing(ViewerNeighbour::ClosingMode::Never);
    BusRecorder reports(producer_, L"Vantrel\\.Alert\\.W\\.(Dismissed|Failed)\\.1");
    ASSERT_TRUE(reports.subscribed());
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    EXPECT_EQ(showReply(L"1", alertJson(L"W", L"1", 3, L"T", kEndlessTimeout)), L"Vantrel.Alert.W.Queued.1");
    ASSERT_TRUE(viewer_->waitForRequests(1, 20000));
    if (c.at != StuckAt::Show) {
        ASSERT_TRUE(telemetry_->waitForNamed(L"Vantrel.Alert.Shown", 1));
    }
    std::future<std::shared_ptr<Tessil::Message>> deleted;
    if (c.at == StuckAt::TakeDown) {
        // The producer's delete has the viewer asked to take it down.
        deleted = std::async(std::launch::async, [this] {
            return ask(L"Vantrel.Alert.Delete.1", alertJson(L"W", L"1", 3, L"T", kEndlessTimeout));
        });
        ASSERT_TRUE(viewer_->waitForRequests(2, 20000));
    }

    send(L"SystemMonitor.UserSession.Logoff", L"{\"sessionId\":3}");
    ASSERT_TRUE(reports.waitFor(1, 20000));
    ASSERT_EQ(factory_->waitForGone(1).size(), 1u);
    if (deleted.valid()) {
        ASSERT_TRUE(deleted.get());
    }
    ASSERT_TRUE(bus_.waitIdle());
    EXPECT_EQ(reports.names(), std::vector<std::wstring>{L"Vantrel.Alert.W.Failed.1"});
    for (const wchar_t* event : c.events) {
        EXPECT_EQ(telemetry_->named(event).size(), 1u) << std::string(event, event + wcslen(event));
    }
    const auto dismiss = telemetry_->named(L"Vantrel.Failed.Dismiss");
    ASSERT_EQ(dismiss.size(), 1u);
    EXPECT_EQ(dimension(dismiss[0], L"Hit.GUID"), L"W");
    EXPECT_EQ(dimension(dismiss[0], L"Hit.Label.1"), L"v1");
}

INSTANTIATE_TEST_SUITE_P(
    Where, StoppedWhileStuckTest,
    ::testing::Values(StuckCase{"ShowUnanswered", StuckAt::Show, {L"Vantrel.Failed.Dismiss"}},
                      StuckCase{"ClosingReportAwaited", StuckAt::ClosingReport,
                                {L"Vantrel.Alert.TimeOut", L"Vantrel.Failed.Dismiss"}},
                      StuckCase{"TakeDownUnanswered", StuckAt::TakeDown, {L"Vantrel.Failed.Dismiss"}}),
    [](const ::testing::TestParamInfo<StuckCase>& info) { return info.param.name; });

// The test bus closes its handles only at its end: the counts of threads and
// connections are followed in the module library's own test.
TEST_F(VantrelImplTest, ALoggedOffSessionIsLetGoOffTheBusOnceItsThreadHasEnded) {
    makeModule();
    for (std::uint32_t round = 0; round < 3; ++round) {
        const std::wstring instance = nextId();
        const std::wstring title = L"round " + std::to_wstring(round);
        ASSERT_EQ(showReply(instance, alertJson(L"R", instance, 3, title)), L"Vantrel.Alert.R.Queued." + instance);
        ASSERT_TRUE(viewer_->waitForRequests(round + 1, 20000));
        send(L"SystemMonitor.UserSession.Logoff", L"{\"sessionId\":3}");
        // No other log-off follows: the session goes once its thread has ended.
        const auto gone = factory_->waitForGone(round + 1);
        ASSERT_EQ(gone.size(), round + 1) << "round " << round;
        EXPECT_EQ(gone[round].sessionId, 3u);
        EXPECT_FALSE(gone[round].onBusThread) << "round " << round;
    }
}

TEST_F(VantrelImplTest, RequestsAfterUninitializeAreNotAnswered) {
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    ASSERT_EQ(module_->uninitialize(), MODULE_STATUS_SUCCESS);
    EXPECT_EQ(ask(L"Vantrel.Alert.GetId", L"", 1000), nullptr);
    // Subscribed again, the show is still dropped: the executor has ended.
    ASSERT_EQ(module_->initialize(), MODULE_STATUS_SUCCESS);
    EXPECT_EQ(showReply(L"1", alertJson(L"U", L"1", 3), 1000), L"<none>");
    EXPECT_TRUE(log_->Contains(LevelInformation, L"Exiting VT executor thread"));
}

TEST_F(VantrelImplTest, DestroyedWithoutUninitializeWhileSubscribed) {
    makeModule();
    ASSERT_EQ(nextId(), L"1");
    module_.reset();
    // Every subscription the module made on its bus was ended by the
    // destructor, so no request can reach the freed module.
    const auto count = bus_.script<VtBusScript_JournalCount_t>("VtBusScript_JournalCount");
    const auto entry = bus_.script<VtBusScript_JournalEntry_t>("VtBusScript_JournalEntry");
    std::vector<std::wstring> lines;
    for (std::uint32_t i = 0; i < count(); ++i) {
        wchar_t line[1024];
        const std::uint32_t length = entry(i, line, 1024);
        lines.emplace_back(line, std::min<std::uint32_t>(length, 1023));
    }
    // The module's handle is the one that subscribed "Vantrel.Alert.GetId".
    std::wstring handle;
    for (const std::wstring& line : lines) {
        if (line.rfind(L"subscribeFilter ", 0) == 0 && line.find(L" Vantrel.Alert.GetId id=") != std::wstring::npos) {
            handle = line.substr(16, line.find(L' ', 16) - 16);
        }
    }
    ASSERT_FALSE(handle.empty());
    std::size_t subscribed = 0;
    for (const std::wstring& line : lines) {
        for (const std::wstring& start : {L"subscribe " + handle + L" ", L"subscribeFilter " + handle + L" "}) {
            if (line.rfind(start, 0) == 0 && line.find(L" refused") == std::wstring::npos) {
                ++subscribed;
                const std::wstring unsubscribed = L"unsubscribe " + handle + L" " + line.substr(line.rfind(L"id="));
                EXPECT_NE(std::find(lines.begin(), lines.end(), unsubscribed), lines.end()) << line;
            }
        }
    }
    EXPECT_EQ(subscribed, 8u);
    send(L"Vantrel.Alert.Show.1", alertJson(L"X", L"1", 3));
    EXPECT_TRUE(bus_.waitIdle());
    EXPECT_TRUE(log_->Contains(LevelInformation, L"Exiting VT executor thread"));
}

TEST_F(VantrelImplTest, FailedConstructionEndsTheExecutor) {
    factory_->failGlobal = true;
    EXPECT_THROW(makeModule(), std::runtime_error);
    EXPECT_TRUE(log_->Contains(LevelInformation, L"Exiting VT executor thread"));
}

struct OobeCase {
    const char* name;
    bool fuAllow;
    DWORD oobeAtStart;
    bool completes;          // oobedone turns 1 after construction
    std::int64_t laterSeconds;  // clock advance after the completion
    const wchar_t* alertId;
    bool suppressed;
    bool outOfBox;
    bool collects;
};

class OobeTest : public VantrelImplTest, public ::testing::WithParamInterface<OobeCase> {};

TEST_P(OobeTest, RiskAlertsSoonAfterTheOutOfBoxSetupAskForLogs) {
    const OobeCase& c = GetParam();
    if (c.fuAllow) {
        ASSERT_TRUE(setDword(L"FUAllow", 1));
    }
    ASSERT_TRUE(setDword(L"oobedone", c.oobeAtStart));
    if (c.suppressed) {
        plugins_->setProcess({0, true, L"", 1, L""});
    }
    makeModule();
    EXPECT_EQ(module_->outOfBoxMode(), c.outOfBox);
    if (c.completes) {
        ASSERT_TRUE(setDword(L"oobedone", 1));
        module_->onOobeValueChanged();
        // The watcher thread may have seen the change first and still be noting it.
        for (int i = 0; i < 4000 && !module_->oobeCompletionSeen(); ++i) {
            Sleep(5);
        }
        EXPECT_TRUE(log_->Contains(LevelInformation, L"Got Notification of OOBE Registry Change"));
    }
    now_ += c.laterSeconds * kSecond;

    ASSERT_EQ(nextId(), L"1");
    const std::wstring word = c.suppressed ? L".Suppressed.1" : L".Queued.1";
    EXPECT_EQ(showReply(L"1", alertJson(c.alertId, L"1", 4)), L"Vantrel.Alert." + std::wstring(c.alertId) + word);
    ASSERT_TRUE(bus_.waitIdle());

    std::size_t collected = 0;
    for (const auto& message : replies_->messages()) {
        if (message.name == L"sustainability.collect.logs") {
            ++collected;
            EXPECT_EQ(message.source, L"Vantrel");
            EXPECT_EQ(message.payload, kRiskPayload);
        }
    }
    EXPECT_EQ(collected, c.collects ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, OobeTest,
    ::testing::Values(OobeCase{"RiskAlertAnyCaseWithinTheHour", true, 0, true, 3599, kRiskId, false, true, true},
                      OobeCase{"AfterTheHour", true, 0, true, 3600, kRiskId, false, true, false},
                      OobeCase{"SuppressedRiskAlert", true, 0, true, 0, kRiskId, true, true, false},
                      OobeCase{"OtherAlert", true, 0, true, 0, L"4BF486E5-B05F-4D6D-AA39-EEBEEF38DAE2", false,
                               true, false},
                      OobeCase{"CompletionNotSeen", true, 0, false, 0, kRiskId, false, true, false},
                      OobeCase{"SetUpAlready", true, 1, false, 0, kRiskId, false, false, false},
                      OobeCase{"NoFUAllow", false, 0, false, 0, kRiskId, false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VantrelImplTest, TheWatcherSeesTheOutOfBoxSetupComplete) {
    ASSERT_TRUE(setDword(L"FUAllow", 1));
    ASSERT_TRUE(setDword(L"oobedone", 0));
    std::promise<void> stamped;
    std::atomic<bool> once{false};
    clockHook_ = [&] {
        if (!once.exchange(true)) stamped.set_value();
    };
    makeModule();
    ASSERT_TRUE(module_->outOfBoxMode());
    // The watch may start a little after the module is made: change the value
    // again until the watcher has seen it turn non-zero.
    auto seen = stamped.get_future();
    bool ready = false;
    for (int i = 0; i < 200 && !ready; ++i) {
        ASSERT_TRUE(setDword(L"oobedone", 0));
        ASSERT_TRUE(setDword(L"oobedone", 1));
        ready = seen.wait_for(std::chrono::milliseconds(100)) == std::future_status::ready;
    }
    ASSERT_TRUE(ready);
    while (!module_->oobeCompletionSeen()) {
        SwitchToThread();
    }
    EXPECT_TRUE(log_->Contains(LevelInformation, L"Got Notification of OOBE Registry Change"));

    ASSERT_EQ(nextId(), L"1");
    EXPECT_EQ(showReply(L"1", alertJson(kRiskId, L"1", 4)), L"Vantrel.Alert." + std::wstring(kRiskId) + L".Queued.1");
    ASSERT_TRUE(bus_.waitIdle());
    const auto names = replies_->names();
    EXPECT_EQ(std::count(names.begin(), names.end(), L"sustainability.collect.logs"), 1);
    clockHook_ = nullptr;
}

TEST(VantrelRiskIds, ComparedIgnoringCase) {
    EXPECT_TRUE(VantrelImpl::isRiskAlertId(L"abc-D", L"ABC-d"));
    EXPECT_FALSE(VantrelImpl::isRiskAlertId(L"abc", L"abcd"));
    EXPECT_FALSE(VantrelImpl::isRiskAlertId(L"abd", L"abc"));
}

}  // namespace
