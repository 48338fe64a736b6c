// The placeholder values both expanders share: known folders and the
// platform name.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <string>

namespace Kelmora::internal {

struct KnownFolderPlaceholder {
    const wchar_t* placeholder;
    const KNOWNFOLDERID* id;
};

inline constexpr std::size_t kKnownFolderCount = 13;
extern const KnownFolderPlaceholder kKnownFolderPlaceholders[kKnownFolderCount];

// The folder as the shell gives it, or empty when the call fails. The
// shell's buffer is freed in every case.
template <typename Shell>
std::wstring KnownFolderPath(Shell& shell, const KNOWNFOLDERID& id) {
    PWSTR path = nullptr;
    const HRESULT result = shell.SHGetKnownFolderPath(id, 0, nullptr, &path);
    std::wstring value;
    if (SUCCEEDED(result) && path != nullptr) {
        value = path;
    }
    CoTaskMemFree(path);
    return value;
}

// "win32", "x64" or "PlatformUnknown" for the flags 0, 1 and 2; else empty.
std::wstring PlatformName(unsigned long platform);

}  // namespace Kelmora::internal
