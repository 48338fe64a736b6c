#include "neighbours/SettingsManager/SettingsManagerNeighbour.h"

#include "framework/settings/SettingsManagerClient.h"
#include "neighbours/SettingsManager/testing/InProcessBus.h"
#include "platform/files/FileUtils.h"

#include <gtest/gtest.h>

#include <future>

namespace {


std::wstring ReadFileText(const std::wstring& path) {
    std::wstring text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return text;
    }
    text.resize(4096);
    DWORD read = 0;
    ReadFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr);
    text.resize(read / sizeof(wchar_t));
    CloseHandle(file);
    return text;
}

void WriteFileText(const std::wstring& path, const std::wstring& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

TEST(SettingsManagerNeighbour, ObserverSeesEveryChangeAndPlainCopiesAreNotRequests) {
    BusTesting::InProcessBus bus;
    ASSERT_TRUE(bus.ok());
    auto clientBus = bus.openClient();
    auto neighbourBus = bus.openClient();
    auto neighbour = std::make_unique<Neighbours::SettingsManagerNeighbour>(neighbourBus);
    std::promise<std::map<std::wstring, std::wstring>> changed;
    neighbour->setChangeObserver([&](const std::map<std::wstring, std::wstring>& all) { changed.set_value(all); });
    ASSERT_TRUE(neighbour->start());
    {
        Tessil::SettingsManagerClient client(clientBus);
        ASSERT_TRUE(client.setProperty(L"A", std::wstring(L"1"), 5000));
        auto future = changed.get_future();
        ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(future.get(), (std::map<std::wstring, std::wstring>{{L"A", L"1"}}));
        // A plain publication of a request name is not answered.
        ASSERT_EQ(clientBus->publish(Tessil::Message::create(L"SETTINGS_MANAGER_SET_PROPERTY", L"t",
                                                             L"{\"name\":\"B\",\"value\":\"2\"}")),
                  0u);
        ASSERT_TRUE(bus.waitIdle());
        EXPECT_EQ(neighbour->requests().size(), 1u);
        EXPECT_FALSE(neighbour->stored(L"B").has_value());
    }
    neighbour.reset();
}

TEST(SettingsManagerProgram, LoadsItsStateAnswersUntilStoppedAndKeepsTheStateFile) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring suffix = std::to_wstring(GetCurrentProcessId());
    const std::wstring state = std::wstring(folder) + L"vt-settings-state-" + suffix + L".json";
    WriteFileText(state, L"{\"A\":\"1\",\"n\":5}");
    const std::wstring readyName = L"vt-settings-ready-" + suffix;
    const std::wstring stopName = L"vt-settings-stop-" + suffix;
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, stopName.c_str());
    ASSERT_TRUE(ready && stop);
    SetEnvironmentVariableW(L"VT_SETTINGS_STATE", state.c_str());
    SetEnvironmentVariableW(L"VT_SETTINGS_READY_EVENT", readyName.c_str());
    SetEnvironmentVariableW(L"VT_SETTINGS_STOP_EVENT", stopName.c_str());
    // The test program is built beside the program.
    std::wstring command = L"\"" + Kelmora::PathBesideProgram(L"SettingsManager.exe") + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process));
    EXPECT_EQ(WaitForSingleObject(ready, 30000), WAIT_OBJECT_0);
    // Only string members are kept, written back as a compact object.
    EXPECT_EQ(ReadFileText(state), L"{\"A\":\"1\"}");
    SetEvent(stop);
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    EXPECT_EQ(exitCode, 0u);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(ready);
    CloseHandle(stop);
    DeleteFileW(state.c_str());
}
