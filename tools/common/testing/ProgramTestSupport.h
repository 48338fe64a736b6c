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

// Runs "program" arguments with the caller's environment and waits up to
// boundMs; a process still running then is ended.
inline ProcessResult RunProgram(const std::wstring& program, const std::wstring& arguments,
                                DWORD boundMs = 60000) {
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    ProcessResult result;
    if (!CreateProcessW(program.c_str(), buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &info)) {
        return result;
    }
    result.started = true;
    CloseHandle(info.hThread);
    if (WaitForSingleObject(info.hProcess, boundMs) == WAIT_OBJECT_0) {
        result.ended = GetExitCodeProcess(info.hProcess, &result.exitCode) != FALSE;
    } else {
        TerminateProcess(info.hProcess, 255);
        WaitForSingleObject(info.hProcess, boundMs);
    }
    CloseHandle(info.hProcess);
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

}  // namespace Tessil::testing
