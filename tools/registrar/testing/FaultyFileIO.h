// A file access for tests: real files, with the Nth step of a save failing.
#pragma once

#include "tools/registrar/FileIO.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace Tessil::testing {

// Counts the steps of a save (wide open, each write, close, replace) and makes
// step failAt (1-based; 0 never) fail the way the real one would: an open that
// gives no handle, a write that stores half its bytes, a close that closes but
// reports an error, a replace that does nothing. Every call is journalled.
class FaultyFileIO : public IFileIO {
public:
    explicit FaultyFileIO(std::size_t failAt = 0) : failAt_(failAt) {}

    std::size_t steps() const { return steps_; }
    const std::vector<std::wstring>& journal() const { return journal_; }
    // After the failing step every later step fails too, as if the process had
    // stopped there; remove fails as well when this is set.
    bool stopAfterFailure = false;
    // Makes open for reading ("rb") fail although the file exists.
    bool failReadOpen = false;

    std::shared_ptr<FILE> open(const wchar_t* path, const wchar_t* mode) override;
    bool exists(const wchar_t* path) override;
    bool write(FILE* file, const void* data, std::size_t size) override;
    bool close(std::shared_ptr<FILE>& file) override;
    bool replace(const wchar_t* from, const wchar_t* to) override;
    bool remove(const wchar_t* path) override;
    bool copy(const wchar_t* from, const wchar_t* to) override;

private:
    bool failsNow();  // counts one step

    FileIO real_;
    std::size_t failAt_;
    std::size_t steps_ = 0;
    bool failed_ = false;
    std::vector<std::wstring> journal_;
};

}  // namespace Tessil::testing
