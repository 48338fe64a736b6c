// The registrar with real settings clients, over the bus neighbour in this
// process and the settings manager double: registrations written and
// removed by a third client, as the registration program does.
#include "alerts/src/plugins/PluginRegistrar.h"
#include "alerts/src/plugins/testing/PluginTesting.h"

#include "alerts/src/common/testing/RecordingTelemetry.h"
#include "framework/message/ModuleStatus.h"
#include "framework/settings/SettingsManagerClient.h"
#include "neighbours/SettingsManager/SettingsManagerNeighbour.h"
#include "neighbours/SettingsManager/testing/InProcessBus.h"
#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

using Drem::AlertPluginLib;
using Drem::PluginRegistrar;
using Drem::testing::PluginCopy;
using Drem::testing::TempFolder;
using Drem::testing::registration;
using ETWLogging::LevelNormal;
using ETWLogging::testing::ScopedCapturingLogger;

namespace {

constexpr wchar_t kKey[] = L"Vantrel/Product/ProductA";
constexpr wchar_t kAlert[] = L"{\"id\":\"A1\",\"product\":\"ProductA\",\"context\":{}}";
constexpr std::uint64_t kTimeout = 5000;

class RegistrarOverBus : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ok());
        ASSERT_TRUE(productA.ok());
        ASSERT_TRUE(productB.ok());
        neighbour = std::make_unique<Neighbours::SettingsManagerNeighbour>(bus.openClient());
        ASSERT_TRUE(neighbour->start());
        writer = std::make_unique<Tessil::SettingsManagerClient>(bus.openClient());
        listener = bus.openClient();
        // Each plug-in reads its registration over a connection of its own.
        auto registrarBus = bus.openClient();
        registrar = std::make_unique<PluginRegistrar>(
            std::make_shared<Tessil::SettingsManagerClient>(registrarBus),
            [this](const std::wstring& name) {
                return std::make_shared<AlertPluginLib>(
                    name, nullptr, std::make_shared<Tessil::SettingsManagerClient>(bus.openClient()),
                    Drem::testing::makeUncheckedLibrary);
            },
            registrarBus);
        ASSERT_TRUE(registrar->start());
    }
    void TearDown() override {
        bus.waitIdle();
        if (registrar) {
            registrar->stop();
        }
        registrar.reset();
        listener.reset();
        writer.reset();
        neighbour.reset();
    }

    std::uint32_t process() {
        std::wstring processed;
        std::wstring reason;
        std::int32_t suppress = 0;
        return registrar->processAlert(L"ProductA", kAlert, processed, &suppress, reason);
    }

    ScopedCapturingLogger logger;
    Drem::testing::ScopedRecordingTelemetry telemetry;
    TempFolder folder;
    PluginCopy productA{folder.path(), L"ProductA.dll"};
    PluginCopy productB{folder.path(), L"ProductB.dll"};
    BusTesting::InProcessBus bus;
    std::unique_ptr<Neighbours::SettingsManagerNeighbour> neighbour;
    std::unique_ptr<Tessil::SettingsManagerClient> writer;
    std::shared_ptr<Tessil::MessageBusClient> listener;
    std::unique_ptr<PluginRegistrar> registrar;
};

}  // namespace

TEST_F(RegistrarOverBus, RegistrationRemovalAndNewRegistrationAreFollowed) {
    std::promise<std::wstring> announced;
    ASSERT_EQ(listener->subscribe(L"Vantrel.Product.ProductA.Unregistered",
                                  [&](std::shared_ptr<Tessil::Message> message) {
                                      announced.set_value(message->getSource() + L"|" + message->getPayload());
                                      return 0u;
                                  }),
              0u);
    ASSERT_TRUE(writer->setProperty(kKey, registration(folder.path(), L"ProductA.dll"), kTimeout));
    ASSERT_EQ(process(), 0u);
    EXPECT_EQ(productA.counter(kVtPluginProcessAlert), 1u);

    ASSERT_TRUE(writer->removeProperty(kKey, kTimeout));
    auto announcement = announced.get_future();
    ASSERT_EQ(announcement.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(announcement.get(), L"Vantrel|");
    ASSERT_TRUE(bus.waitIdle());
    EXPECT_TRUE(logger->Contains(LevelNormal, L"Changing state of plugin for ProductA to INVALIDATED."));
    EXPECT_EQ(process(), MODULE_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(productA.counter(kVtCountLiveHandles), 0u);

    ASSERT_TRUE(writer->setProperty(kKey, registration(folder.path(), L"ProductB.dll"), kTimeout));
    ASSERT_EQ(process(), 0u);
    EXPECT_EQ(productB.counter(kVtPluginProcessAlert), 1u);
    EXPECT_TRUE(telemetry->named(L"Vantrel.Plugin.Failed").empty());
}

TEST_F(RegistrarOverBus, AfterStopRemovalsAreNoLongerFollowed) {
    ASSERT_TRUE(writer->setProperty(kKey, registration(folder.path(), L"ProductA.dll"), kTimeout));
    ASSERT_EQ(process(), 0u);
    registrar->stop();
    ASSERT_TRUE(writer->removeProperty(kKey, kTimeout));
    ASSERT_TRUE(bus.waitIdle());
    EXPECT_FALSE(logger->Contains(LevelNormal, L"to INVALIDATED."));
    EXPECT_EQ(process(), 0u);  // still the loaded plug-in
}
