// The process-wide entry points, with this process's verifier made to ask
// the test validation library, which trusts only the files it is told to.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <cstring>
#include <string>

#include "platform/trust/TrustVerifier.h"
#include "platform/trust/testing/TestTrust.h"

namespace {

using Tessil::testing::WindowsPathOf;
using Tessil::testing::kChangingAccess;
using Tessil::testing::kReaderSharing;
using Tessil::testing::OpenWithSharingAll;

std::wstring TestFile(const char* name) {
    return WindowsPathOf(std::string(VT_TRUST_TESTDATA_DIR) + "/" + name);
}

// {FD542581-722E-45BE-BED4-62A1BE46AF03}
constexpr GUID kFactoryInterface = {
    0xFD542581, 0x722E, 0x45BE, {0xBE, 0xD4, 0x62, 0xA1, 0xBE, 0x46, 0xAF, 0x03}};

// Registers a test server under a class identifier of this process's own.
class ServerRegistration {
public:
    explicit ServerRegistration(const std::wstring& dll) {
        CoCreateGuid(&classId_);
        wchar_t text[64] = {};
        StringFromGUID2(classId_, text, 64);
        key_ = std::wstring(L"Software\\Classes\\CLSID\\") + text;
        HKEY server = nullptr;
        ok_ = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (key_ + L"\\InprocServer32").c_str(), 0, nullptr,
                              0, KEY_ALL_ACCESS, nullptr, &server, nullptr) == ERROR_SUCCESS;
        if (!ok_) return;
        const wchar_t model[] = L"Both";
        ok_ = RegSetValueExW(server, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(dll.c_str()),
                             static_cast<DWORD>((dll.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
              RegSetValueExW(server, L"ThreadingModel", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(model), sizeof(model)) == ERROR_SUCCESS;
        RegCloseKey(server);
    }
    ~ServerRegistration() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, key_.c_str()); }
    bool Ok() const { return ok_; }
    const CLSID& ClassId() const { return classId_; }

private:
    CLSID classId_{};
    std::wstring key_;
    bool ok_ = false;
};

class VerifiedLoading : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        SetEnvironmentVariableW(L"VT_QAV_TRUST", L"unsigned.dll;comserver-a.dll;dependent-plugin.dll");
        made_ = Tessil::testing::MakeProcessVerifierWithValidationLibrary(
            WindowsPathOf(VT_VALIDATION_DIR).c_str());
    }
    void SetUp() override {
        ASSERT_TRUE(made_);
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    }
    void TearDown() override { CoUninitialize(); }
    static inline bool made_ = false;
};

// Runs first: a bad path is refused before the verifier exists.
TEST(VerifyFileBeforeVerifier, NullOrEmptyPathAnswers87) {
    EXPECT_EQ(VerifyFile(nullptr), 87u);
    EXPECT_EQ(VerifyFile(L""), 87u);
    SetLastError(0);
    EXPECT_EQ(LoadVerifiedLibrary(nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), 87u);
}

TEST_F(VerifiedLoading, ValidationVerdictDecides) {
    EXPECT_EQ(VerifyFile(TestFile("unsigned.dll").c_str()), 0u);
    // Signed by the test signer, but neither the validation library nor the
    // built-in list accepts it.
    EXPECT_EQ(VerifyFile(TestFile("valid.dll").c_str()), 5u);
}

TEST_F(VerifiedLoading, LoadsOnlyTrustedLibraries) {
    HMODULE trusted = LoadVerifiedLibrary(TestFile("unsigned.dll").c_str(), 0);
    ASSERT_NE(trusted, nullptr);
    using Answer = int (*)();
    auto answer = reinterpret_cast<Answer>(
        reinterpret_cast<void*>(GetProcAddress(trusted, "TrustPayloadAnswer")));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    FreeLibrary(trusted);

    for (const char* file : {"tampered.dll", "valid.dll", "missing.dll"}) {
        SetLastError(0);
        EXPECT_EQ(LoadVerifiedLibrary(TestFile(file).c_str(), 0), nullptr) << file;
        EXPECT_EQ(GetLastError(), 5u) << file;
        EXPECT_EQ(GetModuleHandleW(TestFile(file).c_str()), nullptr) << file;
    }
}

// A copy of a test file in a folder of this process, so that opening it
// elsewhere disturbs no other test program.
class TestFileCopy {
public:
    explicit TestFileCopy(const char* name) {
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"vt-loading-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(folder_.c_str(), nullptr);
        path_ = folder_ + L"\\" + std::wstring(name, name + std::strlen(name));
        ok_ = CopyFileW(TestFile(name).c_str(), path_.c_str(), FALSE) != FALSE;
    }
    ~TestFileCopy() {
        DeleteFileW(path_.c_str());
        RemoveDirectoryW(folder_.c_str());
    }
    TestFileCopy(const TestFileCopy&) = delete;
    TestFileCopy& operator=(const TestFileCopy&) = delete;
    bool Ok() const { return ok_; }
    const std::wstring& Path() const { return path_; }

private:
    std::wstring folder_;
    std::wstring path_;
    bool ok_ = false;
};


