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

VT_DEFINE_LEVEL_NAMED_OPERATIONS(CapturingLogger)

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

void InstallLogger(CLoggingIf* logger) {
    CLoggerHolder* holder = GetLoggerHolder();
    if (holder == nullptr) {
        delete logger;
        return;
    }
    holder->ReplaceLogger(logger);
}

ScopedCapturingLogger::ScopedCapturingLogger() : logger_(new CapturingLogger()) {
    InstallLogger(logger_);
}

ScopedCapturingLogger::~ScopedCapturingLogger() {
    InstallLogger(nullptr);
}

}  // namespace ETWLogging::testing
