#include "tools/registrar/FileIO.h"
#include "tools/registrar/JSONParser.h"
#include "tools/registrar/ReferenceManager.h"
#include "tools/registrar/ReferenceProvider.h"
#include "tools/registrar/testing/FaultyFileIO.h"
#include "tools/registrar/testing/FileTestHelpers.h"

#include <gtest/gtest.h>

#include <share.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

using Tessil::FileIO;
using Tessil::IFileIO;
using Tessil::JSONParser;
using Tessil::JSONReferenceProvider;
using Tessil::ReferenceManager;
using Tessil::ReferenceProvider;
using Tessil::testing::FaultyFileIO;
using Tessil::testing::FileExists;
using Tessil::testing::ReadBytes;
using Tessil::testing::ReferenceText;
using Tessil::testing::ScopedTempFolder;
using Tessil::testing::Utf16Le;
using Tessil::testing::WriteBytes;

namespace {

using Codes = std::set<std::wstring>;

// One provider and manager over a reference file, as Brisvel builds them.
struct Store {
    explicit Store(const std::wstring& path, std::shared_ptr<IFileIO> io = std::make_shared<FileIO>())
        : fileIO(std::move(io)),
          parser(std::make_shared<JSONParser>()),
          provider(std::make_shared<JSONReferenceProvider>(parser, fileIO, path)),
          manager(provider) {}

