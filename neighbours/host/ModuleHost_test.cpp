// The host drives the test module library through its whole life cycle, with
// the module's own bus connection (search, deny list, signature check, the
// bus library) and with the host's own bus handle.
#include "neighbours/host/ModuleHost.h"

#include "framework/message/ModuleStatus.h"
#include "framework/module/testing/TestModule.h"
#include "neighbours/MessageBus/MessageBusScript.h"
#include "platform/Registry/RegKey.h"
#include "platform/Registry/testing/TestRegistry.h"
#include "platform/trust/testing/TestTrust.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

using Tessil::host::LifeCycleOptions;
using Tessil::host::ModuleHost;
using Tessil::host::StepResult;

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

class Verdict {
public:
    explicit Verdict(const wchar_t* trusted) { SetEnvironmentVariableW(L"VT_QAV_TRUST", trusted); }
    ~Verdict() { SetEnvironmentVariableW(L"VT_QAV_TRUST", nullptr); }
};

template <typename T>
T exported(HMODULE module, const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::vector<std::wstring> moduleJournal(HMODULE module) {
    auto entry = exported<std::uint32_t (*)(std::uint32_t, wchar_t*, std::uint32_t)>(
        module, "VtTestModule_JournalEntry");
    std::vector<std::wstring> lines;
    wchar_t buffer[512];
    for (std::uint32_t i = 0; entry(i, buffer, 512) != 0; ++i) {
        lines.emplace_back(buffer);
    }
    return lines;
}

bool journalHas(const std::vector<std::wstring>& lines, const std::wstring& prefix) {
    for (const auto& line : lines) {
        if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

std::vector<std::wstring> entries(const std::vector<StepResult>& steps) {
    std::vector<std::wstring> names;
    for (const auto& step : steps) {
        names.push_back(step.entry + L" " + std::to_wstring(step.status));
    }
    return names;
}

// A handle of the test's own on a loaded bus library: publishes and waits
// for one answer.
class Observer {
public:
    explicit Observer(const Tessil::MessageBusFunctions* table) : table_(table) {
        EXPECT_EQ(table_->open(&handle_), 0u);
    }
    ~Observer() { table_->close(handle_); }
    void expect(const wchar_t* name) {
        EXPECT_NE(table_->subscribe(handle_, this, &Observer::received, name), 0u);
    }
    std::uint32_t publish(const wchar_t* name, const wchar_t* payload) {
        Tessil::MessageHeader header;
        Tessil::initHeader(&header);
        return table_->publish(handle_, &header, name, L"observer", payload);
    }
    // The payload of the awaited message, or "(none)" after a generous bound.
    std::wstring wait() {
        auto future = answer_.get_future();
        if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            return L"(none)";
        }
        return future.get();
    }

private:
    static std::uint32_t received(void* context, const Tessil::MessageHeader*, const wchar_t*,
                                  const wchar_t*, const wchar_t* payload) {
        auto* self = static_cast<Observer*>(context);
        if (!self->answered_.exchange(true)) {
            self->answer_.set_value(payload);
        }
        return 0;
    }
    const Tessil::MessageBusFunctions* table_;
    Tessil::MessageBusHandle handle_ = nullptr;
    std::promise<std::wstring> answer_;
    std::atomic<bool> answered_{false};
};

HMODULE signedBusLibrary() {
    return GetModuleHandleW((busFolder(L"signed") + L"\\MessageBus.dll").c_str());
}

// Once the module has answered, the bus falls idle: the module answers the
// message once and not its own answer, which its expression also matches.
void expectOneEcho(HMODULE bus, HMODULE module) {
    auto waitIdle = exported<VtBusScript_WaitIdle_t>(bus, "VtBusScript_WaitIdle");
    ASSERT_NE(waitIdle, nullptr);
    EXPECT_EQ(waitIdle(20000), 1) << "the bus is still delivering";
    int echoes = 0;
    for (const auto& line : moduleJournal(module)) {
        echoes += line.rfind(L"echo ", 0) == 0;
    }
    EXPECT_EQ(echoes, 1);
}

const Tessil::MessageBusFunctions* busTable(HMODULE bus) {
    auto createObject = exported<const void* (*)(std::uint32_t)>(bus, "CreateObject");
    return static_cast<const Tessil::MessageBusFunctions*>(createObject(2001000));
}

// A private HKLM naming the validation library and the host's install folder.
class HostMachine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(hklm_.ok());
        ASSERT_TRUE(Tessil::testing::WritePlatformKey(
            HKEY_LOCAL_MACHINE, windowsPath(VT_VALIDATION_DIR).c_str(), L"15.4"));
    }
    static void setInstallDir(const std::wstring& folder) {
        Kelmora::CRegKey key;
        ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\CORVANE\\HALVEX"), ERROR_SUCCESS);
        ASSERT_EQ(key.SetStringValue(L"Install Dir", folder.c_str()), ERROR_SUCCESS);
    }

private:
    Kelmora::testing::PrivateHklm hklm_;
};

}  // namespace

