#include "platform/dll/SharedLibrary.h"

#include "framework/message/CallGuarded.h"
#include "framework/message/ModuleException.h"
#include "framework/message/ModuleStatus.h"
#include "platform/Logging/Logging.h"
#include "platform/Registry/ObfuscatedRegKey.h"
#include "platform/Registry/RegKey.h"
#include "platform/files/FileVersionInfo.h"
#include "platform/paths/PathHelpers.h"

#include <algorithm>
#include <array>
#include <cwctype>

namespace Tessil {

namespace {

const wchar_t kSource[] = L"SharedLibrary";

std::wstring lowerCase(const std::wstring& text) {
    std::wstring lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return lower;
}

// Libraries the deny list never refuses, compared in lower case.
const std::array<std::wstring, 4>& coreLibraries() {
    static const std::array<std::wstring, 4> names = {
        L"systemmonitor.dll", L"settingsmanager.dll", L"modulemanager.dll", L"messagebus.dll"};
    return names;
}

}  // namespace

SharedLibrary::SharedLibrary(LibraryDescriptor descriptor, std::shared_ptr<DllLoader> loader,
                             std::shared_ptr<PathHelpers> pathHelpers,
                             std::shared_ptr<PathSearch> pathSearch,
                             std::shared_ptr<Kelmora::FileVersionInfo> versionInfo,
                             std::shared_ptr<Kelmora::CRegKey> denyListKey)
    : fileName_(std::move(descriptor.fileName)),
      searchPaths_(std::move(descriptor.searchPaths)),
      loader_(loader ? std::move(loader) : std::make_shared<DllLoader>()),
      pathHelpers_(pathHelpers ? std::move(pathHelpers) : std::make_shared<PathHelpers>()),
      pathSearch_(pathSearch ? std::move(pathSearch) : std::make_shared<PathSearch>()),
      denyListKey_(std::move(denyListKey)),
      versionInfo_(std::move(versionInfo)) {
    if (loadLibrary() != MODULE_STATUS_SUCCESS) {
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::SharedLibrary::SharedLibrary",
               L"Failed to load library: %ls. Throwing ModuleException.", fileName_.c_str());
        throw ModuleException("Failed to load library");
    }
    if (importFunctions() != MODULE_STATUS_SUCCESS) {
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::SharedLibrary::SharedLibrary",
               L"Failed to import functions from library: %ls. Throwing ModuleException.",
               fileName_.c_str());
        unloadLibrary();
        throw ModuleException("Failed to import functions from library");
    }
}

SharedLibrary::~SharedLibrary() {
    unloadLibrary();
}

LibraryFunctions* SharedLibrary::getFunctions() {
    return &functions_;
}

std::uint32_t SharedLibrary::loadLibrary() {
    for (std::wstring& folder : searchPaths_) {
        if (!pathHelpers_->expand(folder)) {
            VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::SharedLibrary::loadLibrary",
                   L"Failed to resolve file path, %ls, for library: %ls.", folder.c_str(),
                   fileName_.c_str());
            return MODULE_STATUS_NOT_FOUND;
        }
    }
    pathSearch_->addSearchPaths(searchPaths_);
    std::wstring folder;
    if (!pathSearch_->findFilePath(fileName_, folder)) {
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::SharedLibrary::loadLibrary",
               L"Failed to find valid path for library: %ls.", fileName_.c_str());
        return MODULE_STATUS_NOT_FOUND;
    }
    VT_LOG(ETWLogging::LevelNormal, kSource, L"Tessil::SharedLibrary::loadLibrary",
           L"Loading %ls from %ls.", fileName_.c_str(), folder.c_str());
    const std::wstring fullPath = folder + L"\\" + fileName_;
    // Held from before the deny-list test until loaded: the version read, the
    // signature check and the load all see the same file.
    const HANDLE hold = loader_->holdFile(fullPath);
    if (hold == INVALID_HANDLE_VALUE) {
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::SharedLibrary::loadLibrary",
               L"Failed to load library: %ls.", fileName_.c_str());
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    struct Release {
        DllLoader& loader;
        HANDLE hold;
        ~Release() { loader.releaseFile(hold); }
    } release{*loader_, hold};
    if (isLibraryBlocked(folder, fileName_)) {
        VT_LOG(ETWLogging::LevelInformation, kSource, L"Tessil::SharedLibrary::loadLibrary",
               L"Blocked library: %ls.", fullPath.c_str());
        return MODULE_STATUS_NOT_SUPPORTED;
    }
    HMODULE module = nullptr;
    if (!loader_->loadDLL(fullPath, &module)) {
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::SharedLibrary::loadLibrary",
               L"Failed to load library: %ls.", fileName_.c_str());
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    module_ = module;
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t SharedLibrary::importFunctions() {
    struct Export {
        const char* name;
        void** slot;
    };
    const Export exports[] = {
        {"CreateObject", reinterpret_cast<void**>(&functions_.CreateObject)},
        {"ReleaseObject", reinterpret_cast<void**>(&functions_.ReleaseObject)},
        {"GetVersionStr", reinterpret_cast<void**>(&functions_.GetVersionStr)},
        {"GetVersionNum", reinterpret_cast<void**>(&functions_.GetVersionNum)},
    };
    for (const Export& e : exports) {
        FARPROC address = loader_->getProcAddress(module_, e.name);
        if (address == nullptr) {
            VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::SharedLibrary::importFunctions",
                   L"Failed to load %hs function from library: %ls.", e.name, fileName_.c_str());
            return MODULE_STATUS_NOT_FOUND;
        }
        *e.slot = reinterpret_cast<void*>(address);
    }
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t SharedLibrary::unloadLibrary() {
    return callGuarded([&]() -> std::uint32_t {
        if (module_ == nullptr) {
            return MODULE_STATUS_SUCCESS;
        }
        if (loader_->freeDLL(module_)) {
            module_ = nullptr;
            return MODULE_STATUS_SUCCESS;
        }
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::SharedLibrary::unloadLibrary",
               L"Failed to free library: %ls.", fileName_.c_str());
        return MODULE_STATUS_UNSUCCESSFUL;
    });
}

bool SharedLibrary::isLibraryBlocked(const std::wstring& folder, const std::wstring& fileName) {
    const std::wstring lowerFolder = lowerCase(folder);
    const std::wstring lowerName = lowerCase(fileName);
    if (lowerFolder.empty() || lowerName.empty()) {
        return false;
    }
    const auto& core = coreLibraries();
    if (std::find(core.begin(), core.end(), lowerName) != core.end()) {
        return false;
    }
    const std::wstring path = lowerFolder + L"\\" + lowerName;
    std::shared_ptr<Kelmora::FileVersionInfo> versionInfo =
        versionInfo_ ? versionInfo_ : std::make_shared<Kelmora::FileVersionInfo>();
    if (!versionInfo->Load(path)) {
        return false;
    }
    const std::wstring version = versionInfo->GetString(L"FileVersion");
    std::shared_ptr<Kelmora::CRegKey> key =
        denyListKey_ ? denyListKey_ : std::make_shared<Kelmora::CObfuscatedRegKey>();
    const std::wstring subKey = std::wstring(kLibraryDenyListKey) + lowerName;
    if (key->Open(HKEY_LOCAL_MACHINE, subKey.c_str(), KEY_READ) != ERROR_SUCCESS) {
        return false;
    }
    std::wstring denied;
    if (key->QueryStringValue(version.c_str(), denied) != ERROR_SUCCESS) {
        denied.clear();
    }
    return denied == version;
}

}  // namespace Tessil
