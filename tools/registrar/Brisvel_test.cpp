// Brisvel as a process under Wine, over the real HKLM values it reads. Each
// test runs a copy of the program (Wine would carry out the deletions it
// schedules at its next start) and restores the values and the scheduled
// renames it found. The program logs to its file log.
#include "platform/files/testing/FileTestSupport.h"
#include "tools/common/testing/ProgramFileLog.h"
#include "tools/common/testing/ProgramTestSupport.h"
#include "tools/registrar/RegistrarFunctions.h"
#include "tools/registrar/testing/FileTestHelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

using Kelmora::testing::NameWatcher;
using Tessil::testing::FileExists;
using Tessil::testing::ProgramFileLog;
using Tessil::testing::ReadBytes;
using Tessil::testing::ReferenceBytes;
using Tessil::testing::RunProgram;
using Tessil::testing::SavedMachineValue;
using Tessil::testing::ScopedTempFolder;
using Tessil::testing::StartProgram;
using Tessil::testing::StartupImports;
using Tessil::testing::Utf16Le;
using Tessil::testing::WinePath;
using Tessil::testing::WriteBytes;

namespace {

constexpr const wchar_t* kSessionManager = L"System\\CurrentControlSet\\Control\\Session Manager";
constexpr const wchar_t* kPendingRenames = L"PendingFileRenameOperations";

using Codes = std::set<std::wstring>;

std::string Narrow(const std::wstring& ascii) { return std::string(ascii.begin(), ascii.end()); }

class BrisvelProcess : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(product);
        std::filesystem::create_directories(installer);
        std::filesystem::create_directories(programFolder);
        ASSERT_TRUE(CopyFileW(WinePath(VT_BRISVEL_EXE).c_str(), program.c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(WinePath(VT_CVINST_EXE).c_str(),
                              (installer + L"\\CvInst.exe").c_str(), FALSE));
        productValue.WriteString(product);
        installerValue.WriteString(installer);
        renames.RememberRenameCount();
        SetEnvironmentVariableW(L"VT_CVINST_JOURNAL", journal.c_str());
        SetEnvironmentVariableW(L"VT_CVINST_SLEEP_MS", L"200");
        SetEnvironmentVariableW(L"VT_CVINST_EXIT_CODE", nullptr);
        ASSERT_TRUE(log.Clear());
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"VT_CVINST_JOURNAL", nullptr);
        SetEnvironmentVariableW(L"VT_CVINST_SLEEP_MS", nullptr);
        SetEnvironmentVariableW(L"VT_CVINST_EXIT_CODE", nullptr);
    }

    DWORD Run(const std::wstring& arguments, const std::wstring& programPath = L"") {
        const auto result = RunProgram(programPath.empty() ? program : programPath, arguments);
        EXPECT_TRUE(result.started);
        EXPECT_TRUE(result.ended);
        return result.exitCode;
    }
    // The journal the installer writes for one run with this command line.
    std::string InstallerRun() const {
        return "cmdline \"" + Narrow(installer) + "\\CvInst.exe\" /uninstall \"" + Narrow(product) +
               "\\vantrel64.inf\"\ndone\n";
    }
    // The renames scheduled since SetUp, in order, each to no target.
    std::vector<std::wstring> NewDeletions() const {
        std::vector<std::wstring> sources;
        const auto pairs = renames.RenamePairs();
        for (std::size_t i = renames.OldRenameCount(); i < pairs.size(); ++i) {
            EXPECT_EQ(pairs[i].second, L"") << Narrow(pairs[i].first);
            sources.push_back(pairs[i].first);
        }
        return sources;
    }
    std::vector<std::wstring> UninstallDeletions(const std::wstring& programPath) const {
        return {L"\\??\\" + programPath, L"\\??\\" + registry, L"\\??\\" + newFile,
                L"\\??\\" + product};
    }
    // Whether the run's log holds message from the registrar's source line.
    bool Logged(int line, const std::wstring& message) const {
        wchar_t source[32];
        swprintf(source, 32, L"CollectiveRegistrar:%5d]$", line);
        const std::wstring tail = L" " + message;
        for (const std::wstring& text : log.Lines()) {
            if (text.find(source) != std::wstring::npos && text.size() >= tail.size() &&
                text.compare(text.size() - tail.size(), tail.size(), tail) == 0) {
                return true;
            }
        }
        return false;
    }

    // Declared first: the values and renames are put back last.
    SavedMachineValue renames{kSessionManager, kPendingRenames};
    SavedMachineValue productValue{kProductKey, kInstallDirValue};
    SavedMachineValue installerValue{kInstallerKey, kInstallDirValue};
    ProgramFileLog log{L"Brisvel"};
    ScopedTempFolder folder;
    const std::wstring product = folder.file(L"Vantrel");
    const std::wstring installer = folder.file(L"CvInst");
    const std::wstring programFolder = folder.file(L"bin");
    const std::wstring program = programFolder + L"\\Brisvel.exe";
    const std::wstring registry = product + L"\\appregistry.dat";
    const std::wstring newFile = product + L"\\appregistry.da~";  // a save's new file
    const std::wstring badFile = registry + L".bad";
    const std::wstring journal = folder.file(L"installer.journal");
};

