// Vantrel.dll itself: its exports and version, a construction that cannot
// bind the bus library, one alert end to end in the module host, and the
// module's threads and connections across log-offs and its teardown in the
// host's order.
#include "alerts/Vantrel/rig/VantrelRig.h"
#include "alerts/data/AlertInfo.h"
#include "alerts/src/common/testing/BusRecorder.h"
#include "framework/message/ModuleStatus.h"
#include "framework/module/ModuleFunctions.h"
#include "neighbours/MessageBus/MessageBusScript.h"
#include "neighbours/SettingsManager/SettingsManagerNeighbour.h"
#include "neighbours/monitor/SystemMonitorNeighbour.h"
#include "neighbours/viewer/ViewerNeighbour.h"
#include "platform/Registry/testing/TestRegistry.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

using Clock = std::chrono::steady_clock;

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Runs an entry point on a thread of the test and answers its status. An
// entry that has not returned within a bound far beyond any sound teardown
// ends the test program, since nothing after it could run.
std::uint32_t boundedEntry(const char* entry, const std::function<std::uint32_t()>& call) {
    constexpr auto kBound = std::chrono::seconds(30);
    std::mutex mutex;
    std::condition_variable returned;
    bool done = false;
    std::uint32_t status = 0;
    const auto started = Clock::now();
    std::thread caller([&] {
        const std::uint32_t result = call();
        std::lock_guard<std::mutex> lock(mutex);
        status = result;
        done = true;
        returned.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!returned.wait_for(lock, kBound, [&] { return done; })) {
            std::cout << "[  FAILED  ] " << entry << " had not returned after " << kBound.count() << " s"
                      << std::endl;
            TerminateProcess(GetCurrentProcess(), 1);
        }
    }
    caller.join();
    std::cout << "[ figures  ] " << entry << " returned in " << millisecondsSince(started) << " ms" << std::endl;
    return status;
}

// Waits until check holds, within a generous bound; answers whether it did.
bool eventually(const std::function<bool()>& check, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    const auto deadline = Clock::now() + bound;
    while (!check()) {
        if (Clock::now() > deadline) {
            return false;
        }
        Sleep(5);
    }
    return true;
}

// Vantrel.dll driven through its entry table on the host's own bus handle
// (initialisation version 2), with the neighbours on handles of their own:
// the settings manager naming one viewer, that viewer, the system monitor and
// a producer. The module is let go in the host's order: StopModule,
// UninitializeModule, DestroyModule, then the host closes its bus and frees
// the library.
class InTheHost : public ::testing::Test {
protected:
    static constexpr std::uint32_t kSession = 1;  // the active session of the sessions replacement

    void SetUp() override {
        ASSERT_TRUE(machine_.ok()) << std::string(machine_.error().begin(), machine_.error().end());
        host_ = std::make_unique<Tessil::host::ModuleHost>();
        ASSERT_TRUE(host_->loadModule(VantrelRig::windowsPath(kPaths.vantrel)));
        ASSERT_TRUE(host_->openHostBus(VantrelRig::windowsPath(kPaths.busLibrary)));
        HMODULE bus = GetModuleHandleW(VantrelRig::windowsPath(kPaths.busLibrary).c_str());
        ASSERT_NE(bus, nullptr);
        openHandles_ = exported<VtBusScript_OpenHandleCount_t>(bus, "VtBusScript_OpenHandleCount");
        ASSERT_NE(openHandles_, nullptr);

        handles_ = std::make_unique<VantrelRig::BusHandles>(host_->hostBusFunctions());
        auto settingsBus = handles_->open();
        auto viewerBus = handles_->open();
        producer_ = handles_->open();
        auto monitorBus = handles_->open();
        ASSERT_TRUE(settingsBus && viewerBus && producer_ && monitorBus);
        settings_ = std::make_unique<Neighbours::SettingsManagerNeighbour>(settingsBus);
        settings_->store(L"Vantrel/Viewer/" + viewerId_, L"{}");
        viewer_ = std::make_unique<Neighbours::ViewerNeighbour>(viewerBus, viewerId_);
        ASSERT_TRUE(settings_->start() && viewer_->start());
        monitor_ = std::make_unique<Neighbours::SystemMonitorNeighbour>(monitorBus);
        closing_ = std::make_unique<Drem::testing::BusRecorder>(
            producer_, L"Vantrel\\.Alert\\..*\\.(Dismissed|Failed)\\..*");
        ASSERT_TRUE(closing_->subscribed());
        threadsWithoutModule_ = threadCount();
        handlesWithoutModule_ = openHandles_();

        table_ = host_->table();
        ASSERT_EQ(table_->NewModule(&handle_, nullptr), MODULE_STATUS_SUCCESS);
        ASSERT_EQ(table_->InitializeModuleV2(handle_, L"Vantrel", L"", 0, nullptr, nullptr, nullptr, nullptr,
                                             host_->hostBusHandle(), host_->hostBusFunctions()),
                  MODULE_STATUS_SUCCESS);
        ASSERT_EQ(table_->StartModule(handle_), MODULE_STATUS_SUCCESS);
    }

