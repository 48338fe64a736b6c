#include "alerts/src/sessions/TerminalServicesAPI.h"

namespace Drem {

BOOL TerminalServicesAPI::EnumerateSessions(WTS_SESSION_INFOW** sessions, DWORD* count) {
    return WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, sessions, count);
}

BOOL TerminalServicesAPI::QuerySessionInformation(DWORD sessionId, WTS_INFO_CLASS infoClass,
                                                  LPWSTR* buffer, DWORD* bytes) {
    return WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessionId, infoClass, buffer, bytes);
}

void TerminalServicesAPI::FreeMemory(void* memory) { WTSFreeMemory(memory); }

std::shared_ptr<TerminalServicesAPI> orDefaultTerminalServices(std::shared_ptr<TerminalServicesAPI> api) {
    return api ? std::move(api) : std::make_shared<TerminalServicesAPI>();
}

bool findActiveSession(TerminalServicesAPI& api, DWORD& activeId, DWORD& error) {
    WTS_SESSION_INFOW* sessions = nullptr;
    DWORD count = 0;
    activeId = 0;
    if (!api.EnumerateSessions(&sessions, &count)) {
        error = GetLastError();
        return false;
    }
    TerminalServicesMemory owner(api, sessions);
    for (DWORD i = 0; sessions != nullptr && i < count; ++i) {
        if (sessions[i].State == WTSActive) {
            activeId = sessions[i].SessionId;
            break;
        }
    }
    error = 0;
    return true;
}

bool isSessionLoggedOn(TerminalServicesAPI& api, DWORD sessionId) {
    return !loggedOnAmong(api, {sessionId}).empty();
}

std::vector<std::uint32_t> loggedOnAmong(TerminalServicesAPI& api, const std::vector<std::uint32_t>& sessionIds) {
    WTS_SESSION_INFOW* sessions = nullptr;
    DWORD count = 0;
    if (!api.EnumerateSessions(&sessions, &count)) {
        return sessionIds;
    }
    TerminalServicesMemory owner(api, sessions);
    std::vector<std::uint32_t> loggedOn;
    for (const std::uint32_t sessionId : sessionIds) {
        for (DWORD i = 0; sessions != nullptr && i < count; ++i) {
            if (sessions[i].SessionId == sessionId) {
                const WTS_CONNECTSTATE_CLASS state = sessions[i].State;
                if (state != WTSListen && state != WTSReset && state != WTSDown && state != WTSInit) {
                    loggedOn.push_back(sessionId);
                }
                break;
            }
        }
    }
    return loggedOn;
}

}  // namespace Drem
