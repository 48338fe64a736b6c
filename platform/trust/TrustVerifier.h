// Whether a file is trusted: the validation library's verdict, else the
// system's Authenticode check against the signer lists.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <memory>
#include <string>

#include "platform/trust/SignerListFile.h"
#include "platform/trust/TrustPolicy.h"
#include "platform/trust/ValidationControl.h"

namespace Tessil {

inline constexpr wchar_t kSignerListReloadAtom[] = L"67136527-5D6B-4AC9-865B-3E392E982420";
inline constexpr wchar_t kPlatformKeyPath[] = L"Software\\Corvane\\Bastrel";
inline constexpr wchar_t kValidationLibraryName[] = L"cvnqava.dll";
// A verified library's own dependencies come from its folder and the
// system's default folders, never from the current folder or PATH.
inline constexpr DWORD kVerifiedLibrarySearchFlags =
    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;

class TrustVerifier {
public:
    // The process's verifier, made on the first call and never destroyed.
    // A construction that throws is tried again by the next call.
    static TrustVerifier& GetInstance();

    // Empty collaborators take the real ones: the real policy, the default
    // list path (DefaultSignerListPath()), HKEY_LOCAL_MACHINE as the holder
    // of the platform component's key.
    explicit TrustVerifier(std::shared_ptr<const TrustPolicy> policy = nullptr,
                           std::wstring listPath = {}, HKEY platformRoot = HKEY_LOCAL_MACHINE,
                           std::wstring validationLibrary = kValidationLibraryName,
                           std::wstring reloadAtom = kSignerListReloadAtom);
    ~TrustVerifier();
    TrustVerifier(const TrustVerifier&) = delete;
    TrustVerifier& operator=(const TrustVerifier&) = delete;

    // 87 for a null or empty path, 0 when trusted, 5 when not.
    DWORD Verify(const wchar_t* path);

    DWORD PlatformVersion() const { return platformVersion_; }
    bool HasValidationControl() const { return validationControl_ != nullptr; }
    SignerListFile& SignerList() { return signerList_; }

private:
    bool OwnCheck(const wchar_t* path);
    bool CheckAgainstSignerLists(const wchar_t* path);

    const std::shared_ptr<const TrustPolicy> policy_;
    const std::wstring reloadAtom_;
    DWORD platformVersion_ = 0;
    QavValidationControl* validationControl_ = nullptr;  // never released
    HMODULE validationModule_ = nullptr;  // kept loaded while the interface lives
    SignerListFile signerList_;
};

// Asks the validation library for an interface, looking for it as the
// platform component's key says. 0 when handed out; then *module holds the
// library, which must stay loaded while the interface is used.
DWORD AskValidationInterface(HKEY platformRoot, const std::wstring& libraryName,
                             const char* interfaceName, void** out, HMODULE* module);

}  // namespace Tessil

// 87 for a null or empty path; 0 when the file is trusted; 5 when not.
DWORD VerifyFile(const wchar_t* path);

// Loads the library only when it is trusted; else null with the last error
// set to VerifyFile's answer, or 5 when the file cannot be held. The file
// cannot be changed between its check and its load. Flags that name no
// search locations get kVerifiedLibrarySearchFlags.
HMODULE LoadVerifiedLibrary(const wchar_t* path, DWORD flags);

// CoCreateInstance, or with verify set: creates the object through its class
// factory only when the module implementing the factory is trusted.
HRESULT CreateVerifiedInstance(REFCLSID classId, IUnknown* outer, DWORD context, REFIID interfaceId,
                               void** out, bool verify);
