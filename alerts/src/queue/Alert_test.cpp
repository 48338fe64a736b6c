#include "alerts/src/queue/Alert.h"

#include "alerts/src/common/UnixTime.h"
#include "alerts/src/common/testing/BusRecorder.h"
#include "alerts/src/common/testing/RecordingTelemetry.h"
#include "neighbours/MessageBus/MessageBusScript.h"
#include "neighbours/SettingsManager/testing/InProcessBus.h"
#include "neighbours/viewer/ViewerNeighbour.h"
#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <future>
#include <limits>
#include <string>
#include <vector>

using Drem::Alert;
using Drem::AlertInfo;
using Drem::AlertViewer;
using Neighbours::ViewerNeighbour;
using Closing = Neighbours::ViewerNeighbour::ClosingMode;
using ReplyMode = Neighbours::ViewerNeighbour::ReplyMode;

namespace {

const std::wstring kContext =
    L"{\"title\":\"T\",\"defaultcontent\":\"D\",\"detailscontent\":\"X\",\"actions\":[]}";
constexpr std::int64_t kLongWait = 60;
constexpr DWORD kSignalTimeoutMs = 10000;

// The alert's, the module's (viewer proxies), the viewer's and an observer's
// handles on the bus neighbour.
class AlertTest : public ::testing::Test {
public:
    void SetUp() override {
        ASSERT_TRUE(bus_.ok());
        bus_.script<VtBusScript_Reset_t>("VtBusScript_Reset")();
        alertBus_ = bus_.openClient();
        moduleBus_ = bus_.openClient();
        viewerBus_ = bus_.openClient();
        observerBus_ = bus_.openClient();
        ASSERT_TRUE(alertBus_ && moduleBus_ && viewerBus_ && observerBus_);
        viewer_ = std::make_unique<ViewerNeighbour>(viewerBus_, L"v1");
        ASSERT_TRUE(viewer_->start());
        proxy_ = std::make_shared<AlertViewer>(L"v1", moduleBus_, 10000);
    }

    void TearDown() override {
        bus_.waitIdle();
        proxy_.reset();
        viewer_.reset();
        alertBus_.reset();
        moduleBus_.reset();
        viewerBus_.reset();
        observerBus_.reset();
        bus_.script<VtBusScript_Reset_t>("VtBusScript_Reset")();
    }

    std::shared_ptr<Alert> makeAlert(const std::wstring& id = L"A1", const std::wstring& instance = L"7",
                                     std::int64_t dismissWait = kLongWait) {
        AlertInfo info;
        info.id = id;
        info.instanceId = instance;
        info.product = L"P";
        info.priority = 2;
        info.preferredViewer = {L"v1"};
        info.context = kContext;
        return std::make_shared<Alert>(std::move(info), alertBus_, dismissWait);
    }

    std::shared_ptr<Alert> shownAlert(const std::wstring& id = L"A1", std::int64_t dismissWait = kLongWait) {
        auto alert = makeAlert(id, L"7", dismissWait);
        alert->setViewer(proxy_);
        EXPECT_TRUE(alert->show());
        return alert;
    }

    std::size_t journalCount(const std::wstring& start) {
        const auto count = bus_.script<VtBusScript_JournalCount_t>("VtBusScript_JournalCount");
        const auto entry = bus_.script<VtBusScript_JournalEntry_t>("VtBusScript_JournalEntry");
        std::size_t found = 0;
        for (std::uint32_t i = 0; i < count(); ++i) {
            wchar_t line[512];
            const std::uint32_t length = entry(i, line, 512);
            if (std::wstring(line, std::min<std::uint32_t>(length, 511)).rfind(start, 0) == 0) {
                ++found;
            }
        }
        return found;
    }

    void publish(const std::wstring& name) {
        observerBus_->publish(Tessil::Message::create(name, L"test", L""));
        bus_.waitIdle();
    }

    ETWLogging::testing::ScopedCapturingLogger logger_;
    Drem::testing::ScopedRecordingTelemetry telemetry_;
    BusTesting::InProcessBus bus_;
    std::shared_ptr<Tessil::MessageBusClient> alertBus_;
    std::shared_ptr<Tessil::MessageBusClient> moduleBus_;
    std::shared_ptr<Tessil::MessageBusClient> viewerBus_;
    std::shared_ptr<Tessil::MessageBusClient> observerBus_;
    std::unique_ptr<ViewerNeighbour> viewer_;
    std::shared_ptr<AlertViewer> proxy_;
};

}  // namespace