TEST_F(VerifiedLoading, LibraryOpenElsewhereForWritingIsRefusedUntilClosed) {
    TestFileCopy copy("unsigned.dll");  // trusted by its name
    ASSERT_TRUE(copy.Ok());
    for (const auto& [name, access] : kChangingAccess) {
        SCOPED_TRACE(name);
        HANDLE other = OpenWithSharingAll(copy.Path(), access);
        ASSERT_NE(other, INVALID_HANDLE_VALUE);
        SetLastError(0);
        HMODULE refused = LoadVerifiedLibrary(copy.Path().c_str(), 0);
        EXPECT_EQ(refused, nullptr);
        EXPECT_EQ(GetLastError(), 5u);
        EXPECT_EQ(GetModuleHandleW(copy.Path().c_str()), nullptr);
        if (refused) FreeLibrary(refused);
        CloseHandle(other);

        HMODULE module = LoadVerifiedLibrary(copy.Path().c_str(), 0);
        EXPECT_NE(module, nullptr);
        if (module) FreeLibrary(module);
    }
}

TEST_F(VerifiedLoading, LibraryOpenElsewhereForReadingLoads) {
    TestFileCopy copy("unsigned.dll");
    ASSERT_TRUE(copy.Ok());
    for (const auto& [name, sharing] : kReaderSharing) {
        SCOPED_TRACE(name);
        HANDLE reader = CreateFileW(copy.Path().c_str(), GENERIC_READ, sharing, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(reader, INVALID_HANDLE_VALUE);
        HMODULE module = LoadVerifiedLibrary(copy.Path().c_str(), 0);
        EXPECT_NE(module, nullptr);
        if (module) FreeLibrary(module);
        CloseHandle(reader);
    }
}

std::wstring DependencyFile(const char* name) {
    return WindowsPathOf(std::string(VT_DEPENDENCY_DIR) + "/" + name);
}

// A plug-in in a folder of its own, with or without its dependency beside
// it; a planted dependency of the same name in the current folder and in a
// folder on PATH, which leaves a marker file when loaded.
class PlantedDependency {
public:
    explicit PlantedDependency(bool dependencyBeside) {
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, temp);
        root_ = std::wstring(temp) + L"vt-dependency-" + std::to_wstring(GetCurrentProcessId());
        for (const wchar_t* folder : {L"", L"\\plugin", L"\\current", L"\\onpath"})
            CreateDirectoryW((root_ + folder).c_str(), nullptr);
        ok_ = CopyFileW(DependencyFile("plugin/dependent-plugin.dll").c_str(), Plugin().c_str(),
                        FALSE) &&
              (!dependencyBeside || CopyFileW(DependencyFile("real/vtdep.dll").c_str(),
                                              (root_ + L"\\plugin\\vtdep.dll").c_str(), FALSE)) &&
              CopyFileW(DependencyFile("planted/vtdep.dll").c_str(),
                        (root_ + L"\\current\\vtdep.dll").c_str(), FALSE) &&
              CopyFileW(DependencyFile("planted/vtdep.dll").c_str(),
                        (root_ + L"\\onpath\\vtdep.dll").c_str(), FALSE);
        marker_ = root_ + L"\\marker.txt";
        SetEnvironmentVariableW(L"VT_DEPENDENCY_MARKER", marker_.c_str());
        wchar_t current[MAX_PATH + 1] = {};
        GetCurrentDirectoryW(MAX_PATH, current);
        oldCurrent_ = current;
        SetCurrentDirectoryW((root_ + L"\\current").c_str());
        std::wstring path(32768, L'\0');
        path.resize(GetEnvironmentVariableW(L"PATH", path.data(), static_cast<DWORD>(path.size())));
        oldPath_ = path;
        SetEnvironmentVariableW(L"PATH", (root_ + L"\\onpath;" + path).c_str());
    }
    ~PlantedDependency() {
        SetEnvironmentVariableW(L"PATH", oldPath_.c_str());
        SetCurrentDirectoryW(oldCurrent_.c_str());
        SetEnvironmentVariableW(L"VT_DEPENDENCY_MARKER", nullptr);
        for (const wchar_t* file : {L"\\plugin\\dependent-plugin.dll", L"\\plugin\\vtdep.dll",
                                    L"\\current\\vtdep.dll", L"\\onpath\\vtdep.dll",
                                    L"\\marker.txt"})
            DeleteFileW((root_ + file).c_str());
        for (const wchar_t* folder : {L"\\plugin", L"\\current", L"\\onpath", L""})
            RemoveDirectoryW((root_ + folder).c_str());
    }
    PlantedDependency(const PlantedDependency&) = delete;
    PlantedDependency& operator=(const PlantedDependency&) = delete;

    bool Ok() const { return ok_; }
    std::wstring Plugin() const { return root_ + L"\\plugin\\dependent-plugin.dll"; }
    bool PlantedWasLoaded() const {
        return GetFileAttributesW(marker_.c_str()) != INVALID_FILE_ATTRIBUTES;
    }

private:
    std::wstring root_, marker_, oldCurrent_, oldPath_;
    bool ok_ = false;
};

