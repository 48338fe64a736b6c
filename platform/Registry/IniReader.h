// Ini readers: Kelmora::CBaseIniReader parses a private-profile
// file line by line; Kelmora::CObfuscatedIniReader keeps only values stored
// scrambled as a "_key" header entry and a "key" data entry.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <unordered_map>

namespace Kelmora {

using IniSectionMap = std::unordered_map<std::wstring, std::wstring>;

class CBaseIniReader {
public:
    CBaseIniReader() = default;
    CBaseIniReader(const CBaseIniReader&) = delete;
    CBaseIniReader& operator=(const CBaseIniReader&) = delete;

    virtual ~CBaseIniReader() = default;                                             // 0
    // False for an empty name; a missing file keeps the name (the setters
    // create the file), a file that cannot be opened otherwise clears it.
    virtual bool Load(const std::wstring& fileName);                                 // 1
    virtual bool GetInt(const std::wstring& section, const std::wstring& key, int& value);  // 2
    virtual bool GetString(const std::wstring& section, const std::wstring& key,
                           std::wstring& value);                                     // 3
    virtual bool GetInt(const std::wstring& dottedName, int& value) = 0;             // 4
    virtual bool GetString(const std::wstring& dottedName, std::wstring& value) = 0;  // 5
    virtual bool GetSection(const std::wstring& section, IniSectionMap& values) = 0;  // 6
    virtual bool SetInt(const std::wstring& section, const std::wstring& key, int value);  // 7
    virtual bool SetString(const std::wstring& section, const std::wstring& key,
                           const std::wstring& text);                                // 8
    virtual bool AddValue(const std::wstring& section, const std::wstring& key,
                          const std::wstring& value, bool replace) = 0;              // 9
    virtual void ParseLine(const char* line);                                        // 10

    const std::wstring& FileName() const { return fileName_; }

protected:
    std::wstring fileName_;
    std::wstring currentSection_;
};

class CObfuscatedIniReader : public CBaseIniReader {
public:
    struct Entry {
        std::wstring value;
        bool decoded = false;
        DWORD type = 1;  // 1 text, 4 integer
    };

    CObfuscatedIniReader() = default;

    bool Load(const std::wstring& fileName) override;
    using CBaseIniReader::GetInt;
    using CBaseIniReader::GetString;
    // Only decoded (scrambled) entries are answered.
    bool GetInt(const std::wstring& dottedName, int& value) override;
    bool GetString(const std::wstring& dottedName, std::wstring& value) override;
    // Every entry of the section, decoded or not.
    bool GetSection(const std::wstring& section, IniSectionMap& values) override;
    // Write the pair scrambled into the file, then update the entry.
    bool SetInt(const std::wstring& section, const std::wstring& key, int value) override;
    bool SetString(const std::wstring& section, const std::wstring& key,
                   const std::wstring& text) override;
    bool AddValue(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                  bool replace) override;

private:
    void DecodePair(const std::wstring& dottedName, const std::wstring& headerText);
    bool WritePair(const std::wstring& section, const std::wstring& key, DWORD type,
                   const std::string& plain);

    std::unordered_map<std::wstring, std::unordered_map<std::wstring, Entry>> sections_;
    std::unordered_map<std::wstring, std::wstring> pendingHeaders_;  // "section.key" -> header
    const bool scrambledOnly_ = true;
};

// A scrambled integer read the way the profile functions that write it find
// it: section and key names without regard to letter case, a byte-order mark
// tolerated, the first entry of a name wins. False when the file, the pair
// or its integer is missing or does not decode.
bool ReadProfileScrambledInt(const std::wstring& fileName, const std::wstring& section,
                             const std::wstring& key, int& value);

}  // namespace Kelmora
