// The ini readers' text rules. The first byte picks the mode:
//   'F' + a log.ini file: its lines (cut as the reader reads them, 1023
//       bytes at most) through the line rule into sections with the
//       reader's own rules, every pending pair decoded, and the "Config"
//       section listed as the profile functions list it and searched for
//       "LastLogIdx";
//   'P' + flags + 4 value bytes + listing: a written integer pair named
//       "LastLogIdx" (its names in the case the flags pick) first in a
//       listing, then the fuzz entries: the search finds the written value.
#include "platform/Registry/IniText.h"
#include "platform/Registry/ScrambledFormat.h"
#include "tests/native/fuzz/FuzzInput.h"

#include <cwctype>
#include <map>
#include <vector>

namespace sc = Kelmora::scrambled;
namespace ini = Kelmora::ini;

namespace {

bool IsTrimmed(const std::wstring& text) {
    return text.empty() || (!std::iswspace(static_cast<wint_t>(text.front())) &&
                            !std::iswspace(static_cast<wint_t>(text.back())));
}

void FileMode(const std::uint8_t* data, std::size_t size) {
    std::map<std::wstring, std::map<std::wstring, std::wstring>> sections;
    std::map<std::pair<std::wstring, std::wstring>, std::wstring> headers;
    std::wstring listing;  // the "Config" entries, each ended by a NUL
    std::wstring current;
    std::size_t at = 0;
    while (at < size) {
        std::size_t end = at;
        while (end < size && end - at < 1023 && data[end] != '\n') ++end;
        if (end < size && data[end] == '\n' && end - at < 1023) ++end;
        std::wstring text(data + at, data + end);  // one unit a byte
        at = end;
        const ini::Line line = ini::ParseLine(text);
        if (line.kind == ini::Line::kSection) {
            FUZZ_CHECK(!line.section.empty());
            current = line.section;
        } else if (line.kind == ini::Line::kValue) {
            FUZZ_CHECK(IsTrimmed(line.key) && IsTrimmed(line.value));
            FUZZ_CHECK(line.key.find(L'=') == std::wstring::npos);
            if (current == L"Config" && line.value.find(L'\0') == std::wstring::npos &&
                line.key.find(L'\0') == std::wstring::npos) {
                listing += line.key + L"=" + line.value + L'\0';
            }
            if (ini::IsHeaderEntry(line.key, line.value)) {
                headers[{current, line.key.substr(1)}] = line.value;
            } else {
                sections[current].emplace(line.key, line.value);
            }
            const int number = ini::ParseDecimal(line.value);
            FUZZ_CHECK(ini::ParseDecimal(std::to_wstring(number)) == number);
        } else {
            FUZZ_CHECK(line.section.empty() && line.key.empty() && line.value.empty());
        }
    }
    for (const auto& [name, header] : headers) {
        auto section = sections.find(name.first);
        if (section == sections.end()) continue;
        auto entry = section->second.find(name.second);
        if (entry == section->second.end()) continue;
        std::uint32_t type = 0;
        std::vector<std::uint8_t> plain;
        if (sc::DecodeIniValue(header, entry->second, type, plain) && type == sc::kIniTypeInteger) {
            FUZZ_CHECK(plain.size() >= 4);
            (void)ini::LittleEndian32(plain);
        }
    }
    int value = 0;
    listing += L'\0';
    (void)ini::FindScrambledIntInSection(listing.data(), listing.size(), L"LastLogIdx", value);
}

void PairMode(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return;
    const std::uint8_t flags = data[0];
    const std::uint8_t plain[4] = {data[1], data[2], data[3], data[4]};
    std::vector<std::uint8_t> header, scrambled;
    FUZZ_CHECK(sc::BuildIniValue(sc::kIniTypeInteger, plain, 4, header, scrambled));
    std::wstring key = L"LastLogIdx";
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (flags & (1u << (i % 8))) key[i] = static_cast<wchar_t>(std::towupper(key[i]));
        else key[i] = static_cast<wchar_t>(std::towlower(key[i]));
    }
    std::wstring listing = L"_" + key + L"=" + sc::ToProfileHex(header.data(), header.size()) + L'\0' + key +
                           L"=" + sc::ToProfileHex(scrambled.data(), scrambled.size()) + L'\0';
    for (wchar_t c : fuzz::WideFromBytes(data + 5, size - 5)) listing += c;
    listing += L'\0';
    int value = 0;
    FUZZ_CHECK(ini::FindScrambledIntInSection(listing.data(), listing.size(), L"LastLogIdx", value));
    FUZZ_CHECK(value == ini::LittleEndian32({plain[0], plain[1], plain[2], plain[3]}));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if (data[0] == 'F') {
        FileMode(data + 1, size - 1);
    } else if (data[0] == 'P') {
        PairMode(data + 1, size - 1);
    }
    return 0;
}