    std::shared_ptr<IFileIO> fileIO;
    std::shared_ptr<JSONParser> parser;
    std::shared_ptr<JSONReferenceProvider> provider;
    ReferenceManager manager;
};

class ReferenceStore : public ::testing::Test {
protected:
    ScopedTempFolder folder;
    const std::wstring path = folder.file(L"appregistry.dat");
    const std::wstring newPath = JSONReferenceProvider::newFilePath(path);
};

TEST_F(ReferenceStore, SavingBThenAWritesAFirst) {
    Store store(path);
    ASSERT_TRUE(store.provider->setup());
    ASSERT_TRUE(store.manager.loadReferences());
    EXPECT_TRUE(store.manager.addReference(L"B"));
    EXPECT_TRUE(store.manager.addReference(L"A"));
    ASSERT_TRUE(store.manager.saveReferences());
    static const char expected[] =
        "\xFF\xFE{\0\"\0r\0e\0g\0i\0s\0t\0r\0y\0\"\0:\0[\0{\0\"\0a\0p\0p\0c\0o\0d\0e\0\"\0:\0\"\0A\0\"\0}\0"
        ",\0{\0\"\0a\0p\0p\0c\0o\0d\0e\0\"\0:\0\"\0B\0\"\0}\0]\0}\0";
    static_assert(sizeof expected - 1 == 2 + 2 * 46);
    EXPECT_EQ(ReadBytes(path), std::string(expected, sizeof expected - 1));
    EXPECT_EQ(ReadBytes(path), Utf16Le(L"{\"registry\":[{\"appcode\":\"A\"},{\"appcode\":\"B\"}]}"));
    EXPECT_FALSE(FileExists(newPath));
}

TEST_F(ReferenceStore, AddRemoveAndEmptyGiveExactBytes) {
    struct Step {
        const char* title;
        std::vector<std::wstring> add;
        std::vector<std::wstring> remove;
        Codes after;
    };
    const Step steps[] = {
        {"first code", {L"A"}, {}, {L"A"}},
        {"two more, unsorted", {L"C", L"B"}, {}, {L"A", L"B", L"C"}},
        {"remove the middle", {}, {L"B"}, {L"A", L"C"}},
        {"non-ASCII and escapes", {L"\u00c9t\u00e9", L"q\"\\/\t"}, {}, {L"A", L"C", L"\u00c9t\u00e9", L"q\"\\/\t"}},
        {"remove all but one", {}, {L"C", L"\u00c9t\u00e9", L"q\"\\/\t"}, {L"A"}},
        {"the last code", {}, {L"A"}, {}},
        {"again after empty", {L"Z"}, {}, {L"Z"}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.title);
        Store store(path);  // a fresh run of the registrar each time
        ASSERT_TRUE(store.provider->setup());
        ASSERT_TRUE(store.manager.loadReferences());
        for (const std::wstring& code : step.add) EXPECT_TRUE(store.manager.addReference(code));
        for (const std::wstring& code : step.remove) EXPECT_TRUE(store.manager.removeReference(code));
        ASSERT_TRUE(store.manager.saveReferences());
        EXPECT_EQ(store.manager.referenceCount(), step.after.size());
        std::wstring text = ReferenceText(step.after);
        if (step.after.count(L"q\"\\/\t")) {
            const std::wstring raw = L"q\"\\/\t";
            text.replace(text.find(raw), raw.size(), L"q\\\"\\\\/\\t");
        }
        EXPECT_EQ(ReadBytes(path), Utf16Le(text));
    }
    EXPECT_EQ(ReadBytes(path), std::string("\xFF\xFE{\0\"\0r\0e\0g\0i\0s\0t\0r\0y\0\"\0:\0[\0{\0\"\0a\0p\0p\0c\0o\0d\0e\0"
                                           "\"\0:\0\"\0Z\0\"\0}\0]\0}\0", 2 + 2 * 30));
}

TEST_F(ReferenceStore, LastCodeRemovedLeavesTwoBraces) {
    WriteBytes(path, Utf16Le(L"{\"registry\":[{\"appcode\":\"A\"}]}"));
    Store store(path);
    ASSERT_TRUE(store.provider->setup());
    ASSERT_TRUE(store.manager.loadReferences());
    ASSERT_TRUE(store.manager.removeReference(L"A"));
    EXPECT_EQ(store.manager.referenceCount(), 0u);
    ASSERT_TRUE(store.manager.saveReferences());
    EXPECT_EQ(ReadBytes(path), std::string("\xFF\xFE{\0}\0", 6));
}

TEST_F(ReferenceStore, LoadingFiles) {
    struct Case {
        const char* title;
        std::string bytes;
        bool setUp;
        bool loaded;
        Codes codes;
    };
    const Case cases[] = {
        {"two codes and a duplicate", Utf16Le(L"{\"registry\":[{\"appcode\":\"A\"},{\"appcode\":\"A\"},"
                                              L"{\"appcode\":\"B\"}]}"), true, true, {L"A", L"B"}},
        {"unsorted codes", Utf16Le(L"{\"registry\":[{\"appcode\":\"B\"},{\"appcode\":\"A\"}]}"), true, true,
         {L"A", L"B"}},
        {"without byte-order mark", Utf16Le(L"{\"registry\":[{\"appcode\":\"A\"}]}", false), true, true, {L"A"}},
        {"with whitespace", Utf16Le(L"{ \"registry\" : [ { \"appcode\" : \"A\" } ] }\r\n"), true, true, {L"A"}},
        {"other members beside", Utf16Le(L"{\"v\":1,\"registry\":[{\"x\":2,\"appcode\":\"A\"}]}"), true, true,
         {L"A"}},
        {"empty registry", Utf16Le(L"{\"registry\":[]}"), true, true, {}},
        {"empty object", Utf16Le(L"{}"), true, true, {}},
        {"empty array", Utf16Le(L"[]"), true, true, {}},
        {"a string root", Utf16Le(L"\"A\""), true, true, {}},
        {"only another member", Utf16Le(L"{\"other\":[]}"), true, false, {}},
        {"appcode a number", Utf16Le(L"{\"registry\":[{\"appcode\":5}]}"), true, false, {}},
        {"bare string element", Utf16Le(L"{\"registry\":[\"A\"]}"), true, false, {}},
        {"registry an object", Utf16Le(L"{\"registry\":{\"appcode\":\"A\"}}"), true, false, {}},
        {"UTF-8 text", "{\"registry\":[{\"appcode\":\"A\"}]}", false, true, {}},
        {"truncated file", Utf16Le(L"{\"registry\":[{\"appcode\":\"A\"}"), false, true, {}},
        {"empty file", "", false, true, {}},
        {"lone surrogate", Utf16Le(std::wstring(L"{\"registry\":[{\"appcode\":\"") + wchar_t(0xDC00) + L"\"}]}"),
         false, true, {}},
        {"deeply nested", Utf16Le(std::wstring(200000, L'[') + std::wstring(200000, L']')), false, true, {}},
        {"huge", Utf16Le(L"{\"registry\":[{\"appcode\":\"" + std::wstring(600000, L'A') + L"\"}]}"), false, true,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        WriteBytes(path, c.bytes);
        Store store(path);
        EXPECT_TRUE(store.manager.addReference(L"kept"));  // loading adds to the set
        EXPECT_EQ(store.provider->setup(), c.setUp);
        EXPECT_EQ(store.provider->isSetUp(), c.setUp);
        EXPECT_FALSE(store.provider->unreadable());  // read, whether or not it loads
        EXPECT_EQ(store.manager.loadReferences(), c.loaded);
        Codes expected = c.codes;
        expected.insert(L"kept");
        EXPECT_EQ(store.manager.codes(), expected);
        EXPECT_EQ(store.manager.referenceCount(), expected.size());
        EXPECT_EQ(ReadBytes(path), c.bytes);  // loading writes nothing
    }
}

TEST_F(ReferenceStore, MissingFileCountsAsNoReferencesUnreadableFailsSetup) {
    {
        Store store(path);
        EXPECT_TRUE(store.provider->setup());
        EXPECT_FALSE(store.provider->unreadable());
        EXPECT_TRUE(store.manager.loadReferences());
        EXPECT_EQ(store.manager.referenceCount(), 0u);
    }
    WriteBytes(path, Utf16Le(L"{\"registry\":[{\"appcode\":\"A\"}]}"));
    WriteBytes(newPath, "left over");
    FILE* locked = _wfsopen(path.c_str(), L"rb", _SH_DENYRW);
    ASSERT_NE(locked, nullptr);
    {
        Store store(path);
        EXPECT_FALSE(store.provider->setup());  // there, but cannot be read now
        EXPECT_TRUE(store.provider->unreadable());
    }
    std::fclose(locked);
    EXPECT_TRUE(FileExists(newPath));  // nothing is touched beside it
    std::filesystem::remove(std::filesystem::path(newPath));
    std::filesystem::remove(std::filesystem::path(path));
    std::filesystem::create_directory(std::filesystem::path(path));
    {
        Store store(path);  // a folder in the file's place
        EXPECT_FALSE(store.provider->setup());
        EXPECT_TRUE(store.provider->unreadable());
        EXPECT_TRUE(store.manager.addReference(L"A"));
        EXPECT_FALSE(store.manager.saveReferences());  // nor is it replaced
    }
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(path)));
    EXPECT_FALSE(FileExists(newPath));
}

