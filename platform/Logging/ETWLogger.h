// ETWLogging::CETWLogging: the logger that turns every record into one
// classic event-tracing event (a binary context record and the UTF-8 text).
#pragma once

#include "platform/Logging/ETWEventRecord.h"
#include "platform/Logging/ETWTraceAPI.h"
#include "platform/Logging/Logging.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

namespace Kelmora {
class CRegKey;
}

namespace ETWLogging {

class CETWLogging;

namespace internal {

// Provider identity and key paths of an application, read from scrambled
// registry values or, for the built-in application "KYT", built-in defaults.
class ETWAppProperties {
public:
    ETWAppProperties() = default;
    ETWAppProperties(const ETWAppProperties&) = default;
    ETWAppProperties& operator=(const ETWAppProperties&) = default;

    virtual ~ETWAppProperties() = default;                        // 0
    // Once per object: false when a name was already taken.
    virtual bool Load(const wchar_t* appName);                    // 1
    virtual bool GetProgramDataFolder();                          // 2
    virtual bool ReadRegistry(Kelmora::CRegKey& appKey);          // 3
    virtual bool SetDefaults();                                   // 4
    virtual std::wstring GetEtlFileName();                        // 5
    virtual std::wstring GetRegistryRoot();                       // 6
    virtual std::wstring GetKeyPath(const wchar_t* subKey = nullptr);  // 7

    std::wstring appName;
    std::wstring programDataFolder;
    GUID sessionIdGuid{};
    std::wstring sessionName;
    GUID providerGuid{};
    std::wstring ownerMutexName;
    std::wstring logPath;
    std::wstring etlPath;
    std::wstring etlFile;
    std::wstring controllerPath;
    HKEY registryRoot = HKEY_LOCAL_MACHINE;
    std::wstring keyPath;
    std::wstring controllerKeyPath;
    std::wstring providerKeyPath;
    std::wstring secondKeyPath;
};

}  // namespace internal

// Receives enable and level changes for a logger.
class LoggingConfigListenerIf {
public:
    virtual void OnConfigChange(bool enable, LogLevel level, ULONG flags) = 0;  // 0
    virtual ~LoggingConfigListenerIf() = default;                               // 1
};

// Applies a session's enable and level, then the registry's "Enable" and
// "Severity" under the provider key, the log name and the full log name.
class CETWConfigurationListener : public LoggingConfigListenerIf {
public:
    CETWConfigurationListener(const internal::ETWAppProperties& properties, CETWLogging* logger);
    void OnConfigChange(bool enable, LogLevel level, ULONG flags) override;  // 0
    ~CETWConfigurationListener() override = default;                         // 1
    // Only when no logger is attached and one is given.
    virtual bool Attach(CETWLogging* logger);                               // 2
    virtual void GetKeyRoot(HKEY& root, std::wstring& path);                // 3
    virtual void ReadRegistry(HKEY root, const std::wstring& path);         // 4

private:
    internal::ETWAppProperties properties_;
    CETWLogging* logger_ = nullptr;  // not owned
};

class CETWLogging : public CLoggingIf_ex {
public:
    // An empty pointer takes the system's tracing functions.
    explicit CETWLogging(std::shared_ptr<ETWTraceAPI> traceApi = nullptr);
    CETWLogging(const CETWLogging&) = delete;
    CETWLogging& operator=(const CETWLogging&) = delete;

