#include "platform/Registry/RegKey.h"
#include "platform/Registry/testing/TestRegistry.h"
#include "platform/wrappers/RegistryAPI.h"
#include "platform/wrappers/ShlObjAPI.h"
#include "platform/wrappers/WinOSVersionAPI.h"

#include <gtest/gtest.h>

namespace {

class RegistryAPITest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(hklm_.ok());
        Kelmora::CRegKey key;
        ASSERT_EQ(0, key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\CORVANE\\HALVEX"));
        ASSERT_EQ(0, key.SetStringValue(L"Install Dir", L"C:\\Halvex"));
        ASSERT_EQ(0, key.SetDWORDValue(L"Count", 42));
        ASSERT_EQ(0, key.SetStringValue(L"Long", std::wstring(300, L'x').c_str()));
        const BYTE two[] = {1, 2};
        ASSERT_EQ(0, RegSetValueExW(key.Key(), L"Short", 0, REG_DWORD, two, 2));
    }
    Kelmora::testing::PrivateHklm hklm_;
    Tessil::RegistryAPI api_;
};

TEST_F(RegistryAPITest, ReadsStringsAndDwords) {
    std::wstring text = L"unchanged";
    EXPECT_EQ(0, api_.readString(L"SOFTWARE\\CORVANE\\HALVEX", L"Install Dir", text));
    EXPECT_EQ(L"C:\\Halvex", text);
    DWORD value = 0;
    EXPECT_EQ(0, api_.readDword(L"SOFTWARE\\CORVANE\\HALVEX", L"Count", value));
    EXPECT_EQ(42u, value);
}

TEST_F(RegistryAPITest, FailuresLeaveTheOutputUnchanged) {
    struct Case {
        const wchar_t* key;
        const wchar_t* value;
    };
    const Case cases[] = {{L"SOFTWARE\\Missing", L"Install Dir"},
                          {L"SOFTWARE\\CORVANE\\HALVEX", L"Missing"},
                          {L"SOFTWARE\\CORVANE\\HALVEX", L"Long"},   // more than 259 characters
                          {L"SOFTWARE\\CORVANE\\HALVEX", L"Count"},  // not a string
                          {L"SOFTWARE\\CORVANE\\HALVEX", L"Short"}};
    for (const Case& c : cases) {
        std::wstring text = L"unchanged";
        EXPECT_EQ(Tessil::RegistryAPI::kFailure, api_.readString(c.key, c.value, text)) << c.value;
        EXPECT_EQ(L"unchanged", text);
    }
    DWORD value = 7;
    EXPECT_EQ(Tessil::RegistryAPI::kFailure,
              api_.readDword(L"SOFTWARE\\CORVANE\\HALVEX", L"Short", value));
    EXPECT_EQ(Tessil::RegistryAPI::kFailure,
              api_.readDword(L"SOFTWARE\\CORVANE\\HALVEX", L"Install Dir", value));
    EXPECT_EQ(7u, value);
    EXPECT_EQ(static_cast<long>(0x80000002), Tessil::RegistryAPI::kFailure);
}

TEST(ShellWrappersTest, KnownFolders) {
    Tessil::ShlObjAPI tessil;
    Kelmora::ShlObjAPI kelmora;
    PWSTR a = nullptr, b = nullptr;
    ASSERT_EQ(S_OK, tessil.SHGetKnownFolderPath(FOLDERID_System, 0, nullptr, &a));
    ASSERT_EQ(S_OK, kelmora.SHGetKnownFolderPath(FOLDERID_System, 0, nullptr, &b));
    EXPECT_STREQ(a, b);
    CoTaskMemFree(a);
    CoTaskMemFree(b);
}

TEST(WinOSVersionAPITest, PassesToVerifyVersionInfo) {
    Kelmora::WinOSVersionAPI api;
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwPlatformId = VER_PLATFORM_WIN32_NT;
    EXPECT_TRUE(api.VerifyVersionInfoW(&info, VER_PLATFORMID,
                                       VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL)));
    info.dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
    EXPECT_FALSE(api.VerifyVersionInfoW(&info, VER_PLATFORMID,
                                        VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL)));
}

}  // namespace