TEST_F(ReferenceStore, AFileThatExistsButWillNotOpenFailsSetup) {
    WriteBytes(path, Utf16Le(L"{\"registry\":[{\"appcode\":\"A\"}]}"));
    auto io = std::make_shared<FaultyFileIO>();
    io->failReadOpen = true;
    Store store(path, io);
    EXPECT_FALSE(store.provider->setup());
    EXPECT_TRUE(store.provider->unreadable());
    EXPECT_TRUE(store.manager.loadReferences());  // the document is still null
    EXPECT_EQ(store.manager.referenceCount(), 0u);
}

TEST_F(ReferenceStore, ManagerAddRemoveHasCount) {
    ReferenceManager manager(std::make_shared<JSONReferenceProvider>(std::make_shared<JSONParser>(),
                                                                     std::make_shared<FileIO>(), path));
    struct Op {
        char op;  // a add, r remove, h has
        const wchar_t* code;
        bool answer;
        std::uint64_t count;
    };
    const Op ops[] = {
        {'h', L"A", false, 0}, {'a', L"A", true, 1},  {'a', L"A", false, 1}, {'h', L"A", true, 1},
        {'h', L"a", false, 1}, {'a', L"a", true, 2},  {'a', L"", true, 3},   {'r', L"B", false, 3},
        {'r', L"A", true, 2},  {'r', L"A", false, 2}, {'r', L"", true, 1},   {'r', L"a", true, 0},
        {'r', L"a", false, 0},
    };
    for (const Op& op : ops) {
        const bool answer = op.op == 'a'   ? manager.addReference(op.code)
                            : op.op == 'r' ? manager.removeReference(op.code)
                                           : manager.hasReference(op.code);
        EXPECT_EQ(answer, op.answer) << op.op;
        EXPECT_EQ(manager.referenceCount(), op.count) << op.op;
    }
    EXPECT_FALSE(FileExists(path));  // nothing written before saveReferences
}

