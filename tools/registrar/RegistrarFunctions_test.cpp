#include "tools/registrar/RegistrarFunctions.h"

#include "platform/Registry/testing/TestRegistry.h"
#include "tools/common/testing/ProgramTestSupport.h"
#include "tools/registrar/testing/FileTestHelpers.h"

#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <string>
#include <vector>

using Tessil::testing::ReadBytes;
using Tessil::testing::ScopedTempFolder;
using Tessil::testing::WinePath;

namespace {

constexpr const wchar_t* kKey = kProductKey;
constexpr const wchar_t* kValue = kInstallDirValue;

// A value of the given type and raw content under the private HKLM.
void SetRaw(DWORD type, const std::wstring& data, std::size_t extraBytes = sizeof(wchar_t)) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, kValue, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                             static_cast<DWORD>(data.size() * sizeof(wchar_t) + extraBytes)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

struct ReadCase {
    const char* name;
    std::optional<std::wstring> value;  // REG_SZ; none: the key is missing
    bool expectedString;                 // readMachineRegistryString's answer
    bool expectedFolder;                 // readMachineRegistryFolder's answer
    std::wstring expectedText;           // when an answer is true
};

const ReadCase kReadCases[] = {
    {"Folder", L"C:\\Program Files\\Vantrel", true, true, L"C:\\Program Files\\Vantrel"},
    {"Longest", std::wstring(259, L'x'), true, true, std::wstring(259, L'x')},
    {"TooLong", std::wstring(260, L'x'), false, false, L""},
    {"Empty", L"", true, false, L""},
    {"CutAtNul", std::wstring(L"C:\\a\0C:\\b", 9), true, true, L"C:\\a"},
    {"KeyMissing", std::nullopt, false, false, L""},
};

class ReadMachineRegistry : public ::testing::TestWithParam<ReadCase> {
protected:
    Kelmora::testing::PrivateHklm hklm;
};

TEST_P(ReadMachineRegistry, ReadsUpTo259Characters) {
    ASSERT_TRUE(hklm.ok());
    const ReadCase& c = GetParam();
    if (c.value) SetRaw(REG_SZ, *c.value);

    std::wstring text = L"unchanged";
    EXPECT_EQ(readMachineRegistryString(kKey, kValue, text), c.expectedString);
    EXPECT_EQ(text, c.expectedString ? c.expectedText : L"unchanged");

    std::wstring folder = L"unchanged";
    EXPECT_EQ(readMachineRegistryFolder(kKey, kValue, folder), c.expectedFolder);
    EXPECT_EQ(folder, c.expectedFolder ? c.expectedText : L"unchanged");
}

INSTANTIATE_TEST_SUITE_P(All, ReadMachineRegistry, ::testing::ValuesIn(kReadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReadMachineRegistryTypes, RefusesOtherValueTypesAndMissingValues) {
    Kelmora::testing::PrivateHklm hklm;
    ASSERT_TRUE(hklm.ok());
    std::wstring text = L"unchanged";
    SetRaw(REG_SZ, L"C:\\x");
    EXPECT_FALSE(readMachineRegistryString(kKey, L"Other Value", text));
    SetRaw(REG_BINARY, L"C:\\x");
    EXPECT_FALSE(readMachineRegistryString(kKey, kValue, text));
    const DWORD number = 5;
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    RegSetValueExW(key, kValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    RegCloseKey(key);
    EXPECT_FALSE(readMachineRegistryString(kKey, kValue, text));
    EXPECT_EQ(text, L"unchanged");
}

// An OS information object answering as scripted.
struct FakeOSInfo {
    bool detected;
    DWORD osNumber;
    DWORD platform;
    bool GetOSInfo(DWORD& number, DWORD& flag) {
        number = 0;
        flag = 2;
        if (!detected) return false;
        number = osNumber;
        flag = platform;
        return true;
    }
};

struct OsCase {
    const char* name;
    FakeOSInfo info;
    bool expectedAnswer;
    int expectedNumber;  // -1: left as it was
    int expectedPlatform;
};

const OsCase kOsCases[] = {
    {"Windows10", {true, 11, 1}, true, 11, 1},
    {"Windows2000", {true, 4, 0}, true, 4, 0},
    {"UnknownWindows", {true, 12, 1}, false, 0, 1},
    {"UnknownPlatformReadsAsWin32", {true, 11, 2}, true, 11, 0},
    {"NotDetected", {false, 0, 0}, false, -1, -1},
};

class OsVersionInfo : public ::testing::TestWithParam<OsCase> {};

TEST_P(OsVersionInfo, MapsTheDetection) {
    OsCase c = GetParam();
    int number = -1;
    int platform = -1;
    EXPECT_EQ(getOsVersionInfoFrom(c.info, number, platform), c.expectedAnswer);
    EXPECT_EQ(number, c.expectedNumber);
    EXPECT_EQ(platform, c.expectedPlatform);
}

INSTANTIATE_TEST_SUITE_P(All, OsVersionInfo, ::testing::ValuesIn(kOsCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IsWindowsXpOrLater, HoldsOnEverySystemThatRunsThisProgram) {
    EXPECT_EQ(isWindowsXpOrLater(), 1);
}

// Lists are written with "|" for each NUL.
std::wstring List(std::wstring text) {
    for (wchar_t& c : text) {
        if (c == L'|') c = L'\0';
    }
    return text;
}

TEST(WithoutDeletionsOf, TakesOutOnlyTheDeletionsOfTheNamesGiven) {
    const std::vector<std::wstring> names = {L"C:\\p\\Brisvel.exe", L"C:\\p\\appregistry.dat",
                                             L"C:\\p"};
    struct Case {
        const char* name;
        std::wstring list;
        std::wstring expected;
    };
    const Case cases[] = {
        {"ours only", L"\\??\\C:\\p\\Brisvel.exe||\\??\\C:\\p\\appregistry.dat||\\??\\C:\\p|||", L"|"},
        {"others kept in order",
         L"\\??\\C:\\x||\\??\\C:\\p||\\??\\C:\\a|!\\??\\C:\\b||",
         L"\\??\\C:\\x||\\??\\C:\\a|!\\??\\C:\\b||"},
        {"letter case", L"\\??\\c:\\P\\BRISVEL.EXE|||", L"|"},
        {"without prefix", L"C:\\p\\appregistry.dat|||", L"|"},
        {"a rename of ours stays", L"\\??\\C:\\p\\appregistry.dat|\\??\\C:\\q||",
         L"\\??\\C:\\p\\appregistry.dat|\\??\\C:\\q||"},
        {"a rename onto ours stays", L"\\??\\C:\\x|\\??\\C:\\p||", L"\\??\\C:\\x|\\??\\C:\\p||"},
        {"a longer name stays", L"\\??\\C:\\p\\appregistry.dat.bad|||",
         L"\\??\\C:\\p\\appregistry.dat.bad|||"},
        {"empty", L"", L""},
        {"a source without its target", L"\\??\\C:\\x", L"\\??\\C:\\x"},
        // What follows our pairs stays as it was, never paired anew.
        {"an odd last string, unended", L"\\??\\C:\\p\\Brisvel.exe||\\??\\C:\\k.dll",
         L"\\??\\C:\\k.dll"},
        {"an odd last string", L"\\??\\C:\\p\\Brisvel.exe||\\??\\C:\\k.dll|", L"\\??\\C:\\k.dll|"},
        {"an odd last string and the end", L"\\??\\C:\\p\\Brisvel.exe||\\??\\C:\\k.dll||",
         L"\\??\\C:\\k.dll||"},
        {"ours between others", L"\\??\\C:\\a||\\??\\C:\\p||\\??\\C:\\b|\\??\\C:\\c|\\??\\C:\\d",
         L"\\??\\C:\\a||\\??\\C:\\b|\\??\\C:\\c|\\??\\C:\\d"},
        {"an unended source after ours", L"\\??\\C:\\p||C:\\p", L"C:\\p"},
        {"stops at the empty string", L"\\??\\C:\\p||||\\??\\C:\\p||", L"||\\??\\C:\\p||"},
        {"more than one end", L"\\??\\C:\\p||||||", L"||||"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(withoutDeletionsOf(List(c.list), names), List(c.expected)) << c.name;
    }
}

// The raw value under the private HKLM, with an odd last byte when given.
class CancelRestartDeletions : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(hklm.ok());
        SetRaw(REG_SZ, L"C:\\p");
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, nullptr, 0,
                                  KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &session, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        if (session) RegCloseKey(session);
    }
    static std::string Bytes(const std::wstring& list) {
        return std::string(reinterpret_cast<const char*>(list.data()), list.size() * sizeof(wchar_t));
    }
    // Exactly these bytes: a NUL character after an unended last string would
    // be counted in.
    void Write(DWORD type, const std::string& bytes) {
        const std::string guarded = bytes + "\xFF\xFF";
        ASSERT_EQ(RegSetValueExW(session, kPendingRenames, 0, type,
                                 reinterpret_cast<const BYTE*>(guarded.data()),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
        ASSERT_EQ(Read(), std::make_optional(std::make_pair(type, bytes)));
    }
    // None when the value is missing.
    std::optional<std::pair<DWORD, std::string>> Read() const {
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExW(session, kPendingRenames, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS) {
            return std::nullopt;
        }
        std::string bytes(size, '\0');
        if (RegQueryValueExW(session, kPendingRenames, nullptr, &type,
                             reinterpret_cast<BYTE*>(bytes.data()), &size) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        bytes.resize(size);
        return std::make_pair(type, bytes);
    }

    static constexpr const wchar_t* kSessionManager =
        L"System\\CurrentControlSet\\Control\\Session Manager";
    static constexpr const wchar_t* kPendingRenames = L"PendingFileRenameOperations";
    Kelmora::testing::PrivateHklm hklm;
    HKEY session = nullptr;
};

// Every string that is not one of our deletions is written back byte for
// byte, up to an odd last byte.
TEST_F(CancelRestartDeletions, KeepsTheRestOfTheValueAsItWas) {
    wchar_t program[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameW(nullptr, program, MAX_PATH), 0u);
    const std::wstring ours = L"\\??\\" + std::wstring(program) + L"||\\??\\C:\\p\\appregistry.dat||";
    struct Case {
        const char* name;
        std::string value;
        std::optional<std::string> expected;  // none: the value is removed
    };
    const Case cases[] = {
        {"an odd last string", Bytes(List(ours + L"\\??\\C:\\other\\keep.dll")),
         Bytes(List(L"\\??\\C:\\other\\keep.dll"))},
        {"an odd last string and its NUL", Bytes(List(ours + L"\\??\\C:\\other\\keep.dll|")),
         Bytes(List(L"\\??\\C:\\other\\keep.dll|"))},
        {"others around ours",
         Bytes(List(L"\\??\\C:\\a|!\\??\\C:\\b|" + ours + L"\\??\\C:\\c|||")),
         Bytes(List(L"\\??\\C:\\a|!\\??\\C:\\b|\\??\\C:\\c|||"))},
        {"an odd last byte", Bytes(List(ours + L"\\??\\C:\\c||")) + "x",
         Bytes(List(L"\\??\\C:\\c||")) + "x"},
        {"ours only", Bytes(List(ours + L"|")), std::nullopt},
        {"ours only, unended", Bytes(List(ours)), std::nullopt},
        {"none of ours", Bytes(List(L"\\??\\C:\\c|")), Bytes(List(L"\\??\\C:\\c|"))},
    };
    for (const Case& c : cases) {
        Write(REG_MULTI_SZ, c.value);
        EXPECT_TRUE(cancelRestartDeletions(L"C:\\p\\appregistry.dat")) << c.name;
        const auto after = Read();
        if (c.expected) {
            ASSERT_TRUE(after) << c.name;
            EXPECT_EQ(after->first, static_cast<DWORD>(REG_MULTI_SZ)) << c.name;
            EXPECT_EQ(after->second, *c.expected) << c.name;
        } else {
            EXPECT_FALSE(after) << c.name;
        }
    }
}

TEST_F(CancelRestartDeletions, FailsOverAValueOfAnotherTypeAndLeavesIt) {
    const std::string ours = Bytes(List(L"\\??\\C:\\p|||"));
    Write(REG_BINARY, ours);
    EXPECT_FALSE(cancelRestartDeletions(L"C:\\p\\appregistry.dat"));
    EXPECT_EQ(Read(), std::make_optional(std::make_pair(DWORD{REG_BINARY}, ours)));
    RegDeleteValueW(session, kPendingRenames);
    EXPECT_TRUE(cancelRestartDeletions(L"C:\\p\\appregistry.dat"));  // nothing pending
    EXPECT_FALSE(Read());
}

TEST(RestartDeletions, AreTheProgramTheReferenceAndNewFilesAndTheFolder) {
    EXPECT_EQ(restartDeletions(L"C:\\b\\Brisvel.exe", L"C:\\p\\appregistry.dat", L"C:\\p"),
              (std::vector<std::wstring>{L"C:\\b\\Brisvel.exe", L"C:\\p\\appregistry.dat",
                                         L"C:\\p\\appregistry.da~", L"C:\\p"}));
    EXPECT_EQ(restartDeletions(L"", L"", L"C:\\p"), std::vector<std::wstring>{L"C:\\p"});
}

TEST(UninstallCommandLine, QuotesBothPaths) {
    EXPECT_EQ(uninstallCommandLine(L"C:\\Program Files\\CvInst", L"C:\\Program Files\\Vantrel",
                                   L"vantrel64.inf"),
              L"\"C:\\Program Files\\CvInst\\CvInst.exe\" /uninstall "
              L"\"C:\\Program Files\\Vantrel\\vantrel64.inf\"");
}

TEST(RunProcessAndWait, AnswersTheExitCodeAfterTheProcessEnded) {
    ScopedTempFolder folder;
    const std::wstring journal = folder.file(L"journal.txt");
    SetEnvironmentVariableW(L"VT_CVINST_JOURNAL", journal.c_str());
    SetEnvironmentVariableW(L"VT_CVINST_SLEEP_MS", L"200");
    SetEnvironmentVariableW(L"VT_CVINST_EXIT_CODE", L"7");
    const std::wstring installer = WinePath(VT_CVINST_EXE);
    DWORD exitCode = 0;
    EXPECT_TRUE(runProcessAndWait(L"\"" + installer + L"\" /uninstall \"x y\"", exitCode));
    EXPECT_EQ(exitCode, 7u);
    // The "done" line is written after the sleep: the call waited for it.
    const std::string narrowInstaller(installer.begin(), installer.end());  // ASCII
    EXPECT_EQ(ReadBytes(journal), "cmdline \"" + narrowInstaller + "\" /uninstall \"x y\"\ndone\n");
    SetEnvironmentVariableW(L"VT_CVINST_JOURNAL", nullptr);
    SetEnvironmentVariableW(L"VT_CVINST_SLEEP_MS", nullptr);
    SetEnvironmentVariableW(L"VT_CVINST_EXIT_CODE", nullptr);
}

TEST(RunProcessAndWait, FailsWhenTheProgramCannotStart) {
    DWORD exitCode = 12345;
    EXPECT_FALSE(runProcessAndWait(L"\"Z:\\nonexistent\\vt\\CvInst.exe\" /uninstall", exitCode));
    EXPECT_EQ(exitCode, 12345u);
}

}  // namespace
