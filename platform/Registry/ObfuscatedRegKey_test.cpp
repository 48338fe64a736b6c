// The scrambled registry key against the real Wine registry and
// the fixed blobs of ScrambledFormat_test.cpp (derived in testing/derive_vectors.py).
#include "platform/Registry/ObfuscatedRegKey.h"

#include "platform/Registry/MD5.h"
#include "platform/Registry/ScrambledFormat.h"
#include "platform/Registry/testing/TestRegistry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

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

Bytes Blob(DWORD type, const std::string& payload) {
    std::vector<std::uint8_t> blob;
    Kelmora::scrambled::BuildRegistryBlob(
        type, reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size(), blob);
    return Bytes(blob.begin(), blob.end());
}

// A copy of the bytes at the very end of a page that a no-access page
// follows, so that any read past them faults.
class GuardedBytes {
public:
    GuardedBytes(const void* bytes, std::size_t n) {
        SYSTEM_INFO info{};
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        base_ = static_cast<BYTE*>(
            VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (base_ != nullptr && n <= page_ &&
            VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old)) {
            data_ = base_ + page_ - n;
            std::memcpy(data_, bytes, n);
        }
    }
    ~GuardedBytes() {
        if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;
    BYTE* data() const { return data_; }

private:
    BYTE* base_ = nullptr;
    BYTE* data_ = nullptr;
    std::size_t page_ = 0;
};

class ObfuscatedRegKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(hklm_.ok());
        ASSERT_EQ(0, key_.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Logging", REG_NONE,
                                 REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS));
    }
    Bytes RawRead(const wchar_t* name, DWORD* type = nullptr) {
        Bytes data(4096);
        DWORD size = static_cast<DWORD>(data.size());
        DWORD storedType = 0;
        EXPECT_EQ(0, RegQueryValueExW(key_.Key(), name, nullptr, &storedType, data.data(), &size));
        if (type != nullptr) *type = storedType;
        data.resize(size);
        return data;
    }
    void RawWrite(const wchar_t* name, DWORD type, const Bytes& bytes) {
        ASSERT_EQ(0, RegSetValueExW(key_.Key(), name, 0, type, bytes.data(),
                                    static_cast<DWORD>(bytes.size())));
    }

    Kelmora::testing::PrivateHklm hklm_;
    Kelmora::CObfuscatedRegKey key_;
};

TEST_F(ObfuscatedRegKeyTest, WritesTheFixedBlobs) {
    ASSERT_EQ(0, key_.SetDWORDValue(L"Logging Mechanism", 0x12345678));
    ASSERT_EQ(0, key_.SetStringValue(L"sz", L"Hi\u00e9"));
    ASSERT_EQ(0, key_.SetMultiStringValue(L"msz", L"a\0bc\0"));
    DWORD type = 0;
    EXPECT_EQ(kDwordBlob, RawRead(L"Logging Mechanism", &type));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    EXPECT_EQ(kStringBlob, RawRead(L"sz"));
    EXPECT_EQ(kMultiBlob, RawRead(L"msz"));
}