TEST_F(ReferenceStore, SavingAfterADocumentThatWasNoObject) {
    struct Case {
        const wchar_t* file;
        Codes codes;
        std::wstring written;
    };
    const Case cases[] = {
        {L"[1]", {L"A"}, L"{\"registry\":[{\"appcode\":\"A\"}]}"},
        {L"\"s\"", {L"A"}, L"{\"registry\":[{\"appcode\":\"A\"}]}"},
        {L"[1]", {}, L"{}"},
        {L"{\"other\":1,\"registry\":[]}", {}, L"{}"},
        {L"{\"other\":1,\"registry\":[]}", {L"B"}, L"{\"registry\":[{\"appcode\":\"B\"}]}"},
    };
    for (const Case& c : cases) {
        WriteBytes(path, Utf16Le(c.file));
        Store store(path);
        ASSERT_TRUE(store.provider->setup());
        for (const std::wstring& code : c.codes) store.manager.addReference(code);
        ASSERT_TRUE(store.manager.saveReferences());
        EXPECT_EQ(ReadBytes(path), Utf16Le(c.written));
    }
}

TEST_F(ReferenceStore, ACodeThatIsNoValidUtf16LeavesTheFileAsItWas) {
    const std::string old = Utf16Le(L"{\"registry\":[{\"appcode\":\"A\"}]}");
    WriteBytes(path, old);
    const std::wstring bad[] = {std::wstring(1, wchar_t(0xD800)), std::wstring(L"B") + wchar_t(0xDC00),
                                std::wstring(L"C") + wchar_t(0xD83D)};
    for (const std::wstring& code : bad) {
        Store store(path);
        ASSERT_TRUE(store.provider->setup());
        ASSERT_TRUE(store.manager.loadReferences());
        ASSERT_TRUE(store.manager.addReference(code));
        EXPECT_FALSE(store.manager.saveReferences());
        EXPECT_EQ(ReadBytes(path), old);
        EXPECT_FALSE(FileExists(newPath));
        EXPECT_TRUE(store.manager.hasReference(code));  // the set in memory is unchanged
    }
    Store store(path);  // a valid pair is fine
    ASSERT_TRUE(store.provider->setup());
    ASSERT_TRUE(store.manager.loadReferences());
    ASSERT_TRUE(store.manager.addReference(L"\U0001F600"));
    EXPECT_TRUE(store.manager.saveReferences());
    EXPECT_EQ(ReadBytes(path), Utf16Le(L"{\"registry\":[{\"appcode\":\"A\"},{\"appcode\":\"\U0001F600\"}]}"));
}

TEST_F(ReferenceStore, ASaveIntoAMissingFolderFails) {
    Store store(folder.file(L"missing\\appregistry.dat"));
    ASSERT_TRUE(store.provider->setup());
    store.manager.addReference(L"A");
    EXPECT_FALSE(store.manager.saveReferences());
    EXPECT_EQ(store.manager.referenceCount(), 1u);
}

