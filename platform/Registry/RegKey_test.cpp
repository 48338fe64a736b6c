// Registry keys against the real Wine registry: a private HKLM per process, and
// real HKLM with per-process names for the 32-bit view.
#include "platform/Registry/RegKey.h"

#include "platform/Registry/SecurityAPI.h"
#include "platform/Registry/testing/TestRegistry.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <string>
#include <vector>

using Kelmora::CRegKey;

namespace {

constexpr REGSAM kAll = KEY_ALL_ACCESS;

class RegKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(hklm_.ok());
        ASSERT_EQ(0, root_.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test", REG_NONE,
                                  REG_OPTION_NON_VOLATILE, kAll));
    }

    // Writes raw bytes with the registry's own function, bypassing CRegKey.
    void Raw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(0, RegSetValueExW(root_.Key(), name, 0, type,
                                    static_cast<const BYTE*>(data), size));
    }

    Kelmora::testing::PrivateHklm hklm_;
    CRegKey root_;
};

TEST_F(RegKeyTest, CloseWithoutKeyAnswersZero) {
    CRegKey key;
    EXPECT_EQ(0, key.Close());
    EXPECT_EQ(nullptr, key.Key());
}

TEST_F(RegKeyTest, OpenMissingKeepsOldKeyAndOpenOverHeldKeyClosesIt) {
    CRegKey key;
    ASSERT_EQ(0, key.Open(root_.Key(), nullptr, kAll));
    HKEY before = key.Key();
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Open(root_.Key(), L"missing", kAll));
    EXPECT_EQ(before, key.Key());
    EXPECT_EQ(0, key.SetDWORDValue(L"still", 1));  // the old key still works
    EXPECT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE", KEY_READ));
    EXPECT_NE(nullptr, key.Key());
}

