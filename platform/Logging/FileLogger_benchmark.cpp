// Lines per second of the file logger beside a plain buffered append of the
// same lines, on one thread and on eight.
#include "platform/Logging/FileLogger.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kLines = 4000;

class BenchAPI : public ETWLogging::FileLoggerAPI {
public:
    explicit BenchAPI(std::wstring root) : root_(std::move(root)) {}
    HRESULT GetProgramDataFolder(std::wstring& path) override {
        path = root_;
        return S_OK;
    }

private:
    std::wstring root_;
};

std::wstring Text(int thread, int i) {
    return L"benchmark line " + std::to_wstring(thread) + L"-" + std::to_wstring(i) +
           L" with some payload to make it about as long as a real log line";
}

template <typename WriteOne>
double LinesPerSecond(int threads, WriteOne writeOne) {
    const int perThread = kLines / threads;
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) writeOne(t, i);
        });
    }
    for (auto& worker : workers) worker.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return perThread * threads / seconds;
}

void DeleteTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring full = path + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(full);
            } else {
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

}  // namespace

int main() {
    wchar_t temp[MAX_PATH + 1];
    std::wstring root(temp, GetTempPathW(MAX_PATH + 1, temp));
    root += L"vt-filelog-bench-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(root.c_str(), nullptr);

    for (int threads : {1, 8}) {
        ETWLogging::CLogging logger(std::make_shared<BenchAPI>(root));
        const std::wstring group = L"T" + std::to_wstring(threads);
        if (logger.Init(group.c_str(), GetModuleHandleW(nullptr), nullptr, nullptr) != 0) {
            std::fprintf(stderr, "file logger could not be initialised\n");
            return 1;
        }
        double logged = LinesPerSecond(threads, [&](int t, int i) {
            logger.Write(L"Bench\\FileLogger_benchmark", L"main", 1, 3, Text(t, i).c_str());
        });

        const std::wstring plainPath = root + L"\\plain" + std::to_wstring(threads) + L".log";
        FILE* plain = _wfopen(plainPath.c_str(), L"ab");
        if (plain == nullptr) {
            std::fprintf(stderr, "plain file could not be opened\n");
            return 1;
        }
        std::mutex plainMutex;
        double appended = LinesPerSecond(threads, [&](int t, int i) {
            std::wstring line = L"12/10/2026 10:15:00 AM$ -- (Information)$  " + Text(t, i) + L"\r\n";
            std::lock_guard<std::mutex> lock(plainMutex);
            std::fwrite(line.data(), sizeof(wchar_t), line.size(), plain);
        });
        std::fclose(plain);

        std::printf("%d thread(s), %d lines: file logger %.0f lines/s, buffered append %.0f lines/s (%.1fx)\n",
                    threads, kLines, logged, appended, appended / logged);
    }
    DeleteTree(root);
    return 0;
}