enum class Start { NoFile, Codes, Bytes };
enum class End { Unchanged, Missing, Codes };

// The bytes of a reference file holding text.
std::string Text(const std::wstring& text) { return Utf16Le(text); }

const std::string kNotJson = Text(L"{\"registry\":[{\"appcode\":");
const std::string kNoRegistry = Text(L"{\"other\":1}");
const std::string kCodesOfTwo = ReferenceBytes({L"A", L"B"});

struct Case {
    const char* name;
    Start start;
    Codes startCodes;
    std::wstring arguments;
    const wchar_t* installerExitCode;  // null: 0
    DWORD expectedExit;
    End end;
    Codes endCodes;
    bool uninstalls;  // installer run and deletions scheduled
    std::string startBytes = {};  // for Start::Bytes
    bool keepsBadFile = false;    // the start bytes kept beside as appregistry.dat.bad
};

const Case kCases[] = {
    {"RegisterCreatesTheFile", Start::NoFile, {}, L"-register=A", nullptr, 0, End::Codes, {L"A"},
     false},
    {"RegisterSortsTheCodes", Start::Codes, {L"B"}, L"/register=A", nullptr, 0, End::Codes,
     {L"A", L"B"}, false},
    {"RegisterTwice", Start::Codes, {L"A"}, L"-register=A", nullptr, 1, End::Unchanged, {}, false},
    {"RegisterOverInvalidFile", Start::Bytes, {}, L"-register=A", nullptr, 0, End::Codes, {L"A"},
     false, kNotJson, true},
    {"RegisterOverObjectWithoutRegistry", Start::Bytes, {}, L"-register=A", nullptr, 0, End::Codes,
     {L"A"}, false, kNoRegistry, true},
    {"UnregisterOneOfTwo", Start::Codes, {L"A", L"B"}, L"-unregister=A", nullptr, 0, End::Codes,
     {L"B"}, false},
    {"UnregisterTheLastCode", Start::Codes, {L"A"}, L"/unregister=A", nullptr, 0, End::Codes, {},
     true},
    {"InstallerExitsNonZero", Start::Codes, {L"A"}, L"-unregister=A", L"5", 0, End::Codes, {},
     true},
    {"UnregisterUnknownCode", Start::Codes, {L"A"}, L"-unregister=C", nullptr, 1, End::Unchanged,
     {}, false},
    {"UnregisterWithoutFile", Start::NoFile, {}, L"-unregister=A", nullptr, 0, End::Missing, {},
     true},
    // A file that is there but does not load may still list other codes.
    {"UnregisterOverInvalidFile", Start::Bytes, {}, L"-unregister=A", nullptr, 1, End::Unchanged,
     {}, false, kNotJson},
    {"UnregisterOverObjectWithoutRegistry", Start::Bytes, {}, L"-unregister=A", nullptr, 1,
     End::Unchanged, {}, false, kNoRegistry},
    {"UnregisterOverCodesThatAreNumbers", Start::Bytes, {}, L"-unregister=A", nullptr, 1,
     End::Unchanged, {}, false, Text(L"{\"registry\":[{\"appcode\":5}]}")},
    {"UnregisterOverAnEmptyObject", Start::Bytes, {}, L"-unregister=A", nullptr, 1,
     End::Unchanged, {}, false, Text(L"{}")},
    {"UnregisterOverANumberTooLarge", Start::Bytes, {}, L"-unregister=A", nullptr, 1,
     End::Unchanged, {}, false, Text(L"{\"registry\":[{\"appcode\":\"A\"}],\"n\":[1e309]}")},
    {"UnregisterOverANumberThatOverflows", Start::Bytes, {}, L"-unregister=A", nullptr, 1,
     End::Unchanged, {}, false,
     Text(L"{\"registry\":[{\"appcode\":\"A\"}],\"n\":[99999980e301]}")},
    // The text ends at its first NUL; an odd last byte is no part of it.
    {"UnregisterReadsUpToTheFirstNul", Start::Bytes, {}, L"-unregister=A", nullptr, 0, End::Codes,
     {L"B"}, false, kCodesOfTwo + std::string("\0\0}\0", 4)},
    {"UnregisterIgnoresAnOddLastByte", Start::Bytes, {}, L"-unregister=A", nullptr, 0, End::Codes,
     {L"B"}, false, kCodesOfTwo + "}"},
    {"Help", Start::Codes, {L"A"}, L"-?", nullptr, 1, End::Unchanged, {}, false},
    {"NoArgument", Start::Codes, {L"A"}, L"", nullptr, 1, End::Unchanged, {}, false},
    {"TwoArguments", Start::Codes, {L"A"}, L"-unregister=A -unregister=A", nullptr, 1,
     End::Unchanged, {}, false},
    {"OtherLetterCase", Start::Codes, {L"A"}, L"-Unregister=A", nullptr, 1, End::Unchanged, {},
     false},
};

