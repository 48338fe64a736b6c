// The placeholder values both expanders share: known folders and the
// platform name.
#pragma once

#include "platform/wrappers/KnownFolderPath.h"

#include <windows.h>
#include <shlobj.h>

#include <string>

namespace Kelmora::internal {

struct KnownFolderPlaceholder {
    const wchar_t* placeholder;
    const KNOWNFOLDERID* id;
};

inline constexpr std::size_t kKnownFolderCount = 13;
extern const KnownFolderPlaceholder kKnownFolderPlaceholders[kKnownFolderCount];

// "win32", "x64" or "PlatformUnknown" for the flags 0, 1 and 2; else empty.
std::wstring PlatformName(unsigned long platform);

}  // namespace Kelmora::internal
