#include "alerts/src/plugins/PluginRegistrar.h"
#include "alerts/src/plugins/testing/PluginTesting.h"

#include "alerts/src/common/testing/RecordingTelemetry.h"
#include "framework/message/ModuleStatus.h"
#include "platform/Logging/testing/CapturingLogger.h"
#include "platform/Registry/RegKey.h"
#include "platform/Registry/testing/TestRegistry.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using Drem::AlertPluginLib;
using Drem::PluginRegistrar;
using Drem::testing::FakeSettingsManager;
using Drem::testing::PluginCopy;
using Drem::testing::TempFolder;
using Drem::testing::registration;
using ETWLogging::LevelError;
using ETWLogging::LevelNormal;
using ETWLogging::testing::ScopedCapturingLogger;
using Names = std::vector<std::wstring>;

namespace {

constexpr wchar_t kAlert[] = L"{\"id\":\"A1\",\"product\":\"ProductA\",\"context\":{}}";
const std::wstring kUntouched = L"untouched";

struct Result {
    std::uint32_t status;
    std::wstring processed = kUntouched;
    std::wstring reason = kUntouched;
    std::int32_t suppress = 0;
};

class Registrar : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(hklm.ok());
        ASSERT_TRUE(product.ok());
        ASSERT_TRUE(kyt.ok());
        Kelmora::CRegKey key;
        ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, Drem::kDefaultPluginKey), ERROR_SUCCESS);
        ASSERT_EQ(key.SetStringValue(Drem::kDefaultPluginFolderValue, folder.path().c_str()), ERROR_SUCCESS);
    }

    void registerProduct(const std::wstring& name, const std::wstring& file) {
        settings->set(L"Vantrel/Product/" + name, registration(folder.path(), file));
    }

    Result process(const std::wstring& name) {
        Result r{};
        r.status = registrar->processAlert(name, kAlert, r.processed, &r.suppress, r.reason);
        return r;
    }

    // The "Vantrel.Plugin.Failed" events as (label, result) pairs.
    std::vector<std::pair<std::wstring, std::wstring>> failures() {
        std::vector<std::pair<std::wstring, std::wstring>> found;
        for (auto& event : telemetry->named(L"Vantrel.Plugin.Failed")) {
            found.emplace_back(event[L"Event.Label"], event[L"Hit.Result"]);
        }
        return found;
    }

    ScopedCapturingLogger logger;
    Drem::testing::ScopedRecordingTelemetry telemetry;
    Kelmora::testing::PrivateHklm hklm;
    TempFolder folder;
    PluginCopy product{folder.path(), L"ProductA.dll"};
    PluginCopy kyt{folder.path(), L"kytplugin.dll"};
    std::shared_ptr<FakeSettingsManager> settings = std::make_shared<FakeSettingsManager>();
    std::shared_ptr<PluginRegistrar> registrar = std::make_shared<PluginRegistrar>(
        settings, [this](const std::wstring& name) {
            return std::make_shared<AlertPluginLib>(name, nullptr, settings, Drem::testing::makeUncheckedLibrary);
        });
};

}  // namespace

TEST_F(Registrar, LoadsAProductOnItsFirstAlertAndKeepsIt) {
    registerProduct(L"ProductA", L"ProductA.dll");
    EXPECT_EQ(product.counter(kVtPluginCreateObject), 0u);  // nothing loaded before the first alert
    for (int i = 0; i < 2; ++i) {
        Result r = process(L"ProductA");
        EXPECT_EQ(r.status, 0u);
        EXPECT_EQ(r.processed, kAlert);
        EXPECT_EQ(r.reason, L"processed");
    }
    std::wstring content;
    EXPECT_EQ(registrar->getAlertContent(L"ProductA", kAlert, L"Toast", content), 0u);
    EXPECT_EQ(content, L"content for Toast");
    EXPECT_EQ(settings->requestedNames(), Names{L"Vantrel/Product/ProductA"});
    EXPECT_EQ(product.counter(kVtPluginCreate), 1u);
    EXPECT_EQ(kyt.counter(kVtPluginCreateObject), 0u);
    EXPECT_TRUE(failures().empty());

    registrar.reset();  // the cache goes with the registrar
    EXPECT_EQ(product.counter(kVtCountLiveHandles), 0u);
    EXPECT_EQ(product.counter(kVtCountOutstandingStrings), 0u);
}