// The codes of the old and the new file: enough for the new one to take
// several 256-byte writes.
Codes OldCodes() { return {L"A", L"B"}; }
Codes NewCodes() {
    Codes codes = {L"A"};
    for (int i = 0; i < 12; ++i) codes.insert(L"CODE" + std::to_wstring(i));
    return codes;
}

std::size_t StepsOfAFullSave(const std::wstring& path) {
    WriteBytes(path, Utf16Le(ReferenceText(OldCodes())));
    auto io = std::make_shared<FaultyFileIO>();
    Store store(path, io);
    EXPECT_TRUE(store.provider->setup());
    EXPECT_TRUE(store.manager.loadReferences());
    store.manager.removeReference(L"B");
    for (const std::wstring& code : NewCodes()) store.manager.addReference(code);
    EXPECT_TRUE(store.manager.saveReferences());
    EXPECT_EQ(ReadBytes(path), Utf16Le(ReferenceText(NewCodes())));
    return io->steps();
}

TEST_F(ReferenceStore, ASaveWritesANewFileBesideTheOldThenReplacesIt) {
    WriteBytes(path, Utf16Le(ReferenceText(OldCodes())));
    auto io = std::make_shared<FaultyFileIO>();
    Store store(path, io);
    ASSERT_TRUE(store.provider->setup());
    ASSERT_TRUE(store.manager.loadReferences());
    for (const std::wstring& code : NewCodes()) store.manager.addReference(code);
    store.manager.removeReference(L"B");
    ASSERT_TRUE(store.manager.saveReferences());
    const std::size_t bytes = Utf16Le(ReferenceText(NewCodes())).size();
    std::vector<std::wstring> expected = {L"exists " + path, L"open " + path + L" rb", L"exists " + newPath,
                                          L"open " + newPath + L" wb"};
    for (std::size_t written = 0; written < bytes; written += 256) {
        expected.push_back(L"write " + std::to_wstring(std::min<std::size_t>(256, bytes - written)));
    }
    expected.push_back(L"close");
    expected.push_back(L"replace " + newPath + L" " + path);
    EXPECT_EQ(io->journal(), expected);
    EXPECT_GT(bytes, 2 * 256u);  // three writes at least
}

TEST_F(ReferenceStore, ASaveInterruptedAtEachStepLeavesTheOldFile) {
    const std::size_t total = StepsOfAFullSave(path);
    ASSERT_GE(total, 6u);  // open, at least three writes, close, replace
    const std::string oldBytes = Utf16Le(ReferenceText(OldCodes()));
    const std::string newBytes = Utf16Le(ReferenceText(NewCodes()));
    for (bool stop : {false, true}) {
        for (std::size_t failAt = 1; failAt <= total; ++failAt) {
            SCOPED_TRACE("failing step " + std::to_string(failAt) + (stop ? ", then nothing more" : ""));
            std::filesystem::remove(std::filesystem::path(newPath));
            WriteBytes(path, oldBytes);
            auto io = std::make_shared<FaultyFileIO>(failAt);
            io->stopAfterFailure = stop;
            {
                Store store(path, io);
                ASSERT_TRUE(store.provider->setup());
                ASSERT_TRUE(store.manager.loadReferences());
                store.manager.removeReference(L"B");
                for (const std::wstring& code : NewCodes()) store.manager.addReference(code);
                EXPECT_FALSE(store.manager.saveReferences());
                EXPECT_EQ(store.manager.referenceCount(), NewCodes().size());  // memory unchanged
            }
            EXPECT_EQ(ReadBytes(path), oldBytes);
            // Without the stop the new file is cleaned up; with it, a leftover
            // new file harms no later load or save.
            EXPECT_EQ(FileExists(newPath), stop && failAt > 1);

            Store next(path);
            ASSERT_TRUE(next.provider->setup());
            ASSERT_TRUE(next.manager.loadReferences());
            EXPECT_EQ(next.manager.codes(), OldCodes());
            for (const std::wstring& code : NewCodes()) next.manager.addReference(code);
            next.manager.removeReference(L"B");
            ASSERT_TRUE(next.manager.saveReferences());
            EXPECT_EQ(ReadBytes(path), newBytes);
            EXPECT_FALSE(FileExists(newPath));
        }
    }
}