TEST_F(HostMachine, VersionOneRefusesAnUntrustedBusLibrary) {
    setInstallDir(busFolder(L"unsigned"));
    ModuleHost host;
    ASSERT_TRUE(host.loadModule(VT_TEST_MODULE));
    const auto steps = host.runLifeCycle(LifeCycleOptions{});
    const std::vector<std::wstring> expected = {L"NewModule 0", L"InitializeModule 2147483663",
                                                L"DestroyModule 0"};
    EXPECT_EQ(entries(steps), expected);
    EXPECT_FALSE(journalHas(moduleJournal(host.moduleLibrary()), L"initialize"));
}

TEST_F(HostMachine, VersionOneLoadsTheTrustedBusLibraryAndRunsTheWholeLifeCycle) {
    setInstallDir(busFolder(L"signed"));
    Verdict verdict(L"MessageBus.dll");
    ModuleHost host;
    ASSERT_TRUE(host.loadModule(VT_TEST_MODULE));
    std::wstring echoed;
    LifeCycleOptions options;
    options.directMessages = {{L"Test.Direct", L"from-host"}, {L"Test.Nobody", L"x"}};
    options.whileStarted = [&] {
        // The module's own connection loaded this copy; the test talks to it too.
        HMODULE bus = signedBusLibrary();
        ASSERT_NE(bus, nullptr);
        Observer observer(busTable(bus));
        observer.expect(L"Test.Echo.Response");
        EXPECT_EQ(observer.publish(L"Test.Echo.1", L"ping"), 0u);
        echoed = observer.wait();
        expectOneEcho(bus, host.moduleLibrary());
    };
    const auto steps = host.runLifeCycle(options);
    EXPECT_TRUE(Tessil::host::allSucceeded(steps));
    const std::vector<std::wstring> expected = {
        L"NewModule 0",     L"InitializeModule 0", L"StartModule 0",        L"DirectMessage 0",
        L"DirectMessage 0", L"StopModule 0",       L"UninitializeModule 0", L"DestroyModule 0"};
    EXPECT_EQ(entries(steps), expected);
    EXPECT_EQ(echoed, L"ping");
    const auto journal = moduleJournal(host.moduleLibrary());
    EXPECT_TRUE(journalHas(journal, L"handled Test.Direct from-host thread=" +
                                        std::to_wstring(GetCurrentThreadId())));
    EXPECT_TRUE(journalHas(journal, L"~TestModule"));

    // Inside the hosted library the program is the host's.
    auto expand = exported<std::uint32_t (*)(const wchar_t*, wchar_t*, std::uint32_t)>(
        host.moduleLibrary(), "VtTestModule_Expand");
    wchar_t name[MAX_PATH] = {};
    expand(L"$(App.Name)", name, MAX_PATH);
    EXPECT_STREQ(name, L"ModuleHost_test");
}

