// Plug-ins loaded the way the service loads them: placeholders expanded,
// the signature checked against a signer list naming the test signer.
#include "alerts/src/plugins/PluginRegistrar.h"
#include "alerts/src/plugins/testing/PluginTesting.h"

#include "alerts/src/common/testing/RecordingTelemetry.h"
#include "framework/message/ModuleStatus.h"
#include "platform/Logging/testing/CapturingLogger.h"
#include "platform/trust/TrustVerifier.h"
#include "platform/trust/testing/SwitchableProcessVerifier.h"
#include "platform/trust/testing/TestTrust.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

using Drem::AlertPluginLib;
using Drem::PluginRegistrar;
using Drem::testing::FakeSettingsManager;
using Drem::testing::PluginCopy;
using Drem::testing::TempFolder;
using Drem::testing::registration;
using ETWLogging::LevelError;
using ETWLogging::testing::ScopedCapturingLogger;

namespace {

constexpr wchar_t kAlert[] = L"{\"id\":\"A1\",\"product\":\"Signed\",\"context\":{}}";

// The process's verifier trusts what the test signer signed under the test
// root, with no validation library and no list file.
class TrustEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_TRUE(Tessil::testing::InstallTestRootCertificate());
        const std::wstring empty = L"Software\\VantrelPluginTrust-" + std::to_wstring(GetCurrentProcessId());
        HKEY root = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, empty.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root,
                                  nullptr),
                  ERROR_SUCCESS);
        const std::wstring listPath = listFolder.path() + L"\\trusted.js";
        Tessil::testing::SetProcessVerifierFactory([&] {
            return std::make_unique<Tessil::TrustVerifier>(
                std::make_shared<Tessil::testing::TestTrustPolicy>(
                    Tessil::testing::TestRootList({L"Vantrel Test Signer"})),
                listPath, root);
        });
        const bool noValidationControl = !Tessil::TrustVerifier::GetInstance().HasValidationControl();
        Tessil::testing::SetProcessVerifierFactory(nullptr);
        RegCloseKey(root);
        RegDeleteTreeW(HKEY_CURRENT_USER, empty.c_str());
        ASSERT_TRUE(noValidationControl);
    }
    TempFolder listFolder;
};

const auto* const kTrust = ::testing::AddGlobalTestEnvironment(new TrustEnvironment);

// A copy of the neighbour with one byte of its code changed.
bool writeTampered(const std::wstring& path) {
    const std::wstring source = Drem::testing::programFolder() + L"\\TestPlugin.dll";
    if (!CopyFileW(source.c_str(), path.c_str(), FALSE)) {
        return false;
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    BYTE byte = 0;
    DWORD done = 0;
    bool ok = SetFilePointer(file, 0x400, nullptr, FILE_BEGIN) == 0x400 && ReadFile(file, &byte, 1, &done, nullptr);
    byte ^= 0x01;
    ok = ok && SetFilePointer(file, 0x400, nullptr, FILE_BEGIN) == 0x400 && WriteFile(file, &byte, 1, &done, nullptr);
    CloseHandle(file);
    return ok;
}

class SignedPlugin : public ::testing::Test {
protected:
    std::unique_ptr<AlertPluginLib> make(const std::wstring& product) {
        return std::make_unique<AlertPluginLib>(product, nullptr, settings);
    }

    ScopedCapturingLogger logger;
    Drem::testing::ScopedRecordingTelemetry telemetry;
    TempFolder folder;
    std::shared_ptr<FakeSettingsManager> settings = std::make_shared<FakeSettingsManager>();
};

}  // namespace

TEST_F(SignedPlugin, RegisteredWithAPlaceholderFolderItPassesTheCheckAndServesAlerts) {
    settings->set(L"Vantrel/Product/Signed", registration(L"$(App.Folder)", L"TestPlugin.dll"));
    // Scripted through the service's own load; the copy is not held here.
    PluginCopy loaded{Drem::testing::programFolder(), L"TestPlugin.dll", false};
    {
        PluginRegistrar registrar(settings, [this](const std::wstring& name) { return make(name); });
        std::wstring processed;
        std::wstring reason;
        std::wstring content;
        std::int32_t suppress = 0;
        ASSERT_EQ(registrar.processAlert(L"Signed", kAlert, processed, &suppress, reason), 0u);
        EXPECT_EQ(processed, kAlert);
        ASSERT_EQ(registrar.getAlertContent(L"Signed", kAlert, L"Toast", content), 0u);
        EXPECT_EQ(content, L"content for Toast");

        ASSERT_TRUE(loaded.loaded());
        EXPECT_EQ(loaded.counter(kVtPluginCreate), 1u);
        EXPECT_EQ(loaded.counter(kVtCountOutstandingStrings), 0u);
        EXPECT_TRUE(telemetry->named(L"Vantrel.Plugin.Failed").empty());
    }
    EXPECT_FALSE(loaded.loaded());  // the registrar's cache held the last reference
}

TEST_F(SignedPlugin, ChangedOrUnsignedCopiesAreRefusedBeforeLoading) {
    ASSERT_TRUE(writeTampered(folder.path() + L"\\Tampered.dll"));
    const std::wstring unsignedFolder = Tessil::testing::WindowsPathOf(VT_UNSIGNED_PLUGIN_DIR);
    struct Case {
        const wchar_t* product;
        std::wstring folder;
        const wchar_t* file;
    };
    for (const Case& c : {Case{L"Tampered", folder.path(), L"Tampered.dll"},
                          Case{L"Unsigned", unsignedFolder, L"TestPlugin.dll"}}) {
        SCOPED_TRACE(c.product);
        settings->set(std::wstring(L"Vantrel/Product/") + c.product, registration(c.folder, c.file));
        auto plugin = make(c.product);
        EXPECT_EQ(plugin->load(), MODULE_STATUS_NOT_SUPPORTED);
        EXPECT_TRUE(logger->Contains(
            LevelError, std::wstring(L"Failed create SharedLibrary for plugin: ") + c.product + L". Exception: "));
        EXPECT_EQ(GetModuleHandleW((c.folder + L"\\" + c.file).c_str()), nullptr);
    }
}
