// The system monitor double: its session messages on the bus, and the
// replacement wtsapi32.dll answering as the environment says.
#include "neighbours/monitor/SystemMonitorNeighbour.h"

#include "alerts/src/common/testing/BusRecorder.h"
#include "neighbours/SettingsManager/testing/InProcessBus.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <wtsapi32.h>

#include <functional>
#include <string>

namespace {

TEST(SystemMonitorNeighbour, PublishesEachSessionMessageWithTheSessionId) {
    BusTesting::InProcessBus bus;
    ASSERT_TRUE(bus.ok());
    auto monitorBus = bus.openClient();
    auto observerBus = bus.openClient();
    {
        Drem::testing::BusRecorder recorder(observerBus, L"SystemMonitor\\.UserSession\\..*");
        ASSERT_TRUE(recorder.subscribed());
        Neighbours::SystemMonitorNeighbour monitor(monitorBus);
        EXPECT_EQ(monitor.logon(3), 0u);
        EXPECT_EQ(monitor.consoleConnect(4), 0u);
        EXPECT_EQ(monitor.remoteConnect(5), 0u);
        EXPECT_EQ(monitor.logoff(4294967295u), 0u);
        ASSERT_TRUE(recorder.waitFor(4));
        const auto messages = recorder.messages();
        ASSERT_EQ(messages.size(), 4u);
        const std::pair<const wchar_t*, const wchar_t*> expected[] = {
            {L"SystemMonitor.UserSession.Logon", L"{\"sessionId\":3}"},
            {L"SystemMonitor.UserSession.Console.Connect", L"{\"sessionId\":4}"},
            {L"SystemMonitor.UserSession.Remote.Connect", L"{\"sessionId\":5}"},
            {L"SystemMonitor.UserSession.Logoff", L"{\"sessionId\":4294967295}"},
        };
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(messages[i].name, expected[i].first);
            EXPECT_EQ(messages[i].payload, expected[i].second);
            EXPECT_EQ(messages[i].source, L"SystemMonitor");
        }
    }
    ASSERT_TRUE(bus.waitIdle());
}

std::wstring windowsPath(std::wstring path) {
    for (auto& c : path) {
        if (c == L'/') c = L'\\';
    }
    return L"Z:" + path;
}

// The replacement loaded by its path (with the native override of the test).
class TerminalSessionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        library_ = LoadLibraryW(windowsPath(VT_WTSAPI_REPLACEMENT).c_str());
        ASSERT_NE(library_, nullptr);
        enumerate_ = function<decltype(&WTSEnumerateSessionsW)>("WTSEnumerateSessionsW");
        query_ = function<decltype(&WTSQuerySessionInformationW)>("WTSQuerySessionInformationW");
        free_ = function<decltype(&WTSFreeMemory)>("WTSFreeMemory");
        ASSERT_TRUE(enumerate_ && query_ && free_);
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"VT_WTS_ACTIVE_SESSION", nullptr);
        SetEnvironmentVariableW(L"VT_WTS_LOGON_AGE", nullptr);
        if (library_ != nullptr) FreeLibrary(library_);
    }
    template <typename F>
    F function(const char* name) {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library_, name)));
    }

    HMODULE library_ = nullptr;
    decltype(&WTSEnumerateSessionsW) enumerate_ = nullptr;
    decltype(&WTSQuerySessionInformationW) query_ = nullptr;
    decltype(&WTSFreeMemory) free_ = nullptr;
};

struct ActiveCase {
    const wchar_t* setting;  // null: unset
    DWORD count;
    DWORD activeId;          // 0: no active entry
};

class ActiveSessionTest : public TerminalSessionsTest, public ::testing::WithParamInterface<ActiveCase> {};

TEST_P(ActiveSessionTest, EnumeratesTheServicesSessionAndTheActiveOne) {
    SetEnvironmentVariableW(L"VT_WTS_ACTIVE_SESSION", GetParam().setting);
    WTS_SESSION_INFOW* sessions = nullptr;
    DWORD count = 0;
    ASSERT_TRUE(enumerate_(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count));
    ASSERT_EQ(count, GetParam().count);
    EXPECT_EQ(sessions[0].SessionId, 0u);
    EXPECT_NE(sessions[0].State, WTSActive);
    DWORD active = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (sessions[i].State == WTSActive) active = sessions[i].SessionId;
    }
    EXPECT_EQ(active, GetParam().activeId);
    free_(sessions);
}

INSTANTIATE_TEST_SUITE_P(Settings, ActiveSessionTest,
                         ::testing::Values(ActiveCase{nullptr, 2, 1}, ActiveCase{L"7", 2, 7},
                                           ActiveCase{L"0", 1, 0}));

TEST_F(TerminalSessionsTest, EnumerationRefusesAnotherVersion) {
    WTS_SESSION_INFOW* sessions = nullptr;
    DWORD count = 0;
    EXPECT_FALSE(enumerate_(WTS_CURRENT_SERVER_HANDLE, 0, 2, &sessions, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(TerminalSessionsTest, SessionInformationHoldsTheLogonAge) {
    SetEnvironmentVariableW(L"VT_WTS_LOGON_AGE", L"30");
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    ASSERT_TRUE(query_(WTS_CURRENT_SERVER_HANDLE, 1, WTSSessionInfo, &buffer, &bytes));
    ASSERT_EQ(bytes, sizeof(WTSINFOW));
    const auto* info = reinterpret_cast<const WTSINFOW*>(buffer);
    EXPECT_EQ(info->SessionId, 1u);
    EXPECT_EQ((info->CurrentTime.QuadPart - info->LogonTime.QuadPart) / 10000000, 30);
    free_(buffer);
    EXPECT_FALSE(query_(WTS_CURRENT_SERVER_HANDLE, 1, WTSUserName, &buffer, &bytes));
}

}  // namespace
