// Files for the store's tests: a folder of one's own per test process, and
// exact bytes in and out.
#pragma once

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace Tessil::testing {

// A fresh folder under the temporary folder, removed with its content.
class ScopedTempFolder {
public:
    ScopedTempFolder() {
        static int serial = 0;
        path_ = std::filesystem::temp_directory_path() /
                (L"vt_registrar_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                 std::to_wstring(++serial));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScopedTempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScopedTempFolder(const ScopedTempFolder&) = delete;
    ScopedTempFolder& operator=(const ScopedTempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return (path_ / name).wstring(); }

private:
    std::filesystem::path path_;
};

inline std::string ReadBytes(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The text as UTF-16LE, after FF FE when bom is set.
inline std::string Utf16Le(const std::wstring& text, bool bom = true) {
    std::string bytes;
    if (bom) bytes += "\xFF\xFE";
    for (wchar_t c : text) {
        const unsigned unit = static_cast<unsigned>(c);
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>((unit >> 8) & 0xFF));
    }
    return bytes;
}

// The compact text the reference store writes for these codes (sorted by the set).
inline std::wstring ReferenceText(const std::set<std::wstring>& codes) {
    if (codes.empty()) return L"{}";
    std::wstring text = L"{\"registry\":[";
    bool first = true;
    for (const std::wstring& code : codes) {
        if (!first) text += L",";
        first = false;
        text += L"{\"appcode\":\"" + code + L"\"}";
    }
    return text + L"]}";
}

// The reference file's bytes for these codes.
inline std::string ReferenceBytes(const std::set<std::wstring>& codes) { return Utf16Le(ReferenceText(codes)); }

inline bool FileExists(const std::wstring& path) {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::path(path), ignored);
}

}  // namespace Tessil::testing