    void TearDown() override {
        if (handle_ != nullptr) {
            letTheModuleGo();
        }
        releaseNeighbours();
        host_.reset();
        // Freed by the host, the library is gone: no thread that ran its code
        // (this one ran StartModule, which waits for the settings manager's
        // reply) keeps a reference to it for the thread's exit.
        EXPECT_EQ(GetModuleHandleW(VantrelRig::windowsPath(kPaths.vantrel).c_str()), nullptr);
    }

    // StopModule, UninitializeModule and DestroyModule, each bounded and timed.
    void letTheModuleGo() {
        ModuleHandle* handle = std::exchange(handle_, nullptr);
        EXPECT_EQ(boundedEntry("StopModule", [&] { return table_->StopModule(handle); }), MODULE_STATUS_SUCCESS);
        EXPECT_EQ(boundedEntry("UninitializeModule", [&] { return table_->UninitializeModule(handle); }),
                  MODULE_STATUS_SUCCESS);
        EXPECT_EQ(boundedEntry("DestroyModule", [&] { return table_->DestroyModule(handle); }),
                  MODULE_STATUS_SUCCESS);
    }

    void releaseNeighbours() {
        closing_.reset();
        monitor_.reset();
        viewer_.reset();
        settings_.reset();
        producer_.reset();
        handles_.reset();
    }

    // The request's reply, or empty.
    std::shared_ptr<Tessil::Message> ask(const std::wstring& name, const std::wstring& payload = L"") {
        std::shared_ptr<Tessil::Reply> reply;
        if (producer_->request(Tessil::Message::create(name, L"Producer", payload), reply, 20000) != 0 || !reply ||
            reply->wait() != Tessil::REPLY_STATUS_RECEIVED) {
            return nullptr;
        }
        return reply->getMessage();
    }

    struct Sent {
        std::wstring instance;
        std::wstring payload;
        std::wstring reply;  // the module's answer
    };

    // Asks for an instance number and shows an alert with it in the session.
    Sent showAlert(std::uint32_t sessionId, std::uint32_t timeout) {
        auto id = ask(L"Vantrel.Alert.GetId");
        const std::wstring instance = id ? id->getPayload() : L"0";
        Drem::AlertInfo info;
        info.id = L"3F2A9C1E-7B64-4D0A-9E5B-1C8D2F6A4B70";
        info.instanceId = instance;
        info.product = L"DemoProduct";
        info.priority = 2;
        info.sessionId = sessionId;
        info.timeout = timeout;
        info.preferredViewer = {viewerId_};
        info.context = L"{\"title\":\"Disk almost full\",\"defaultcontent\":\"Free some space.\"}";
        const std::wstring payload = Drem::AlertInfo::toJson(info);
        auto answer = ask(L"Vantrel.Alert.Show." + instance, payload);
        return {instance, payload, answer ? answer->getName() : L"(no answer)"};
    }

