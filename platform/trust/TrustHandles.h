// Owners of the raw handles the verifier uses: one move-only class over a
// traits struct per handle kind. Closing keeps the caller's last error.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <utility>

namespace Tessil::trust_detail {

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

struct FileTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { CloseHandle(h); }
};
struct KernelTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { CloseHandle(h); }
};
struct CertStoreTraits {
    using Type = HCERTSTORE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { CertCloseStore(h, 0); }
};
struct CryptMsgTraits {
    using Type = HCRYPTMSG;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { CryptMsgClose(h); }
};
struct CertTraits {
    using Type = PCCERT_CONTEXT;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { CertFreeCertificateContext(h); }
};
struct ChainTraits {
    using Type = PCCERT_CHAIN_CONTEXT;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { CertFreeCertificateChain(h); }
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
using CertStoreHandle = UniqueHandle<CertStoreTraits>;
using CryptMsgHandle = UniqueHandle<CryptMsgTraits>;
using CertHandle = UniqueHandle<CertTraits>;
using ChainHandle = UniqueHandle<ChainTraits>;
using ModuleHandle = UniqueHandle<ModuleTraits>;
using RegKeyHandle = UniqueHandle<RegKeyTraits>;

// A byte-range lock over a whole file, released on destruction.
class FileRangeLock {
public:
    FileRangeLock() = default;
    // Waits until granted. False when the lock could not be taken.
    bool Lock(HANDLE file, bool exclusive) {
        Unlock();
        OVERLAPPED at{};
        if (!LockFileEx(file, exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, MAXDWORD, MAXDWORD, &at))
            return false;
        file_ = file;
        return true;
    }
    void Unlock() {
        if (!file_) return;
        DWORD error = GetLastError();
        OVERLAPPED at{};
        UnlockFileEx(file_, 0, MAXDWORD, MAXDWORD, &at);
        SetLastError(error);
        file_ = nullptr;
    }
    ~FileRangeLock() { Unlock(); }
    FileRangeLock(const FileRangeLock&) = delete;
    FileRangeLock& operator=(const FileRangeLock&) = delete;

private:
    HANDLE file_ = nullptr;
};

// Opens a file for reading while denying others write and delete access, so
// it cannot be changed or swapped between its check and its use.
inline FileHandle OpenDenyingChanges(const wchar_t* path) {
    return FileHandle(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace Tessil::trust_detail
