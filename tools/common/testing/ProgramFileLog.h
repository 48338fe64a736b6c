// Test support for the console programs: the file log a program writes
// when the scrambled "Logging Mechanism" value selects the file logger.
#pragma once

#include "platform/Registry/IniReader.h"
#include "platform/Registry/ObfuscatedRegKey.h"
#include "platform/wrappers/KnownFolderPath.h"
#include "tools/common/testing/ProgramTestSupport.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace Tessil::testing {

// While it lives, programs started with the default log configuration log
// to files at every level; the mechanism value and the folder's log.ini are
// put back afterwards. moduleBaseName: the program's file name without
// ".exe".
class ProgramFileLog {
public:
    explicit ProgramFileLog(const std::wstring& moduleBaseName)
        : folder_(ProgramData() / L"Corvane" / L"CVLOGS" / L"_no_group" / moduleBaseName),
          file_(folder_ / (moduleBaseName + L"__no_host000.log")),
          ini_(folder_ / L"log.ini"),
          oldIni_(ReadFile(ini_)) {
        Kelmora::CObfuscatedRegKey key;
        if (key.Create(HKEY_LOCAL_MACHINE, kKey) == ERROR_SUCCESS) {
            key.SetDWORDValue(kValue, 1);
        }
    }
    ~ProgramFileLog() {
        std::error_code ignored;
        if (oldIni_) {
            std::ofstream(ini_, std::ios::binary | std::ios::trunc) << *oldIni_;
        } else {
            std::filesystem::remove(ini_, ignored);
        }
    }
    ProgramFileLog(const ProgramFileLog&) = delete;
    ProgramFileLog& operator=(const ProgramFileLog&) = delete;

    // Removes the logs of earlier runs and the stored log index; the next
    // run writes the first file from its start, lines of every level, with
    // the line parts of the option bits given (0: the logger's defaults).
    // False when a setting could not be stored.
    bool Clear(int options = 0) const {
        std::error_code ignored;
        std::filesystem::create_directories(folder_, ignored);
        for (const auto& entry : std::filesystem::directory_iterator(folder_, ignored)) {
            if (entry.path().extension() == L".log") std::filesystem::remove(entry.path(), ignored);
        }
        std::filesystem::remove(ini_, ignored);
        Kelmora::CObfuscatedIniReader reader;
        reader.Load(ini_.wstring());
        return reader.SetInt(L"Config", L"Severity", 1) &&
               (options == 0 || reader.SetInt(L"Config", L"Options", options));
    }
    // The lines of the file, each without its line end; empty when there
    // is no file.
    std::vector<std::wstring> Lines() const {
        std::vector<std::wstring> lines;
        const std::optional<std::string> bytes = ReadFile(file_);
        if (!bytes) return lines;
        std::wstring text(reinterpret_cast<const wchar_t*>(bytes->data()), bytes->size() / sizeof(wchar_t));
        if (!text.empty() && text.front() == L'\xFEFF') text.erase(0, 1);
        for (std::size_t start = 0; start < text.size();) {
            std::size_t end = text.find(L"\r\n", start);
            if (end == std::wstring::npos) end = text.size();
            lines.push_back(text.substr(start, end - start));
            start = end + 2;
        }
        return lines;
    }
    // Whether a line of the file ends with " message".
    bool HasLine(const std::wstring& message) const {
        const std::wstring tail = L" " + message;
        for (const std::wstring& line : Lines()) {
            if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
                return true;
            }
        }
        return false;
    }
    const std::filesystem::path& File() const { return file_; }

private:
    static constexpr const wchar_t* kKey = L"SOFTWARE\\Corvane\\Logging";
    static constexpr const wchar_t* kValue = L"Logging Mechanism";

    static std::filesystem::path ProgramData() {
        return std::filesystem::path(Kelmora::KnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE));
    }
    static std::optional<std::string> ReadFile(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        if (!in) return std::nullopt;
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    // Declared first: put back after the destructor's body.
    SavedMachineValue mechanism_{kKey, kValue};
    std::filesystem::path folder_;
    std::filesystem::path file_;
    std::filesystem::path ini_;
    std::optional<std::string> oldIni_;
};

}  // namespace Tessil::testing
