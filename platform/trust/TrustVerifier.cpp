#include "platform/trust/TrustVerifier.h"

#include <mutex>
#include <new>
#include <shared_mutex>

#include "platform/Thread/Once.h"
#include "platform/Logging/WideFormat.h"
#include "platform/files/FileUtils.h"
#include "platform/trust/ProcessVerifier.h"
#include "platform/trust/SignatureCheck.h"
#include "platform/trust/TrustHandles.h"

namespace Tessil {
namespace {

using namespace trust_detail;

constexpr DWORD kDefaultPlatformVersion = 1504;
constexpr DWORD kValidationProviderFlags = 0x1010;  // cache-only URLs, no revocation
constexpr std::size_t kNameLimit = 260;
constexpr std::size_t kPathBufferChars = 262;
constexpr DWORD kVersionValueBytes = 128;

// Reads a string value into a buffer of the given size in characters; false
// when it does not fit or is not a string.
bool ReadStringValue(HKEY key, const wchar_t* name, std::size_t chars, std::wstring& out) {
    std::wstring buffer(chars + 1, L'\0');  // room for a missing terminator
    DWORD type = 0;
    DWORD bytes = static_cast<DWORD>(chars * sizeof(wchar_t));
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                         &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    buffer.resize(bytes / sizeof(wchar_t));
    out.assign(buffer.c_str());
    return true;
}

bool ScanNumber(const wchar_t*& p, unsigned long long& value) {
    if (*p < L'0' || *p > L'9') return false;
    value = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p)
        value = value > 100000000ull ? value : value * 10 + static_cast<unsigned>(*p - L'0');
    return true;
}

// "major.minor" -> major*100 + minor when major > 14 and minor > 3.
DWORD PlatformVersionFrom(const std::wstring& text) {
    const wchar_t* p = text.c_str();
    unsigned long long major = 0, minor = 0;
    if (!ScanNumber(p, major) || *p++ != L'.' || !ScanNumber(p, minor)) return kDefaultPlatformVersion;
    if (major > 14 && minor > 3) {
        unsigned long long version = major * 100 + minor;
        return version > MAXDWORD ? kDefaultPlatformVersion : static_cast<DWORD>(version);
    }
    return kDefaultPlatformVersion;
}

bool IsPathLike(const std::wstring& name) {
    return name.size() < 3 || name[0] == L'\\' || name[1] == L':';
}

// folder + "\" + name, or empty when it does not fit the path buffer.
std::wstring JoinWithinBuffer(const std::wstring& folder, const std::wstring& name) {
    std::wstring path = folder + L"\\" + name;
    return path.size() < kPathBufferChars ? path : std::wstring();
}

bool AcceptedValidationResult(LONG result) {
    return result == 0 || static_cast<HRESULT>(result) == CRYPT_E_SECURITY_SETTINGS ||
           static_cast<HRESULT>(result) == CERT_E_EXPIRED ||
           static_cast<HRESULT>(result) == CERT_E_REVOCATION_FAILURE;
}

// Holds the file without write or delete sharing, then checks it. A file
// that cannot be held is not checked and held stays empty: 2 when it is
// missing, else the open's error.
LONG HoldAndVerify(const std::wstring& path, FileHandle& held) {
    held = OpenDenyingChanges(path.c_str());
    if (!held) {
        DWORD error = GetLastError();
        return error == ERROR_PATH_NOT_FOUND || error == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND
                                                                       : static_cast<LONG>(error);
    }
    return VerifyTrustOfFile(path.c_str(), kValidationProviderFlags, true);
}

bool HasCabinetExtension(const wchar_t* path) {
    std::size_t length = wcslen(path);
    return length >= 4 && _wcsicmp(path + length - 4, L".cab") == 0;
}

}  // namespace

