#include "platform/trust/testing/TestTrust.h"

#include <wincrypt.h>

#include <fstream>
#include <sstream>

#include "certs.h"
#include "platform/trust/TrustVerifier.h"
#include "platform/trust/testing/SwitchableProcessVerifier.h"

namespace Tessil::testing {

std::wstring WindowsPathOf(const std::string& unixPath) {
    std::wstring out = L"Z:";
    for (char c : unixPath) out.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
    return out;
}

bool InstallTestRootCertificate() {
    std::ifstream in(std::string(VT_TEST_PKI_DIR_UNIX) + "/test-root.cer", std::ios::binary);
    std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (der.empty()) return false;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!store) return false;
    BOOL added = CertAddEncodedCertificateToStore(
        store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
        static_cast<DWORD>(der.size()), CERT_STORE_ADD_USE_EXISTING, nullptr);
    CertCloseStore(store, 0);
    return added != FALSE;
}

bool TestTrustPolicy::CheckListFileSignature(const wchar_t* path) const {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::string text(1 << 16, '\0');
    DWORD read = 0;
    BOOL ok = ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
    CloseHandle(file);
    if (!ok) return false;
    text.resize(read);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == kTestListSignature) return true;
    }
    return false;
}

Thumbprint TestRootThumbprint() { return *ParseThumbprint(VT_TEST_ROOT_THUMBPRINT); }

TrustedList TestRootList(std::initializer_list<const wchar_t*> names, std::uint32_t version) {
    TrustedList list;
    list.version = version;
    for (const wchar_t* name : names) list.names.emplace_back(name);
    list.thumbprints.push_back(TestRootThumbprint());
    return list;
}

bool WritePlatformKey(HKEY root, const wchar_t* folder, const wchar_t* version) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, kPlatformKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    auto set = [&](const wchar_t* name, const wchar_t* value) {
        return !value || RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                        static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t))) ==
                             ERROR_SUCCESS;
    };
    bool ok = set(L"szInstallDir64", folder) && set(L"bastrel_version", version);
    RegCloseKey(key);
    return ok;
}

bool MakeProcessVerifierWithValidationLibrary(const wchar_t* folder, const wchar_t* version) {
    // A private key of this process stands in for HKLM's platform key.
    std::wstring privatePath =
        L"Software\\VantrelTrustTest-" + std::to_wstring(GetCurrentProcessId());
    HKEY privateKey = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, privatePath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &privateKey, nullptr) != ERROR_SUCCESS)
        return false;
    bool ok = WritePlatformKey(privateKey, folder, version);
    if (ok) {
        SetProcessVerifierFactory(
            [privateKey] { return std::make_unique<TrustVerifier>(nullptr, L"", privateKey); });
        ok = TrustVerifier::GetInstance().HasValidationControl();
        SetProcessVerifierFactory(nullptr);
    }
    RegCloseKey(privateKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, privatePath.c_str());
    return ok;
}

}  // namespace Tessil::testing
