#include "platform/files/testing/FileTestSupport.h"
#include "tools/registrar/FileIO.h"
#include "tools/registrar/testing/FileTestHelpers.h"

#include <gtest/gtest.h>

#include <share.h>

#include <cstdio>
#include <filesystem>
#include <string>

using Kelmora::testing::NameWatcher;
using Tessil::FileIO;
using Tessil::testing::FileExists;
using Tessil::testing::ReadBytes;
using Tessil::testing::ScopedTempFolder;
using Tessil::testing::WriteBytes;

namespace {

TEST(FileIO, Open) {
    ScopedTempFolder folder;
    FileIO io;
    const std::wstring path = folder.file(L"a.dat");
    EXPECT_EQ(io.open(path.c_str(), L"rb"), nullptr);
    EXPECT_EQ(io.open(folder.file(L"missing\\a.dat").c_str(), L"wb"), nullptr);
    EXPECT_EQ(io.open(static_cast<const wchar_t*>(nullptr), L"rb"), nullptr);
    {
        std::shared_ptr<FILE> file = io.open(path.c_str(), L"wb");
        ASSERT_NE(file, nullptr);
        EXPECT_TRUE(io.write(file.get(), "abc", 3));
    }  // closed by the last holder
    EXPECT_EQ(ReadBytes(path), "abc");
    std::shared_ptr<FILE> file = io.open(path.c_str(), L"rb");
    ASSERT_NE(file, nullptr);
    char buffer[4] = {};
    EXPECT_EQ(std::fread(buffer, 1, 3, file.get()), 3u);
    EXPECT_EQ(std::string(buffer), "abc");
}

TEST(FileIO, ExistsUnlessNothingIsThere) {
    ScopedTempFolder folder;
    FileIO io;
    const std::wstring path = folder.file(L"a.dat");
    EXPECT_FALSE(io.exists(path.c_str()));
    EXPECT_FALSE(io.exists(folder.file(L"no-folder\\a.dat").c_str()));
    EXPECT_FALSE(io.exists(nullptr));
    WriteBytes(path, "");
    EXPECT_TRUE(io.exists(path.c_str()));  // an empty file exists
    EXPECT_TRUE(io.exists(folder.path().wstring().c_str()));
    FILE* locked = _wfsopen(path.c_str(), L"rb", _SH_DENYRW);
    ASSERT_NE(locked, nullptr);
    EXPECT_TRUE(io.exists(path.c_str()));  // there, though it cannot be read now
    std::fclose(locked);
}

TEST(FileIO, CopyReplacesTheTarget) {
    ScopedTempFolder folder;
    FileIO io;
    const std::wstring from = folder.file(L"a.dat");
    const std::wstring to = folder.file(L"a.dat.bad");
    WriteBytes(from, "new");
    WriteBytes(to, "older");
    EXPECT_TRUE(io.copy(from.c_str(), to.c_str()));
    EXPECT_EQ(ReadBytes(to), "new");
    EXPECT_EQ(ReadBytes(from), "new");
    EXPECT_FALSE(io.copy(folder.file(L"missing").c_str(), to.c_str()));
    EXPECT_FALSE(io.copy(nullptr, to.c_str()));
}

// The copy of a read-only, hidden or system file can be written and copied
// over again; so can an older copy that is any of these.
TEST(FileIO, CopyIsAPlainWritableFile) {
    ScopedTempFolder folder;
    FileIO io;
    const std::wstring from = folder.file(L"a.dat");
    const std::wstring to = folder.file(L"a.dat.bad");
    constexpr DWORD kInWay = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    for (const DWORD attributes : {DWORD{FILE_ATTRIBUTE_READONLY}, DWORD{FILE_ATTRIBUTE_HIDDEN},
                                   DWORD{FILE_ATTRIBUTE_SYSTEM}, kInWay}) {
        SetFileAttributesW(from.c_str(), FILE_ATTRIBUTE_NORMAL);
        WriteBytes(from, "first");
        ASSERT_TRUE(SetFileAttributesW(from.c_str(), attributes));
        EXPECT_TRUE(io.copy(from.c_str(), to.c_str())) << attributes;
        EXPECT_EQ(ReadBytes(to), "first");
        EXPECT_EQ(GetFileAttributesW(to.c_str()) & kInWay, 0u) << attributes;
        EXPECT_EQ(GetFileAttributesW(from.c_str()) & kInWay, attributes);  // the original keeps them

        // An older copy in the way, with the attributes its source had.
        ASSERT_TRUE(SetFileAttributesW(to.c_str(), attributes));
        ASSERT_TRUE(SetFileAttributesW(from.c_str(), FILE_ATTRIBUTE_NORMAL));
        WriteBytes(from, "second");
        EXPECT_TRUE(io.copy(from.c_str(), to.c_str())) << attributes;
        EXPECT_EQ(ReadBytes(to), "second") << attributes;
        EXPECT_EQ(GetFileAttributesW(to.c_str()) & kInWay, 0u) << attributes;
        std::shared_ptr<FILE> file = io.open(to.c_str(), L"ab");
        EXPECT_NE(file, nullptr) << attributes;
    }
}

TEST(FileIO, CloseFlushesClosesForEveryHolderAndReportsOnce) {
    ScopedTempFolder folder;
    FileIO io;
    const std::wstring path = folder.file(L"a.dat");
    std::shared_ptr<FILE> file = io.open(path.c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    std::shared_ptr<FILE> other = file;
    ASSERT_TRUE(io.write(file.get(), "data", 4));
    EXPECT_TRUE(io.close(file));
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(ReadBytes(path), "data");
    EXPECT_TRUE(std::filesystem::remove(std::filesystem::path(path)));  // no handle left open
    EXPECT_FALSE(io.close(other));  // already closed
    std::shared_ptr<FILE> empty;
    EXPECT_FALSE(io.close(empty));
}

TEST(FileIO, CloseOfAFileThatCannotBeWrittenFails) {
    ScopedTempFolder folder;
    FileIO io;
    const std::wstring path = folder.file(L"a.dat");
    WriteBytes(path, "old");
    std::shared_ptr<FILE> file = io.open(path.c_str(), L"rb");
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(io.write(file.get(), "new", 3));
    EXPECT_FALSE(io.close(file));  // the error stays on the handle
    EXPECT_EQ(ReadBytes(path), "old");
}

TEST(FileIO, ReplaceAndRemove) {
    ScopedTempFolder folder;
    FileIO io;
    const std::wstring from = folder.file(L"new.dat");
    const std::wstring to = folder.file(L"old.dat");
    WriteBytes(from, "new");
    WriteBytes(to, "old");
    EXPECT_TRUE(io.replace(from.c_str(), to.c_str()));
    EXPECT_EQ(ReadBytes(to), "new");
    EXPECT_FALSE(FileExists(from));
    EXPECT_FALSE(io.replace(from.c_str(), to.c_str()));  // nothing to move
    EXPECT_EQ(ReadBytes(to), "new");

    const std::wstring onto = folder.file(L"sub");
    std::filesystem::create_directory(std::filesystem::path(onto));
    WriteBytes(from, "x");
    EXPECT_FALSE(io.replace(from.c_str(), onto.c_str()));  // a folder is not replaced
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(onto)));

