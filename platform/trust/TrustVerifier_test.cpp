#include "platform/trust/TrustVerifier.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <future>
#include <thread>
#include <vector>

#include "certs.h"
#include "platform/files/testing/FileTestSupport.h"
#include "platform/trust/SignatureCheck.h"
#include "platform/trust/TrustHandles.h"
#include "platform/trust/testing/TestTrust.h"

namespace Tessil {
namespace {

using Kelmora::testing::NameWatcher;
using Kelmora::testing::ReadText;
using Kelmora::testing::WriteText;
using testing::TestRootList;
using testing::TestTrustPolicy;
using testing::WindowsPathOf;
using testing::kChangingAccess;
using testing::kReaderSharing;
using testing::OpenWithSharingAll;

std::wstring TestFile(const char* name) {
    return WindowsPathOf(std::string(VT_TRUST_TESTDATA_DIR) + "/" + name);
}

std::wstring ValidationFolder() { return WindowsPathOf(VT_VALIDATION_DIR); }

class TrustEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(testing::InstallTestRootCertificate()); }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new TrustEnvironment);

// A folder of this process for list files, removed afterwards.
class TempFolder {
public:
    TempFolder() {
        wchar_t base[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, base);
        static int counter = 0;
        path_ = std::wstring(base) + L"vt-trust-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter);
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TempFolder() { RemoveTree(path_); }
    const std::wstring& Path() const { return path_; }
    std::wstring File(const wchar_t* name) const { return path_ + L"\\" + name; }

private:
    static void RemoveTree(const std::wstring& folder) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = data.cFileName;
                if (name == L"." || name == L"..") continue;
                const std::wstring full = folder + L"\\" + name;
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    RemoveTree(full);
                } else {
                    DeleteFileW(full.c_str());
                }
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
        RemoveDirectoryW(folder.c_str());
    }

    std::wstring path_;
};

std::string SignedList(const std::string& body) {
    return body + "\r\n" + testing::kTestListSignature + "\r\nAAAA\r\n";
}

std::string ListAccepting(unsigned version, const char* name) {
    return SignedList("[VER]\r\n" + std::to_string(version) + "\r\n[ORG]\r\n" + name +
                      "\r\n[SHA]\r\n" VT_TEST_ROOT_THUMBPRINT);
}

// Per-process name, so that test processes never see each other's atom.
std::wstring ProcessAtomName() {
    return L"vt-trust-reload-" + std::to_wstring(GetCurrentProcessId());
}

testing::VerifierArguments OptionsWith(TrustedList builtIn, std::wstring listPath = L"") {
    testing::VerifierArguments options;
    options.policy = std::make_shared<TestTrustPolicy>(std::move(builtIn));
    options.listPath = listPath.empty() ? L"Z:\\nonexistent\\vt-trust\\trusted.js" : listPath;
    options.reloadAtom = ProcessAtomName();
    options.platformRoot = HKEY_CURRENT_USER;  // holds no platform key
    return options;
}

class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const wchar_t* value) : name_(name) {
        SetEnvironmentVariableW(name, value);
    }
    ~ScopedEnv() { SetEnvironmentVariableW(name_, nullptr); }

private:
    const wchar_t* name_;
};

// --- Signature checks against one list ----------------------------------------

struct FileCase {
    const char* file;
    DWORD expected;
};

class SignedFiles : public ::testing::TestWithParam<FileCase> {};

TEST_P(SignedFiles, AreTrustedOnlyWithAValidAcceptedSigner) {
    TrustVerifier verifier = testing::MakeVerifier(OptionsWith(TestRootList({L"Vantrel Test Signer"})));
    EXPECT_EQ(verifier.Verify(TestFile(GetParam().file).c_str()), GetParam().expected)
        << GetParam().file;
}

INSTANTIATE_TEST_SUITE_P(
    Files, SignedFiles,
    ::testing::Values(FileCase{"valid.dll", 0},
                      FileCase{"valid-ts.dll", 0},
                      FileCase{"expired-ts.dll", 0},  // valid at its time stamp
                      // Stamps that prove no time: checked as of now.
                      FileCase{"expired-rogue-ts.dll", 5},       // authority not trusted
                      FileCase{"expired-restricted-ts.dll", 5},  // not allowed to stamp
                      FileCase{"expired-copied-ts.dll", 5},      // made for another signature
                      FileCase{"expired-spoiled-ts.dll", 5},     // its signature does not verify
                      // The same with Authenticode counter-signatures.
                      FileCase{"expired-cs.dll", 0},
                      FileCase{"expired-forged-cs.dll", 5},  // signature does not verify
                      FileCase{"expired-rogue-cs.dll", 5},
                      FileCase{"expired-restricted-cs.dll", 5},
                      FileCase{"expired-copied-cs.dll", 5},
                      FileCase{"unsigned.dll", 5},
                      FileCase{"tampered.dll", 5},
                      FileCase{"other-signer.dll", 5},  // name not listed
                      FileCase{"rogue-signer.dll", 5},  // root neither trusted nor listed
                      FileCase{"expired.dll", 5},       // no time stamp: checked as of now
                      FileCase{"missing.dll", 5}),
    [](const ::testing::TestParamInfo<FileCase>& info) {
        std::string name = info.param.file;
        std::string out;
        for (char c : name) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return out;
    });

