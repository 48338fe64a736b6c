#include "platform/Logging/testing/CapturingLogger.h"

#include "platform/Logging/WideFormat.h"

#include <algorithm>

namespace ETWLogging::testing {

void CapturingLogger::Log(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                          const wchar_t* format, ...) {
    if (!IsEnabled(level)) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::wstring text = Kelmora::FormatV(format, args);
    va_end(args);
    Write(file, function, line, level, text.c_str());
}

DWORD CapturingLogger::Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                             const wchar_t* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back({level, file ? file : L"", function ? function : L"", line, text ? text : L""});
    return 0;
}

#define VT_CAPTURE_LEVEL_NAMED(name, level)                                                   \
    DWORD CapturingLogger::name(const wchar_t* file, const wchar_t* function, int line,     \
                                const wchar_t* format, ...) {                               \
        va_list args;                                                                       \
        va_start(args, format);                                                             \
        DWORD result = LogLevelNamed(*this, level, file, function, line, format, args);     \
        va_end(args);                                                                       \
        return result;                                                                      \
    }
VT_CAPTURE_LEVEL_NAMED(LogNormal, LevelNormal)
VT_CAPTURE_LEVEL_NAMED(LogError, LevelError)
VT_CAPTURE_LEVEL_NAMED(LogWarning, LevelWarning)
VT_CAPTURE_LEVEL_NAMED(LogCritical, LevelCritical)
VT_CAPTURE_LEVEL_NAMED(LogInformation, LevelInformation)
#undef VT_CAPTURE_LEVEL_NAMED

std::vector<LogRecord> CapturingLogger::Records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

void CapturingLogger::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}

std::size_t CapturingLogger::Count(LogLevel level, const std::wstring& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(std::count_if(records_.begin(), records_.end(), [&](const LogRecord& r) {
        return r.level == level && r.text.find(text) != std::wstring::npos;
    }));
}

bool CapturingLogger::Contains(LogLevel level, const std::wstring& text) const {
    return Count(level, text) != 0;
}

ScopedCapturingLogger::ScopedCapturingLogger() : logger_(new CapturingLogger()) {
    InstallLogger(logger_);
}

ScopedCapturingLogger::~ScopedCapturingLogger() {
    InstallLogger(nullptr);
}

}  // namespace ETWLogging::testing
