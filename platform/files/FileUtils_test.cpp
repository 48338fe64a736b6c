// The file and folder utilities on Wine's real file system.
#include "platform/files/FileUtils.h"
#include "platform/files/testing/FileTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace Kelmora;
using Kelmora::testing::ReadText;
using Kelmora::testing::WriteText;

class FileUtilsTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        root_ = std::wstring(temp) + L"vt-files-" + std::to_wstring(GetCurrentProcessId()) +
                L"-" + std::to_wstring(counter_++);
        ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
        wchar_t current[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, current);
        savedCurrent_ = current;
    }
    void TearDown() override {
        SetCurrentDirectoryW(savedCurrent_.c_str());
        DeleteDirectoryTree(root_.c_str());
    }
    std::wstring P(const std::wstring& relative) const { return root_ + L"\\" + relative; }
    void Touch(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  attributes, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
        CloseHandle(file);
    }

    static int counter_;
    std::wstring root_;
    std::wstring savedCurrent_;
};
int FileUtilsTest::counter_ = 0;

TEST_F(FileUtilsTest, ExistenceTests) {
    Touch(P(L"f.txt"));
    struct Case {
        const wchar_t* path;
        bool file, folder, regular;
    };
    const std::wstring file = P(L"f.txt"), missing = P(L"none");
    const Case cases[] = {
        {nullptr, false, false, false},
        {L"", false, false, false},
        {file.c_str(), true, false, true},
        {root_.c_str(), false, true, false},
        {missing.c_str(), false, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.file, FileExists(c.path));
        EXPECT_EQ(c.folder, DirectoryExists(c.path));
        EXPECT_EQ(c.regular, IsRegularFile(c.path));
    }
}

TEST_F(FileUtilsTest, CreateDirectoryTreeTable) {
    Touch(P(L"plainfile"));
    struct Case {
        std::wstring path;
        bool ok;
        DWORD error;
        std::wstring mustExist;
    };
    const std::wstring prefixed = L"\\\\?\\" + P(L"p\\q\\r");
    const Case cases[] = {
        {P(L"a\\b\\c"), true, 0, P(L"a\\b\\c")},
        {P(L"a\\b\\c"), true, ERROR_ALREADY_EXISTS, P(L"a\\b\\c")},
        {P(L"t\\u\\"), true, 0, P(L"t\\u")},
        {prefixed, true, 0, P(L"p\\q\\r")},
        {L"", false, ERROR_INVALID_PARAMETER, L""},
        // An existing file is not a folder, nor can it be a parent.
        {P(L"plainfile"), false, ERROR_ALREADY_EXISTS, L""},
        {P(L"plainfile\\below"), false, ERROR_ALREADY_EXISTS, L""},
    };
    for (const Case& c : cases) {
        DWORD error = 12345;
        EXPECT_EQ(c.ok, CreateDirectoryTree(c.path.c_str(), &error)) << c.path;
        EXPECT_EQ(c.error, error) << c.path;
        if (!c.mustExist.empty()) {
            EXPECT_TRUE(DirectoryExists(c.mustExist.c_str())) << c.path;
        }
    }
    EXPECT_TRUE(FileExists(P(L"plainfile").c_str()));
    DWORD error = 0;
    EXPECT_FALSE(CreateDirectoryTree(nullptr, &error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), error);
    EXPECT_TRUE(CreateDirectoryTree(P(L"x\\y").c_str(), nullptr));
}

TEST_F(FileUtilsTest, CreateDirectoryTreeRelativePaths) {
    ASSERT_TRUE(SetCurrentDirectoryW(root_.c_str()));
    DWORD error = 1;
    EXPECT_TRUE(CreateDirectoryTree(L"rel", &error));
    EXPECT_EQ(0u, error);
    EXPECT_TRUE(DirectoryExists(P(L"rel").c_str()));
    // With a backslash, a relative path is taken from the current drive's root.
    const std::wstring name = L"vt-rootrel-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring drive = root_.substr(0, 2);
    EXPECT_TRUE(CreateDirectoryTree((name + L"\\inner").c_str(), &error));
    EXPECT_TRUE(DirectoryExists((drive + L"\\" + name + L"\\inner").c_str()));
    EXPECT_TRUE(CreateDirectoryTree((L"\\" + name + L"\\second").c_str(), &error));
    EXPECT_TRUE(DirectoryExists((drive + L"\\" + name + L"\\second").c_str()));
    EXPECT_TRUE(DeleteDirectoryTree((drive + L"\\" + name).c_str()));
}