TEST(TrustVerifier, NullOrEmptyPathIsABadArgument) {
    TrustVerifier verifier = testing::MakeVerifier(OptionsWith(TestRootList({L"Vantrel Test Signer"})));
    EXPECT_EQ(verifier.Verify(nullptr), 87u);
    EXPECT_EQ(verifier.Verify(L""), 87u);
}

TEST(SignerList, NamesAreComparedWithoutCaseAndEmptyPartsAcceptAll) {
    const std::wstring file = TestFile("other-signer.dll");
    struct Case {
        TrustedList list;
        bool trusted;
    } cases[] = {
        {TestRootList({L"VANTREL OTHER SIGNER"}), true},
        {TestRootList({L"Vantrel Other"}), false},
        {TestRootList({}), true},  // no names: every name
    };
    for (const auto& c : cases) EXPECT_EQ(CheckFileAgainstList(file.c_str(), c.list), c.trusted);

    TrustedList otherRoot = TestRootList({});
    otherRoot.thumbprints = {*ParseThumbprint(VT_ROGUE_ROOT_THUMBPRINT)};
    EXPECT_FALSE(CheckFileAgainstList(file.c_str(), otherRoot));
    TrustedList anyRoot = TestRootList({});
    anyRoot.thumbprints.clear();
    EXPECT_TRUE(CheckFileAgainstList(file.c_str(), anyRoot));
}

TEST(SignerList, DeniedSerialRefusesInEitherCase) {
    const std::wstring file = TestFile("valid.dll");
    std::wstring serial = WidenListText(VT_SIGNER_SERIAL);
    std::wstring upper = serial;
    for (auto& c : upper) c = static_cast<wchar_t>(towupper(c));
    std::wstring reversed;  // the bytes in the wrong order
    for (std::size_t i = serial.size(); i >= 2; i -= 2) reversed += serial.substr(i - 2, 2);

    struct Case {
        std::wstring denied;
        bool trusted;
    } cases[] = {{serial, false}, {upper, false}, {reversed, true}, {L"2233", true}};
    for (const auto& c : cases) {
        TrustedList list = TestRootList({L"Vantrel Test Signer"});
        list.serials = {L"ffff", c.denied};
        EXPECT_EQ(CheckFileAgainstList(file.c_str(), list), c.trusted) << std::string(c.denied.begin(), c.denied.end());
    }
}

TEST(SigningTime, ComesFromAVerifiedTimeStampOnly) {
    struct Case {
        const char* file;
        SigningTimeResult result;
        WORD year;
    } cases[] = {{"expired-ts.dll", SigningTimeResult::Found, 2016},
                 {"valid-ts.dll", SigningTimeResult::Found, 2020},
                 {"expired.dll", SigningTimeResult::None, 0},
                 {"expired-rogue-ts.dll", SigningTimeResult::None, 0},
                 {"expired-restricted-ts.dll", SigningTimeResult::None, 0},
                 {"expired-copied-ts.dll", SigningTimeResult::None, 0},
                 {"expired-spoiled-ts.dll", SigningTimeResult::None, 0},
                 {"expired-cs.dll", SigningTimeResult::Found, 2016},
                 {"expired-forged-cs.dll", SigningTimeResult::None, 0},
                 {"expired-rogue-cs.dll", SigningTimeResult::None, 0},
                 {"expired-restricted-cs.dll", SigningTimeResult::None, 0},
                 {"expired-copied-cs.dll", SigningTimeResult::None, 0}};
    for (const auto& c : cases) {
        HCERTSTORE store = nullptr;
        HCRYPTMSG message = nullptr;
        DWORD encoding, content, format;
        std::wstring path = TestFile(c.file);
        ASSERT_TRUE(CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(),
                                     CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                                     CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &content, &format,
                                     &store, &message, nullptr));
        FILETIME time{};
        EXPECT_EQ(ReadSignerSigningTime(message, store, 0, time), c.result) << c.file;
        if (c.result == SigningTimeResult::Found) {
            SYSTEMTIME st{};
            FileTimeToSystemTime(&time, &st);
            EXPECT_EQ(st.wYear, c.year) << c.file;
        }
        CryptMsgClose(message);
        CertCloseStore(store, 0);
    }
}

TEST(ListSignature, RealCheckWantsOneSignerWithThePinnedThumbprint) {
    const Thumbprint listSigner = *ParseThumbprint(VT_LIST_SIGNER_THUMBPRINT);
    EXPECT_TRUE(CheckSingleSignerThumbprint(TestFile("list-signer.dll").c_str(), listSigner));
    EXPECT_FALSE(CheckSingleSignerThumbprint(TestFile("valid.dll").c_str(), listSigner));
    EXPECT_FALSE(CheckSingleSignerThumbprint(TestFile("unsigned.dll").c_str(), listSigner));
    EXPECT_FALSE(CheckSingleSignerThumbprint(TestFile("tampered.dll").c_str(),
                                             *ParseThumbprint(VT_TEST_ROOT_THUMBPRINT)));
    // The real policy pins a signer nobody here holds.
    EXPECT_FALSE(DefaultTrustPolicy()->CheckListFileSignature(TestFile("list-signer.dll").c_str()));
}