class BrisvelCases : public BrisvelProcess, public ::testing::WithParamInterface<Case> {};

TEST_P(BrisvelCases, Run) {
    const Case& c = GetParam();
    std::string startBytes = c.startBytes;
    if (c.start == Start::Codes) startBytes = ReferenceBytes(c.startCodes);
    if (c.start != Start::NoFile) WriteBytes(registry, startBytes);
    if (c.installerExitCode) SetEnvironmentVariableW(L"VT_CVINST_EXIT_CODE", c.installerExitCode);

    EXPECT_EQ(Run(c.arguments), c.expectedExit);

    switch (c.end) {
        case End::Unchanged: EXPECT_EQ(ReadBytes(registry), startBytes); break;
        case End::Missing: EXPECT_FALSE(FileExists(registry)); break;
        case End::Codes: EXPECT_EQ(ReadBytes(registry), ReferenceBytes(c.endCodes)); break;
    }
    if (c.keepsBadFile) {
        EXPECT_EQ(ReadBytes(badFile), startBytes);
    } else {
        EXPECT_FALSE(FileExists(badFile));
    }
    EXPECT_FALSE(FileExists(newFile));
    EXPECT_EQ(ReadBytes(journal), c.uninstalls ? InstallerRun() : "");
    EXPECT_EQ(NewDeletions(),
              c.uninstalls ? UninstallDeletions(program) : std::vector<std::wstring>{});
}

INSTANTIATE_TEST_SUITE_P(All, BrisvelCases, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BrisvelProcess, InstallerFolderMissingFailsBeforeAnythingRuns) {
    WriteBytes(registry, ReferenceBytes({L"A"}));
    installerValue.Remove();
    EXPECT_EQ(Run(L"-unregister=A"), 1u);
    EXPECT_EQ(ReadBytes(registry), ReferenceBytes({}));  // saved before the uninstallation
    EXPECT_EQ(ReadBytes(journal), "");
    EXPECT_EQ(NewDeletions(), std::vector<std::wstring>{});
}

