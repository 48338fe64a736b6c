// Test support for the trust checks: paths of the generated test files, the
// test root in the machine store, a policy with the test keys, and a process
// verifier that consults the test validation library.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "platform/trust/TrustPolicy.h"
#include "platform/trust/TrustVerifier.h"
#include "platform/trust/TrustedListFile.h"

namespace Tessil::testing {

// "/unix/path" -> "Z:\unix\path" (Wine's drive of the host's root).
std::wstring WindowsPathOf(const std::string& unixPath);

// Adds the test root to the machine "Root" store. False on failure.
bool InstallTestRootCertificate();

// Marker line that the test policy takes as a valid list-file signature.
inline constexpr char kTestListSignature[] = "// SIG // vantrel-test-list";

// A policy with a built-in list of the tests' choosing. List files count as
// signed when they hold the line kTestListSignature; script signatures cannot
// be made or checked here.
class TestTrustPolicy : public TrustPolicy {
public:
    explicit TestTrustPolicy(TrustedList builtIn) : builtIn_(std::move(builtIn)) {}
    const TrustedList& BuiltInList() const override { return builtIn_; }
    bool CheckListFileSignature(const wchar_t* path) const override;

private:
    TrustedList builtIn_;
};

// The test root's thumbprint, and a list accepting the given signer names
// under the test root.
Thumbprint TestRootThumbprint();
TrustedList TestRootList(std::initializer_list<const wchar_t*> names, std::uint32_t version = 5);

// The verifier's constructor arguments by name.
struct VerifierArguments {
    std::shared_ptr<const TrustPolicy> policy;
    std::wstring listPath;
    HKEY platformRoot = HKEY_LOCAL_MACHINE;
    std::wstring validationLibrary = kValidationLibraryName;
    std::wstring reloadAtom = kSignerListReloadAtom;
};
inline TrustVerifier MakeVerifier(VerifierArguments a) {
    return TrustVerifier(std::move(a.policy), std::move(a.listPath), a.platformRoot,
                         std::move(a.validationLibrary), std::move(a.reloadAtom));
}

// Writes the platform component's key under root (a key of the caller's):
// "szInstallDir64" = folder, "bastrel_version" = version (none when null).
bool WritePlatformKey(HKEY root, const wchar_t* folder, const wchar_t* version);

// Makes the process's verifier now, reading the platform component's key
// from a private key that names the test validation library's folder. The library's
// verdict comes from the environment: VT_QAV_TRUST ("*" or file names
// separated by ';'). Call before anything in the process checks a file.
bool MakeProcessVerifierWithValidationLibrary(const wchar_t* folder,
                                              const wchar_t* version = L"15.4");

// Another handle on a file, for tests of the hold against changes.
struct NamedFlags {
    const char* name;
    DWORD flags;
};
// Access of another handle that the hold cannot share.
inline constexpr NamedFlags kChangingAccess[] = {{"GENERIC_WRITE", GENERIC_WRITE},
                                                 {"DELETE", DELETE}};
// Sharing of another handle that only reads.
inline constexpr NamedFlags kReaderSharing[] = {
    {"FILE_SHARE_READ", FILE_SHARE_READ},
    {"FILE_SHARE_ALL", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}};
// Opens an existing file with the given access, sharing everything.
inline HANDLE OpenWithSharingAll(const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace Tessil::testing
