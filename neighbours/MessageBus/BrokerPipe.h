// One end of a broker connection: an overlapped pipe handle, so one thread
// can block reading while others write. Owns the handle.
#pragma once

#include "neighbours/MessageBus/BrokerProtocol.h"

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Tessil::broker {

class Pipe {
public:
    explicit Pipe(HANDLE handle) : handle_(handle) {}
    ~Pipe() { CloseHandle(handle_); }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    // Connects to a broker's pipe, waiting up to timeoutMs for a free instance.
    static HANDLE connect(const std::wstring& name, DWORD timeoutMs) {
        const ULONGLONG until = GetTickCount64() + timeoutMs;
        for (;;) {
            HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr);
            if (h != INVALID_HANDLE_VALUE) return h;
            const DWORD error = GetLastError();
            if (GetTickCount64() >= until) return nullptr;
            if (error == ERROR_PIPE_BUSY) {
                WaitNamedPipeW(name.c_str(), 100);
            } else {
                Sleep(20);
            }
        }
    }

    bool send(const Frame& frame) {
        const std::vector<std::uint8_t> bytes = encode(frame);
        std::lock_guard<std::mutex> lock(writeMutex_);
        return transfer(const_cast<std::uint8_t*>(bytes.data()), bytes.size(), true);
    }

    // Blocks for the next frame; nothing once the pipe breaks or a frame is malformed.
    std::optional<Frame> receive() {
        std::uint8_t prefix[4];
        if (!transfer(prefix, sizeof prefix, false)) return std::nullopt;
        std::uint32_t length = 0;
        Reader(prefix, sizeof prefix).u32(length);
        if (length == 0 || length > kMaxFrameBody) return std::nullopt;
        std::vector<std::uint8_t> body(length);
        if (!transfer(body.data(), body.size(), false)) return std::nullopt;
        return decode(body.data(), body.size());
    }

    // Ends a blocked receive on another thread.
    void cancel() { CancelIoEx(handle_, nullptr); }

    HANDLE handle() const { return handle_; }

private:
    bool transfer(std::uint8_t* data, std::size_t size, bool write) {
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (event == nullptr) return false;
        bool ok = true;
        while (ok && size > 0) {
            OVERLAPPED overlapped = {};
            overlapped.hEvent = event;
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 20));
            DWORD done = 0;
            const BOOL started = write ? WriteFile(handle_, data, chunk, nullptr, &overlapped)
                                       : ReadFile(handle_, data, chunk, nullptr, &overlapped);
            if (!started && GetLastError() != ERROR_IO_PENDING) {
                ok = false;
            } else if (!GetOverlappedResult(handle_, &overlapped, &done, TRUE) || done == 0) {
                ok = false;
            } else {
                data += done;
                size -= done;
            }
        }
        CloseHandle(event);
        return ok;
    }

    HANDLE handle_;
    std::mutex writeMutex_;
};

}  // namespace Tessil::broker
