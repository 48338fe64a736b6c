#include "platform/dll/SharedLibrary.h"
#include "platform/dll/testing/FakeDllAPI.h"

#include "framework/message/ModuleException.h"
#include "platform/Logging/testing/CapturingLogger.h"
#include "platform/Registry/ObfuscatedRegKey.h"
#include "platform/Registry/RegKey.h"
#include "platform/Registry/testing/TestRegistry.h"
#include "platform/files/FileVersionInfo.h"
#include "platform/paths/PathHelpers.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

using ETWLogging::testing::ScopedCapturingLogger;
using Tessil::testing::FakeDllAPI;
using Tessil::testing::FakePathAPI;

namespace {

const HMODULE kModule = reinterpret_cast<HMODULE>(0x20000);

const void* createObject(std::uint32_t) { return nullptr; }
void releaseObject(void*) {}
const char* getVersionStr() { return "1.0.0"; }
std::uint32_t getVersionNum() { return 1000000; }

std::map<std::string, FARPROC> allExports() {
    return {{"CreateObject", Tessil::testing::AsProc(&createObject)},
            {"ReleaseObject", Tessil::testing::AsProc(&releaseObject)},
            {"GetVersionStr", Tessil::testing::AsProc(&getVersionStr)},
            {"GetVersionNum", Tessil::testing::AsProc(&getVersionNum)}};
}

// Leaves every folder as it is.
class PlainPathHelpers : public Tessil::PathHelpers {
public:
    bool expand(std::wstring&) override { return true; }
};

// A version resource with a chosen "FileVersion", or none.
class FakeVersionInfo : public Kelmora::FileVersionInfo {
public:
    explicit FakeVersionInfo(std::optional<std::wstring> version) : version_(std::move(version)) {}
    bool Load(const std::wstring& path) override {
        loadedPath = path;
        return version_.has_value();
    }
    std::wstring GetString(const std::wstring& name) override {
        return name == L"FileVersion" && version_ ? *version_ : std::wstring();
    }
    std::wstring loadedPath;

private:
    std::optional<std::wstring> version_;
};

struct Fixture {
    std::shared_ptr<FakeDllAPI> dll = std::make_shared<FakeDllAPI>();
    std::shared_ptr<FakePathAPI> files = std::make_shared<FakePathAPI>();

    void addLibrary(const std::wstring& path, std::map<std::string, FARPROC> exports = allExports()) {
        dll->libraries[path] = {kModule, std::move(exports)};
        files->files.insert(path);
    }

