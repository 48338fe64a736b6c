// The text rules of the ini readers, Win32-free: one line's kind, the
// scrambled header entry, decimals as wtol reads them, and the scrambled
// integer in a section listing as the profile functions give it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Kelmora::ini {

// White space removed at both ends.
std::wstring Trim(const std::wstring& text);

struct Line {
    enum Kind { kNothing, kSection, kValue } kind = kNothing;
    std::wstring section;  // kSection: the name, never empty
    std::wstring key;      // kValue: trimmed
    std::wstring value;    // kValue: trimmed
};

// One line of a file, already converted to UTF-16: comments, blank lines,
// lines without "=" and "[]" are nothing.
Line ParseLine(const std::wstring& text);

// "_" + key with 74 characters starting "43565247": the header of a pair.
bool IsHeaderEntry(const std::wstring& key, const std::wstring& value);

// Decimal the way wtol reads it: white space, a sign, digits; 0 when none;
// saturated at the int limits.
int ParseDecimal(const std::wstring& text);

// The four bytes of an integer value, little-endian (at least 4 given).
std::int32_t LittleEndian32(const std::vector<std::uint8_t>& bytes);

// The scrambled integer of the pair named key in a section listing
// ("key=value" entries, each ended by a NUL, as GetPrivateProfileSection
// answers), names matched without regard to letter case, the first entry of
// a name winning. False when the pair is missing or does not decode.
bool FindScrambledIntInSection(const wchar_t* entries, std::size_t chars, const std::wstring& key,
                               int& value);

}  // namespace Kelmora::ini
