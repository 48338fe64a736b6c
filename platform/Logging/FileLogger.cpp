#include "platform/Logging/FileLogger.h"

#include "platform/Logging/FileLogLine.h"
#include "platform/Logging/LoggerModule.h"
#include "platform/Logging/WideFormat.h"
#include "platform/Registry/IniReader.h"
#include "platform/files/FileUtils.h"
#include "platform/wrappers/KnownFolderPath.h"


#include <chrono>

namespace ETWLogging {
namespace {

constexpr wchar_t kSection[] = L"Config";
constexpr wchar_t kIniName[] = L"log.ini";
constexpr std::size_t kRootChars = 260;
constexpr DWORD kErrorNotInitialised = 20002;
constexpr DWORD kErrorAlreadyInitialised = 20001;
constexpr DWORD kSilencedSeverity = 10000;

bool PathExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

struct Validity {
    int low;
    int high;
    bool any;
    bool Accepts(int value) const { return any || (value >= low && value <= high); }
};

// The folder value, else the global one, else the default; an invalid value
// is replaced in its file by the default. Null when that replacement failed.
std::optional<int> GetSetting(Kelmora::CObfuscatedIniReader& folder, Kelmora::CObfuscatedIniReader& global,
                              const wchar_t* key, int defaultValue, Validity validity) {
    for (Kelmora::CObfuscatedIniReader* reader : {&folder, &global}) {
        int value = 0;
        if (!reader->GetInt(kSection, key, value)) {
            continue;
        }
        if (validity.Accepts(value)) {
            return value;
        }
        if (!reader->SetInt(kSection, key, defaultValue)) {
            return std::nullopt;
        }
    }
    return defaultValue;
}

}  // namespace

// ---------------------------------------------------------------------------
// System services

HRESULT FileLoggerAPI::GetProgramDataFolder(std::wstring& path) {
    HRESULT result = E_FAIL;
    std::wstring folder = Kelmora::KnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, &result);
    if (SUCCEEDED(result)) {
        if (folder.empty()) {
            return E_FAIL;
        }
        path = std::move(folder);
    }
    return result;
}

bool FileLoggerAPI::CreateDirectoryTree(const std::wstring& path, DWORD* error) {
    return Kelmora::CreateDirectoryTree(path.c_str(), error);
}

void FileLoggerAPI::GetLocalTime(SYSTEMTIME& time) {
    ::GetLocalTime(&time);
}

void FileLoggerAPI::DebugOutput(const wchar_t* text) {
    ::OutputDebugStringW(text);
}

std::shared_ptr<FileLoggerAPI> DefaultFileLoggerAPI() {
    static const std::shared_ptr<FileLoggerAPI> api = std::make_shared<FileLoggerAPI>();
    return api;
}

// ---------------------------------------------------------------------------
// Logger