TEST(DefaultPolicy, RefusesTestSignedFilesAndHasTheBuiltInList) {
    const TrustedList& builtIn = DefaultTrustPolicy()->BuiltInList();
    EXPECT_EQ(builtIn.version, 5u);
    EXPECT_EQ(builtIn.names.size(), 2u);
    EXPECT_EQ(builtIn.thumbprints.size(), 4u);
    EXPECT_TRUE(builtIn.serials.empty());
    EXPECT_FALSE(CheckFileAgainstList(TestFile("valid.dll").c_str(), builtIn));
}

// --- The list file --------------------------------------------------------------

struct ListFileCase {
    const char* name;
    std::string text;
    DWORD expected;  // for valid.dll, signed by "Vantrel Test Signer"
};

class ListFile : public ::testing::TestWithParam<ListFileCase> {};

TEST_P(ListFile, IsUsedOnlyWhenSignedValidAndNewer) {
    TempFolder folder;
    const std::wstring listPath = folder.File(L"trusted.js");
    WriteText(listPath, GetParam().text);
    TrustVerifier verifier = testing::MakeVerifier(OptionsWith(TestRootList({L"Somebody Else"}), listPath));
    EXPECT_EQ(verifier.Verify(TestFile("valid.dll").c_str()), GetParam().expected);
    // The built-in list still decides for what it accepts.
    EXPECT_EQ(verifier.Verify(TestFile("unsigned.dll").c_str()), 5u);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ListFile,
    ::testing::Values(
        ListFileCase{"Newer", ListAccepting(7, "Vantrel Test Signer"), 0},
        ListFileCase{"NewerWithoutShaAcceptsEveryRoot",
                     SignedList("[VER]\r\n7\r\n[ORG]\r\nvantrel test signer"), 0},
        ListFileCase{"NotNewerThanBuiltIn", ListAccepting(5, "Vantrel Test Signer"), 5},
        ListFileCase{"NotSigned",
                     "[VER]\r\n7\r\n[ORG]\r\nVantrel Test Signer\r\n// SIG // forged\r\n", 5},
        ListFileCase{"TwoVersions", SignedList("[VER]\r\n7\r\n8\r\n[ORG]\r\nVantrel Test Signer"), 5},
        ListFileCase{"NoVersion", SignedList("[ORG]\r\nVantrel Test Signer"), 5},
        ListFileCase{"BadThumbprint",
                     SignedList("[VER]\r\n7\r\n[ORG]\r\nVantrel Test Signer\r\n[SHA]\r\nabcd"), 5},
        ListFileCase{"NamesAfterSignatureNotRead",
                     SignedList("[VER]\r\n7\r\n[ORG]\r\nNobody") + "[ORG]\r\nVantrel Test Signer\r\n",
                     5},
        ListFileCase{"DeniedSerial",
                     SignedList("[VER]\r\n7\r\n[ORG]\r\nVantrel Test Signer\r\n[SER]\r\n" +
                                std::string(VT_SIGNER_SERIAL)),
                     5}),
    [](const ::testing::TestParamInfo<ListFileCase>& info) { return std::string(info.param.name); });

TEST(ListFile, DefaultPathIsUnderTheWindowsDriveRoot) {
    wchar_t windows[MAX_PATH + 1] = {};
    ASSERT_NE(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    const std::wstring expected = std::wstring(windows, 3) +
                                  L"Program Files\\Common Files\\Corvane\\Platform\\Core\\trusted.js";
    EXPECT_EQ(DefaultSignerListPath(), expected);
    TrustVerifier verifier;
    EXPECT_EQ(verifier.SignerList().Path(), expected);
}

TEST(ListFile, MissingFileLeavesBuiltInListInForce) {
    TempFolder folder;
    TrustVerifier verifier = testing::MakeVerifier(
        OptionsWith(TestRootList({L"Vantrel Test Signer"}), folder.File(L"trusted.js")));
    EXPECT_EQ(verifier.Verify(TestFile("valid.dll").c_str()), 0u);
    EXPECT_EQ(verifier.Verify(TestFile("other-signer.dll").c_str()), 5u);
    std::shared_lock lock(verifier.SignerList().Mutex());
    EXPECT_FALSE(verifier.SignerList().IsLoaded());
}

TEST(ListFile, IsReloadedAfterAFailedCheckOnlyWhenTheAtomExists) {
    // Whatever the version of the list loaded first: one no newer than the
    // built-in list is loaded but not used.
    const struct {
        unsigned version;
        DWORD firstAnswer;
    } cases[] = {{7, 0}, {5, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        TempFolder folder;
        const std::wstring listPath = folder.File(L"trusted.js");
        WriteText(listPath, ListAccepting(c.version, "Vantrel Test Signer"));
        TrustVerifier verifier = testing::MakeVerifier(OptionsWith(TestRootList({L"Somebody Else"}), listPath));
        ASSERT_EQ(verifier.Verify(TestFile("valid.dll").c_str()), c.firstAnswer);
        {
            std::shared_lock lock(verifier.SignerList().Mutex());
            ASSERT_TRUE(verifier.SignerList().IsLoaded());
        }

        WriteText(listPath, ListAccepting(8, "Vantrel Other Signer"));
        ASSERT_EQ(GlobalFindAtomW(ProcessAtomName().c_str()), 0);
        EXPECT_EQ(verifier.Verify(TestFile("other-signer.dll").c_str()), 5u);  // list in memory stays

        ATOM atom = GlobalAddAtomW(ProcessAtomName().c_str());
        ASSERT_NE(atom, 0);
        EXPECT_EQ(verifier.Verify(TestFile("other-signer.dll").c_str()), 0u);
        EXPECT_EQ(verifier.Verify(TestFile("valid.dll").c_str()), 5u);
        GlobalDeleteAtom(atom);
    }
}

TEST(ListFile, ConcurrentChecksLoadItOnceAndAgreeOnTheAnswers) {
    TempFolder folder;
    const std::wstring listPath = folder.File(L"trusted.js");
    WriteText(listPath, ListAccepting(7, "Vantrel Test Signer"));
    TrustVerifier verifier = testing::MakeVerifier(OptionsWith(TestRootList({L"Somebody Else"}), listPath));
    const std::wstring trusted = TestFile("valid.dll");
    const std::wstring untrusted = TestFile("other-signer.dll");

    constexpr int kThreads = 8;
    // A shared future, not std::latch: this toolchain's atomic waits can miss a wake-up.
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            start.wait();
            for (int i = 0; i < 4; ++i) {
                if (verifier.Verify(trusted.c_str()) != 0) ++wrong;
                if (verifier.Verify(untrusted.c_str()) != 5) ++wrong;
            }
        });
    }
    go.set_value();
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    std::shared_lock lock(verifier.SignerList().Mutex());
    EXPECT_TRUE(verifier.SignerList().IsLoaded());
    EXPECT_EQ(verifier.SignerList().List().version, 7u);
}

