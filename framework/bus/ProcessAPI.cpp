#include "framework/bus/ProcessAPI.h"

namespace Tessil {

ProcessAPI::~ProcessAPI() = default;

DWORD ProcessAPI::getCurrentProcessId() { return ::GetCurrentProcessId(); }
DWORD ProcessAPI::getProcessId(HANDLE process) { return ::GetProcessId(process); }
BOOL ProcessAPI::processIdToSessionId(DWORD processId, DWORD* sessionId) {
    return ::ProcessIdToSessionId(processId, sessionId);
}
DWORD ProcessAPI::getActiveConsoleSessionId() { return ::WTSGetActiveConsoleSessionId(); }
HANDLE ProcessAPI::getCurrentProcess() { return ::GetCurrentProcess(); }
BOOL ProcessAPI::createProcessAsUser(HANDLE token, LPWSTR commandLine,
                                     LPSECURITY_ATTRIBUTES processAttributes,
                                     LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                                     DWORD creationFlags, LPVOID environment,
                                     LPSTARTUPINFOW startupInfo,
                                     LPPROCESS_INFORMATION processInformation) {
    return ::CreateProcessAsUserW(token, nullptr, commandLine, processAttributes, threadAttributes,
                                  inheritHandles, creationFlags, environment, nullptr, startupInfo,
                                  processInformation);
}
BOOL ProcessAPI::createProcessAsUser(HANDLE token, LPCWSTR applicationName, LPWSTR commandLine,
                                     LPSECURITY_ATTRIBUTES processAttributes,
                                     LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                                     DWORD creationFlags, LPVOID environment,
                                     LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                                     LPPROCESS_INFORMATION processInformation) {
    return ::CreateProcessAsUserW(token, applicationName, commandLine, processAttributes,
                                  threadAttributes, inheritHandles, creationFlags, environment,
                                  currentDirectory, startupInfo, processInformation);
}
BOOL ProcessAPI::openProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token) {
    return ::OpenProcessToken(process, desiredAccess, token);
}
BOOL ProcessAPI::adjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                       DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                                       PDWORD returnLength) {
    return ::AdjustTokenPrivileges(token, disableAll, newState, bufferLength, previousState,
                                   returnLength);
}
BOOL ProcessAPI::lookupPrivilegeValue(LPCWSTR systemName, LPCWSTR name, PLUID luid) {
    return ::LookupPrivilegeValueW(systemName, name, luid);
}
BOOL ProcessAPI::getExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    return ::GetExitCodeProcess(process, exitCode);
}
BOOL ProcessAPI::terminateProcess(HANDLE process, UINT exitCode) {
    return ::TerminateProcess(process, exitCode);
}
BOOL ProcessAPI::closeHandle(HANDLE handle) { return ::CloseHandle(handle); }
DWORD ProcessAPI::getLastError() { return ::GetLastError(); }
DWORD ProcessAPI::waitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return ::WaitForSingleObject(handle, milliseconds);
}
HANDLE ProcessAPI::openProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId) {
    return ::OpenProcess(desiredAccess, inheritHandle, processId);
}
HANDLE ProcessAPI::createToolhelp32Snapshot(DWORD flags, DWORD processId) {
    return ::CreateToolhelp32Snapshot(flags, processId);
}
BOOL ProcessAPI::process32First(HANDLE snapshot, LPPROCESSENTRY32W entry) {
    return ::Process32FirstW(snapshot, entry);
}
BOOL ProcessAPI::process32Next(HANDLE snapshot, LPPROCESSENTRY32W entry) {
    return ::Process32NextW(snapshot, entry);
}

}  // namespace Tessil
