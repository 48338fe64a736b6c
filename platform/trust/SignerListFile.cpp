#include "platform/trust/SignerListFile.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <mutex>
#include <optional>

#include "platform/files/FileUtils.h"
#include "platform/trust/TrustHandles.h"

namespace Tessil {
namespace {

using namespace trust_detail;

constexpr DWORD kMinimumInstalledVersion = 6;
constexpr LONGLONG kMaxListFileBytes = 16 * 1024 * 1024;

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Reads the whole file through an open handle, from its start.
bool ReadWholeFile(HANDLE file, std::string& text) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart > kMaxListFileBytes) return false;
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
    text.assign(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD done = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        if (!ReadFile(file, text.data() + at, static_cast<DWORD>(text.size() - at), &done, nullptr))
            return false;
        if (done == 0) break;
        at += done;
    }
    text.resize(at);
    return true;
}

std::wstring FolderOf(const std::wstring& path) {
    std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

}  // namespace

SignerListFile::SignerListFile(std::wstring path, std::shared_ptr<const TrustPolicy> policy)
    : path_(std::move(path)), policy_(policy ? std::move(policy) : DefaultTrustPolicy()) {}

bool SignerListFile::Load() {
    if (loaded_) return true;
    Clear();
    if (path_.empty() || !FileExists(path_)) return false;
    try {
        // Held without write or delete sharing from the signature check to the
        // end of the parse, and under the shared file lock against replacement.
        FileHandle file = OpenDenyingChanges(path_.c_str());
        if (!file) return false;
        FileRangeLock fileLock;
        if (!fileLock.Lock(file.get(), false)) return false;
        if (!policy_->CheckListFileSignature(path_.c_str())) return false;
        std::string text;
        if (!ReadWholeFile(file.get(), text)) return false;
        auto sections = ParseTrustedListSections(text);
        fileLock.Unlock();
        if (!sections) return false;
        auto list = TrustedListFromSections(*sections);
        if (!list) return false;
        list_ = std::move(*list);
        loaded_ = true;
    } catch (const std::bad_alloc&) {
        Clear();
    }
    return loaded_;
}

void SignerListFile::Clear() {
    list_ = TrustedList{};
    loaded_ = false;
}

std::wstring DefaultSignerListPath() {
    wchar_t root[MAX_PATH + 1] = {};
    UINT chars = GetWindowsDirectoryW(root, MAX_PATH);
    if (chars == 0 || chars >= MAX_PATH) return std::wstring();
    PathStripToRootW(root);
    std::wstring path = root;
    if (!path.empty() && path.back() != L'\\') path += L'\\';
    return path + L"Program Files\\Common Files\\Corvane\\Platform\\Core\\trusted.js";
}

bool InstallSignerListFile(const wchar_t* newListPath, SignerListFile& current,
                           const std::wstring& reloadAtom,
                           const std::shared_ptr<const TrustPolicy>& policy) {
    if (!newListPath || !*newListPath) return false;
    // The new file may not change between its check and its copy.
    FileHandle heldNew = OpenDenyingChanges(newListPath);
    if (!heldNew) return false;
    SignerListFile fresh(newListPath, policy);
    DWORD newVersion = 0;
    {
        std::unique_lock freshLock(fresh.Mutex());
        if (!fresh.Load()) return false;
        newVersion = fresh.List().version;
    }
    if (newVersion < kMinimumInstalledVersion) return false;

    std::unique_lock listLock(current.Mutex());
    if (current.IsLoaded() && current.List().version >= newVersion) return false;

    const std::wstring& path = current.Path();
    const bool exists = FileExists(path);
    FileHandle existing;
    FileRangeLock fileLock;
    if (exists) {
        existing = FileHandle(CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (existing && fileLock.Lock(existing.get(), true)) {
            // Compare with what is on disk now, which another process may
            // have replaced since this one loaded it.
            std::string text;
            if (ReadWholeFile(existing.get(), text)) {
                auto onDisk = ParseTrustedList(text);
                if (onDisk && onDisk->version >= newVersion) return false;
            }
        }
    }

    const std::wstring folder = FolderOf(path);
    if (folder.empty()) return false;
    int created = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    if (created != ERROR_SUCCESS && created != ERROR_ALREADY_EXISTS && created != ERROR_FILE_EXISTS)
        return false;
    const std::wstring temporary = folder + L"\\trusted.tmp";
    if (!CopyFileW(newListPath, temporary.c_str(), FALSE)) return false;
    heldNew.reset();

    // One rename over the old file, which nobody may hold open then, this
    // installation included.
    fileLock.Unlock();
    existing.reset();
    if (!Kelmora::ReplaceFileByRename(temporary.c_str(), path.c_str())) {
        MoveFileExW(temporary.c_str(), path.c_str(),
                    MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING);
        return false;
    }
    GlobalAddAtomW(reloadAtom.c_str());
    current.Clear();
    return current.Load();
}

}  // namespace Tessil
