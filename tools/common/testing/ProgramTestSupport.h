// Test support for the console programs: running a program as a process,
// Wine paths of build outputs, and the libraries a program binds at start.
#pragma once

#include <windows.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <utility>
#include <string>
#include <vector>

namespace Tessil::testing {

// "/unix/path" -> "Z:\unix\path" (Wine's drive of the host's root).
inline std::wstring WinePath(const char* unixPath) {
    std::wstring out = L"Z:";
    for (const char* p = unixPath; *p != '\0'; ++p) {
        out.push_back(*p == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    }
    return out;
}

struct ProcessResult {
    bool started = false;
    bool ended = false;  // within the bound
    DWORD exitCode = 0;
};

// Starts "program" arguments with the caller's environment; the process
// handle, or null when it could not be started.
inline HANDLE StartProgram(const std::wstring& program, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
        return nullptr;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
}

// Runs "program" arguments with the caller's environment and waits up to
// boundMs; a process still running then is ended.
inline ProcessResult RunProgram(const std::wstring& program, const std::wstring& arguments,
                                DWORD boundMs = 60000) {
    ProcessResult result;
    const HANDLE process = StartProgram(program, arguments);
    if (process == nullptr) {
        return result;
    }
    result.started = true;
    if (WaitForSingleObject(process, boundMs) == WAIT_OBJECT_0) {
        result.ended = GetExitCodeProcess(process, &result.exitCode) != FALSE;
    } else {
        TerminateProcess(process, 255);
        WaitForSingleObject(process, boundMs);
    }
    CloseHandle(process);
    return result;
}

// The libraries named in the program file's import directory, that is those
// bound when the process starts (delay-loaded ones are not listed there).
inline std::vector<std::string> StartupImports(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    const std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> names;
    auto fits = [&](std::size_t offset, std::size_t size) {
        return offset <= file.size() && size <= file.size() - offset;
    };
    IMAGE_DOS_HEADER dos;
    if (!fits(0, sizeof dos)) return names;
    std::memcpy(&dos, file.data(), sizeof dos);
    IMAGE_NT_HEADERS64 nt;
    if (dos.e_lfanew < 0 || !fits(static_cast<std::size_t>(dos.e_lfanew), sizeof nt)) return names;
    std::memcpy(&nt, file.data() + dos.e_lfanew, sizeof nt);
    const std::size_t sectionsAt = static_cast<std::size_t>(dos.e_lfanew) +
                                   offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                                   nt.FileHeader.SizeOfOptionalHeader;
    std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
    if (!fits(sectionsAt, sections.size() * sizeof(IMAGE_SECTION_HEADER))) return names;
    std::memcpy(sections.data(), file.data() + sectionsAt,
                sections.size() * sizeof(IMAGE_SECTION_HEADER));
    auto offsetOf = [&](std::uint32_t rva) -> std::size_t {
        for (const auto& s : sections) {
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData) {
                return rva - s.VirtualAddress + s.PointerToRawData;
            }
        }
        return file.size();
    };
    const auto& directory = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (std::size_t at = offsetOf(directory.VirtualAddress);; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR descriptor;
        if (!fits(at, sizeof descriptor)) break;
        std::memcpy(&descriptor, file.data() + at, sizeof descriptor);
        if (descriptor.Name == 0) break;
        const std::size_t nameAt = offsetOf(descriptor.Name);
        std::string name;
        for (std::size_t i = nameAt; i < file.size() && file[i] != '\0'; ++i) name.push_back(file[i]);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        names.push_back(name);
    }
    return names;
}

// One HKLM value as it was before the test, put back afterwards; keys the
// test had to create are removed again.
class SavedMachineValue {
public:
    // view: 0, KEY_WOW64_32KEY or KEY_WOW64_64KEY.
    SavedMachineValue(const std::wstring& subKey, const std::wstring& name, REGSAM view = 0)
        : subKey_(subKey), name_(name), view_(view) {
        for (std::size_t at = subKey.find(L'\\'); ; at = subKey.find(L'\\', at + 1)) {
            const std::wstring part = subKey.substr(0, at);
            HKEY key = nullptr;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, part.c_str(), 0, KEY_READ | view_, &key) == ERROR_SUCCESS) {
                RegCloseKey(key);
            } else {
                missingKeys_.push_back(part);
            }
            if (at == std::wstring::npos) break;
        }
        old_ = Read();
    }
    ~SavedMachineValue() {
        if (old_) {
            Write(old_->first, old_->second);
        } else {
            Remove();
        }
        for (auto it = missingKeys_.rbegin(); it != missingKeys_.rend(); ++it) {
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, it->c_str(), view_, 0);  // only when empty
        }
    }
    SavedMachineValue(const SavedMachineValue&) = delete;
    SavedMachineValue& operator=(const SavedMachineValue&) = delete;

    std::optional<std::pair<DWORD, std::vector<BYTE>>> Read() const {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey_.c_str(), 0, KEY_READ | view_, &key) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        DWORD type = 0;
        DWORD size = 0;
        std::optional<std::pair<DWORD, std::vector<BYTE>>> value;
        if (RegQueryValueExW(key, name_.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
            std::vector<BYTE> data(size);
            if (RegQueryValueExW(key, name_.c_str(), nullptr, &type, data.data(), &size) ==
                ERROR_SUCCESS) {
                data.resize(size);
                value.emplace(type, std::move(data));
            }
        }
        RegCloseKey(key);
        return value;
    }
    void Write(DWORD type, const std::vector<BYTE>& data) const {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey_.c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE | view_, nullptr, &key, nullptr) != ERROR_SUCCESS) {
            return;
        }
        RegSetValueExW(key, name_.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
        RegCloseKey(key);
    }
    void WriteString(const std::wstring& text) const {
        const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
        Write(REG_SZ, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t)));
    }
    void Remove() const {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey_.c_str(), 0, KEY_SET_VALUE | view_, &key) ==
            ERROR_SUCCESS) {
            RegDeleteValueW(key, name_.c_str());
            RegCloseKey(key);
        }
    }
    // The (source, target) pairs of a rename list.
    std::vector<std::pair<std::wstring, std::wstring>> RenamePairs() const {
        std::vector<std::pair<std::wstring, std::wstring>> pairs;
        const auto value = Read();
        if (!value) return pairs;
        const auto& data = value->second;
        std::vector<std::wstring> parts(1);
        for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
            const wchar_t c = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
            if (c == L'\0') {
                parts.emplace_back();
            } else {
                parts.back().push_back(c);
            }
        }
        for (std::size_t i = 0; i + 1 < parts.size() && !parts[i].empty(); i += 2) {
            pairs.emplace_back(parts[i], parts[i + 1]);
        }
        return pairs;
    }
    // Writes the pairs as a rename list; none removes the value.
    void WriteRenamePairs(const std::vector<std::pair<std::wstring, std::wstring>>& pairs) const {
        if (pairs.empty()) {
            Remove();
            return;
        }
        std::wstring list;
        for (const auto& [source, target] : pairs) {
            list += source;
            list.push_back(L'\0');
            list += target;
            list.push_back(L'\0');
        }
        list.push_back(L'\0');
        const BYTE* bytes = reinterpret_cast<const BYTE*>(list.data());
        Write(REG_MULTI_SZ, std::vector<BYTE>(bytes, bytes + list.size() * sizeof(wchar_t)));
    }
    std::size_t OldRenameCount() const { return oldRenames_; }
    void RememberRenameCount() { oldRenames_ = RenamePairs().size(); }

private:
    std::wstring subKey_;
    std::wstring name_;
    REGSAM view_;
    std::vector<std::wstring> missingKeys_;  // outermost first
    std::optional<std::pair<DWORD, std::vector<BYTE>>> old_;
    std::size_t oldRenames_ = 0;
};

}  // namespace Tessil::testing