TEST_F(HostMachine, VersionTwoRunsOnTheHostsOwnBus) {
    setInstallDir(L"C:\\nowhere");  // no bus library is looked for
    ModuleHost host;
    ASSERT_TRUE(host.loadModule(VT_TEST_MODULE));
    ASSERT_TRUE(host.openHostBus(busFolder(L"signed") + L"\\MessageBus.dll"));
    std::wstring echoed;
    LifeCycleOptions options;
    options.initializeVersion = 2;
    options.properties = {{L"a", L"1"}};
    options.directMessages = {{L"Test.Direct", L"v2"}};
    options.whileStarted = [&] {
        Observer observer(host.hostBusFunctions());
        observer.expect(L"Test.Echo.Response");
        EXPECT_EQ(observer.publish(L"Test.Echo.2", L"pong"), 0u);
        echoed = observer.wait();
        expectOneEcho(signedBusLibrary(), host.moduleLibrary());
    };
    const auto steps = host.runLifeCycle(options);
    const std::vector<std::wstring> expected = {
        L"NewModule 0", L"InitializeModuleV2 0", L"StartModule 0", L"DirectMessage 0",
        L"StopModule 0", L"UninitializeModule 0", L"DestroyModule 0"};
    EXPECT_EQ(entries(steps), expected);
    EXPECT_EQ(echoed, L"pong");
    EXPECT_TRUE(journalHas(moduleJournal(host.moduleLibrary()), L"handled Test.Direct v2"));
}

namespace {

// Runs the host program and answers its exit code and output.
std::pair<DWORD, std::string> runHost(const std::wstring& arguments, const wchar_t* verdict) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring output = std::wstring(temp) + L"vt-modulehost-" +
                                std::to_wstring(GetCurrentProcessId()) + L".txt";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE file = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = file;
    startup.hStdError = file;
    PROCESS_INFORMATION process{};
    std::wstring commandLine = L"\"" + windowsPath(VT_MODULE_HOST) + L"\" " + arguments;
    Verdict scoped(verdict);
    DWORD exitCode = 9999;
    std::string failure;
    if (file == INVALID_HANDLE_VALUE) {
        failure = "output file not created, error " + std::to_string(GetLastError()) + "\n";
    }
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        failure += "CreateProcessW failed, error " + std::to_string(GetLastError()) + "\n";
    } else {
        // A host that does not end is ended here, so the case fails with its output.
        if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 9998);
            WaitForSingleObject(process.hProcess, 10000);
        }
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(file);
    std::string text = failure;
    if (FILE* in = _wfopen(output.c_str(), L"rb")) {
        char chunk[1024];
        for (std::size_t n; (n = fread(chunk, 1, sizeof chunk, in)) > 0;) text.append(chunk, n);
        fclose(in);
    }
    DeleteFileW(output.c_str());
    return {exitCode, text};
}

// True when the output holds the line (ending in CR LF or LF).
bool hasLine(const std::string& output, const std::string& line) {
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        std::string current = output.substr(start, end - start);
        if (!current.empty() && current.back() == '\r') current.pop_back();
        if (current == line) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

TEST(ModuleHostProgram, DrivesBothInitializationVersions) {
    const std::wstring module = L"\"" + windowsPath(VT_TEST_MODULE) + L"\"";
    const std::wstring validation = L" --validation-dir \"" + windowsPath(VT_VALIDATION_DIR) + L"\"";
    struct Case {
        const char* what;
        std::wstring arguments;
        const wchar_t* verdict;
        DWORD exitCode;
        const char* initialization;
    };
    const Case cases[] = {
        {"version 2 on the host's bus",
         module + L" --v2 \"" + busFolder(L"signed") + L"\\MessageBus.dll\" --direct Test.Direct=x",
         nullptr, 0, "InitializeModuleV2 0"},
        {"version 1, trusted bus library",
         module + L" --install-dir \"" + busFolder(L"signed") + L"\"" + validation, L"MessageBus.dll",
         0, "InitializeModule 0"},
        {"version 1, untrusted bus library",
         module + L" --install-dir \"" + busFolder(L"unsigned") + L"\"" + validation, nullptr, 1,
         "InitializeModule 2147483663"},
    };
    for (const Case& c : cases) {
        const auto [exitCode, output] = runHost(c.arguments, c.verdict);
        EXPECT_EQ(exitCode, c.exitCode) << c.what << "\n" << output;
        EXPECT_TRUE(hasLine(output, c.initialization)) << c.what << "\n" << output;
        EXPECT_TRUE(hasLine(output, "DestroyModule 0")) << c.what << "\n" << output;
    }
}
