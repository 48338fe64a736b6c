// Kelmora::SecurityAPI: the security functions of the system's advapi32,
// bound at run time from the System folder.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <array>

namespace Kelmora {

class SecurityAPI {
public:
    // Records whether the system is of the NT family; binds nothing yet.
    SecurityAPI();
    ~SecurityAPI();
    SecurityAPI(const SecurityAPI&) = delete;
    SecurityAPI& operator=(const SecurityAPI&) = delete;

    bool IsNT() const { return isNT_; }
    // Loads advapi32.dll from the System folder and looks up all 26
    // functions; true only when every one was found. Safe to call again.
    bool Bind();

    // Each answers 1 (ERROR_INVALID_FUNCTION) or FALSE when unbound or not NT.
    DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl);
    LONG RegGetKeySecurity(HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor,
                           LPDWORD size);
    BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
    BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl,
                                   BOOL defaulted);
    BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl,
                                   LPBOOL defaulted);
    BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD s0,
                                  DWORD s1, DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6,
                                  DWORD s7, PSID* sid);
    PVOID FreeSid(PSID sid);

    static constexpr std::size_t kFunctionCount = 26;
    static const char* const kFunctionNames[kFunctionCount];

private:
    FARPROC Function(std::size_t index);

    CRITICAL_SECTION lock_;
    HMODULE library_ = nullptr;  // guarded by lock_ while binding
    bool isNT_ = false;
    std::array<FARPROC, kFunctionCount> functions_{};  // guarded by lock_ while binding
};

}  // namespace Kelmora
