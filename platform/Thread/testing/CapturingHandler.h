// Test support: records the utility library's own log lines.
#pragma once

#include "platform/Logging/internal_logging.h"

#include <mutex>
#include <string>
#include <vector>

struct LibraryLogLine {
    int type;
    std::wstring file, function;
    int line;
    std::wstring message;
};

class CapturingHandler : public Kelmora::ILoggingHandler {
public:
    CapturingHandler() { Kelmora::CLogger::RegisterHandler(this); }
    ~CapturingHandler() override { Kelmora::CLogger::UnregisterHandler(this); }
    void Log(int type, const wchar_t* file, const wchar_t* function, int line,
             const wchar_t* message) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back({type, file ? file : L"", function ? function : L"", line,
                          message ? message : L""});
    }
    std::vector<LibraryLogLine> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<LibraryLogLine> lines_;  // guarded by mutex_
};
