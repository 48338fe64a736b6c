#include "alerts/src/viewers/AlertViewer.h"

#include "alerts/src/common/testing/BusRecorder.h"
#include "alerts/src/common/testing/IdleBus.h"
#include "alerts/src/common/testing/RecordingTelemetry.h"
#include "framework/message/ModuleStatus.h"
#include "neighbours/MessageBus/MessageBusScript.h"
#include "neighbours/SettingsManager/testing/InProcessBus.h"
#include "neighbours/viewer/ViewerNeighbour.h"
#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using Drem::AlertViewer;
using Drem::testing::BusRecorder;
using Drem::testing::Dimensions;
using Drem::testing::ScopedRecordingTelemetry;
using ETWLogging::testing::ScopedCapturingLogger;
using Neighbours::ViewerNeighbour;

namespace {

const std::wstring kPayload = L"{\"id\":\"A1\",\"instanceId\":\"7\",\"priority\":2}";
constexpr std::uint64_t kShortTimeoutMs = 300;

std::wstring decimal(std::uint32_t value) { return std::to_wstring(value); }

Dimensions viewerFailureEvent(const std::wstring& viewerId, std::uint32_t outcome) {
    return {{L"UniqueIdentifier", L"Vantrel.Warning.ViewerFailure"},
            {L"Event.Category", L"Drem"},
            {L"Event.Action", L"VT warning-Failed to show Viewer"},
            {L"Event.Label", viewerId},
            {L"Interactive", L"false"},
            {L"UserInitiated", L"false"},
            {L"Sub.Category", L"Vantrel"},
            {L"Tertiary.Category", L"Warning"},
            {L"Hit.GUID", L"A1"},
            {L"Hit.Result", decimal(outcome)}};
}

Dimensions failedDismissEvent(const std::wstring& viewerId, std::uint32_t outcome) {
    return {{L"UniqueIdentifier", L"Vantrel.Failed.Dismiss"},
            {L"Event.Category", L"Drem"},
            {L"Event.Action", L"VT failed to Dismiss Alert"},
            {L"Event.Label", L"Dismiss"},
            {L"Interactive", L"false"},
            {L"UserInitiated", L"false"},
            {L"Sub.Category", L"Vantrel"},
            {L"Tertiary.Category", L"Failure"},
            {L"Hit.GUID", L"A1"},
            {L"Hit.Result", decimal(outcome)},
            {L"Hit.Label.1", viewerId}};
}

// The module's, the viewer's and an observer's handles on the bus neighbour.
class AlertViewerTest : public ::testing::Test {
public:
    void SetUp() override {
        ASSERT_TRUE(bus_.ok());
        bus_.script<VtBusScript_Reset_t>("VtBusScript_Reset")();
        moduleBus_ = bus_.openClient();
        viewerBus_ = bus_.openClient();
        observerBus_ = bus_.openClient();
        ASSERT_TRUE(moduleBus_ && viewerBus_ && observerBus_);
        viewer_ = std::make_unique<ViewerNeighbour>(viewerBus_, L"v1");
        ASSERT_TRUE(viewer_->start());
        viewer_->setShowClosing(ViewerNeighbour::ClosingMode::Never);
        viewer_->setDeleteClosing(ViewerNeighbour::ClosingMode::Never);
        alerts_ = std::make_unique<BusRecorder>(observerBus_, L"Vantrel\\.Alert\\..*");
        ASSERT_TRUE(alerts_->subscribed());
    }

    void TearDown() override {
        bus_.waitIdle();
        alerts_.reset();
        viewer_.reset();
        moduleBus_.reset();
        viewerBus_.reset();
        observerBus_.reset();
        bus_.script<VtBusScript_Reset_t>("VtBusScript_Reset")();
    }

    AlertViewer makeViewer(const std::wstring& id = L"v1", std::uint64_t timeoutMs = 10000) {
        return AlertViewer(id, moduleBus_, timeoutMs);
    }