TEST(ListFile, IsHeldAgainstChangesWhileOpenForItsCheck) {
    TempFolder folder;
    const std::wstring path = folder.File(L"trusted.js");
    WriteText(path, "x");
    trust_detail::FileHandle held = trust_detail::OpenDenyingChanges(path.c_str());
    ASSERT_TRUE(held);
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    // Readers are still let in.
    HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
}

// --- Cabinets ---------------------------------------------------------------------

TEST(Cabinet, NewerListIsInstalledAndAnOlderOneIsNot) {
    TempFolder folder;
    // The list file's folder does not exist yet: installing makes it.
    const std::wstring listPath = folder.File(L"Core") + L"\\trusted.js";
    TrustVerifier verifier = testing::MakeVerifier(OptionsWith(TestRootList({L"Somebody Else"}), listPath));
    const std::wstring atom = ProcessAtomName();

    struct Step {
        const char* cabinet;
        DWORD expected;
        std::uint32_t listVersion;  // 0: no list file
    } steps[] = {
        {"nolist.cab", 5, 0},            // no "trusted.js" inside
        {"unsigned-list-v9.cab", 5, 0},  // its list is not validly signed
        {"list-v5.cab", 5, 0},           // not above the built-in version
        {"list-v7.cab", 0, 7},           // installed, then the cabinet passes
        {"other-v7.cab", 5, 7},          // same version as the loaded list
        {"other-v8.cab", 0, 8},          // newer again
        {"list-v7.cab", 5, 8},           // older than the list now in force
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.cabinet);
        EXPECT_EQ(verifier.Verify(TestFile(step.cabinet).c_str()), step.expected);
        auto onDisk = ParseTrustedList(ReadText(listPath));
        if (step.listVersion == 0) {
            EXPECT_EQ(GetFileAttributesW(listPath.c_str()), INVALID_FILE_ATTRIBUTES);
            EXPECT_EQ(GlobalFindAtomW(atom.c_str()), 0);
        } else {
            ASSERT_TRUE(onDisk.has_value());
            EXPECT_EQ(onDisk->version, step.listVersion);
            EXPECT_NE(GlobalFindAtomW(atom.c_str()), 0);
        }
    }
    EXPECT_EQ(GetFileAttributesW(folder.File(L"Core\\trusted.tmp").c_str()), INVALID_FILE_ATTRIBUTES);
    if (ATOM a = GlobalFindAtomW(atom.c_str())) GlobalDeleteAtom(a);
}

TEST(Cabinet, ListStoredReadOnlyIsInstalledAsANormalFileAndCanBeReplaced) {
    TempFolder folder;
    const std::wstring listPath = folder.File(L"trusted.js");
    TrustVerifier verifier = testing::MakeVerifier(OptionsWith(TestRootList({L"Somebody Else"}), listPath));
    EXPECT_EQ(verifier.Verify(TestFile("readonly-v7.cab").c_str()), 0u);
    const DWORD attributes = GetFileAttributesW(listPath.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM), 0u);
    EXPECT_EQ(verifier.Verify(TestFile("other-v8.cab").c_str()), 0u);
    EXPECT_EQ(ParseTrustedList(ReadText(listPath))->version, 8u);
    if (ATOM a = GlobalFindAtomW(ProcessAtomName().c_str())) GlobalDeleteAtom(a);
}

