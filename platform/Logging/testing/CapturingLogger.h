// Test support: a logger that records every line it is given.
#pragma once

#include "platform/Logging/Logging.h"

#include <mutex>
#include <string>
#include <vector>

namespace ETWLogging::testing {

// Installs a logger into the holder (building the holder first); the holder
// owns it. Passing null removes the logger again.
void InstallLogger(CLoggingIf* logger);

struct LogRecord {
    LogLevel level;
    std::wstring file;
    std::wstring function;
    int line;
    std::wstring text;
};

class CapturingLogger : public CLoggingIf {
public:
    DWORD Init(const wchar_t*, HMODULE, const wchar_t*, void*) override { return 0; }
    DWORD Register() override { return registerResult; }
    std::wstring& GetFullLogName(std::wstring& out) override { return out; }
    std::wstring& GetLogName(std::wstring& out) override { return out; }
    DWORD Uninit() override { return 0; }
    void SetEnabled(bool enabled) override { enabled_ = enabled; }
    bool GetEnabled() override { return enabled_; }
    void Log(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
             const wchar_t* format, ...) override;
    DWORD Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                const wchar_t* text) override;
    bool IsEnabled(LogLevel level) override { return enabled_ && level >= severity_; }
    void SetMaxEntries(DWORD) override {}
    DWORD GetMaxEntries() override { return 0; }
    void SetMaxSize(DWORD) override {}
    DWORD GetMaxSize() override { return 0; }
    void SetSeverity(LogLevel level) override { severity_ = ClampSeverity(level); }
    LogLevel GetSeverity() override { return severity_; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    DWORD LogNormal(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                    ...) override;
    DWORD LogError(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                   ...) override;
    DWORD LogWarning(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                     ...) override;
    DWORD LogCritical(const wchar_t* file, const wchar_t* function, int line,
                      const wchar_t* format, ...) override;
    DWORD LogInformation(const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, ...) override;

    std::vector<LogRecord> Records() const;
    void Clear();
    // True when a record at this level contains the text.
    bool Contains(LogLevel level, const std::wstring& text) const;
    std::size_t Count(LogLevel level, const std::wstring& text) const;

    DWORD registerResult = 0;

private:
    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;  // guarded by mutex_
    bool enabled_ = true;
    LogLevel severity_ = 1;
};

// Installs a fresh capturing logger as the process's logger for the lifetime
// of the object and removes it again afterwards.
class ScopedCapturingLogger {
public:
    ScopedCapturingLogger();
    ~ScopedCapturingLogger();
    CapturingLogger& operator*() { return *logger_; }
    CapturingLogger* operator->() { return logger_; }

private:
    CapturingLogger* logger_;
};

}  // namespace ETWLogging::testing
