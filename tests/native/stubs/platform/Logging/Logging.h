// Native stand-in for the logging front end, for code that only logs: the
// level constants and a VT_LOG that checks its arguments as the real one does
// and writes nothing. Put ahead of the repository root on the include path.
#pragma once

#include <cstdint>
#include <type_traits>

namespace ETWLogging {

using LogLevel = std::uint32_t;
inline constexpr LogLevel LevelNormal = 1;
inline constexpr LogLevel LevelWarning = 2;
inline constexpr LogLevel LevelInformation = 3;
inline constexpr LogLevel LevelError = 4;
inline constexpr LogLevel LevelCritical = 5;

template <typename... Args>
void NativeLog(LogLevel, const wchar_t*, const wchar_t*, const wchar_t* format, const Args&...) {
    static_assert(((std::is_scalar_v<std::decay_t<const Args&>>) && ...),
                  "log arguments must be numbers or pointers (pass .c_str())");
    (void)format;
}

}  // namespace ETWLogging

#define VT_LOG(level, file, function, ...) \
    ::ETWLogging::NativeLog((level), (file), (function), __VA_ARGS__)