TEST_F(FileUtilsTest, CreateDirectoryTreeVeryDeepPath) {
    std::wstring path = L"\\\\?\\" + root_;
    for (int k = 0; k < 300; ++k) path += L"\\d";
    DWORD error = 1;
    EXPECT_TRUE(CreateDirectoryTree(path.c_str(), &error));
    EXPECT_EQ(0u, error);
    EXPECT_TRUE(DirectoryExists(path.c_str()));
}

TEST_F(FileUtilsTest, DeleteFilesTable) {
    ASSERT_TRUE(CreateDirectoryTree(P(L"d\\sub.log\\inner").c_str(), nullptr));
    Touch(P(L"d\\a.log"));
    Touch(P(L"d\\ro.log"), FILE_ATTRIBUTE_READONLY);
    Touch(P(L"d\\keep.txt"));
    Touch(P(L"d\\sub.log\\inner\\x.txt"));
    EXPECT_FALSE(DeleteFiles(P(L"d\\*.none").c_str(), false));  // no match
    EXPECT_FALSE(DeleteFiles(nullptr, false));
    EXPECT_FALSE(DeleteFiles(L"", false));
    EXPECT_FALSE(DeleteFiles(L".", false));
    EXPECT_FALSE(DeleteFiles(L"..", true));
    EXPECT_FALSE(DeleteFiles(L"*.log", false));               // no backslash
    EXPECT_FALSE(DeleteFiles(P(L"d\\").c_str(), false));      // backslash last
    EXPECT_TRUE(DeleteFiles(P(L"d\\*.log").c_str(), false));
    EXPECT_FALSE(FileExists(P(L"d\\a.log").c_str()));
    EXPECT_FALSE(FileExists(P(L"d\\ro.log").c_str()));         // read-only deleted too
    EXPECT_TRUE(FileExists(P(L"d\\keep.txt").c_str()));
    EXPECT_TRUE(DirectoryExists(P(L"d\\sub.log").c_str()));   // not recursive: left alone
    EXPECT_TRUE(DeleteFiles(P(L"d\\*.log").c_str(), true));
    EXPECT_FALSE(DirectoryExists(P(L"d\\sub.log").c_str()));
}

