#include "platform/Logging/Logging.h"

#include "platform/Logging/WideFormat.h"
#include "platform/Logging/internal_logging.h"
#include "platform/Thread/Once.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

namespace ETWLogging {
namespace {

// Configuration read once when the logger is built. Strings are copied, so
// the caller's texts may go away before the first log line.
struct Configuration {
    std::mutex mutex;
    std::optional<std::wstring> etwAppName;              // guarded by mutex
    std::optional<std::wstring> logName{L"_no_group"};   // guarded by mutex
    HMODULE moduleHandle = nullptr;                       // guarded by mutex
    std::optional<std::wstring> suffix{L"_no_host"};     // guarded by mutex
    DWORD mechanism = 0;                                  // guarded by mutex
};

Configuration& Config() {
    static Configuration configuration;
    return configuration;
}

std::atomic<CLoggerHolder*> g_holder{nullptr};
Kelmora::OnceFlag g_buildOnce;
std::atomic<bool> g_built{false};

// The builder made at the first build; deleted after the holder at exit.
std::unique_ptr<CLogBuilderIf_ex>& Builder() {
    static std::unique_ptr<CLogBuilderIf_ex> builder;
    return builder;
}

// Exit-time clean-up of the holder: clear the pointer, drop the library-log
// handler, delete the logger, free the holder.
struct HolderCleanup {
    HolderCleanup() { (void)Builder(); }
    ~HolderCleanup() {
        internal::g_builtHolder.store(nullptr);
        CLoggerHolder* holder = g_holder.exchange(nullptr);
        if (holder == nullptr) {
            return;
        }
        if (CKelmoraLogHandler* handler = holder->TakeHandler()) {
            Kelmora::CLogger::UnregisterHandler(handler);
        }
        delete holder;
    }
};
HolderCleanup g_holderCleanup;

const wchar_t* OrNull(const std::optional<std::wstring>& text) {
    return text ? text->c_str() : nullptr;
}

void BuildHolder() {
    // A failed allocation leaves the once-flag unset, so the next call tries again.
    auto* holder = new CLoggerHolder();
    g_holder.store(holder);
    Configuration& config = Config();
    std::optional<std::wstring> etwAppName, logName, suffix;
    HMODULE moduleHandle;
    DWORD mechanism;
    {
        std::lock_guard<std::mutex> lock(config.mutex);
        etwAppName = config.etwAppName;
        logName = config.logName;
        suffix = config.suffix;
        moduleHandle = config.moduleHandle ? config.moduleHandle : GetCurrentModuleHandle();
        mechanism = config.mechanism;
        g_built.store(true);
    }
    holder->Build(OrNull(etwAppName), OrNull(logName), moduleHandle, OrNull(suffix), mechanism);
    internal::g_builtHolder.store(holder, std::memory_order_release);
}

}  // namespace

const wchar_t* LogLevelName(LogLevel level) {
    switch (level) {
        case LevelNormal: return L"Normal";
        case LevelWarning: return L"Warning";
        case LevelError: return L"Error";
        case LevelCritical: return L"Critical";
        default: return L"Information";
    }
}

DWORD LogLevelNamed(CLoggingIf& logger, LogLevel level, const wchar_t* file,
                    const wchar_t* function, int line, const wchar_t* format, va_list args) {
    wchar_t buffer[kLogTextBufferChars];
    Kelmora::FormatIntoV(buffer, kLogTextBufferChars, format, args);
    return logger.Write(file, function, line, level, buffer);
}

CLoggerHolder::~CLoggerHolder() {
    delete logger_.exchange(nullptr);
}

DWORD CLoggerHolder::Log(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    DWORD result = LogV(level, file, function, line, format, args);
    va_end(args);
    return result;
}

DWORD CLoggerHolder::LogV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                          const wchar_t* format, va_list args) {
    CLoggingIf* logger = logger_.load(std::memory_order_acquire);
    if (logger == nullptr) {
        return kErrorNoLogger;
    }
    DWORD code = logger->Register();
    if (code != 0) {
        return code;
    }
    if (auto* extended = dynamic_cast<CLoggingIf_ex*>(logger)) {
        if (extended->IsEnabled(level)) {
            va_list copy;
            va_copy(copy, args);
            extended->WriteV(level, file, function, line, format, copy);
            va_end(copy);
        }
        return 0;
    }
    code = logger->Register();
    if (code != 0) {
        return code;
    }
    std::wstring text = Kelmora::FormatV(format, args);
    if (text.size() > kPlainLogTextLimit) {
        text.resize(kPlainLogTextCut);
    }
    return logger->Write(file, function, line, level, text.c_str());
}