TEST_F(RegKeyTest, CreateWritesDispositionAlsoOnFailure) {
    CRegKey key;
    DWORD disposition = 77;
    EXPECT_EQ(0, key.Create(root_.Key(), L"made", REG_NONE, 0, kAll, nullptr, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    CRegKey again;
    EXPECT_EQ(0, again.Create(root_.Key(), L"made", REG_NONE, 0, kAll, nullptr, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    CRegKey bad;
    disposition = 77;
    EXPECT_NE(0, bad.Create(nullptr, L"x", REG_NONE, 0, kAll, nullptr, &disposition));
    EXPECT_NE(77u, disposition);
    EXPECT_EQ(nullptr, bad.Key());
}

struct TypedCase {
    const char* name;
    REGSAM view;
};

class TypedRoundTrip : public ::testing::TestWithParam<TypedCase> {};

// Every typed value written and read back under a per-process key of the real
// HKLM, in its 64-bit and in its 32-bit view (the key must land under
// Wow6432Node in the 32-bit view and not in the 64-bit one).
TEST_P(TypedRoundTrip, EveryTypeComesBackUnchanged) {
    const TypedCase& c = GetParam();
    Kelmora::testing::RealHklmSoftwareKey real;
    CRegKey key;
    ASSERT_EQ(0, key.Create(HKEY_LOCAL_MACHINE, real.path().c_str(), REG_NONE, 0, kAll | c.view));

    const GUID guid = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};
    const BYTE binary[] = {0, 1, 2, 0xff};
    const wchar_t multi[] = L"a\0bc\0";
    EXPECT_EQ(0, key.SetDWORDValue(L"dw", 0xdeadbeef));
    EXPECT_EQ(0, key.SetQWORDValue(L"qw", 0x0123456789abcdefULL));
    EXPECT_EQ(0, key.SetStringValue(L"sz", L"h\u00e9llo"));
    EXPECT_EQ(0, key.SetStringValue(L"esz", L"%TEMP%\\x", REG_EXPAND_SZ));
    EXPECT_EQ(0, key.SetMultiStringValue(L"msz", multi));
    EXPECT_EQ(0, key.SetBinaryValue(L"bin", binary, sizeof(binary)));
    EXPECT_EQ(0, key.SetGUIDValue(L"guid", guid));

    DWORD dw = 0;
    ULONGLONG qw = 0;
    std::wstring sz, esz;
    GUID readGuid{};
    BYTE readBinary[8] = {};
    DWORD binarySize = sizeof(readBinary);
    wchar_t readMulti[16] = {};
    ULONG multiChars = 16;
    EXPECT_EQ(0, key.QueryDWORDValue(L"dw", dw));
    EXPECT_EQ(0xdeadbeefu, dw);
    EXPECT_EQ(0, key.QueryQWORDValue(L"qw", qw));
    EXPECT_EQ(0x0123456789abcdefULL, qw);
    EXPECT_EQ(0, key.QueryStringValue(L"sz", sz));
    EXPECT_EQ(L"h\u00e9llo", sz);
    EXPECT_EQ(0, key.QueryStringValue(L"esz", esz));
    EXPECT_EQ(L"%TEMP%\\x", esz);  // not expanded
    EXPECT_EQ(0, key.QueryMultiStringValue(L"msz", readMulti, &multiChars));
    EXPECT_EQ(6u, multiChars);
    EXPECT_EQ(0, std::memcmp(multi, readMulti, 12));
    EXPECT_EQ(0, key.QueryBinaryValue(L"bin", readBinary, &binarySize));
    EXPECT_EQ(sizeof(binary), binarySize);
    EXPECT_EQ(0, std::memcmp(binary, readBinary, sizeof(binary)));
    EXPECT_EQ(0, key.QueryGUIDValue(L"guid", readGuid));
    EXPECT_TRUE(IsEqualGUID(guid, readGuid));

    // The value is in the view asked for, and only there.
    const std::wstring tail = real.path().substr(std::wcslen(L"SOFTWARE\\"));
    HKEY probe = nullptr;
    const LONG wow = RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"SOFTWARE\\Wow6432Node\\" + tail).c_str(),
                                   0, KEY_READ | KEY_WOW64_64KEY, &probe);
    if (probe != nullptr) RegCloseKey(probe);
    EXPECT_EQ(c.view == KEY_WOW64_32KEY ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND, wow);
}

INSTANTIATE_TEST_SUITE_P(Views, TypedRoundTrip,
                         ::testing::Values(TypedCase{"view64", KEY_WOW64_64KEY},
                                           TypedCase{"view32", KEY_WOW64_32KEY}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegKeyTest, SetterArgumentErrors) {
    const BYTE byte = 1;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, root_.SetValue(L"v", REG_BINARY, nullptr, 1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, root_.SetValue(L"v", REG_BINARY, &byte, 0));
    EXPECT_EQ(ERROR_INVALID_DATA, root_.SetStringValue(L"v", nullptr));
    EXPECT_EQ(ERROR_INVALID_DATA, root_.SetMultiStringValue(L"v", nullptr));
    ASSERT_EQ(0, root_.SetMultiStringValue(L"ab", L"a\0b\0"));
    DWORD type = 0, size = 0;
    ASSERT_EQ(0, RegQueryValueExW(root_.Key(), L"ab", nullptr, &type, nullptr, &size));
    EXPECT_EQ(10u, size);
}

TEST_F(RegKeyTest, QueriesWithoutKey) {
    CRegKey none;
    DWORD dw = 0;
    ULONGLONG qw = 0;
    wchar_t buffer[8];
    ULONG chars = 8;
    DWORD size = 4;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, none.QueryDWORDValue(L"v", dw));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, none.QueryQWORDValue(L"v", qw));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, none.QueryStringValue(L"v", buffer, &chars));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, none.QueryBinaryValue(L"v", nullptr, &size));
    EXPECT_EQ(ERROR_INVALID_HANDLE, none.QueryValue(L"v", nullptr, nullptr, &size));
    chars = 8;
    EXPECT_EQ(ERROR_INVALID_HANDLE, none.QueryMultiStringValue(L"v", buffer, &chars));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, none.Flush());
    EXPECT_EQ(ERROR_INVALID_PARAMETER, none.DeleteValue(L"v"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, none.DeleteSubKey(L"v"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, none.RecurseDeleteKey(L"v"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, none.GrantEveryoneFullAccess(false));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, none.NotifyChangeKeyValue(FALSE, 0, nullptr, FALSE));
}

// Stored values from outside: each bad one answers 13 and the caller's
// output is never filled from bytes that were not read.
struct BadValue {
    const char* name;
    DWORD type;
    std::vector<BYTE> bytes;
    enum Query { kDword, kQword, kString, kMulti, kGuid } query;
    LONG expected;
    // Wine terminates an unterminated REG_SZ itself: then 0 with exactly this text.
    const wchar_t* repairedText = nullptr;
};

class BadStoredValue : public RegKeyTest, public ::testing::WithParamInterface<BadValue> {};

TEST_P(BadStoredValue, AnswersItsCode) {
    const BadValue& c = GetParam();
    Raw(L"v", c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
    LONG result = -1;
    switch (c.query) {
        case BadValue::kDword: {
            DWORD value = 0xAAAAAAAA;
            result = root_.QueryDWORDValue(L"v", value);
            if (result != 0) {
                EXPECT_EQ(0xAAAAAAAAu, value);
            }
            break;
        }
        case BadValue::kQword: {
            ULONGLONG value = 7;
            result = root_.QueryQWORDValue(L"v", value);
            if (result != 0) {
                EXPECT_EQ(7u, value);
            }
            break;
        }
        case BadValue::kString: {
            wchar_t buffer[64];
            ULONG chars = 64;
            const LONG bufferResult = root_.QueryStringValue(L"v", buffer, &chars);
            std::wstring value = L"unchanged";
            result = root_.QueryStringValue(L"v", value);
            EXPECT_EQ(result, bufferResult);
            if (result != 0) {
                EXPECT_EQ(L"unchanged", value);
            } else if (c.repairedText != nullptr) {
                EXPECT_EQ(c.repairedText, value);
                result = c.expected;
            }
            break;
        }
        case BadValue::kMulti: {
            wchar_t buffer[64];
            ULONG chars = 64;
            result = root_.QueryMultiStringValue(L"v", buffer, &chars);
            break;
        }
        case BadValue::kGuid: {
            GUID value = {1, 2, 3, {4}};
            result = root_.QueryGUIDValue(L"v", value);
            if (result != 0) {
                EXPECT_TRUE(IsEqualGUID(GUID{}, value));
            }
            break;
        }
    }
    EXPECT_EQ(c.expected, result);
}

INSTANTIATE_TEST_SUITE_P(
    Crafted, BadStoredValue,
    ::testing::Values(
        BadValue{"ShortDword", REG_DWORD, {1, 2}, BadValue::kDword, ERROR_INVALID_DATA},
        BadValue{"EmptyDword", REG_DWORD, {}, BadValue::kDword, ERROR_INVALID_DATA},
        BadValue{"StringAsDword", REG_SZ, {'1', 0}, BadValue::kDword, ERROR_INVALID_DATA},
        BadValue{"LongDword", REG_DWORD, {1, 2, 3, 4, 5}, BadValue::kDword, ERROR_MORE_DATA},
        BadValue{"ShortQword", REG_QWORD, {1, 2, 3, 4}, BadValue::kQword, ERROR_INVALID_DATA},
        BadValue{"OddString", REG_SZ, {'a', 0, 0}, BadValue::kString, ERROR_INVALID_DATA},
        BadValue{"OneByteString", REG_SZ, {'a'}, BadValue::kString, ERROR_INVALID_DATA},
        BadValue{"UnterminatedString", REG_SZ, {'a', 0, 'b', 0}, BadValue::kString,
                 ERROR_INVALID_DATA, L"ab"},
        BadValue{"DwordAsString", REG_DWORD, {1, 0, 0, 0}, BadValue::kString, ERROR_INVALID_DATA},
        BadValue{"OddMulti", REG_MULTI_SZ, {'a', 0, 0, 0, 0}, BadValue::kMulti,
                 ERROR_INVALID_DATA},
        BadValue{"UnterminatedMulti", REG_MULTI_SZ, {'a', 0, 'b', 0}, BadValue::kMulti,
                 ERROR_INVALID_DATA},
        BadValue{"SingleEndMulti", REG_MULTI_SZ, {'a', 0, 0, 0}, BadValue::kMulti,
                 ERROR_INVALID_DATA},
        BadValue{"EmptyMulti", REG_MULTI_SZ, {}, BadValue::kMulti, ERROR_INVALID_DATA},
        BadValue{"GuidWithoutBrace", REG_SZ, {'1', 0, '2', 0, '3', 0, '4', 0, 0, 0},
                 BadValue::kGuid, ERROR_INVALID_DATA},
        BadValue{"GuidGarbage", REG_SZ, {'{', 0, 'x', 0, '}', 0, 0, 0}, BadValue::kGuid,
                 ERROR_INVALID_DATA},
        BadValue{"GuidUnterminated", REG_SZ, {'{', 0, 'x', 0}, BadValue::kGuid,
                 ERROR_INVALID_DATA}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegKeyTest, StringEdgeCases) {
    Raw(L"empty", REG_SZ, L"", 0);
    wchar_t buffer[4] = {L'x', L'x', L'x', L'x'};
    ULONG chars = 4;
    EXPECT_EQ(0, root_.QueryStringValue(L"empty", buffer, &chars));
    EXPECT_EQ(0u, chars);
    EXPECT_EQ(L'\0', buffer[0]);
    std::wstring text = L"x";
    EXPECT_EQ(0, root_.QueryStringValue(L"empty", text));
    EXPECT_EQ(L"", text);

    ASSERT_EQ(0, root_.SetStringValue(L"long", L"0123456789"));
    chars = 4;
    EXPECT_EQ(ERROR_MORE_DATA, root_.QueryStringValue(L"long", buffer, &chars));
    EXPECT_EQ(0u, chars);
    chars = 0;
    EXPECT_EQ(0, root_.QueryStringValue(L"long", nullptr, &chars));
    EXPECT_EQ(11u, chars);

    ASSERT_EQ(0, root_.SetMultiStringValue(L"m", L"a\0"));
    chars = 1;
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, root_.QueryMultiStringValue(L"m", buffer, &chars));
}

TEST_F(RegKeyTest, RecurseDeleteKeyRemovesDeepTree) {
    CRegKey key;
    ASSERT_EQ(0, key.Create(root_.Key(), L"top\\a\\b\\c", REG_NONE, 0, kAll));
    ASSERT_EQ(0, key.SetDWORDValue(L"v", 1));
    ASSERT_EQ(0, key.Create(root_.Key(), L"top\\a\\b2", REG_NONE, 0, kAll));
    ASSERT_EQ(0, key.Create(root_.Key(), L"top\\z", REG_NONE, 0, kAll));
    key.Close();
    EXPECT_EQ(0, root_.RecurseDeleteKey(L"top"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Open(root_.Key(), L"top", KEY_READ));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, root_.RecurseDeleteKey(L"top"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, root_.RecurseDeleteKey(nullptr));
}

TEST_F(RegKeyTest, DeleteSubKeyInThe32BitView) {
    Kelmora::testing::RealHklmSoftwareKey real;
    CRegKey parent32;
    ASSERT_EQ(0, parent32.Create(HKEY_LOCAL_MACHINE, real.path().c_str(), REG_NONE, 0,
                                 kAll | KEY_WOW64_32KEY));
    CRegKey child;
    ASSERT_EQ(0, child.Create(parent32.Key(), L"child", REG_NONE, 0, kAll | KEY_WOW64_32KEY));
    child.Close();
    EXPECT_EQ(0, parent32.DeleteSubKey(L"child"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              child.Open(parent32.Key(), L"child", KEY_READ | KEY_WOW64_32KEY));
    ASSERT_EQ(0, child.Create(parent32.Key(), L"t\\u\\v", REG_NONE, 0, kAll | KEY_WOW64_32KEY));
    child.Close();
    EXPECT_EQ(0, parent32.RecurseDeleteKey(L"t"));
}

TEST_F(RegKeyTest, DeleteOnCloseRemovesTree) {
    CRegKey key;
    ASSERT_EQ(0, key.Create(root_.Key(), L"doomed\\inner", REG_NONE, 0, kAll));
    ASSERT_EQ(0, key.Open(root_.Key(), L"doomed", kAll));
    auto impl = std::make_shared<Kelmora::internal::CRegKeyImpl>();
    CRegKey holder(impl);
    ASSERT_EQ(0, holder.Open(root_.Key(), L"doomed", kAll));
    impl->SetDeleteOnClose(true);
    EXPECT_TRUE(impl->GetDeleteOnClose());
    EXPECT_EQ(0, holder.Close());
    EXPECT_FALSE(impl->GetDeleteOnClose());
    CRegKey probe;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, probe.Open(root_.Key(), L"doomed\\inner", KEY_READ));
}

TEST_F(RegKeyTest, DetachAndAttach) {
    CRegKey key;
    ASSERT_EQ(0, key.Open(root_.Key(), nullptr, kAll));
    HKEY raw = key.Detach();
    EXPECT_EQ(nullptr, key.Key());
    EXPECT_EQ(0, key.Close());
    EXPECT_EQ(0, RegSetValueExW(raw, L"after", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>("\1\0\0\0"), 4));
    key.Attach(raw);
    DWORD value = 0;
    EXPECT_EQ(0, key.QueryDWORDValue(L"after", value));
    EXPECT_EQ(1u, value);
}

TEST_F(RegKeyTest, EnumKeyAndDeleteValue) {
    CRegKey child;
    ASSERT_EQ(0, child.Create(root_.Key(), L"only", REG_NONE, 0, kAll));
    wchar_t name[256];
    DWORD length = 256;
    EXPECT_EQ(0, root_.EnumKey(0, name, &length));
    EXPECT_STREQ(L"only", name);
    length = 256;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, root_.EnumKey(1, name, &length));
    ASSERT_EQ(0, root_.SetDWORDValue(L"gone", 1));
    EXPECT_EQ(0, root_.DeleteValue(L"gone"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, root_.DeleteValue(L"gone"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, root_.DeleteValue(nullptr));
    EXPECT_EQ(0, root_.Flush());
}

TEST_F(RegKeyTest, SecurityArgumentChecks) {
    DWORD size = 0;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, root_.GetKeySecurity(DACL_SECURITY_INFORMATION, nullptr,
                                                            nullptr));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER,
              root_.GetKeySecurity(DACL_SECURITY_INFORMATION, nullptr, &size));
    EXPECT_GT(size, 0u);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, root_.SetKeySecurity(DACL_SECURITY_INFORMATION, nullptr));
}

// True when the key's DACL gives Everyone GENERIC_ALL (or KEY_ALL_ACCESS).
bool EveryoneHasFullAccess(HKEY parent, const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path, 0, READ_CONTROL, &key) != ERROR_SUCCESS) return false;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    const DWORD result = GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                         nullptr, &dacl, nullptr, &descriptor);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || dacl == nullptr) return false;
    bool found = false;
    PSID everyone = nullptr;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) continue;
        if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(&ace->SidStart, everyone) &&
            (ace->Mask & (GENERIC_ALL | KEY_ALL_ACCESS)) != 0) {
            found = true;
        }
    }
    FreeSid(everyone);
    LocalFree(descriptor);
    return found;
}

