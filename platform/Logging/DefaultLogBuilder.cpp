#include "platform/Logging/DefaultLogBuilder.h"

#include "platform/Logging/ETWLogger.h"
#include "platform/Logging/FileLogger.h"
#include "platform/Registry/ObfuscatedRegKey.h"

#include <new>

namespace ETWLogging {
namespace {

constexpr DWORD kFileMechanism = 1;

CLoggingIf* MakeEtwLogger() {
    return new (std::nothrow) CETWLogging();
}

CLoggingIf* MakeFileLogger() {
    return new (std::nothrow) CLogging();
}

// The scrambled "Logging Mechanism" value (or the given key's); false when
// it cannot be read.
bool ReadMechanism(Kelmora::CRegKey* configKey, DWORD& mechanism) {
    if (configKey != nullptr) {
        return configKey->QueryDWORDValue(L"Logging Mechanism", mechanism) == ERROR_SUCCESS;
    }
    Kelmora::CObfuscatedRegKey key;
    return key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Logging", KEY_QUERY_VALUE) == ERROR_SUCCESS &&
           key.QueryDWORDValue(L"Logging Mechanism", mechanism) == ERROR_SUCCESS;
}

}  // namespace

CDefaultLogBuilder::CDefaultLogBuilder() : CDefaultLogBuilder(nullptr, nullptr) {}

CDefaultLogBuilder::CDefaultLogBuilder(LoggerFactory makeEtwLogger, LoggerFactory makeFileLogger)
    : makeEtwLogger_(makeEtwLogger ? std::move(makeEtwLogger) : LoggerFactory(MakeEtwLogger)),
      makeFileLogger_(makeFileLogger ? std::move(makeFileLogger) : LoggerFactory(MakeFileLogger)) {}

bool CDefaultLogBuilder::Build(const wchar_t* logName, HMODULE moduleHandle, const wchar_t* suffix,
                               DWORD mechanism, CLoggingIf*& out, Kelmora::CRegKey* configKey) {
    return Build(nullptr, logName, moduleHandle, suffix, mechanism, out, configKey);
}

bool CDefaultLogBuilder::Build(const wchar_t* etwAppName, const wchar_t* logName, HMODULE moduleHandle,
                               const wchar_t* suffix, DWORD mechanism, CLoggingIf*& out,
                               Kelmora::CRegKey* configKey) {
    bool file = mechanism == kFileMechanism;
    if (!file) {
        DWORD stored = 0;
        file = ReadMechanism(configKey, stored) && stored == kFileMechanism;
    }
    return Make(file ? makeFileLogger_ : makeEtwLogger_, etwAppName, logName, moduleHandle, suffix, out);
}

bool CDefaultLogBuilder::Make(const LoggerFactory& factory, const wchar_t* etwAppName,
                              const wchar_t* logName, HMODULE moduleHandle, const wchar_t* suffix,
                              CLoggingIf*& out) {
    if (out != nullptr || (logName != nullptr && *logName == L'\0') ||
        (suffix != nullptr && *suffix == L'\0')) {
        return false;
    }
    CLoggingIf* logger = factory();
    if (logger == nullptr) {
        return false;
    }
    DWORD code = ERROR_INVALID_FUNCTION;
    if (auto* extended = dynamic_cast<CLoggingIf_ex*>(logger)) {
        code = extended->InitEx(etwAppName, logName, moduleHandle, suffix, nullptr);
    }
    if (code != ERROR_SUCCESS) {
        code = logger->Init(logName, moduleHandle, suffix, nullptr);
    }
    if (code != ERROR_SUCCESS) {
        delete logger;
        return false;
    }
    out = logger;
    logger->AddRef();
    return true;
}

// The holder's builder in every deliverable that links this library.
CLogBuilderIf_ex* CreateDefaultLogBuilder() {
    return new (std::nothrow) CDefaultLogBuilder();
}

}  // namespace ETWLogging
