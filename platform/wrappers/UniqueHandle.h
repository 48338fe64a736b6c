// Owners of raw system handles: one move-only class over a traits struct per
// handle kind. Closing keeps the caller's last error.
#pragma once

#include <windows.h>

#include <utility>

namespace Kelmora {

template <typename Traits>
class UniqueHandle {
public:
    using Type = typename Traits::Type;
    UniqueHandle() = default;
    explicit UniqueHandle(Type value) : value_(value) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Type get() const { return value_; }
    Type* put() {
        reset();
        return &value_;
    }
    explicit operator bool() const { return value_ != Traits::Invalid(); }
    Type release() { return std::exchange(value_, Traits::Invalid()); }
    void reset(Type value = Traits::Invalid()) {
        if (value_ != Traits::Invalid()) {
            DWORD error = GetLastError();
            Traits::Close(value_);
            SetLastError(error);
        }
        value_ = value;
    }

private:
    Type value_ = Traits::Invalid();
};

// CreateFileW's handles: INVALID_HANDLE_VALUE is none.
struct FileTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { CloseHandle(h); }
};
// Other kernel objects (mutexes, events, processes): null is none.
struct KernelTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { CloseHandle(h); }
};
struct ModuleTraits {
    using Type = HMODULE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { FreeLibrary(h); }
};
struct RegKeyTraits {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { RegCloseKey(h); }
};

using FileHandle = UniqueHandle<FileTraits>;
using KernelHandle = UniqueHandle<KernelTraits>;
using ModuleHandle = UniqueHandle<ModuleTraits>;
using RegKeyHandle = UniqueHandle<RegKeyTraits>;

}  // namespace Kelmora
