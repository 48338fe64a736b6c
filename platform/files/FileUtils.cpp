#include "platform/files/FileUtils.h"

#include "platform/wrappers/UniqueHandle.h"

#include <sys/stat.h>

#include <cwchar>
#include <vector>

namespace Kelmora {

namespace {

constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr std::size_t kLongPrefixLength = 4;

// The attributes SetFileAttributesW can give a file.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

bool SetSettableAttributes(const wchar_t* path, DWORD attributes) {
    attributes &= kSettableAttributes;
    return SetFileAttributesW(path, attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes) != FALSE;
}

bool IsDotName(const wchar_t* name) {
    return std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0;
}

bool IsLinkFolder(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Removes a folder link (symbolic link or junction) without entering it.
bool RemoveLinkFolder(const std::wstring& path, DWORD attributes) {
    SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    return RemoveDirectoryW(path.c_str()) != FALSE;
}

bool HasLongPrefix(const std::wstring& path) {
    return path.compare(0, kLongPrefixLength, kLongPrefix) == 0;
}

// Creates every missing level of an absolute path, top down. The same walk
// as a recursion would, but as a loop, so a very deep path cannot exhaust the
// stack. A Win32 code.
DWORD CreateFolderPath(const std::wstring& path) {
    const bool prefixed = HasLongPrefix(path);
    std::vector<std::wstring> levels;  // deepest first
    std::wstring current = path;
    for (;;) {
        if (DirectoryExists(current.c_str())) {
            break;
        }
        const std::wstring bare = prefixed ? current.substr(kLongPrefixLength) : current;
        const std::size_t last = bare.rfind(L'\\');
        if (last == std::wstring::npos) {
            break;  // a level without a backslash is not created
        }
        levels.push_back(current);
        if (bare.find(L'\\') == last) {
            break;  // one backslash: no parent to make first
        }
        current = (prefixed ? std::wstring(kLongPrefix) : std::wstring()) + bare.substr(0, last);
    }
    for (auto it = levels.rbegin(); it != levels.rend(); ++it) {
        if (!CreateDirectoryW(it->c_str(), nullptr)) {
            const DWORD error = GetLastError();
            // "Already exists" counts as made only for a folder, not a file.
            if (error != ERROR_ALREADY_EXISTS || !DirectoryExists(it->c_str())) {
                return error;
            }
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace

bool FileExists(const wchar_t* path) {
    if (path == nullptr || path[0] == L'\0') {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const wchar_t* path) {
    if (path == nullptr || path[0] == L'\0') {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsRegularFile(const wchar_t* path) {
    if (path == nullptr || path[0] == L'\0') {
        return false;
    }
    struct _stat64 status {};
    return _wstat64(path, &status) == 0 && (status.st_mode & _S_IFREG) != 0;
}

bool DeleteFiles(const wchar_t* pattern, bool recursive) {
    if (pattern == nullptr || pattern[0] == L'\0' || IsDotName(pattern)) {
        return false;
    }
    const std::wstring text = pattern;
    const std::size_t slash = text.rfind(L'\\');
    if (slash == std::wstring::npos || slash + 1 == text.size()) {
        return false;
    }
    const std::wstring folder = text.substr(0, slash + 1);
    WIN32_FIND_DATAW entry{};
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool result = true;
    do {
        const std::wstring full = folder + entry.cFileName;
        const DWORD attributes = entry.dwFileAttributes;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if (IsDotName(entry.cFileName) || !recursive) {
                continue;
            }
            result = (IsLinkFolder(attributes) ? RemoveLinkFolder(full, attributes)
                                               : DeleteDirectoryTree(full.c_str())) &&
                     result;
        } else {
            SetFileAttributesW(full.c_str(),
                               attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
            result = DeleteFileW(full.c_str()) != FALSE && result;
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return result;
}

bool DeleteDirectoryTree(const wchar_t* path) {
    if (path == nullptr || path[0] == L'\0' || IsDotName(path)) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return false;
    }
    if (IsLinkFolder(attributes)) {
        return RemoveLinkFolder(path, attributes);
    }
    const std::wstring pattern = std::wstring(path) + L"\\*.*";
    if (!DeleteFiles(pattern.c_str(), true)) {
        return false;
    }
    SetFileAttributesW(path, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    return RemoveDirectoryW(path) != FALSE;
}

bool CreateDirectoryTree(const wchar_t* path, DWORD* error) {
    DWORD code = ERROR_SUCCESS;
    bool ok = false;
    if (path == nullptr || path[0] == L'\0') {
        code = ERROR_INVALID_PARAMETER;
    } else if (DirectoryExists(path)) {
        code = ERROR_ALREADY_EXISTS;
        ok = true;
    } else {
        const std::wstring text = path;
        std::wstring absolute;
        if (HasLongPrefix(text) || (text.size() > 1 && text[1] == L':')) {
            absolute = text;
        } else {
            const std::wstring current = GetCurrentFolder();
            const std::wstring drive = current.substr(0, 2);
            if (text.find(L'\\') == std::wstring::npos) {
                absolute = current + L"\\" + text;
            } else if (text[0] == L'\\') {
                absolute = drive + text;
            } else {
                absolute = drive + L"\\" + text;
            }
        }
        code = CreateFolderPath(absolute);
        ok = code == ERROR_SUCCESS;
    }
    if (error != nullptr) {
        *error = code;
    }
    return ok;
}

bool ReplaceFileByRename(const wchar_t* from, const wchar_t* to) {
    if (from == nullptr || from[0] == L'\0' || to == nullptr || to[0] == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const DWORD own = GetFileAttributesW(from);
    if (own == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    const DWORD old = GetFileAttributesW(to);
    const bool replacing = old != INVALID_FILE_ATTRIBUTES;
    // Windows refuses to rename over these; Wine 8 would replace a read-only file.
    constexpr DWORD kNotReplaced = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY;
    if ((own & FILE_ATTRIBUTE_DIRECTORY) != 0 || (replacing && (old & kNotReplaced) != 0)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    // Flushing takes a handle that may write, which a read-only file refuses;
    // the renamed file gets its attributes afterwards.
    if ((own & FILE_ATTRIBUTE_READONLY) != 0 &&
        !SetSettableAttributes(from, own & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
        return false;
    }
    {
        FileHandle file(CreateFileW(from, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file || !FlushFileBuffers(file.get())) {
            return false;
        }
    }
    const DWORD wanted = (replacing ? old : own) & kSettableAttributes;
    if ((GetFileAttributesW(from) & kSettableAttributes) != wanted &&
        !SetSettableAttributes(from, wanted)) {
        return false;
    }
    return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

std::wstring GetCurrentFolder() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(length);  // the size asked for, NUL included
    }
}

std::wstring ModuleFilePath(HMODULE module, ModuleFileNameFunction moduleFileName) {
    // Grown until the path fits: a cut path would name another file.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = moduleFileName(module, buffer.data(), size);
        if (length == 0) {
            return {};
        }
        if (length < size) {
            return std::wstring(buffer.data(), length);
        }
        if (size >= kLongestPath) {
            return {};
        }
        buffer.resize(size * 2 > kLongestPath ? kLongestPath : size * 2);
    }
}

bool SplitModulePath(HMODULE module, std::wstring& folder, std::wstring& fileName) {
    const std::wstring path = ModuleFilePath(module);
    const std::size_t slash = path.rfind(L'\\');
    if (path.empty() || slash == std::wstring::npos) {
        return false;
    }
    folder = path.substr(0, slash);
    fileName = path.substr(slash + 1);
    return true;
}

bool GetModuleFolder(HMODULE module, std::wstring& folder) {
    std::wstring fileName;
    return SplitModulePath(module, folder, fileName);
}

bool GetProcessFolder(std::wstring& folder) { return GetModuleFolder(nullptr, folder); }

std::wstring PathBesideProgram(const wchar_t* file) {
    std::wstring folder;
    if (!GetProcessFolder(folder)) {
        return std::wstring();
    }
    return folder + L"\\" + file;
}

}  // namespace Kelmora
