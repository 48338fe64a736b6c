// Lines per second of the file logger beside a bare loop that makes the same
// calls per line (the cross-process lock, the read of the folder log.ini, open,
// move to the end, write, close; the logger looks the file's size up as well),
// in one run; spdlog's rotating sink for scale; and where one line's time goes.
#include "framework/performance/testing/SideBySide.h"
#include "platform/Logging/FileLogLine.h"
#include "platform/Logging/FileLogger.h"
#include "platform/Registry/IniReader.h"
#include "platform/Registry/IniText.h"

#if __has_include(<spdlog/spdlog.h>)
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>
#define VT_HAVE_SPDLOG 1
#endif

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kLinesPerRound = 500;
constexpr int kRepetitions = 9;
constexpr DWORD kMaxSize = 0xA00000;  // no rotation during the run

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

const wchar_t kMessage[] = L"benchmark line with some payload to make it about as long as a real log line";

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

std::uint64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The bare loop's calls, one line each; `timing` adds each step's time.
struct BareLoop {
    std::wstring ini, file, line;
    HANDLE mutex = nullptr;
    wchar_t section[2048];
    std::vector<double>* timing = nullptr;  // one slot a step, in seconds

    bool WriteOne() {
        auto step = std::chrono::steady_clock::now();
        auto mark = [&](int slot) {
            if (!timing) return;
            auto now = std::chrono::steady_clock::now();
            (*timing)[slot] += std::chrono::duration<double>(now - step).count();
            step = now;
        };
        WaitForSingleObject(mutex, INFINITE);
        mark(0);
        GetPrivateProfileSectionW(L"Config", section, 2048, ini.c_str());
        mark(1);
        HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE, nullptr);
        mark(2);
        bool ok = handle != INVALID_HANDLE_VALUE;
        LARGE_INTEGER end{};
        ok = ok && SetFilePointerEx(handle, LARGE_INTEGER{}, &end, FILE_END);
        mark(3);
        DWORD written = 0;
        ok = ok && WriteFile(handle, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written,
                             nullptr);
        mark(4);
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        mark(5);
        ReleaseMutex(mutex);
        mark(0);
        return ok;
    }
};

template <typename F>
double SecondsPerCall(int calls, F f) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / calls;
}

}  // namespace

