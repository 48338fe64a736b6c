// ETWLogging::CDefaultLogBuilder: chooses between the ETW logger and the file
// logger, makes the chosen one and initialises it.
#pragma once

#include "platform/Logging/Logging.h"

#include <functional>

namespace ETWLogging {

class CDefaultLogBuilder : public CLogBuilderIf_ex, public CLogBuilderIf {
public:
    // Makes a logger without throwing; null when memory runs out.
    using LoggerFactory = std::function<CLoggingIf*()>;

    CDefaultLogBuilder();
    // Empty factories make the real loggers.
    CDefaultLogBuilder(LoggerFactory makeEtwLogger, LoggerFactory makeFileLogger);

    // The extended build without an ETW application name.
    bool Build(const wchar_t* logName, HMODULE moduleHandle, const wchar_t* suffix, DWORD mechanism,
               CLoggingIf*& out, Kelmora::CRegKey* configKey) override;
    // Mechanism 1, or a scrambled "Logging Mechanism" of 1, selects the file
    // logger; anything else the ETW logger. Every failure leaves out as it was.
    bool Build(const wchar_t* etwAppName, const wchar_t* logName, HMODULE moduleHandle,
               const wchar_t* suffix, DWORD mechanism, CLoggingIf*& out,
               Kelmora::CRegKey* configKey) override;

private:
    bool Make(const LoggerFactory& factory, const wchar_t* etwAppName, const wchar_t* logName,
              HMODULE moduleHandle, const wchar_t* suffix, CLoggingIf*& out);

    LoggerFactory makeEtwLogger_;
    LoggerFactory makeFileLogger_;
};

}  // namespace ETWLogging