TEST_F(ReferenceStore, AFailedFirstSaveCreatesNoFile) {
    for (std::size_t failAt = 1; failAt <= 4; ++failAt) {
        SCOPED_TRACE(failAt);
        auto io = std::make_shared<FaultyFileIO>(failAt);
        Store store(path, io);
        ASSERT_TRUE(store.provider->setup());
        store.manager.addReference(L"A");
        EXPECT_FALSE(store.manager.saveReferences());
        EXPECT_FALSE(FileExists(path));
        EXPECT_FALSE(FileExists(newPath));
    }
}

TEST_F(ReferenceStore, ProviderSetupAndTeardownProtocol) {
    Store store(path);
    EXPECT_FALSE(store.provider->isSetUp());
    EXPECT_FALSE(store.provider->teardown());
    EXPECT_TRUE(store.provider->setup());
    EXPECT_FALSE(store.provider->setup());  // once
    EXPECT_TRUE(store.provider->isSetUp());
    EXPECT_TRUE(store.provider->teardown());
    EXPECT_FALSE(store.provider->isSetUp());
    EXPECT_TRUE(store.provider->setup());
}

TEST(ReferenceProviderBase, AnswersTrueAndDefersToItsHooks) {
    struct Counting : ReferenceProvider {
        bool allowSetup = true;
        bool allowTeardown = true;
        bool doSetup() override { return allowSetup; }
        bool doTeardown() override { return allowTeardown; }
    };
    Counting provider;
    Codes codes;
    EXPECT_TRUE(provider.loadReferences(codes));
    EXPECT_TRUE(provider.saveReferences(codes));
    provider.allowSetup = false;
    EXPECT_FALSE(provider.setup());
    EXPECT_FALSE(provider.isSetUp());
    provider.allowSetup = true;
    EXPECT_TRUE(provider.setup());
    provider.allowTeardown = false;
    EXPECT_FALSE(provider.teardown());
    EXPECT_TRUE(provider.isSetUp());
    provider.allowTeardown = true;
    EXPECT_TRUE(provider.teardown());
}

TEST(JSONReferenceProviderPath, TheNewFileIsAsLongAsTheFile) {
    EXPECT_EQ(JSONReferenceProvider::newFilePath(L"C:\\p\\appregistry.dat"), L"C:\\p\\appregistry.da~");
    EXPECT_EQ(JSONReferenceProvider::newFilePath(L"a~"), L"a_");
    EXPECT_EQ(JSONReferenceProvider::newFilePath(L""), L"");
}

TEST_F(ReferenceStore, ALeftoverNewFileIsRemovedBySetup) {
    WriteBytes(path, Utf16Le(L"{\"registry\":[{\"appcode\":\"A\"}]}"));
    WriteBytes(newPath, "left over");
    Store store(path);
    EXPECT_TRUE(store.provider->setup());
    EXPECT_FALSE(FileExists(newPath));
    EXPECT_TRUE(store.manager.loadReferences());
    EXPECT_EQ(store.manager.codes(), Codes{L"A"});
}

TEST(JSONReferenceProviderPath, AnEmptyPathMeansAppregistryJsonInTheCurrentFolder) {
    JSONReferenceProvider provider(std::make_shared<JSONParser>(), std::make_shared<FileIO>(), L"");
    EXPECT_EQ(provider.path(), L"appregistry.json");
}

}  // namespace
