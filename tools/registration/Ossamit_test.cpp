// Ossamit as a process under Wine: it talks over the bus neighbour, through
// the broker, to the settings manager double running as a process of its
// own. The bus library passes the signature check through the validation
// library double, found through the real HKLM key the fixture saves and
// restores; keep every test touching that key in this program.
#include "framework/bus/MessageBusClient.h"
#include "framework/bus/MessageBusShimImpl.h"
#include "framework/json/JSONFormatter.h"
#include "tools/common/testing/ProgramFileLog.h"
#include "tools/common/testing/ProgramTestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

using Tessil::testing::ProgramFileLog;
using Tessil::testing::RunProgram;
using Tessil::testing::SavedMachineValue;
using Tessil::testing::StartProgram;
using Tessil::testing::StartupImports;
using Tessil::testing::WinePath;

namespace {

using Properties = std::map<std::wstring, std::wstring>;

const std::wstring kSuffix = std::to_wstring(GetCurrentProcessId());
const std::filesystem::path kFolder =
    std::filesystem::temp_directory_path() / (L"vt_ossamit_" + kSuffix);


std::wstring PropertiesText(const Properties& properties) {
    Tessil::JSONFormatter text;
    for (const auto& [name, value] : properties) text.setString(name, value);
    return text.toString();
}

// The broker, the machine key of the validation library, the file log of
// Ossamit and this process's own bus connection, for the whole program.
class Machine : public ::testing::Environment {
public:
    void SetUp() override {
        std::filesystem::remove_all(kFolder);
        std::filesystem::create_directories(kFolder / L"with-bus");
        std::filesystem::create_directories(kFolder / L"without-bus");
        for (const wchar_t* folder : {L"with-bus", L"without-bus"}) {
            ASSERT_TRUE(CopyFileW(WinePath(VT_OSSAMIT_EXE).c_str(),
                                  (kFolder / folder / L"Ossamit.exe").c_str(), FALSE));
        }
        ASSERT_TRUE(CopyFileW(WinePath(VT_BUS_DLL).c_str(),
                              (kFolder / L"with-bus" / L"MessageBus.dll").c_str(), FALSE));

        validationFolder = std::make_unique<SavedMachineValue>(L"Software\\Corvane\\Bastrel",
                                                               L"szInstallDir64", KEY_WOW64_32KEY);
        validationVersion = std::make_unique<SavedMachineValue>(L"Software\\Corvane\\Bastrel",
                                                                L"bastrel_version", KEY_WOW64_32KEY);
        validationFolder->WriteString(WinePath(VT_VALIDATION_DIR));
        validationVersion->WriteString(L"15.4");
        SetEnvironmentVariableW(L"VT_QAV_TRUST", L"*");
        log = std::make_unique<ProgramFileLog>(L"Ossamit");

        const std::wstring pipe = L"\\\\.\\pipe\\vt-ossamit-test-" + kSuffix;
        SetEnvironmentVariableW(L"VT_BUS_BROKER", pipe.c_str());
        broker = StartProgram(WinePath(VT_BUS_BROKER_EXE), pipe + L" " + kSuffix);
        ASSERT_NE(broker, nullptr);
        OpenOwnBus();
    }
    void TearDown() override {
        if (bus) bus->unsubscribeAll();
        bus.reset();
        if (handle) table->close(handle);
        if (broker) {
            TerminateProcess(broker, 0);
            WaitForSingleObject(broker, 60000);
            CloseHandle(broker);
        }
        log.reset();
        validationVersion.reset();
        validationFolder.reset();
        std::error_code ignored;
        std::filesystem::remove_all(kFolder, ignored);
    }

    // Plays the alert service: announces each removed registration while on.
    void OpenOwnBus() {
        HMODULE library = LoadLibraryW(WinePath(VT_BUS_DLL).c_str());
        ASSERT_NE(library, nullptr);
        auto create = reinterpret_cast<void* (*)(std::uint32_t)>(
            reinterpret_cast<void*>(GetProcAddress(library, "CreateObject")));
        table = static_cast<const Tessil::MessageBusFunctions*>(
            create(Tessil::MESSAGE_BUS_INTERFACE_VERSION));
        ASSERT_NE(table, nullptr);
        ASSERT_EQ(table->open(&handle), 0u);
        bus = std::make_shared<Tessil::MessageBusClient>(
            std::make_shared<Tessil::MessageBusShimImpl>(handle, table));
        Tessil::MessageBusClient* self = bus.get();
        bus->subscribeFilter(LR"(SettingsManager\.Notify\.Delete\.Vantrel/.*)",
                             [this, self](std::shared_ptr<Tessil::Message> m) {
                                 if (!confirming.load()) return 0u;
                                 const std::wstring prefix = L"SettingsManager.Notify.Delete.Vantrel/";
                                 std::wstring rest = m->getName().substr(prefix.size());
                                 rest[rest.find(L'/')] = L'.';
                                 ++confirmations;
                                 return self->publish(Tessil::Message::create(
                                     L"Vantrel." + rest + L".Unregistered", L"Vantrel", L"{}"));
                             });
    }

