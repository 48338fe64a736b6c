// Vantrel.dll itself: its exports and version, a construction that cannot
// bind the bus library, and one alert end to end in the module host.
#include "alerts/Vantrel/rig/VantrelRig.h"
#include "framework/message/ModuleStatus.h"
#include "framework/module/ModuleFunctions.h"
#include "platform/Registry/testing/TestRegistry.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

#include <string>
#include <vector>

namespace {

std::wstring vantrelPath() { return VantrelRig::windowsPath(VT_VANTREL); }

template <typename T>
T exported(HMODULE module, const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Owns one loaded library.
class Library {
public:
    explicit Library(const std::wstring& path) : module_(LoadLibraryW(path.c_str())) {}
    ~Library() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

std::size_t threadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    std::size_t count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

TEST(VantrelDll, ExportsTheEntryTableAndItsVersion) {
    Library library(vantrelPath());
    ASSERT_NE(library.get(), nullptr);
    auto createObject = exported<const ModuleFunctions* (*)(std::uint32_t)>(library.get(), "CreateObject");
    auto versionNum = exported<std::uint32_t (*)()>(library.get(), "GetVersionNum");
    auto versionStr = exported<const char* (*)()>(library.get(), "GetVersionStr");
    auto releaseObject = exported<void (*)(void*)>(library.get(), "ReleaseObject");
    ASSERT_TRUE(createObject && versionNum && versionStr && releaseObject);
    EXPECT_NE(createObject(2001000), nullptr);
    EXPECT_EQ(createObject(0), createObject(2001000));
    EXPECT_EQ(versionNum(), 2001000u);
    EXPECT_STREQ(versionStr(), "2.1.0");
    releaseObject(nullptr);

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(vantrelPath().c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> data(size);
    ASSERT_TRUE(GetFileVersionInfoW(vantrelPath().c_str(), 0, size, data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00020001u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
}

TEST(VantrelDll, NewModuleWithoutTheBusLibraryFailsAndLeavesNoThread) {
    Kelmora::testing::PrivateHklm hklm;  // no install folder: no bus library to be found
    ASSERT_TRUE(hklm.ok());
    Library library(vantrelPath());
    ASSERT_NE(library.get(), nullptr);
    const ModuleFunctions* table =
        exported<const ModuleFunctions* (*)(std::uint32_t)>(library.get(), "CreateObject")(2001000);
    ASSERT_NE(table, nullptr);
    const std::size_t before = threadCount();
    auto* const untouched = reinterpret_cast<ModuleHandle*>(0x1234);
    ModuleHandle* handle = untouched;
    EXPECT_EQ(table->NewModule(&handle, nullptr), MODULE_STATUS_UNKNOWN_EXCEPTION);
    EXPECT_EQ(handle, untouched);
    EXPECT_EQ(threadCount(), before);
    EXPECT_EQ(table->NewModule(nullptr, nullptr), MODULE_STATUS_INVALID_PARAMETER);
}

const VantrelRig::Paths kPaths{VT_VANTREL, std::wstring(VT_BUS_COPIES) + L"/signed/MessageBus.dll",
                               VT_VALIDATION_DIR, VT_TEST_PLUGIN};

TEST(VantrelDll, DestroyAfterAFailedInitializationReturns) {
    VantrelRig::Machine machine(kPaths);
    ASSERT_TRUE(machine.ok()) << std::string(machine.error().begin(), machine.error().end());
    Library library(vantrelPath());
    ASSERT_NE(library.get(), nullptr);
    const ModuleFunctions* table =
        exported<const ModuleFunctions* (*)(std::uint32_t)>(library.get(), "CreateObject")(2001000);
    ASSERT_NE(table, nullptr);
    ModuleHandle* handle = nullptr;
    ASSERT_EQ(table->NewModule(&handle, nullptr), MODULE_STATUS_SUCCESS);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(table->InitializeModuleV2(handle, L"Vantrel", L"", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                                        nullptr),
              MODULE_STATUS_UNKNOWN_EXCEPTION);
    EXPECT_EQ(table->DestroyModule(handle), MODULE_STATUS_SUCCESS);
}

class EndToEnd : public ::testing::TestWithParam<int> {};

TEST_P(EndToEnd, OneAlertIsQueuedShownAndClosedInTheHost) {
    const VantrelRig::Paths& paths = kPaths;
    VantrelRig::Machine machine(paths);
    ASSERT_TRUE(machine.ok()) << std::string(machine.error().begin(), machine.error().end());
    VantrelRig::Scenario scenario;
    scenario.initializeVersion = GetParam();
    const VantrelRig::Outcome outcome = VantrelRig::run(paths, scenario);

    std::wstring notes;
    for (const auto& line : outcome.notes) notes += line + L"\n";
    SCOPED_TRACE(std::string(notes.begin(), notes.end()));
    std::vector<std::wstring> entries;
    for (const auto& step : outcome.steps) entries.push_back(step.entry + L" " + std::to_wstring(step.status));
    const std::wstring initialize = GetParam() == 2 ? L"InitializeModuleV2 0" : L"InitializeModule 0";
    const std::vector<std::wstring> expected = {L"NewModule 0",  initialize,              L"StartModule 0",
                                                L"StopModule 0", L"UninitializeModule 0", L"DestroyModule 0"};
    EXPECT_EQ(entries, expected);
    EXPECT_EQ(outcome.instance, L"1");
    EXPECT_EQ(outcome.reply, L"Vantrel.Alert." + scenario.alertId + L".Queued.1");
    EXPECT_EQ(outcome.viewerRequest, L"Vantrel.Viewer." + scenario.viewerId + L".Show.1");
    EXPECT_EQ(outcome.shownContent, L"content for " + scenario.viewerId);
    EXPECT_EQ(outcome.closing, L"Vantrel.Alert." + scenario.alertId + L".Dismissed.1");
}

INSTANTIATE_TEST_SUITE_P(InitializationVersions, EndToEnd, ::testing::Values(1, 2));

}  // namespace
