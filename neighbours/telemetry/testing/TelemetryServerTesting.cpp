#include "neighbours/telemetry/testing/TelemetryServerTesting.h"

#include <objbase.h>


namespace TelemetryServerTesting {

std::wstring ServerPathBesideProgram() {
    wchar_t buffer[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    std::wstring path(buffer, length);
    path.resize(path.find_last_of(L'\\') + 1);
    return path + L"TelemetryServer.dll";
}

ScopedServerRegistration::ScopedServerRegistration(const std::wstring& dllPath) {
    if (SUCCEEDED(CoCreateGuid(&clsid_))) {
        registerAt(dllPath);
    }
}

ScopedServerRegistration::ScopedServerRegistration(const std::wstring& dllPath, const GUID& clsid)
    : clsid_(clsid) {
    registerAt(dllPath);
}

void ScopedServerRegistration::registerAt(const std::wstring& dllPath) {
    wchar_t text[64];
    StringFromGUID2(clsid_, text, 64);
    keyPath_ = std::wstring(L"Software\\Classes\\CLSID\\") + text;
    HKEY key = nullptr;
    const std::wstring serverKey = keyPath_ + L"\\InprocServer32";
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, serverKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    const wchar_t model[] = L"Both";
    ok_ = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(dllPath.c_str()),
                         static_cast<DWORD>((dllPath.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
          RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(model),
                         sizeof(model)) == ERROR_SUCCESS;
    RegCloseKey(key);
}

ScopedServerRegistration::~ScopedServerRegistration() {
    if (!keyPath_.empty()) {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, keyPath_.c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, keyPath_.c_str());
    }
}

namespace {

// Reads "[n]" followed by n characters.
bool ReadField(const std::wstring& text, std::size_t& at, std::wstring& out) {
    if (at >= text.size() || text[at] != L'[') {
        return false;
    }
    std::size_t close = text.find(L']', at);
    if (close == std::wstring::npos) {
        return false;
    }
    std::size_t length = std::stoul(text.substr(at + 1, close - at - 1));
    if (close + 1 + length > text.size()) {
        return false;
    }
    out = text.substr(close + 1, length);
    at = close + 1 + length;
    return true;
}

}  // namespace

std::vector<JournalRecord> ReadJournal(const std::wstring& path) {
    std::vector<JournalRecord> records;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return records;
    }
    std::wstring text;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        text.resize(static_cast<std::size_t>(size.QuadPart) / sizeof(wchar_t));
        DWORD read = 0;
        ReadFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr);
        text.resize(read / sizeof(wchar_t));
    }
    CloseHandle(file);
    std::size_t at = 0;
    while (at < text.size()) {
        JournalRecord record{text[at++], {}};
        if (record.kind == L'E') {
            for (int i = 0; i < 3; ++i) {
                std::wstring field;
                if (!ReadField(text, at, field)) {
                    return records;
                }
                record.fields.push_back(field);
            }
        }
        if (at >= text.size() || text[at] != L'\n') {
            return records;
        }
        ++at;
        records.push_back(record);
    }
    return records;
}

ScopedEnvironment::ScopedEnvironment(const wchar_t* name, const wchar_t* value) : name_(name) {
    wchar_t buffer[1024];
    DWORD length = GetEnvironmentVariableW(name, buffer, 1024);
    if (length > 0 && length < 1024) {
        hadValue_ = true;
        saved_.assign(buffer, length);
    }
    SetEnvironmentVariableW(name, value);
}

ScopedEnvironment::~ScopedEnvironment() {
    SetEnvironmentVariableW(name_.c_str(), hadValue_ ? saved_.c_str() : nullptr);
}

}  // namespace TelemetryServerTesting
