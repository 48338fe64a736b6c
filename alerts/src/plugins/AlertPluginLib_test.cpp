#include "alerts/src/plugins/AlertPluginLib.h"
#include "alerts/src/plugins/testing/PluginTesting.h"

#include "framework/message/ModuleStatus.h"
#include "platform/Logging/testing/CapturingLogger.h"
#include "platform/Registry/RegKey.h"
#include "platform/Registry/testing/TestRegistry.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using Drem::AlertPluginLib;
using Drem::testing::FakeSettingsManager;
using Drem::testing::PluginCopy;
using Drem::testing::TempFolder;
using Drem::testing::registration;
using ETWLogging::LevelError;
using ETWLogging::LevelNormal;
using ETWLogging::LevelWarning;
using ETWLogging::testing::ScopedCapturingLogger;
using Names = std::vector<std::wstring>;

namespace {

constexpr wchar_t kProduct[] = L"ProductA";
constexpr wchar_t kKey[] = L"Vantrel/Product/ProductA";
constexpr wchar_t kAlert[] = L"{\"id\":\"A1\",\"product\":\"ProductA\",\"context\":{\"title\":\"t\"}}";
const std::wstring kUntouched = L"untouched";

class PluginLib : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(copy.ok());
        ASSERT_TRUE(other.ok());
        settings->set(kKey, registration(folder.path(), L"ProductA.dll"));
    }

    std::unique_ptr<AlertPluginLib> make(const std::wstring& product = kProduct) {
        return std::make_unique<AlertPluginLib>(product, nullptr, settings, Drem::testing::makeUncheckedLibrary);
    }

    // Strings and handles the plug-in handed out and got back.
    void expectNothingOutstanding(const PluginCopy& plugin) {
        EXPECT_EQ(plugin.counter(kVtCountOutstandingStrings), 0u);
        EXPECT_EQ(plugin.counter(kVtCountUnknownFrees), 0u);
        EXPECT_EQ(plugin.counter(kVtCountBadHandles), 0u);
        EXPECT_EQ(plugin.counter(kVtCountOverlaps), 0u);
    }

    ScopedCapturingLogger logger;
    TempFolder folder;
    PluginCopy copy{folder.path(), L"ProductA.dll"};
    PluginCopy other{folder.path(), L"ProductB.dll"};
    std::shared_ptr<FakeSettingsManager> settings = std::make_shared<FakeSettingsManager>();
};

}  // namespace

TEST_F(PluginLib, LoadReadsTheRegistrationAndCreatesOneInstanceUntilDestroyed) {
    auto plugin = make();
    EXPECT_EQ(plugin->state(), AlertPluginLib::UNLOADED);
    EXPECT_EQ(copy.counter(kVtPluginCreateObject), 0u);  // nothing before load

    ASSERT_EQ(plugin->load(), 0u);
    EXPECT_EQ(plugin->state(), AlertPluginLib::LOADED);
    EXPECT_EQ(settings->requestedNames(), Names{kKey});
    EXPECT_EQ(settings->requestTimeouts(), std::vector<std::uint64_t>{5000});
    EXPECT_EQ(copy.journal(), (Names{L"CreateObject 2000000", L"create AlertPlugin"}));
    EXPECT_EQ(copy.counter(kVtCountLiveHandles), 1u);
    EXPECT_TRUE(logger->Contains(LevelNormal, L"Changing state of plugin for ProductA to LOADED."));

    plugin.reset();
    EXPECT_EQ(copy.calls().back(), L"destroy");
    EXPECT_EQ(copy.counter(kVtCountLiveHandles), 0u);
    expectNothingOutstanding(copy);
}

TEST_F(PluginLib, RegistrationMembersMayComeInAnyOrderBesideOthers) {
    settings->set(kKey, L"{\"extra\":1,\"pluginFile\":\"ProductA.dll\",\"pluginPath\":\"" +
                            [&] {
                                std::wstring escaped;
                                for (wchar_t c : folder.path()) {
                                    escaped += c == L'\\' ? std::wstring(L"\\\\") : std::wstring(1, c);
                                }
                                return escaped;
                            }() +
                            L"\"}");
    EXPECT_EQ(make()->load(), 0u);
}