// A named mutex shared by all processes that write into one log folder, so
// that rotation and appending never interleave. Without it no line is
// written: a mutex that could not be made is tried again at the next line.
class CLogging::CrossProcessLock {
public:
    explicit CrossProcessLock(std::wstring folder) : name_(internal::FileLogLockName(folder)) { Make(); }
    // 0 when held (also after another holder died); 1460 after the time-out;
    // the creation's code when no mutex could be made.
    DWORD Acquire(DWORD timeoutMs) {
        if (!mutex_ && !Make()) {
            return createError_;
        }
        DWORD wait = ::WaitForSingleObject(mutex_.get(), timeoutMs);
        return (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ? ERROR_SUCCESS : ERROR_TIMEOUT;
    }
    void Release() { ::ReleaseMutex(mutex_.get()); }

private:
    bool Make() {
        for (const wchar_t* space : {L"Global\\", L"Local\\"}) {
            mutex_ = Kelmora::KernelHandle(::CreateMutexW(nullptr, FALSE, (space + name_).c_str()));
            if (mutex_) {
                return true;
            }
            createError_ = ::GetLastError();
        }
        if (createError_ == ERROR_SUCCESS) {
            createError_ = ERROR_INVALID_HANDLE;
        }
        return false;
    }

    std::wstring name_;
    Kelmora::KernelHandle mutex_;
    DWORD createError_ = ERROR_SUCCESS;
};

CLogging::CLogging(std::shared_ptr<FileLoggerAPI> api)
    : api_(api ? std::move(api) : DefaultFileLoggerAPI()) {}

CLogging::~CLogging() {
    Reset();
}

void CLogging::Reset() {
    logName_.reset();
    moduleBaseName_.clear();
    imageName_.reset();
    suffix_.reset();
    logFolder_.clear();
    globalIniPath_.clear();
    folderIniPath_.clear();
    fileLock_.reset();
    processId_ = 0;
    maxSize_ = kDefaultMaxSize;
    maxEntries_ = kDefaultMaxEntries;
    severity_ = kDefaultSeverity;
    options_ = kDefaultOptions;
    enabled_ = true;
    refCount_ = 0;
    initialised_ = false;
    folderState_ = 0;
    unstoredIndex_.reset();
}

DWORD CLogging::Init(const wchar_t* logName, HMODULE moduleHandle, const wchar_t* suffix,
                     void* /*reserved*/) {
    std::unique_lock<std::timed_mutex> lock(mutex_, std::defer_lock);
    if (!lock.try_lock_for(std::chrono::milliseconds(kLockTimeoutMs))) {
        return ERROR_TIMEOUT;
    }
    if (initialised_) {
        return kErrorAlreadyInitialised;
    }
    DWORD code = ERROR_SUCCESS;
    if ((logName != nullptr && *logName == L'\0') || (suffix != nullptr && *suffix == L'\0')) {
        code = ERROR_INVALID_PARAMETER;
    } else {
        if (logName != nullptr) {
            logName_ = logName;
        }
        std::wstring name;
        if (!internal::ModuleFileName(nullptr, name)) {
            code = ERROR_OUTOFMEMORY;
        } else {
            imageName_ = name;
            moduleBaseName_ = internal::StripExtension(name);
            if (moduleHandle != nullptr && internal::ModuleFileName(moduleHandle, name)) {
                imageName_.reset();
                moduleBaseName_ = internal::StripExtension(name);
            }
            if (suffix != nullptr) {
                suffix_ = suffix;
            }
            code = BuildPaths();
        }
    }
    if (code != ERROR_SUCCESS) {
        Reset();
        return code;
    }
    LoadSettings();
    processId_ = ::GetCurrentProcessId();
    initialised_ = true;
    return ERROR_SUCCESS;
}

DWORD CLogging::BuildPaths() {
    if ((logName_ && logName_->empty()) || moduleBaseName_.empty()) {
        return ERROR_INVALID_PARAMETER;
    }
    wchar_t root[kRootChars + 1];
    DWORD code = GetLogRoot(root, static_cast<DWORD>(kRootChars + 1));
    if (code != ERROR_SUCCESS) {
        return code;
    }
    std::wstring base = std::wstring(root) + L"\\Corvane\\" + L"CVLOGS" + L"\\";
    if (base.size() > kRootChars) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    logFolder_ = logName_ ? base + *logName_ + L"\\" + moduleBaseName_ : base + moduleBaseName_;
    folderIniPath_ = logFolder_ + L"\\" + kIniName;
    globalIniPath_ = base + kIniName;
    fileLock_ = std::make_unique<CrossProcessLock>(logFolder_);
    return ERROR_SUCCESS;
}

DWORD CLogging::GetLogRoot(wchar_t* buffer, DWORD size) {
    if (buffer == nullptr || size == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    std::wstring path;
    if (FAILED(api_->GetProgramDataFolder(path))) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::size_t copied = std::min<std::size_t>(path.size(), size - 1);
    path.copy(buffer, copied);
    buffer[copied] = L'\0';
    return copied == path.size() ? ERROR_SUCCESS : ERROR_INSUFFICIENT_BUFFER;
}

void CLogging::LoadSettings() {
    if (!PathExists(folderIniPath_) && !PathExists(globalIniPath_)) {
        return;
    }
    Kelmora::CObfuscatedIniReader folder, global;
    folder.Load(folderIniPath_);
    global.Load(globalIniPath_);
    if (auto value = GetSetting(folder, global, L"Enable", 1, {0, 0, true})) {
        enabled_ = *value != 0;
    }
    if (auto value = GetSetting(folder, global, L"MaxSize", static_cast<int>(kDefaultMaxSize),
                                {static_cast<int>(kDefaultMaxSize), static_cast<int>(kMaxMaxSize), false})) {
        SetMaxSize(static_cast<DWORD>(*value));
    }
    if (auto value = GetSetting(folder, global, L"MaxEntries", static_cast<int>(kDefaultMaxEntries), {2, 100, false})) {
        SetMaxEntries(static_cast<DWORD>(*value));
    }
    if (auto value = GetSetting(folder, global, L"Severity", static_cast<int>(kDefaultSeverity), {0, 6, false})) {
        severity_ = static_cast<DWORD>(*value);
    }
    if (auto value = GetSetting(folder, global, L"Options", static_cast<int>(kDefaultOptions), {0, 0, true})) {
        options_ = static_cast<DWORD>(*value);
    }
}

DWORD CLogging::Register() {
    return ERROR_SUCCESS;
}

std::wstring& CLogging::GetFullLogName(std::wstring& out) {
    return out;
}

std::wstring& CLogging::GetLogName(std::wstring& out) {
    return out;
}

DWORD CLogging::Uninit() {
    std::unique_lock<std::timed_mutex> lock(mutex_, std::defer_lock);
    if (!lock.try_lock_for(std::chrono::milliseconds(kLockTimeoutMs))) {
        return ERROR_TIMEOUT;
    }
    if (!initialised_) {
        return kErrorNotInitialised;
    }
    Reset();
    return ERROR_SUCCESS;
}

void CLogging::SetEnabled(bool enabled) {
    enabled_ = enabled;
}

bool CLogging::GetEnabled() {
    return enabled_;
}

void CLogging::Log(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                   const wchar_t* format, ...) {
    if (!enabled_ || !IsEnabled(level)) {
        return;
    }
    wchar_t buffer[kLogTextBufferChars];
    va_list args;
    va_start(args, format);
    Kelmora::FormatIntoV(buffer, kLogTextBufferChars, format, args);
    va_end(args);
    Write(file, function, line, level, buffer);
}

bool CLogging::CheckFolder() {
    if (folderState_ == 0) {
        if (!logFolder_.empty() && api_->CreateDirectoryTree(logFolder_, nullptr)) {
            folderState_ = 1;
        } else {
            // Silent for the rest of the process: log sites skip every level.
            enabled_ = false;
            severity_ = kSilencedSeverity;
            folderState_ = 2;
        }
    }
    return folderState_ == 1;
}

DWORD CLogging::Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                      const wchar_t* text) {
    std::unique_lock<std::timed_mutex> lock(mutex_, std::defer_lock);
    if (!lock.try_lock_for(std::chrono::milliseconds(kLockTimeoutMs))) {
        return ERROR_TIMEOUT;
    }
    if (!CheckFolder() || text == nullptr || *text == L'\0') {
        return ERROR_INVALID_PARAMETER;
    }
    // The line is complete before any file is opened or rotated.
    SYSTEMTIME now{};
    api_->GetLocalTime(now);
    internal::LineParts parts;
    parts.time = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    parts.level = level;
    parts.imageName = imageName_ ? imageName_->c_str() : nullptr;
    parts.processId = processId_;
    parts.threadId = ::GetCurrentThreadId();
    parts.sourceFile = file;
    parts.line = line;
    parts.function = function;
    parts.message = text;
    std::optional<std::wstring> composed = internal::ComposeLine(parts, options_);
    if (!composed) {
        return ERROR_INVALID_PARAMETER;
    }
    return WriteLine(*composed);
}

DWORD CLogging::WriteLine(const std::wstring& line) {
    if (!fileLock_) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD code = fileLock_->Acquire(kLockTimeoutMs);
    if (code != ERROR_SUCCESS) {
        return code;
    }
    Kelmora::FileHandle file;
    code = OpenLogFile(file);
    if (code == ERROR_SUCCESS) {
        DWORD bytes = static_cast<DWORD>(line.size() * sizeof(wchar_t));
        DWORD written = 0;
        if (!::WriteFile(file.get(), line.data(), bytes, &written, nullptr)) {
            code = ::GetLastError();
        } else if (written != bytes) {
            code = ERROR_WRITE_FAULT;
        }
    }
    file.reset();
    fileLock_->Release();
    if (code == ERROR_SUCCESS && (options_ & internal::kOptionDebugOutput)) {
        api_->DebugOutput(line.c_str());
    }
    return code;
}

std::wstring CLogging::LogFilePath(DWORD index) const {
    return internal::LogFilePath(logFolder_, moduleBaseName_, suffix_ ? &*suffix_ : nullptr, index);
}

DWORD CLogging::OpenLogFile(Kelmora::FileHandle& file) {
    file.reset();
    if (logFolder_.empty() || moduleBaseName_.empty() || (suffix_ && suffix_->empty())) {
        return ERROR_INVALID_PARAMETER;
    }
    const DWORD maxEntries = maxEntries_;
    // The stored position decides, so that every logger of the folder agrees
    // on the newest file; the one kept in memory stands in only while the
    // folder log.ini holds none.
    const std::optional<DWORD> stored = ReadLastLogIdx();
    if (stored) {
        unstoredIndex_.reset();
    }
    DWORD index = stored ? *stored : unstoredIndex_.value_or(0);
    bool rotate = index >= maxEntries;
    if (!rotate) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        const bool present =
            ::GetFileAttributesExW(LogFilePath(index).c_str(), GetFileExInfoStandard, &data) != FALSE;
        const std::uint64_t found =
            (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        rotate = present && found >= maxSize_;
    }
    // A full file moves the ring on and empties the next, the oldest, file;
    // else lines append (a missing file is made).
    DWORD disposition = OPEN_ALWAYS;
    if (rotate) {
        const DWORD next = index + 1 < maxEntries ? index + 1 : 0;
        if (MoveRing(next, stored.has_value())) {
            index = next;
            disposition = CREATE_ALWAYS;
        } else if (index >= maxEntries) {
            index = 0;  // appended to, as no file may be emptied
        }
    }
    Kelmora::FileHandle handle;
    std::uint64_t size = 0;
    const DWORD code = OpenAt(index, disposition, handle, size);
    if (code != ERROR_SUCCESS) {
        return code;
    }
    if (size == 0) {
        static const BYTE kByteOrderMark[2] = {0xFF, 0xFE};
        DWORD written = 0;
        if (!::WriteFile(handle.get(), kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr)) {
            return ::GetLastError();
        }
    }
    file = std::move(handle);
    return ERROR_SUCCESS;
}

DWORD CLogging::OpenAt(DWORD index, DWORD disposition, Kelmora::FileHandle& file, std::uint64_t& size) {
    const std::wstring path = LogFilePath(index);
    auto open = [&] {
        return Kelmora::FileHandle(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                                          FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE, nullptr));
    };
    file = open();
    // A folder removed while the process runs is made again.
    if (!file && ::GetLastError() == ERROR_PATH_NOT_FOUND) {
        DWORD error = ERROR_PATH_NOT_FOUND;
        if (!api_->CreateDirectoryTree(logFolder_, &error)) {
            return error != ERROR_SUCCESS ? error : ERROR_PATH_NOT_FOUND;
        }
        file = open();
    }
    if (!file) {
        return ::GetLastError();
    }
    LARGE_INTEGER end{};
    if (!::SetFilePointerEx(file.get(), LARGE_INTEGER{}, &end, FILE_END)) {
        return ::GetLastError();
    }
    size = static_cast<std::uint64_t>(end.QuadPart);
    return ERROR_SUCCESS;
}

