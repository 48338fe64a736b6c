// The one known-folder lookup: SHGetKnownFolderPath through a shell wrapper
// (or the system's shell), the shell's buffer freed in every case.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <string>

namespace Kelmora {

// The folder as the shell gives it; empty when the call fails or gives no
// path. `result`, when given, receives the call's answer.
template <typename Shell>
std::wstring KnownFolderPath(Shell& shell, const KNOWNFOLDERID& id, DWORD flags = 0,
                             HRESULT* result = nullptr) {
    PWSTR path = nullptr;
    const HRESULT answer = shell.SHGetKnownFolderPath(id, flags, nullptr, &path);
    std::wstring value;
    if (SUCCEEDED(answer) && path != nullptr) {
        value = path;
    }
    CoTaskMemFree(path);
    if (result != nullptr) {
        *result = answer;
    }
    return value;
}

namespace internal {
struct SystemShell {
    HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, HANDLE token, PWSTR* path) {
        return ::SHGetKnownFolderPath(id, flags, token, path);
    }
};
}  // namespace internal

// The same through the system's shell.
inline std::wstring KnownFolderPath(const KNOWNFOLDERID& id, DWORD flags = 0, HRESULT* result = nullptr) {
    internal::SystemShell shell;
    return KnownFolderPath(shell, id, flags, result);
}

}  // namespace Kelmora
