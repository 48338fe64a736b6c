#include "platform/Registry/IniText.h"

#include "platform/Registry/ScrambledFormat.h"

#include <climits>
#include <cwchar>
#include <cwctype>
#include <optional>

namespace Kelmora::ini {

namespace {

bool EqualsIgnoringCase(const wchar_t* a, std::size_t length, const std::wstring& b) {
    if (length != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (std::towupper(a[i]) != std::towupper(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::wstring Trim(const std::wstring& text) {
    std::size_t end = text.size();
    while (end > 0 && std::iswspace(text[end - 1])) --end;
    std::size_t begin = 0;
    while (begin < end && std::iswspace(text[begin])) ++begin;
    return text.substr(begin, end - begin);
}

// Decimal the way wtol reads it: white space, a sign, digits; 0 when none.
int ParseDecimal(const std::wstring& text) {
    std::size_t at = 0;
    while (at < text.size() && std::iswspace(text[at])) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == L'+' || text[at] == L'-')) {
        negative = text[at] == L'-';
        ++at;
    }
    long long value = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
        if (value <= static_cast<long long>(INT_MAX) + 1) {
            value = value * 10 + (text[at] - L'0');
        }
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

std::int32_t LittleEndian32(const std::vector<std::uint8_t>& bytes) {
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
        (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24));
}

Line ParseLine(const std::wstring& line) {
    Line parsed;
    const std::wstring text = Trim(line);
    if (text.empty() || text[0] == L';') {
        return parsed;
    }
    if (text[0] == L'[' && text.back() == L']' && text.size() >= 2) {
        if (text.size() > 2) {
            parsed.kind = Line::kSection;
            parsed.section = text.substr(1, text.size() - 2);
        }
        return parsed;
    }
    const std::size_t equals = text.find(L'=');
    if (equals == std::wstring::npos) {
        return parsed;
    }
    parsed.kind = Line::kValue;
    parsed.key = Trim(text.substr(0, equals));
    parsed.value = Trim(text.substr(equals + 1));
    return parsed;
}

bool IsHeaderEntry(const std::wstring& key, const std::wstring& value) {
    return !key.empty() && key[0] == L'_' && value.size() == scrambled::kIniHeaderTextLength &&
           value.compare(0, 8, L"43565247") == 0;
}

bool FindScrambledIntInSection(const wchar_t* entries, std::size_t chars, const std::wstring& key,
                               int& value) {
    if (entries == nullptr) {
        return false;
    }
    const std::wstring headerKey = L"_" + key;
    std::optional<std::wstring> header, data;
    for (std::size_t at = 0; at < chars && entries[at] != L'\0';) {
        const std::size_t length = wcsnlen(entries + at, chars - at);
        const std::wstring entry(entries + at, length);
        at += length + 1;
        const std::size_t equals = entry.find(L'=');
        if (equals == std::wstring::npos) {
            continue;
        }
        const std::wstring name = Trim(entry.substr(0, equals));
        if (!header && EqualsIgnoringCase(name.data(), name.size(), headerKey)) {
            header = Trim(entry.substr(equals + 1));
        } else if (!data && EqualsIgnoringCase(name.data(), name.size(), key)) {
            data = Trim(entry.substr(equals + 1));
        }
    }
    if (!header || !data || !IsHeaderEntry(headerKey, *header)) {
        return false;
    }
    std::uint32_t type = 0;
    std::vector<std::uint8_t> plain;
    if (!scrambled::DecodeIniValue(*header, *data, type, plain) ||
        type != scrambled::kIniTypeInteger || plain.size() < 4) {
        return false;
    }
    value = LittleEndian32(plain);
    return true;
}

}  // namespace Kelmora::ini