struct OddIdCase {
    const char* name;
    std::wstring id;
};

class OddIdTest : public AlertTest, public ::testing::WithParamInterface<OddIdCase> {};

TEST_P(OddIdTest, IdsAreNeverReadAsExpressions) {
    viewer_->setShowClosing(Closing::Dismissed);
    auto alert = shownAlert(GetParam().id);
    auto waited = std::async(std::launch::async, [alert] { return alert->wait(kLongWait); });
    ASSERT_EQ(waited.wait_for(std::chrono::milliseconds(kSignalTimeoutMs)), std::future_status::ready);
    EXPECT_TRUE(waited.get());

    // A normal alert after it is shown and closed as ever.
    auto next = shownAlert(L"A1");
    auto closed = std::async(std::launch::async, [next] { return next->wait(kLongWait); });
    ASSERT_EQ(closed.wait_for(std::chrono::milliseconds(kSignalTimeoutMs)), std::future_status::ready);
    EXPECT_TRUE(closed.get());
    // Only the viewer's own two expressions were ever subscribed.
    EXPECT_EQ(journalCount(L"subscribeFilter"), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Ids, OddIdTest,
    ::testing::Values(OddIdCase{"TwentyThousandLetters", std::wstring(20000, L'a')},
                      OddIdCase{"NestedParentheses", std::wstring(6000, L'(') + L"x" + std::wstring(6000, L')')},
                      OddIdCase{"CatastrophicBacktracking", L"(x+x+)+y"},
                      OddIdCase{"Unbalanced", L"("},
                      OddIdCase{"BracesAndOperators", L"{A.B}|*"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AlertTest, DataOperations) {
    const std::int64_t before = Drem::unixTimeNow100ns();
    auto alert = makeAlert();
    const std::int64_t after = Drem::unixTimeNow100ns();
    EXPECT_GE(alert->getQueuedTime(), before);
    EXPECT_LE(alert->getQueuedTime(), after);
    EXPECT_EQ(alert->getAlertContent().title, L"T");
    EXPECT_FALSE(alert->isShown());
    EXPECT_EQ(alert->getViewer(), nullptr);

    alert->setContent(L"content for v1");
    EXPECT_EQ(alert->getContent(), L"content for v1");
    EXPECT_EQ(alert->getAlertInfo().content, L"content for v1");

    AlertInfo replaced;
    replaced.id = L"B";
    replaced.context = L"{\"title\":\"other\"}";
    alert->setAlertInfo(replaced);
    EXPECT_EQ(alert->getAlertInfo().id, L"B");
    EXPECT_EQ(alert->getAlertContent().title, L"T") << "the content record is not read again";

    auto other = makeAlert();
    other->getAlertInfo().priority = 3;
    alert->getAlertInfo().priority = -2;
    EXPECT_TRUE(alert->isHigherPriority(*other));
    EXPECT_FALSE(other->isHigherPriority(*alert));
    other->getAlertInfo().priority = -2;
    EXPECT_FALSE(alert->isHigherPriority(*other));
}

TEST_F(AlertTest, PreferredViewersText) {
    struct Case {
        std::vector<std::wstring> viewers;
        std::wstring text;
    };
    const Case cases[] = {{{}, L""}, {{L"a"}, L"a"}, {{L"a", L"b", L"c"}, L"a,b,c"}, {{L"", L"x"}, L",x"}};
    auto alert = makeAlert();
    for (const Case& c : cases) {
        alert->getAlertInfo().preferredViewer = c.viewers;
        EXPECT_EQ(alert->preferredViewersText(), c.text);
    }
}

TEST_F(AlertTest, WithoutAViewerOrBeforeShowingNothingIsSent) {
    auto alert = makeAlert();
    EXPECT_FALSE(alert->show());
    EXPECT_FALSE(alert->isShown());
    EXPECT_FALSE(alert->wait(kLongWait));
    EXPECT_FALSE(alert->dismiss());
    bus_.waitIdle();
    EXPECT_TRUE(viewer_->requests().empty());
    EXPECT_EQ(journalCount(L"subscribeFilter"), 0u + 2u) << "only the viewer's own subscriptions";
}

TEST_F(AlertTest, AClosingReportEndsTheWait) {
    for (Closing closing : {Closing::Dismissed, Closing::Failed}) {
        viewer_->setShowClosing(closing);
        auto alert = shownAlert();
        EXPECT_TRUE(alert->isShown());
        EXPECT_TRUE(alert->wait(kLongWait));
        EXPECT_TRUE(alert->wait(0)) << "responded stays true";
        const auto requests = viewer_->requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back().payload, AlertInfo::toJson(alert->getAlertInfo()));
        EXPECT_EQ(requests.back().name, L"Vantrel.Viewer.v1.Show.7");
        // Responded: no Delete request.
        EXPECT_TRUE(alert->dismiss());
        EXPECT_EQ(viewer_->requests().size(), requests.size());
    }
}

TEST_F(AlertTest, ShowTwiceSendsOneRequestUntilShownIsReset) {
    viewer_->setShowClosing(Closing::Never);
    auto alert = shownAlert();
    EXPECT_TRUE(alert->show());
    bus_.waitIdle();
    EXPECT_EQ(viewer_->requests().size(), 1u);
    EXPECT_TRUE(alert->resetShown());
    EXPECT_FALSE(alert->resetShown());
    EXPECT_FALSE(alert->isShown());
    EXPECT_TRUE(alert->show());
    EXPECT_EQ(viewer_->requests().size(), 2u);
    // Both subscriptions end with the wait: a later report is not seen.
    EXPECT_FALSE(alert->wait(0));
    publish(L"Vantrel.Alert.A1.Dismissed.7");
    EXPECT_FALSE(alert->wait(0));
}

TEST_F(AlertTest, AFailedShowLeavesShownAndTheSubscription) {
    viewer_->setShowReply(ReplyMode::WrongCase);
    viewer_->setShowClosing(Closing::Never);
    auto alert = makeAlert();
    alert->setViewer(proxy_);
    EXPECT_FALSE(alert->show());
    EXPECT_TRUE(alert->isShown());
    publish(L"Vantrel.Alert.A1.Failed.7");
    EXPECT_TRUE(alert->wait(0));
}

TEST_F(AlertTest, AClosingReportCountsOnlyForTheShowItBelongsTo) {
    // The first viewer fails the show and reports the alert failed.
    viewer_->setShowReply(ReplyMode::WrongCase);
    viewer_->setShowClosing(Closing::Failed);
    ViewerNeighbour second(viewerBus_, L"v2");
    ASSERT_TRUE(second.start());
    second.setShowClosing(Closing::Never);
    auto alert = makeAlert();
    alert->setViewer(proxy_);
    EXPECT_FALSE(alert->show());
    bus_.waitIdle();  // the first viewer's report has been delivered

    alert->resetShown();
    alert->setViewer(std::make_shared<AlertViewer>(L"v2", moduleBus_, 10000));
    ASSERT_TRUE(alert->show());
    EXPECT_FALSE(alert->wait(0)) << "the next viewer's show is not closed yet";
    // The take-down asks the viewer that shows it.
    EXPECT_TRUE(alert->dismiss());
    const auto requests = second.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].name, L"Vantrel.Viewer.v2.Delete.7");
    second.stop();
}