int main() {
    wchar_t temp[MAX_PATH + 1];
    std::wstring root(temp, GetTempPathW(MAX_PATH + 1, temp));
    root += L"vt-filelog-bench-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(root.c_str(), nullptr);

    ETWLogging::CLogging logger(std::make_shared<BenchAPI>(root));
    if (logger.Init(L"G", GetModuleHandleW(nullptr), nullptr, nullptr) != 0) {
        std::fprintf(stderr, "file logger could not be initialised\n");
        return 1;
    }
    logger.SetMaxSize(kMaxSize);
    // The folder log.ini as after a first rotation: the position is stored.
    CreateDirectoryW((root + L"\\Corvane").c_str(), nullptr);
    CreateDirectoryW((root + L"\\Corvane\\CVLOGS").c_str(), nullptr);
    CreateDirectoryW((root + L"\\Corvane\\CVLOGS\\G").c_str(), nullptr);
    CreateDirectoryW(logger.LogFolder().c_str(), nullptr);
    {
        Kelmora::CObfuscatedIniReader ini;
        ini.Load(logger.FolderIniPath());
        ini.SetInt(L"Config", L"LastLogIdx", 0);
    }

    // The bare loop writes the project's own line text into a file of its own.
    ETWLogging::internal::LineParts parts;
    parts.time = {2026, 12, 10, 10, 15, 0};
    parts.level = 3;
    parts.message = kMessage;
    BareLoop bare;
    bare.ini = logger.FolderIniPath();
    bare.file = logger.LogFolder() + L"\\bare.log";
    bare.line = *ETWLogging::internal::ComposeLine(parts, logger.GetOptions());
    bare.mutex = CreateMutexW(nullptr, FALSE, (L"Local\\VantrelBareLoop." + std::to_wstring(GetCurrentProcessId())).c_str());

    int failures = 0;
    bench::Side project{"file logger Write", [&] {
                            for (int i = 0; i < kLinesPerRound; ++i) {
                                if (logger.Write(nullptr, nullptr, 0, 3, kMessage) != 0) ++failures;
                            }
                        },
                        kLinesPerRound};
    bench::Side anchor{"bare loop, same calls", [&] {
                           for (int i = 0; i < kLinesPerRound; ++i) {
                               if (!bare.WriteOne()) ++failures;
                           }
                       },
                       kLinesPerRound};
    const bench::Comparison c = bench::compareRates(project, anchor, kRepetitions);
    bench::printRatio("File logger, lines/s, one thread (target: at least 0.8 of the bare loop)", project,
                      anchor, c, 0.8, true, "lines/s");
    const std::uint64_t projectBytes = FileSize(logger.LogFilePath(0));
    const std::uint64_t bareBytes = FileSize(bare.file);
    std::printf("  check: %d failed lines; bytes on disk: logger %llu, bare loop %llu (%s)\n", failures,
                static_cast<unsigned long long>(projectBytes), static_cast<unsigned long long>(bareBytes),
                projectBytes == bareBytes + 2 ? "the same lines, plus the logger's byte-order mark"
                                              : "DIFFERENT");

#ifdef VT_HAVE_SPDLOG
    {
        const std::wstring wide = logger.LogFolder() + L"\\spdlog.log";
        const std::string path(wide.begin(), wide.end());
        auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_st>(path, kMaxSize, 3);
        spdlog::logger rotating("rotating", sink);
        rotating.set_pattern("%m/%d/%Y %I:%M:%S %p$ -- (%l)$  %v");
        const std::string message(std::begin(kMessage), std::end(kMessage) - 1);
        std::vector<double> rates;
        for (int r = 0; r < kRepetitions; ++r) {
            rates.push_back(1.0 / SecondsPerCall(kLinesPerRound, [&] { rotating.info(message); }));
        }
        rotating.flush();
        std::printf("For scale (buffered, not the same calls per line):\n");
        bench::printSpread("spdlog rotating sink", bench::spreadOf(rates), "lines/s");
    }
#endif

    // Where one line's time goes: the bare loop's calls, one by one, and
    // the logger's own work on top of them.
    std::vector<double> steps(6, 0.0);
    bare.timing = &steps;
    const int timed = 2000;
    for (int i = 0; i < timed; ++i) bare.WriteOne();
    const char* names[] = {"cross-process lock (wait + release)", "read of the folder log.ini",
                           "open (CreateFileW)", "move to the end", "write", "close"};
    std::printf("Where one line's time goes (microseconds a line, %d lines):\n", timed);
    double callsTotal = 0;
    for (int s = 0; s < 6; ++s) {
        std::printf("  %-40s %8.2f\n", names[s], steps[s] / timed * 1e6);
        callsTotal += steps[s] / timed * 1e6;
    }
    wchar_t section[2048];
    const DWORD got = GetPrivateProfileSectionW(L"Config", section, 2048, bare.ini.c_str());
    int index = 0;
    const double decode = SecondsPerCall(timed, [&] {
        Kelmora::ini::FindScrambledIntInSection(section, got, L"LastLogIdx", index);
    });
    const double compose = SecondsPerCall(timed, [&] { (void)ETWLogging::internal::ComposeLine(parts, logger.GetOptions()); });
    const double paths = SecondsPerCall(timed, [&] { (void)logger.LogFilePath(0); });
    SYSTEMTIME now;
    const double clock = SecondsPerCall(timed, [&] { GetLocalTime(&now); });
    // The logger's look-up of the file's size, a call the bare loop does not make.
    const std::wstring logFile = logger.LogFilePath(0);
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    const double lookup = SecondsPerCall(timed, [&] {
        GetFileAttributesExW(logFile.c_str(), GetFileExInfoStandard, &attributes);
    });
    std::printf("  %-40s %8.2f\n", "sum of the calls", callsTotal);
    std::printf("  logger's own work:\n");
    std::printf("  %-40s %8.2f\n", "look-up of the file's size", lookup * 1e6);
    std::printf("  %-40s %8.2f\n", "decode of LastLogIdx (digest, keystream)", decode * 1e6);
    std::printf("  %-40s %8.2f\n", "line text", compose * 1e6);
    std::printf("  %-40s %8.2f\n", "log file path", paths * 1e6);
    std::printf("  %-40s %8.2f\n", "local time", clock * 1e6);
    std::printf("  %-40s %8.2f\n", "whole Write (median rate)", 1e6 / c.project.median);

    CloseHandle(bare.mutex);
    DeleteTree(root);
    return 0;
}
