#include "platform/Logging/ETWLogger.h"

#include "platform/Logging/LoggerModule.h"
#include "platform/Logging/WideFormat.h"
#include "platform/Registry/ObfuscatedRegKey.h"
#include "platform/files/FileUtils.h"
#include "platform/Registry/RegKey.h"
#include "platform/wrappers/KnownFolderPath.h"

#include <cstring>
#include <cwchar>
#include <mutex>
#include <new>

namespace ETWLogging {

// ---------------------------------------------------------------------------
// Application properties

namespace internal {
namespace {

constexpr wchar_t kDefaultAppName[] = L"KYT";
constexpr wchar_t kRegistryRoot[] = L"SOFTWARE\\Corvane.logging";
constexpr wchar_t kDefaultKeyPath[] = L"SOFTWARE\\Corvane\\Logging";
constexpr wchar_t kDefaultLogPath[] = L"\\Corvane\\CVLOGS";
constexpr wchar_t kDefaultEtlPath[] = L"\\Corvane\\CVLOGS\\ETW";
constexpr wchar_t kEtlFileName[] = L"cvlogs.etl";

bool ReadString(Kelmora::CRegKey& key, const wchar_t* name, std::wstring& out) {
    std::wstring value;
    if (key.QueryStringValue(name, value) != ERROR_SUCCESS) {
        return false;
    }
    out = value;
    return true;
}

}  // namespace

bool ETWAppProperties::Load(const wchar_t* name) {
    if (!appName.empty()) {
        return false;
    }
    appName = (name == nullptr || *name == L'\0') ? kDefaultAppName : name;
    if (programDataFolder.empty() && !GetProgramDataFolder()) {
        return false;
    }
    Kelmora::CRegKey appKey;
    if (appKey.Open(HKEY_LOCAL_MACHINE, GetKeyPath().c_str(), KEY_QUERY_VALUE) != ERROR_SUCCESS) {
        return SetDefaults();
    }
    return ReadRegistry(appKey);
}

bool ETWAppProperties::GetProgramDataFolder() {
    std::wstring path = Kelmora::KnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE);
    if (path.empty()) {
        return false;
    }
    programDataFolder = std::move(path);
    return true;
}

bool ETWAppProperties::ReadRegistry(Kelmora::CRegKey& appKey) {
    // Every value of the application's keys is stored scrambled.
    Kelmora::CObfuscatedRegKey app, session, provider, controller;
    if (app.Open(appKey.Key(), nullptr, KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        session.Open(appKey.Key(), L"Session", KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        provider.Open(appKey.Key(), L"Provider", KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        controller.Open(appKey.Key(), L"Controller", KEY_QUERY_VALUE) != ERROR_SUCCESS) {
        return false;
    }
    std::wstring value;
    logPath = programDataFolder + (ReadString(app, L"Log Path", value) ? value : kDefaultLogPath);
    etlPath = programDataFolder + (ReadString(app, L"ETL Path", value) ? value : kDefaultEtlPath);
    etlFile = GetEtlFileName();
    if (!ReadString(controller, L"Controller Path", controllerPath) ||
        !ReadString(controller, L"Owner Mutex Name", ownerMutexName) ||
        session.QueryGUIDValue(L"Session ID Guid", sessionIdGuid) != ERROR_SUCCESS ||
        !ReadString(session, L"Session Name", sessionName) ||
        provider.QueryGUIDValue(L"Provider Guid", providerGuid) != ERROR_SUCCESS) {
        return false;
    }
    registryRoot = HKEY_LOCAL_MACHINE;
    keyPath = GetKeyPath();
    controllerKeyPath = GetKeyPath(L"Controller");
    providerKeyPath = GetKeyPath(L"Provider");
    secondKeyPath = keyPath;
    return true;
}

bool ETWAppProperties::SetDefaults() {
    if (::_wcsicmp(appName.c_str(), kDefaultAppName) != 0) {
        return false;
    }
    sessionIdGuid = kDefaultSessionIdGuid;
    sessionName = L"Corvane.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}";
    providerGuid = kDefaultProviderGuid;
    ownerMutexName = L"Global\\Corvane.{0696D115-BE52-46c3-BFEE-D73A305B6581}";
    logPath = programDataFolder + kDefaultLogPath;
    etlPath = programDataFolder + kDefaultEtlPath;
    etlFile = GetEtlFileName();
    controllerPath.clear();
    registryRoot = HKEY_LOCAL_MACHINE;
    keyPath = kDefaultKeyPath;
    controllerKeyPath = keyPath + L"\\Controller";
    providerKeyPath = keyPath + L"\\Provider";
    secondKeyPath = keyPath;
    return true;
}

std::wstring ETWAppProperties::GetEtlFileName() {
    return etlPath + L"\\" + kEtlFileName;
}

std::wstring ETWAppProperties::GetRegistryRoot() {
    return kRegistryRoot;
}

std::wstring ETWAppProperties::GetKeyPath(const wchar_t* subKey) {
    std::wstring path = GetRegistryRoot() + L"\\" + appName;
    if (subKey != nullptr && *subKey != L'\0') {
        path += L"\\";
        path += subKey;
    }
    return path;
}

}  // namespace internal

// ---------------------------------------------------------------------------
// Configuration listener

CETWConfigurationListener::CETWConfigurationListener(const internal::ETWAppProperties& properties,
                                                     CETWLogging* logger)
    : properties_(properties), logger_(logger) {}

void CETWConfigurationListener::OnConfigChange(bool enable, LogLevel level, ULONG /*flags*/) {
    if (logger_ == nullptr) {
        return;
    }
    logger_->SetEnabled(enable);
    logger_->SetSeverity(level);
    HKEY root = nullptr;
    std::wstring path;
    GetKeyRoot(root, path);
    std::wstring logName, fullLogName;
    logger_->GetLogName(logName);
    logger_->GetFullLogName(fullLogName);
    // Later keys win: the provider key, then the log name, then the full log name.
    ReadRegistry(root, path);
    ReadRegistry(root, path + L"\\" + logName);
    ReadRegistry(root, path + L"\\" + fullLogName);
}

bool CETWConfigurationListener::Attach(CETWLogging* logger) {
    if (logger_ != nullptr || logger == nullptr) {
        return false;
    }
    logger_ = logger;
    return true;
}

void CETWConfigurationListener::GetKeyRoot(HKEY& root, std::wstring& path) {
    root = HKEY_LOCAL_MACHINE;
    path = properties_.providerKeyPath;
}

void CETWConfigurationListener::ReadRegistry(HKEY root, const std::wstring& path) {
    Kelmora::CRegKey key;
    if (logger_ == nullptr || key.Open(root, path.c_str(), KEY_QUERY_VALUE) != ERROR_SUCCESS) {
        return;
    }
    DWORD value = 0;
    if (key.QueryDWORDValue(L"Enable", value) == ERROR_SUCCESS) {
        logger_->SetEnabled(value != 0);
    }
    if (key.QueryDWORDValue(L"Severity", value) == ERROR_SUCCESS) {
        logger_->SetSeverity(value);
    }
}

// ---------------------------------------------------------------------------
// Logger

namespace {

constexpr std::size_t kMessageChars = 2080;

// Found once per process: the module that holds this code and its version.
struct ModuleFacts {
    std::wstring fileName;
    std::wstring version;
};

const ModuleFacts& LoggingModuleFacts() {
    static const ModuleFacts facts = [] {
        ModuleFacts result;
        std::wstring folder;
        if (!Kelmora::SplitModulePath(internal::ModuleOfLoggingCode(), folder, result.fileName)) {
            return result;
        }
        const std::wstring path = folder + L"\\" + result.fileName;
        result.version = internal::FileVersionOf(path);
        return result;
    }();
    return facts;
}

DWORD CallLogV(CETWLogging& logger, LogLevel level, const wchar_t* file, const wchar_t* function,
               int line, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    DWORD result = logger.LogV(level, file, function, line, format, args);
    va_end(args);
    return result;
}

// Frees a heap buffer of UTF-8 bytes when the text did not fit inline.
struct HeapBytes {
    ~HeapBytes() { delete[] bytes; }
    char* bytes = nullptr;
};

}  // namespace

class CETWLogging::Lock {
public:
    Lock() { ::InitializeCriticalSectionAndSpinCount(&section_, 4000); }
    ~Lock() { ::DeleteCriticalSection(&section_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void lock() { ::EnterCriticalSection(&section_); }
    void unlock() { ::LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

CETWLogging::CETWLogging(std::shared_ptr<ETWTraceAPI> traceApi)
    : traceApi_(traceApi ? std::move(traceApi) : DefaultTraceAPI()), lock_(std::make_unique<Lock>()) {}

CETWLogging::~CETWLogging() {
    if (registered_.load()) {
        Stop();
    }
    UnregisterProvider();
    delete listener_;
}

DWORD CETWLogging::Init(const wchar_t* logName, HMODULE moduleHandle, const wchar_t* suffix,
                        void* reserved) {
    return InitEx(nullptr, logName, moduleHandle, suffix,
                  static_cast<CETWConfigurationListener*>(reserved));
}

DWORD CETWLogging::Register() {
    if (registered_.load(std::memory_order_acquire)) {
        return ERROR_SUCCESS;
    }
    std::lock_guard<Lock> guard(*lock_);
    if (registered_.load()) {
        return ERROR_SUCCESS;
    }
    TRACE_GUID_REGISTRATION traceGuid{&eventClassGuid_, nullptr};
    TRACEHANDLE handle = 0;
    ULONG code = traceApi_->RegisterTraceGuids(&CETWLogging::ControlCallback, this,
                                               &properties_.providerGuid, 1, &traceGuid, nullptr,
                                               nullptr, &handle);
    if (code == ERROR_SUCCESS) {
        if (registration_ != 0) {
            traceApi_->UnregisterTraceGuids(registration_);
        }
        registration_ = handle;
    }
    // Registration is tried once, whatever its answer.
    registered_.store(true, std::memory_order_release);
    return code;
}

std::wstring& CETWLogging::GetFullLogName(std::wstring& out) {
    out = fullLogName_;
    return out;
}

std::wstring& CETWLogging::GetLogName(std::wstring& out) {
    out = logName_;
    return out;
}

DWORD CETWLogging::Uninit() {
    if (!registered_.load()) {
        return ERROR_SUCCESS;
    }
    ULONG code = Stop();
    if (code == ERROR_SUCCESS) {
        registered_.store(false);
    }
    return code;
}

void CETWLogging::SetEnabled(bool enabled) {
    enabled_.store(enabled);
}

bool CETWLogging::GetEnabled() {
    return enabled_.load();
}

void CETWLogging::Log(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                      const wchar_t* format, ...) {
    if (!enabled_.load() || !IsEnabled(level) || format == nullptr || *format == L'\0') {
        return;
    }
    va_list args;
    va_start(args, format);
    std::wstring text = Kelmora::FormatV(format, args);
    va_end(args);
    WriteText(level, file, function, line, text.c_str());
}

DWORD CETWLogging::Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                         const wchar_t* text) {
    WriteText(level, file, function, line, text);
    return ERROR_SUCCESS;
}

bool CETWLogging::IsEnabled(LogLevel level) {
    return level >= severity_.load() || level == LevelInformation;
}

void CETWLogging::SetMaxEntries(DWORD) {}
DWORD CETWLogging::GetMaxEntries() { return 0; }
void CETWLogging::SetMaxSize(DWORD) {}
DWORD CETWLogging::GetMaxSize() { return 0; }

void CETWLogging::SetSeverity(LogLevel level) {
    severity_.store(ClampSeverity(level));
}

LogLevel CETWLogging::GetSeverity() {
    return severity_.load();
}

ULONG CETWLogging::AddRef() { return 0; }
ULONG CETWLogging::Release() { return 0; }

VT_DEFINE_LEVEL_NAMED_OPERATIONS(CETWLogging)

DWORD CETWLogging::InitEx(const wchar_t* etwAppName, const wchar_t* logName, HMODULE moduleHandle,
                          const wchar_t* suffix, CETWConfigurationListener* listener) {
    if (registered_.load()) {
        return 20001;
    }
    if (logName != nullptr && *logName == L'\0') {
        return ERROR_INVALID_PARAMETER;
    }
    logName_ = logName != nullptr ? logName : L"";
    if (suffix != nullptr && *suffix == L'\0') {
        return ERROR_INVALID_PARAMETER;
    }
    suffix_ = suffix != nullptr ? suffix : L"";
    if (!properties_.Load(etwAppName)) {
        return ERROR_INVALID_PARAMETER;
    }
    GetModuleFileName(imageFileName_, nullptr, false);
    GetModuleFileName(moduleBaseName_, moduleHandle, true);
    BuildFullLogName();

    if (listener_ != listener) {
        delete listener_;
    }
    if (listener != nullptr) {
        listener_ = listener;
        listener_->Attach(this);
    } else {
        listener_ = new CETWConfigurationListener(properties_, this);
    }
    listener_->OnConfigChange(true, LevelInformation, 0);

    processId_ = ::GetCurrentProcessId();
    const ModuleFacts& facts = LoggingModuleFacts();
    moduleFileName_ = facts.fileName;
    moduleVersion_ = facts.version;
    SetControlGuid();
    return ERROR_SUCCESS;
}

DWORD CETWLogging::WriteText(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                             const wchar_t* text) {
    return CallLogV(*this, level, file, function, line, L"%s", text);
}

DWORD CETWLogging::WriteV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                          const wchar_t* format, va_list args) {
    if (format == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!enabled_.load() || !IsEnabled(level)) {
        return ERROR_SUCCESS;
    }
    // The message and, when it fits behind it, its UTF-8 form share one area.
    wchar_t area[kMessageChars];
    int written = Kelmora::FormatIntoV(area, kMessageChars, format, args);
    std::size_t chars = written >= 0 ? static_cast<std::size_t>(written) : std::wcslen(area);
    // A cut message keeps its terminating NUL.
    std::size_t convert = (written < 0 && chars == kMessageChars - 1) ? kMessageChars : chars;

    char* utf8 = nullptr;
    int utf8Bytes = 0;
    HeapBytes heap;
    if (convert > 0) {
        utf8Bytes = ::WideCharToMultiByte(CP_UTF8, 0, area, static_cast<int>(convert), nullptr, 0,
                                          nullptr, nullptr);
        if (utf8Bytes <= 0) {
            return ERROR_SUCCESS;
        }
        const std::size_t used = std::min(convert + 1, kMessageChars);
        const std::size_t spare = (kMessageChars - used) * sizeof(wchar_t);
        if (static_cast<std::size_t>(utf8Bytes) <= spare) {
            utf8 = reinterpret_cast<char*>(area + used);
        } else {
            heap.bytes = new (std::nothrow) char[static_cast<std::size_t>(utf8Bytes)];
            if (heap.bytes == nullptr) {
                return ERROR_SUCCESS;
            }
            utf8 = heap.bytes;
        }
        ::WideCharToMultiByte(CP_UTF8, 0, area, static_cast<int>(convert), utf8, utf8Bytes, nullptr,
                              nullptr);
    }

    internal::ContextFields fields;
    FillContext(fields, file, function, line, static_cast<std::uint64_t>(utf8Bytes));
    internal::ContextRecordBuffer context;
    if (!internal::EncodeContextRecord(fields, context)) {
        return ERROR_SUCCESS;
    }

    struct {
        EVENT_TRACE_HEADER header;
        MOF_FIELD fields[2];
    } event{};
    static_assert(sizeof(event) == 80, "header and two MOF fields");
    event.header.Size = sizeof(event);
    event.header.Class.Type = 1;  // information
    event.header.Class.Level = internal::EventLevelFor(level, [this](LogLevel l) { return MapLevel(l); });
    event.header.Class.Version = 2;
    event.header.Guid = kEventClassGuid;
    event.header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR;
    event.fields[0].DataPtr = reinterpret_cast<ULONG64>(context.Data());
    event.fields[0].Length = static_cast<ULONG>(context.Size());
    event.fields[1].DataPtr = reinterpret_cast<ULONG64>(utf8);
    event.fields[1].Length = static_cast<ULONG>(utf8Bytes);
    // Without a session the call fails; its answer is not used.
    traceApi_->TraceEvent(session_.load(), &event.header);
    return ERROR_SUCCESS;
}

DWORD CETWLogging::LogV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                        const wchar_t* format, va_list args) {
    return WriteV(level, file, function, line, format, args);
}

bool CETWLogging::IsSession(TRACEHANDLE handle) {
    return handle == session_.load();
}

ULONG CETWLogging::OnEtwControl(WMIDPREQUESTCODE requestCode, void* buffer) {
    switch (requestCode) {
        case WMI_ENABLE_EVENTS: {
            ::SetLastError(ERROR_SUCCESS);
            TRACEHANDLE session = traceApi_->GetTraceLoggerHandle(buffer);
            if (session == kInvalidTraceHandle) {
                return ::GetLastError();
            }
            TRACEHANDLE held = 0;
            // Only the first session that enables the provider is served.
            if (!session_.compare_exchange_strong(held, session) && held != session) {
                return ERROR_SUCCESS;
            }
            if (listener_ != nullptr) {
                UCHAR level = traceApi_->GetTraceEnableLevel(session);
                if (level == 0) {
                    return ::GetLastError();
                }
                ULONG flags = traceApi_->GetTraceEnableFlags(session);
                listener_->OnConfigChange(true, level, flags);
            }
            return ERROR_SUCCESS;
        }
        case WMI_DISABLE_EVENTS: {
            TRACEHANDLE session = traceApi_->GetTraceLoggerHandle(buffer);
            // A session other than the one held leaves the logger as it is.
            if (session == kInvalidTraceHandle || session == 0 || !IsSession(session)) {
                return ERROR_SUCCESS;
            }
            if (listener_ != nullptr) {
                listener_->OnConfigChange(false, GetSeverity(), 0);
            }
            session_.store(0);
            return ERROR_SUCCESS;
        }
        default:
            return ERROR_INVALID_PARAMETER;
    }
}

void CETWLogging::SetControlGuid() {
    eventClassGuid_ = kEventClassGuid;
}

std::wstring& CETWLogging::GetModuleFileName(std::wstring& out, HMODULE module, bool stripExtension) {
    std::wstring name;
    if (!internal::ModuleFileName(module, name)) {
        out.clear();
        return out;
    }
    out = stripExtension ? internal::StripExtension(name) : name;
    return out;
}

void CETWLogging::BuildFullLogName() {
    fullLogName_ = logName_;
    if (!moduleBaseName_.empty()) {
        fullLogName_ += L"\\";
        fullLogName_ += moduleBaseName_;
    }
}

ULONG CETWLogging::UnregisterProvider() {
    std::lock_guard<Lock> guard(*lock_);
    if (registration_ == 0) {
        return ERROR_SUCCESS;
    }
    ULONG code = traceApi_->UnregisterTraceGuids(registration_);
    registration_ = 0;
    registered_.store(false);
    return code;
}

ULONG CETWLogging::Stop() {
    SetEnabled(false);
    return UnregisterProvider();
}

LogLevel CETWLogging::MapLevel(LogLevel level) {
    return internal::MapLevel(level);
}

void CETWLogging::FillContext(internal::ContextFields& context, const wchar_t* file,
                              const wchar_t* function, int line, std::uint64_t textBytes) {
    context.processId = processId_;
    context.threadId = ::GetCurrentThreadId();
    context.imageName = imageFileName_;
    context.sourceFile = file != nullptr ? std::wstring_view(file) : std::wstring_view();
    context.function = function != nullptr ? std::wstring_view(function) : std::wstring_view();
    context.line = static_cast<std::uint32_t>(line);
    context.moduleFileName = moduleFileName_;
    context.moduleVersion = moduleVersion_;
    context.logName = logName_;
    context.textBytes = textBytes;
}

ULONG WINAPI CETWLogging::ControlCallback(WMIDPREQUESTCODE requestCode, void* context,
                                          ULONG* /*bufferSize*/, void* buffer) {
    if (context == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return static_cast<CETWLogging*>(context)->OnEtwControl(requestCode, buffer);
}

}  // namespace ETWLogging
