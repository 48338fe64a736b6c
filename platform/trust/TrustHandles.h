// Owners of the raw handles the verifier uses (the owner class is the
// shared one; the certificate kinds are added here).
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "platform/wrappers/UniqueHandle.h"

#include <utility>

namespace Tessil::trust_detail {

template <typename Traits>
using UniqueHandle = Kelmora::UniqueHandle<Traits>;

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

using Kelmora::FileHandle;
using Kelmora::KernelHandle;
using CertStoreHandle = UniqueHandle<CertStoreTraits>;
using CryptMsgHandle = UniqueHandle<CryptMsgTraits>;
using CertHandle = UniqueHandle<CertTraits>;
using ChainHandle = UniqueHandle<ChainTraits>;
using Kelmora::ModuleHandle;
using Kelmora::RegKeyHandle;

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