    ~CETWLogging() override;                                                          // 0
    DWORD Init(const wchar_t* logName, HMODULE moduleHandle, const wchar_t* suffix,
               void* reserved) override;                                              // 1
    DWORD Register() override;                                                        // 2
    std::wstring& GetFullLogName(std::wstring& out) override;                         // 3
    std::wstring& GetLogName(std::wstring& out) override;                             // 4
    DWORD Uninit() override;                                                          // 5
    void SetEnabled(bool enabled) override;                                           // 6
    bool GetEnabled() override;                                                       // 7
    void Log(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
             const wchar_t* format, ...) override;                                    // 8
    DWORD Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                const wchar_t* text) override;                                        // 9
    bool IsEnabled(LogLevel level) override;                                          // 10
    void SetMaxEntries(DWORD count) override;                                         // 11
    DWORD GetMaxEntries() override;                                                   // 12
    void SetMaxSize(DWORD bytes) override;                                            // 13
    DWORD GetMaxSize() override;                                                      // 14
    void SetSeverity(LogLevel level) override;                                        // 15
    LogLevel GetSeverity() override;                                                  // 16
    ULONG AddRef() override;                                                          // 17
    ULONG Release() override;                                                         // 18
    DWORD LogNormal(const wchar_t* file, const wchar_t* function, int line,
                    const wchar_t* format, ...) override;                             // 19
    DWORD LogError(const wchar_t* file, const wchar_t* function, int line,
                   const wchar_t* format, ...) override;                              // 20
    DWORD LogWarning(const wchar_t* file, const wchar_t* function, int line,
                     const wchar_t* format, ...) override;                            // 21
    DWORD LogCritical(const wchar_t* file, const wchar_t* function, int line,
                      const wchar_t* format, ...) override;                           // 22
    DWORD LogInformation(const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, ...) override;                        // 23
    DWORD InitEx(const wchar_t* etwAppName, const wchar_t* logName, HMODULE moduleHandle,
                 const wchar_t* suffix, CETWConfigurationListener* listener) override;  // 24
    DWORD WriteText(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                    const wchar_t* text) override;                                    // 25
    DWORD WriteV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                 const wchar_t* format, va_list args) override;                       // 26
    virtual DWORD LogV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                       const wchar_t* format, va_list args);                          // 27
    virtual bool IsSession(TRACEHANDLE handle);                                       // 28
    virtual ULONG OnEtwControl(WMIDPREQUESTCODE requestCode, void* buffer);           // 29
    virtual void SetControlGuid();                                                    // 30
    // Named after the system function, so the name carries its W suffix.
    virtual std::wstring& GetModuleFileName(std::wstring& out, HMODULE module,
                                            bool stripExtension);                    // 31
    virtual void BuildFullLogName();                                                  // 32
    virtual ULONG UnregisterProvider();                                               // 33
    virtual ULONG Stop();                                                             // 34
    virtual LogLevel MapLevel(LogLevel level);                                        // 35
    virtual void FillContext(internal::ContextFields& context, const wchar_t* file,
                             const wchar_t* function, int line, std::uint64_t textBytes);  // 36

    // Control callback handed to the tracing system.
    static ULONG WINAPI ControlCallback(WMIDPREQUESTCODE requestCode, void* context,
                                        ULONG* bufferSize, void* buffer);

    const internal::ETWAppProperties& Properties() const { return properties_; }
    TRACEHANDLE SessionHandle() const { return session_.load(); }

private:
    class Lock;

    std::shared_ptr<ETWTraceAPI> traceApi_;
    std::atomic<bool> registered_{false};
    std::unique_ptr<Lock> lock_;  // serialises Register and UnregisterProvider
    DWORD processId_ = 0;
    GUID eventClassGuid_{};
    CETWConfigurationListener* listener_ = nullptr;  // owned
    // Changed by the control callback on a thread of the tracing system.
    std::atomic<bool> enabled_{true};
    std::atomic<LogLevel> severity_{LevelInformation};
    std::atomic<TRACEHANDLE> session_{0};
    // Read without a lock once InitEx has finished.
    std::wstring logName_;
    std::wstring suffix_;
    std::wstring imageFileName_;
    std::wstring moduleBaseName_;
    std::wstring fullLogName_;
    std::wstring moduleFileName_;
    std::wstring moduleVersion_;
    TRACEHANDLE registration_ = 0;  // guarded by lock_
    internal::ETWAppProperties properties_;
};

// {E16CA450-55CC-11E0-B8AF-0800200C9A66}: control GUID of the built-in application.
inline constexpr GUID kDefaultProviderGuid = {
    0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
// {CD1DAAD0-54CC-11E0-B8AF-0800200C9A66}: event class carried by every event.
inline constexpr GUID kEventClassGuid = {
    0xCD1DAAD0, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
// {491FB070-54CC-11E0-B8AF-0800200C9A66}: session id of the built-in application.
inline constexpr GUID kDefaultSessionIdGuid = {
    0x491FB070, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

}  // namespace ETWLogging
