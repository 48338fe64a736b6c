#include "platform/Logging/internal_logging.h"

#include "platform/Logging/Logging.h"
#include "platform/Logging/WideFormat.h"

#include <atomic>
#include <cstdint>
#include <new>
#include <string>

namespace Kelmora {
namespace {

constexpr wchar_t kSource[] = L"Logging\\internal_logging";
constexpr wchar_t kRegisterFunction[] = L"Kelmora::CLogger::RegisterHandler";
constexpr wchar_t kUnregisterFunction[] = L"Kelmora::CLogger::UnregisterHandler";
constexpr DWORD kHandlerRefused = 5023;

CDefaultLoggingHandler g_defaultHandler;
std::atomic<ILoggingHandler*> g_handler{nullptr};

// The system's message text for a Win32 code, cut at its first NUL.
std::wstring ErrorText(DWORD code) {
    wchar_t buffer[1024] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), buffer, 1024, nullptr);
    buffer[1023] = L'\0';
    return buffer;
}

unsigned Low32(const void* address) {
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(address));
}

// Hands one formatted message to a given handler, without touching the
// registration.
void SendTo(ILoggingHandler* handler, const wchar_t* function, int line, const std::wstring& text) {
    if (handler != nullptr) {
        handler->Log(kLogTypeError, kSource, function, line, text.c_str());
    }
}

}  // namespace

void CDefaultLoggingHandler::Log(int type, const wchar_t* file, const wchar_t* function, int line,
                                 const wchar_t* message) {
    const wchar_t* format;
    switch (type) {
        case kLogTypeNone: return;
        case kLogTypeInformation: format = L"%s(%d): [INFO]: [%s]: %s\n"; break;
        case kLogTypeError: format = L"%s(%d): [ERROR]: [%s]: %s\n"; break;
        default: format = L"%s(%d): [UNKNOWN]: [%s]: %s\n"; break;
    }
    std::wstring text = Format(format, file ? file : L"", line, function ? function : L"",
                               message ? message : L"");
    OutputDebugStringW(text.c_str());
}

CDefaultLoggingHandler& CDefaultLoggingHandler::Instance() {
    return g_defaultHandler;
}

ILoggingHandler* CLogger::RegisteredHandler() {
    return g_handler.load();
}

DWORD CLogger::RegisterHandler(ILoggingHandler* handler) {
    if (handler == nullptr) {
        Log(kLogTypeError, kSource, kRegisterFunction, __LINE__, L"%s: Cannot Register (NULL) handler",
            ErrorText(ERROR_INVALID_PARAMETER).c_str());
        return ERROR_INVALID_PARAMETER;
    }
    ILoggingHandler* registered = g_handler.load();
    if (registered == nullptr || registered == handler || registered == &g_defaultHandler) {
        g_handler.store(handler);
        return 0;
    }
    Log(kLogTypeError, kSource, kRegisterFunction, __LINE__,
        L"%s: Registered Logging Handler 0x%08X cannot be replaced with 0x%08X",
        ErrorText(kHandlerRefused).c_str(), Low32(registered), Low32(handler));
    return kHandlerRefused;
}

DWORD CLogger::UnregisterHandler(ILoggingHandler* handler) {
    if (handler == nullptr) {
        Log(kLogTypeError, kSource, kUnregisterFunction, __LINE__,
            L"%s: Cannot Unregister (NULL) handler", ErrorText(ERROR_INVALID_PARAMETER).c_str());
        return ERROR_INVALID_PARAMETER;
    }
    ILoggingHandler* registered = g_handler.load();
    if (registered == nullptr) {
        // Told to the requested handler directly; nothing is registered for it.
        SendTo(handler, kUnregisterFunction, __LINE__,
               Format(L"%s: Request to Unregister Logging handler 0x%08X, but none are registered",
                      ErrorText(kHandlerRefused).c_str(), Low32(handler)));
        return kHandlerRefused;
    }
    if (registered == handler) {
        ILoggingHandler* expected = handler;
        g_handler.compare_exchange_strong(expected, nullptr);
        return 0;
    }
    std::wstring text = Format(
        L"%s: Failed to Unregister Logging handler (requested handler 0x%08X != registered handler 0x%08X)",
        ErrorText(kHandlerRefused).c_str(), Low32(handler), Low32(registered));
    SendTo(registered, kUnregisterFunction, __LINE__, text);
    SendTo(handler, kUnregisterFunction, __LINE__, text);
    return kHandlerRefused;
}

void CLogger::Log(int type, const wchar_t* file, const wchar_t* function, int line,
                  const wchar_t* format, ...) {
    if (g_handler.load() == nullptr) {
        RegisterHandler(&g_defaultHandler);
    }
    ILoggingHandler* handler = g_handler.load();
    if (handler == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    int length = FormattedLengthV(format, args);
    if (length < 0) {
        length = 0;
    }
    wchar_t* text = new (std::nothrow) wchar_t[static_cast<std::size_t>(length) + 1];
    if (text == nullptr) {
        va_end(args);
        handler->Log(kLogTypeError, file, function, line,
                     L"General memory-allocation failure in Kelmora logger.");
        return;
    }
    text[0] = L'\0';
    if (length > 0) {
        FormatIntoV(text, static_cast<std::size_t>(length) + 1, format, args);
    }
    va_end(args);
    handler->Log(type, file, function, line, text);
    delete[] text;
}

}  // namespace Kelmora

namespace ETWLogging {

CKelmoraLogHandler::~CKelmoraLogHandler() {
    CLoggerHolder* holder = ExistingLoggerHolder();
    if (holder == nullptr) {
        return;
    }
    if (CKelmoraLogHandler* handler = holder->TakeHandler()) {
        Kelmora::CLogger::UnregisterHandler(handler);
    }
}

void CKelmoraLogHandler::Log(int type, const wchar_t* file, const wchar_t* function, int line,
                             const wchar_t* message) {
    CLoggerHolder* holder = ExistingLoggerHolder();
    if (holder == nullptr) {
        return;
    }
    LogLevel level;
    switch (type) {
        case Kelmora::kLogTypeNone:
        case Kelmora::kLogTypeInformation: level = LevelNormal; break;
        case Kelmora::kLogTypeError: level = LevelError; break;
        default: level = LevelWarning; break;
    }
    holder->LogText(file, function, line, level, message ? message : L"");
}

CKelmoraLogHandler& CKelmoraLogHandler::Instance() {
    static CKelmoraLogHandler instance;
    return instance;
}

}  // namespace ETWLogging