TEST_F(RegKeyTest, GrantEveryoneFullAccessRecursesIntoOpenableChildren) {
    CRegKey key;
    ASSERT_EQ(0, key.Create(root_.Key(), L"grant\\a\\b", REG_NONE, 0, kAll));
    ASSERT_EQ(0, key.Create(root_.Key(), L"grant\\c", REG_NONE, 0, kAll));
    ASSERT_EQ(0, key.Open(root_.Key(), L"grant", kAll));
    EXPECT_FALSE(EveryoneHasFullAccess(root_.Key(), L"grant\\a\\b"));
    EXPECT_EQ(0, key.GrantEveryoneFullAccess(true));
    EXPECT_TRUE(EveryoneHasFullAccess(root_.Key(), L"grant"));
    EXPECT_TRUE(EveryoneHasFullAccess(root_.Key(), L"grant\\a"));
    EXPECT_TRUE(EveryoneHasFullAccess(root_.Key(), L"grant\\a\\b"));
    EXPECT_TRUE(EveryoneHasFullAccess(root_.Key(), L"grant\\c"));

    CRegKey single;
    ASSERT_EQ(0, single.Create(root_.Key(), L"single\\child", REG_NONE, 0, kAll));
    ASSERT_EQ(0, single.Open(root_.Key(), L"single", kAll));
    EXPECT_EQ(0, single.GrantEveryoneFullAccess(false));
    EXPECT_TRUE(EveryoneHasFullAccess(root_.Key(), L"single"));
    EXPECT_FALSE(EveryoneHasFullAccess(root_.Key(), L"single\\child"));
}

