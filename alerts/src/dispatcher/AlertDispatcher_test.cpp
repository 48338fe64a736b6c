#include "alerts/src/dispatcher/AlertDispatcher.h"

#include "alerts/src/common/testing/BusRecorder.h"
#include "alerts/src/common/testing/RecordingTelemetry.h"
#include "alerts/src/dispatcher/testing/DispatcherTesting.h"
#include "framework/message/ModuleStatus.h"
#include "neighbours/MessageBus/MessageBusScript.h"
#include "neighbours/SettingsManager/testing/InProcessBus.h"
#include "neighbours/viewer/ViewerNeighbour.h"
#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <string>
#include <vector>

using Drem::Alert;
using Drem::AlertDispatcher;
using Drem::AlertInfo;
using Drem::testing::FakePluginRegistrar;
using Drem::testing::FakeUpdateEvents;
using Drem::testing::FakeViewerRegistrar;
using ETWLogging::LevelError;
using ETWLogging::LevelInformation;
using ETWLogging::LevelWarning;
using Neighbours::ViewerNeighbour;

namespace {

const std::wstring kContext = L"{\"title\":\"T\",\"defaultcontent\":\"D\",\"actions\":[]}";
const std::wstring kFailedName = L"Vantrel.Alert.ALERT-1.Failed.7";
const std::wstring kCollectPayload =
    L"{\"Problem\":\"VT_FailedToShowAlert\",\"coolingperiod\":\"\",\"throttlingpercent\":\"1\","
    L"\"logstocollect\":\"2\"}";

AlertInfo makeInfo(const std::vector<std::wstring>& viewers, std::uint32_t timeout = 30) {
    AlertInfo info;
    info.id = L"ALERT-1";
    info.instanceId = L"7";
    info.product = L"Prod";
    info.priority = 2;
    info.preferredViewer = viewers;
    info.context = kContext;
    info.timeout = timeout;
    return info;
}

std::wstring dimension(const Tessil::Analytics::Dimensions& event, const std::wstring& name) {
    auto it = event.find(name);
    return it == event.end() ? L"<absent>" : it->second;
}

// A real alert that signals when its wait begins.
class SignallingAlert : public Alert {
public:
    SignallingAlert(AlertInfo info, std::shared_ptr<Tessil::MessageBus> bus)
        : Alert(std::move(info), std::move(bus), 10) {}
    bool wait(const std::int64_t& seconds) override {
        if (!signalled_.exchange(true)) {
            waiting.set_value();
        }
        return Alert::wait(seconds);
    }
    std::promise<void> waiting;

private:
    std::atomic<bool> signalled_{false};
};

// An alert whose viewer side is scripted: show, wait and dismiss answer as
// set and are recorded.
class ScriptedAlert : public Alert {
public:
    ScriptedAlert(AlertInfo info, std::shared_ptr<Tessil::MessageBus> bus)
        : Alert(std::move(info), std::move(bus), 1) {}
    bool show() override { return showResult; }
    bool wait(const std::int64_t& seconds) override {
        waitedSeconds.push_back(seconds);
        return waitResult;
    }
    bool dismiss() override {
        ++dismissCalls;
        return dismissResult;
    }
    bool showResult = true;
    bool waitResult = true;
    bool dismissResult = true;
    std::vector<std::int64_t> waitedSeconds;
    std::atomic<int> dismissCalls{0};
};

class AlertDispatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.ok());
        bus_.script<VtBusScript_Reset_t>("VtBusScript_Reset")();
        viewerSide_ = bus_.openClient();
        moduleSide_ = bus_.openClient();
        observer_ = bus_.openClient();
        ASSERT_TRUE(viewerSide_ && moduleSide_ && observer_);
        viewers_ = std::make_shared<FakeViewerRegistrar>(moduleSide_);
        plugins_ = std::make_shared<FakePluginRegistrar>();
        updates_ = std::make_shared<FakeUpdateEvents>();
        dispatcher_ = std::make_unique<AlertDispatcher>(viewers_, plugins_, moduleSide_, 30, updates_);
    }

    void TearDown() override {
        dispatcher_.reset();
        bus_.waitIdle();
        neighbours_.clear();
        bus_.script<VtBusScript_Reset_t>("VtBusScript_Reset")();
    }

    // A registered viewer with its endpoint on the bus.
    ViewerNeighbour& addViewer(const std::wstring& id) {
        viewers_->add(id);
        auto& neighbour = neighbours_[id];
        neighbour = std::make_unique<ViewerNeighbour>(viewerSide_, id);
        EXPECT_TRUE(neighbour->start());
        return *neighbour;
    }

    std::shared_ptr<Alert> makeAlert(const std::vector<std::wstring>& viewers, std::uint32_t timeout = 30) {
        return std::make_shared<Alert>(makeInfo(viewers, timeout), bus_.openClient(), 10);
    }

    std::shared_ptr<ScriptedAlert> makeScripted(const std::vector<std::wstring>& viewers,
                                                std::uint32_t timeout = 30) {
        return std::make_shared<ScriptedAlert>(makeInfo(viewers, timeout), bus_.openClient());
    }

    BusTesting::InProcessBus bus_;
    ETWLogging::testing::ScopedCapturingLogger log_;
    Drem::testing::ScopedRecordingTelemetry telemetry_;
    std::shared_ptr<Tessil::MessageBusClient> viewerSide_;
    std::shared_ptr<Tessil::MessageBusClient> moduleSide_;
    std::shared_ptr<Tessil::MessageBusClient> observer_;
    std::map<std::wstring, std::unique_ptr<ViewerNeighbour>> neighbours_;
    std::shared_ptr<FakeViewerRegistrar> viewers_;
    std::shared_ptr<FakePluginRegistrar> plugins_;
    std::shared_ptr<FakeUpdateEvents> updates_;
    std::unique_ptr<AlertDispatcher> dispatcher_;
};

