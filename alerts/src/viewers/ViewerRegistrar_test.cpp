#include "alerts/src/viewers/ViewerRegistrar.h"

#include "alerts/src/common/testing/BusRecorder.h"
#include "alerts/src/common/testing/RecordingTelemetry.h"
#include "framework/settings/SettingsManagerClient.h"
#include "neighbours/MessageBus/MessageBusScript.h"
#include "neighbours/SettingsManager/SettingsManagerNeighbour.h"
#include "neighbours/SettingsManager/testing/InProcessBus.h"
#include "neighbours/viewer/ViewerNeighbour.h"
#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using Drem::ViewerRegistrar;
using Drem::testing::BusRecorder;
using ETWLogging::testing::ScopedCapturingLogger;
using Neighbours::SettingsManagerNeighbour;
using Neighbours::ViewerNeighbour;

namespace {

const std::uint64_t kTimeout = 5000;
const std::uint64_t kShortTimeout = 300;

std::vector<std::wstring> sorted(std::vector<std::wstring> names) {
    std::sort(names.begin(), names.end());
    return names;
}

// The registrar's, the settings manager's, a registration tool's and an
// observer's handles on the bus neighbour.
class ViewerRegistrarTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.ok());
        bus_.script<VtBusScript_Reset_t>("VtBusScript_Reset")();
        registrarBus_ = bus_.openClient();
        settingsBus_ = bus_.openClient();
        toolBus_ = bus_.openClient();
        observerBus_ = bus_.openClient();
        ASSERT_TRUE(registrarBus_ && settingsBus_ && toolBus_ && observerBus_);
        settings_ = std::make_unique<SettingsManagerNeighbour>(settingsBus_);
        ASSERT_TRUE(settings_->start());
        tool_ = std::make_unique<Tessil::SettingsManagerClient>(toolBus_);
        announcements_ = std::make_unique<BusRecorder>(
            observerBus_, L"Vantrel\\.Viewer\\..*\\.(Registered|Unregistered)");
        ASSERT_TRUE(announcements_->subscribed());
    }

    void TearDown() override {
        bus_.waitIdle();
        registrar_.reset();
        announcements_.reset();
        tool_.reset();
        settings_.reset();
        registrarBus_.reset();
        settingsBus_.reset();
        toolBus_.reset();
        observerBus_.reset();
        bus_.script<VtBusScript_Reset_t>("VtBusScript_Reset")();
    }

    ViewerRegistrar& makeRegistrar(std::uint64_t loadTimeout = kTimeout) {
        registrar_ = std::make_unique<ViewerRegistrar>(registrarBus_, nullptr, loadTimeout);
        return *registrar_;
    }

    // The handle number of the first journal line that starts with call and
    // holds text; empty when there is none.
    std::wstring journalHandle(const std::wstring& call, const std::wstring& text) {
        const auto count = bus_.script<VtBusScript_JournalCount_t>("VtBusScript_JournalCount");
        const auto entry = bus_.script<VtBusScript_JournalEntry_t>("VtBusScript_JournalEntry");
        for (std::uint32_t i = 0; i < count(); ++i) {
            wchar_t line[512];
            const std::uint32_t length = entry(i, line, 512);
            const std::wstring journal(line, std::min<std::uint32_t>(length, 511));
            if (journal.rfind(call, 0) == 0 && journal.find(text) != std::wstring::npos) {
                const std::size_t end = journal.find(L' ', call.size());
                return journal.substr(call.size(), end - call.size());
            }
        }
        return std::wstring();
    }

    // Waits for the nth announcement and answers all so far.
    std::vector<std::wstring> announced(std::size_t count) {
        EXPECT_TRUE(announcements_->waitFor(count)) << count;
        bus_.waitIdle();
        return announcements_->names();
    }

    ScopedCapturingLogger logger_;
    Drem::testing::ScopedRecordingTelemetry telemetry_;
    BusTesting::InProcessBus bus_;
    std::shared_ptr<Tessil::MessageBusClient> registrarBus_;
    std::shared_ptr<Tessil::MessageBusClient> settingsBus_;
    std::shared_ptr<Tessil::MessageBusClient> toolBus_;
    std::shared_ptr<Tessil::MessageBusClient> observerBus_;
    std::unique_ptr<SettingsManagerNeighbour> settings_;
    std::unique_ptr<Tessil::SettingsManagerClient> tool_;
    std::unique_ptr<BusRecorder> announcements_;
    std::unique_ptr<ViewerRegistrar> registrar_;
};

}  // namespace