DWORD CLoggerHolder::LogText(const wchar_t* file, const wchar_t* function, int line,
                             LogLevel level, const wchar_t* text) {
    CLoggingIf* logger = logger_.load(std::memory_order_acquire);
    if (logger == nullptr) {
        return kErrorNoLogger;
    }
    DWORD code = logger->Register();
    if (code != 0) {
        return code;
    }
    if (auto* extended = dynamic_cast<CLoggingIf_ex*>(logger)) {
        return extended->WriteText(level, file, function, line, text);
    }
    return logger->Write(file, function, line, level, text);
}

void CLoggerHolder::Build(const wchar_t* etwAppName, const wchar_t* logName, HMODULE moduleHandle,
                          const wchar_t* suffix, DWORD mechanism) {
    std::unique_ptr<CLogBuilderIf_ex>& builder = Builder();
    if (!builder) {
        builder.reset(CreateDefaultLogBuilder());
    }
    if (!builder) {
        return;
    }
    CLoggingIf* logger = logger_.load();
    bool built = builder->Build(etwAppName, logName, moduleHandle, suffix, mechanism, logger, nullptr);
    if (!built) {
        auto* plain = dynamic_cast<CLogBuilderIf*>(builder.get());
        built = plain != nullptr && plain->Build(logName, moduleHandle, suffix, mechanism, logger, nullptr);
    }
    if (!built) {
        return;
    }
    CLoggingIf* old = logger_.exchange(logger, std::memory_order_acq_rel);
    if (old != logger) {
        delete old;
    }
    CKelmoraLogHandler* handler = &CKelmoraLogHandler::Instance();
    if (Kelmora::CLogger::RegisterHandler(handler) == 0) {
        if (handler_ != nullptr && handler_ != handler) {
            Kelmora::CLogger::UnregisterHandler(handler_);
        }
        handler_ = handler;
    }
}

void CLoggerHolder::ReplaceLogger(CLoggingIf* logger) {
    delete logger_.exchange(logger, std::memory_order_acq_rel);
}

CKelmoraLogHandler* CLoggerHolder::TakeHandler() {
    CKelmoraLogHandler* handler = handler_;
    handler_ = nullptr;
    return handler;
}

namespace internal {
std::atomic<CLoggerHolder*> g_builtHolder{nullptr};

CLoggerHolder* BuildLoggerHolder() {
    try {
        g_buildOnce.call(BuildHolder);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return g_holder.load(std::memory_order_acquire);
}
}  // namespace internal

CLoggerHolder* ExistingLoggerHolder() {
    return g_holder.load(std::memory_order_acquire);
}

void ConfigureLogging(const wchar_t* etwAppName, const wchar_t* logName, HMODULE moduleHandle,
                      const wchar_t* suffix, DWORD mechanism) {
    Configuration& config = Config();
    std::lock_guard<std::mutex> lock(config.mutex);
    if (g_built.load()) {
        return;
    }
    auto copy = [](const wchar_t* text) {
        return text ? std::optional<std::wstring>(text) : std::nullopt;
    };
    config.etwAppName = copy(etwAppName);
    config.logName = copy(logName);
    config.moduleHandle = moduleHandle ? moduleHandle : GetCurrentModuleHandle();
    config.suffix = copy(suffix);
    config.mechanism = mechanism;
}

HMODULE GetCurrentModuleHandle() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&GetCurrentModuleHandle), &module)) {
        return nullptr;
    }
    return module;
}

}  // namespace ETWLogging
