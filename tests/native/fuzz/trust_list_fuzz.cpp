// The signer-list file text: a list that parses, written out again as list
// text, parses to the same list. Also the small parsers beside it and the
// time-stamp token's parts.
#include "platform/trust/TimeStampToken.h"
#include "platform/trust/TrustedListFile.h"
#include "tests/native/fuzz/FuzzInput.h"

#include <algorithm>
#include <string>
#include <string_view>

using namespace Tessil;

namespace {

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        FUZZ_CHECK(static_cast<std::uint32_t>(c) <= 0xFF);  // widened one byte a character
        out.push_back(static_cast<char>(c));
    }
    return out;
}

// Line ends of "\r\n": an entry that itself ends in '\r' keeps it.
std::string ListText(const TrustedList& list) {
    static const char kHex[] = "0123456789abcdef";
    std::string text = "[VER]\r\n" + std::to_string(list.version) + "\r\n[ORG]\r\n";
    for (const auto& name : list.names) text += Narrow(name) + "\r\n";
    text += "[SER]\r\n";
    for (const auto& serial : list.serials) text += Narrow(serial) + "\r\n";
    text += "[SHA]\r\n";
    for (const auto& thumbprint : list.thumbprints) {
        for (std::uint8_t b : thumbprint) {
            text += kHex[b >> 4];
            text += kHex[b & 0xF];
        }
        text += "\r\n";
    }
    return text;
}

bool Same(const TrustedList& a, const TrustedList& b) {
    return a.version == b.version && a.names == b.names && a.serials == b.serials &&
           a.thumbprints == b.thumbprints;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto list = ParseTrustedList(text)) {
        const auto again = ParseTrustedList(ListText(*list));
        FUZZ_CHECK(again.has_value());
        FUZZ_CHECK(Same(*list, *again));
    }

    if (const auto version = ParseListVersion(text)) {
        FUZZ_CHECK(std::to_string(*version).size() <= size);
    }
    if (const auto thumbprint = ParseThumbprint(text)) {
        FUZZ_CHECK(size == 40);
    }

    const std::wstring hex = SerialNumberToHex(data, size);
    FUZZ_CHECK(hex.size() == 2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        const auto digit = [](wchar_t c) { return c <= L'9' ? c - L'0' : c - L'a' + 10; };
        const int byte = digit(hex[2 * i]) * 16 + digit(hex[2 * i + 1]);
        FUZZ_CHECK(byte == data[size - 1 - i]);  // most significant byte first
    }

    const std::wstring wide = WidenListText(text);
    FUZZ_CHECK(EqualsIgnoringCase(wide, wide));
    const std::wstring other = fuzz::WideFromBytes(data, size);
    FUZZ_CHECK(EqualsIgnoringCase(wide, other) == EqualsIgnoringCase(other, wide));

    if (const auto time = ParseEncodedUtcTime(data, size)) {
        FUZZ_CHECK(size == 15);
        FUZZ_CHECK(time->year >= 1970 && time->year <= 2069);
        FUZZ_CHECK(time->month >= 1 && time->month <= 12 && time->day >= 1 && time->day <= 31);
    }

    if (const auto imprint = ParseTstInfoImprint(data, size)) {
        FUZZ_CHECK(imprint->digest.size() < size);
        FUZZ_CHECK(!imprint->hashAlgorithm.empty());
    }
    if (const auto attributes = SignedAttributesOfSignerInfo(data, size)) {
        FUZZ_CHECK(attributes->size() >= 2 && attributes->size() < size);
        FUZZ_CHECK((*attributes)[0] == 0x31);
    }
    if (const auto octets = ParseDerOctetString(data, size)) {
        FUZZ_CHECK(octets->size() + 2 <= size);
        FUZZ_CHECK(std::equal(octets->begin(), octets->end(), data + size - octets->size()));
    }
    return 0;
}
