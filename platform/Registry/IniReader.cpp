#include "platform/Registry/IniReader.h"

#include "platform/Registry/IniText.h"
#include "platform/Registry/ScrambledFormat.h"
#include "platform/files/StringUtils.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

namespace Kelmora {

namespace {

std::wstring FromAnsi(const char* text, std::size_t length) {
    return WidenFromCodePage(CP_THREAD_ACP, text, length);
}

// The byte length of the ANSI text, not its character count.
bool ToAnsi(const std::wstring& text, std::string& out) { return NarrowToCodePage(CP_THREAD_ACP, text, out); }

bool SplitDotted(const std::wstring& dottedName, std::wstring& section, std::wstring& key) {
    const std::size_t dot = dottedName.find(L'.');
    if (dot == std::wstring::npos) {
        return false;
    }
    section = dottedName.substr(0, dot);
    key = dottedName.substr(dot + 1);
    return true;
}

}  // namespace

bool ReadProfileScrambledInt(const std::wstring& fileName, const std::wstring& section,
                             const std::wstring& key, int& value) {
    if (fileName.empty()) {
        return false;
    }
    wchar_t small[2048];
    std::vector<wchar_t> large;
    wchar_t* buffer = small;
    DWORD size = static_cast<DWORD>(std::size(small));
    for (;;) {
        const DWORD got = GetPrivateProfileSectionW(section.c_str(), buffer, size, fileName.c_str());
        // size - 2 means the section did not fit.
        if (got + 2 < size || size >= (1u << 24)) {
            return ini::FindScrambledIntInSection(buffer, got, key, value);
        }
        size *= 4;
        large.assign(size, L'\0');
        buffer = large.data();
    }
}

bool CBaseIniReader::Load(const std::wstring& fileName) {
    if (fileName.empty()) {
        return false;
    }
    fileName_ = fileName;
    currentSection_.clear();
    FILE* file = _wfopen(fileName.c_str(), L"rt");
    if (file == nullptr) {
        if (errno != ENOENT) {
            fileName_.clear();
        }
        return false;
    }
    char line[1024];
    while (std::fgets(line, sizeof(line), file) != nullptr) {
        ParseLine(line);
    }
    std::fclose(file);
    return true;
}

void CBaseIniReader::ParseLine(const char* line) {
    if (line == nullptr) {
        return;
    }
    ini::Line parsed = ini::ParseLine(FromAnsi(line, std::strlen(line)));
    if (parsed.kind == ini::Line::kSection) {
        currentSection_ = std::move(parsed.section);
    } else if (parsed.kind == ini::Line::kValue) {
        AddValue(currentSection_, parsed.key, parsed.value, false);
    }
}

bool CBaseIniReader::GetInt(const std::wstring& section, const std::wstring& key, int& value) {
    return GetInt(section + L"." + key, value);
}

bool CBaseIniReader::GetString(const std::wstring& section, const std::wstring& key,
                               std::wstring& value) {
    return GetString(section + L"." + key, value);
}

bool CBaseIniReader::SetInt(const std::wstring& section, const std::wstring& key, int value) {
    if (fileName_.empty()) {
        return false;
    }
    const std::wstring text = std::to_wstring(value);
    if (!WritePrivateProfileStringW(section.c_str(), key.c_str(), text.c_str(),
                                    fileName_.c_str())) {
        return false;
    }
    AddValue(section, key, text, true);
    return true;
}

bool CBaseIniReader::SetString(const std::wstring& section, const std::wstring& key,
                               const std::wstring& text) {
    if (fileName_.empty()) {
        return false;
    }
    if (!WritePrivateProfileStringW(section.c_str(), key.c_str(), text.c_str(),
                                    fileName_.c_str())) {
        return false;
    }
    AddValue(section, key, text, true);
    return true;
}

bool CObfuscatedIniReader::Load(const std::wstring& fileName) {
    sections_.clear();
    pendingHeaders_.clear();
    if (!CBaseIniReader::Load(fileName)) {
        pendingHeaders_.clear();
        return false;
    }
    for (const auto& [name, header] : pendingHeaders_) {
        DecodePair(name, header);
    }
    pendingHeaders_.clear();
    return true;
}

bool CObfuscatedIniReader::AddValue(const std::wstring& section, const std::wstring& key,
                                    const std::wstring& value, bool replace) {
    auto found = sections_.find(section);
    if (!replace && found != sections_.end() && found->second.count(key) != 0) {
        return false;
    }
    if (ini::IsHeaderEntry(key, value)) {
        pendingHeaders_[section + L"." + key.substr(1)] = value;
        return false;
    }
    Entry& entry = sections_[section][key];
    entry.value = value;
    entry.decoded = false;
    entry.type = scrambled::kIniTypeText;
    return true;
}

void CObfuscatedIniReader::DecodePair(const std::wstring& dottedName,
                                      const std::wstring& headerText) {
    std::wstring section, key;
    if (!SplitDotted(dottedName, section, key)) {
        return;
    }
    auto foundSection = sections_.find(section);
    if (foundSection == sections_.end()) {
        return;
    }
    auto foundKey = foundSection->second.find(key);
    if (foundKey == foundSection->second.end()) {
        return;
    }
    Entry& entry = foundKey->second;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> plain;
    if (!scrambled::DecodeIniValue(headerText, entry.value, type, plain)) {
        return;
    }
    if (type == scrambled::kIniTypeText) {
        // Within the stated length; an embedded NUL ends the text.
        const char* bytes = reinterpret_cast<const char*>(plain.data());
        entry.value = FromAnsi(bytes, strnlen(bytes, plain.size()));
    } else {
        entry.value = std::to_wstring(ini::LittleEndian32(plain));
    }
    entry.decoded = true;
    entry.type = type;
}

bool CObfuscatedIniReader::GetString(const std::wstring& dottedName, std::wstring& value) {
    std::wstring section, key;
    if (!SplitDotted(dottedName, section, key)) {
        return false;
    }
    auto foundSection = sections_.find(section);
    if (foundSection == sections_.end()) {
        return false;
    }
    auto foundKey = foundSection->second.find(key);
    if (foundKey == foundSection->second.end() ||
        (scrambledOnly_ && !foundKey->second.decoded)) {
        return false;
    }
    value = foundKey->second.value;
    return true;
}

bool CObfuscatedIniReader::GetInt(const std::wstring& dottedName, int& value) {
    std::wstring text;
    if (!GetString(dottedName, text)) {
        return false;
    }
    value = ini::ParseDecimal(text);
    return true;
}

bool CObfuscatedIniReader::GetSection(const std::wstring& section, IniSectionMap& values) {
    auto found = sections_.find(section);
    if (found == sections_.end()) {
        return false;
    }
    for (const auto& [key, entry] : found->second) {
        values[key] = entry.value;
    }
    return true;
}

bool CObfuscatedIniReader::WritePair(const std::wstring& section, const std::wstring& key,
                                     DWORD type, const std::string& plain) {
    // Without a file name the profile functions would write to win.ini.
    if (fileName_.empty() || plain.empty() || plain.size() > UINT_MAX) {
        return false;
    }
    std::vector<std::uint8_t> header, data;
    if (!scrambled::BuildIniValue(type, reinterpret_cast<const std::uint8_t*>(plain.data()),
                                  plain.size(), header, data)) {
        return false;
    }
    const std::wstring headerKey = L"_" + key;
    return WritePrivateProfileStructW(section.c_str(), headerKey.c_str(), header.data(),
                                      static_cast<UINT>(header.size()), fileName_.c_str()) &&
           WritePrivateProfileStructW(section.c_str(), key.c_str(), data.data(),
                                      static_cast<UINT>(data.size()), fileName_.c_str());
}

bool CObfuscatedIniReader::SetString(const std::wstring& section, const std::wstring& key,
                                     const std::wstring& text) {
    std::string ansi;
    if (!ToAnsi(text, ansi) || !WritePair(section, key, scrambled::kIniTypeText, ansi)) {
        return false;
    }
    Entry& entry = sections_[section][key];
    entry.value = text;
    entry.decoded = true;
    entry.type = scrambled::kIniTypeText;
    return true;
}

bool CObfuscatedIniReader::SetInt(const std::wstring& section, const std::wstring& key,
                                  int value) {
    const std::uint32_t bits = static_cast<std::uint32_t>(value);
    const std::string plain = {static_cast<char>(bits & 0xFF), static_cast<char>((bits >> 8) & 0xFF),
                               static_cast<char>((bits >> 16) & 0xFF),
                               static_cast<char>((bits >> 24) & 0xFF)};
    if (!WritePair(section, key, scrambled::kIniTypeInteger, plain)) {
        return false;
    }
    Entry& entry = sections_[section][key];
    entry.value = std::to_wstring(value);
    entry.decoded = true;
    entry.type = scrambled::kIniTypeInteger;
    return true;
}

}  // namespace Kelmora