TEST_F(AlertDispatcherTest, ShowSkipsUnregisteredAndContentlessViewersAndSendsTheShowingViewersContent) {
    viewers_->add(L"b");
    plugins_->setContent(L"b", MODULE_STATUS_BUFFER_TOO_SMALL, L"");
    ViewerNeighbour& c = addViewer(L"c");
    auto alert = makeAlert({L"a", L"b", L"c"});

    ASSERT_TRUE(dispatcher_->show(alert));

    EXPECT_EQ(dispatcher_->current(), alert);
    EXPECT_TRUE(log_->Contains(LevelWarning, L"Viewer a was not registered."));
    EXPECT_TRUE(log_->Contains(LevelWarning,
                               L"Failed to get alert content. Alert: ALERT-1, Product: Prod, Viewer: b."));
    const auto contentFailed = telemetry_->named(L"Vantrel.Warning.GetContentFailed");
    ASSERT_EQ(contentFailed.size(), 1u);
    EXPECT_EQ(dimension(contentFailed[0], L"Hit.Result"), L"2147483651");
    EXPECT_EQ(dimension(contentFailed[0], L"Hit.Label.1"), L"b");
    EXPECT_EQ(dimension(contentFailed[0], L"Event.Label"), L"Prod");

    const auto requests = c.requests();
    ASSERT_EQ(requests.size(), 1u);
    AlertInfo sent;
    ASSERT_TRUE(AlertInfo::fromJson(requests[0].payload, sent));
    EXPECT_EQ(sent.content, L"c content");
    EXPECT_EQ(requests[0].name, L"Vantrel.Viewer.c.Show.7");

    const auto shown = telemetry_->named(L"Vantrel.Alert.Shown");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(dimension(shown[0], L"Hit.GUID"), L"ALERT-1");
    EXPECT_EQ(dimension(shown[0], L"Hit.Label.1"), L"c");
    EXPECT_EQ(dimension(shown[0], L"Hit.Label.2"), L"a,b,c");
    EXPECT_EQ(dimension(shown[0], L"Hit.Label.3"), L"Prod");
    EXPECT_EQ(dimension(shown[0], L"Interactive"), L"true");
    EXPECT_TRUE(log_->Contains(LevelInformation,
                               L"Vantrel Alert Status Shown. Alert id: ALERT-1, Instance id: 7 TimeTaken: "));
    EXPECT_TRUE(telemetry_->named(L"Vantrel.Failed.Show").empty());
}

