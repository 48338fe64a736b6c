#include "platform/Registry/SecurityAPI.h"

#include "platform/wrappers/KnownFolderPath.h"

#include <shlobj.h>

#include <string>

namespace Kelmora {

namespace {
enum FunctionIndex : std::size_t {
    kSetEntriesInAclW = 0,
    kRegGetKeySecurity = 2,
    kInitializeSecurityDescriptor = 4,
    kSetSecurityDescriptorDacl = 5,
    kGetSecurityDescriptorDacl = 6,
    kAllocateAndInitializeSid = 7,
    kFreeSid = 9,
};
}  // namespace

const char* const SecurityAPI::kFunctionNames[kFunctionCount] = {
    "SetEntriesInAclW",     "GetFileSecurityW",          "RegGetKeySecurity",
    "RegSetKeySecurity",    "InitializeSecurityDescriptor", "SetSecurityDescriptorDacl",
    "GetSecurityDescriptorDacl", "AllocateAndInitializeSid", "SetFileSecurityW",
    "FreeSid",              "InitializeAcl",             "InitializeSid",
    "GetSidSubAuthority",   "AddAccessAllowedAce",       "GetSecurityInfo",
    "SetSecurityInfo",      "QueryServiceStatusEx",      "OpenThreadToken",
    "GetTokenInformation",  "LookupAccountSidW",         "GetAce",
    "DeleteAce",            "EqualSid",                  "GetAclInformation",
    "SetSecurityDescriptorControl", "GetExplicitEntriesFromAclW",
};

SecurityAPI::SecurityAPI() {
    InitializeCriticalSectionAndSpinCount(&lock_, 4000);
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwPlatformId = VER_PLATFORM_WIN32_NT;
    const DWORDLONG condition = VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL);
    isNT_ = ::VerifyVersionInfoW(&info, VER_PLATFORMID, condition) != FALSE;
}

SecurityAPI::~SecurityAPI() {
    DeleteCriticalSection(&lock_);
    if (library_ != nullptr) {
        FreeLibrary(library_);
    }
}

bool SecurityAPI::Bind() {
    EnterCriticalSection(&lock_);
    if (library_ == nullptr) {
        const std::wstring system = Kelmora::KnownFolderPath(FOLDERID_System);
        if (!system.empty()) {
            const std::wstring path = system + L"\\advapi32.dll";
            library_ = LoadLibraryExW(path.c_str(), nullptr, 0);
        }
        if (library_ != nullptr) {
            for (std::size_t i = 0; i < kFunctionCount; ++i) {
                functions_[i] = GetProcAddress(library_, kFunctionNames[i]);
            }
        }
    }
    bool bound = library_ != nullptr;
    for (FARPROC function : functions_) {
        bound = bound && function != nullptr;
    }
    LeaveCriticalSection(&lock_);
    return bound;
}

FARPROC SecurityAPI::Function(std::size_t index) {
    if (!isNT_) {
        return nullptr;
    }
    EnterCriticalSection(&lock_);
    FARPROC function = functions_[index];
    LeaveCriticalSection(&lock_);
    return function;
}

template <typename F>
static F As(FARPROC function) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(function));
}

DWORD SecurityAPI::SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl,
                                    PACL* newAcl) {
    auto f = As<decltype(&::SetEntriesInAclW)>(Function(kSetEntriesInAclW));
    return f ? f(count, entries, oldAcl, newAcl) : ERROR_INVALID_FUNCTION;
}

LONG SecurityAPI::RegGetKeySecurity(HKEY key, SECURITY_INFORMATION info,
                                    PSECURITY_DESCRIPTOR descriptor, LPDWORD size) {
    auto f = As<decltype(&::RegGetKeySecurity)>(Function(kRegGetKeySecurity));
    return f ? f(key, info, descriptor, size) : ERROR_INVALID_FUNCTION;
}

BOOL SecurityAPI::InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
    auto f = As<decltype(&::InitializeSecurityDescriptor)>(Function(kInitializeSecurityDescriptor));
    return f ? f(descriptor, revision) : FALSE;
}

BOOL SecurityAPI::SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present,
                                            PACL dacl, BOOL defaulted) {
    auto f = As<decltype(&::SetSecurityDescriptorDacl)>(Function(kSetSecurityDescriptorDacl));
    return f ? f(descriptor, present, dacl, defaulted) : FALSE;
}

BOOL SecurityAPI::GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present,
                                            PACL* dacl, LPBOOL defaulted) {
    auto f = As<decltype(&::GetSecurityDescriptorDacl)>(Function(kGetSecurityDescriptorDacl));
    return f ? f(descriptor, present, dacl, defaulted) : FALSE;
}

BOOL SecurityAPI::AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count,
                                           DWORD s0, DWORD s1, DWORD s2, DWORD s3, DWORD s4,
                                           DWORD s5, DWORD s6, DWORD s7, PSID* sid) {
    auto f = As<decltype(&::AllocateAndInitializeSid)>(Function(kAllocateAndInitializeSid));
    return f ? f(authority, count, s0, s1, s2, s3, s4, s5, s6, s7, sid) : FALSE;
}

PVOID SecurityAPI::FreeSid(PSID sid) {
    auto f = As<decltype(&::FreeSid)>(Function(kFreeSid));
    return f ? f(sid) : nullptr;
}

}  // namespace Kelmora