    BusTesting::InProcessBus bus_;
    std::shared_ptr<Tessil::MessageBusClient> moduleBus_;
    std::shared_ptr<Tessil::MessageBusClient> viewerBus_;
    std::shared_ptr<Tessil::MessageBusClient> observerBus_;
    std::unique_ptr<ViewerNeighbour> viewer_;
    std::unique_ptr<BusRecorder> alerts_;
    ScopedCapturingLogger logger_;
    ScopedRecordingTelemetry telemetry_;
};

// A bus whose requests complete with a chosen reply status.
class ScriptedReplyBus : public Drem::testing::IdleBus {
public:
    class FixedReply : public Tessil::Reply {
    public:
        explicit FixedReply(Tessil::ReplyStatus status) : status_(status) {}
        Tessil::ReplyStatus getStatus() override { return status_; }
        std::shared_ptr<Tessil::Message> getMessage() override { return nullptr; }
        Tessil::ReplyStatus wait() override { return status_; }
        Tessil::ReplyStatus waitFor(const std::int64_t&) override { return status_; }

    private:
        Tessil::ReplyStatus status_;
    };

    explicit ScriptedReplyBus(Tessil::ReplyStatus status) : status_(status) {}
    std::uint32_t publish(const std::shared_ptr<Tessil::Message>& message) override {
        published.push_back(message->getName());
        return 0;
    }
    std::uint32_t publishEx(const std::shared_ptr<Tessil::Message>& message) override {
        return publish(message);
    }
    std::uint32_t request(const std::shared_ptr<Tessil::Message>&, Tessil::ReplyHandler,
                          const std::uint64_t&) override {
        return MODULE_STATUS_NOT_IMPLEMENTED;
    }
    std::uint32_t request(const std::shared_ptr<Tessil::Message>& message,
                          std::shared_ptr<Tessil::Reply>& reply, const std::uint64_t& timeout) override {
        return requestEx(message, reply, timeout);
    }
    std::uint32_t requestEx(const std::shared_ptr<Tessil::Message>& message, Tessil::ReplyHandler handler,
                            const std::uint64_t& timeout) override {
        std::shared_ptr<Tessil::Reply> reply;
        requestEx(message, reply, timeout);
        if (handler) {
            handler(reply);
        }
        return 0;
    }
    std::uint32_t requestEx(const std::shared_ptr<Tessil::Message>& message,
                            std::shared_ptr<Tessil::Reply>& reply, const std::uint64_t& timeout) override {
        requested.push_back(message->getName());
        timeouts.push_back(timeout);
        reply = std::make_shared<FixedReply>(status_);
        return 0;
    }

    std::vector<std::wstring> requested;
    std::vector<std::uint64_t> timeouts;
    std::vector<std::wstring> published;

private:
    Tessil::ReplyStatus status_;
};

}  // namespace

TEST(AlertViewerNames, RequestsGoToTheViewersNamesWithTheDefaultTimeout) {
    auto bus = std::make_shared<ScriptedReplyBus>(Tessil::REPLY_STATUS_FAILED);
    ScopedRecordingTelemetry telemetry;
    AlertViewer viewer(L"Some.Viewer", bus);
    EXPECT_EQ(viewer.getId(), L"Some.Viewer");
    viewer.sendShowRequest(kPayload, L"A1", L"12");
    viewer.sendDismissRequest(L"A1", L"12");
    EXPECT_EQ(bus->requested, (std::vector<std::wstring>{L"Vantrel.Viewer.Some.Viewer.Show.12",
                                                         L"Vantrel.Viewer.Some.Viewer.Delete.12"}));
    EXPECT_EQ(bus->timeouts, (std::vector<std::uint64_t>{90000, 90000}));
}

TEST(AlertViewerNames, AReplyThatFailsOrTimesOutGivesItsOutcome) {
    struct Case {
        Tessil::ReplyStatus status;
        std::uint32_t outcome;
        const wchar_t* logged;
    };
    const Case cases[] = {
        {Tessil::REPLY_STATUS_FAILED, MODULE_STATUS_DATA_ERROR, L"Request failed with status 3."},
        {Tessil::REPLY_STATUS_PENDING, MODULE_STATUS_DATA_ERROR, L"Request failed with status 1."},
        {Tessil::REPLY_STATUS_TIMED_OUT, MODULE_STATUS_TIMEOUT, L"Request failed with status 2."},
    };
    for (const Case& c : cases) {
        ScopedCapturingLogger logger;
        ScopedRecordingTelemetry telemetry;
        auto bus = std::make_shared<ScriptedReplyBus>(c.status);
        AlertViewer viewer(L"v1", bus);
        EXPECT_EQ(viewer.sendShowRequest(kPayload, L"A1", L"7"), c.outcome) << c.status;
        EXPECT_EQ(viewer.sendDismissRequest(L"A1", L"7"), c.outcome) << c.status;
        EXPECT_EQ(logger->Count(ETWLogging::LevelError, c.logged), 2u) << c.status;
        EXPECT_FALSE(viewer.show(kPayload, L"A1", L"7"));
        EXPECT_FALSE(viewer.dismiss(L"A1", L"7"));
        EXPECT_EQ(telemetry->named(L"Vantrel.Warning.ViewerFailure"),
                  std::vector<Dimensions>{viewerFailureEvent(L"v1", c.outcome)});
        EXPECT_EQ(telemetry->named(L"Vantrel.Failed.Dismiss"),
                  std::vector<Dimensions>{failedDismissEvent(L"v1", c.outcome)});
        EXPECT_EQ(bus->published, std::vector<std::wstring>{L"Vantrel.Alert.A1.Failed.7"});
    }
}