TEST_F(FileUtilsTest, DeleteDirectoryTreeRemovesReadOnlyContent) {
    ASSERT_TRUE(CreateDirectoryTree(P(L"tree\\a\\b").c_str(), nullptr));
    Touch(P(L"tree\\ro.txt"), FILE_ATTRIBUTE_READONLY);
    Touch(P(L"tree\\a\\b\\ro2.txt"), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(P(L"tree\\a").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(DeleteDirectoryTree(P(L"tree").c_str()));
    EXPECT_FALSE(DirectoryExists(P(L"tree").c_str()));
    Touch(P(L"file"));
    EXPECT_FALSE(DeleteDirectoryTree(P(L"file").c_str()));
    EXPECT_FALSE(DeleteDirectoryTree(P(L"missing").c_str()));
    EXPECT_FALSE(DeleteDirectoryTree(L"."));
    EXPECT_FALSE(DeleteDirectoryTree(L".."));
    EXPECT_FALSE(DeleteDirectoryTree(L""));
    EXPECT_FALSE(DeleteDirectoryTree(nullptr));
}

// The build made link-test\tree\link, a symbolic link to link-test\target,
// beside this program (Wine 8 cannot make links itself; it shows a Unix link
// as a folder with the reparse-point attribute, as Windows shows a junction).
TEST_F(FileUtilsTest, DeleteDirectoryTreeRemovesLinksNotTheirTargets) {
    std::wstring here;
    ASSERT_TRUE(GetProcessFolder(here));
    const std::wstring tree = here + L"\\link-test\\tree";
    const std::wstring target = here + L"\\link-test\\target";
    const DWORD attributes = GetFileAttributesW((tree + L"\\link").c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        GTEST_SKIP() << "no folder link was made beside the test";
    }
    ASSERT_TRUE(FileExists((target + L"\\precious.txt").c_str()));
    ASSERT_TRUE(CreateDirectoryTree((tree + L"\\sub").c_str(), nullptr));
    Touch(tree + L"\\other.txt");
    Touch(tree + L"\\sub\\x.txt");
    const bool removed = DeleteDirectoryTree(tree.c_str());
    // Never what the link points to.
    EXPECT_TRUE(FileExists((target + L"\\precious.txt").c_str()));
    EXPECT_FALSE(FileExists((tree + L"\\other.txt").c_str()));
    EXPECT_FALSE(DirectoryExists((tree + L"\\sub").c_str()));
    // Windows removes the link itself; Wine 8 cannot remove a Unix link, and
    // then the tree is reported as not deleted.
    EXPECT_EQ(removed, !DirectoryExists(tree.c_str()));
    if (DirectoryExists((tree + L"\\link").c_str())) {
        EXPECT_FALSE(removed);
        EXPECT_FALSE(DeleteFiles((tree + L"\\*").c_str(), true));
        EXPECT_TRUE(FileExists((target + L"\\precious.txt").c_str()));
    }
}

// The new file takes the old one's place and attributes; what may not be
// renamed over stays as it was, and so does the new file.
TEST_F(FileUtilsTest, ReplaceFileByRenameTable) {
    constexpr DWORD kReadOnly = FILE_ATTRIBUTE_READONLY;
    constexpr DWORD kHidden = FILE_ATTRIBUTE_HIDDEN;
    constexpr DWORD kSystem = FILE_ATTRIBUTE_SYSTEM;
    constexpr DWORD kCompared = kReadOnly | kHidden | kSystem;
    enum class Old { None, File, Folder, HeldOpen };
    struct Case {
        const char* name;
        DWORD newAttributes;
        Old old;
        DWORD oldAttributes;
        bool replaced;
        DWORD error;       // when not replaced; 0: any
        DWORD attributes;  // of the file under the name afterwards
    };
    const Case cases[] = {
        {"into an empty place", 0, Old::None, 0, true, 0, 0},
        {"into an empty place, keeping its own", kHidden, Old::None, 0, true, 0, kHidden},
        {"read-only into an empty place", kReadOnly, Old::None, 0, true, 0, kReadOnly},
        {"over a plain file", 0, Old::File, 0, true, 0, 0},
        {"over a hidden system file", 0, Old::File, kHidden | kSystem, true, 0, kHidden | kSystem},
        {"hidden over a plain file", kHidden, Old::File, 0, true, 0, 0},
        {"read-only over a hidden file", kReadOnly, Old::File, kHidden, true, 0, kHidden},
        {"not over a read-only file", 0, Old::File, kReadOnly, false, ERROR_ACCESS_DENIED,
         kReadOnly},
        {"not over a folder", 0, Old::Folder, 0, false, ERROR_ACCESS_DENIED, 0},
        {"not over a file held open", 0, Old::HeldOpen, 0, false, 0, 0},
    };
    int serial = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring from = P(L"case" + std::to_wstring(++serial) + L".new");
        const std::wstring to = P(L"case" + std::to_wstring(serial) + L".dat");
        WriteText(from, "new");
        ASSERT_TRUE(SetFileAttributesW(from.c_str(), c.newAttributes | FILE_ATTRIBUTE_ARCHIVE));
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.old == Old::Folder) {
            ASSERT_TRUE(CreateDirectoryW(to.c_str(), nullptr));
        } else if (c.old != Old::None) {
            WriteText(to, "old");
            ASSERT_TRUE(SetFileAttributesW(to.c_str(), c.oldAttributes | FILE_ATTRIBUTE_ARCHIVE));
        }
        if (c.old == Old::HeldOpen) {
            held = CreateFileW(to.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }
        SetLastError(0);
        EXPECT_EQ(ReplaceFileByRename(from.c_str(), to.c_str()), c.replaced);
        if (!c.replaced && c.error != 0) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        if (c.replaced) {
            EXPECT_EQ(ReadText(to), "new");
            EXPECT_FALSE(FileExists(from.c_str()));
        } else {
            EXPECT_EQ(ReadText(from), "new");
            if (c.old == Old::Folder) {
                EXPECT_TRUE(DirectoryExists(to.c_str()));
            } else {
                EXPECT_EQ(ReadText(to), "old");
            }
        }
        const DWORD attributes = GetFileAttributesW(to.c_str());
        ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(attributes & kCompared, c.attributes);
    }
}

TEST_F(FileUtilsTest, ReplaceFileByRenameNeedsAFileToMove) {
    const std::wstring to = P(L"a.dat");
    WriteText(to, "old");
    EXPECT_FALSE(ReplaceFileByRename(P(L"missing").c_str(), to.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(CreateDirectoryW(P(L"folder").c_str(), nullptr));
    EXPECT_FALSE(ReplaceFileByRename(P(L"folder").c_str(), to.c_str()));
    EXPECT_EQ(ReadText(to), "old");
    for (const wchar_t* path : {static_cast<const wchar_t*>(nullptr), L""}) {
        EXPECT_FALSE(ReplaceFileByRename(path, to.c_str()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_FALSE(ReplaceFileByRename(to.c_str(), path));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(ReadText(to), "old");
}

TEST_F(FileUtilsTest, CurrentFolderAndModulePaths) {
    ASSERT_TRUE(SetCurrentDirectoryW(root_.c_str()));
    EXPECT_EQ(0, _wcsicmp(root_.c_str(), GetCurrentFolder().c_str()));
    wchar_t program[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring folder, file;
    ASSERT_TRUE(SplitModulePath(nullptr, folder, file));
    EXPECT_EQ(std::wstring(program), folder + L"\\" + file);
    EXPECT_EQ(L"files_test.exe", file);
    std::wstring only;
    ASSERT_TRUE(GetProcessFolder(only));
    EXPECT_EQ(folder, only);
    ASSERT_TRUE(SplitModulePath(GetModuleHandleW(L"kernel32.dll"), folder, file));
    EXPECT_EQ(0, _wcsicmp(L"kernel32.dll", file.c_str()));
    ASSERT_TRUE(GetModuleFolder(GetModuleHandleW(L"kernel32.dll"), only));
    EXPECT_EQ(folder, only);
    EXPECT_FALSE(SplitModulePath(reinterpret_cast<HMODULE>(0x10), folder, file));
}

TEST(ModuleFilePath, IsTheWholePathOfThisProgram) {
    const std::wstring path = ModuleFilePath(nullptr);
    ASSERT_GT(path.size(), 4u);
    EXPECT_EQ(path.substr(path.size() - 4), L".exe");
    EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

// GetModuleFileNameW as it answers for a path of this length: the text cut to
// the buffer (without a terminator when it fills it), the copied length.
std::size_t gPathLength = 0;
int gCalls = 0;
DWORD WINAPI FakeModuleFileName(HMODULE, LPWSTR buffer, DWORD size) {
    ++gCalls;
    if (gPathLength == 0) return 0;
    const DWORD copied = static_cast<DWORD>(gPathLength < size ? gPathLength : size);
    for (DWORD i = 0; i < copied; ++i) buffer[i] = i % 2 ? L'x' : L'\\';
    if (copied < size) buffer[copied] = L'\0';
    return copied;
}

struct PathCase {
    const char* name;
    std::size_t length;  // 0: the call fails
    std::size_t expectedLength;
};

const PathCase kPathCases[] = {
    {"Short", 40, 40},
    {"JustBelowTheFirstBuffer", 259, 259},
    {"FillsTheFirstBuffer", 260, 260},
    {"LongerThanMaxPath", 1000, 1000},
    {"LongestPath", 32767, 32767},
    {"FillsTheLongestBuffer", 32768, 0},
    {"CallFails", 0, 0},
};

class ModuleFilePathCases : public ::testing::TestWithParam<PathCase> {};

TEST_P(ModuleFilePathCases, NeverAnswersACutPath) {
    gPathLength = GetParam().length;
    gCalls = 0;
    const std::wstring path = ModuleFilePath(nullptr, FakeModuleFileName);
    EXPECT_EQ(path.size(), GetParam().expectedLength);
    EXPECT_LE(gCalls, 8);
}

INSTANTIATE_TEST_SUITE_P(All, ModuleFilePathCases, ::testing::ValuesIn(kPathCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
