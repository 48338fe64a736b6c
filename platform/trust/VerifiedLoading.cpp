// The process-wide entry points VerifyFile and LoadVerifiedLibrary
// (CreateVerifiedInstance is in VerifiedInstance.cpp).
#include <windows.h>

#include <exception>

#include "platform/trust/TrustHandles.h"
#include "platform/trust/TrustVerifier.h"

namespace {

using namespace Tessil::trust_detail;

}  // namespace

DWORD VerifyFile(const wchar_t* path) {
    if (!path || !*path) return ERROR_INVALID_PARAMETER;
    try {
        return Tessil::TrustVerifier::GetInstance().Verify(path);
    } catch (const std::exception&) {
        return ERROR_ACCESS_DENIED;  // the verifier could not be made: nothing is trusted
    }
}

HMODULE LoadVerifiedLibrary(const wchar_t* path, DWORD flags) {
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Held without write or delete sharing from the check until loaded, so
    // the checked file is the loaded one. A file that cannot be held (missing,
    // or open elsewhere with write or delete access) is not trusted.
    FileHandle held = OpenDenyingChanges(path);
    if (!held) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    DWORD verdict = VerifyFile(path);
    if (verdict != ERROR_SUCCESS) {
        held.reset();
        SetLastError(verdict);
        return nullptr;
    }
    // Flags that name no search locations would take the library's own
    // dependencies from the host's search order.
    constexpr DWORD kSearchLocations =
        LOAD_WITH_ALTERED_SEARCH_PATH | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
        LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
        LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
    if ((flags & kSearchLocations) == 0) flags |= Tessil::kVerifiedLibrarySearchFlags;
    HMODULE module = LoadLibraryExW(path, nullptr, flags);
    held.reset();
    return module;
}