std::optional<DWORD> CLogging::ReadLastLogIdx() {
    int value = 0;
    if (!Kelmora::ReadProfileScrambledInt(folderIniPath_, kSection, L"LastLogIdx", value)) {
        return std::nullopt;
    }
    return static_cast<DWORD>(value);
}

bool CLogging::MoveRing(DWORD next, bool positionStored) {
    if (WriteLastLogIdx(next) == ERROR_SUCCESS) {
        unstoredIndex_.reset();
        return true;
    }
    // The other loggers keep following the stored position: moving without
    // them would let their next rotation empty the file moved to.
    if (positionStored) {
        return false;
    }
    unstoredIndex_ = next;
    return true;
}

DWORD CLogging::WriteLastLogIdx(DWORD value) {
    if (folderIniPath_.empty()) {
        return ERROR_INVALID_PARAMETER;
    }
    Kelmora::CObfuscatedIniReader reader;
    reader.Load(folderIniPath_);
    return reader.SetInt(kSection, L"LastLogIdx", static_cast<int>(value)) ? ERROR_SUCCESS
                                                                           : ERROR_INVALID_PARAMETER;
}

bool CLogging::IsEnabled(LogLevel level) {
    return level >= severity_;
}

void CLogging::SetMaxEntries(DWORD count) {
    maxEntries_ = count < 2 ? 2 : (count > 100 ? 100 : count);
}

DWORD CLogging::GetMaxEntries() {
    return maxEntries_;
}

void CLogging::SetMaxSize(DWORD bytes) {
    maxSize_ = bytes < kDefaultMaxSize ? kDefaultMaxSize : (bytes > kMaxMaxSize ? kMaxMaxSize : bytes);
}

DWORD CLogging::GetMaxSize() {
    return maxSize_;
}

void CLogging::SetSeverity(LogLevel level) {
    severity_ = ClampSeverity(level);
}

LogLevel CLogging::GetSeverity() {
    return severity_;
}

ULONG CLogging::AddRef() {
    return ++refCount_;
}

ULONG CLogging::Release() {
    ULONG count = --refCount_;
    if (count == 0) {
        delete this;
    }
    return count;
}

VT_DEFINE_LEVEL_NAMED_OPERATIONS(CLogging)

}  // namespace ETWLogging
