#include "tools/registrar/FileIO.h"

#include "platform/files/FileUtils.h"

#include <windows.h>

#include <io.h>
#include <share.h>
#include <stdio.h>

namespace Tessil {
namespace {

// Closes the handle unless close() already did.
struct FileCloser {
    bool closed = false;
    void operator()(FILE* file) const {
        if (file != nullptr && !closed) {
            std::fclose(file);
        }
    }
};

// Clears the attributes that keep a file from being written or replaced;
// false when they stay.
bool makePlain(const wchar_t* path) {
    constexpr DWORD kInWay = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kInWay) == 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return true;  // nothing in the way, or not a file to copy over
    }
    const DWORD plain = attributes & ~kInWay;
    return SetFileAttributesW(path, plain == 0 ? FILE_ATTRIBUTE_NORMAL : plain) != FALSE;
}

std::shared_ptr<FILE> Own(FILE* file) {
    if (file == nullptr) {
        return nullptr;
    }
    return std::shared_ptr<FILE>(file, FileCloser{});
}

}  // namespace

IFileIO::~IFileIO() = default;

std::shared_ptr<FILE> FileIO::open(const wchar_t* path, const wchar_t* mode) {
    if (path == nullptr || mode == nullptr) return nullptr;
    FILE* file = nullptr;
    if (_wfopen_s(&file, path, mode) != 0) return nullptr;
    return Own(file);
}

bool FileIO::exists(const wchar_t* path) {
    if (path == nullptr) return false;
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return true;
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

bool FileIO::write(FILE* file, const void* data, std::size_t size) {
    if (file == nullptr) return false;
    return size == 0 || std::fwrite(data, 1, size, file) == size;
}

bool FileIO::close(std::shared_ptr<FILE>& file) {
    std::shared_ptr<FILE> held = std::move(file);
    file.reset();
    FileCloser* closer = std::get_deleter<FileCloser>(held);
    if (!held || closer == nullptr || closer->closed) {
        return false;  // nothing to close, or not a handle of ours
    }
    FILE* raw = held.get();
    bool ok = std::fflush(raw) == 0 && std::ferror(raw) == 0;
    ok = _commit(_fileno(raw)) == 0 && ok;
    closer->closed = true;
    ok = std::fclose(raw) == 0 && ok;
    return ok;
}

bool FileIO::replace(const wchar_t* from, const wchar_t* to) {
    return Kelmora::ReplaceFileByRename(from, to);
}

bool FileIO::remove(const wchar_t* path) {
    if (path == nullptr) return false;
    return _wremove(path) == 0;
}

bool FileIO::copy(const wchar_t* from, const wchar_t* to) {
    if (from == nullptr || to == nullptr) return false;
    // An older copy that is read-only, hidden or system would refuse it.
    (void)makePlain(to);
    return CopyFileW(from, to, FALSE) != FALSE && makePlain(to);
}

}  // namespace Tessil