    HANDLE broker = nullptr;
    std::unique_ptr<SavedMachineValue> validationFolder;
    std::unique_ptr<SavedMachineValue> validationVersion;
    std::unique_ptr<ProgramFileLog> log;
    const Tessil::MessageBusFunctions* table = nullptr;
    Tessil::MessageBusHandle handle = nullptr;
    std::shared_ptr<Tessil::MessageBusClient> bus;
    std::atomic<bool> confirming{false};
    std::atomic<int> confirmations{0};
};

Machine* gMachine = static_cast<Machine*>(::testing::AddGlobalTestEnvironment(new Machine));

// One settings manager process per test, over a state file of its own.
class OssamitProcess : public ::testing::Test {
protected:
    void TearDown() override {
        StopSettings();
        gMachine->confirming = false;
        std::error_code ignored;
        std::filesystem::remove(state, ignored);
    }

    void StartSettings(const Properties& properties) {
        {
            const std::wstring text = PropertiesText(properties);
            std::ofstream out(std::filesystem::path(state), std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(text.data()),
                      static_cast<std::streamsize>(text.size() * sizeof(wchar_t)));
        }
        const std::wstring ready = L"vt-ossamit-settings-ready-" + kSuffix;
        const std::wstring stop = L"vt-ossamit-settings-stop-" + kSuffix;
        readyEvent = CreateEventW(nullptr, TRUE, FALSE, ready.c_str());
        stopEvent = CreateEventW(nullptr, TRUE, FALSE, stop.c_str());
        SetEnvironmentVariableW(L"VT_SETTINGS_STATE", state.c_str());
        SetEnvironmentVariableW(L"VT_SETTINGS_READY_EVENT", ready.c_str());
        SetEnvironmentVariableW(L"VT_SETTINGS_STOP_EVENT", stop.c_str());
        settings = StartProgram(WinePath(VT_SETTINGS_MANAGER_EXE), L"");
        ASSERT_NE(settings, nullptr);
        HANDLE both[] = {readyEvent, settings};
        ASSERT_EQ(WaitForMultipleObjects(2, both, FALSE, 60000), WAIT_OBJECT_0);
    }
    void StopSettings() {
        if (settings == nullptr) return;
        SetEvent(stopEvent);
        WaitForSingleObject(settings, 60000);
        CloseHandle(settings);
        CloseHandle(readyEvent);
        CloseHandle(stopEvent);
        settings = nullptr;
    }
    // The properties the settings manager holds, as it keeps them in its file.
    std::wstring StoredText() const {
        std::ifstream in(std::filesystem::path(state), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    }
    DWORD Run(const std::wstring& arguments, const wchar_t* folder = L"with-bus") {
        const auto result = RunProgram((kFolder / folder / L"Ossamit.exe").wstring(), arguments);
        EXPECT_TRUE(result.started);
        EXPECT_TRUE(result.ended);
        return result.exitCode;
    }

    const std::wstring state = (kFolder / L"settings.json").wstring();
    HANDLE settings = nullptr;
    HANDLE readyEvent = nullptr;
    HANDLE stopEvent = nullptr;
};

const std::wstring kProductValue = LR"({"pluginPath":"$(App.Folder)\\plugins","pluginFile":"p.dll"})";
const Properties kRegistered = {{L"Vantrel/Product/p1", kProductValue}, {L"Vantrel/Viewer/v1", L"{}"}};
const Properties kRegisteredWithSlash = {{L"Vantrel/Product/p1/x", kProductValue}};
const wchar_t* const kSlashInProductId = L"Invalid command line. A product id must not contain '/'.";
const wchar_t* const kNoViewerConfirmation =
    L"Did not receive viewer unregister confirmation. Plugin may not be unloaded.";

struct Case {
    const char* name;
    std::wstring arguments;
    Properties before;
    bool confirms;
    DWORD expectedExit;
    Properties after;
    // A message the run's log holds, or with logged false does not hold.
    const wchar_t* logLine = nullptr;
    bool logged = true;
};

const Case kCases[] = {
    {"RegisterProduct", L"-registerProduct=p1 \"-pluginPath=$(App.Folder)\\plugins\" -pluginFile=p.dll",
     {}, false, 0, {{L"Vantrel/Product/p1", kProductValue}}},
    {"RegisterProductWithoutFile", L"-registerProduct=p1 -pluginPath=C:\\p", {}, false, 2, {}},
    {"RegisterViewer", L"/registerViewer=v1", {}, false, 0, {{L"Vantrel/Viewer/v1", L"{}"}}},
    {"RegisterViewerWithoutId", L"-registerViewer", {}, false, 0, {{L"Vantrel/Viewer/", L"{}"}}},
    {"UnregisterViewerConfirmed", L"-unregisterViewer=v1", kRegistered, true, 0,
     {{L"Vantrel/Product/p1", kProductValue}}, kNoViewerConfirmation, false},
    {"UnregisterViewerUnconfirmed", L"-unregisterViewer=v1", kRegistered, false, 0,
     {{L"Vantrel/Product/p1", kProductValue}}, kNoViewerConfirmation, true},
    {"UnregisterProductConfirmed", L"-unregisterProduct=p1", kRegistered, true, 0,
     {{L"Vantrel/Viewer/v1", L"{}"}}},
    {"UnregisterUnknownViewer", L"-unregisterViewer=v2", kRegistered, true, 0, kRegistered},
    // The service reads a product key's last part as the product: an id with
    // "/" would name another product.
    {"RegisterProductWithSlash", L"-registerProduct=a/b -pluginPath=C:\\p -pluginFile=p.dll", {},
     false, 2, {}, kSlashInProductId},
    {"UnregisterProductWithSlash", L"-unregisterProduct=p1/x", kRegisteredWithSlash, true, 2,
     kRegisteredWithSlash, kSlashInProductId},
    // A viewer id keeps the whole rest of its key.
    {"RegisterViewerWithSlash", L"-registerViewer=a/b", {}, false, 0, {{L"Vantrel/Viewer/a/b", L"{}"}}},
    {"UnregisterViewerWithSlash", L"-unregisterViewer=a/b", {{L"Vantrel/Viewer/a/b", L"{}"}}, true, 0,
     {}, kNoViewerConfirmation, false},
    {"Help", L"-? -registerViewer=v2", kRegistered, false, 0, kRegistered},
    {"HelpWithUnknownFlag", L"-? -unknown", kRegistered, false, 2, kRegistered},
    {"NoOperation", L"", kRegistered, false, 2, kRegistered},
};

class OssamitCases : public OssamitProcess, public ::testing::WithParamInterface<Case> {};

TEST_P(OssamitCases, Run) {
    const Case& c = GetParam();
    StartSettings(c.before);
    gMachine->confirming = c.confirms;
    gMachine->confirmations = 0;
    ASSERT_TRUE(gMachine->log->Clear());
    EXPECT_EQ(Run(c.arguments), c.expectedExit);
    StopSettings();
    EXPECT_EQ(StoredText(), PropertiesText(c.after));
    // The announcement came for exactly the removals that happened.
    const bool removed = c.confirms && c.expectedExit == 0;
    EXPECT_EQ(gMachine->confirmations.load(), removed ? 1 : 0);
    if (c.logLine) {
        EXPECT_EQ(gMachine->log->HasLine(c.logLine), c.logged) << gMachine->log->File();
    }
}

INSTANTIATE_TEST_SUITE_P(All, OssamitCases, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OssamitProcess, NoSettingsManagerFailsTheWrite) {
    EXPECT_EQ(Run(L"-registerViewer=v1"), 1u);
    EXPECT_EQ(Run(L"-unregisterProduct=p1"), 1u);
}

TEST_F(OssamitProcess, BusLibraryMissingEndsWithExitCode3) {
    StartSettings(kRegistered);
    EXPECT_EQ(Run(L"-registerViewer=v2", L"without-bus"), 3u);
    EXPECT_EQ(Run(L"", L"without-bus"), 3u);
    EXPECT_EQ(Run(L"-?", L"without-bus"), 0u);  // help makes no connection
    StopSettings();
    EXPECT_EQ(StoredText(), PropertiesText(kRegistered));
}

TEST(OssamitImage, BindsOnlyKernel32AtStart) {
    const auto imports = StartupImports(WinePath(VT_OSSAMIT_EXE));
    ASSERT_FALSE(imports.empty());
    for (const std::string& name : imports) {
        EXPECT_TRUE(name == "kernel32.dll" || name == "msvcrt.dll") << name;
    }
}

// The verified COM creation belongs to the alert service: Ossamit creates no
// COM objects, so its image names no class-object lookup.
TEST(OssamitImage, HoldsNoVerifiedComCreation) {
    std::ifstream in(std::filesystem::path(WinePath(VT_OSSAMIT_EXE)), std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(image.empty());
    EXPECT_EQ(image.find(std::string("CoGetClassObject\0", 17)), std::string::npos);
}

}  // namespace