TEST_F(Registrar, ProductWithoutAWorkingPluginIsServedByTheDefaultEachTimeAfterAFailureEvent) {
    struct Case {
        const char* what;
        const wchar_t* value;  // null: not registered
        const wchar_t* status;
    };
    const Case cases[] = {
        {"not registered", nullptr, L"2147483651"},
        {"no pluginFile", L"{\"pluginPath\":\"C:\\\\x\"}", L"2147483650"},
        {"no library", L"{\"pluginPath\":\"C:\\\\x\",\"pluginFile\":\"none.dll\"}", L"2147483649"},
    };
    int alerts = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring name = L"Product" + std::to_wstring(alerts);
        if (c.value != nullptr) {
            settings->set(L"Vantrel/Product/" + name, c.value);
        }
        for (int i = 0; i < 2; ++i, ++alerts) {
            Result r = process(name);
            EXPECT_EQ(r.status, 0u);
            EXPECT_EQ(r.processed, kAlert);
        }
        std::vector<std::pair<std::wstring, std::wstring>> expected(2, {name, c.status});
        auto found = failures();
        EXPECT_EQ(std::vector(found.end() - 2, found.end()), expected);
    }
    EXPECT_EQ(failures().size(), 6u);  // the product is tried again each time
    EXPECT_EQ(kyt.counter(kVtPluginCreate), 1u);  // the default is cached
    EXPECT_EQ(kyt.counter(kVtPluginProcessAlert), 6u);

    const auto event = telemetry->named(L"Vantrel.Plugin.Failed").front();
    const Tessil::Analytics::Dimensions expected = {
        {L"UniqueIdentifier", L"Vantrel.Plugin.Failed"}, {L"Event.Category", L"Drem"},
        {L"Event.Action", L"VT failed to load Plugin"}, {L"Interactive", L"false"},
        {L"UserInitiated", L"false"}, {L"Sub.Category", L"Vantrel"}, {L"Tertiary.Category", L"Plugin"},
        {L"Event.Label", L"Product0"}, {L"Hit.Result", L"2147483651"}};
    EXPECT_EQ(event, expected);
}

TEST_F(Registrar, WithoutEvenTheDefaultNothingIsWrittenAndBothFailuresAreSent) {
    Kelmora::CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, Drem::kDefaultPluginKey), ERROR_SUCCESS);
    ASSERT_EQ(key.SetStringValue(Drem::kDefaultPluginFolderValue, (folder.path() + L"\\none").c_str()),
              ERROR_SUCCESS);
    Result r = process(L"ProductA");
    EXPECT_EQ(r.status, MODULE_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.processed, kUntouched);
    EXPECT_EQ(r.reason, kUntouched);
    std::wstring content = kUntouched;
    EXPECT_EQ(registrar->getAlertContent(L"DEFAULT", kAlert, L"Toast", content),
              MODULE_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(content, kUntouched);
    using Failure = std::pair<std::wstring, std::wstring>;
    EXPECT_EQ(failures(), (std::vector<Failure>{{L"ProductA", L"2147483651"},
                                                {L"DEFAULT", L"2147483649"},
                                                {L"DEFAULT", L"2147483649"}}));
    EXPECT_EQ(settings->requestedNames(), Names{L"Vantrel/Product/ProductA"});  // never for DEFAULT
}

TEST_F(Registrar, RemovalInvalidatesOnlyTheCachedProductNamedAfterTheLastSlash) {
    registrar->start();
    EXPECT_EQ(settings->subscribedPrefixes(), Names{L"Vantrel/Product"});
    registerProduct(L"b", L"ProductA.dll");
    ASSERT_EQ(process(L"b").status, 0u);

    settings->notifyDeleted(L"Vantrel/Product/x");  // not cached: nothing happens
    ASSERT_EQ(process(L"b").status, 0u);
    EXPECT_EQ(product.counter(kVtPluginCreate), 1u);

    settings->notifyDeleted(L"Vantrel/Product/a/b");
    EXPECT_TRUE(logger->Contains(LevelNormal, L"Changing state of plugin for b to INVALIDATED."));
    EXPECT_EQ(product.counter(kVtCountLiveHandles), 1u);  // stays loaded until its next call
    ASSERT_EQ(process(L"b").status, 0u);
    EXPECT_TRUE(logger->Contains(LevelNormal, L"Plugin for b is in state INVALIDATED. Attempting to reload."));
    EXPECT_EQ(product.counter(kVtPluginCreate), 2u);
    EXPECT_EQ(product.counter(kVtCountLiveHandles), 1u);
    EXPECT_EQ(settings->requestedNames().size(), 2u);
}

