#include "tools/common/SecureDllLoading.h"

#include <windows.h>

bool initializeSecureDllLoading() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) {
        return false;
    }
    auto setDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDirectories == nullptr) {
        return false;
    }
    return setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) == 1;
}
