#include "platform/dll/DllLoader.h"
#include "platform/dll/testing/FakeDllAPI.h"

#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

using ETWLogging::testing::ScopedCapturingLogger;
using Tessil::testing::FakeDllAPI;

namespace {

const HMODULE kModule = reinterpret_cast<HMODULE>(0x10000);
const wchar_t kPath[] = L"C:\\libs\\lib.dll";

int exportedFunction() { return 7; }

std::shared_ptr<FakeDllAPI> MakeApi() {
    auto api = std::make_shared<FakeDllAPI>();
    api->libraries[kPath] = {kModule, {{"CreateObject", Tessil::testing::AsProc(&exportedFunction)}}};
    return api;
}

}  // namespace

TEST(DllLoader, LoadDllOutcomes) {
    struct Case {
        const char* what;
        bool alreadyLoaded;
        bool refused;
        bool throws;
        bool result;
        const wchar_t* log;  // level 4 line expected, or null
    };
    const Case cases[] = {
        {"loaded through the checked loader", false, false, false, true, nullptr},
        {"already loaded: one more reference, no load", true, false, false, true, nullptr},
        {"refused", false, true, false, false,
         L"Failed to load library. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650)."},
        {"exception while loading", false, false, true, false,
         L"Failed to load library. Error code: MODULE_STATUS_UNKNOWN_EXCEPTION(2147483663)."},
    };
    for (const Case& c : cases) {
        ScopedCapturingLogger logger;
        auto api = MakeApi();
        if (c.alreadyLoaded) {
            api->references[kModule] = 1;
        }
        if (c.refused) {
            api->refused.insert(kPath);
        }
        api->throwOnLoad = c.throws;
        Tessil::DllLoader loader(api);
        HMODULE module = nullptr;
        EXPECT_EQ(loader.loadDLL(kPath, &module), c.result) << c.what;
        EXPECT_EQ(module, c.result ? kModule : nullptr) << c.what;
        EXPECT_EQ(api->loads.size(), c.alreadyLoaded ? 0u : 1u) << c.what;
        if (c.result) {
            EXPECT_EQ(api->references[kModule], c.alreadyLoaded ? 2 : 1) << c.what;
        }
        if (c.log != nullptr) {
            EXPECT_TRUE(logger->Contains(ETWLogging::LevelError, c.log)) << c.what;
        } else {
            EXPECT_EQ(logger->Count(ETWLogging::LevelError, L""), 0u) << c.what;
        }
    }
}

TEST(DllLoader, NullOutputIsRefusedBeforeAnyLoad) {
    ScopedCapturingLogger logger;
    auto api = MakeApi();
    Tessil::DllLoader loader(api);
    EXPECT_FALSE(loader.loadDLL(kPath, nullptr));
    EXPECT_TRUE(api->loads.empty());
    EXPECT_TRUE(api->handleLookups.empty());
    EXPECT_TRUE(logger->Contains(ETWLogging::LevelWarning, L"Invalid pHandle specified. Exiting."));
}

TEST(DllLoader, GetProcAddressAnswersNullForMissingNamesAndExceptions) {
    struct Case {
        const char* name;
        bool throws;
        bool found;
    };
    const Case cases[] = {{"CreateObject", false, true}, {"Missing", false, false},
                          {"CreateObject", true, false}};
    for (const Case& c : cases) {
        ScopedCapturingLogger logger;
        auto api = MakeApi();
        api->throwOnLookup = c.throws;
        Tessil::DllLoader loader(api);
        FARPROC address = loader.getProcAddress(kModule, c.name);
        EXPECT_EQ(address != nullptr, c.found) << c.name;
        EXPECT_EQ(logger->Contains(ETWLogging::LevelWarning,
                                   L"getProcAddress was unsuccessful in finding the handle's address"),
                  !c.found && !c.throws)
            << c.name;
    }
}

TEST(DllLoader, RealLibraryIsLookedUpAndFreedByPathOfAnAlreadyLoadedModule) {
    // kernel32 is always loaded: the already-loaded road hands it out without a check.
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::wstring path = std::wstring(system) + L"\\kernel32.dll";
    Tessil::DllLoader loader;
    HMODULE module = nullptr;
    ASSERT_TRUE(loader.loadDLL(path, &module));
    EXPECT_EQ(module, GetModuleHandleW(L"kernel32.dll"));
    EXPECT_NE(loader.getProcAddress(module, "GetTickCount"), nullptr);
    EXPECT_EQ(loader.getProcAddress(module, "NoSuchExportAnywhere"), nullptr);
    EXPECT_TRUE(loader.freeDLL(module));
}

TEST(DllAPI, RefusedLoadLogsTheLastErrorAndEmptyPathsAreNotTrusted) {
    ScopedCapturingLogger logger;
    Tessil::DllAPI api;
    HMODULE module = reinterpret_cast<HMODULE>(1);
    EXPECT_FALSE(api.loadLibrary(L"C:\\no\\such\\folder\\none.dll", &module));
    EXPECT_TRUE(logger->Contains(ETWLogging::LevelError, L"LoadLibrary Failed. GLE: "));
    EXPECT_FALSE(api.loadLibrary(L"C:\\no\\such\\folder\\none.dll", nullptr));
    EXPECT_FALSE(api.isTrusted(L""));
}