TEST_F(PluginLib, RegistrationFailuresLeaveThePluginUnloaded) {
    struct Case {
        const char* what;
        const wchar_t* value;  // null: no key
        bool answering;
        std::uint32_t status;
        std::wstring log;
    };
    const std::wstring path = folder.path();
    const Case cases[] = {
        {"no key", nullptr, true, MODULE_STATUS_BUFFER_TOO_SMALL,
         L"Failed to get pluginDefinition from settings Manager. Key Vantrel/Product/ProductA"},
        {"no answer", L"{}", false, MODULE_STATUS_BUFFER_TOO_SMALL,
         L"Failed to get pluginDefinition from settings Manager. Key Vantrel/Product/ProductA"},
        {"not JSON", L"not json", true, MODULE_STATUS_UNSUCCESSFUL,
         L"Failed to parse plugin definition Key: Vantrel/Product/ProductA, Value: not json. "},
        {"an array", L"[\"a\"]", true, MODULE_STATUS_UNSUCCESSFUL,
         L"Failed to parse plugin definition Key: Vantrel/Product/ProductA, Value: [\"a\"]. "},
        {"no file", L"{\"pluginPath\":\"C:\\\\x\"}", true, MODULE_STATUS_UNSUCCESSFUL,
         L"Failed to parse pluginFile from: {\"pluginPath\":\"C:\\\\x\"}"},
        {"file a number", L"{\"pluginFile\":3,\"pluginPath\":\"C:\\\\x\"}", true,
         MODULE_STATUS_UNSUCCESSFUL, L"Failed to parse pluginFile from: {\"pluginFile\":3,"},
        {"no path", L"{\"pluginFile\":\"ProductA.dll\"}", true, MODULE_STATUS_UNSUCCESSFUL,
         L"Failed to parse pluginPath from: {\"pluginFile\":\"ProductA.dll\"}"},
        {"path null", L"{\"pluginFile\":\"ProductA.dll\",\"pluginPath\":null}", true,
         MODULE_STATUS_UNSUCCESSFUL, L"Failed to parse pluginPath from: "},
        {"library missing", nullptr, true, MODULE_STATUS_NOT_SUPPORTED,
         L"Failed create SharedLibrary for plugin: ProductA. Exception: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        logger->Clear();
        settings->setAnswering(c.answering);
        if (c.status == MODULE_STATUS_NOT_SUPPORTED) {
            settings->set(kKey, registration(path, L"Missing.dll"));
        } else if (c.value == nullptr) {
            settings->erase(kKey);
        } else {
            settings->set(kKey, c.value);
        }
        auto plugin = make();
        EXPECT_EQ(plugin->load(), c.status);
        EXPECT_EQ(plugin->state(), AlertPluginLib::UNLOADED);
        EXPECT_TRUE(logger->Contains(LevelError, c.log));
    }
    EXPECT_EQ(copy.counter(kVtPluginCreateObject), 0u);
}

TEST_F(PluginLib, InstanceFailuresAreReturnedAndNothingIsDestroyedLater) {
    struct Case {
        const char* what;
        bool createObjectNull;
        int missingEntry;  // -1: none
        std::uint32_t createStatus;
        std::uint32_t status;
        std::wstring log;
    };
    const Case cases[] = {
        {"no table", true, -1, 0, MODULE_STATUS_NOT_SUPPORTED, L"Failed to create object"},
        {"a table with a gap", false, kVtPluginFreeContent, 0, MODULE_STATUS_NOT_SUPPORTED,
         L"Failed to create object"},
        {"create fails", false, -1, 1234, 1234, L"Failed to create instance of Alert Plugin. Error code: 1234"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        logger->Clear();
        copy.reset();
        copy.setCreateObjectNull(c.createObjectNull);
        if (c.missingEntry >= 0) {
            copy.setEntryMissing(c.missingEntry, true);
        }
        copy.setStatus(kVtPluginCreate, c.createStatus);
        {
            auto plugin = make();
            EXPECT_EQ(plugin->load(), c.status);
            EXPECT_EQ(plugin->state(), AlertPluginLib::UNLOADED);
            EXPECT_TRUE(logger->Contains(LevelError, c.log));
            EXPECT_TRUE(logger->Contains(LevelError, L"Failed to create alert plugin instance."));
        }
        for (const std::wstring& call : copy.calls()) {
            EXPECT_NE(call, L"destroy");
        }
        EXPECT_EQ(copy.counter(kVtCountLiveHandles), 0u);
    }
}

TEST_F(PluginLib, ProcessedAlertAndReasonAreCopiedAndHandedBack) {
    struct Case {
        const char* what;
        int processedMode;
        const wchar_t* processedText;
        int reasonMode;
        std::wstring processed;
        std::wstring reason;
    };
    const std::wstring alert = kAlert;
    const Case cases[] = {
        {"echo", kVtTextEcho, nullptr, kVtTextGiven, alert, L"processed"},
        {"null outputs", kVtTextNull, nullptr, kVtTextNull, L"", L""},
        {"empty output", kVtTextEmpty, nullptr, kVtTextEmpty, L"", L""},
        {"invalid JSON", kVtTextInvalidJson, nullptr, kVtTextGiven, L"{\"id\": not json", L"r"},
        {"without context", kVtTextWithoutContext, nullptr, kVtTextGiven,
         L"{\"id\":\"A1\",\"product\":\"ProductA\"}", L"r"},
        {"given", kVtTextGiven, L"{\"id\":\"B\"}", kVtTextGiven, L"{\"id\":\"B\"}", L"r"},
    };
    auto plugin = make();
    ASSERT_EQ(plugin->load(), 0u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        copy.reset();
        copy.setProcessed(c.processedMode, c.processedText);
        copy.setReason(c.reasonMode, c.reason.c_str());
        std::wstring processed = kUntouched;
        std::wstring reason = kUntouched;
        std::int32_t suppress = 0;
        EXPECT_EQ(plugin->processAlert(alert, processed, &suppress, reason), 0u);
        EXPECT_EQ(processed, c.processed);
        EXPECT_EQ(reason, c.reason);
        EXPECT_EQ(suppress, 0);
        EXPECT_EQ(copy.journal(), (Names{L"processAlert " + alert, L"freeProcessResult"}));
        expectNothingOutstanding(copy);
    }
    EXPECT_TRUE(logger->Contains(LevelNormal, L"Processing alert. Plugin for ProductA in state LOADED."));
}

TEST_F(PluginLib, SuppressFlagIsWhatThePluginLeftWhateverItsStatus) {
    struct Case {
        std::uint32_t status;
        bool write;
        std::int32_t value;
    };
    auto plugin = make();
    ASSERT_EQ(plugin->load(), 0u);
    for (const Case& c : {Case{0, true, 1}, Case{0, false, 0}, Case{0x80000002, true, 1}, Case{7, true, 5}}) {
        SCOPED_TRACE(c.status);
        copy.reset();
        copy.setStatus(kVtPluginProcessAlert, c.status);
        copy.setSuppress(c.write, c.value);
        std::wstring processed = kUntouched;
        std::wstring reason = kUntouched;
        std::int32_t suppress = 0;
        EXPECT_EQ(plugin->processAlert(kAlert, processed, &suppress, reason), c.status);
        EXPECT_EQ(suppress, c.value);
        if (c.status != 0) {
            EXPECT_EQ(processed, kUntouched);
            EXPECT_EQ(reason, kUntouched);
            EXPECT_EQ(copy.calls(), Names{L"processAlert"});  // nothing to hand back
        }
        expectNothingOutstanding(copy);
    }
    // A caller without a flag of its own still gives the plug-in one to write.
    copy.reset();
    copy.setSuppress(true, 1);
    std::wstring processed;
    std::wstring reason;
    EXPECT_EQ(plugin->processAlert(kAlert, processed, nullptr, reason), 0u);
}

TEST_F(PluginLib, ContentIsPerViewerAndHandedBack) {
    auto plugin = make();
    ASSERT_EQ(plugin->load(), 0u);
    copy.setContent(L"Toast", kVtTextGiven, L"{\"toast\":1}");
    copy.setContent(L"Blank", kVtTextNull);
    copy.setContent(nullptr, kVtTextEcho);
    struct Case {
        const wchar_t* viewer;
        std::wstring content;
    };
    for (const Case& c : {Case{L"Toast", L"{\"toast\":1}"}, Case{L"Blank", L""}, Case{L"Other", kAlert}}) {
        std::wstring content = kUntouched;
        EXPECT_EQ(plugin->getAlertContent(kAlert, c.viewer, content), 0u);
        EXPECT_EQ(content, c.content) << c.viewer;
    }
    EXPECT_EQ(copy.journal().back(), L"freeContent");
    EXPECT_EQ(copy.journal()[copy.journal().size() - 2], std::wstring(L"getAlertContent Other ") + kAlert);
    expectNothingOutstanding(copy);

    copy.reset();
    copy.setStatus(kVtPluginGetAlertContent, 0x80000002);
    std::wstring content = kUntouched;
    EXPECT_EQ(plugin->getAlertContent(kAlert, L"Toast", content), 0x80000002u);
    EXPECT_EQ(content, kUntouched);
    EXPECT_EQ(copy.calls(), Names{L"getAlertContent"});
    EXPECT_TRUE(logger->Contains(LevelNormal, L"Getting alert content. Plugin for ProductA in state LOADED."));
}

TEST_F(PluginLib, AnyStateButLoadedReloadsFromTheCurrentRegistration) {
    auto plugin = make();
    ASSERT_EQ(plugin->load(), 0u);
    settings->set(kKey, registration(folder.path(), L"ProductB.dll"));
    std::wstring processed;
    std::wstring reason;
    std::int32_t suppress = 0;

    // Still loaded: the changed registration is not read.
    ASSERT_EQ(plugin->processAlert(kAlert, processed, &suppress, reason), 0u);
    EXPECT_EQ(settings->requestedNames().size(), 1u);
    EXPECT_EQ(other.counter(kVtPluginCreateObject), 0u);

    plugin->setState(AlertPluginLib::INVALIDATED);
    EXPECT_TRUE(logger->Contains(LevelNormal, L"Changing state of plugin for ProductA to INVALIDATED."));
    ASSERT_EQ(plugin->processAlert(kAlert, processed, &suppress, reason), 0u);
    EXPECT_TRUE(logger->Contains(LevelNormal, L"Plugin for ProductA is in state INVALIDATED. Attempting to reload."));
    EXPECT_TRUE(logger->Contains(LevelNormal, L"Changing state of plugin for ProductA to UNLOADED."));
    EXPECT_EQ(plugin->state(), AlertPluginLib::LOADED);
    EXPECT_EQ(copy.calls().back(), L"destroy");
    EXPECT_EQ(copy.counter(kVtCountLiveHandles), 0u);
    EXPECT_EQ(other.calls(), (Names{L"CreateObject", L"create", L"processAlert", L"freeProcessResult"}));

    // An unknown state value reloads too.
    plugin->setState(9);
    EXPECT_TRUE(logger->Contains(LevelNormal, L"Changing state of plugin for ProductA to UNKNOWN."));
    std::wstring content;
    EXPECT_EQ(plugin->getAlertContent(kAlert, L"Toast", content), 0u);
    EXPECT_TRUE(logger->Contains(LevelNormal, L"Plugin for ProductA is in state UNKNOWN. Attempting to reload."));
    EXPECT_EQ(other.counter(kVtPluginCreate), 2u);
    EXPECT_EQ(other.counter(kVtCountLiveHandles), 1u);
    expectNothingOutstanding(copy);
    expectNothingOutstanding(other);
}

TEST_F(PluginLib, FailedReloadIsAnsweredOnEveryCallUntilALoadWorks) {
    auto plugin = make();
    ASSERT_EQ(plugin->load(), 0u);
    settings->erase(kKey);
    plugin->setState(AlertPluginLib::INVALIDATED);
    std::wstring processed = kUntouched;
    std::wstring reason = kUntouched;
    std::wstring content = kUntouched;
    std::int32_t suppress = 0;
    EXPECT_EQ(plugin->processAlert(kAlert, processed, &suppress, reason), MODULE_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(plugin->getAlertContent(kAlert, L"Toast", content), MODULE_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(logger->Count(LevelError, L"Failed to verify the plugin state for product: ProductA"), 2u);
    EXPECT_EQ(processed, kUntouched);
    EXPECT_EQ(content, kUntouched);
    EXPECT_EQ(plugin->state(), AlertPluginLib::UNLOADED);
    EXPECT_EQ(copy.counter(kVtCountLiveHandles), 0u);
    EXPECT_EQ(settings->requestedNames().size(), 3u);

    settings->set(kKey, registration(folder.path(), L"ProductA.dll"));
    EXPECT_EQ(plugin->processAlert(kAlert, processed, &suppress, reason), 0u);
    EXPECT_EQ(plugin->state(), AlertPluginLib::LOADED);
    expectNothingOutstanding(copy);
}

TEST_F(PluginLib, FailedDestroyIsAWarningAndTheInstanceIsForgotten) {
    auto plugin = make();
    ASSERT_EQ(plugin->load(), 0u);
    copy.setStatus(kVtPluginDestroy, 7);
    EXPECT_EQ(plugin->unload(), 0u);
    EXPECT_TRUE(
        logger->Contains(LevelWarning, L"Failed to destroy alert plugin instance. Product: ProductA. Error code: 7."));
    EXPECT_EQ(plugin->state(), AlertPluginLib::UNLOADED);
    const std::size_t calls = copy.journal().size();
    plugin.reset();  // nothing left to destroy
    EXPECT_EQ(copy.journal().size(), calls);
}

TEST_F(PluginLib, LoadedStateWithoutAnInstanceReloadsInsteadOfCallingThroughNothing) {
    auto plugin = make();
    plugin->setState(AlertPluginLib::LOADED);
    std::wstring processed;
    std::wstring reason;
    std::int32_t suppress = 0;
    EXPECT_EQ(plugin->processAlert(kAlert, processed, &suppress, reason), 0u);
    EXPECT_EQ(processed, kAlert);
    EXPECT_EQ(copy.counter(kVtPluginCreate), 1u);
}

class DefaultPlugin : public PluginLib {
protected:
    void SetUp() override {
        PluginLib::SetUp();
        ASSERT_TRUE(hklm.ok());
        ASSERT_TRUE(kyt.ok());
    }
    bool writeInstallDir(const std::wstring& value) {
        Kelmora::CRegKey key;
        return key.Create(HKEY_LOCAL_MACHINE, Drem::kDefaultPluginKey) == ERROR_SUCCESS &&
               key.SetStringValue(Drem::kDefaultPluginFolderValue, value.c_str()) == ERROR_SUCCESS;
    }

    Kelmora::testing::PrivateHklm hklm;
    PluginCopy kyt{folder.path(), L"kytplugin.dll"};
};

TEST_F(DefaultPlugin, ComesFromTheRegisteredInstallFolderWithoutAskingTheSettings) {
    ASSERT_TRUE(writeInstallDir(folder.path()));
    auto plugin = make(L"DEFAULT");
    EXPECT_EQ(plugin->load(), 0u);
    EXPECT_TRUE(logger->Contains(LevelNormal, L"Loading default plugin Name: kytplugin.dll, Path: " + folder.path()));
    EXPECT_TRUE(settings->requestedNames().empty());
    EXPECT_EQ(kyt.counter(kVtPluginCreate), 1u);
}

TEST_F(DefaultPlugin, OtherwiseLiesBesideTheProgramFolder) {
    const std::wstring program = Drem::testing::programFolder();
    const std::wstring expected = program.substr(0, program.rfind(L'\\')) + L"\\KytPlugin";
    // No key, and a value too long for its buffer.
    for (bool tooLong : {false, true}) {
        SCOPED_TRACE(tooLong);
        logger->Clear();
        if (tooLong) {
            ASSERT_TRUE(writeInstallDir(folder.path() + L"\\" + std::wstring(300, L'x')));
        }
        auto plugin = make(L"DEFAULT");
        EXPECT_EQ(plugin->load(), MODULE_STATUS_NOT_SUPPORTED);
        EXPECT_TRUE(logger->Contains(LevelNormal, L"Loading default plugin Name: kytplugin.dll, Path: " + expected));
    }
    EXPECT_TRUE(settings->requestedNames().empty());
}

TEST_F(DefaultPlugin, OnlyTheExactNameIsTheDefault) {
    ASSERT_TRUE(writeInstallDir(folder.path()));
    auto plugin = make(L"default");
    EXPECT_EQ(plugin->load(), MODULE_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(settings->requestedNames(), Names{L"Vantrel/Product/default"});
    EXPECT_EQ(kyt.counter(kVtPluginCreate), 0u);
}
