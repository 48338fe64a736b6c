// Text of one file-log line and the names of the log files. Formatting only,
// no system calls.
#pragma once

#include "platform/Logging/Logging.h"

#include <cstdint>
#include <optional>
#include <string>

namespace ETWLogging::internal {

// Option bits of the file logger's lines.
inline constexpr DWORD kOptionDebugOutput = 0x01;
inline constexpr DWORD kOptionProcessThread = 0x04;
inline constexpr DWORD kOptionSource = 0x08;
inline constexpr DWORD kOptionImage = 0x10;
inline constexpr DWORD kOptionFunction = 0x20;

struct LineTime {
    std::uint16_t year, month, day, hour, minute, second;
};

struct LineParts {
    LineTime time{};
    LogLevel level = 0;
    const wchar_t* imageName = nullptr;   // null: no image part text
    DWORD processId = 0;
    DWORD threadId = 0;
    const wchar_t* sourceFile = nullptr;  // null or empty: no source part text
    int line = 0;
    const wchar_t* function = nullptr;    // null or empty: no function part text
    const wchar_t* message = nullptr;
};

// "MM/DD/YYYY hh:mm:ss AM$" on a 12-hour clock.
std::wstring FormatLineTimestamp(const LineTime& time);

// The whole line, "\r\n" included unless the message ends with a line feed;
// nothing for a level outside 1..6 or an empty message.
std::optional<std::wstring> ComposeLine(const LineParts& parts, DWORD options);

// folder\module[_suffix]NNN.log, the index written with at least three digits.
std::wstring LogFilePath(const std::wstring& folder, const std::wstring& moduleBaseName,
                         const std::wstring* suffix, DWORD index);

// Name of the lock shared by every process writing into the folder (the
// folder compared without regard to letter case).
std::wstring FileLogLockName(const std::wstring& folder);

}  // namespace ETWLogging::internal
