#include "tools/common/SecureDllLoading.h"

#include "tools/common/testing/ProgramTestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

namespace {

// A library found only through the current folder stops loading by name once
// the search path is the system folder; by full path it still loads.
TEST(SecureDllLoading, LeavesOnlyTheSystemFolderForNamedLibraries) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        (L"vt_secure_loading_" + std::to_wstring(GetCurrentProcessId()));
    std::filesystem::create_directories(folder);
    const std::wstring name = L"vt_probe_" + std::to_wstring(GetCurrentProcessId()) + L".dll";
    const std::wstring full = (folder / name).wstring();
    ASSERT_TRUE(CopyFileW(Tessil::testing::WinePath(VT_PROBE_DLL).c_str(), full.c_str(), FALSE));
    ASSERT_TRUE(SetCurrentDirectoryW(folder.wstring().c_str()));

    HMODULE before = LoadLibraryW(name.c_str());
    ASSERT_NE(before, nullptr);
    FreeLibrary(before);

    ASSERT_TRUE(initializeSecureDllLoading());
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    HMODULE byPath = LoadLibraryW(full.c_str());
    EXPECT_NE(byPath, nullptr);
    if (byPath) FreeLibrary(byPath);
    EXPECT_NE(LoadLibraryW(L"version.dll"), nullptr);

    SetCurrentDirectoryW(std::filesystem::temp_directory_path().wstring().c_str());
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

}  // namespace