TEST(Cabinet, LibraryComesFromTheSystemFolderOnly) {
    TempFolder folder;
    // A "Cabinet.dll" that extracts nothing, on the search path.
    ASSERT_TRUE(SetDllDirectoryW(WindowsPathOf(VT_FAKE_CABINET_DIR).c_str()));
    TrustVerifier verifier = testing::MakeVerifier(
        OptionsWith(TestRootList({L"Somebody Else"}), folder.File(L"trusted.js")));
    const DWORD verdict = verifier.Verify(TestFile("list-v7.cab").c_str());
    SetDllDirectoryW(nullptr);
    EXPECT_EQ(verdict, 0u);
    if (ATOM a = GlobalFindAtomW(ProcessAtomName().c_str())) GlobalDeleteAtom(a);
}

TEST(Cabinet, InstallComparesWithTheListOnDisk) {
    TempFolder folder;
    const std::wstring listPath = folder.File(L"trusted.js");
    TrustVerifier verifier = testing::MakeVerifier(OptionsWith(TestRootList({L"Somebody Else"}), listPath));
    // Another process put a newer list in place after this one looked.
    WriteText(listPath, ListAccepting(9, "Nobody"));
    SignerListFile& list = verifier.SignerList();
    std::wstring extracted = folder.File(L"new.js");
    WriteText(extracted, ListAccepting(8, "Vantrel Test Signer"));
    EXPECT_FALSE(InstallSignerListFile(extracted.c_str(), list, ProcessAtomName(),
                                       std::make_shared<TestTrustPolicy>(TestRootList({}))));
    EXPECT_EQ(ParseTrustedList(ReadText(listPath))->version, 9u);
}

