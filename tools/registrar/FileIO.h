// File access of the reference store, behind an interface so that
// tests can make any step fail.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

namespace Tessil {

class IFileIO {
public:
    virtual ~IFileIO();
    // The handle is closed with fclose when its last holder lets it go; empty
    // on failure.
    virtual std::shared_ptr<FILE> open(const wchar_t* path, const wchar_t* mode) = 0;
    // False only when nothing is found at the path (no such file or folder on
    // the way); a file that cannot be opened or a folder in its place exists.
    virtual bool exists(const wchar_t* path) = 0;

    // Added for saving safely (a save must see every write error).
    // Writes all of data or answers false.
    virtual bool write(FILE* file, const void* data, std::size_t size) = 0;
    // Flushes the handle to the disk and closes it, for every holder; false
    // when any of these fails. file is empty afterwards in every case.
    virtual bool close(std::shared_ptr<FILE>& file) = 0;
    // Puts the file from in the place of to in one step, replacing it: at
    // every moment to holds the old file or the whole new one. The new file
    // takes the attributes of the one it replaces; a read-only file or a
    // folder at to is not replaced.
    virtual bool replace(const wchar_t* from, const wchar_t* to) = 0;
    virtual bool remove(const wchar_t* path) = 0;
    // Copies the file to to, replacing a file there, also a read-only one; the
    // copy is neither read-only, hidden nor system.
    virtual bool copy(const wchar_t* from, const wchar_t* to) = 0;
};

// The C runtime's files; replace, which the C runtime lacks, is
// Kelmora::ReplaceFileByRename.
class FileIO : public IFileIO {
public:
    std::shared_ptr<FILE> open(const wchar_t* path, const wchar_t* mode) override;
    bool exists(const wchar_t* path) override;
    bool write(FILE* file, const void* data, std::size_t size) override;
    bool close(std::shared_ptr<FILE>& file) override;
    bool replace(const wchar_t* from, const wchar_t* to) override;
    bool remove(const wchar_t* path) override;
    bool copy(const wchar_t* from, const wchar_t* to) override;
};

}  // namespace Tessil