TEST_F(BrisvelProcess, EmptyInstallerFolderCountsAsMissing) {
    installerValue.WriteString(L"");
    EXPECT_EQ(Run(L"-unregister=A"), 1u);
    EXPECT_EQ(ReadBytes(journal), "");
    EXPECT_EQ(NewDeletions(), std::vector<std::wstring>{});
}

TEST_F(BrisvelProcess, ProductFolderMissingOrEmptyEndsTheRun) {
    // An empty folder would put the reference file at the root of the drive.
    const std::wstring rootFile = L"\\appregistry.dat";
    const bool rootFileExisted = FileExists(rootFile);
    productValue.Remove();
    EXPECT_EQ(Run(L"-register=A"), 1u);
    productValue.WriteString(L"");
    EXPECT_EQ(Run(L"-register=A"), 1u);
    EXPECT_EQ(Run(L"-unregister=A"), 1u);
    EXPECT_EQ(FileExists(rootFile), rootFileExisted);
    EXPECT_EQ(ReadBytes(journal), "");
    EXPECT_EQ(NewDeletions(), std::vector<std::wstring>{});
}

// Locked for a moment by a backup or a scanner, or not a file at all: the file
// may list other codes, so neither switch changes anything.
TEST_F(BrisvelProcess, AFileThatCannotBeReadChangesNothing) {
    const std::string bytes = ReferenceBytes({L"A", L"B"});
    WriteBytes(registry, bytes);
    HANDLE locked = CreateFileW(registry.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Run(L"-register=C"), 1u);
    EXPECT_EQ(Run(L"-unregister=A"), 1u);
    CloseHandle(locked);
    EXPECT_TRUE(log.HasLine(L"Could not read " + registry + L" - nothing changed")) << log.File();
    EXPECT_EQ(ReadBytes(registry), bytes);
    EXPECT_FALSE(FileExists(badFile));

    ASSERT_TRUE(DeleteFileW(registry.c_str()));
    ASSERT_TRUE(CreateDirectoryW(registry.c_str(), nullptr));
    EXPECT_EQ(Run(L"-unregister=A"), 1u);
    EXPECT_EQ(Run(L"-register=C"), 1u);
    EXPECT_TRUE(RemoveDirectoryW(registry.c_str()));

    EXPECT_EQ(ReadBytes(journal), "");
    EXPECT_EQ(NewDeletions(), std::vector<std::wstring>{});
}

TEST_F(BrisvelProcess, AFileThatDoesNotLoadIsKeptBesideOnRegisterAndLeftOnUnregister) {
    const std::string older = Text(L"older");
    WriteBytes(badFile, older);
    WriteBytes(registry, kNotJson);
    ASSERT_TRUE(log.Clear());
    EXPECT_EQ(Run(L"-unregister=A"), 1u);
    EXPECT_TRUE(log.HasLine(L"Could not load " + registry + L" - not uninstalling")) << log.File();
    EXPECT_EQ(ReadBytes(registry), kNotJson);
    EXPECT_EQ(ReadBytes(badFile), older);

    ASSERT_TRUE(log.Clear());
    EXPECT_EQ(Run(L"-register=A"), 0u);
    EXPECT_TRUE(log.HasLine(L"Kept the content of " + registry + L", which does not load, as " +
                            badFile))
        << log.File();
    EXPECT_EQ(ReadBytes(registry), ReferenceBytes({L"A"}));
    EXPECT_EQ(ReadBytes(badFile), kNotJson);  // the older one replaced
    EXPECT_EQ(ReadBytes(journal), "");
    EXPECT_EQ(NewDeletions(), std::vector<std::wstring>{});
}

