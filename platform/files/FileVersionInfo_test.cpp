#include "platform/files/FileUtils.h"
#include "platform/files/FileVersionInfo.h"
#include "platform/wrappers/ShlObjAPI.h"

#include <gtest/gtest.h>

namespace {

std::wstring BesideTest(const wchar_t* file) {
    std::wstring folder;
    Kelmora::GetProcessFolder(folder);
    return folder + L"\\" + file;
}

TEST(FileVersionInfoTest, ReadsStringsOfAWellFormedResource) {
    Kelmora::FileVersionInfo info;
    EXPECT_EQ(L"", info.GetString(L"ProductVersion"));  // nothing loaded
    ASSERT_TRUE(info.Load(BesideTest(L"vt_version_good.dll")));
    EXPECT_EQ(L"10.0.100.1", info.GetString(L"ProductVersion"));
    EXPECT_EQ(L"Vantrel version test", info.GetString(L"FileDescription"));
    EXPECT_EQ(L"", info.GetString(L"NoSuchName"));
    EXPECT_FALSE(info.Load(BesideTest(L"vt_version_good.dll")));  // once only
    EXPECT_EQ(L"10.0.100.1", info.GetString(L"ProductVersion"));
    // Only the first translation, when asked so.
    EXPECT_EQ(L"10.0.100.1", info.GetFirstTranslationString(L"ProductVersion"));
    EXPECT_EQ(L"only in the second translation", info.GetString(L"Comments"));
    EXPECT_EQ(L"", info.GetFirstTranslationString(L"Comments"));
    EXPECT_EQ(L"", Kelmora::FileVersionInfo().GetFirstTranslationString(L"ProductVersion"));
}

TEST(FileVersionInfoTest, RefusesMissingAndCraftedResources) {
    Kelmora::FileVersionInfo none;
    EXPECT_FALSE(none.Load(BesideTest(L"os_info_test.exe")));  // no version resource
    EXPECT_FALSE(none.Load(BesideTest(L"missing.dll")));
    Kelmora::FileVersionInfo crafted;
    EXPECT_FALSE(crafted.Load(BesideTest(L"vt_version_short.dll")));
    EXPECT_EQ(L"", crafted.GetString(L"ProductVersion"));
    EXPECT_EQ(L"", crafted.GetFirstTranslationString(L"ProductVersion"));
}

struct CountingShell : Kelmora::ShlObjAPI {
    int calls = 0;
    bool fail = false;
    HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, HANDLE token,
                                 PWSTR* path) override {
        ++calls;
        if (fail) {
            *path = nullptr;
            return E_FAIL;
        }
        return Kelmora::ShlObjAPI::SHGetKnownFolderPath(id, flags, token, path);
    }
};

TEST(SystemFileVersionInfoTest, LoadsFromTheSystemFolderAndCachesIt) {
    auto shell = std::make_shared<CountingShell>();
    Kelmora::SystemFileVersionInfo kernel(shell);
    ASSERT_TRUE(kernel.Load(L"kernel32.dll"));
    EXPECT_NE(L"", kernel.GetString(L"ProductVersion"));
    EXPECT_FALSE(kernel.Load(L"kernel32.dll"));
    EXPECT_EQ(1, shell->calls);  // cached after the first success

    auto failing = std::make_shared<CountingShell>();
    failing->fail = true;
    Kelmora::SystemFileVersionInfo rootOnly(failing);
    EXPECT_FALSE(rootOnly.Load(L"kernel32.dll"));  // looked for under "\"
    Kelmora::SystemFileVersionInfo byDefault(nullptr);
    EXPECT_TRUE(byDefault.Load(L"kernel32.dll"));
}

}  // namespace