TEST_F(Registrar, RemovedProductFailsWithoutFallbackUntilRegisteredAgain) {
    PluginCopy replacement{folder.path(), L"ProductB.dll"};
    ASSERT_TRUE(replacement.ok());
    registrar->start();
    registerProduct(L"ProductA", L"ProductA.dll");
    ASSERT_EQ(process(L"ProductA").status, 0u);

    // Set again without a removal: the loaded plug-in stays.
    registerProduct(L"ProductA", L"ProductB.dll");
    ASSERT_EQ(process(L"ProductA").status, 0u);
    EXPECT_EQ(replacement.counter(kVtPluginCreateObject), 0u);

    settings->erase(L"Vantrel/Product/ProductA");
    settings->notifyDeleted(L"Vantrel/Product/ProductA");
    for (int i = 0; i < 2; ++i) {
        Result r = process(L"ProductA");
        EXPECT_EQ(r.status, MODULE_STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.processed, kUntouched);
    }
    EXPECT_EQ(logger->Count(LevelError, L"Failed to verify the plugin state for product: ProductA"), 2u);
    EXPECT_TRUE(failures().empty());
    EXPECT_EQ(kyt.counter(kVtPluginCreateObject), 0u);
    EXPECT_EQ(product.counter(kVtCountLiveHandles), 0u);

    registerProduct(L"ProductA", L"ProductB.dll");
    EXPECT_EQ(process(L"ProductA").status, 0u);
    EXPECT_EQ(replacement.calls(), (Names{L"CreateObject", L"create", L"processAlert", L"freeProcessResult"}));
}

TEST_F(Registrar, StopAndDestructionEndTheSubscription) {
    registrar->start();
    registrar->stop();
    EXPECT_EQ(settings->unsubscribedPrefixes(), Names{L"Vantrel/Product"});
    registrar->start();
    registrar.reset();  // without stop
    EXPECT_EQ(settings->unsubscribedPrefixes(), (Names{L"Vantrel/Product", L"Vantrel/Product"}));
    settings->notifyDeleted(L"Vantrel/Product/ProductA");  // reaches nobody
}

TEST_F(Registrar, OnePluginEntryRunsAtATimeAcrossProductsAndThreads) {
    // Two products on one library: entries of both count on the same copy.
    registerProduct(L"ProductA", L"ProductA.dll");
    registerProduct(L"ProductC", L"ProductA.dll");
    ASSERT_EQ(process(L"ProductA").status, 0u);
    ASSERT_EQ(process(L"ProductC").status, 0u);
    // Each entry waits for a second one to begin, which only a missing lock allows.
    product.setHold(kVtPluginProcessAlert, 500);
    product.setHold(kVtPluginGetAlertContent, 500);
    registrar->start();

    std::vector<std::future<std::uint32_t>> calls;
    for (int i = 0; i < 3; ++i) {
        calls.push_back(std::async(std::launch::async, [this] { return process(L"ProductA").status; }));
        calls.push_back(std::async(std::launch::async, [this] {
            std::wstring content;
            return registrar->getAlertContent(L"ProductC", kAlert, L"Toast", content);
        }));
    }
    calls.push_back(std::async(std::launch::async, [this] {
        settings->notifyDeleted(L"Vantrel/Product/ProductC");
        return 0u;
    }));
    for (auto& call : calls) {
        ASSERT_EQ(call.wait_for(std::chrono::seconds(60)), std::future_status::ready);
        EXPECT_EQ(call.get(), 0u);
    }
    EXPECT_EQ(product.counter(kVtCountOverlaps), 0u);
    EXPECT_EQ(product.counter(kVtPluginProcessAlert), 5u);
    EXPECT_EQ(product.counter(kVtPluginGetAlertContent), 3u);
    EXPECT_EQ(product.counter(kVtCountOutstandingStrings), 0u);
}