TEST_F(AlertTest, ReportsOfOtherAlertsAndOtherWordsAreNotSeen) {
    viewer_->setShowClosing(Closing::Never);
    auto alert = shownAlert();
    for (const wchar_t* name : {L"Vantrel.Alert.A1.Shown.7", L"Vantrel.Alert.A2.Dismissed.7",
                                L"Vantrel.Alert.A1.Dismissed.71", L"Vantrel.Alert.A1.Dismissed.8",
                                L"Vantrel.Alert.a1.Dismissed.7", L"Other.Vantrel.Alert.A1.Dismissed.7"}) {
        publish(name);
        EXPECT_FALSE(alert->wait(0)) << name;
        // wait ended the subscription: show again for the next name.
        alert->resetShown();
        ASSERT_TRUE(alert->show());
    }
    publish(L"Vantrel.Alert.A1.Dismissed.7");
    EXPECT_TRUE(alert->wait(0));
}

TEST_F(AlertTest, BracedIdsAreMatched) {
    viewer_->setShowClosing(Closing::Dismissed);
    auto alert = shownAlert(L"{834C46D9-6762-4FF9-8279-2C04C8B1162C}");
    EXPECT_TRUE(alert->wait(kLongWait));
}

TEST_F(AlertTest, OneLateReportWakesTheWaitAndTheDismissal) {
    viewer_->setShowClosing(Closing::Late);
    viewer_->setDeleteClosing(Closing::Late);
    auto alert = shownAlert();
    auto waited = std::async(std::launch::async, [alert] { return alert->wait(kLongWait); });
    auto dismissed = std::async(std::launch::async, [alert] { return alert->dismiss(); });
    ASSERT_TRUE(viewer_->waitForRequests(2, kSignalTimeoutMs));
    EXPECT_EQ(viewer_->requests()[1].name, L"Vantrel.Viewer.v1.Delete.7");
    EXPECT_EQ(viewer_->releaseLateReports(), 2u);
    ASSERT_EQ(waited.wait_for(std::chrono::milliseconds(kSignalTimeoutMs)), std::future_status::ready);
    ASSERT_EQ(dismissed.wait_for(std::chrono::milliseconds(kSignalTimeoutMs)), std::future_status::ready);
    EXPECT_TRUE(waited.get());
    EXPECT_TRUE(dismissed.get());
}