    std::unique_ptr<Tessil::SharedLibrary> make(
        const std::wstring& fileName, std::vector<std::wstring> folders,
        std::optional<std::wstring> version = std::nullopt,
        std::shared_ptr<Kelmora::CRegKey> key = nullptr) {
        return std::make_unique<Tessil::SharedLibrary>(
            Tessil::LibraryDescriptor{fileName, std::move(folders)},
            std::make_shared<Tessil::DllLoader>(dll), std::make_shared<PlainPathHelpers>(),
            std::make_shared<Tessil::PathSearch>(files),
            std::make_shared<FakeVersionInfo>(std::move(version)), std::move(key));
    }
};

std::string constructionError(const std::function<void()>& construct) {
    try {
        construct();
    } catch (const Tessil::ModuleException& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(SharedLibrary, LoadsFromTheFirstFolderHoldingTheFileAndResolvesFourExports) {
    ScopedCapturingLogger logger;
    Fixture f;
    f.addLibrary(L"C:\\second\\lib.dll");
    auto library = f.make(L"lib.dll", {L"C:\\first", L"C:\\second\\"});
    EXPECT_EQ(library->module(), kModule);
    ASSERT_EQ(f.dll->loads.size(), 1u);
    EXPECT_EQ(f.dll->loads[0], L"C:\\second\\lib.dll");
    EXPECT_TRUE(logger->Contains(ETWLogging::LevelNormal, L"Loading lib.dll from C:\\second."));
    Tessil::LibraryFunctions* functions = library->getFunctions();
    EXPECT_EQ(functions->CreateObject, &createObject);
    EXPECT_EQ(functions->ReleaseObject, &releaseObject);
    EXPECT_EQ(functions->GetVersionStr, &getVersionStr);
    EXPECT_EQ(functions->GetVersionNum, &getVersionNum);
    library.reset();
    EXPECT_EQ(f.dll->frees.size(), 1u);
}

TEST(SharedLibrary, ConstructionFailures) {
    struct Case {
        const char* what;
        std::function<void(Fixture&)> arrange;
        std::vector<std::wstring> folders;
        std::string error;
        const wchar_t* log;
        std::size_t frees;
    };
    const Case cases[] = {
        {"no folders", [](Fixture&) {}, {}, "Failed to load library",
         L"Failed to find valid path for library: lib.dll.", 0},
        {"no folder holds the file", [](Fixture& f) { f.addLibrary(L"C:\\elsewhere\\lib.dll"); },
         {L"C:\\a", L"C:\\b"}, "Failed to load library",
         L"Failed to find valid path for library: lib.dll.", 0},
        {"the load is refused",
         [](Fixture& f) {
             f.addLibrary(L"C:\\a\\lib.dll");
             f.dll->refused.insert(L"C:\\a\\lib.dll");
         },
         {L"C:\\a"}, "Failed to load library", L"Failed to load library: lib.dll.", 0},
        {"an exception while loading",
         [](Fixture& f) {
             f.addLibrary(L"C:\\a\\lib.dll");
             f.dll->throwOnLoad = true;
         },
         {L"C:\\a"}, "Failed to load library",
         L"Failed to load library. Error code: MODULE_STATUS_UNKNOWN_EXCEPTION(2147483663).", 0},
        {"an export is missing",
         [](Fixture& f) {
             auto exports = allExports();
             exports.erase("GetVersionNum");
             f.addLibrary(L"C:\\a\\lib.dll", exports);
         },
         {L"C:\\a"}, "Failed to import functions from library",
         L"Failed to load GetVersionNum function from library: lib.dll.", 1},
    };
    for (const Case& c : cases) {
        ScopedCapturingLogger logger;
        Fixture f;
        c.arrange(f);
        const std::string error = constructionError([&] { f.make(L"lib.dll", c.folders); });
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_TRUE(logger->Contains(ETWLogging::LevelError, c.log)) << c.what;
        const std::wstring thrown = c.error == "Failed to load library"
                                        ? L"Failed to load library: lib.dll. Throwing ModuleException."
                                        : L"Failed to import functions from library: lib.dll. "
                                          L"Throwing ModuleException.";
        EXPECT_TRUE(logger->Contains(ETWLogging::LevelError, thrown)) << c.what;
        EXPECT_EQ(f.dll->frees.size(), c.frees) << c.what;
    }
}

// Notes its version read among the library wrapper's events.
class NotingVersionInfo : public FakeVersionInfo {
public:
    NotingVersionInfo(std::vector<std::wstring>& events, std::optional<std::wstring> version)
        : FakeVersionInfo(std::move(version)), events_(events) {}
    bool Load(const std::wstring& path) override {
        events_.push_back(L"version " + path);
        return FakeVersionInfo::Load(path);
    }

private:
    std::vector<std::wstring>& events_;
};

TEST(SharedLibrary, TheFileIsHeldFromBeforeItsVersionIsReadUntilItIsLoaded) {
    const std::wstring path = L"C:\\a\\plugin.dll";
    for (bool holdable : {true, false}) {
        SCOPED_TRACE(holdable);
        ScopedCapturingLogger logger;
        Fixture f;
        f.addLibrary(path);
        if (!holdable) f.dll->unholdable.insert(path);
        auto versionInfo = std::make_shared<NotingVersionInfo>(f.dll->events, L"1.2.3.4");
        const std::string error = constructionError([&] {
            Tessil::SharedLibrary library(
                Tessil::LibraryDescriptor{L"plugin.dll", {L"C:\\a"}},
                std::make_shared<Tessil::DllLoader>(f.dll), std::make_shared<PlainPathHelpers>(),
                std::make_shared<Tessil::PathSearch>(f.files), versionInfo);
        });
        if (holdable) {
            EXPECT_EQ(error, "");
            EXPECT_EQ(f.dll->events, (std::vector<std::wstring>{L"hold " + path, L"version c:\\a\\plugin.dll",
                                                                L"load " + path, L"release"}));
        } else {
            // Neither read nor loaded: nothing would keep it from changing.
            EXPECT_EQ(error, "Failed to load library");
            EXPECT_EQ(f.dll->events, std::vector<std::wstring>{L"hold " + path});
            EXPECT_TRUE(logger->Contains(ETWLogging::LevelError, L"Failed to load library: plugin.dll."));
        }
    }
}

TEST(SharedLibrary, AnAlreadyLoadedLibraryGetsOneMoreReferenceAndReleasesOnlyThat) {
    Fixture f;
    f.addLibrary(L"C:\\a\\lib.dll");
    auto first = f.make(L"lib.dll", {L"C:\\a"});
    ASSERT_EQ(f.dll->loads.size(), 1u);
    {
        auto second = f.make(L"lib.dll", {L"C:\\a"});
        EXPECT_EQ(second->module(), kModule);
        EXPECT_EQ(f.dll->loads.size(), 1u);  // no second checked load
        EXPECT_EQ(f.dll->references[kModule], 2);
    }
    EXPECT_EQ(f.dll->references[kModule], 1);
    first.reset();
    EXPECT_EQ(f.dll->references[kModule], 0);
}

TEST(SharedLibrary, ALibraryThatCannotBeFreedIsOnlyLogged) {
    ScopedCapturingLogger logger;
    Fixture f;
    f.addLibrary(L"C:\\a\\lib.dll");
    auto library = f.make(L"lib.dll", {L"C:\\a"});
    f.dll->failFree = true;
    library.reset();
    EXPECT_TRUE(logger->Contains(ETWLogging::LevelError, L"Failed to free library: lib.dll."));
}

class SharedLibraryDenyList : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(hklm_.ok()); }

    // Writes the deny-list value under the subkey named by the lower-case file name.
    static void deny(const std::wstring& lowerName, const std::wstring& version, bool scrambled) {
        const std::wstring subKey = std::wstring(Tessil::kLibraryDenyListKey) + lowerName;
        std::unique_ptr<Kelmora::CRegKey> key =
            scrambled ? std::unique_ptr<Kelmora::CRegKey>(new Kelmora::CObfuscatedRegKey())
                      : std::make_unique<Kelmora::CRegKey>();
        ASSERT_EQ(key->Create(HKEY_LOCAL_MACHINE, subKey.c_str()), ERROR_SUCCESS);
        ASSERT_EQ(key->SetStringValue(version.c_str(), version.c_str()), ERROR_SUCCESS);
    }

private:
    Kelmora::testing::PrivateHklm hklm_;
};

TEST_F(SharedLibraryDenyList, RefusesOnlyAScrambledEntryNamingTheExactVersion) {
    struct Case {
        const char* what;
        const wchar_t* fileName;
        const wchar_t* deniedName;  // subkey, or null for no entry
        const wchar_t* deniedVersion;
        bool scrambled;
        std::optional<std::wstring> fileVersion;
        bool blocked;
    };
    const Case cases[] = {
        {"the denied version", L"Plugin.DLL", L"plugin.dll", L"1.2.3.4", true, L"1.2.3.4", true},
        {"another version", L"Plugin.DLL", L"plugin.dll", L"1.2.3.4", true, L"1.2.3.5", false},
        {"unscrambled value", L"plugin.dll", L"plugin.dll", L"1.2.3.4", false, L"1.2.3.4", false},
        {"letter case of the version counts", L"plugin.dll", L"plugin.dll", L"1.2.3.a", true,
         L"1.2.3.A", false},
        {"no version resource", L"plugin.dll", L"plugin.dll", L"1.2.3.4", true, std::nullopt, false},
        {"no deny-list subkey", L"plugin.dll", nullptr, nullptr, true, L"1.2.3.4", false},
        {"core library", L"MessageBus.dll", L"messagebus.dll", L"1.2.3.4", true, L"1.2.3.4", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Kelmora::testing::PrivateHklm hklm;  // a fresh deny list per case
        ASSERT_TRUE(hklm.ok());
        if (c.deniedName != nullptr) {
            deny(c.deniedName, c.deniedVersion, c.scrambled);
        }
        ScopedCapturingLogger logger;
        Fixture f;
        const std::wstring folder = L"C:\\Plugins";
        f.addLibrary(folder + L"\\" + c.fileName);
        const std::string error =
            constructionError([&] { f.make(c.fileName, {folder}, c.fileVersion); });
        EXPECT_EQ(error, c.blocked ? "Failed to load library" : "");
        std::wstring lower = folder + L"\\" + c.fileName;
        for (auto& ch : lower) ch = static_cast<wchar_t>(towlower(ch));
        EXPECT_EQ(logger->Contains(ETWLogging::LevelInformation,
                                   L"Blocked library: " + folder + L"\\" + c.fileName + L"."),
                  c.blocked);
        EXPECT_EQ(f.dll->loads.empty(), c.blocked);
    }
}
