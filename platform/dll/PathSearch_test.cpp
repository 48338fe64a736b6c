#include "platform/dll/PathAPI.h"
#include "platform/dll/PathSearch.h"
#include "platform/dll/StreamBytes.h"
#include "platform/dll/testing/FakeDllAPI.h"

#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

using ETWLogging::testing::ScopedCapturingLogger;

namespace {

// A folder of this process's own under the temporary folder.
class TempFolder {
public:
    TempFolder() {
        wchar_t base[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, base);
        path_ = std::wstring(base) + L"vt-pathsearch-" + std::to_wstring(GetCurrentProcessId()) +
                L"-" + std::to_wstring(GetTickCount64());
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TempFolder() { removeTree(path_); }
    const std::wstring& path() const { return path_; }
    std::wstring makeFolder(const std::wstring& name) const {
        std::wstring folder = path_ + L"\\" + name;
        CreateDirectoryW(folder.c_str(), nullptr);
        return folder;
    }
    static void writeFile(const std::wstring& path, const std::string& bytes) {
        FILE* out = _wfopen(path.c_str(), L"wb");
        ASSERT_NE(out, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), out);
        fclose(out);
    }

private:
    static void removeTree(const std::wstring& folder) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = data.cFileName;
                if (name == L"." || name == L"..") continue;
                const std::wstring full = folder + L"\\" + name;
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    removeTree(full);
                } else {
                    SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                    DeleteFileW(full.c_str());
                }
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
        RemoveDirectoryW(folder.c_str());
    }
    std::wstring path_;
};

// Records every path tested and passes the test on to the real files.
class RecordingPathAPI : public Tessil::PathAPI {
public:
    bool fileExists(const wchar_t* path) override {
        checked.emplace_back(path);
        return PathAPI::fileExists(path);
    }
    std::vector<std::wstring> checked;
};

}  // namespace

TEST(PathSearch, FindsTheFirstFolderHoldingTheFile) {
    TempFolder temp;
    const std::wstring a = temp.makeFolder(L"a");
    const std::wstring b = temp.makeFolder(L"b");
    const std::wstring c = temp.makeFolder(L"c");
    temp.makeFolder(L"c\\lib.dll");  // a folder with the library's name
    TempFolder::writeFile(b + L"\\lib.dll", "MZ");
    TempFolder::writeFile(a + L"\\other.dll", "MZ");

    struct Case {
        const char* what;
        std::vector<std::wstring> folders;
        bool found;
        std::wstring folder;
        std::vector<std::wstring> checked;
    };
    const Case cases[] = {
        {"only in the second folder", {a, b}, true, b, {a + L"\\lib.dll", b + L"\\lib.dll"}},
        {"trailing backslash", {b + L"\\"}, true, b, {b + L"\\\\lib.dll"}},
        {"no folders", {}, false, L"unchanged", {}},
        {"none holds it", {a, c}, false, L"unchanged", {a + L"\\lib.dll", c + L"\\lib.dll"}},
        {"empty folders are skipped", {L"", L"\\", b}, true, b, {b + L"\\lib.dll"}},
        {"the first of duplicates", {b, b}, true, b, {b + L"\\lib.dll"}},
    };
    for (const Case& c : cases) {
        ScopedCapturingLogger logger;
        auto api = std::make_shared<RecordingPathAPI>();
        Tessil::PathSearch search(api);
        search.addSearchPaths(c.folders);
        std::wstring folder = L"unchanged";
        EXPECT_EQ(search.findFilePath(L"lib.dll", folder), c.found) << c.what;
        EXPECT_EQ(folder, c.folder) << c.what;
        EXPECT_EQ(api->checked, c.checked) << c.what;
        if (c.found) {
            EXPECT_TRUE(logger->Contains(ETWLogging::LevelNormal,
                                         L"File found at path " + c.folder + L". Returning success."))
                << c.what;
        } else {
            EXPECT_TRUE(logger->Contains(ETWLogging::LevelWarning, L"File not found.")) << c.what;
        }
    }
}

