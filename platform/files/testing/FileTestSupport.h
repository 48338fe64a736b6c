// Files for tests: whole texts in and out, and a thread that keeps looking
// for a file under its name.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <utility>

namespace Kelmora::testing {

// The whole file; empty when it cannot be opened.
inline std::string ReadText(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read != 0) {
        text.append(buffer, read);
    }
    CloseHandle(file);
    return text;
}

// Creates the file, or empties it, with text in it.
inline void WriteText(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    CloseHandle(file);
}

// Looks for the name without pause on a thread of its own, from construction
// until Stop, counting the looks that found nothing there. It never opens the
// file: a file held open could not be renamed over.
class NameWatcher {
public:
    explicit NameWatcher(std::wstring path) : path_(std::move(path)) {
        std::promise<void> looking;
        std::future<void> started = looking.get_future();
        thread_ = std::thread([this, &looking] {
            looking.set_value();
            while (!done_) {
                if (GetFileAttributesW(path_.c_str()) == INVALID_FILE_ATTRIBUTES) ++missing_;
                ++looks_;
            }
        });
        started.wait();
    }
    ~NameWatcher() { Stop(); }
    NameWatcher(const NameWatcher&) = delete;
    NameWatcher& operator=(const NameWatcher&) = delete;

    void Stop() {
        done_ = true;
        if (thread_.joinable()) thread_.join();
    }
    long long Looks() const { return looks_; }
    long long Missing() const { return missing_; }

private:
    const std::wstring path_;
    std::atomic<bool> done_{false};
    std::atomic<long long> looks_{0};
    std::atomic<long long> missing_{0};
    std::thread thread_;
};

}  // namespace Kelmora::testing
