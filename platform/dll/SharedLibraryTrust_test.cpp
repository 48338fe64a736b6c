// The checked road with real files: the signature check through the
// validation library, a real version resource on the deny list, and a
// library already loaded in the process.
#include "platform/dll/SharedLibrary.h"

#include "framework/message/ModuleException.h"
#include "platform/Logging/testing/CapturingLogger.h"
#include "platform/Registry/ObfuscatedRegKey.h"
#include "platform/Registry/testing/TestRegistry.h"
#include "platform/files/FileVersionInfo.h"
#include "platform/trust/testing/TestTrust.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using ETWLogging::testing::ScopedCapturingLogger;

namespace {

std::wstring windowsPath(const wchar_t* unixPath) {
    std::wstring path = unixPath;
    for (auto& c : path) {
        if (c == L'/') c = L'\\';
    }
    return L"Z:" + path;
}

std::wstring busFolder(const wchar_t* kind) {
    return windowsPath(VT_BUS_COPIES) + L"\\" + kind;
}

// Sets the validation library's verdict for the object's lifetime.
class Verdict {
public:
    explicit Verdict(const wchar_t* trusted) { SetEnvironmentVariableW(L"VT_QAV_TRUST", trusted); }
    ~Verdict() { SetEnvironmentVariableW(L"VT_QAV_TRUST", nullptr); }
};

std::string constructionError(const std::function<void()>& construct) {
    try {
        construct();
    } catch (const Tessil::ModuleException& e) {
        return e.what();
    }
    return "";
}

class CheckedLoading : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(Tessil::testing::MakeProcessVerifierWithValidationLibrary(
            windowsPath(VT_VALIDATION_DIR).c_str()));
    }
};

}  // namespace

TEST_F(CheckedLoading, AnUntrustedBusLibraryIsRefusedAndATrustedOneLoads) {
    struct Case {
        const char* what;
        const wchar_t* folder;
        const wchar_t* verdict;
        bool loads;
    };
    const Case cases[] = {
        {"unsigned, no verdict", L"unsigned", nullptr, false},
        {"signed by a signer the built-in list does not name", L"signed", nullptr, false},
        {"signed and accepted by the validation library", L"signed", L"MessageBus.dll", true},
    };
    for (const Case& c : cases) {
        ScopedCapturingLogger logger;
        Verdict verdict(c.verdict);
        std::shared_ptr<Tessil::SharedLibrary> library;
        const std::string error = constructionError([&] {
            library = std::make_shared<Tessil::SharedLibrary>(
                Tessil::LibraryDescriptor{L"MessageBus.dll", {busFolder(c.folder)}});
        });
        if (!c.loads) {
            EXPECT_EQ(error, "Failed to load library") << c.what;
            EXPECT_TRUE(logger->Contains(ETWLogging::LevelError, L"LoadLibrary Failed. GLE: 5")) << c.what;
            EXPECT_TRUE(logger->Contains(
                ETWLogging::LevelError,
                L"Failed to load library. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650)."))
                << c.what;
            EXPECT_TRUE(logger->Contains(ETWLogging::LevelError, L"Failed to load library: MessageBus.dll."))
                << c.what;
            continue;
        }
        ASSERT_EQ(error, "") << c.what;
        Tessil::LibraryFunctions* functions = library->getFunctions();
        EXPECT_NE(functions->CreateObject(2001000), nullptr);
        EXPECT_EQ(functions->CreateObject(7), nullptr);
        EXPECT_EQ(functions->GetVersionNum(), 2001000u);
    }
}