    EXPECT_TRUE(io.remove(from.c_str()));
    EXPECT_FALSE(FileExists(from));
    EXPECT_FALSE(io.remove(from.c_str()));

    // Into a place where nothing was; and over a file whose attributes stay.
    const std::wstring fresh = folder.file(L"fresh.dat");
    WriteBytes(from, "first");
    EXPECT_TRUE(io.replace(from.c_str(), fresh.c_str()));
    EXPECT_EQ(ReadBytes(fresh), "first");
    ASSERT_TRUE(SetFileAttributesW(fresh.c_str(), FILE_ATTRIBUTE_HIDDEN));
    WriteBytes(from, "second");
    EXPECT_TRUE(io.replace(from.c_str(), fresh.c_str()));
    EXPECT_EQ(ReadBytes(fresh), "second");
    EXPECT_NE(GetFileAttributesW(fresh.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    SetFileAttributesW(fresh.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Whoever looks at the file at any moment of a replacement finds it under its
// name, while the file is replaced again and again.
TEST(FileIO, ReplaceKeepsAFileUnderTheNameAtEveryMoment) {
    ScopedTempFolder folder;
    FileIO io;
    const std::wstring from = folder.file(L"a.da~");
    const std::wstring to = folder.file(L"a.dat");
    WriteBytes(to, "0");
    NameWatcher watcher(to);
    for (int i = 1; i <= 300; ++i) {
        WriteBytes(from, std::to_string(i));
        EXPECT_TRUE(io.replace(from.c_str(), to.c_str())) << i;
        EXPECT_EQ(ReadBytes(to), std::to_string(i));
    }
    watcher.Stop();
    EXPECT_EQ(watcher.Missing(), 0) << "of " << watcher.Looks() << " looks";
}

}  // namespace
