// The library-loading wrapper: each operation passes to the function it is
// named after, so tests can put their own object in its place.
#pragma once

#include <windows.h>

#include <string>

namespace Tessil {

class DllAPI {
public:
    virtual ~DllAPI() = default;
    // Loads only a trusted library, its dependencies from its own folder and
    // the system folders; logs and answers false when refused.
    virtual bool loadLibrary(const std::wstring& path, HMODULE* out);
    virtual FARPROC getProcAddress(HMODULE module, const char* name);
    // False for an empty path; else whether the file is trusted.
    virtual bool isTrusted(const std::wstring& path);
    virtual bool freeLibrary(HMODULE module);
    virtual bool getModuleHandleEx(DWORD flags, const wchar_t* path, HMODULE* out);
    // Opens the file so that nobody can write, replace or delete it until
    // releaseFile; INVALID_HANDLE_VALUE when it cannot be held.
    virtual HANDLE holdFile(const std::wstring& path);
    virtual void releaseFile(HANDLE hold);
};

}  // namespace Tessil
