// The utility library's own logger: messages go to one registered handler,
// the debugger output until a real logger takes over.
#pragma once

#include <windows.h>

namespace Kelmora {

inline constexpr int kLogTypeNone = 0;
inline constexpr int kLogTypeInformation = 1;
inline constexpr int kLogTypeError = 2;

class ILoggingHandler {
public:
    virtual ~ILoggingHandler() = default;
    virtual void Log(int type, const wchar_t* file, const wchar_t* function, int line,
                     const wchar_t* message) = 0;
};

// Writes to the debugger output.
class CDefaultLoggingHandler : public ILoggingHandler {
public:
    void Log(int type, const wchar_t* file, const wchar_t* function, int line,
             const wchar_t* message) override;
    static CDefaultLoggingHandler& Instance();
};

class CLogger {
public:
    static DWORD RegisterHandler(ILoggingHandler* handler);
    static DWORD UnregisterHandler(ILoggingHandler* handler);
    static void Log(int type, const wchar_t* file, const wchar_t* function, int line,
                    const wchar_t* format, ...);
    // The registered handler, or null.
    static ILoggingHandler* RegisteredHandler();
};

}  // namespace Kelmora

namespace ETWLogging {

// Forwards library messages into the holder's logger.
class CKelmoraLogHandler : public Kelmora::ILoggingHandler {
public:
    ~CKelmoraLogHandler() override;
    void Log(int type, const wchar_t* file, const wchar_t* function, int line,
             const wchar_t* message) override;
    static CKelmoraLogHandler& Instance();
};

}  // namespace ETWLogging