TEST(ViewerRegistrarNames, ParsesTheTextAfterThePrefixAndOneUncheckedSeparator) {
    struct Case {
        std::wstring key;
        bool parsed;
        std::wstring id;
    };
    const Case cases[] = {
        {L"Vantrel/Viewer/v1", true, L"v1"},
        {L"Vantrel/Viewer/", true, L""},
        {L"Vantrel/Viewer-abc", true, L"abc"},
        {L"Vantrel/Viewer/a/b", true, L"a/b"},
        {L"Vantrel/Viewer", false, L"untouched"},
        {L"Vantrel/Vie", false, L"untouched"},
        {L"vantrel/viewer/v1", false, L"untouched"},
        {L"x/Vantrel/Viewer/v1", false, L"untouched"},
        {L"", false, L"untouched"},
    };
    for (const Case& c : cases) {
        std::wstring id = L"untouched";
        EXPECT_EQ(ViewerRegistrar::parseViewerId(c.key, id), c.parsed) << c.key;
        EXPECT_EQ(id, c.id) << c.key;
    }
    EXPECT_EQ(ViewerRegistrar::makeStatusMessageName(L"v1", L"Registered"), L"Vantrel.Viewer.v1.Registered");
    EXPECT_EQ(ViewerRegistrar::makeStatusMessageName(L"", L"Unregistered"), L"Vantrel.Viewer..Unregistered");
}

TEST_F(ViewerRegistrarTest, ConstructionSubscribesAndAsksNothing) {
    makeRegistrar();
    bus_.waitIdle();
    EXPECT_TRUE(settings_->requests().empty());
    settings_->publish(L"SettingsManager.Notify.Set.Vantrel/Viewer/v1", L"{\"name\":\"Vantrel/Viewer/v1\",\"value\":\"{}\"}");
    bus_.waitIdle();
    EXPECT_TRUE(announcements_->messages().empty());
}

TEST_F(ViewerRegistrarTest, StartLoadsEveryStoredViewerAndAnnouncesIt) {
    struct Case {
        int viewers;
        const wchar_t* countLine;
    };
    const Case cases[] = {{3, L"Retrieved viewers from SM: 3"},
                          {10, L"Retrieved viewers from SM: a"},
                          {0, L"Retrieved viewers from SM: 0"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.viewers);
        TearDown();
        SetUp();
        std::vector<std::wstring> expected;
        for (int i = 0; i < c.viewers; ++i) {
            settings_->store(L"Vantrel/Viewer/v" + std::to_wstring(i), L"{}");
            expected.push_back(L"Vantrel.Viewer.v" + std::to_wstring(i) + L".Registered");
        }
        settings_->store(L"Vantrel/Product/p1", L"{}");
        logger_->Clear();
        ViewerRegistrar& registrar = makeRegistrar();
        registrar.start();
        EXPECT_EQ(sorted(announced(expected.size())), sorted(expected));
        EXPECT_TRUE(logger_->Contains(ETWLogging::LevelInformation, c.countLine));
        EXPECT_EQ(logger_->Count(ETWLogging::LevelInformation, L"Adding Viewer to list: Vantrel/Viewer/v"),
                  static_cast<std::size_t>(c.viewers));
        for (const auto& message : announcements_->messages()) {
            EXPECT_EQ(message.source, L"Vantrel");
            EXPECT_EQ(message.payload, L"");
        }
        if (c.viewers > 0) {
            auto viewer = registrar.getViewer(L"v1");
            ASSERT_TRUE(viewer);
            EXPECT_EQ(viewer->getId(), L"v1");
            EXPECT_EQ(registrar.getViewer(L"V1"), nullptr) << "ids are case-sensitive";
            EXPECT_EQ(registrar.getViewer(L"p1"), nullptr);
            EXPECT_FALSE(logger_->Contains(ETWLogging::LevelWarning, L"Reloading the viewers from SettingManager"));
        }
    }
}