TEST(PathSearch, VeryLongFoldersAreSearchedLikeAnyOther) {
    auto api = std::make_shared<Tessil::testing::FakePathAPI>();
    const std::wstring longFolder = L"C:\\" + std::wstring(200000, L'a') + L"\\";
    api->files.insert(longFolder + L"lib.dll");
    Tessil::PathSearch search(api);
    search.addSearchPaths({L"C:\\" + std::wstring(300000, L'$'), longFolder});
    std::wstring folder;
    ASSERT_TRUE(search.findFilePath(L"lib.dll", folder));
    EXPECT_EQ(folder.size(), longFolder.size() - 1);
}

TEST(PathSearch, FoldersAccumulateInOrderWithDuplicates) {
    Tessil::PathSearch search(std::make_shared<Tessil::testing::FakePathAPI>());
    search.addSearchPath(std::wstring(L"C:\\one"));
    search.addSearchPaths({L"C:\\two", L"C:\\one"});
    search.addSearchPath(std::string("C:\\three"));
    const std::vector<std::wstring> expected = {L"C:\\one", L"C:\\two", L"C:\\one", L"C:\\three"};
    EXPECT_EQ(search.getSearchPaths(), expected);
}

TEST(PathAPI, FileTests) {
    TempFolder temp;
    const std::wstring file = temp.path() + L"\\f.txt";
    TempFolder::writeFile(file, "x");
    struct Case {
        const wchar_t* path;
        bool file;
        bool directory;
    };
    const Case cases[] = {
        {file.c_str(), true, false},
        {temp.path().c_str(), false, true},
        {L"C:\\no\\such\\thing", false, false},
        {L"", false, false},
        {nullptr, false, false},
    };
    Tessil::PathAPI api;
    for (const Case& c : cases) {
        const std::wstring shown = c.path ? c.path : L"(null)";
        EXPECT_EQ(api.fileExists(c.path), c.file) << shown.size();
        EXPECT_EQ(api.isRegularFile(c.path), c.file) << shown.size();
        EXPECT_EQ(api.directoryExists(c.path), c.directory) << shown.size();
    }
}

TEST(PathAPI, ReadFileTakesEveryByteAsItIs) {
    TempFolder temp;
    const std::string bytes("line\r\nnext\x1a" "after\0zero\xff", 22);
    const std::wstring path = temp.path() + L"\\data.bin";
    TempFolder::writeFile(path, bytes);

    Tessil::PathAPI api;
    std::wstring text = L"old";
    ASSERT_TRUE(api.readFile(path, text));
    ASSERT_EQ(text.size(), bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        EXPECT_EQ(text[i], static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]))) << i;
    }

    std::wstring untouched = L"old";
    EXPECT_FALSE(api.readFile(temp.path() + L"\\missing.bin", untouched));
    EXPECT_EQ(untouched, L"old");
    // A folder opens as nothing readable.
    EXPECT_FALSE(api.readFile(temp.path(), untouched));

    const std::wstring copy = temp.path() + L"\\copy.bin";
    ASSERT_TRUE(api.writeFile(copy, text));
    std::wstring again;
    ASSERT_TRUE(api.readFile(copy, again));
    EXPECT_EQ(again, text);
    EXPECT_FALSE(api.writeFile(temp.path() + L"\\no\\such\\folder\\x.bin", text));
}

TEST(PathAPI, AStreamThatCannotBeReadIsAFailureNotAShortFile) {
    TempFolder temp;
    const std::wstring path = temp.path() + L"\\data.bin";
    TempFolder::writeFile(path, "0123456789");
    struct Case {
        const char* what;
        DWORD access;
        bool ok;
        std::string bytes;
    };
    const Case cases[] = {
        {"readable", GENERIC_READ, true, "0123456789"},
        // A stream over a handle without read access: every read fails.
        {"read fails", GENERIC_WRITE, false, ""},
    };
    for (const Case& c : cases) {
        HANDLE handle = CreateFileW(path.c_str(), c.access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << c.what;
        const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
        ASSERT_NE(descriptor, -1) << c.what;
        FILE* stream = _fdopen(descriptor, "rb");
        ASSERT_NE(stream, nullptr) << c.what;
        std::string bytes;
        EXPECT_EQ(Tessil::internal::ReadStreamBytes(stream, bytes), c.ok) << c.what;
        EXPECT_EQ(bytes, c.bytes) << c.what;
        fclose(stream);  // closes the handle too
    }
}
