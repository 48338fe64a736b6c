// Logging front end: levels, the logger interfaces, the process-wide holder
// and the log call every component writes through.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <string>
#include <type_traits>

namespace Kelmora {
class CRegKey;
}

namespace ETWLogging {

class CETWConfigurationListener;

using LogLevel = std::uint32_t;
inline constexpr LogLevel LevelNormal = 1;
inline constexpr LogLevel LevelWarning = 2;
inline constexpr LogLevel LevelInformation = 3;
inline constexpr LogLevel LevelError = 4;
inline constexpr LogLevel LevelCritical = 5;
inline constexpr LogLevel LevelInformation6 = 6;

// Name of a level as written into log lines; "Information" outside 1..6.
const wchar_t* LogLevelName(LogLevel level);

// Clamps a severity to 1..6.
constexpr LogLevel ClampSeverity(LogLevel level) {
    return level < 1 ? 1 : (level > 6 ? 6 : level);
}

inline constexpr DWORD kErrorNoLogger = 1627;
inline constexpr std::size_t kLogTextBufferChars = 4160;   // level-named operations
inline constexpr std::size_t kPlainLogTextLimit = 4160;    // holder's plain path keeps up to this
inline constexpr std::size_t kPlainLogTextCut = 2080;      // longer texts are cut to this

class CLoggingIf {
public:
    virtual ~CLoggingIf() = default;
    virtual DWORD Init(const wchar_t* logName, HMODULE moduleHandle, const wchar_t* suffix,
                       void* reserved) = 0;
    virtual DWORD Register() = 0;
    virtual std::wstring& GetFullLogName(std::wstring& out) = 0;
    virtual std::wstring& GetLogName(std::wstring& out) = 0;
    virtual DWORD Uninit() = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool GetEnabled() = 0;
    virtual void Log(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                     const wchar_t* format, ...) = 0;
    virtual DWORD Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                        const wchar_t* text) = 0;
    virtual bool IsEnabled(LogLevel level) = 0;
    virtual void SetMaxEntries(DWORD count) = 0;
    virtual DWORD GetMaxEntries() = 0;
    virtual void SetMaxSize(DWORD bytes) = 0;
    virtual DWORD GetMaxSize() = 0;
    virtual void SetSeverity(LogLevel level) = 0;
    virtual LogLevel GetSeverity() = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
    virtual DWORD LogNormal(const wchar_t* file, const wchar_t* function, int line,
                            const wchar_t* format, ...) = 0;
    virtual DWORD LogError(const wchar_t* file, const wchar_t* function, int line,
                           const wchar_t* format, ...) = 0;
    virtual DWORD LogWarning(const wchar_t* file, const wchar_t* function, int line,
                             const wchar_t* format, ...) = 0;
    virtual DWORD LogCritical(const wchar_t* file, const wchar_t* function, int line,
                              const wchar_t* format, ...) = 0;
    virtual DWORD LogInformation(const wchar_t* file, const wchar_t* function, int line,
                                 const wchar_t* format, ...) = 0;
};

class CLoggingIf_ex : public CLoggingIf {
public:
    virtual DWORD InitEx(const wchar_t* etwAppName, const wchar_t* logName, HMODULE moduleHandle,
                         const wchar_t* suffix, CETWConfigurationListener* listener) = 0;
    virtual DWORD WriteText(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                            const wchar_t* text) = 0;
    virtual DWORD WriteV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, va_list args) = 0;
};

// Shared body of the level-named operations of both loggers: formats into a
// 4160-character buffer (cut at 4159) and calls Write with the level.
DWORD LogLevelNamed(CLoggingIf& logger, LogLevel level, const wchar_t* file,
                    const wchar_t* function, int line, const wchar_t* format, va_list args);

// Defines a logger class's five level-named operations over LogLevelNamed.
#define VT_LEVEL_NAMED_OPERATION(cls, name, level)                                         \
    DWORD cls::name(const wchar_t* file, const wchar_t* function, int line,                 \
                    const wchar_t* format, ...) {                                           \
        va_list args;                                                                       \
        va_start(args, format);                                                             \
        DWORD result = ::ETWLogging::LogLevelNamed(*this, ::ETWLogging::level, file,        \
                                                   function, line, format, args);           \
        va_end(args);                                                                       \
        return result;                                                                      \
    }
