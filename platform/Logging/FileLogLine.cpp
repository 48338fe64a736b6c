#include "platform/Logging/FileLogLine.h"

#include "platform/Logging/WideFormat.h"

#include <cwchar>
#include <cwctype>

namespace ETWLogging::internal {
namespace {

// Cuts the text to width characters and right-aligns it in as many.
std::wstring Fit(const wchar_t* text, std::size_t width) {
    std::wstring value = text != nullptr ? std::wstring(text) : std::wstring();
    if (value.size() > width) {
        value.resize(width);
    }
    return std::wstring(width - value.size(), L' ') + value;
}

const wchar_t* AfterLastBackslash(const wchar_t* path) {
    const wchar_t* slash = std::wcsrchr(path, L'\\');
    return slash != nullptr ? slash + 1 : path;
}

}  // namespace

std::wstring FormatLineTimestamp(const LineTime& time) {
    unsigned hour = time.hour % 12 == 0 ? 12u : time.hour % 12u;
    return Kelmora::Format(L"%02hu/%02hu/%hu %02hu:%02hu:%02hu %s$", time.month, time.day, time.year,
                           static_cast<unsigned short>(hour), time.minute, time.second,
                           time.hour < 12 ? L"AM" : L"PM");
}

std::optional<std::wstring> ComposeLine(const LineParts& parts, DWORD options) {
    if (parts.level < 1 || parts.level > 6 || parts.message == nullptr || *parts.message == L'\0') {
        return std::nullopt;
    }
    std::wstring line = Kelmora::Format(L"%s -- (%s)$", FormatLineTimestamp(parts.time).c_str(),
                                        LogLevelName(parts.level));
    if (options & kOptionImage) {
        line += L' ';
        if (parts.imageName != nullptr) {
            line += L"[" + Fit(parts.imageName, 15) + L"]$";
        }
    }
    if (options & kOptionProcessThread) {
        line += L' ';
        line += Kelmora::Format(L"[PID:%5lu TID:%5lu]$", static_cast<unsigned long>(parts.processId),
                                static_cast<unsigned long>(parts.threadId));
    }
    if (options & kOptionSource) {
        line += L' ';
        if (parts.sourceFile != nullptr && *parts.sourceFile != L'\0') {
            line += Kelmora::Format(L"[%s:%5d]$", Fit(AfterLastBackslash(parts.sourceFile), 20).c_str(),
                                    parts.line);
        }
    }
    if (options & kOptionFunction) {
        line += L' ';
        if (parts.function != nullptr && *parts.function != L'\0') {
            line += L"[" + Fit(parts.function, 40) + L"()]$";
        }
    }
    line += L' ';
    line += parts.message;
    if (line.back() != L'\n') {
        line += L"\r\n";
    }
    return line;
}

std::wstring LogFilePath(const std::wstring& folder, const std::wstring& moduleBaseName,
                         const std::wstring* suffix, DWORD index) {
    std::wstring path = folder + L"\\" + moduleBaseName;
    if (suffix != nullptr) {
        path += L"_" + *suffix;
    }
    return path + Kelmora::Format(L"%0.3lu", static_cast<unsigned long>(index)) + L".log";
}

std::wstring FileLogLockName(const std::wstring& folder) {
    std::uint64_t hash = 14695981039346656037ull;
    for (wchar_t c : folder) {
        hash ^= static_cast<std::uint64_t>(std::towupper(c));
        hash *= 1099511628211ull;
    }
    return Kelmora::Format(L"VantrelFileLog.%016I64X", hash);
}

}  // namespace ETWLogging::internal