// A read-only file that does not load: its copy is writable, so that a later
// registration can keep the next unloadable content over it.
TEST_F(BrisvelProcess, TheCopyOfAFileThatDoesNotLoadIsWritable) {
    WriteBytes(registry, kNotJson);
    ASSERT_TRUE(SetFileAttributesW(registry.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(Run(L"-register=A"), 1u);  // the read-only file is not replaced
    EXPECT_EQ(ReadBytes(badFile), kNotJson);
    const DWORD attributes = GetFileAttributesW(badFile.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attributes & FILE_ATTRIBUTE_READONLY, 0u);

    // Over an older copy that is read-only itself.
    ASSERT_TRUE(SetFileAttributesW(badFile.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW(registry.c_str(), FILE_ATTRIBUTE_NORMAL));
    WriteBytes(registry, kNoRegistry);
    EXPECT_EQ(Run(L"-register=A"), 0u);
    EXPECT_EQ(ReadBytes(registry), ReferenceBytes({L"A"}));
    EXPECT_EQ(ReadBytes(badFile), kNoRegistry);
    EXPECT_EQ(GetFileAttributesW(badFile.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    SetFileAttributesW(badFile.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A reinstallation before the restart: the deletions the last unregistration
// scheduled would remove the new program and reference file.
TEST_F(BrisvelProcess, ARegistrationCancelsTheDeletionsOfTheLastUnregistration) {
    using Pairs = std::vector<std::pair<std::wstring, std::wstring>>;
    const std::wstring other = folder.file(L"other.txt");
    // Entries of others, among them a rename of the reference file: they stay.
    Pairs expected = renames.RenamePairs();
    const Pairs foreign = {{L"\\??\\" + other, L""},
                           {L"\\??\\" + registry, L"!\\??\\" + other},
                           {L"\\??\\" + product + L"\\other.dat", L""}};
    expected.insert(expected.end(), foreign.begin(), foreign.end());
    renames.WriteRenamePairs(expected);
    renames.RememberRenameCount();

    WriteBytes(registry, ReferenceBytes({L"A"}));
    EXPECT_EQ(Run(L"-unregister=A"), 0u);
    EXPECT_EQ(NewDeletions(), UninstallDeletions(program));
    EXPECT_EQ(Run(L"-register=B"), 0u);
    EXPECT_EQ(renames.RenamePairs(), expected);
    EXPECT_EQ(ReadBytes(registry), ReferenceBytes({L"B"}));

    // A second registration finds nothing to cancel and leaves the list alone.
    EXPECT_EQ(Run(L"-register=C"), 0u);
    EXPECT_EQ(renames.RenamePairs(), expected);
}

// The list was of another type for a moment when the registration was saved:
// a retry, though it finds the code listed, still cancels the deletions.
TEST_F(BrisvelProcess, ARegistrationWhoseCancelFailedCancelsWhenRetried) {
    const auto before = renames.RenamePairs();
    WriteBytes(registry, ReferenceBytes({L"A"}));
    EXPECT_EQ(Run(L"-unregister=A"), 0u);
    EXPECT_EQ(NewDeletions(), UninstallDeletions(program));
    const auto scheduled = renames.Read();
    ASSERT_TRUE(scheduled);
    ASSERT_EQ(scheduled->first, static_cast<DWORD>(REG_MULTI_SZ));

    const std::wstring notCancelled = L"Could not cancel the deletions at restart of " + registry;
    const std::wstring listed = L"Registration of B failed (file: " + registry + L")";
    renames.Write(REG_BINARY, scheduled->second);
    ASSERT_TRUE(log.Clear());
    EXPECT_EQ(Run(L"-register=B"), 1u);
    EXPECT_TRUE(log.HasLine(notCancelled)) << log.File();
    EXPECT_EQ(ReadBytes(registry), ReferenceBytes({L"B"}));
    // A duplicate whose cancel fails again is no success either.
    ASSERT_TRUE(log.Clear());
    EXPECT_EQ(Run(L"-register=B"), 1u);
    EXPECT_TRUE(log.HasLine(listed)) << log.File();
    EXPECT_TRUE(log.HasLine(notCancelled)) << log.File();
    EXPECT_EQ(renames.Read(), std::make_optional(std::make_pair(DWORD{REG_BINARY},
                                                                scheduled->second)));

    renames.Write(REG_MULTI_SZ, scheduled->second);
    ASSERT_TRUE(log.Clear());
    EXPECT_EQ(Run(L"-register=B"), 1u);
    EXPECT_TRUE(log.HasLine(listed)) << log.File();
    EXPECT_FALSE(log.HasLine(notCancelled)) << log.File();
    EXPECT_EQ(renames.RenamePairs(), before);
    EXPECT_EQ(ReadBytes(registry), ReferenceBytes({L"B"}));
    EXPECT_EQ(ReadBytes(journal), InstallerRun());
}

// The restart itself: only this test's own entries are in the list while the
// prefix restarts (the test program runs alone, and the others' entries are put
// back afterwards), one of them a marker file whose deletion shows that the
// restart carried the list out.
TEST_F(BrisvelProcess, TheRestartAfterARegistrationKeepsTheNewInstallation) {
    WriteBytes(registry, ReferenceBytes({L"A"}));
    EXPECT_EQ(Run(L"-unregister=A"), 0u);
    EXPECT_EQ(Run(L"-register=B"), 0u);

    auto own = renames.RenamePairs();
    own.erase(own.begin(), own.begin() + static_cast<std::ptrdiff_t>(
                                             std::min(renames.OldRenameCount(), own.size())));
    renames.WriteRenamePairs(own);
    const std::wstring marker = folder.file(L"marker.txt");
    WriteBytes(marker, "x");
    ASSERT_TRUE(MoveFileExW(marker.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));

    const auto restart = RunProgram(L"C:\\windows\\system32\\wineboot.exe", L"-r");
    ASSERT_TRUE(restart.started);
    ASSERT_TRUE(restart.ended);
    EXPECT_FALSE(FileExists(marker));
    EXPECT_TRUE(FileExists(program));
    EXPECT_EQ(ReadBytes(registry), ReferenceBytes({L"B"}));
}

// The new file of a save is as long as the reference file's name, so every
// product folder whose reference file fits can be saved to.
TEST_F(BrisvelProcess, SavesInProductFoldersUpToTheLongestThatFits) {
    const std::wstring base = folder.file(L"long");
    ASSERT_LT(base.size(), 200u);
    for (std::size_t length = 240; length <= 243; ++length) {
        const std::wstring longFolder = base + L"\\" + std::wstring(length - base.size() - 1, L'x');
        ASSERT_EQ(longFolder.size(), length);
        std::filesystem::create_directories(longFolder);
        productValue.WriteString(longFolder);
        EXPECT_EQ(Run(L"-register=A"), 0u) << length;
        EXPECT_EQ(ReadBytes(longFolder + L"\\appregistry.dat"), ReferenceBytes({L"A"})) << length;
        std::filesystem::remove_all(base);
    }
}

TEST_F(BrisvelProcess, ALeftoverNewFileIsRemovedByTheNextRunAndScheduledWithTheFolder) {
    WriteBytes(registry, ReferenceBytes({L"A"}));
    WriteBytes(newFile, "left over by a crash");
    EXPECT_EQ(Run(L"-unregister=C"), 1u);
    EXPECT_FALSE(FileExists(newFile));
    WriteBytes(newFile, "left over by a crash");
    EXPECT_EQ(Run(L"-unregister=A"), 0u);
    EXPECT_FALSE(FileExists(newFile));
    EXPECT_EQ(NewDeletions(), UninstallDeletions(program));
}

TEST_F(BrisvelProcess, ASaveKeepsTheAttributesOfTheFileItReplaces) {
    WriteBytes(registry, ReferenceBytes({L"A"}));
    ASSERT_TRUE(SetFileAttributesW(registry.c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_NE(GetFileAttributesW(registry.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_EQ(Run(L"-register=B"), 0u);
    EXPECT_EQ(ReadBytes(registry), ReferenceBytes({L"A", L"B"}));
    const DWORD attributes = GetFileAttributesW(registry.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
}

// Registrations killed at random moments of their saves: while each runs the
// reference file is looked at without pause, and after each it holds the
// codes from before the run or those with the new code, so that every later
// run keeps all earlier codes and no unregistration takes it for missing.
TEST_F(BrisvelProcess, KilledDuringItsSaveARegistrationLeavesTheOldOrTheNewFile) {
    Codes codes;
    for (int i = 1; i <= 14; ++i) {
        wchar_t code[8];
        swprintf(code, 8, L"C%05d", i);
        codes.insert(code);
    }
    WriteBytes(registry, ReferenceBytes(codes));
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    // The first runs are left alone, to learn how many looks a save's new file
    // is there for; the kills then fall anywhere from its appearance to as
    // long again after its longest save.
    constexpr int kLearningRuns = 3;
    constexpr int kRunsToKill = 150;
    int longestSave = 1;
    NameWatcher watcher(registry);
    for (int run = 0; run < kLearningRuns + kRunsToKill; ++run) {
        const int killAfter = run < kLearningRuns
                                  ? -1
                                  : std::uniform_int_distribution<int>(0, 2 * longestSave)(random);
        const std::wstring code = L"NEW" + std::to_wstring(run);
        // A new file left by the last kill would be taken for this run's.
        DeleteFileW(newFile.c_str());
        // Wine now and then fails to start a process here (1359, internal
        // error); a later try starts it.
        HANDLE process = nullptr;
        for (int attempt = 0; attempt < 5 && process == nullptr; ++attempt) {
            if (attempt > 0) Sleep(100);
            process = StartProgram(program, L"-register=" + code);
        }
        ASSERT_NE(process, nullptr) << "run " << run << ", error " << GetLastError();
        int looksSinceNewFile = -1;  // not seen yet; 0 at the first look that sees it
        int saveLooks = 0;
        while (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
            const bool newFileThere = GetFileAttributesW(newFile.c_str()) != INVALID_FILE_ATTRIBUTES;
            if (newFileThere) ++saveLooks;
            if (looksSinceNewFile < 0 && !newFileThere) continue;
            if (++looksSinceNewFile == killAfter) {
                TerminateProcess(process, 99);
                break;
            }
        }
        EXPECT_EQ(WaitForSingleObject(process, 60000), WAIT_OBJECT_0);
        CloseHandle(process);
        if (killAfter < 0) longestSave = std::max(longestSave, saveLooks);

        ASSERT_EQ(watcher.Missing(), 0) << "run " << run;
        ASSERT_TRUE(FileExists(registry)) << "run " << run;
        Codes withCode = codes;
        withCode.insert(code);
        const std::string bytes = ReadBytes(registry);
        if (bytes == ReferenceBytes(withCode)) {
            codes = withCode;
        } else {
            ASSERT_EQ(bytes, ReferenceBytes(codes)) << "run " << run;
        }
    }
    EXPECT_EQ(Run(L"-register=LAST"), 0u);
    codes.insert(L"LAST");
    EXPECT_EQ(ReadBytes(registry), ReferenceBytes(codes));
    EXPECT_EQ(Run(L"-unregister=C00004"), 0u);
    codes.erase(L"C00004");
    EXPECT_EQ(ReadBytes(registry), ReferenceBytes(codes));
    EXPECT_EQ(ReadBytes(journal), "");  // the installer was not run
}

// Each log line of the registrar names its fixed line number.
TEST_F(BrisvelProcess, LogLinesCarryTheirFixedNumbers) {
    constexpr int kWithSource = 0x18;
    struct Step {
        const char* name;
        std::optional<std::string> bytes;  // the reference file; none: no file
        bool installerKnown;
        bool readOnly;
        std::wstring arguments;
        std::vector<std::pair<int, std::wstring>> lines;
    };
    const std::wstring saved = L"Saved registration of A to " + registry;
    const std::vector<Step> steps = {
        {"unrecognized", ReferenceBytes({L"A"}), true, false, L"-Register=A",
         {{100, L"Found an unrecognized command line switch - exiting."}}},
        {"not json", kNotJson, true, false, L"-register=A",
         {{114, L"Could not setup the referenceProvider."}, {131, saved}}},
        {"no registry", kNoRegistry, true, false, L"-register=A",
         {{120, L"Could not loadReferences in the referenceManager."}, {131, saved}}},
        {"twice", ReferenceBytes({L"A"}), true, false, L"-register=A",
         {{135, L"Registration of A failed (file: " + registry + L")"}}},
        {"no file", std::nullopt, false, false, L"-unregister=A",
         {{142, L"Could not find " + registry +
                    L" or could not initialize referenceManager - uninstalling"},
          {146, L"Uninstall of " + registry + L" failed"}}},
        {"read-only", ReferenceBytes({L"A", L"B"}), true, true, L"-unregister=A",
         {{156, L"Could not save unregister of code A"}}},
        {"last code", ReferenceBytes({L"A"}), false, false, L"-unregister=A",
         {{164, L"Uninstall of " + registry + L" failed after last reference removed"}}},
        // Lines the registrar adds to those.
        {"unloadable kept", kNotJson, true, false, L"-register=A",
         {{125, L"Kept the content of " + registry + L", which does not load, as " + badFile}}},
        {"unloadable left", kNotJson, true, false, L"-unregister=A",
         {{141, L"Could not load " + registry + L" - not uninstalling"}}},
    };
    for (const Step& step : steps) {
        SetFileAttributesW(registry.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(registry.c_str());
        if (step.bytes) WriteBytes(registry, *step.bytes);
        if (step.readOnly) SetFileAttributesW(registry.c_str(), FILE_ATTRIBUTE_READONLY);
        if (step.installerKnown) {
            installerValue.WriteString(installer);
        } else {
            installerValue.Remove();
        }
        ASSERT_TRUE(log.Clear(kWithSource));
        Run(step.arguments);
        for (const auto& [line, message] : step.lines) {
            EXPECT_TRUE(Logged(line, message)) << step.name << " " << line << " " << log.File();
        }
    }
    SetFileAttributesW(registry.c_str(), FILE_ATTRIBUTE_NORMAL);

    WriteBytes(registry, ReferenceBytes({L"A"}));
    HANDLE locked = CreateFileW(registry.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(log.Clear(kWithSource));
    Run(L"-unregister=A");
    CloseHandle(locked);
    EXPECT_TRUE(Logged(116, L"Could not read " + registry + L" - nothing changed")) << log.File();
}

TEST_F(BrisvelProcess, RunsAreLoggedToTheProgramsFile) {
    EXPECT_EQ(Run(L"-register=A"), 0u);
    EXPECT_TRUE(log.HasLine(L"Saved registration of A to " + registry)) << log.File();
    EXPECT_FALSE(log.HasLine(L"Registration of A failed (file: " + registry + L")"));
    ASSERT_TRUE(log.Clear());
    EXPECT_EQ(Run(L"-register=A"), 1u);
    EXPECT_TRUE(log.HasLine(L"Registration of A failed (file: " + registry + L")")) << log.File();
    EXPECT_FALSE(log.HasLine(L"Saved registration of A to " + registry));
}

TEST(BrisvelImage, BindsOnlyKernel32AndShell32AtStart) {
    const auto imports = StartupImports(WinePath(VT_BRISVEL_EXE));
    ASSERT_FALSE(imports.empty());
    for (const std::string& name : imports) {
        EXPECT_TRUE(name == "kernel32.dll" || name == "shell32.dll" || name == "msvcrt.dll")
            << name;
    }
}

}  // namespace
