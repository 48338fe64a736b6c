#include "platform/paths/CommonReplacements.h"
#include "platform/paths/PathHelpers.h"

#include "platform/wrappers/OSInfo.h"
#include "platform/wrappers/RegistryAPI.h"
#include "platform/wrappers/ShlObjAPI.h"

#include <gtest/gtest.h>

#include <knownfolders.h>
#include <objbase.h>

#include <cstring>
#include <map>
#include <optional>
#include <string>

namespace {

struct KnownFolder {
    const wchar_t* placeholder;
    const KNOWNFOLDERID* id;
};

const KnownFolder kFolders[] = {
    {L"$(FOLDERID_Profile)", &FOLDERID_Profile},
    {L"$(FOLDERID_Desktop)", &FOLDERID_Desktop},
    {L"$(FOLDERID_Documents)", &FOLDERID_Documents},
    {L"$(FOLDERID_LocalAppDataLow)", &FOLDERID_LocalAppDataLow},
    {L"$(FOLDERID_LocalAppData)", &FOLDERID_LocalAppData},
    {L"$(FOLDERID_RoamingAppData)", &FOLDERID_RoamingAppData},
    {L"$(FOLDERID_ProgramData)", &FOLDERID_ProgramData},
    {L"$(FOLDERID_ProgramFiles)", &FOLDERID_ProgramFiles},
    {L"$(FOLDERID_ProgramFilesX64)", &FOLDERID_ProgramFilesX64},
    {L"$(FOLDERID_ProgramFilesX86)", &FOLDERID_ProgramFilesX86},
    {L"$(FOLDERID_ProgramFilesCommon)", &FOLDERID_ProgramFilesCommon},
    {L"$(FOLDERID_ProgramFilesCommonX64)", &FOLDERID_ProgramFilesCommonX64},
    {L"$(FOLDERID_ProgramFilesCommonX86)", &FOLDERID_ProgramFilesCommonX86},
};

// Answers "K:\<placeholder's folder name>" for the identifier of that name,
// as the shell does (allocated with the task allocator), or fails.
template <typename Base>
class FakeShell : public Base {
public:
    HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, HANDLE token,
                                 PWSTR* path) override {
        ++calls;
        EXPECT_EQ(flags, 0u);
        EXPECT_EQ(token, nullptr);
        if (fail) {
            *path = static_cast<PWSTR>(CoTaskMemAlloc(sizeof(wchar_t)));
            (*path)[0] = L'\0';
            return E_FAIL;
        }
        for (const KnownFolder& f : kFolders) {
            if (IsEqualGUID(id, *f.id)) {
                std::wstring text = std::wstring(L"K:\\") + (f.placeholder + 11);
                text.pop_back();  // the closing parenthesis
                *path = static_cast<PWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
                std::memcpy(*path, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
                return S_OK;
            }
        }
        *path = nullptr;
        return E_INVALIDARG;
    }
    bool fail = false;
    int calls = 0;
};

class FakeOSInfo : public Kelmora::internal::OSInfoProxy<Kelmora::WinOSVersionAPI> {
public:
    DWORD GetPlatform() override { return platform; }
    bool IsWow64() override { return wow64; }
    DWORD platform = 1;
    bool wow64 = false;
};

class FakeRegistry : public Tessil::RegistryAPI {
public:
    long readString(const wchar_t* subKey, const wchar_t* valueName, std::wstring& out) override {
        asked = std::wstring(subKey) + L"|" + valueName;
        if (!value) return kFailure;
        out = *value;
        return 0;
    }
    std::optional<std::wstring> value;
    std::wstring asked;
};

// The running program's path, split as the placeholders use it.
struct Program {
    std::wstring path, folder, name, binary;
    Program() {
        wchar_t buffer[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, buffer, MAX_PATH);
        path = buffer;
        folder = path.substr(0, path.rfind(L'\\') + 1);
        binary = path.substr(folder.size());
        name = binary.substr(0, binary.rfind(L'.'));
    }
};

}  // namespace

TEST(PathHelpers, EveryPlaceholderOfTheTable) {
    const Program program;
    struct Case {
        std::wstring input;
        std::wstring expected;
        DWORD platform;
        bool wow64;
        std::optional<std::wstring> installDir;
        std::wstring registryAsked;
    };
    std::vector<Case> cases = {
        {L"$(App.Path)", program.path, 1, false, {}, L""},
        {L"$(App.Folder)MessageBus.dll", program.folder + L"MessageBus.dll", 1, false, {}, L""},
        {L"$(App.Name)", program.name, 1, false, {}, L""},
        {L"$(App.Binary)", program.binary, 1, false, {}, L""},
        {L"$(app.path)", L"$(app.path)", 1, false, {}, L""},
        {L"$$(App.Name)", L"$" + program.name, 1, false, {}, L""},
        {L"x$(y$(App.Name))", L"x$(y" + program.name + L")", 1, false, {}, L""},
        {L"$(OS.Platform)", L"win32", 0, false, {}, L""},
        {L"$(OS.Platform)", L"x64", 1, false, {}, L""},
        {L"$(OS.Platform)", L"PlatformUnknown", 2, false, {}, L""},
        {L"$(OS.Platform)", L"$(OS.Platform)", 7, false, {}, L""},
        {L"$(Halvex.InstallDir)\\MessageBus.dll", L"C:\\Halvex\\MessageBus.dll", 1, false,
         L"C:\\Halvex", L"SOFTWARE\\CORVANE\\HALVEX|Install Dir"},
        {L"$(Halvex.InstallDir)", L"C:\\Halvex32", 1, true, L"C:\\Halvex32",
         L"SOFTWARE\\CORVANE\\HALVEX|Install Dir32"},
        {L"$(Halvex.InstallDir)", L"$(Halvex.InstallDir)", 1, false, std::nullopt,
         L"SOFTWARE\\CORVANE\\HALVEX|Install Dir"},
        {L"$()$(Unknown)", L"$()$(Unknown)", 1, false, {}, L""},
    };
    for (const KnownFolder& f : kFolders) {
        std::wstring name = std::wstring(f.placeholder + 11);
        name.pop_back();
        cases.push_back({f.placeholder, L"K:\\" + name, 1, false, {}, L""});
    }
    for (const Case& c : cases) {
        auto shell = std::make_shared<FakeShell<Tessil::ShlObjAPI>>();
        auto os = std::make_shared<FakeOSInfo>();
        os->platform = c.platform;
        os->wow64 = c.wow64;
        auto registry = std::make_shared<FakeRegistry>();
        registry->value = c.installDir;
        Tessil::PathHelpers helpers(shell, os, registry);
        std::wstring text = c.input;
        EXPECT_TRUE(helpers.expand(text));
        EXPECT_EQ(text, c.expected) << c.input;
        EXPECT_EQ(registry->asked, c.registryAsked) << c.input;
    }
}

