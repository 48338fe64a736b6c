// A viewer registered through the settings manager shows an alert, closes it
// and takes it down, all over the bus neighbour.
#include "alerts/src/common/testing/RecordingTelemetry.h"
#include "alerts/src/queue/Alert.h"
#include "alerts/src/viewers/ViewerRegistrar.h"
#include "framework/settings/SettingsManagerClient.h"
#include "neighbours/MessageBus/MessageBusScript.h"
#include "neighbours/SettingsManager/SettingsManagerNeighbour.h"
#include "neighbours/SettingsManager/testing/InProcessBus.h"
#include "neighbours/viewer/ViewerNeighbour.h"
#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

using Closing = Neighbours::ViewerNeighbour::ClosingMode;

TEST(AlertFlow, RegisteredViewerShowsClosesAndTakesDownAlerts) {
    ETWLogging::testing::ScopedCapturingLogger logger;
    Drem::testing::ScopedRecordingTelemetry telemetry;
    BusTesting::InProcessBus bus;
    ASSERT_TRUE(bus.ok());
    {
        auto registrarBus = bus.openClient();
        auto settingsBus = bus.openClient();
        auto viewerBus = bus.openClient();
        auto alertBus = bus.openClient();
        ASSERT_TRUE(registrarBus && settingsBus && viewerBus && alertBus);
        Neighbours::SettingsManagerNeighbour settings(settingsBus);
        ASSERT_TRUE(settings.start());
        settings.store(L"Vantrel/Viewer/desk", L"{}");
        Neighbours::ViewerNeighbour viewer(viewerBus, L"desk");
        ASSERT_TRUE(viewer.start());
        Drem::ViewerRegistrar registrar(registrarBus, nullptr, 5000, 5000);
        registrar.start();

        auto proxy = registrar.getViewer(L"desk");
        ASSERT_TRUE(proxy);
        auto makeAlert = [&](const wchar_t* instance) {
            Drem::AlertInfo info;
            info.id = L"{6F0C1E2A-0000-4000-8000-00000000000A}";
            info.instanceId = instance;
            info.preferredViewer = {L"desk"};
            auto alert = std::make_shared<Drem::Alert>(std::move(info), alertBus, 5);
            alert->setViewer(proxy);
            return alert;
        };

        // Closed by the viewer.
        viewer.setShowClosing(Closing::Dismissed);
        auto closed = makeAlert(L"1");
        ASSERT_TRUE(closed->show());
        EXPECT_TRUE(closed->wait(60));

        // Not closed in time: taken down, the delete's report ends the wait.
        viewer.setShowClosing(Closing::Never);
        viewer.setDeleteClosing(Closing::Dismissed);
        auto open = makeAlert(L"2");
        ASSERT_TRUE(open->show());
        EXPECT_FALSE(open->wait(0));
        EXPECT_TRUE(open->dismiss());
        EXPECT_EQ(telemetry->named(L"Vantrel.Alert.Dismissed").size(), 1u);
        const auto requests = viewer.requests();
        ASSERT_EQ(requests.size(), 3u);
        EXPECT_EQ(requests[2].name, L"Vantrel.Viewer.desk.Delete.2");
        bus.waitIdle();
        registrar.stop();
    }
}
