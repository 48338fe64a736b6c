#include "platform/trust/TrustedListFile.h"

#include <cwctype>

namespace Tessil {
namespace {

constexpr std::string_view kSignatureStart = "// SIG //";

std::string_view TrimSpacesAndTabs(std::string_view s) {
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool TwoDigits(const std::uint8_t* p, int& value) {
    if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9') return false;
    value = (p[0] - '0') * 10 + (p[1] - '0');
    return true;
}

}  // namespace

std::optional<TrustedListSections> ParseTrustedListSections(std::string_view text) {
    TrustedListSections sections;
    std::vector<std::string>* current = nullptr;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        line = TrimSpacesAndTabs(line);
        if (line.empty()) continue;
        if (StartsWith(line, kSignatureStart)) break;
        if (StartsWith(line, "/*") || StartsWith(line, "//") || StartsWith(line, "*/")) continue;
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            std::string_view name = TrimSpacesAndTabs(line.substr(1, line.size() - 2));
            if (name.empty()) return std::nullopt;
            current = &sections[std::string(name)];
            continue;
        }
        if (current) current->emplace_back(line);
    }
    return sections;
}

std::optional<std::uint32_t> ParseListVersion(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<Thumbprint> ParseThumbprint(std::string_view hex) {
    Thumbprint out{};
    if (hex.size() != out.size() * 2) return std::nullopt;
    for (std::size_t i = 0; i < out.size(); ++i) {
        int high = HexValue(hex[2 * i]);
        int low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return out;
}

std::wstring WidenListText(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (char c : text) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return out;
}

std::optional<TrustedList> TrustedListFromSections(const TrustedListSections& sections) {
    TrustedList list;
    auto ver = sections.find("VER");
    if (ver == sections.end() || ver->second.size() != 1) return std::nullopt;
    auto version = ParseListVersion(ver->second.front());
    if (!version) return std::nullopt;
    list.version = *version;

    if (auto org = sections.find("ORG"); org != sections.end())
        for (const auto& name : org->second) list.names.push_back(WidenListText(name));
    if (auto ser = sections.find("SER"); ser != sections.end())
        for (const auto& serial : ser->second) list.serials.push_back(WidenListText(serial));
    if (auto sha = sections.find("SHA"); sha != sections.end()) {
        for (const auto& entry : sha->second) {
            auto thumbprint = ParseThumbprint(entry);
            if (!thumbprint) return std::nullopt;
            list.thumbprints.push_back(*thumbprint);
        }
    }
    return list;
}

std::optional<TrustedList> ParseTrustedList(std::string_view text) {
    auto sections = ParseTrustedListSections(text);
    if (!sections) return std::nullopt;
    return TrustedListFromSections(*sections);
}

std::wstring SerialNumberToHex(const std::uint8_t* littleEndian, std::size_t size) {
    static constexpr wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring out;
    out.reserve(size * 2);
    for (std::size_t i = size; i > 0; --i) {
        out.push_back(kDigits[littleEndian[i - 1] >> 4]);
        out.push_back(kDigits[littleEndian[i - 1] & 0xF]);
    }
    return out;
}

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && std::towlower(static_cast<wint_t>(a[i])) !=
                                std::towlower(static_cast<wint_t>(b[i])))
            return false;
    }
    return true;
}

std::optional<UtcDateTime> ParseEncodedUtcTime(const std::uint8_t* data, std::size_t size) {
    constexpr std::uint8_t kUtcTimeTag = 0x17;
    if (!data || size != 15 || data[0] != kUtcTimeTag || data[1] != 13 || data[14] != 'Z')
        return std::nullopt;
    int parts[6];
    for (int i = 0; i < 6; ++i)
        if (!TwoDigits(data + 2 + 2 * i, parts[i])) return std::nullopt;
    UtcDateTime t{parts[0] < 70 ? 2000 + parts[0] : 1900 + parts[0], parts[1], parts[2],
                  parts[3], parts[4], parts[5]};
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 ||
        t.minute > 59 || t.second > 59)
        return std::nullopt;
    return t;
}

}  // namespace Tessil