TEST_F(ViewerRegistrarTest, KeySetAndRemovedThroughTheSettingsManager) {
    ViewerRegistrar& registrar = makeRegistrar();
    registrar.start();
    ASSERT_TRUE(tool_->setProperty(L"Vantrel/Viewer/v9", L"{}", kTimeout));
    EXPECT_EQ(announced(1), std::vector<std::wstring>{L"Vantrel.Viewer.v9.Registered"});
    auto first = registrar.getViewer(L"v9");
    ASSERT_TRUE(first);

    // Set twice: one viewer object, two lines and two announcements.
    ASSERT_TRUE(tool_->setProperty(L"Vantrel/Viewer/v9", L"{\"other\":1}", kTimeout));
    EXPECT_EQ(announced(2).size(), 2u);
    EXPECT_EQ(registrar.getViewer(L"v9"), first);
    EXPECT_EQ(logger_->Count(ETWLogging::LevelInformation, L"Viewer registered: v9"), 2u);

    ASSERT_TRUE(tool_->removeProperty(L"Vantrel/Viewer/v9", kTimeout));
    EXPECT_EQ(announced(3).back(), L"Vantrel.Viewer.v9.Unregistered");
    EXPECT_TRUE(logger_->Contains(ETWLogging::LevelNormal, L"Viewer unregistered: v9"));
    EXPECT_EQ(registrar.getViewer(L"v9"), nullptr);
    EXPECT_EQ(first->getId(), L"v9") << "a caller's viewer outlives its removal";

    for (const auto& record : logger_->Records()) {
        if (record.text.rfind(L"Viewer registered: ", 0) == 0) {
            EXPECT_EQ(record.function, L"Drem::ViewerRegistrar::addViewer");
        } else if (record.text.rfind(L"Viewer unregistered: ", 0) == 0) {
            EXPECT_EQ(record.function, L"Drem::ViewerRegistrar::removeViewer");
        } else if (record.text.rfind(L"Retrieved viewers from SM", 0) == 0) {
            EXPECT_EQ(record.function, L"Drem::ViewerRegistrar::loadViewers");
        } else if (record.text.rfind(L"Reloading the viewers", 0) == 0) {
            EXPECT_EQ(record.function, L"Drem::ViewerRegistrar::getViewer");
        } else {
            continue;
        }
        EXPECT_EQ(record.file, L"ViewerRegistrar");
    }
}

TEST_F(ViewerRegistrarTest, NotificationEdgeCases) {
    ViewerRegistrar& registrar = makeRegistrar();
    registrar.start();
    struct Case {
        const wchar_t* notification;
        const wchar_t* key;
        const wchar_t* announcement;  // null: none
        ETWLogging::LogLevel level;
        const wchar_t* logged;
    };
    const Case cases[] = {
        {L"SettingsManager.Notify.Delete.", L"Vantrel/Viewer/ghost", L"Vantrel.Viewer.ghost.Unregistered",
         ETWLogging::LevelNormal, L"Viewer unregistered: ghost"},
        {L"SettingsManager.Notify.Set.", L"Vantrel/Viewer/", L"Vantrel.Viewer..Registered",
         ETWLogging::LevelInformation, L"Viewer registered: "},
        {L"SettingsManager.Notify.Set.", L"Vantrel/Viewer-abc", L"Vantrel.Viewer.abc.Registered",
         ETWLogging::LevelInformation, L"Viewer registered: abc"},
        {L"SettingsManager.Notify.Set.", L"Vantrel/Viewer", nullptr, ETWLogging::LevelError,
         L"Failed to parse viewer id. Unable to add viewer. Key: Vantrel/Viewer"},
        {L"SettingsManager.Notify.Delete.", L"Vantrel/Viewer", nullptr, ETWLogging::LevelError,
         L"Failed to parse viewer id. Unable to remove viewer. Key: Vantrel/Viewer"},
    };
    std::size_t count = 0;
    for (const Case& c : cases) {
        const std::wstring key = c.key;
        settings_->publish(c.notification + key, L"{\"name\":\"" + key + L"\",\"value\":\"{}\"}");
        bus_.waitIdle();
        if (c.announcement != nullptr) {
            ASSERT_EQ(announced(++count).back(), c.announcement);
        }
        EXPECT_EQ(announcements_->messages().size(), count) << key;
        EXPECT_TRUE(logger_->Contains(c.level, c.logged)) << key;
    }
    EXPECT_TRUE(registrar.getViewer(L"abc"));
    EXPECT_TRUE(registrar.getViewer(L""));
}

