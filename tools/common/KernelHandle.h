// The one owner of a kernel object handle (process, thread, event...).
#pragma once

#include <windows.h>

#include <utility>

namespace Tessil {

class KernelHandle {
public:
    KernelHandle() = default;
    explicit KernelHandle(HANDLE handle) : handle_(handle) {}
    ~KernelHandle() { reset(); }
    KernelHandle(KernelHandle&& other) noexcept : handle_(other.release()) {}
    KernelHandle& operator=(KernelHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    KernelHandle(const KernelHandle&) = delete;
    KernelHandle& operator=(const KernelHandle&) = delete;

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    HANDLE release() { return std::exchange(handle_, nullptr); }
    // Closing keeps the caller's last error.
    void reset(HANDLE handle = nullptr) {
        if (handle_ != nullptr) {
            const DWORD error = GetLastError();
            CloseHandle(handle_);
            SetLastError(error);
        }
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

}  // namespace Tessil
