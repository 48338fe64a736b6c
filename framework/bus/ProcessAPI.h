// The process wrapper: each operation passes to the Windows function it is
// named after, so tests can put their own object in its place.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

namespace Tessil {

class ProcessAPI {
public:
    virtual ~ProcessAPI();
    virtual DWORD getCurrentProcessId();
    virtual DWORD getProcessId(HANDLE process);
    virtual BOOL processIdToSessionId(DWORD processId, DWORD* sessionId);
    virtual DWORD getActiveConsoleSessionId();
    virtual HANDLE getCurrentProcess();
    virtual BOOL createProcessAsUser(HANDLE token, LPWSTR commandLine,
                                     LPSECURITY_ATTRIBUTES processAttributes,
                                     LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                                     DWORD creationFlags, LPVOID environment,
                                     LPSTARTUPINFOW startupInfo,
                                     LPPROCESS_INFORMATION processInformation);
    virtual BOOL createProcessAsUser(HANDLE token, LPCWSTR applicationName, LPWSTR commandLine,
                                     LPSECURITY_ATTRIBUTES processAttributes,
                                     LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                                     DWORD creationFlags, LPVOID environment,
                                     LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                                     LPPROCESS_INFORMATION processInformation);
    virtual BOOL openProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token);
    virtual BOOL adjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                       DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                                       PDWORD returnLength);
    virtual BOOL lookupPrivilegeValue(LPCWSTR systemName, LPCWSTR name, PLUID luid);
    virtual BOOL getExitCodeProcess(HANDLE process, LPDWORD exitCode);
    virtual BOOL terminateProcess(HANDLE process, UINT exitCode);
    virtual BOOL closeHandle(HANDLE handle);
    virtual DWORD getLastError();
    virtual DWORD waitForSingleObject(HANDLE handle, DWORD milliseconds);
    virtual HANDLE openProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
    virtual HANDLE createToolhelp32Snapshot(DWORD flags, DWORD processId);
    virtual BOOL process32First(HANDLE snapshot, LPPROCESSENTRY32W entry);
    virtual BOOL process32Next(HANDLE snapshot, LPPROCESSENTRY32W entry);
};

}  // namespace Tessil