TEST(PathHelpers, AFailingShellLeavesTheKnownFolderPlaceholder) {
    auto shell = std::make_shared<FakeShell<Tessil::ShlObjAPI>>();
    shell->fail = true;
    Tessil::PathHelpers helpers(shell, std::make_shared<FakeOSInfo>(),
                                std::make_shared<FakeRegistry>());
    std::wstring text = L"$(FOLDERID_ProgramData)\\x";
    EXPECT_TRUE(helpers.expand(text));
    EXPECT_EQ(text, L"$(FOLDERID_ProgramData)\\x");
    EXPECT_EQ(shell->calls, 1);
}

TEST(PathHelpers, DefaultsReachTheRealSystem) {
    Tessil::PathHelpers helpers;
    std::wstring text = L"$(FOLDERID_ProgramData)|$(OS.Platform)";
    EXPECT_TRUE(helpers.expand(text));
    EXPECT_EQ(text.find(L"$(FOLDERID_ProgramData)"), std::wstring::npos) << text;
    EXPECT_EQ(text.substr(text.find(L'|')), L"|x64");
}

TEST(CommonReplacements, CallerTableFirstThenTheBuiltInOneWithCounts) {
    const Program program;
    struct Case {
        const char* what;
        std::wstring input;
        Kelmora::CommonReplacements::Table table;
        std::wstring expected;
        std::uint64_t found;
        std::uint64_t replaced;
    };
    const Case cases[] = {
        {"no placeholders", L"plain text", {}, L"plain text", 0, 0},
        {"unknown placeholder", L"$(Nope)", {}, L"$(Nope)", 1, 0},
        {"the host's folder is not in this table", L"$(Halvex.InstallDir)", {},
         L"$(Halvex.InstallDir)", 1, 0},
        {"built in", L"$(App.Name)-$(OS.Platform)", {}, program.name + L"-x64", 2, 2},
        {"caller table wins", L"$(App.Path)", {{L"$(App.Path)", [] { return std::wstring(L"mine"); }}},
         L"mine", 1, 1},
        {"caller value empty leaves the placeholder", L"$(App.Path)",
         {{L"$(App.Path)", [] { return std::wstring(); }}}, L"$(App.Path)", 1, 0},
        {"caller value is not expanded again", L"$(Own)",
         {{L"$(Own)", [] { return std::wstring(L"$(App.Path)"); }}}, L"$(App.Path)", 1, 1},
        {"caller's own placeholder", L"a$(Own)b", {{L"$(Own)", [] { return std::wstring(L"X"); }}},
         L"aXb", 1, 1},
        {"value equal to the placeholder is not counted", L"$(Same)",
         {{L"$(Same)", [] { return std::wstring(L"$(Same)"); }}}, L"$(Same)", 1, 0},
        {"known folder", L"$(FOLDERID_Desktop)", {}, L"K:\\Desktop", 1, 1},
    };
    auto shell = std::make_shared<FakeShell<Kelmora::ShlObjAPI>>();
    Kelmora::CommonReplacements replacements(shell, std::make_shared<FakeOSInfo>());
    EXPECT_EQ(replacements.GetStats().found, 0u);
    EXPECT_EQ(replacements.GetStats().replaced, 0u);
    for (const Case& c : cases) {
        std::wstring text = c.input;
        EXPECT_TRUE(c.table.empty() ? replacements.Replace(text) : replacements.Replace(text, c.table));
        EXPECT_EQ(text, c.expected) << c.what;
        EXPECT_EQ(replacements.GetStats().found, c.found) << c.what;
        EXPECT_EQ(replacements.GetStats().replaced, c.replaced) << c.what;
    }
}

TEST(PathHelpers, LongFoldersExpandWithoutRecursion) {
    Tessil::PathHelpers helpers(std::make_shared<FakeShell<Tessil::ShlObjAPI>>(),
                                std::make_shared<FakeOSInfo>(), std::make_shared<FakeRegistry>());
    std::wstring text;
    for (int i = 0; i < 50000; ++i) text += L"$(OS.Platform)$(x";
    EXPECT_TRUE(helpers.expand(text));
    std::wstring expected;
    for (int i = 0; i < 50000; ++i) expected += L"x64$(x";
    EXPECT_EQ(text, expected);
}