struct FailedShowCase {
    const char* name;
    std::vector<std::wstring> preferred;
    std::vector<std::wstring> registeredWithoutContent;
    std::vector<std::wstring> refusing;  // registered viewers answering with a wrong reply
    bool updateRunning;
    const wchar_t* hitResult;
};

class FailedShowTest : public AlertDispatcherTest,
                       public ::testing::WithParamInterface<FailedShowCase> {};

TEST_P(FailedShowTest, ReportsTheMasksPublishesFailedAndAsksForLogs) {
    const FailedShowCase& c = GetParam();
    for (const auto& id : c.registeredWithoutContent) {
        viewers_->add(id);
        plugins_->setContent(id, MODULE_STATUS_UNSUCCESSFUL, L"");
    }
    for (const auto& id : c.refusing) {
        addViewer(id).setShowReply(ViewerNeighbour::ReplyMode::WrongCase);
    }
    updates_->running = c.updateRunning;
    Drem::testing::BusRecorder recorder(
        observer_, L"Vantrel\\.Alert\\.ALERT-1\\.Failed\\.7|sustainability\\.collect\\.logs");
    ASSERT_TRUE(recorder.subscribed());

    EXPECT_FALSE(dispatcher_->show(makeAlert(c.preferred)));

    EXPECT_EQ(dispatcher_->current(), nullptr);
    EXPECT_FALSE(dispatcher_->lastShowStoppedUnheld());
    const auto failed = telemetry_->named(L"Vantrel.Failed.Show");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(dimension(failed[0], L"Hit.Result"), c.hitResult);
    EXPECT_EQ(dimension(failed[0], L"Hit.Label.1"), L"All");
    EXPECT_EQ(dimension(failed[0], L"Hit.Label.3"), c.updateRunning ? L"1" : L"0");
    EXPECT_EQ(dimension(failed[0], L"Event.Label"), L"Prod");
    EXPECT_TRUE(log_->Contains(LevelError, L"Vantrel Alert Status Failed. Alert id: ALERT-1, Instance id: 7."));

    ASSERT_TRUE(recorder.waitFor(2));
    const auto messages = recorder.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].name, kFailedName);
    EXPECT_FALSE(messages[0].source.empty());
    EXPECT_TRUE(messages[0].payload.empty());
    EXPECT_EQ(messages[1].name, L"sustainability.collect.logs");
    EXPECT_EQ(messages[1].source, L"Vantrel");
    EXPECT_EQ(messages[1].payload, kCollectPayload);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, FailedShowTest,
    ::testing::Values(
        FailedShowCase{"UnregisteredThenContentless", {L"a", L"b"}, {L"b"}, {}, false, L"258"},
        FailedShowCase{"ContentlessThenUnregistered", {L"b", L"a"}, {L"b"}, {}, false, L"257"},
        FailedShowCase{"TwoUnregistered", {L"a", L"x"}, {}, {}, false, L"3"},
        FailedShowCase{"EmptyList", {}, {}, {}, true, L"0"},
        FailedShowCase{"ViewerRefusingLeavesNoBit", {L"r"}, {}, {L"r"}, false, L"0"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ProcessCase {
    const char* name;
    FakePluginRegistrar::ProcessScript script;
    bool queued;
    const wchar_t* event;          // the one event expected, or null
    std::map<std::wstring, std::wstring> dimensions;
    std::int32_t priorityAfter;    // the alert's priority afterwards
};

class ProcessTest : public AlertDispatcherTest, public ::testing::WithParamInterface<ProcessCase> {};

TEST_P(ProcessTest, QueuesSuppressesOrReplacesAsThePluginAnswers) {
    const ProcessCase& c = GetParam();
    plugins_->setProcess(c.script);
    auto alert = makeAlert({L"v1", L"v2"});

    EXPECT_EQ(dispatcher_->process(*alert), c.queued);

    const auto events = telemetry_->events();
    if (c.event == nullptr) {
        EXPECT_TRUE(events.empty());
    } else {
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(dimension(events[0], L"UniqueIdentifier"), c.event);
        for (const auto& [name, value] : c.dimensions) {
            EXPECT_EQ(dimension(events[0], name), value) << std::string(name.begin(), name.end());
        }
    }
    EXPECT_EQ(alert->getAlertInfo().priority, c.priorityAfter);
    // The content record stays as read at construction.
    EXPECT_EQ(alert->getAlertContent().title, L"T");
    ASSERT_EQ(plugins_->processed().size(), 1u);
    EXPECT_EQ(plugins_->processed()[0], AlertInfo::toJson(makeInfo({L"v1", L"v2"})));
}

const std::wstring kRewritten =
    L"{\"id\":\"ALERT-1\",\"instanceId\":\"7\",\"priority\":\"P1\",\"product\":\"Prod\","
    L"\"source\":\"client\",\"forcePreferredViewer\":false,\"preferredViewer\":[\"v1\"],"
    L"\"context\":{\"title\":\"New\"}}";
const std::wstring kNoContext =
    L"{\"id\":\"OUT-ID\",\"instanceId\":\"7\",\"priority\":\"P1\",\"product\":\"Prod\","
    L"\"source\":\"client\",\"forcePreferredViewer\":false,\"preferredViewer\":[\"v1\"]}";

INSTANTIATE_TEST_SUITE_P(
    Plugin, ProcessTest,
    ::testing::Values(
        ProcessCase{"SuppressedWhateverTheStatus",
                    {MODULE_STATUS_UNSUCCESSFUL, true, L"", 1, L"dup"},
                    false,
                    L"Vantrel.Alert.Suppressed",
                    {{L"Hit.Label.1", L"Prod"}, {L"Hit.GUID", L"ALERT-1"}, {L"Event.Label", L"<absent>"}},
                    2},
        ProcessCase{"SuppressValueOtherThanOne", {0, true, L"", 2, L""}, true, nullptr, {}, 2},
        ProcessCase{"PluginFailureKeepsInput",
                    {5, true, L"", 0, L""},
                    true,
                    L"Vantrel.Failed.PluginProcess",
                    {{L"Hit.Result", L"5"}, {L"Event.Label", L"Prod"}, {L"Hit.Label.1", L"NoViewer"},
                     {L"Hit.Label.2", L"v1,v2"}, {L"Hit.Label.3", L"0"}},
                    2},
        ProcessCase{"EmptyOutputKeepsInput",
                    {0, false, L"", 0, L""},
                    true,
                    L"Vantrel.Failed.PluginProcess",
                    {{L"Hit.Result", L"0"}},
                    2},
        ProcessCase{"RewrittenOutputReplacesTheData", {0, false, kRewritten, 0, L""}, true, nullptr, {}, 1},
        ProcessCase{"OutputWithoutContextDropsTheAlert",
                    {0, false, kNoContext, 0, L""},
                    false,
                    L"Vantrel.Failed.AlertInfoParse",
                    {{L"Hit.GUID", L"OUT-ID"}, {L"Hit.Result", L"0"}, {L"Event.Label", L"parseFailed"},
                     {L"Hit.Label.3", L"Prod"}},
                    2},
        ProcessCase{"OutputNotJsonDropsTheAlert",
                    {0, false, L"not json", 0, L""},
                    false,
                    L"Vantrel.Failed.AlertInfoParse",
                    {{L"Hit.GUID", L""}},
                    2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AlertDispatcherTest, ProcessLogsTheOutputThatCannotBeRead) {
    plugins_->setProcess({0, false, kNoContext, 0, L""});
    auto alert = makeAlert({L"v1"});
    EXPECT_FALSE(dispatcher_->process(*alert));
    EXPECT_TRUE(log_->Contains(LevelError, L"Failed to parse alert info. Alert id: OUT-ID, Instance id: 7, "
                                           L"OutputAlertInfo : " + kNoContext));
}

TEST_F(AlertDispatcherTest, UpdateRunningLabelsAFailedPluginProcess) {
    updates_->running = true;
    plugins_->setProcess({7, true, L"", 0, L""});
    auto alert = makeAlert({L"v1"});
    EXPECT_TRUE(dispatcher_->process(*alert));
    const auto events = telemetry_->named(L"Vantrel.Failed.PluginProcess");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(dimension(events[0], L"Hit.Label.3"), L"1");
}

struct WaitCase {
    std::uint32_t timeout;
    std::int64_t waited;
};

class WaitTest : public AlertDispatcherTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitTest, WaitsTheTimeoutPlusTheGraceWithoutWrapping) {
    viewers_->add(L"c");
    auto alert = makeScripted({L"c"}, GetParam().timeout);
    ASSERT_TRUE(dispatcher_->show(alert));
    EXPECT_TRUE(dispatcher_->wait());
    ASSERT_EQ(alert->waitedSeconds.size(), 1u);
    EXPECT_EQ(alert->waitedSeconds[0], GetParam().waited);
}

INSTANTIATE_TEST_SUITE_P(Timeouts, WaitTest,
                         ::testing::Values(WaitCase{0, 30}, WaitCase{30, 60},
                                           WaitCase{4294967264u, 4294967294LL},
                                           WaitCase{4294967265u, 4294967265LL},
                                           WaitCase{4294967295u, 4294967295LL}));

TEST_F(AlertDispatcherTest, WaitWithoutCurrentAlertFails) {
    EXPECT_FALSE(dispatcher_->wait());
    EXPECT_TRUE(telemetry_->named(L"Vantrel.Alert.TimeOut").empty());
}

TEST_F(AlertDispatcherTest, WaitRunningOutReportsTimeOutAndKeepsTheAlertCurrent) {
    viewers_->add(L"c");
    auto alert = makeScripted({L"c"});
    alert->waitResult = false;
    ASSERT_TRUE(dispatcher_->show(alert));

    EXPECT_FALSE(dispatcher_->wait());

    EXPECT_TRUE(log_->Contains(LevelInformation,
                               L"Vantrel Alert Status Timeout. Alert id: ALERT-1, Instance id: 7"));
    const auto events = telemetry_->named(L"Vantrel.Alert.TimeOut");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(dimension(events[0], L"Hit.Label.1"), L"c");
    EXPECT_EQ(dimension(events[0], L"Hit.GUID"), L"ALERT-1");
    EXPECT_EQ(dispatcher_->current(), alert);
}

TEST_F(AlertDispatcherTest, DismissIfShowingOnlyForTheCurrentInstance) {
    viewers_->add(L"c");
    auto alert = makeScripted({L"c"});
    ASSERT_TRUE(dispatcher_->show(alert));

    EXPECT_FALSE(dispatcher_->dismissIfShowing(L"8"));
    EXPECT_FALSE(dispatcher_->dismissIfShowing(L"07"));
    EXPECT_EQ(alert->dismissCalls, 0);

    EXPECT_TRUE(dispatcher_->dismissIfShowing(L"7"));
    EXPECT_EQ(alert->dismissCalls, 1);
    EXPECT_EQ(dispatcher_->current(), nullptr);
    EXPECT_FALSE(dispatcher_->dismissCurrent());
    EXPECT_EQ(alert->dismissCalls, 1);
}

TEST_F(AlertDispatcherTest, FailedDismissalStillForgetsTheAlert) {
    viewers_->add(L"c");
    auto alert = makeScripted({L"c"});
    alert->dismissResult = false;
    ASSERT_TRUE(dispatcher_->show(alert));
    EXPECT_FALSE(dispatcher_->dismissCurrent());
    EXPECT_EQ(dispatcher_->current(), nullptr);
}

TEST_F(AlertDispatcherTest, ShowTakesDownTheAlertStillCurrentFirst) {
    viewers_->add(L"c");
    auto first = makeScripted({L"c"});
    ASSERT_TRUE(dispatcher_->show(first));
    auto second = makeScripted({L"c"});
    ASSERT_TRUE(dispatcher_->show(second));
    EXPECT_EQ(first->dismissCalls, 1);
    EXPECT_EQ(dispatcher_->current(), second);
}

TEST_F(AlertDispatcherTest, ShowOfNoAlertFails) {
    EXPECT_FALSE(dispatcher_->show(nullptr));
    EXPECT_TRUE(log_->Contains(LevelError, L"Failed to show alert due to null."));
}

TEST_F(AlertDispatcherTest, DeleteWhileWaitingEndsBothWaitsWithTheClosingReport) {
    ViewerNeighbour& c = addViewer(L"c");
    c.setShowClosing(ViewerNeighbour::ClosingMode::Never);
    auto alert = std::make_shared<SignallingAlert>(makeInfo({L"c"}), bus_.openClient());
    ASSERT_TRUE(dispatcher_->show(alert));

    auto waited = std::async(std::launch::async, [this] { return dispatcher_->wait(); });
    ASSERT_EQ(alert->waiting.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(dispatcher_->dismissIfShowing(L"7"));
    ASSERT_EQ(waited.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(waited.get());

    EXPECT_EQ(dispatcher_->current(), nullptr);
    const auto requests = c.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].kind, L"Show");
    EXPECT_EQ(requests[1].kind, L"Delete");
    EXPECT_TRUE(telemetry_->named(L"Vantrel.Alert.TimeOut").empty());
}

TEST_F(AlertDispatcherTest, AShowCutShortByTheStopIsStillTakenDown) {
    // The viewer holds the Show request and has not answered when the stop comes.
    ViewerNeighbour& c = addViewer(L"c");
    c.setShowReply(ViewerNeighbour::ReplyMode::None);
    c.setShowClosing(ViewerNeighbour::ClosingMode::Never);
    c.setDeleteReply(ViewerNeighbour::ReplyMode::None);
    auto alert = makeAlert({L"c"});
    auto shown = std::async(std::launch::async, [this, alert] { return dispatcher_->show(alert); });
    ASSERT_TRUE(c.waitForRequests(1, 20000));
    dispatcher_->interrupt();
    ASSERT_EQ(shown.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_FALSE(shown.get());
    EXPECT_TRUE(telemetry_->named(L"Vantrel.Warning.ViewerFailure").empty());

    // The take-down reaches that viewer without waiting for its answer.
    EXPECT_FALSE(dispatcher_->lastShowStoppedUnheld());
    EXPECT_EQ(dispatcher_->current(), alert);
    EXPECT_FALSE(dispatcher_->dismissCurrent());
    ASSERT_TRUE(c.waitForRequests(2, 20000));
    EXPECT_EQ(c.requests()[1].kind, L"Delete");
}

TEST_F(AlertDispatcherTest, AStopDuringTheContentRequestAsksNoViewerAndReportsNothing) {
    ViewerNeighbour& c = addViewer(L"c");
    Drem::testing::BusRecorder recorder(
        observer_, L"Vantrel\\.Alert\\.ALERT-1\\.Failed\\.7|sustainability\\.collect\\.logs");
    ASSERT_TRUE(recorder.subscribed());
    plugins_->holdContent(true);
    auto alert = makeAlert({L"c"});
    auto shown = std::async(std::launch::async, [this, alert] { return dispatcher_->show(alert); });
    ASSERT_TRUE(plugins_->waitForContentCalls(1));
    dispatcher_->interrupt();
    plugins_->holdContent(false);
    ASSERT_EQ(shown.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_FALSE(shown.get());

    // The alert is free for another dispatcher.
    EXPECT_TRUE(dispatcher_->lastShowStoppedUnheld());
    EXPECT_EQ(dispatcher_->current(), nullptr);
    ASSERT_TRUE(bus_.waitIdle());
    EXPECT_TRUE(c.requests().empty());
    EXPECT_TRUE(recorder.messages().empty());
    EXPECT_TRUE(telemetry_->named(L"Vantrel.Failed.Show").empty());
}

}  // namespace