DWORD AskValidationInterface(HKEY platformRoot, const std::wstring& libraryName,
                             const char* interfaceName, void** out, HMODULE* module) {
    if (module) *module = nullptr;
    if (libraryName.size() >= kNameLimit) return ERROR_INVALID_PARAMETER;
    const bool givenAsPath = IsPathLike(libraryName);
    std::wstring path = libraryName;
    if (!givenAsPath) {
        std::wstring folder;
        RegKeyHandle key;
        bool haveFolder = RegOpenKeyExW(platformRoot, kPlatformKeyPath, 0,
                                        KEY_READ | KEY_WOW64_32KEY, key.put()) == ERROR_SUCCESS &&
                          ReadStringValue(key.get(), L"szInstallDir64", kPathBufferChars, folder);
        if (!haveFolder) {
            wchar_t current[kPathBufferChars] = {};
            DWORD chars = GetCurrentDirectoryW(kPathBufferChars, current);
            if (chars == 0 || chars >= kPathBufferChars) return ERROR_FILENAME_EXCED_RANGE;
            folder = current;
        }
        // A path that does not fit is refused rather than cut.
        path = JoinWithinBuffer(folder, libraryName);
        if (path.empty()) return ERROR_FILENAME_EXCED_RANGE;
    }

    // Held without write or delete sharing from the check until the load; a
    // file that cannot be held is refused.
    FileHandle held;
    LONG result = HoldAndVerify(path, held);
    if ((result == ERROR_FILE_NOT_FOUND || static_cast<HRESULT>(result) == CRYPT_E_FILE_ERROR) &&
        !givenAsPath) {
        std::wstring program = Kelmora::ModuleFilePath(nullptr);
        std::size_t slash = program.find_last_of(L'\\');
        if (slash != std::wstring::npos) {
            path = program.substr(0, slash + 1) + libraryName;
            result = HoldAndVerify(path, held);
        }
    }
    if (!held || !AcceptedValidationResult(result)) {
        std::wstring line = Kelmora::Format(L"NotComDllGetInterface: %s loading %s, %s failed with %08x\n",
                                            Kelmora::ModuleFilePath(nullptr).c_str(), path.c_str(),
                                            held ? L"WinVerifyTrust" : L"CreateFileW", static_cast<unsigned>(result));
        OutputDebugStringW(line.c_str());
        return static_cast<DWORD>(result);
    }

    ModuleHandle library(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    held.reset();
    if (!library) {
        DWORD error = GetLastError();
        return error ? error : ERROR_FILE_NOT_FOUND;
    }
    auto getInterface = reinterpret_cast<NotComDllGetInterfaceFn>(
        reinterpret_cast<void*>(GetProcAddress(library.get(), "NotComDllGetInterface")));
    if (!getInterface) return GetLastError();
    DWORD answer = getInterface(interfaceName, out);
    if (answer == 0 && out && *out && module) *module = library.release();
    return answer;
}

namespace {
Kelmora::OnceFlag g_instanceOnce;
TrustVerifier* g_instance = nullptr;  // never destroyed: its interface is never released
}  // namespace

TrustVerifier& TrustVerifier::GetInstance() {
    g_instanceOnce.call([] { g_instance = trust_detail::NewProcessVerifier(); });
    return *g_instance;
}

TrustVerifier::TrustVerifier(std::shared_ptr<const TrustPolicy> policy, std::wstring listPath,
                             HKEY platformRoot, std::wstring validationLibrary,
                             std::wstring reloadAtom)
    : policy_(policy ? std::move(policy) : DefaultTrustPolicy()),
      reloadAtom_(std::move(reloadAtom)),
      signerList_(listPath.empty() ? DefaultSignerListPath() : std::move(listPath), policy_) {
    RegKeyHandle key;
    if (RegOpenKeyExW(platformRoot, kPlatformKeyPath, 0, KEY_READ | KEY_WOW64_32KEY,
                      key.put()) != ERROR_SUCCESS)
        return;
    platformVersion_ = kDefaultPlatformVersion;
    std::wstring versionText;
    if (ReadStringValue(key.get(), L"bastrel_version", kVersionValueBytes / sizeof(wchar_t),
                        versionText))
        platformVersion_ = PlatformVersionFrom(versionText);
    key.reset();

    void* control = nullptr;
    HMODULE module = nullptr;
    if (AskValidationInterface(platformRoot, validationLibrary,
                               "QavValidationControl2", &control, &module) != 0) {
        control = nullptr;
        if (AskValidationInterface(platformRoot, validationLibrary,
                                   "QavValidationControl", &control, &module) != 0)
            control = nullptr;
    }
    if (control) {
        validationControl_ = static_cast<QavValidationControl*>(control);
        validationModule_ = module;
    } else if (module) {
        FreeLibrary(module);
    }
}

TrustVerifier::~TrustVerifier() {
    if (validationModule_) FreeLibrary(validationModule_);
}

DWORD TrustVerifier::Verify(const wchar_t* path) {
    if (!path || !*path) return ERROR_INVALID_PARAMETER;
    try {
        if (validationControl_) {
            const bool newPlatform = platformVersion_ > kDefaultPlatformVersion;
            ValidationAnswer answer{};
            validationControl_->ValidateFile(
                path, newPlatform ? kValidationFlagsNewPlatform : kValidationFlagsOldPlatform,
                &answer);
            const DWORD verdict =
                newPlatform ? kValidationVerdictNewPlatform : kValidationVerdictOldPlatform;
            if ((answer.words[0] & kValidationAnswerChecked) && (answer.words[1] & verdict))
                return ERROR_SUCCESS;
        }
        return OwnCheck(path) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    } catch (const std::exception&) {
        return ERROR_ACCESS_DENIED;
    }
}

bool TrustVerifier::OwnCheck(const wchar_t* path) {
    if (CheckAgainstSignerLists(path)) return true;
    if (!HasCabinetExtension(path)) return false;
    if (!InstallSignerListFromCabinet(path, signerList_, reloadAtom_, policy_)) return false;
    return CheckAgainstSignerLists(path);
}

bool TrustVerifier::CheckAgainstSignerLists(const wchar_t* path) {
    auto& mutex = signerList_.Mutex();
    const TrustedList& builtIn = policy_->BuiltInList();
    bool wasLoaded = false;
    bool usedLoaded = false;
    {
        std::shared_lock lock(mutex);
        wasLoaded = signerList_.IsLoaded();
        // A loaded list no newer than the built-in one is never used.
        usedLoaded = wasLoaded && signerList_.List().version > builtIn.version;
        if (usedLoaded && CheckFileAgainstList(path, signerList_.List())) return true;
    }
    if (!usedLoaded && CheckFileAgainstList(path, builtIn)) return true;
    {
        std::unique_lock lock(mutex);
        // A loaded list, whatever its version, is read again only when another
        // process has installed a newer one.
        if (wasLoaded) {
            if (!GlobalFindAtomW(reloadAtom_.c_str())) return false;
            signerList_.Clear();
        }
        if (!signerList_.Load()) return false;
    }
    std::shared_lock lock(mutex);
    return signerList_.IsLoaded() && signerList_.List().version > builtIn.version &&
           CheckFileAgainstList(path, signerList_.List());
}

}  // namespace Tessil