#define VT_DEFINE_LEVEL_NAMED_OPERATIONS(cls)                   \
    VT_LEVEL_NAMED_OPERATION(cls, LogNormal, LevelNormal)       \
    VT_LEVEL_NAMED_OPERATION(cls, LogError, LevelError)         \
    VT_LEVEL_NAMED_OPERATION(cls, LogWarning, LevelWarning)     \
    VT_LEVEL_NAMED_OPERATION(cls, LogCritical, LevelCritical)   \
    VT_LEVEL_NAMED_OPERATION(cls, LogInformation, LevelInformation)

class CLogBuilderIf {
public:
    virtual ~CLogBuilderIf() = default;
    virtual bool Build(const wchar_t* logName, HMODULE moduleHandle, const wchar_t* suffix,
                       DWORD mechanism, CLoggingIf*& out, Kelmora::CRegKey* configKey) = 0;
};

class CLogBuilderIf_ex {
public:
    virtual ~CLogBuilderIf_ex() = default;
    virtual bool Build(const wchar_t* etwAppName, const wchar_t* logName, HMODULE moduleHandle,
                       const wchar_t* suffix, DWORD mechanism, CLoggingIf*& out,
                       Kelmora::CRegKey* configKey) = 0;
};

class CKelmoraLogHandler;

class CLoggerHolder {
public:
    CLoggerHolder() = default;
    ~CLoggerHolder();
    CLoggerHolder(const CLoggerHolder&) = delete;
    CLoggerHolder& operator=(const CLoggerHolder&) = delete;

    DWORD Log(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
              const wchar_t* format, ...);
    DWORD LogV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
               const wchar_t* format, va_list args);
    DWORD LogText(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                  const wchar_t* text);
    void Build(const wchar_t* etwAppName, const wchar_t* logName, HMODULE moduleHandle,
               const wchar_t* suffix, DWORD mechanism);

    // The active logger; null when building failed. Fixed after the build.
    CLoggingIf* Logger() const { return logger_.load(std::memory_order_acquire); }

    // Replaces the logger (test support); the old one is deleted.
    void ReplaceLogger(CLoggingIf* logger);
    // Takes the recorded library-log handler away (used at exit).
    CKelmoraLogHandler* TakeHandler();

private:
    std::atomic<CLoggingIf*> logger_{nullptr};
    CKelmoraLogHandler* handler_ = nullptr;
};

namespace internal {
// The holder once its build has finished (null before and after exit): a
// log site reads it and needs nothing else.
extern std::atomic<CLoggerHolder*> g_builtHolder;
CLoggerHolder* BuildLoggerHolder();
}  // namespace internal

// Builds the holder once per deliverable; null when it could not be made.
inline CLoggerHolder* GetLoggerHolder() {
    CLoggerHolder* holder = internal::g_builtHolder.load(std::memory_order_acquire);
    return holder != nullptr ? holder : internal::BuildLoggerHolder();
}
// The holder when it has been built, else null; never builds it.
CLoggerHolder* ExistingLoggerHolder();
// True when a logger exists and lets the level through.
inline bool IsLevelEnabled(LogLevel level) {
    CLoggerHolder* holder = GetLoggerHolder();
    if (holder == nullptr) {
        return false;
    }
    CLoggingIf* logger = holder->Logger();
    return logger != nullptr && logger->IsEnabled(level);
}
// Stores the configuration read when the logger is built. The strings are
// copied. Values stored after the build have no effect.
void ConfigureLogging(const wchar_t* etwAppName, const wchar_t* logName, HMODULE moduleHandle,
                      const wchar_t* suffix, DWORD mechanism);
// The module that holds this code.
HMODULE GetCurrentModuleHandle();

// Makes the builder the holder asks for its logger. Defined by the log
// builder; answers null when no builder is available.
CLogBuilderIf_ex* CreateDefaultLogBuilder();

template <typename... Args>
DWORD Log(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
          const wchar_t* format, const Args&... args) {
    static_assert(((std::is_scalar_v<std::decay_t<const Args&>>) && ...),
                  "log arguments must be numbers or pointers (pass .c_str())");
    CLoggerHolder* holder = GetLoggerHolder();
    if (holder == nullptr) {
        return 0;
    }
    return holder->Log(level, file, function, line, format, static_cast<std::decay_t<const Args&>>(args)...);
}

}  // namespace ETWLogging

// Log site: the level test runs before any argument is evaluated.
#define VT_LOG(level, file, function, ...)                                           \
    do {                                                                             \
        if (::ETWLogging::IsLevelEnabled(level)) {                                   \
            (void)::ETWLogging::Log((level), (file), (function), __LINE__, __VA_ARGS__); \
        }                                                                            \
    } while (0)
