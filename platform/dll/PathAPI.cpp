#include "platform/dll/PathAPI.h"

#include "platform/dll/StreamBytes.h"

#include <shlwapi.h>

#include <share.h>

#include <cstdio>
#include <string>

namespace Tessil {

namespace {

// Owns a C run-time stream.
class StdioFile {
public:
    explicit StdioFile(FILE* file) : file_(file) {}
    ~StdioFile() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }
    StdioFile(const StdioFile&) = delete;
    StdioFile& operator=(const StdioFile&) = delete;
    FILE* get() const { return file_; }
    // Closes now; false when the close (and with it a last flush) failed.
    bool close() {
        FILE* file = file_;
        file_ = nullptr;
        return file == nullptr || std::fclose(file) == 0;
    }

private:
    FILE* file_;
};

}  // namespace

namespace internal {

bool ReadStreamBytes(std::FILE* stream, std::string& bytes) {
    char chunk[4096];
    std::size_t count;
    while ((count = std::fread(chunk, 1, sizeof(chunk), stream)) > 0) {
        bytes.append(chunk, count);
    }
    return std::ferror(stream) == 0;
}

}  // namespace internal

HANDLE PathAPI::createFile(const wchar_t* path, DWORD access, DWORD share,
                           SECURITY_ATTRIBUTES* attributes, DWORD disposition, DWORD flags,
                           HANDLE templateFile) {
    return CreateFileW(path, access, share, attributes, disposition, flags, templateFile);
}

BOOL PathAPI::moveFile(const wchar_t* from, const wchar_t* to) {
    return MoveFileW(from, to);
}

BOOL PathAPI::deleteFile(const wchar_t* path) {
    return DeleteFileW(path);
}

BOOL PathAPI::readDirectoryChanges(HANDLE directory, void* buffer, DWORD length,
                                   BOOL watchSubtree, DWORD filter, DWORD* returned,
                                   OVERLAPPED* overlapped,
                                   LPOVERLAPPED_COMPLETION_ROUTINE completion) {
    return ReadDirectoryChangesW(directory, buffer, length, watchSubtree, filter, returned,
                                 overlapped, completion);
}

const wchar_t* PathAPI::findFileName(const wchar_t* path) {
    return PathFindFileNameW(path);
}

DWORD PathAPI::getLongPathName(const wchar_t* shortPath, wchar_t* buffer, DWORD size) {
    return GetLongPathNameW(shortPath, buffer, size);
}

DWORD PathAPI::sleepEx(DWORD milliseconds, BOOL alertable) {
    return SleepEx(milliseconds, alertable);
}

BOOL PathAPI::cancelIoEx(HANDLE handle, OVERLAPPED* overlapped) {
    return CancelIoEx(handle, overlapped);
}

BOOL PathAPI::closeHandle(HANDLE handle) {
    return CloseHandle(handle);
}

HANDLE PathAPI::findFirstFile(const wchar_t* pattern, WIN32_FIND_DATAW* data) {
    return FindFirstFileW(pattern, data);
}

BOOL PathAPI::findNextFile(HANDLE handle, WIN32_FIND_DATAW* data) {
    return FindNextFileW(handle, data);
}

BOOL PathAPI::findClose(HANDLE handle) {
    return FindClose(handle);
}

DWORD PathAPI::getLastError() {
    return GetLastError();
}

bool PathAPI::readFile(const std::wstring& path, std::wstring& out) {
    // Binary: a text stream would drop carriage returns and stop at ^Z, so
    // the count read would not match the file's length.
    StdioFile file(_wfsopen(path.c_str(), L"rb", _SH_DENYNO));
    if (file.get() == nullptr) {
        return false;
    }
    std::string bytes;
    if (!internal::ReadStreamBytes(file.get(), bytes)) {
        return false;
    }
    out.assign(bytes.size(), L'\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
    }
    return true;
}

bool PathAPI::writeFile(const std::wstring& path, const std::wstring& text) {
    StdioFile file(_wfsopen(path.c_str(), L"wb", _SH_DENYNO));
    if (file.get() == nullptr) {
        return false;
    }
    std::string bytes(text.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        bytes[i] = static_cast<char>(text[i]);
    }
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
        return false;
    }
    return std::fflush(file.get()) == 0 && file.close();
}

}  // namespace Tessil