    VantrelRig::Machine machine_{kPaths};
    std::unique_ptr<Tessil::host::ModuleHost> host_;
    VtBusScript_OpenHandleCount_t openHandles_ = nullptr;
    const std::wstring viewerId_ = L"DemoViewer";
    std::unique_ptr<VantrelRig::BusHandles> handles_;
    std::shared_ptr<Tessil::MessageBusClient> producer_;
    std::unique_ptr<Neighbours::SettingsManagerNeighbour> settings_;
    std::unique_ptr<Neighbours::ViewerNeighbour> viewer_;
    std::unique_ptr<Neighbours::SystemMonitorNeighbour> monitor_;
    std::unique_ptr<Drem::testing::BusRecorder> closing_;
    std::size_t threadsWithoutModule_ = 0;
    std::uint32_t handlesWithoutModule_ = 0;
    const ModuleFunctions* table_ = nullptr;
    ModuleHandle* handle_ = nullptr;
};

TEST_F(InTheHost, EachLogoffLetsItsSessionGoAndNoThreadOutlivesTheModule) {
    // The first alert loads the plug-in, which keeps a connection of its own:
    // one for no particular session while no session is active, taken back.
    SetEnvironmentVariableW(L"VT_WTS_ACTIVE_SESSION", L"0");
    const Sent first = showAlert(0, 30);
    SetEnvironmentVariableW(L"VT_WTS_ACTIVE_SESSION", nullptr);
    ASSERT_NE(first.reply.find(L".Queued."), std::wstring::npos);
    auto deleted = ask(L"Vantrel.Alert.Delete." + first.instance, first.payload);
    ASSERT_TRUE(deleted);
    ASSERT_EQ(deleted->getName(), L"Vantrel.Alert..Deleted." + first.instance);
    // Started and idle: no user session.
    const std::size_t threadsIdle = threadCount();
    const std::uint32_t handlesIdle = openHandles_();
    constexpr int kCycles = 20;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const std::wstring reply = showAlert(kSession, 30).reply;
        ASSERT_NE(reply.find(L".Queued."), std::wstring::npos) << std::string(reply.begin(), reply.end());
        ASSERT_TRUE(closing_->waitFor(1 + cycle, 20000)) << "cycle " << cycle;
        const std::size_t threadsWithSession = threadCount();
        const std::uint32_t handlesWithSession = openHandles_();
        ASSERT_GT(handlesWithSession, handlesIdle) << "cycle " << cycle;  // the session's connections
        ASSERT_EQ(monitor_->logoff(kSession), 0u);
        const auto loggedOff = Clock::now();
        // No further log-off comes: the session goes once its thread has ended.
        const bool gone = eventually([&] { return openHandles_() == handlesIdle && threadCount() == threadsIdle; });
        std::cout << "[ counts   ] cycle " << cycle << ": threads " << threadsIdle << " -> " << threadsWithSession
                  << " -> " << threadCount() << ", bus handles " << handlesIdle << " -> " << handlesWithSession
                  << " -> " << openHandles_() << ", " << millisecondsSince(loggedOff) << " ms after the log-off"
                  << std::endl;
        ASSERT_TRUE(gone) << "cycle " << cycle;
    }

    letTheModuleGo();
    // When DestroyModule has returned, nothing of the module runs or waits.
    const bool none = eventually([&] {
        return threadCount() == threadsWithoutModule_ && openHandles_() == handlesWithoutModule_;
    });
    std::cout << "[ counts   ] after DestroyModule: threads " << threadCount() << " (" << threadsWithoutModule_
              << " without the module), bus handles " << openHandles_() << " (" << handlesWithoutModule_ << ")"
              << std::endl;
    EXPECT_TRUE(none);
    // The host's order follows in TearDown: its bus closed, then the
    // module's library freed.
}

TEST_F(InTheHost, StopUninitializeAndDestroyReturnWithAnAlertOnScreen) {
    // A viewer that never reports the alert closed nor answers its Delete.
    viewer_->setShowClosing(Neighbours::ViewerNeighbour::ClosingMode::Never);
    viewer_->setDeleteReply(Neighbours::ViewerNeighbour::ReplyMode::None);
    ASSERT_NE(showAlert(kSession, 60).reply.find(L".Queued."), std::wstring::npos);
    ASSERT_TRUE(viewer_->waitForRequests(1, 20000));
    letTheModuleGo();
    EXPECT_TRUE(eventually([&] { return threadCount() == threadsWithoutModule_; }));
}

}  // namespace
