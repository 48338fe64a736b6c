#include "tools/registrar/testing/FaultyFileIO.h"

namespace Tessil::testing {

bool FaultyFileIO::failsNow() {
    ++steps_;
    if (failed_ && stopAfterFailure) {
        return true;
    }
    if (steps_ == failAt_) {
        failed_ = true;
        return true;
    }
    return false;
}

std::shared_ptr<FILE> FaultyFileIO::open(const wchar_t* path, const wchar_t* mode) {
    journal_.push_back(std::wstring(L"open ") + path + L" " + mode);
    if (std::wstring(mode) == L"rb") {
        return failReadOpen ? nullptr : real_.open(path, mode);  // not a save step
    }
    if (failsNow()) {
        return nullptr;
    }
    return real_.open(path, mode);
}

bool FaultyFileIO::exists(const wchar_t* path) {
    journal_.push_back(std::wstring(L"exists ") + path);
    return real_.exists(path);
}

bool FaultyFileIO::write(FILE* file, const void* data, std::size_t size) {
    journal_.push_back(L"write " + std::to_wstring(size));
    if (failsNow()) {
        real_.write(file, data, size / 2);
        return false;
    }
    return real_.write(file, data, size);
}

bool FaultyFileIO::close(std::shared_ptr<FILE>& file) {
    journal_.push_back(L"close");
    const bool fails = failsNow();
    const bool closed = real_.close(file);
    return closed && !fails;
}

bool FaultyFileIO::replace(const wchar_t* from, const wchar_t* to) {
    journal_.push_back(std::wstring(L"replace ") + from + L" " + to);
    if (failsNow()) {
        return false;
    }
    return real_.replace(from, to);
}

bool FaultyFileIO::remove(const wchar_t* path) {
    journal_.push_back(std::wstring(L"remove ") + path);
    if (failed_ && stopAfterFailure) {
        return false;
    }
    return real_.remove(path);
}

bool FaultyFileIO::copy(const wchar_t* from, const wchar_t* to) {
    journal_.push_back(std::wstring(L"copy ") + from + L" " + to);
    return real_.copy(from, to);
}

}  // namespace Tessil::testing
