// Scrambled ini values: the header text and the data text of a key. The first
// byte picks the mode:
//   'T' + header text + NUL + data text: decoded as read from the file;
//   'V' + flags + type + bytes: a pair written with correct digests from the
//       bytes (flag bits: 1 lower-case hex, 2 data text cut by flags >> 4
//       digits, 4 stored length off by one, 8 header flag 0), then decoded.
#include "platform/Registry/MD5.h"
#include "platform/Registry/ScrambledFormat.h"
#include "tests/native/fuzz/FuzzInput.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <vector>

namespace sc = Kelmora::scrambled;

namespace {

void PutU32(std::uint8_t* at, std::uint32_t value) {
    for (int k = 0; k < 4; ++k) at[k] = static_cast<std::uint8_t>(value >> (8 * k));
}

// Decodes the pair; when it decodes, the plain bytes scramble back to the
// data bytes the texts hold, under the same digest and type.
bool Decode(const std::wstring& headerText, const std::wstring& dataText) {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> plain;
    if (!sc::DecodeIniValue(headerText, dataText, type, plain)) return false;
    FUZZ_CHECK(type == sc::kIniTypeText || type == sc::kIniTypeInteger);
    FUZZ_CHECK(!plain.empty());
    if (type == sc::kIniTypeInteger) FUZZ_CHECK(plain.size() == 4);

    std::uint8_t header[sc::kIniHeaderSize];
    FUZZ_CHECK(sc::ReadHexBytes(headerText, sc::kIniHeaderSize, header));
    std::vector<std::uint8_t> stored(plain.size());
    FUZZ_CHECK(sc::ReadHexBytes(dataText, stored.size(), stored.data()));

    std::vector<std::uint8_t> builtHeader;
    std::vector<std::uint8_t> builtData;
    FUZZ_CHECK(sc::BuildIniValue(type, plain.data(), plain.size(), builtHeader, builtData));
    FUZZ_CHECK(builtData == stored);
    FUZZ_CHECK(builtHeader.size() == sc::kIniHeaderSize);
    FUZZ_CHECK(std::memcmp(builtHeader.data(), header, 16) == 0);
    FUZZ_CHECK(std::memcmp(builtHeader.data() + 20, header + 20, 16) == 0);
    return true;
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return text;
}

void WrittenPair(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return;
    const std::uint8_t flags = data[0];
    const std::uint32_t type = data[1] % 3 == 0 ? sc::kIniTypeText
                               : data[1] % 3 == 1 ? sc::kIniTypeInteger
                                                  : data[1];
    const std::vector<std::uint8_t> bytes(data + 2, data + size);

    std::uint8_t header[sc::kIniHeaderSize] = {};
    std::memcpy(header, sc::kMagic, 4);
    PutU32(header + 4, sc::kVersion);
    const std::uint32_t length = static_cast<std::uint32_t>(bytes.size()) + ((flags & 4) ? 1 : 0);
    PutU32(header + 8, length);
    PutU32(header + 12, type);
    PutU32(header + 16, (flags & 8) ? 0 : 1);
    const std::size_t digested = type == sc::kIniTypeInteger ? 4 : bytes.size();
    if (digested == 0 || digested > bytes.size()) return;
    FUZZ_CHECK(Kelmora::ComputeMD5(bytes.data(), digested, header + 20, 16) == 0);

    std::wstring headerText = sc::ToProfileHex(header, sizeof header);
    FUZZ_CHECK(headerText.size() == sc::kIniHeaderTextLength);
    std::wstring dataText = sc::ToProfileHex(bytes.data(), bytes.size());
    if (flags & 1) {
        headerText = Lower(headerText);
        dataText = Lower(dataText);
    }
    if (flags & 2) dataText.resize(dataText.size() - std::min<std::size_t>(flags >> 4, dataText.size()));

    const bool decoded = Decode(headerText, dataText);
    const std::size_t textBytes = dataText.empty() ? 0 : (dataText.size() - 1) / 2;
    bool expected = !(flags & 8);
    if (type == sc::kIniTypeText) {
        expected = expected && textBytes == length && dataText.size() >= 2 * bytes.size();
    } else if (type == sc::kIniTypeInteger) {
        expected = expected && length == 4 && dataText.size() >= 8;
    } else {
        expected = false;
    }
    FUZZ_CHECK(decoded == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[0];
    if (mode == 'T') {
        const auto pieces = fuzz::SplitAtNul(data + 1, size - 1);
        const std::wstring headerText = fuzz::WideFromBytes(pieces[0]);
        const std::wstring dataText = pieces.size() > 1 ? fuzz::WideFromBytes(pieces[1]) : L"";
        Decode(headerText, dataText);
    } else if (mode == 'V') {
        WrittenPair(data + 1, size - 1);
    }
    return 0;
}