TEST_F(CheckedLoading, TheDenyListReadsTheLibrarysOwnVersionResource) {
    Kelmora::testing::PrivateHklm hklm;
    ASSERT_TRUE(hklm.ok());
    const std::wstring folder = windowsPath(VT_TEST_MODULE_DIR);
    const std::wstring subKey = std::wstring(Tessil::kLibraryDenyListKey) + L"testmodule.dll";
    Kelmora::CObfuscatedRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, subKey.c_str()), ERROR_SUCCESS);

    struct Case {
        const char* what;
        const wchar_t* denied;
        const wchar_t* verdict;
        std::string error;
        bool blocked;
    };
    const Case cases[] = {
        {"its version is denied", L"1.2.3.4", L"TestModule.dll", "Failed to load library", true},
        {"another version is denied, and the file is not trusted", L"1.2.3.5", nullptr,
         "Failed to load library", false},
        {"another version is denied", L"1.2.3.5", L"TestModule.dll", "", false},
    };
    for (const Case& c : cases) {
        key.DeleteValue(L"1.2.3.4");
        key.DeleteValue(L"1.2.3.5");
        ASSERT_EQ(key.SetStringValue(c.denied, c.denied), ERROR_SUCCESS);
        ScopedCapturingLogger logger;
        Verdict verdict(c.verdict);
        EXPECT_EQ(constructionError([&] {
                      Tessil::SharedLibrary library(Tessil::LibraryDescriptor{L"TestModule.dll", {folder}});
                  }),
                  c.error)
            << c.what;
        EXPECT_EQ(logger->Contains(ETWLogging::LevelInformation,
                                   L"Blocked library: " + folder + L"\\TestModule.dll."),
                  c.blocked)
            << c.what;
    }
}

// Reads the real version resource, after trying to change the file the way
// a swap between the version read and the load would.
class ChangingVersionInfo : public Kelmora::FileVersionInfo {
public:
    bool Load(const std::wstring& path) override {
        for (const auto& [name, access] : Tessil::testing::kChangingAccess) {
            HANDLE other = Tessil::testing::OpenWithSharingAll(path, access);
            if (other != INVALID_HANDLE_VALUE) {
                changeable.push_back(name);
                CloseHandle(other);
            }
        }
        ++loads;
        return Kelmora::FileVersionInfo::Load(path);
    }
    std::vector<std::string> changeable;
    int loads = 0;
};

TEST_F(CheckedLoading, TheDenyListReadsTheVersionOfTheFileThatIsHeldUntilLoaded) {
    Kelmora::testing::PrivateHklm hklm;
    ASSERT_TRUE(hklm.ok());
    Kelmora::CObfuscatedRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE,
                         (std::wstring(Tessil::kLibraryDenyListKey) + L"testmodule.dll").c_str()),
              ERROR_SUCCESS);
    ASSERT_EQ(key.SetStringValue(L"9.9.9.9", L"9.9.9.9"), ERROR_SUCCESS);
    Verdict verdict(L"TestModule.dll");
    auto versionInfo = std::make_shared<ChangingVersionInfo>();
    {
        Tessil::SharedLibrary library(
            Tessil::LibraryDescriptor{L"TestModule.dll", {windowsPath(VT_TEST_MODULE_DIR)}}, nullptr,
            nullptr, nullptr, versionInfo);
        EXPECT_NE(library.module(), nullptr);
    }
    EXPECT_EQ(versionInfo->loads, 1);
    EXPECT_TRUE(versionInfo->changeable.empty())
        << "could be opened for " << versionInfo->changeable.front();
}

TEST_F(CheckedLoading, AnAlreadyLoadedLibraryIsHandedOutWithoutASecondCheck) {
    const std::wstring folder = busFolder(L"signed");
    std::unique_ptr<Tessil::SharedLibrary> first;
    {
        Verdict verdict(L"MessageBus.dll");
        first = std::make_unique<Tessil::SharedLibrary>(
            Tessil::LibraryDescriptor{L"MessageBus.dll", {folder}});
    }
    // No verdict now: only the already-loaded road can hand it out.
    Tessil::SharedLibrary second(Tessil::LibraryDescriptor{L"MessageBus.dll", {folder}});
    EXPECT_EQ(second.module(), first->module());
    first.reset();
    const std::wstring path = folder + L"\\MessageBus.dll";
    EXPECT_EQ(GetModuleHandleW(path.c_str()), second.module());
}
