// "wtsapi32.dll" for Wine, whose own has no sessions: one active session,
// logged on a while ago, as the environment says. Used beside a program
// with WINEDLLOVERRIDES=wtsapi32=n.
//   VT_WTS_ACTIVE_SESSION  the active session's id (default 1; 0: none active)
//   VT_WTS_LOGON_AGE       seconds since its log-on (default 3600)
//   VT_WTS_ACTIVE_SHARED   names a shared memory of one 32-bit number that,
//                          when it exists, holds the active session's id in
//                          place of VT_WTS_ACTIVE_SESSION (another process
//                          moves the active session)
#include <windows.h>

#include <wtsapi32.h>

#include <cstdlib>
#include <cwchar>

namespace {

DWORD environmentNumber(const wchar_t* name, DWORD fallback) {
    wchar_t text[32] = {};
    const DWORD length = GetEnvironmentVariableW(name, text, 32);
    if (length == 0 || length >= 32) {
        return fallback;
    }
    return static_cast<DWORD>(std::wcstoul(text, nullptr, 10));
}

DWORD activeSession() {
    wchar_t name[256] = {};
    const DWORD length = GetEnvironmentVariableW(L"VT_WTS_ACTIVE_SHARED", name, 256);
    if (length > 0 && length < 256) {
        if (HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, name)) {
            const auto* shared = static_cast<const volatile LONG*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(LONG)));
            const DWORD active = shared != nullptr ? static_cast<DWORD>(*shared) : 0;
            if (shared != nullptr) UnmapViewOfFile(const_cast<LONG*>(shared));
            CloseHandle(mapping);
            if (shared != nullptr) return active;
        }
    }
    return environmentNumber(L"VT_WTS_ACTIVE_SESSION", 1);
}

}  // namespace

extern "C" {

BOOL WINAPI WTSEnumerateSessionsW(HANDLE, DWORD, DWORD version, WTS_SESSION_INFOW** sessions, DWORD* count) {
    if (version != 1 || sessions == nullptr || count == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD active = activeSession();
    auto* list = static_cast<WTS_SESSION_INFOW*>(std::calloc(2, sizeof(WTS_SESSION_INFOW)));
    if (list == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    list[0].SessionId = 0;
    list[0].State = WTSDisconnected;
    list[0].pWinStationName = const_cast<wchar_t*>(L"Services");
    DWORD used = 1;
    if (active != 0) {
        list[1].SessionId = active;
        list[1].State = WTSActive;
        list[1].pWinStationName = const_cast<wchar_t*>(L"Console");
        used = 2;
    }
    *sessions = list;
    *count = used;
    return TRUE;
}

BOOL WINAPI WTSQuerySessionInformationW(HANDLE, DWORD sessionId, WTS_INFO_CLASS infoClass, LPWSTR* buffer,
                                        DWORD* bytes) {
    if (infoClass != WTSSessionInfo || buffer == nullptr || bytes == nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    auto* info = static_cast<WTSINFOW*>(std::calloc(1, sizeof(WTSINFOW)));
    if (info == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks{};
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    const ULONGLONG age = environmentNumber(L"VT_WTS_LOGON_AGE", 3600);
    info->SessionId = sessionId;
    info->State = WTSActive;
    info->CurrentTime.QuadPart = static_cast<LONGLONG>(ticks.QuadPart);
    info->LogonTime.QuadPart = static_cast<LONGLONG>(ticks.QuadPart - age * 10000000ull);
    *buffer = reinterpret_cast<LPWSTR>(info);
    *bytes = sizeof(WTSINFOW);
    return TRUE;
}

VOID WINAPI WTSFreeMemory(PVOID memory) { std::free(memory); }

}