// Whoever looks for the list file at any moment of an installation finds it
// under its name, while ever newer lists are installed. The list file keeps
// its attributes.
TEST(Cabinet, InstallKeepsAListFileUnderItsNameAtEveryMoment) {
    TempFolder folder;
    const std::wstring listPath = folder.File(L"trusted.js");
    const std::wstring newList = folder.File(L"new.js");
    const std::wstring atom = ProcessAtomName() + L"-every-moment";
    const auto policy = std::make_shared<TestTrustPolicy>(TestRootList({}));
    WriteText(listPath, ListAccepting(6, "Vantrel Test Signer"));
    ASSERT_TRUE(SetFileAttributesW(listPath.c_str(), FILE_ATTRIBUTE_HIDDEN));
    SignerListFile list(listPath, policy);
    NameWatcher watcher(listPath);
    for (unsigned version = 7; version < 7 + 150; ++version) {
        WriteText(newList, ListAccepting(version, "Vantrel Test Signer"));
        EXPECT_TRUE(InstallSignerListFile(newList.c_str(), list, atom, policy)) << version;
        auto onDisk = ParseTrustedList(ReadText(listPath));
        ASSERT_TRUE(onDisk.has_value()) << version;
        EXPECT_EQ(onDisk->version, version);
    }
    watcher.Stop();
    EXPECT_EQ(watcher.Missing(), 0) << "of " << watcher.Looks() << " looks";
    EXPECT_NE(GetFileAttributesW(listPath.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    while (ATOM a = GlobalFindAtomW(atom.c_str())) GlobalDeleteAtom(a);
}

TEST(Cabinet, ExtractedTemporaryFilesAreRemoved) {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    auto countListTemps = [&] {
        int count = 0;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((std::wstring(temp) + L"tru*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return 0;
        do ++count;
        while (FindNextFileW(find, &data));
        FindClose(find);
        return count;
    };
    const int before = countListTemps();
    TempFolder folder;
    TrustVerifier verifier = testing::MakeVerifier(
        OptionsWith(TestRootList({L"Somebody Else"}), folder.File(L"trusted.js")));
    EXPECT_EQ(verifier.Verify(TestFile("list-v5.cab").c_str()), 5u);
    EXPECT_EQ(verifier.Verify(TestFile("unsigned-list-v9.cab").c_str()), 5u);
    EXPECT_EQ(verifier.Verify(TestFile("readonly-v7.cab").c_str()), 0u);
    EXPECT_EQ(countListTemps(), before);
}

// --- The validation library ------------------------------------------------------

// A private key of this process that holds the platform component's key.
class PlatformKey {
public:
    PlatformKey() {
        path_ = L"Software\\VantrelTrustPlatform-" + std::to_wstring(GetCurrentProcessId());
        RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key_, nullptr);
    }
    ~PlatformKey() {
        RegCloseKey(key_);
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }
    HKEY Root() const { return key_; }

private:
    std::wstring path_;
    HKEY key_ = nullptr;
};

testing::VerifierArguments WithPlatform(const PlatformKey& key) {
    testing::VerifierArguments options = OptionsWith(TestRootList({L"Vantrel Test Signer"}));
    options.platformRoot = key.Root();
    return options;
}

struct ValidationCase {
    const char* name;
    const wchar_t* version;   // null: no "bastrel_version"
    DWORD platformVersion;
    const wchar_t* word1;     // answer word 1 (word 0 says checked)
    DWORD expected;           // for unsigned.dll
};

class ValidationLibrary : public ::testing::TestWithParam<ValidationCase> {};

TEST_P(ValidationLibrary, VerdictBitDependsOnPlatformVersion) {
    const ValidationCase& c = GetParam();
    PlatformKey key;
    ASSERT_TRUE(testing::WritePlatformKey(key.Root(), ValidationFolder().c_str(), c.version));
    TempFolder folder;
    ScopedEnv journal(L"VT_QAV_JOURNAL", folder.File(L"journal.txt").c_str());
    ScopedEnv word0(L"VT_QAV_WORD0", L"2");
    ScopedEnv word1(L"VT_QAV_WORD1", c.word1);

    // The validation library opens the checked file for writing while it
    // journals: a copy of this process's own disturbs no other test program.
    const std::wstring checked = folder.File(L"unsigned.dll");
    ASSERT_TRUE(CopyFileW(TestFile("unsigned.dll").c_str(), checked.c_str(), FALSE));

    TrustVerifier verifier = testing::MakeVerifier(WithPlatform(key));
    ASSERT_TRUE(verifier.HasValidationControl());
    EXPECT_EQ(verifier.PlatformVersion(), c.platformVersion);
    EXPECT_EQ(verifier.Verify(checked.c_str()), c.expected);
    const char* flags = c.platformVersion > 1504 ? "200 " : "4 ";
    EXPECT_EQ(ReadText(folder.File(L"journal.txt")).rfind(flags, 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, ValidationLibrary,
    ::testing::Values(ValidationCase{"Old_Bit0", L"15.4", 1504, L"1", 0},
                      ValidationCase{"Old_Bit3Only", L"15.4", 1504, L"8", 5},
                      ValidationCase{"Sixteen_Zero_KeepsOld", L"16.0", 1504, L"1", 0},
                      ValidationCase{"NoVersionValue", nullptr, 1504, L"1", 0},
                      ValidationCase{"Garbage", L"abc", 1504, L"1", 0},
                      ValidationCase{"New_Bit3", L"15.10", 1510, L"8", 0},
                      ValidationCase{"New_Bit0Only", L"15.10", 1510, L"1", 5},
                      ValidationCase{"Sixteen_Five", L"16.5", 1605, L"9", 0}),
    [](const ::testing::TestParamInfo<ValidationCase>& info) { return std::string(info.param.name); });

TEST(ValidationLibraryAnswer, NotCheckedFallsBackToOwnCheck) {
    PlatformKey key;
    ASSERT_TRUE(testing::WritePlatformKey(key.Root(), ValidationFolder().c_str(), L"15.4"));
    ScopedEnv word0(L"VT_QAV_WORD0", L"0");
    ScopedEnv word1(L"VT_QAV_WORD1", L"1");
    TrustVerifier verifier = testing::MakeVerifier(WithPlatform(key));
    ASSERT_TRUE(verifier.HasValidationControl());
    EXPECT_EQ(verifier.Verify(TestFile("unsigned.dll").c_str()), 5u);
    EXPECT_EQ(verifier.Verify(TestFile("valid.dll").c_str()), 0u);  // own check still runs
}

TEST(ValidationLibraryAnswer, FirstInterfaceMissingUsesTheOlderOne) {
    PlatformKey key;
    ASSERT_TRUE(testing::WritePlatformKey(key.Root(), ValidationFolder().c_str(), L"15.4"));
    ScopedEnv offered(L"VT_QAV_INTERFACES", L"QavValidationControl");
    ScopedEnv trust(L"VT_QAV_TRUST", L"unsigned.dll");
    TrustVerifier verifier = testing::MakeVerifier(WithPlatform(key));
    ASSERT_TRUE(verifier.HasValidationControl());
    EXPECT_EQ(verifier.Verify(TestFile("unsigned.dll").c_str()), 0u);
    EXPECT_EQ(verifier.Verify(TestFile("tampered.dll").c_str()), 5u);
}

TEST(ValidationLibraryAnswer, LibraryThatDoesNotPinItselfStaysLoadedWhileUsed) {
    PlatformKey key;
    ASSERT_TRUE(testing::WritePlatformKey(key.Root(), ValidationFolder().c_str(), L"15.4"));
    ScopedEnv noPin(L"VT_QAV_NO_PIN", L"1");
    ScopedEnv trust(L"VT_QAV_TRUST", L"*");
    TrustVerifier verifier = testing::MakeVerifier(WithPlatform(key));
    ASSERT_TRUE(verifier.HasValidationControl());
    EXPECT_NE(GetModuleHandleW(L"cvnqava.dll"), nullptr);
    EXPECT_EQ(verifier.Verify(TestFile("unsigned.dll").c_str()), 0u);
}

TEST(ValidationLibraryAnswer, FoundByPathOrFolderAsTheNameSays) {
    PlatformKey key;
    ASSERT_TRUE(testing::WritePlatformKey(key.Root(), nullptr, L"15.4"));  // no folder value
    ScopedEnv trust(L"VT_QAV_TRUST", L"*");
    struct Case {
        std::wstring library;
        bool found;
    } cases[] = {
        {ValidationFolder() + L"\\cvnqava.dll", true},  // a path is used as given
        {L"cvnqava.dll", false},  // current and program folders hold none
        {std::wstring(260, L'x'), false},
    };
    for (const auto& c : cases) {
        testing::VerifierArguments options = WithPlatform(key);
        options.validationLibrary = c.library;
        TrustVerifier verifier = testing::MakeVerifier(std::move(options));
        EXPECT_EQ(verifier.HasValidationControl(), c.found)
            << std::string(c.library.begin(), c.library.end());
    }
}

std::wstring ValidationLibraryFile() { return ValidationFolder() + L"\\" + kValidationLibraryName; }


// Collects what the process writes to the debugger output while it lives,
// from the exception that OutputDebugString raises for a debugger.
class DebugOutputCapture {
public:
    DebugOutputCapture() {
        std::lock_guard lock(mutex_);
        text_.clear();
        handler_ = AddVectoredExceptionHandler(1, &Handler);
    }
    ~DebugOutputCapture() { RemoveVectoredExceptionHandler(handler_); }
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;
    std::wstring Text() const {
        std::lock_guard lock(mutex_);
        return text_;
    }

private:
    static LONG CALLBACK Handler(EXCEPTION_POINTERS* info) {
        const EXCEPTION_RECORD& record = *info->ExceptionRecord;
        if (record.NumberParameters >= 2 && record.ExceptionInformation[1]) {
            std::lock_guard lock(mutex_);
            if (record.ExceptionCode == DBG_PRINTEXCEPTION_WIDE_C) {
                text_ += reinterpret_cast<const wchar_t*>(record.ExceptionInformation[1]);
            } else if (record.ExceptionCode == DBG_PRINTEXCEPTION_C) {
                for (const char* p = reinterpret_cast<const char*>(record.ExceptionInformation[1]);
                     *p; ++p)
                    text_ += static_cast<wchar_t>(static_cast<unsigned char>(*p));
            }
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }

    static inline std::mutex mutex_;
    static inline std::wstring text_;
    void* handler_ = nullptr;
};

// A folder with a copy of the validation library, named by the platform key.
// The library is told not to pin itself, so the copy is freed with the
// verifier and can be removed.
class CopiedValidationLibrary {
public:
    CopiedValidationLibrary()
        : library_(folder_.File(kValidationLibraryName)),
          copied_(CopyFileW(ValidationLibraryFile().c_str(), library_.c_str(), FALSE) != FALSE &&
                  testing::WritePlatformKey(key_.Root(), folder_.Path().c_str(), L"15.4")) {}
    bool Ok() const { return copied_; }
    const std::wstring& Library() const { return library_; }
    const PlatformKey& Key() const { return key_; }

private:
    TempFolder folder_;
    PlatformKey key_;
    std::wstring library_;
    bool copied_;
    ScopedEnv noPin_{L"VT_QAV_NO_PIN", L"1"};
    ScopedEnv trust_{L"VT_QAV_TRUST", L"*"};
};

TEST(ValidationLibraryAnswer, LibraryOpenElsewhereForWritingIsNotUsedUntilClosed) {
    CopiedValidationLibrary copy;
    ASSERT_TRUE(copy.Ok());
    for (const auto& [name, access] : kChangingAccess) {
        SCOPED_TRACE(name);
        HANDLE other = OpenWithSharingAll(copy.Library(), access);
        ASSERT_NE(other, INVALID_HANDLE_VALUE);
        // Refused before its check, and not looked for anywhere else.
        void* control = nullptr;
        HMODULE module = nullptr;
        DWORD answer = 0;
        std::wstring output;
        {
            DebugOutputCapture capture;
            answer = AskValidationInterface(copy.Key().Root(), kValidationLibraryName,
                                            "QavValidationControl2", &control, &module);
            output = capture.Text();
        }
        EXPECT_EQ(answer, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(control, nullptr);
        EXPECT_EQ(module, nullptr);
        const std::wstring refusal =
            L"loading " + copy.Library() + L", CreateFileW failed with 00000020\n";
        EXPECT_NE(output.find(refusal), std::wstring::npos) << std::string(output.begin(), output.end());
        EXPECT_EQ(output.find(L"WinVerifyTrust"), std::wstring::npos);
        {
            TrustVerifier verifier = testing::MakeVerifier(WithPlatform(copy.Key()));
            EXPECT_FALSE(verifier.HasValidationControl());
            EXPECT_EQ(GetModuleHandleW(copy.Library().c_str()), nullptr);
            EXPECT_EQ(verifier.Verify(TestFile("unsigned.dll").c_str()), 5u);
        }
        CloseHandle(other);
        TrustVerifier verifier = testing::MakeVerifier(WithPlatform(copy.Key()));
        EXPECT_TRUE(verifier.HasValidationControl());
        EXPECT_NE(GetModuleHandleW(copy.Library().c_str()), nullptr);
        EXPECT_EQ(verifier.Verify(TestFile("unsigned.dll").c_str()), 0u);
    }
}

TEST(ValidationLibraryAnswer, LibraryOpenElsewhereForReadingIsUsed) {
    CopiedValidationLibrary copy;
    ASSERT_TRUE(copy.Ok());
    for (const auto& [name, sharing] : kReaderSharing) {
        SCOPED_TRACE(name);
        HANDLE reader = CreateFileW(copy.Library().c_str(), GENERIC_READ, sharing, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(reader, INVALID_HANDLE_VALUE);
        {
            TrustVerifier verifier = testing::MakeVerifier(WithPlatform(copy.Key()));
            EXPECT_TRUE(verifier.HasValidationControl());
            EXPECT_EQ(verifier.Verify(TestFile("unsigned.dll").c_str()), 0u);
        }
        CloseHandle(reader);
    }
}

// The platform folder is read into a buffer of 262 characters; the folder,
// "\" and the library's name must fit it with their terminator.
constexpr std::size_t kPlatformPathBuffer = 262;
constexpr std::size_t kLibraryNameLength = std::size(kValidationLibraryName) - 1;
constexpr std::size_t kLongestJoinableFolder = kPlatformPathBuffer - 2 - kLibraryNameLength;

// A folder path of exactly the given length below a temporary folder, with
// copies of the validation library under the given names. Paths this long
// are passed to the file functions in their "\\?\" form.
class LongFolderWithLibrary {
public:
    LongFolderWithLibrary(std::size_t length, std::initializer_list<std::wstring> names) {
        const std::size_t below = temp_.Path().size() + 1;
        if (length <= below) return;
        path_ = temp_.Path() + L"\\" + std::wstring(length - below, L'x');
        ok_ = CreateDirectoryW(Long(path_).c_str(), nullptr) != FALSE;
        for (const std::wstring& name : names) {
            files_.push_back(path_ + L"\\" + name);
            ok_ = ok_ && CopyFileW(ValidationLibraryFile().c_str(), Long(files_.back()).c_str(),
                                   FALSE) != FALSE;
        }
    }
    ~LongFolderWithLibrary() {
        for (const std::wstring& file : files_) DeleteFileW(Long(file).c_str());
        if (!path_.empty()) RemoveDirectoryW(Long(path_).c_str());
    }
    bool Ok() const { return ok_; }
    const std::wstring& Path() const { return path_; }

private:
    static std::wstring Long(const std::wstring& path) { return L"\\\\?\\" + path; }

    TempFolder temp_;
    std::wstring path_;
    std::vector<std::wstring> files_;
    bool ok_ = false;
};

TEST(ValidationLibraryAnswer, FoundInTheLongestPlatformFolderThatFits) {
    LongFolderWithLibrary folder(kLongestJoinableFolder, {kValidationLibraryName});
    ASSERT_TRUE(folder.Ok());
    ASSERT_EQ(folder.Path().size(), kLongestJoinableFolder);
    PlatformKey key;
    ASSERT_TRUE(testing::WritePlatformKey(key.Root(), folder.Path().c_str(), L"15.4"));
    ScopedEnv noPin(L"VT_QAV_NO_PIN", L"1");
    ScopedEnv trust(L"VT_QAV_TRUST", L"*");
    TrustVerifier verifier = testing::MakeVerifier(WithPlatform(key));
    EXPECT_TRUE(verifier.HasValidationControl());
    EXPECT_EQ(verifier.Verify(TestFile("unsigned.dll").c_str()), 0u);
}

struct NoInterfaceCase {
    const char* name;
    bool writeKey;
    std::wstring folder;
    const wchar_t* offered;
    // Non-zero: the folder is made with this length instead, holding the
    // library under its name and under that name cut to the path buffer.
    std::size_t madeFolderLength = 0;
};

class NoValidationInterface : public ::testing::TestWithParam<NoInterfaceCase> {};

TEST_P(NoValidationInterface, LeavesTheOwnCheckAlone) {
    const NoInterfaceCase& c = GetParam();
    std::wstring folder = c.folder;
    std::optional<LongFolderWithLibrary> made;
    if (c.madeFolderLength) {
        // What of the name a path cut to the buffer keeps, before its terminator.
        const std::size_t cutName = kPlatformPathBuffer - 2 - c.madeFolderLength;
        made.emplace(c.madeFolderLength, std::initializer_list<std::wstring>{
                                             kValidationLibraryName,
                                             std::wstring(kValidationLibraryName, cutName)});
        ASSERT_TRUE(made->Ok());
        folder = made->Path();
        ASSERT_EQ(folder.size(), c.madeFolderLength);
    }
    PlatformKey key;
    if (c.writeKey) {
        ASSERT_TRUE(testing::WritePlatformKey(key.Root(), folder.c_str(), L"15.4"));
    }
    ScopedEnv offered(L"VT_QAV_INTERFACES", c.offered);
    ScopedEnv trust(L"VT_QAV_TRUST", L"*");
    TrustVerifier verifier = testing::MakeVerifier(WithPlatform(key));
    EXPECT_FALSE(verifier.HasValidationControl());
    EXPECT_EQ(verifier.PlatformVersion(), c.writeKey ? 1504u : 0u);
    EXPECT_EQ(verifier.Verify(TestFile("unsigned.dll").c_str()), 5u);
    EXPECT_EQ(verifier.Verify(TestFile("valid.dll").c_str()), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NoValidationInterface,
    ::testing::Values(
        NoInterfaceCase{"NoPlatformKey", false, L"", nullptr},
        NoInterfaceCase{"LibraryMissing", true, L"Z:\\nonexistent\\vt", nullptr},
        NoInterfaceCase{"UnsignedLibrary", true, TestFile("unsigned-validation"), nullptr},
        NoInterfaceCase{"InterfaceRefused", true, ValidationFolder(), L"Nothing"},
        // The folder fits the path buffer, but not with "\" and the name
        // after it: refused, so neither copy it holds is loaded.
        NoInterfaceCase{"PathTooLong", true, L"", nullptr, kLongestJoinableFolder + 1}),
    [](const ::testing::TestParamInfo<NoInterfaceCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Tessil