TEST_F(ViewerRegistrarTest, FailedLoadsAreRetriedByLookupsWhileNoViewerIsKnown) {
    struct Case {
        const char* what;
        bool statusFalse;
        bool noAnswer;
        bool wrongName;
        bool failureLogged;  // false: an answer without usable viewers
        const wchar_t* countLine;
        const wchar_t* errorLine;  // null: none
    };
    const Case cases[] = {
        {"status false", true, false, false, false, L"Retrieved viewers from SM: 0", nullptr},
        {"no answer", false, true, false, true, L"Retrieved viewers from SM: 0", nullptr},
        {"names that are no viewer keys", false, false, true, false, L"Retrieved viewers from SM: 1",
         L"Failed to parse viewer id. Unable to add viewer. Key: Other.Vantrel/Viewer/v1"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        settings_->store(L"Vantrel/Viewer/v1", L"{}");
        settings_->setStatusFalse(c.statusFalse);
        settings_->setNoAnswer(c.noAnswer);
        settings_->setWrongReplyName(c.wrongName);
        logger_->Clear();
        auto& logger = logger_;
        ViewerRegistrar& registrar = makeRegistrar(kShortTimeout);
        registrar.start();
        EXPECT_EQ(logger->Contains(ETWLogging::LevelWarning, L"Failed to retrieved registered viewers."),
                  c.failureLogged);
        EXPECT_TRUE(logger->Contains(ETWLogging::LevelInformation, c.countLine));
        if (c.errorLine != nullptr) {
            EXPECT_TRUE(logger->Contains(ETWLogging::LevelError, c.errorLine));
        }
        EXPECT_EQ(registrar.getViewer(L"v1"), nullptr);
        EXPECT_EQ(logger->Count(ETWLogging::LevelWarning, L"Reloading the viewers from SettingManager"), 1u);

        settings_->setStatusFalse(false);
        settings_->setNoAnswer(false);
        settings_->setWrongReplyName(false);
        const std::size_t asked = settings_->requests().size();
        auto viewer = registrar.getViewer(L"v1");
        ASSERT_TRUE(viewer);
        EXPECT_EQ(settings_->requests().size(), asked + 1);
        EXPECT_EQ(logger->Count(ETWLogging::LevelWarning, L"Reloading the viewers from SettingManager"), 2u);
        EXPECT_EQ(announced(1), std::vector<std::wstring>{L"Vantrel.Viewer.v1.Registered"});
        // Known viewers: no further request.
        EXPECT_EQ(registrar.getViewer(L"other"), nullptr);
        EXPECT_EQ(settings_->requests().size(), asked + 1);
    }
}

TEST_F(ViewerRegistrarTest, RefusedSubscriptionsAreLoggedAndTheLoadGoesOn) {
    settings_->store(L"Vantrel/Viewer/v1", L"{}");
    bus_.script<VtBusScript_SetSubscribeRefuse_t>("VtBusScript_SetSubscribeRefuse")(1);
    ViewerRegistrar& registrar = makeRegistrar();
    registrar.start();
    bus_.script<VtBusScript_SetSubscribeRefuse_t>("VtBusScript_SetSubscribeRefuse")(0);
    EXPECT_TRUE(logger_->Contains(ETWLogging::LevelWarning,
                                  L"Failed to subscribe for alert viewer register operations."));
    EXPECT_TRUE(logger_->Contains(ETWLogging::LevelWarning,
                                  L"Failed to subscribe for alert viewer unregister operations."));
    EXPECT_TRUE(registrar.getViewer(L"v1"));
    ASSERT_TRUE(tool_->setProperty(L"Vantrel/Viewer/v2", L"{}", kTimeout));
    bus_.waitIdle();
    EXPECT_EQ(registrar.getViewer(L"v2"), nullptr);
    EXPECT_EQ(announcements_->names(), std::vector<std::wstring>{L"Vantrel.Viewer.v1.Registered"});
}

TEST_F(ViewerRegistrarTest, StopEndsTheNotificationsAndKeepsTheViewers) {
    settings_->store(L"Vantrel/Viewer/v1", L"{}");
    ViewerRegistrar& registrar = makeRegistrar();
    registrar.start();
    registrar.stop();
    ASSERT_TRUE(tool_->setProperty(L"Vantrel/Viewer/v2", L"{}", kTimeout));
    ASSERT_TRUE(tool_->removeProperty(L"Vantrel/Viewer/v1", kTimeout));
    bus_.waitIdle();
    EXPECT_TRUE(registrar.getViewer(L"v1"));
    EXPECT_EQ(registrar.getViewer(L"v2"), nullptr);
    EXPECT_EQ(announcements_->names(), std::vector<std::wstring>{L"Vantrel.Viewer.v1.Registered"});

    registrar.start();
    EXPECT_EQ(announced(2).back(), L"Vantrel.Viewer.v2.Registered");
    EXPECT_TRUE(registrar.getViewer(L"v1")) << "the load does not clear the map";
    EXPECT_TRUE(registrar.getViewer(L"v2"));
}

TEST_F(ViewerRegistrarTest, ViewersShareTheRegistrarsConnection) {
    settings_->store(L"Vantrel/Viewer/v1", L"{}");
    auto viewerBus = bus_.openClient();
    ASSERT_TRUE(viewerBus);
    {
        ViewerNeighbour viewer(viewerBus, L"v1");
        ASSERT_TRUE(viewer.start());
        ViewerRegistrar& registrar = makeRegistrar();
        registrar.start();
        auto proxy = registrar.getViewer(L"v1");
        ASSERT_TRUE(proxy);
        EXPECT_TRUE(proxy->show(L"{\"id\":\"A\"}", L"A", L"3"));
        const std::wstring announcedOn = journalHandle(L"publish ", L" Vantrel.Viewer.v1.Registered");
        EXPECT_FALSE(announcedOn.empty());
        EXPECT_EQ(journalHandle(L"requestEx ", L" Vantrel.Viewer.v1.Show.3"), announcedOn);
        ASSERT_EQ(viewer.requests().size(), 1u);
        EXPECT_EQ(viewer.requests()[0].name, L"Vantrel.Viewer.v1.Show.3");
        registrar_.reset();
    }
    bus_.waitIdle();
}
