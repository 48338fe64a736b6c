// The scrambled formats against fixed byte vectors derived by
// hand from the format's description (testing/derive_vectors.py shows each derivation), so a
// mistake that scrambling and unscrambling share cannot hide in a round trip.
#include "platform/Registry/MD5.h"
#include "platform/Registry/ScrambledFormat.h"
#include "platform/Registry/ValueScrambler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace sc = Kelmora::scrambled;

std::string Hex(const std::uint8_t* bytes, std::size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t k = 0; k < n; ++k) {
        out += kDigits[bytes[k] >> 4];
        out += kDigits[bytes[k] & 15];
    }
    return out;
}

struct DigestCase {
    std::string input;
    const char* md5;
};

TEST(MD5Test, Rfc1321Vectors) {
    const DigestCase cases[] = {
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        // Not from the RFC's suite: leading NULs, so the length counts and not the text.
        {std::string(8, 0) + "1234567890123456789012345678901234567890123456789012345678901234567890"
                             "1234567890",
         "f9d066d0acf60a76dea70a4cab3c89cb"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const DigestCase& c : cases) {
        std::uint8_t digest[16];
        ASSERT_EQ(0, Kelmora::ComputeMD5(c.input.data(), c.input.size(), digest, 16)) << c.input;
        EXPECT_EQ(c.md5, Hex(digest, 16)) << c.input;
        EXPECT_EQ(0, Kelmora::VerifyMD5(c.input.data(), c.input.size(), digest, 16));
        digest[15] ^= 1;
        EXPECT_EQ(-1, Kelmora::VerifyMD5(c.input.data(), c.input.size(), digest, 16));
    }
}

TEST(MD5Test, BadArguments) {
    std::uint8_t digest[16];
    EXPECT_EQ(-1, Kelmora::ComputeMD5(nullptr, 1, digest, 16));
    EXPECT_EQ(-1, Kelmora::ComputeMD5("a", 0, digest, 16));
    EXPECT_EQ(-1, Kelmora::ComputeMD5("a", 1, nullptr, 16));
    EXPECT_EQ(-1, Kelmora::ComputeMD5("a", 1, digest, 15));
    EXPECT_EQ(-1, Kelmora::VerifyMD5("a", 1, nullptr, 16));
}

TEST(ValueScramblerTest, FixedKeystreamVectors) {
    struct Case {
        const char* key;
        int keyLength;
        unsigned rounds;
        Bytes plain;
        Bytes scrambled;
    };
    const Case cases[] = {
        // No key: the default key.
        {nullptr, 0, 1, Bytes(8, 0), {0x93, 0xF4, 0x85, 0x0F, 0xD2, 0xE7, 0x09, 0x73}},
        {Kelmora::kDefaultScrambleKey, 38, 0, Bytes(8, 0),
         {0x93, 0xF4, 0x85, 0x0F, 0xD2, 0xE7, 0x09, 0x73}},
        // One changed byte changes that byte and every later one.
        {nullptr, -3, 1, {1, 0, 0, 0, 0, 0, 0, 0}, {0x94, 0xF3, 0x86, 0x10, 0xD1, 0xE6, 0x0A, 0x74}},
        {Kelmora::kRegistryScrambleKey, 38, 3, {'a', 'b', 'c'}, {0x0A, 0xDE, 0xB2}},
    };
    for (const Case& c : cases) {
        Bytes out(c.plain.size());
        Kelmora::CValueScrambler scrambler(c.key, c.keyLength, c.rounds);
        ASSERT_TRUE(scrambler.Scramble(c.plain.data(), out.data(), out.size()));
        EXPECT_EQ(c.scrambled, out);
        Bytes back(out.size());
        Kelmora::CValueScrambler unscrambler(c.key, c.keyLength, c.rounds);
        ASSERT_TRUE(unscrambler.Unscramble(out.data(), back.data(), back.size()));
        EXPECT_EQ(c.plain, back);
    }
}

TEST(ValueScramblerTest, RoundTripsForSeveralRoundsAndRefusesBadArguments) {
    Bytes plain(300);
    for (std::size_t k = 0; k < plain.size(); ++k) plain[k] = static_cast<std::uint8_t>(k * 7);
    for (unsigned rounds = 1; rounds <= 4; ++rounds) {
        Bytes out(plain.size()), back(plain.size());
        Kelmora::CValueScrambler a(Kelmora::kIniScrambleKey, 38, rounds);
        Kelmora::CValueScrambler b(Kelmora::kIniScrambleKey, 38, rounds);
        ASSERT_TRUE(a.Scramble(plain.data(), out.data(), out.size()));
        ASSERT_TRUE(b.Unscramble(out.data(), back.data(), back.size()));
        EXPECT_EQ(plain, back) << rounds;
    }
    Kelmora::CValueScrambler s(nullptr, 0);
    std::uint8_t byte = 0;
    EXPECT_FALSE(s.Scramble(nullptr, &byte, 1));
    EXPECT_FALSE(s.Scramble(&byte, nullptr, 1));
    EXPECT_FALSE(s.Scramble(&byte, &byte, 0));
    EXPECT_FALSE(s.Unscramble(nullptr, &byte, 1));
}

const Bytes kDwordBlob = {0x43, 0x56, 0x52, 0x47, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
                          0x04, 0x00, 0x00, 0x00, 0x33, 0x4E, 0xB7, 0xBE, 0x1A, 0x72, 0xFC, 0xF7,
                          0xE5, 0xE4, 0x46, 0x8F, 0x87, 0x09, 0x17, 0x39, 0x6B, 0x8F, 0xB3, 0xD2};
const Bytes kStringBlob = {0x43, 0x56, 0x52, 0x47, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00,
                           0x00, 0x01, 0x00, 0x00, 0x00, 0xA2, 0x89, 0x95, 0x6B, 0x26, 0xCE,
                           0xAB, 0x64, 0xD6, 0x49, 0x8F, 0xA0, 0xF3, 0x81, 0x7C, 0x98, 0x5B,
                           0x8C, 0x2B, 0x95, 0x55};
const Bytes kMultiBlob = {0x43, 0x56, 0x52, 0x47, 0x01, 0x00, 0x00, 0x00, 0x06, 0x00,
                          0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x38, 0x4B, 0x45, 0x55,
                          0x6F, 0xC2, 0xF4, 0x90, 0xEE, 0xD6, 0x0E, 0x7C, 0x88, 0xA9,
                          0xEF, 0x1D, 0x82, 0x4C, 0xCA, 0xBA, 0x2E, 0x91};

TEST(RegistryBlobTest, BuildsTheFixedVectors) {
    struct Case {
        std::uint32_t type;
        Bytes payload;
        const Bytes* blob;
    };
    const Case cases[] = {
        {4, {0x78, 0x56, 0x34, 0x12}, &kDwordBlob},
        {1, {'H', 'i', 0xC3, 0xA9, 0}, &kStringBlob},
        {7, {'a', 0, 'b', 'c', 0, 0}, &kMultiBlob},
    };
    for (const Case& c : cases) {
        Bytes blob;
        ASSERT_EQ(0u, sc::BuildRegistryBlob(c.type, c.payload.data(), c.payload.size(), blob));
        EXPECT_EQ(*c.blob, blob) << c.type;
        std::uint32_t type = 0, n = 0;
        ASSERT_EQ(0u, sc::CheckRegistryBlob(c.blob->data(), c.blob->size(), type, n));
        EXPECT_EQ(c.type, type);
        ASSERT_EQ(c.payload.size(), n);
        Bytes payload(n);
        ASSERT_EQ(0u, sc::UnscrambleRegistryPayload(c.blob->data(), c.blob->size(), payload.data()));
        EXPECT_EQ(c.payload, payload);
    }
    Bytes blob;
    EXPECT_EQ(87u, sc::BuildRegistryBlob(4, nullptr, 4, blob));
    EXPECT_EQ(87u, sc::BuildRegistryBlob(4, kDwordBlob.data(), 0, blob));
}

// Re-seals a changed blob with a correct digest, so only the field tested is wrong.
Bytes Reseal(Bytes blob) {
    std::memset(blob.data() + 16, 0, 16);
    std::uint8_t digest[16];
    Kelmora::ComputeMD5(blob.data(), blob.size(), digest, 16);
    std::memcpy(blob.data() + 16, digest, 16);
    return blob;
}

TEST(RegistryBlobTest, CraftedBlobsAreRefused) {
    struct Case {
        const char* name;
        Bytes blob;
        unsigned long expected;
    };
    Bytes wrongMagic = kDwordBlob;
    wrongMagic[3] = 'X';
    Bytes longerLength = kDwordBlob;
    longerLength[8] = 5;
    Bytes hugeLength = kDwordBlob;
    hugeLength[11] = 0xFF;
    Bytes wrongDigest = kDwordBlob;
    wrongDigest[20] ^= 1;
    Bytes flippedPayload = kDwordBlob;
    flippedPayload[33] ^= 1;
    Bytes trailing = kDwordBlob;
    trailing.push_back(0);
    Bytes version7 = kDwordBlob;
    version7[4] = 7;
    Bytes headerOnly(kDwordBlob.begin(), kDwordBlob.begin() + 32);
    headerOnly[8] = 0;
    const Case cases[] = {
        {"empty", {}, 13},
        {"31 bytes", Bytes(kDwordBlob.begin(), kDwordBlob.begin() + 31), 13},
        {"truncated payload", Bytes(kDwordBlob.begin(), kDwordBlob.end() - 1), 13},
        {"wrong magic", Reseal(wrongMagic), 13},
        {"length lies", Reseal(longerLength), 13},
        {"length huge", Reseal(hugeLength), 13},
        {"digest lies", wrongDigest, 13},
        {"payload changed", flippedPayload, 13},
        {"trailing byte", Reseal(trailing), 13},
        {"version not checked", Reseal(version7), 0},
        {"no payload", Reseal(headerOnly), 0},
    };
    for (const Case& c : cases) {
        std::uint32_t type = 99, n = 99;
        EXPECT_EQ(c.expected, sc::CheckRegistryBlob(c.blob.data(), c.blob.size(), type, n)) << c.name;
    }
}

const wchar_t kTextHeader[] =
    L"4356524701000000030000000100000001000000552DB8D77C7259AC54622ABB77EF5A8C23";
const wchar_t kTextData[] = L"4E2A0981";
const wchar_t kFiveHeader[] =
    L"4356524701000000040000000400000001000000EB3A05DB82354155E79B1913165137CBA5";
const wchar_t kFiveData[] = L"0E36C6A5AF";
const wchar_t kMinusTwoHeader[] =
    L"43565247010000000400000004000000010000002F7C41F75247F374A9AA68976F8FBC5D88";
const wchar_t kMinusTwoData[] = L"C93AC1A96D";

TEST(IniValueTest, BuildsTheFixedProfileTexts) {
    struct Case {
        std::uint32_t type;
        Bytes plain;
        const wchar_t* header;
        const wchar_t* data;
    };
    const Case cases[] = {
        {1, {'E', 'T', 'W'}, kTextHeader, kTextData},
        {4, {5, 0, 0, 0}, kFiveHeader, kFiveData},
        {4, {0xFE, 0xFF, 0xFF, 0xFF}, kMinusTwoHeader, kMinusTwoData},
    };
    for (const Case& c : cases) {
        Bytes header, data;
        ASSERT_TRUE(sc::BuildIniValue(c.type, c.plain.data(), c.plain.size(), header, data));
        ASSERT_EQ(36u, header.size());
        EXPECT_EQ(c.header, sc::ToProfileHex(header.data(), header.size()));
        EXPECT_EQ(c.data, sc::ToProfileHex(data.data(), data.size()));
        std::uint32_t type = 0;
        Bytes plain;
        ASSERT_TRUE(sc::DecodeIniValue(c.header, c.data, type, plain));
        EXPECT_EQ(c.type, type);
        EXPECT_EQ(c.plain, plain);
    }
    Bytes header, data;
    EXPECT_FALSE(sc::BuildIniValue(1, nullptr, 0, header, data));
}

TEST(IniValueTest, CraftedPairsAreRefused) {
    struct Case {
        const char* name;
        std::wstring header;
        std::wstring data;
        bool decodes;
    };
    std::wstring flagZero = kFiveHeader;
    flagZero[33] = L'0';  // the flag's first byte 01 -> 00
    std::wstring version2 = kFiveHeader;
    version2[9] = L'2';
    std::wstring type2 = kFiveHeader;
    type2[25] = L'2';
    std::wstring lower = kTextHeader;
    for (auto& ch : lower) ch = static_cast<wchar_t>(towlower(ch));
    const Case cases[] = {
        {"good", kTextHeader, kTextData, true},
        {"lower-case hex reads", lower, L"4e2a0981", true},
        {"checksum digits not checked", kTextHeader, L"4E2A09FF", true},
        {"data one digit short of checksum", kTextHeader, L"4E2A098", true},
        {"data shorter than header says", kTextHeader, L"4E2A09", false},
        {"data longer than header says", kTextHeader, L"4E2A09818100", false},
        {"empty data", kTextHeader, L"", false},
        {"space in data", kTextHeader, L"4E 2A0981", false},
        {"sign in data", kTextHeader, L"4E+A0981", false},
        {"sign in header", L"+" + std::wstring(kTextHeader).substr(1), kTextData, false},
        {"space in header", std::wstring(kTextHeader).substr(0, 40) + L" " +
                                std::wstring(kTextHeader).substr(41), kTextData, false},
        {"header cut short", std::wstring(kTextHeader).substr(0, 70), kTextData, false},
        {"digest mismatch", kTextHeader, L"4E2A0A81", false},
        {"flag zero", flagZero, kFiveData, false},
        {"version 2", version2, kFiveData, false},
        {"unknown type", type2, kFiveData, false},
        {"integer data short", kFiveHeader, L"0E36C6", false},
    };
    for (const Case& c : cases) {
        std::uint32_t type = 0;
        Bytes plain;
        EXPECT_EQ(c.decodes, sc::DecodeIniValue(c.header, c.data, type, plain)) << c.name;
    }
}

TEST(IniValueTest, ReadHexBytesIsStrict) {
    std::uint8_t out[2] = {};
    EXPECT_TRUE(sc::ReadHexBytes(L"0aFf", 2, out));
    EXPECT_EQ(0x0A, out[0]);
    EXPECT_EQ(0xFF, out[1]);
    EXPECT_FALSE(sc::ReadHexBytes(L"0a", 2, out));
    EXPECT_FALSE(sc::ReadHexBytes(L" a0b", 2, out));
    EXPECT_FALSE(sc::ReadHexBytes(L"-1ff", 2, out));
    EXPECT_FALSE(sc::ReadHexBytes(L"0x0b", 2, out));
}

}  // namespace