TEST_F(AlertViewerTest, ShowConfirmedByTheViewer) {
    AlertViewer viewer = makeViewer();
    EXPECT_TRUE(viewer.show(kPayload, L"A1", L"7"));
    const auto requests = viewer_->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].name, L"Vantrel.Viewer.v1.Show.7");
    EXPECT_EQ(requests[0].source, L"Vantrel");
    EXPECT_EQ(requests[0].payload, kPayload);
    bus_.waitIdle();
    EXPECT_TRUE(telemetry_->events().empty());
    EXPECT_TRUE(alerts_->messages().empty());
    EXPECT_EQ(logger_->Count(ETWLogging::LevelError, L""), 0u);
}

TEST_F(AlertViewerTest, ShowFailuresGiveTheirOutcomeAndAWarningEvent) {
    struct Case {
        const char* what;
        std::wstring viewerId;
        std::function<void(AlertViewerTest&)> script;
        std::uint64_t timeoutMs;
        std::uint32_t outcome;
        std::wstring logged;
    };
    const Case cases[] = {
        {"reply name in other letter case", L"v1",
         [](AlertViewerTest& t) { t.viewer_->setShowReply(ViewerNeighbour::ReplyMode::WrongCase); },
         10000, MODULE_STATUS_UNSUCCESSFUL,
         L"Received invalid response message: Vantrel.Alert.A1.shown.7, expected: Vantrel.Alert.A1.Shown.7."},
        {"no reply", L"v1",
         [](AlertViewerTest& t) { t.viewer_->setShowReply(ViewerNeighbour::ReplyMode::None); },
         kShortTimeoutMs, MODULE_STATUS_TIMEOUT, L"Request failed with status 2."},
        {"the bus times the request out", L"v1",
         [](AlertViewerTest& t) {
             t.bus_.script<VtBusScript_SetRequestTimeoutAtOnce_t>("VtBusScript_SetRequestTimeoutAtOnce")(1);
         },
         10000, MODULE_STATUS_TIMEOUT, L"Request failed with status 2."},
        {"no such viewer", L"nobody", [](AlertViewerTest&) {}, 10000, MODULE_STATUS_NO_SUBSCRIBERS,
         L"Failed to make request, status: MODULE_STATUS_NO_SUBSCRIBERS"},
        {"the request cannot be sent", L"v1",
         [](AlertViewerTest& t) {
             t.bus_.script<VtBusScript_FailNthRequest_t>("VtBusScript_FailNthRequest")(1, MODULE_STATUS_INVALID_STATE);
         },
         10000, MODULE_STATUS_INVALID_STATE, L"Failed to make request, status: MODULE_STATUS_INVALID_STATE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        logger_->Clear();
        telemetry_->clear();
        viewer_->setShowReply(ViewerNeighbour::ReplyMode::Normal);
        c.script(*this);
        AlertViewer viewer = makeViewer(c.viewerId, c.timeoutMs);
        EXPECT_FALSE(viewer.show(kPayload, L"A1", L"7"));
        EXPECT_TRUE(logger_->Contains(ETWLogging::LevelError, c.logged));
        EXPECT_EQ(telemetry_->events(), std::vector<Dimensions>{viewerFailureEvent(c.viewerId, c.outcome)});
        bus_.script<VtBusScript_SetRequestTimeoutAtOnce_t>("VtBusScript_SetRequestTimeoutAtOnce")(0);
    }
    bus_.waitIdle();
    EXPECT_TRUE(alerts_->messages().empty()) << "a failed show publishes nothing";
}

TEST_F(AlertViewerTest, DismissConfirmedByTheViewer) {
    AlertViewer viewer = makeViewer();
    ASSERT_TRUE(viewer.show(kPayload, L"A1", L"7"));
    EXPECT_TRUE(viewer.dismiss(L"A1", L"7"));
    const auto requests = viewer_->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].name, L"Vantrel.Viewer.v1.Delete.7");
    EXPECT_EQ(requests[1].source, L"Vantrel");
    EXPECT_EQ(requests[1].payload, L"");
    EXPECT_TRUE(logger_->Contains(ETWLogging::LevelInformation,
                                  L"Vantrel Alert Status Dismissed. Alert id: A1, Instance id: 7"));
    const Dimensions dismissed{{L"UniqueIdentifier", L"Vantrel.Alert.Dismissed"},
                                       {L"Event.Category", L"Drem"},
                                       {L"Event.Action", L"Dismissed"},
                                       {L"Interactive", L"true"},
                                       {L"UserInitiated", L"false"},
                                       {L"Sub.Category", L"Vantrel"},
                                       {L"Tertiary.Category", L"Dismissal"},
                                       {L"Hit.GUID", L"A1"},
                                       {L"Hit.Label.1", L"v1"}};
    EXPECT_EQ(telemetry_->events(), std::vector<Dimensions>{dismissed});
    bus_.waitIdle();
    EXPECT_TRUE(alerts_->messages().empty());
}