TEST_F(ObfuscatedRegKeyTest, ReadsTheFixedBlobs) {
    RawWrite(L"dw", REG_BINARY, kDwordBlob);
    RawWrite(L"sz", REG_BINARY, kStringBlob);
    RawWrite(L"msz", REG_BINARY, kMultiBlob);
    DWORD dw = 0;
    EXPECT_EQ(0, key_.QueryDWORDValue(L"dw", dw));
    EXPECT_EQ(0x12345678u, dw);
    std::wstring sz;
    EXPECT_EQ(0, key_.QueryStringValue(L"sz", sz));
    EXPECT_EQ(L"Hi\u00e9", sz);
    wchar_t multi[16] = {};
    ULONG chars = 16;
    EXPECT_EQ(0, key_.QueryMultiStringValue(L"msz", multi, &chars));
    EXPECT_EQ(6u, chars);
    EXPECT_EQ(0, std::memcmp(L"a\0bc\0", multi, 12));
    DWORD type = 0;
    EXPECT_EQ(0, key_.QueryValue(L"msz", &type, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
}

TEST_F(ObfuscatedRegKeyTest, TypedRoundTrips) {
    const GUID guid = {0xCD1DAAD0, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
    const BYTE binary[] = {9, 8, 7};
    ASSERT_EQ(0, key_.SetQWORDValue(L"qw", 0xFEDCBA9876543210ULL));
    ASSERT_EQ(0, key_.SetGUIDValue(L"guid", guid));
    ASSERT_EQ(0, key_.SetBinaryValue(L"bin", binary, 3));
    ASSERT_EQ(0, key_.SetStringValue(L"empty", L""));
    ASSERT_EQ(0, key_.SetStringValue(L"\u00e4name", L"\u4e2d\u6587 text"));
    ULONGLONG qw = 0;
    GUID readGuid{};
    BYTE readBinary[3] = {};
    DWORD size = 3;
    std::wstring empty = L"x", text;
    EXPECT_EQ(0, key_.QueryQWORDValue(L"qw", qw));
    EXPECT_EQ(0xFEDCBA9876543210ULL, qw);
    EXPECT_EQ(0, key_.QueryGUIDValue(L"guid", readGuid));
    EXPECT_TRUE(IsEqualGUID(guid, readGuid));
    EXPECT_EQ(0, key_.QueryBinaryValue(L"bin", readBinary, &size));
    EXPECT_EQ(0, std::memcmp(binary, readBinary, 3));
    EXPECT_EQ(0, key_.QueryStringValue(L"empty", empty));
    EXPECT_EQ(L"", empty);
    EXPECT_EQ(0, key_.QueryStringValue(L"\u00e4name", text));
    EXPECT_EQ(L"\u4e2d\u6587 text", text);
    // A DWORD is stored as a REG_BINARY of 36 bytes.
    DWORD type = 0;
    ASSERT_EQ(0, key_.SetDWORDValue(L"dw", 7));
    EXPECT_EQ(36u, RawRead(L"dw", &type).size());
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
}

TEST_F(ObfuscatedRegKeyTest, BufferSizes) {
    ASSERT_EQ(0, key_.SetStringValue(L"sz", L"abcdef"));
    BYTE buffer[64];
    DWORD size = 4;
    DWORD type = 0;
    EXPECT_EQ(ERROR_MORE_DATA, key_.QueryValue(L"sz", &type, buffer, &size));
    EXPECT_EQ(14u, size);
    size = 0;
    EXPECT_EQ(0, key_.QueryValue(L"sz", nullptr, nullptr, &size));
    EXPECT_EQ(14u, size);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key_.QueryValue(L"sz", nullptr, buffer, nullptr));
    ASSERT_EQ(0, key_.SetMultiStringValue(L"m", L"abc\0d\0"));
    std::memset(buffer, 0x55, sizeof(buffer));
    size = 6;
    EXPECT_EQ(ERROR_MORE_DATA, key_.QueryValue(L"m", &type, buffer, &size));
    EXPECT_EQ(14u, size);
    EXPECT_EQ(0, buffer[0] | buffer[5]);  // filled with zeros
    EXPECT_EQ(0x55, buffer[6]);           // and nothing past the given size
    ASSERT_EQ(0, key_.SetQWORDValue(L"q", 1));
    size = 4;
    EXPECT_EQ(ERROR_MORE_DATA, key_.QueryValue(L"q", &type, buffer, &size));
    EXPECT_EQ(8u, size);
    const BYTE one = 1;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key_.SetValue(L"x", REG_BINARY, nullptr, 1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key_.SetValue(L"x", REG_BINARY, &one, 0));
}

TEST_F(ObfuscatedRegKeyTest, UnterminatedTextIsReadOnlyWithinTheGivenSize) {
    struct Case {
        const char* name;
        DWORD type;
        std::wstring given;     // exactly the bytes handed over, without any terminator
        std::wstring readBack;  // what the value answers, with its NULs
    };
    const Case cases[] = {
        {"string", REG_SZ, L"abc", std::wstring(L"abc\0", 4)},
        {"list of two", REG_MULTI_SZ, std::wstring(L"ab\0cd", 5),
         std::wstring(L"ab\0cd\0\0", 7)},
        {"list without its end", REG_MULTI_SZ, std::wstring(L"ab\0", 3),
         std::wstring(L"ab\0\0", 4)},
    };
    for (const Case& c : cases) {
        const DWORD bytes = static_cast<DWORD>(c.given.size() * sizeof(wchar_t));
        GuardedBytes given(c.given.data(), bytes);
        ASSERT_NE(nullptr, given.data()) << c.name;
        ASSERT_EQ(0, key_.SetValue(L"v", c.type, given.data(), bytes)) << c.name;
        wchar_t back[16];
        DWORD type = 0;
        DWORD size = sizeof(back);
        ASSERT_EQ(0, key_.QueryValue(L"v", &type, reinterpret_cast<BYTE*>(back), &size)) << c.name;
        EXPECT_EQ(c.type, type) << c.name;
        EXPECT_EQ(c.readBack, std::wstring(back, size / sizeof(wchar_t))) << c.name;
    }
}

struct Crafted {
    const char* name;
    DWORD storedType;
    Bytes stored;
    enum Query { kDword, kString, kMulti } query;
    LONG expected;
    const wchar_t* text = nullptr;  // expected text on success
};

class CraftedBlob : public ObfuscatedRegKeyTest, public ::testing::WithParamInterface<Crafted> {};

TEST_P(CraftedBlob, AnswersItsCode) {
    const Crafted& c = GetParam();
    RawWrite(L"v", c.storedType, c.stored);
    switch (c.query) {
        case Crafted::kDword: {
            DWORD value = 0xAAAAAAAA;
            EXPECT_EQ(c.expected, key_.QueryDWORDValue(L"v", value));
            if (c.expected != 0) {
                EXPECT_EQ(0xAAAAAAAAu, value);
            }
            break;
        }
        case Crafted::kString: {
            std::wstring value = L"unchanged";
            EXPECT_EQ(c.expected, key_.QueryStringValue(L"v", value));
            EXPECT_EQ(c.expected == 0 ? c.text : L"unchanged", value);
            break;
        }
        case Crafted::kMulti: {
            wchar_t buffer[32] = {};
            ULONG chars = 32;
            EXPECT_EQ(c.expected, key_.QueryMultiStringValue(L"v", buffer, &chars));
            if (c.expected == 0) {
                EXPECT_EQ(0, std::memcmp(c.text, buffer, chars * sizeof(wchar_t)));
            }
            break;
        }
    }
}

Bytes Changed(Bytes blob, std::size_t at, BYTE value, bool reseal) {
    blob[at] = value;
    if (reseal) {
        std::memset(blob.data() + 16, 0, 16);
        std::uint8_t digest[16];
        Kelmora::ComputeMD5(blob.data(), blob.size(), digest, 16);
        std::memcpy(blob.data() + 16, digest, 16);
    }
    return blob;
}

// A well-formed blob of the given type whose payload is empty: the header alone.
Bytes EmptyBlob(DWORD type) {
    Bytes blob(kDwordBlob.begin(), kDwordBlob.begin() + 32);
    blob[8] = 0;
    return Changed(blob, 12, static_cast<BYTE>(type), true);
}

INSTANTIATE_TEST_SUITE_P(
    Stored, CraftedBlob,
    ::testing::Values(
        Crafted{"PlainDword", REG_DWORD, {1, 0, 0, 0}, Crafted::kDword, ERROR_INVALID_DATA},
        Crafted{"PlainString", REG_SZ, {'a', 0, 0, 0}, Crafted::kString, ERROR_INVALID_DATA},
        Crafted{"WrongMagic", REG_BINARY, Changed(kDwordBlob, 0, 'X', true), Crafted::kDword,
                ERROR_INVALID_DATA},
        Crafted{"LengthLies", REG_BINARY, Changed(kDwordBlob, 8, 3, true), Crafted::kDword,
                ERROR_INVALID_DATA},
        Crafted{"DigestLies", REG_BINARY, Changed(kDwordBlob, 17, 0, false), Crafted::kDword,
                ERROR_INVALID_DATA},
        Crafted{"Short", REG_BINARY, Bytes(kDwordBlob.begin(), kDwordBlob.begin() + 20),
                Crafted::kDword, ERROR_INVALID_DATA},
        Crafted{"VersionNotChecked", REG_BINARY, Changed(kDwordBlob, 4, 9, true), Crafted::kDword,
                0},
        Crafted{"TwoByteDword", REG_BINARY, Blob(REG_DWORD, std::string("\1\2", 2)),
                Crafted::kDword, ERROR_INVALID_DATA},
        Crafted{"SixByteDword", REG_BINARY, Blob(REG_DWORD, std::string("\1\2\3\4\5\6", 6)),
                Crafted::kDword, ERROR_MORE_DATA},
        Crafted{"StringWithoutNul", REG_BINARY, Blob(REG_SZ, "abc"), Crafted::kString, 0, L"abc"},
        Crafted{"StringNulInside", REG_BINARY, Blob(REG_SZ, std::string("ab\0cd", 5)),
                Crafted::kString, 0, L"ab"},
        Crafted{"StringBadUtf8", REG_BINARY, Blob(REG_SZ, std::string("a\xff\xfe", 4)),
                Crafted::kString, 0, L"a\xfffd\xfffd"},
        Crafted{"MultiWithoutEnd", REG_BINARY, Blob(REG_MULTI_SZ, "ab"), Crafted::kMulti, 0,
                L"ab\0"},
        Crafted{"MultiEmpty", REG_BINARY, Blob(REG_MULTI_SZ, std::string("\0", 1)),
                Crafted::kMulti, 0, L"\0"},
        Crafted{"BinaryAsString", REG_BINARY, Blob(REG_BINARY, "abc"), Crafted::kString,
                ERROR_INVALID_DATA},
        Crafted{"EmptyPayloadDword", REG_BINARY, EmptyBlob(REG_DWORD), Crafted::kDword, 6001},
        Crafted{"EmptyPayloadString", REG_BINARY, EmptyBlob(REG_SZ), Crafted::kString, 6001},
        Crafted{"EmptyPayloadMulti", REG_BINARY, EmptyBlob(REG_MULTI_SZ), Crafted::kMulti, 6001}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ObfuscatedRegKeyTest, EmptyPayloadReadsNothingOutsideItsBytes) {
    const Bytes stored = EmptyBlob(REG_BINARY);
    GuardedBytes blob(stored.data(), stored.size());
    ASSERT_NE(nullptr, blob.data());
    std::uint32_t type = 0, n = 99;
    EXPECT_EQ(0u, Kelmora::scrambled::CheckRegistryBlob(blob.data(), stored.size(), type, n));
    EXPECT_EQ(static_cast<std::uint32_t>(REG_BINARY), type);
    EXPECT_EQ(0u, n);
    BYTE out[4] = {0x55, 0x55, 0x55, 0x55};
    EXPECT_EQ(Kelmora::scrambled::kUnscrambleFailed,
              Kelmora::scrambled::UnscrambleRegistryPayload(blob.data(), stored.size(), out));
    EXPECT_EQ(Bytes(4, 0x55), Bytes(out, out + 4));

    // Through the key: the caller's buffer and size stay as they were.
    RawWrite(L"v", REG_BINARY, stored);
    DWORD size = sizeof(out);
    EXPECT_EQ(6001, key_.QueryValue(L"v", nullptr, out, &size));
    EXPECT_EQ(sizeof(out), size);
    EXPECT_EQ(Bytes(4, 0x55), Bytes(out, out + 4));
    DWORD storedType = 0;
    EXPECT_EQ(0, key_.QueryValue(L"v", &storedType, nullptr, nullptr));  // the type alone reads
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), storedType);
}

TEST_F(ObfuscatedRegKeyTest, LargeValueReadsPastTheFirstBuffer) {
    std::wstring big(1000, L'x');
    ASSERT_EQ(0, key_.SetStringValue(L"big", big.c_str()));
    std::wstring back;
    EXPECT_EQ(0, key_.QueryStringValue(L"big", back));
    EXPECT_EQ(big, back);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key_.QueryStringValue(L"missing", back));
}

}  // namespace