TEST_F(AlertTest, HugeWaitsStillWaitForTheReport) {
    viewer_->setShowClosing(Closing::Late);
    for (std::int64_t seconds : {std::int64_t{4294967295LL}, std::int64_t{4294967295LL} + 30,
                                 std::numeric_limits<std::int64_t>::max()}) {
        auto alert = shownAlert();
        auto waited = std::async(std::launch::async, [alert, seconds] { return alert->wait(seconds); });
        // A wait that gave up at once would answer false before the report.
        EXPECT_EQ(waited.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout) << seconds;
        EXPECT_EQ(viewer_->releaseLateReports(), 1u);
        ASSERT_EQ(waited.wait_for(std::chrono::milliseconds(kSignalTimeoutMs)), std::future_status::ready);
        EXPECT_TRUE(waited.get()) << seconds;
    }
}

TEST_F(AlertTest, DismissAnswersFalseWhenTheViewerFailsOrNeverCloses) {
    struct Case {
        const char* what;
        ReplyMode deleteReply;
        Closing deleteClosing;
    };
    const Case cases[] = {
        {"reply of another name", ReplyMode::WrongCase, Closing::Never},
        {"confirmed, no closing report", ReplyMode::Normal, Closing::Never},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        viewer_->setShowClosing(Closing::Never);
        viewer_->setDeleteReply(c.deleteReply);
        viewer_->setDeleteClosing(c.deleteClosing);
        auto alert = shownAlert(L"A1", 0);
        EXPECT_FALSE(alert->dismiss());
    }
}

TEST_F(AlertTest, DismissAfterAWaitThatRanOutSeesTheViewersReport) {
    viewer_->setShowClosing(Closing::Never);
    viewer_->setDeleteClosing(Closing::Late);
    auto alert = shownAlert();
    EXPECT_FALSE(alert->wait(0));
    auto dismissed = std::async(std::launch::async, [alert] { return alert->dismiss(); });
    ASSERT_TRUE(viewer_->waitForRequests(2, kSignalTimeoutMs));
    EXPECT_EQ(viewer_->releaseLateReports(), 1u);
    ASSERT_EQ(dismissed.wait_for(std::chrono::milliseconds(kSignalTimeoutMs)), std::future_status::ready);
    EXPECT_TRUE(dismissed.get());
}

TEST_F(AlertTest, ADestroyedAlertLeavesNoSubscriptionOnASharedBus) {
    viewer_->setShowClosing(Closing::Never);
    const std::size_t before = journalCount(L"unsubscribe ");
    {
        auto alert = shownAlert();
    }
    // One unsubscription for each of the two closing reports.
    EXPECT_EQ(journalCount(L"unsubscribe "), before + 2);
    publish(L"Vantrel.Alert.A1.Dismissed.7");
    {
        // A waited alert ends its subscription once.
        auto alert = shownAlert();
        EXPECT_FALSE(alert->wait(0));
        EXPECT_FALSE(alert->wait(0));
    }
    EXPECT_EQ(journalCount(L"unsubscribe "), before + 4);
    EXPECT_FALSE(logger_->Contains(ETWLogging::LevelWarning, L"Subscription not found"));
}
