// The shell wrappers: each passes to SHGetKnownFolderPath, so a
// test can put its own object in their place.
#pragma once

#include <windows.h>
#include <shlobj.h>

namespace Tessil {

class ShlObjAPI {
public:
    virtual ~ShlObjAPI() = default;                                           // 0
    virtual HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, HANDLE token,
                                         PWSTR* path);                        // 1
};

}  // namespace Tessil

namespace Kelmora {

class ShlObjAPI {
public:
    virtual ~ShlObjAPI() = default;                                           // 0
    virtual HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, HANDLE token,
                                         PWSTR* path);                        // 1
};

}  // namespace Kelmora
