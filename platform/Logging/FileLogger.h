// ETWLogging::CLogging: the file logger. Lines of UTF-16 text go to a ring
// of files under the ProgramData folder; "log.ini" files hold its settings.
#pragma once

#include "platform/Logging/Logging.h"
#include "platform/wrappers/UniqueHandle.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace Kelmora {
class CObfuscatedIniReader;
}

namespace ETWLogging {

// The system services of the file logger, replaceable in tests.
class FileLoggerAPI {
public:
    virtual ~FileLoggerAPI() = default;
    // SHGetKnownFolderPath (FOLDERID_ProgramData, KF_FLAG_CREATE).
    virtual HRESULT GetProgramDataFolder(std::wstring& path);
    // Makes the folder with all missing parents; true when it exists afterwards.
    virtual bool CreateDirectoryTree(const std::wstring& path, DWORD* error);
    virtual void GetLocalTime(SYSTEMTIME& time);
    virtual void DebugOutput(const wchar_t* text);
};

std::shared_ptr<FileLoggerAPI> DefaultFileLoggerAPI();

class CLogging : public CLoggingIf {
public:
    static constexpr DWORD kDefaultMaxSize = 0x40000;
    static constexpr DWORD kMaxMaxSize = 0xA00000;
    static constexpr DWORD kDefaultMaxEntries = 3;
    static constexpr DWORD kDefaultSeverity = 3;
    static constexpr DWORD kDefaultOptions = 0x10;
    static constexpr DWORD kLockTimeoutMs = 7000;

    // An empty pointer takes the system's services.
    explicit CLogging(std::shared_ptr<FileLoggerAPI> api = nullptr);
    CLogging(const CLogging&) = delete;
    CLogging& operator=(const CLogging&) = delete;

    ~CLogging() override;                                                             // 0
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
    // ProgramData folder into the buffer: 87 for no buffer or no folder,
    // 122 when it does not fit.
    virtual DWORD GetLogRoot(wchar_t* buffer, DWORD size);                            // 24

    DWORD GetOptions() const { return options_; }
    // Paths as built by Init; empty before.
    const std::wstring& LogFolder() const { return logFolder_; }
    const std::wstring& FolderIniPath() const { return folderIniPath_; }
    const std::wstring& GlobalIniPath() const { return globalIniPath_; }
    // Path of the log file of an index.
    std::wstring LogFilePath(DWORD index) const;

private:
    class CrossProcessLock;

    void Reset();
    DWORD BuildPaths();
    void LoadSettings();
    bool CheckFolder();
    DWORD OpenLogFile(Kelmora::FileHandle& file);
    // Opens the file of an index with the disposition; size is its length.
    DWORD OpenAt(DWORD index, DWORD disposition, Kelmora::FileHandle& file, std::uint64_t& size);
    // The position stored in the folder log.ini; none when nothing can be read.
    std::optional<DWORD> ReadLastLogIdx();
    // Stores the position a rotation moves to. False when it cannot be stored
    // while a stored one was read: the ring then stays where it is.
    bool MoveRing(DWORD next, bool positionStored);
    DWORD WriteLastLogIdx(DWORD value);
    DWORD WriteLine(const std::wstring& line);

    std::shared_ptr<FileLoggerAPI> api_;
    std::timed_mutex mutex_;  // serialises Init, Uninit and Write in this process
    // Guarded by mutex_; fixed between Init and Uninit.
    bool initialised_ = false;
    std::optional<std::wstring> logName_;
    std::wstring moduleBaseName_;
    std::optional<std::wstring> imageName_;
    DWORD processId_ = 0;
    std::optional<std::wstring> suffix_;
    std::wstring logFolder_;
    std::wstring globalIniPath_;
    std::wstring folderIniPath_;
    std::unique_ptr<CrossProcessLock> fileLock_;  // taken around each file write
    // 0 until the folder was checked, then 1 (passes) or 2 (fails for good).
    int folderState_ = 0;
    // The ring's position while the folder log.ini neither holds nor stores one.
    std::optional<DWORD> unstoredIndex_;
    // Setters and IsEnabled run without the lock.
    std::atomic<ULONG> refCount_{0};
    std::atomic<DWORD> maxSize_{kDefaultMaxSize};
    std::atomic<DWORD> maxEntries_{kDefaultMaxEntries};
    std::atomic<DWORD> severity_{kDefaultSeverity};
    std::atomic<DWORD> options_{kDefaultOptions};
    std::atomic<bool> enabled_{true};
};

}  // namespace ETWLogging