// Sets the key's DACL: null (no DACL: everyone may do anything) or empty
// (nobody may open it).
void SetDacl(HKEY key, bool empty) {
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ACL acl;
    ASSERT_TRUE(InitializeAcl(&acl, sizeof(acl), ACL_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, empty ? TRUE : FALSE,
                                          empty ? &acl : nullptr, FALSE));
    ASSERT_EQ(0, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor));
}

// A key without a DACL reports a descriptor smaller than the 40-byte header
// the grant initialises into its read buffer; the buffer must still hold it.
TEST_F(RegKeyTest, GrantOnAKeyWithoutDacl) {
    CRegKey key;
    ASSERT_EQ(0, key.Create(root_.Key(), L"nodacl", REG_NONE, 0, kAll));
    SetDacl(key.Key(), false);
    DWORD size = 0;
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER,
              key.GetKeySecurity(DACL_SECURITY_INFORMATION, nullptr, &size));
    EXPECT_LT(size, sizeof(SECURITY_DESCRIPTOR));  // the case the buffer must be widened for
    EXPECT_EQ(0, key.GrantEveryoneFullAccess(false));
    EXPECT_TRUE(EveryoneHasFullAccess(root_.Key(), L"nodacl"));
}

TEST_F(RegKeyTest, GrantSkipsChildrenThatCannotBeOpened) {
    CRegKey key;
    ASSERT_EQ(0, key.Create(root_.Key(), L"mixed\\open", REG_NONE, 0, kAll));
    CRegKey locked;
    ASSERT_EQ(0, locked.Create(root_.Key(), L"mixed\\locked", REG_NONE, 0, kAll));
    SetDacl(locked.Key(), true);
    locked.Close();
    CRegKey probe;
    if (probe.Open(root_.Key(), L"mixed\\locked", KEY_ALL_ACCESS) == ERROR_SUCCESS) {
        GTEST_SKIP() << "an empty DACL does not block opening here";
    }
    ASSERT_EQ(0, key.Open(root_.Key(), L"mixed", kAll));
    EXPECT_EQ(0, key.GrantEveryoneFullAccess(true));
    EXPECT_TRUE(EveryoneHasFullAccess(root_.Key(), L"mixed"));
    EXPECT_TRUE(EveryoneHasFullAccess(root_.Key(), L"mixed\\open"));
    EXPECT_FALSE(EveryoneHasFullAccess(root_.Key(), L"mixed\\locked"));
    // Unlock it again (the owner may still change the DACL), so it can be removed.
    HKEY raw = nullptr;
    if (RegOpenKeyExW(root_.Key(), L"mixed\\locked", 0, WRITE_DAC, &raw) == ERROR_SUCCESS) {
        SetDacl(raw, false);
        RegCloseKey(raw);
    }
}

TEST(SecurityAPITest, BindsAllFunctionsFromSystemFolder) {
    Kelmora::SecurityAPI api;
    EXPECT_TRUE(api.IsNT());
    EXPECT_TRUE(api.Bind());
    EXPECT_TRUE(api.Bind());  // again: nothing reloaded
}

}  // namespace
