#include "platform/Registry/RegKey.h"
#include "platform/wrappers/RegistryAPI.h"
#include "platform/wrappers/ShlObjAPI.h"
#include "platform/wrappers/WinOSVersionAPI.h"

namespace Tessil {

HRESULT ShlObjAPI::SHGetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, HANDLE token,
                                        PWSTR* path) {
    return ::SHGetKnownFolderPath(id, flags, token, path);
}

long RegistryAPI::readString(const wchar_t* subKey, const wchar_t* valueName,
                             std::wstring& out) {
    Kelmora::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, subKey, KEY_READ) != ERROR_SUCCESS) {
        return kFailure;
    }
    wchar_t buffer[MAX_PATH] = {};
    ULONG chars = MAX_PATH;
    if (key.QueryStringValue(valueName, buffer, &chars) != ERROR_SUCCESS) {
        return kFailure;
    }
    out.assign(buffer, wcsnlen(buffer, MAX_PATH));
    return 0;
}

long RegistryAPI::readDword(const wchar_t* subKey, const wchar_t* valueName, DWORD& out) {
    Kelmora::CRegKey key;
    DWORD value = 0;
    if (key.Open(HKEY_LOCAL_MACHINE, subKey, KEY_READ) != ERROR_SUCCESS ||
        key.QueryDWORDValue(valueName, value) != ERROR_SUCCESS) {
        return kFailure;
    }
    out = value;
    return 0;
}

}  // namespace Tessil

namespace Kelmora {

HRESULT ShlObjAPI::SHGetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, HANDLE token,
                                        PWSTR* path) {
    return ::SHGetKnownFolderPath(id, flags, token, path);
}

BOOL WinOSVersionAPI::VerifyVersionInfoW(OSVERSIONINFOEXW* info, DWORD typeMask,
                                         DWORDLONG conditionMask) {
    return ::VerifyVersionInfoW(info, typeMask, conditionMask);
}

}  // namespace Kelmora
