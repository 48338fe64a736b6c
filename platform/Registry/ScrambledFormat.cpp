#include "platform/Registry/ScrambledFormat.h"

#include "platform/Registry/MD5.h"
#include "platform/Registry/ValueScrambler.h"

#include <cstring>
#include <new>

namespace Kelmora::scrambled {

namespace {

void PutU32(std::uint8_t* at, std::uint32_t value) {
    for (int k = 0; k < 4; ++k) {
        at[k] = static_cast<std::uint8_t>(value >> (8 * k));
    }
}

std::uint32_t GetU32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
           (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
}

}  // namespace

unsigned long BuildRegistryBlob(std::uint32_t type, const std::uint8_t* payload, std::size_t n,
                                std::vector<std::uint8_t>& blob) {
    if (payload == nullptr || n == 0 || n > 0xFFFFFFFFu - kRegistryHeaderSize) {
        return kInvalidParameter;
    }
    try {
        blob.assign(n + kRegistryHeaderSize, 0);
    } catch (const std::bad_alloc&) {
        return kNotEnoughMemory;
    }
    CValueScrambler scrambler(kRegistryScrambleKey, kScrambleKeyLength, 1);
    if (!scrambler.Scramble(payload, blob.data() + kRegistryHeaderSize, n)) {
        return kScrambleFailed;
    }
    std::memcpy(blob.data(), kMagic, 4);
    PutU32(blob.data() + 4, kVersion);
    PutU32(blob.data() + 8, static_cast<std::uint32_t>(n));
    PutU32(blob.data() + 12, type);
    std::uint8_t digest[kMD5DigestSize];
    if (ComputeMD5(blob.data(), blob.size(), digest, kMD5DigestSize) != 0) {
        return kScrambleFailed;
    }
    std::memcpy(blob.data() + kRegistryDigestOffset, digest, kMD5DigestSize);
    return kSuccess;
}

unsigned long CheckRegistryBlob(const std::uint8_t* blob, std::size_t size, std::uint32_t& type,
                                std::uint32_t& n) {
    if (blob == nullptr || size < kRegistryHeaderSize) {
        return kInvalidData;
    }
    std::vector<std::uint8_t> copy;
    try {
        copy.assign(blob, blob + size);
    } catch (const std::bad_alloc&) {
        return kNotEnoughMemory;
    }
    std::memset(copy.data() + kRegistryDigestOffset, 0, kMD5DigestSize);
    if (VerifyMD5(copy.data(), copy.size(), blob + kRegistryDigestOffset, kMD5DigestSize) != 0) {
        return kInvalidData;
    }
    const std::uint64_t stored = GetU32(blob + 8);
    if (stored + kRegistryHeaderSize != size || std::memcmp(blob, kMagic, 4) != 0) {
        return kInvalidData;
    }
    type = GetU32(blob + 12);
    n = static_cast<std::uint32_t>(stored);
    return kSuccess;
}

unsigned long UnscrambleRegistryPayload(const std::uint8_t* blob, std::size_t size,
                                        std::uint8_t* out) {
    if (blob == nullptr || out == nullptr || size <= kRegistryHeaderSize) {
        return kUnscrambleFailed;
    }
    CValueScrambler scrambler(kRegistryScrambleKey, kScrambleKeyLength, 1);
    return scrambler.Unscramble(blob + kRegistryHeaderSize, out, size - kRegistryHeaderSize)
               ? kSuccess
               : kUnscrambleFailed;
}

bool BuildIniValue(std::uint32_t type, const std::uint8_t* plain, std::size_t n,
                   std::vector<std::uint8_t>& header, std::vector<std::uint8_t>& data) {
    if (plain == nullptr || n == 0 || n > 0xFFFFFFFFu) {
        return false;
    }
    data.assign(n, 0);
    CValueScrambler scrambler(kIniScrambleKey, kScrambleKeyLength, 1);
    if (!scrambler.Scramble(plain, data.data(), n)) {
        return false;
    }
    header.assign(kIniHeaderSize, 0);
    std::memcpy(header.data(), kMagic, 4);
    PutU32(header.data() + 4, kVersion);
    PutU32(header.data() + 8, static_cast<std::uint32_t>(n));
    PutU32(header.data() + 12, type);
    PutU32(header.data() + 16, 1);
    return ComputeMD5(data.data(), n, header.data() + 20, kMD5DigestSize) == 0;
}

std::wstring ToProfileHex(const std::uint8_t* bytes, std::size_t n) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    text.reserve(2 * n + 2);
    std::uint8_t sum = 0;
    for (std::size_t k = 0; k < n; ++k) {
        text += kDigits[bytes[k] >> 4];
        text += kDigits[bytes[k] & 0xF];
        sum = static_cast<std::uint8_t>(sum + bytes[k]);
    }
    text += kDigits[sum >> 4];
    text += kDigits[sum & 0xF];
    return text;
}

bool ReadHexBytes(const std::wstring& text, std::size_t count, std::uint8_t* out) {
    if (count > text.size() / 2) {
        return false;
    }
    for (std::size_t k = 0; k < count; ++k) {
        const int high = HexDigit(text[2 * k]);
        const int low = HexDigit(text[2 * k + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out[k] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

bool DecodeIniValue(const std::wstring& headerText, const std::wstring& dataText,
                    std::uint32_t& type, std::vector<std::uint8_t>& plain) {
    std::uint8_t header[kIniHeaderSize];
    if (!ReadHexBytes(headerText, kIniHeaderSize, header)) {
        return false;
    }
    if (std::memcmp(header, kMagic, 4) != 0 || GetU32(header + 4) != kVersion ||
        GetU32(header + 16) == 0) {
        return false;
    }
    const std::uint32_t storedType = GetU32(header + 12);
    const std::uint32_t length = GetU32(header + 8);
    std::size_t n = 0;
    if (storedType == kIniTypeText) {
        // The data text carries two checksum digits after the bytes.
        n = dataText.empty() ? 0 : (dataText.size() - 1) / 2;
    } else if (storedType == kIniTypeInteger) {
        n = 4;
    } else {
        return false;
    }
    // A data text shorter than the header says is refused here.
    if (n == 0 || n != length) {
        return false;
    }
    std::vector<std::uint8_t> data(n);
    if (!ReadHexBytes(dataText, n, data.data()) ||
        VerifyMD5(data.data(), n, header + 20, kMD5DigestSize) != 0) {
        return false;
    }
    plain.assign(n, 0);
    CValueScrambler scrambler(kIniScrambleKey, kScrambleKeyLength, 1);
    if (!scrambler.Unscramble(data.data(), plain.data(), n)) {
        return false;
    }
    type = storedType;
    return true;
}

}  // namespace Kelmora::scrambled
