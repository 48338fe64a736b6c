#include "tools/registration/Registration.h"

#include "framework/json/JSONFormatter.h"
#include "framework/message/ModuleException.h"
#include "neighbours/SettingsManager/SettingsManagerNeighbour.h"
#include "neighbours/SettingsManager/testing/InProcessBus.h"
#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using ETWLogging::testing::ScopedCapturingLogger;

namespace {

using Properties = std::map<std::wstring, std::wstring>;

struct Line {
    ETWLogging::LogLevel level;
    std::wstring text;
    bool operator==(const Line&) const = default;
};

enum class Settings { Answers, StatusFalse, NoAnswer };

struct Case {
    const char* name;
    std::vector<std::wstring> args;  // after the program path
    Properties before;
    Settings settings;
    bool confirms;  // a double of the alert service announces removals
    int expectedExit;
    Properties after;
    std::vector<Line> expectedLines;
    std::size_t expectedRequests;
};

constexpr auto kError = ETWLogging::LevelError;
constexpr auto kWarning = ETWLogging::LevelWarning;
const std::wstring kProductValue = LR"({"pluginPath":"$(App.Folder)\\plugins","pluginFile":"p.dll"})";
const Properties kRegistered = {{L"Vantrel/Product/p1", kProductValue}, {L"Vantrel/Viewer/v1", L"{}"}};

const Case kCases[] = {
    {"Help", {L"-?", L"-registerViewer=v1"}, {}, Settings::Answers, false, 0, {}, {}, 0},
    {"HelpWithUnknownFlag", {L"-?", L"-other"}, {}, Settings::Answers, false, 2, {},
     {{kError, L"Failed to parse arguments."}}, 0},
    {"UnknownFlag", {L"/RegisterViewer=v1"}, {}, Settings::Answers, false, 2, {},
     {{kError, L"Failed to parse arguments."}}, 0},
    {"NoOperation", {}, {}, Settings::Answers, false, 2, {},
     {{kError, L"Invalid command line arguments."}}, 0},
    {"RegisterProduct",
     {L"-registerProduct=p1", L"/pluginPath=$(App.Folder)\\plugins", L"-pluginFile=p.dll"}, {},
     Settings::Answers, false, 0, {{L"Vantrel/Product/p1", kProductValue}}, {}, 1},
    {"RegisterProductWithoutFile", {L"-registerProduct=p1", L"-pluginPath=C:\\p"}, {},
     Settings::Answers, false, 2, {},
     {{kError, L"Invalid command line. The 'pluginPath' and 'pluginFile' flags must be provided if "
               L"registering a product."}},
     0},
    {"RegisterProductAndViewer",
     {L"-registerViewer=v1", L"-registerProduct=p1", L"-pluginPath=$(App.Folder)\\plugins",
      L"-pluginFile=p.dll"},
     {}, Settings::Answers, false, 0, {{L"Vantrel/Product/p1", kProductValue}}, {}, 1},
    {"RegisterProductRefused",
     {L"-registerProduct=p1", L"-pluginPath=C:\\p", L"-pluginFile=p.dll"}, {},
     Settings::StatusFalse, false, 1, {},
     {{kError, L"Failed to store product registration information in the settings manager. "
               L"Product: Vantrel/Product/p1."}},
     1},
    {"RegisterViewer", {L"-registerViewer=v1"}, {}, Settings::Answers, false, 0,
     {{L"Vantrel/Viewer/v1", L"{}"}}, {}, 1},
    {"RegisterViewerWithoutId", {L"-registerViewer"}, {}, Settings::Answers, false, 0,
     {{L"Vantrel/Viewer/", L"{}"}}, {}, 1},
    {"RegisterViewerUnanswered", {L"-registerViewer=v1"}, {}, Settings::NoAnswer, false, 1, {},
     {{kError, L"Failed to store viewer registration information in the settings manager. "
               L"Viewer: Vantrel/Viewer/v1."}},
     1},
    {"UnregisterViewerConfirmed", {L"-unregisterViewer=v1"}, kRegistered, Settings::Answers, true,
     0, {{L"Vantrel/Product/p1", kProductValue}}, {}, 1},
    {"UnregisterViewerUnconfirmed", {L"-unregisterViewer=v1"}, kRegistered, Settings::Answers,
     false, 0, {{L"Vantrel/Product/p1", kProductValue}},
     {{kWarning, L"Did not receive viewer unregister confirmation. Plugin may not be unloaded."}}, 1},
    {"UnregisterProductConfirmed", {L"-unregisterProduct=p1"}, kRegistered, Settings::Answers, true,
     0, {{L"Vantrel/Viewer/v1", L"{}"}}, {}, 1},
    {"UnregisterProductUnconfirmed", {L"-unregisterProduct=p1"}, kRegistered, Settings::Answers,
     false, 0, {{L"Vantrel/Viewer/v1", L"{}"}},
     {{kWarning, L"Did not receive product unregister confirmation. Plugin may not be unloaded."}},
     1},
    // Removing what is not there succeeds and is confirmed like any removal.
    {"UnregisterViewerNotRegistered", {L"-unregisterViewer=v2"}, kRegistered, Settings::Answers,
     true, 0, kRegistered, {}, 1},
    {"UnregisterViewerRefused", {L"-unregisterViewer=v1"}, kRegistered, Settings::StatusFalse,
     true, 1, kRegistered,
     {{kError, L"Failed to remove viewer registration information in the settings manager. "
               L"Viewer: Vantrel/Viewer/v1"}},
     1},
    {"UnregisterProductUnanswered", {L"-unregisterProduct=p1"}, kRegistered, Settings::NoAnswer,
     true, 1, kRegistered,
     {{kError, L"Failed to remove product registration information in the settings manager. "
               L"Product: Vantrel/Product/p1"}},
     1},
};

class RegistrationCases : public ::testing::TestWithParam<Case> {};

TEST_P(RegistrationCases, Run) {
    const Case& c = GetParam();
    BusTesting::InProcessBus bus;
    ASSERT_TRUE(bus.ok());
    auto settingsBus = bus.openClient();
    Neighbours::SettingsManagerNeighbour settings(settingsBus);
    ASSERT_TRUE(settings.start());
    for (const auto& [name, value] : c.before) settings.store(name, value);
    settings.setStatusFalse(c.settings == Settings::StatusFalse);
    settings.setNoAnswer(c.settings == Settings::NoAnswer);

    // The alert service's announcement of a removed registration.
    auto service = bus.openClient();
    if (c.confirms) {
        const std::wstring prefix = L"SettingsManager.Notify.Delete.Vantrel/";
        service->subscribeFilter(LR"(SettingsManager\.Notify\.Delete\.Vantrel/.*)",
                                 [service = service.get(), prefix](std::shared_ptr<Tessil::Message> m) {
                                     std::wstring rest = m->getName().substr(prefix.size());
                                     rest[rest.find(L'/')] = L'.';
                                     service->publish(Tessil::Message::create(
                                         L"Vantrel." + rest + L".Unregistered", L"Vantrel", L"{}"));
                                     return 0u;
                                 });
    }

    ScopedCapturingLogger logger;
    Drem::RegistrationOptions options;
    options.makeBus = [&] { return bus.openClient(); };
    options.settingsTimeoutMs = 300;
    // Long enough that only a confirmation that did not come lets it expire.
    options.confirmationWaitMs = c.confirms ? 60000 : 100;
    std::vector<const wchar_t*> argv{L"Ossamit.exe"};
    for (const std::wstring& arg : c.args) argv.push_back(arg.c_str());
    EXPECT_EQ(Drem::runRegistration(static_cast<int>(argv.size()), argv.data(), options),
              c.expectedExit);
    ASSERT_TRUE(bus.waitIdle());

    EXPECT_EQ(settings.all(), c.after);
    EXPECT_EQ(settings.requests().size(), c.expectedRequests);
    std::vector<Line> lines;
    for (const auto& record : logger->Records()) {
        if (record.file != L"Ossamit") continue;
        EXPECT_EQ(record.function, L"wmain");
        lines.push_back({record.level, record.text});
    }
    EXPECT_EQ(lines, c.expectedLines);
    service->unsubscribeAll();
}

INSTANTIATE_TEST_SUITE_P(All, RegistrationCases, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Registration, BusThatCannotBeMadeEndsWithExitCode3EvenWithoutOperation) {
    for (const std::vector<const wchar_t*>& argv :
         {std::vector<const wchar_t*>{L"Ossamit.exe"},
          std::vector<const wchar_t*>{L"Ossamit.exe", L"-registerViewer=v1"}}) {
        ScopedCapturingLogger logger;
        Drem::RegistrationOptions options;
        options.makeBus = []() -> std::shared_ptr<Tessil::MessageBusClient> {
            throw Tessil::ModuleException("no bus library");
        };
        EXPECT_EQ(Drem::runRegistration(static_cast<int>(argv.size()), argv.data(), options), 3);
        EXPECT_TRUE(logger->Contains(ETWLogging::LevelError,
                                     L"Failed to create message bus connection. Exception caught."));
        EXPECT_EQ(logger->Count(ETWLogging::LevelError, L""), 1u);
    }
}

// The path keeps its backslashes through the JSON escaping of the value.
TEST(Registration, ProductValueReadsBackUnchanged) {
    BusTesting::InProcessBus bus;
    ASSERT_TRUE(bus.ok());
    Neighbours::SettingsManagerNeighbour settings(bus.openClient());
    ASSERT_TRUE(settings.start());
    Drem::RegistrationOptions options;
    options.makeBus = [&] { return bus.openClient(); };
    const wchar_t* argv[] = {L"Ossamit.exe", L"-registerProduct=p1",
                             L"-pluginPath=C:\\Program Files\\\"Corvane\"", L"-pluginFile=p.dll"};
    ASSERT_EQ(Drem::runRegistration(4, argv, options), 0);
    const auto stored = settings.stored(L"Vantrel/Product/p1");
    ASSERT_TRUE(stored.has_value());
    Tessil::JSONFormatter value;
    ASSERT_TRUE(value.parse(*stored));
    std::wstring path, file;
    EXPECT_TRUE(value.getString(L"pluginPath", path));
    EXPECT_TRUE(value.getString(L"pluginFile", file));
    EXPECT_EQ(path, L"C:\\Program Files\\\"Corvane\"");
    EXPECT_EQ(file, L"p.dll");
}

}  // namespace
