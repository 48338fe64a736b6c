// An outside library taken into the process: found in an ordered list of
// folders, refused when the deny list names its version, loaded through the
// signature-checked loader, with its four standard exports resolved.
#pragma once

#include "platform/dll/DllLoader.h"
#include "platform/dll/LibraryFunctions.h"
#include "platform/dll/PathSearch.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Kelmora {
class CRegKey;
class FileVersionInfo;
}  // namespace Kelmora

namespace Tessil {

class PathHelpers;

// Deny-list root under HKEY_LOCAL_MACHINE; the subkey is the lower-case file name.
inline constexpr wchar_t kLibraryDenyListKey[] = L"SOFTWARE\\Corvane\\Halvex\\List\\";

class SharedLibrary {
public:
    // Any pointer may be empty: loader, path helper and path search get
    // defaults; without a key or version reader each deny-list test makes
    // fresh ones. Throws ModuleException when the library cannot be loaded
    // or lacks one of the four exports.
    explicit SharedLibrary(LibraryDescriptor descriptor, std::shared_ptr<DllLoader> loader = nullptr,
                           std::shared_ptr<PathHelpers> pathHelpers = nullptr,
                           std::shared_ptr<PathSearch> pathSearch = nullptr,
                           std::shared_ptr<Kelmora::FileVersionInfo> versionInfo = nullptr,
                           std::shared_ptr<Kelmora::CRegKey> denyListKey = nullptr);
    virtual ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Valid while this object lives.
    virtual LibraryFunctions* getFunctions();

    HMODULE module() const { return module_; }
    const std::vector<std::wstring>& searchPaths() const { return searchPaths_; }

    // True when the deny list names the version of folder\fileName.
    bool isLibraryBlocked(const std::wstring& folder, const std::wstring& fileName);

private:
    std::uint32_t loadLibrary();
    std::uint32_t importFunctions();
    std::uint32_t unloadLibrary();

    std::wstring fileName_;
    std::vector<std::wstring> searchPaths_;
    std::shared_ptr<DllLoader> loader_;
    std::shared_ptr<PathHelpers> pathHelpers_;
    std::shared_ptr<PathSearch> pathSearch_;
    std::shared_ptr<Kelmora::CRegKey> denyListKey_;
    std::shared_ptr<Kelmora::FileVersionInfo> versionInfo_;
    HMODULE module_ = nullptr;  // owned: freed by unloadLibrary
    LibraryFunctions functions_;
};

}  // namespace Tessil
