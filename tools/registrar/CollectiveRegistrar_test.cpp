#include "tools/registrar/CollectiveRegistrar.h"

#include "platform/Logging/testing/CapturingLogger.h"
#include "tools/registrar/testing/FaultyFileIO.h"
#include "tools/registrar/testing/FileTestHelpers.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

using ETWLogging::testing::ScopedCapturingLogger;
using Tessil::CollectiveRegistrar;
using Tessil::testing::FaultyFileIO;
using Tessil::testing::FileExists;
using Tessil::testing::ReadBytes;
using Tessil::testing::ScopedTempFolder;
using Tessil::testing::ReferenceBytes;
using Tessil::testing::Utf16Le;
using Tessil::testing::WriteBytes;

namespace {

using Codes = std::set<std::wstring>;

struct Line {
    ETWLogging::LogLevel level;
    std::wstring text;  // %P stands for the reference file path
    bool operator==(const Line&) const = default;
};

enum class Start { NoFile, Codes, NotJson };
enum class End { Unchanged, Missing, Codes };

struct Case {
    const char* name;
    Start start;
    Codes startCodes;
    std::vector<std::wstring> args;  // after the program path
    bool uninstallAnswer;
    std::size_t failSaveAt;  // a step of the save that fails (0 none)
    bool expectedResult;
    int expectedUninstalls;
    End end;
    Codes endCodes;
    std::vector<Line> expectedLines;
};

constexpr ETWLogging::LogLevel kTrace = ETWLogging::LevelNormal;
constexpr ETWLogging::LogLevel kError = ETWLogging::LevelError;
const std::wstring kUnrecognized = L"Found an unrecognized command line switch - exiting.";
const std::wstring kNoSetup = L"Could not setup the referenceProvider.";
const std::wstring kUninstalling =
    L"Could not find %P or could not initialize referenceManager - uninstalling";

const Case kCases[] = {
    {"NoArgument", Start::NoFile, {}, {}, true, 0, false, 0, End::Missing, {}, {}},
    {"TwoArguments", Start::Codes, {L"A"}, {L"-register=B", L"-register=C"}, true, 0, false, 0,
     End::Unchanged, {}, {}},
    {"HelpWithDash", Start::Codes, {L"A"}, {L"-?"}, true, 0, false, 0, End::Unchanged, {}, {}},
    {"HelpWithSlash", Start::NoFile, {}, {L"/?"}, true, 0, false, 0, End::Missing, {}, {}},
    {"RegisterCreatesTheFile", Start::NoFile, {}, {L"-register=A"}, true, 0, true, 0, End::Codes,
     {L"A"}, {{kTrace, L"Saved registration of A to %P"}}},
    {"RegisterKeepsTheCodesSorted", Start::Codes, {L"B"}, {L"/register=A"}, true, 0, true, 0,
     End::Codes, {L"A", L"B"}, {{kTrace, L"Saved registration of A to %P"}}},
    {"RegisterTwice", Start::Codes, {L"A"}, {L"-register=A"}, true, 0, false, 0, End::Unchanged,
     {}, {{kError, L"Registration of A failed (file: %P)"}}},
    {"RegisterWithoutCode", Start::NoFile, {}, {L"-register"}, true, 0, false, 0, End::Missing, {},
     {{kError, L"Registration of  failed (file: %P)"}}},
    {"RegisterOverInvalidFile", Start::NotJson, {}, {L"-register=A"}, true, 0, true, 0,
     End::Codes, {L"A"},
     {{kError, kNoSetup},
      {kError, L"Kept the content of %P, which does not load, as %P.bad"},
      {kTrace, L"Saved registration of A to %P"}}},
    {"RegisterWhoseSaveFails", Start::Codes, {L"B"}, {L"-register=A"}, true, 1, false, 0,
     End::Unchanged, {}, {{kError, L"Registration of A failed (file: %P)"}}},
    {"UnregisterKeepsTheOthers", Start::Codes, {L"A", L"B"}, {L"-unregister=A"}, true, 0, true, 0,
     End::Codes, {L"B"}, {}},
    {"UnregisterTheLastCode", Start::Codes, {L"A"}, {L"/unregister=A"}, true, 0, true, 1,
     End::Codes, {}, {}},
    {"UnregisterTheLastCodeUninstallFails", Start::Codes, {L"A"}, {L"-unregister=A"}, false, 0,
     false, 1, End::Codes, {}, {{kError, L"Uninstall of %P failed after last reference removed"}}},
    {"UnregisterUnknownCode", Start::Codes, {L"A"}, {L"-unregister=C"}, true, 0, false, 0,
     End::Unchanged, {}, {}},
    {"UnregisterWithoutCode", Start::Codes, {L"A"}, {L"-unregister"}, true, 0, false, 0,
     End::Unchanged, {}, {}},
    {"UnregisterWhoseSaveFails", Start::Codes, {L"A", L"B"}, {L"-unregister=A"}, true, 2, false, 0,
     End::Unchanged, {}, {{kError, L"Could not save unregister of code A"}}},
    {"UnregisterWithoutFile", Start::NoFile, {}, {L"-unregister=A"}, true, 0, true, 1,
     End::Missing, {}, {{kError, kUninstalling}}},
    {"UnregisterWithoutFileUninstallFails", Start::NoFile, {}, {L"-unregister=A"}, false, 0, false,
     1, End::Missing, {}, {{kError, kUninstalling}, {kError, L"Uninstall of %P failed"}}},
    {"UnregisterOverInvalidFile", Start::NotJson, {}, {L"-unregister=A"}, true, 0, false, 0,
     End::Unchanged, {}, {{kError, kNoSetup}, {kError, L"Could not load %P - not uninstalling"}}},
    {"OtherLetterCase", Start::Codes, {L"A"}, {L"-Register=A"}, true, 0, false, 0, End::Unchanged,
     {}, {{kTrace, kUnrecognized}}},
    {"UnknownSwitch", Start::Codes, {L"A"}, {L"-add=A"}, true, 0, false, 0, End::Unchanged, {},
     {{kTrace, kUnrecognized}}},
    {"NoPrefix", Start::Codes, {L"A"}, {L"register=B"}, true, 0, false, 0, End::Unchanged, {}, {}},
};

class CollectiveRegistrarCases : public ::testing::TestWithParam<Case> {};

TEST_P(CollectiveRegistrarCases, Execute) {
    const Case& c = GetParam();
    ScopedTempFolder folder;
    const std::wstring path = folder.file(L"appregistry.dat");
    std::string startBytes;
    if (c.start == Start::Codes) startBytes = ReferenceBytes(c.startCodes);
    if (c.start == Start::NotJson) startBytes = Utf16Le(L"{\"registry\":[");
    if (c.start != Start::NoFile) WriteBytes(path, startBytes);

    std::vector<std::wstring> uninstalled;
    auto io = std::make_shared<FaultyFileIO>(c.failSaveAt);
    ScopedCapturingLogger logger;
    bool result = false;
    {
        CollectiveRegistrar registrar(
            path,
            [&](const wchar_t* file) {
                uninstalled.push_back(file);
                return c.uninstallAnswer;
            },
            io);
        std::vector<const wchar_t*> argv{L"Z:\\bin\\Brisvel.exe"};
        for (const std::wstring& arg : c.args) argv.push_back(arg.c_str());
        result = registrar.execute(static_cast<int>(argv.size()), argv.data());
    }

    EXPECT_EQ(result, c.expectedResult);
    EXPECT_EQ(uninstalled, std::vector<std::wstring>(c.expectedUninstalls, path));
    switch (c.end) {
        case End::Unchanged:
            EXPECT_EQ(ReadBytes(path), startBytes);
            break;
        case End::Missing:
            EXPECT_FALSE(FileExists(path));
            break;
        case End::Codes:
            EXPECT_EQ(ReadBytes(path), ReferenceBytes(c.endCodes));
            break;
    }
    EXPECT_FALSE(FileExists(Tessil::JSONReferenceProvider::newFilePath(path)));

    std::vector<Line> lines;
    for (const auto& record : logger->Records()) {
        EXPECT_EQ(record.file, L"CollectiveRegistrar");
        EXPECT_EQ(record.function, L"Tessil::CollectiveRegistrar::execute");
        lines.push_back({record.level, record.text});
    }
    std::vector<Line> expected;
    for (Line line : c.expectedLines) {
        for (auto at = line.text.find(L"%P"); at != std::wstring::npos; at = line.text.find(L"%P")) {
            line.text.replace(at, 2, path);
        }
        expected.push_back(line);
    }
    EXPECT_EQ(lines, expected);
}

INSTANTIATE_TEST_SUITE_P(All, CollectiveRegistrarCases, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A file that is there but cannot be opened: neither switch writes, runs or
// uninstalls anything.
TEST(CollectiveRegistrar, AFileThatCannotBeReadChangesNothing) {
    ScopedTempFolder folder;
    const std::wstring path = folder.file(L"appregistry.dat");
    const std::string bytes = ReferenceBytes({L"A"});
    WriteBytes(path, bytes);
    for (const wchar_t* argument : {L"-register=B", L"-unregister=A"}) {
        auto io = std::make_shared<FaultyFileIO>();
        io->failReadOpen = true;
        int uninstalls = 0;
        ScopedCapturingLogger logger;
        CollectiveRegistrar registrar(path, [&](const wchar_t*) { return ++uninstalls > 0; }, io);
        const wchar_t* argv[] = {L"Brisvel.exe", argument};
        EXPECT_FALSE(registrar.execute(2, argv));
        EXPECT_EQ(uninstalls, 0);
        ASSERT_EQ(logger->Records().size(), 2u);
        EXPECT_EQ(logger->Records()[1].text, L"Could not read " + path + L" - nothing changed");
    }
    EXPECT_EQ(ReadBytes(path), bytes);
    EXPECT_FALSE(FileExists(path + CollectiveRegistrar::kUnloadableCopySuffix));
}

// The registered callback runs once after a saved registration and after one
// of a code listed already (an earlier cancel may have failed), and its
// failure fails the run.
TEST(CollectiveRegistrar, ASavedOrListedRegistrationRunsTheRegisteredCallback) {
    ScopedTempFolder folder;
    const std::wstring path = folder.file(L"appregistry.dat");
    const std::wstring notCancelled = L"Could not cancel the deletions at restart of %P";
    struct Case {
        const wchar_t* argument;
        bool answer;
        bool expectedResult;
        int expectedCalls;
        std::vector<std::wstring> expectedLines;
    };
    const Case cases[] = {
        {L"-register=A", true, true, 1, {L"Saved registration of A to %P"}},
        {L"-register=A", true, false, 1, {L"Registration of A failed (file: %P)"}},
        {L"-register=A", false, false, 1, {L"Registration of A failed (file: %P)", notCancelled}},
        {L"-register=B", false, false, 1, {L"Saved registration of B to %P", notCancelled}},
        {L"-register", true, false, 0, {L"Registration of  failed (file: %P)"}},
        {L"-unregister=B", true, true, 0, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::wstring> calls;
        ScopedCapturingLogger logger;
        {
            CollectiveRegistrar registrar(
                path, [](const wchar_t*) { return true; }, nullptr, nullptr, nullptr, nullptr,
                [&](const wchar_t* file) {
                    calls.push_back(file);
                    return c.answer;
                });
            const wchar_t* argv[] = {L"Brisvel.exe", c.argument};
            EXPECT_EQ(registrar.execute(2, argv), c.expectedResult) << c.argument;
        }
        EXPECT_EQ(calls, std::vector<std::wstring>(c.expectedCalls, path)) << c.argument;
        std::vector<std::wstring> lines;
        for (const auto& record : logger->Records()) lines.push_back(record.text);
        std::vector<std::wstring> expected;
        for (std::wstring line : c.expectedLines) {
            line.replace(line.find(L"%P"), 2, path);
            expected.push_back(line);
        }
        EXPECT_EQ(lines, expected) << c.argument;
    }
    EXPECT_EQ(ReadBytes(path), ReferenceBytes({L"A"}));
}

// A store given from outside is used as given, and the defaults it implies are
// not made again.
TEST(CollectiveRegistrar, UsesTheCollaboratorsItIsGiven) {
    ScopedTempFolder folder;
    const std::wstring path = folder.file(L"appregistry.dat");
    const std::wstring otherPath = folder.file(L"other.dat");
    auto io = std::make_shared<FaultyFileIO>();
    auto parser = std::make_shared<Tessil::JSONParser>();
    std::shared_ptr<Tessil::ReferenceProvider> provider =
        std::make_shared<Tessil::JSONReferenceProvider>(parser, io, otherPath);
    auto manager = std::make_shared<Tessil::ReferenceManager>(provider);
    {
        CollectiveRegistrar registrar(path, nullptr, io, parser, provider, manager);
        const wchar_t* argv[] = {L"Brisvel.exe", L"-register=A"};
        EXPECT_TRUE(registrar.execute(2, argv));
    }
    EXPECT_EQ(ReadBytes(otherPath), ReferenceBytes({L"A"}));
    EXPECT_FALSE(FileExists(path));
    EXPECT_TRUE(manager->hasReference(L"A"));
}

}  // namespace
