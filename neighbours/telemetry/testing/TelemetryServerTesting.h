// Registers the telemetry server double under a class identifier of this
// process and reads back what it recorded.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace TelemetryServerTesting {

// "TelemetryServer.dll" in the folder of the running program.
std::wstring ServerPathBesideProgram();

// HKLM\Software\Classes\CLSID\{new clsid}\InprocServer32 = path,
// ThreadingModel "Both"; removed again by the destructor.
class ScopedServerRegistration {
public:
    explicit ScopedServerRegistration(const std::wstring& dllPath);
    // Under a chosen class identifier, for example the default server's when
    // a module of its own sends the events (one such test per prefix at a time).
    ScopedServerRegistration(const std::wstring& dllPath, const GUID& clsid);
    ~ScopedServerRegistration();
    ScopedServerRegistration(const ScopedServerRegistration&) = delete;
    ScopedServerRegistration& operator=(const ScopedServerRegistration&) = delete;

    const GUID& clsid() const { return clsid_; }
    bool ok() const { return ok_; }

private:
    void registerAt(const std::wstring& dllPath);

    GUID clsid_{};
    std::wstring keyPath_;
    bool ok_ = false;
};

struct JournalRecord {
    wchar_t kind;                      // 'C' created, 'R' released, 'E' event
    std::vector<std::wstring> fields;  // for 'E': first text, event JSON, last text
};

// The journal's records in order; empty when the file is missing.
std::vector<JournalRecord> ReadJournal(const std::wstring& path);

// Sets (or with null removes) an environment variable for the scope.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const wchar_t* value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::wstring name_;
    std::wstring saved_;
    bool hadValue_ = false;
};

}  // namespace TelemetryServerTesting
