#include "platform/dll/DllAPI.h"

#include "platform/Logging/Logging.h"
#include "platform/trust/TrustHandles.h"
#include "platform/trust/TrustVerifier.h"

namespace Tessil {

bool DllAPI::loadLibrary(const std::wstring& path, HMODULE* out) {
    if (out == nullptr) {
        return false;  // a loaded library nobody could free
    }
    HMODULE module = LoadVerifiedLibrary(path.c_str(), kVerifiedLibrarySearchFlags);
    if (module == nullptr) {
        const DWORD error = GetLastError();
        VT_LOG(ETWLogging::LevelError, L"DllAPI", L"Tessil::DllAPI::loadLibrary",
               L"LoadLibrary Failed. GLE: %lu", static_cast<unsigned long>(error));
        return false;
    }
    *out = module;
    return true;
}

FARPROC DllAPI::getProcAddress(HMODULE module, const char* name) {
    return GetProcAddress(module, name);
}

bool DllAPI::isTrusted(const std::wstring& path) {
    return !path.empty() && VerifyFile(path.c_str()) == 0;
}

bool DllAPI::freeLibrary(HMODULE module) {
    return FreeLibrary(module) != FALSE;
}

bool DllAPI::getModuleHandleEx(DWORD flags, const wchar_t* path, HMODULE* out) {
    return GetModuleHandleExW(flags, path, out) != FALSE;
}

HANDLE DllAPI::holdFile(const std::wstring& path) {
    return trust_detail::OpenDenyingChanges(path.c_str()).release();
}

void DllAPI::releaseFile(HANDLE hold) {
    if (hold != INVALID_HANDLE_VALUE) {
        CloseHandle(hold);
    }
}

}  // namespace Tessil