TEST_F(AlertViewerTest, DismissFailuresReportTheAlertFailed) {
    struct Case {
        const char* what;
        std::wstring viewerId;
        std::function<void(AlertViewerTest&)> script;
        std::uint64_t timeoutMs;
        std::uint32_t outcome;
        std::wstring logged;
    };
    const Case cases[] = {
        {"reply name in other letter case", L"v1",
         [](AlertViewerTest& t) { t.viewer_->setDeleteReply(ViewerNeighbour::ReplyMode::WrongCase); },
         10000, MODULE_STATUS_UNSUCCESSFUL,
         L"Received invalid response message: Vantrel.Alert.A1.dismissed.7, expected: "
         L"Vantrel.Alert.A1.Dismissed.7."},
        {"no reply", L"v1",
         [](AlertViewerTest& t) { t.viewer_->setDeleteReply(ViewerNeighbour::ReplyMode::None); },
         kShortTimeoutMs, MODULE_STATUS_TIMEOUT, L"Request failed with status 2."},
        {"no such viewer", L"nobody", [](AlertViewerTest&) {}, 10000, MODULE_STATUS_NO_SUBSCRIBERS,
         L"Failed to make request, status: MODULE_STATUS_NO_SUBSCRIBERS"},
        {"the request cannot be sent, whatever the status", L"v1",
         [](AlertViewerTest& t) {
             t.bus_.script<VtBusScript_FailNthRequest_t>("VtBusScript_FailNthRequest")(1, MODULE_STATUS_INVALID_STATE);
         },
         10000, MODULE_STATUS_NO_SUBSCRIBERS, L"Failed to make request, status: MODULE_STATUS_INVALID_STATE"},
    };
    std::size_t failedReports = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AlertViewer viewer = makeViewer(c.viewerId, c.timeoutMs);
        viewer_->setDeleteReply(ViewerNeighbour::ReplyMode::Normal);
        if (c.viewerId == L"v1") {
            ASSERT_TRUE(viewer.show(kPayload, L"A1", L"7"));
        }
        logger_->Clear();
        telemetry_->clear();
        c.script(*this);
        EXPECT_FALSE(viewer.dismiss(L"A1", L"7"));
        EXPECT_TRUE(logger_->Contains(ETWLogging::LevelError, c.logged));
        EXPECT_EQ(telemetry_->events(), std::vector<Dimensions>{failedDismissEvent(c.viewerId, c.outcome)});
        ASSERT_TRUE(alerts_->waitFor(++failedReports));
        const auto reported = alerts_->messages().back();
        EXPECT_EQ(reported.name, L"Vantrel.Alert.A1.Failed.7");
        EXPECT_EQ(reported.source, Tessil::Message::defaultSender());
        EXPECT_EQ(reported.payload, L"");
    }
}