TEST_F(VerifiedLoading, DependencyComesFromTheLibrarysOwnFolder) {
    for (DWORD flags : {0ul, static_cast<unsigned long>(Tessil::kVerifiedLibrarySearchFlags)}) {
        SCOPED_TRACE(flags);
        PlantedDependency files(true);
        ASSERT_TRUE(files.Ok());
        HMODULE module = LoadVerifiedLibrary(files.Plugin().c_str(), flags);
        ASSERT_NE(module, nullptr) << GetLastError();
        using Answer = int (*)();
        auto answer = reinterpret_cast<Answer>(
            reinterpret_cast<void*>(GetProcAddress(module, "TrustDependentAnswer")));
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(answer(), 7);
        EXPECT_FALSE(files.PlantedWasLoaded());
        FreeLibrary(module);
    }
}

TEST_F(VerifiedLoading, DependencyIsNeverTakenFromTheCurrentFolderOrPath) {
    PlantedDependency files(false);
    ASSERT_TRUE(files.Ok());
    SetLastError(0);
    HMODULE module = LoadVerifiedLibrary(files.Plugin().c_str(), 0);
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_FALSE(files.PlantedWasLoaded());
    if (module) FreeLibrary(module);
}

std::string ReadJournal(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string text(65536, '\0');
    DWORD read = 0;
    ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
    CloseHandle(file);
    text.resize(read);
    return text;
}

TEST_F(VerifiedLoading, LibraryCannotBeChangedBetweenItsCheckAndItsLoad) {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring journal =
        std::wstring(temp) + L"vt-qav-journal-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    DeleteFileW(journal.c_str());
    SetEnvironmentVariableW(L"VT_QAV_JOURNAL", journal.c_str());

    // The validation library tries to open the file for writing while it
    // checks it: refused during a verified load, allowed for a plain check.
    // A copy of this process's own, so that the write access it gets during
    // the plain check disturbs no other test program.
    TestFileCopy copy("unsigned.dll");
    ASSERT_TRUE(copy.Ok());
    HMODULE module = LoadVerifiedLibrary(copy.Path().c_str(), 0);
    ASSERT_NE(module, nullptr);
    FreeLibrary(module);
    std::string afterLoad = ReadJournal(journal);
    EXPECT_NE(afterLoad.find(" held "), std::string::npos) << afterLoad;

    EXPECT_EQ(VerifyFile(copy.Path().c_str()), 0u);
    std::string afterCheck = ReadJournal(journal).substr(afterLoad.size());
    EXPECT_NE(afterCheck.find(" open "), std::string::npos) << afterCheck;

    SetEnvironmentVariableW(L"VT_QAV_JOURNAL", nullptr);
    DeleteFileW(journal.c_str());
}

TEST_F(VerifiedLoading, CreateVerifiedInstanceAnswers) {
    ServerRegistration trusted(TestFile("comserver-a.dll"));
    ServerRegistration untrusted(TestFile("comserver-b.dll"));
    ASSERT_TRUE(trusted.Ok());
    ASSERT_TRUE(untrusted.Ok());

    EXPECT_EQ(CreateVerifiedInstance(trusted.ClassId(), nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                     nullptr, true),
              E_POINTER);

    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CreateVerifiedInstance(untrusted.ClassId(), nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IUnknown, &object, true),
              E_ACCESSDENIED);
    EXPECT_EQ(object, nullptr);

    ASSERT_EQ(CreateVerifiedInstance(trusted.ClassId(), nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                     &object, true),
              S_OK);
    ASSERT_NE(object, nullptr);
    static_cast<IUnknown*>(object)->Release();

    // Unverified: created directly, and the outer object is passed on (the
    // test server refuses aggregation).
    IUnknown* outer = static_cast<IUnknown*>(nullptr);
    ASSERT_EQ(CreateVerifiedInstance(untrusted.ClassId(), nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IUnknown, &object, false),
              S_OK);
    outer = static_cast<IUnknown*>(object);
    object = nullptr;
    EXPECT_EQ(CreateVerifiedInstance(untrusted.ClassId(), outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                     &object, false),
              CLASS_E_NOAGGREGATION);
    outer->Release();

    // A class that is not registered: the factory's own failure comes back.
    CLSID unknown{};
    CoCreateGuid(&unknown);
    EXPECT_EQ(CreateVerifiedInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object,
                                     true),
              REGDB_E_CLASSNOTREG);
    (void)kFactoryInterface;
}

}  // namespace
