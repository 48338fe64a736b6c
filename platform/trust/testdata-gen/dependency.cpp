// A library that another test library imports. Built twice under the same
// file name: the real one, and a planted one that leaves a marker file (its
// path from VT_DEPENDENCY_MARKER) when it is loaded.
#include <windows.h>

#ifdef VT_PLANTED_DEPENDENCY
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t marker[MAX_PATH + 1] = {};
        DWORD chars = GetEnvironmentVariableW(L"VT_DEPENDENCY_MARKER", marker, MAX_PATH);
        if (chars > 0 && chars < MAX_PATH) {
            HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        }
    }
    return TRUE;
}
extern "C" __declspec(dllexport) int TrustDependencyAnswer() { return 666; }
#else
extern "C" __declspec(dllexport) int TrustDependencyAnswer() { return 7; }
#endif
