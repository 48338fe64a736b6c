#include "platform/paths/ImagePathParts.h"
#include "platform/paths/PlaceholderExpansion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

using Kelmora::internal::ExpandPlaceholders;
using Kelmora::internal::ImagePathParts;

namespace {

std::wstring TableValue(const std::wstring& placeholder) {
    static const std::map<std::wstring, std::wstring> table = {
        {L"$(App.Folder)", L"C:\\prog\\"},
        {L"$(App.Name)", L"host"},
        {L"$(Self)", L"$(Self)"},
        {L"$(Nested)", L"$(App.Name)"},
        {L"$(Empty)", L""},
    };
    auto it = table.find(placeholder);
    return it == table.end() ? std::wstring() : it->second;
}

}  // namespace

TEST(PlaceholderExpansion, OnePassLeftToRight) {
    struct Case {
        const wchar_t* input;
        const wchar_t* expected;
        std::uint64_t found;
        std::uint64_t replaced;
    };
    const Case cases[] = {
        {L"", L"", 0, 0},
        {L"no placeholders", L"no placeholders", 0, 0},
        {L"$(App.Folder)MessageBus.dll", L"C:\\prog\\MessageBus.dll", 1, 1},
        {L"$(app.folder)x", L"$(app.folder)x", 1, 0},
        {L"$()", L"$()", 0, 0},
        {L"$$(App.Name)", L"$host", 1, 1},
        {L"a$(b$(App.Name))c", L"a$(bhost)c", 1, 1},
        {L"$(Nested)", L"$(App.Name)", 1, 1},
        {L"$(Unknown)", L"$(Unknown)", 1, 0},
        {L"$(Empty)", L"$(Empty)", 1, 0},
        {L"$(Self)", L"$(Self)", 1, 0},
        {L"$(App.Name)$(App.Name)$(Unknown)", L"hosthost$(Unknown)", 3, 2},
        {L"$(App.Name", L"$(App.Name", 0, 0},
        {L"$(a(b)", L"$(a(b)", 0, 0},
        {L"(App.Name)$", L"(App.Name)$", 0, 0},
        {L"$($(App.Name))", L"$(host)", 1, 1},
        {L"$ (App.Name)", L"$ (App.Name)", 0, 0},
    };
    for (const Case& c : cases) {
        std::wstring text = c.input;
        auto counts = ExpandPlaceholders(text, TableValue);
        EXPECT_EQ(text, c.expected) << c.input;
        EXPECT_EQ(counts.found, c.found) << c.input;
        EXPECT_EQ(counts.replaced, c.replaced) << c.input;
    }
}

TEST(PlaceholderExpansion, LongTextsNeitherRecurseNorSlowDown) {
    const std::size_t n = 2'000'000;
    struct Case {
        std::wstring input;
        std::uint64_t found;
    };
    const Case cases[] = {
        {L"$(" + std::wstring(n, L'a') + L")", 1},
        {std::wstring(n, L'$'), 0},
        {[] {
             std::wstring t;
             for (int i = 0; i < 200000; ++i) t += L"$(x";
             return t;
         }(),
         0},
        {[] {
             std::wstring t;
             for (int i = 0; i < 200000; ++i) t += L"$(App.Name)";
             return t;
         }(),
         200000},
    };
    for (const Case& c : cases) {
        std::wstring text = c.input;
        auto counts = ExpandPlaceholders(text, [](const std::wstring& p) {
            return p == L"$(App.Name)" ? std::wstring(L"h") : std::wstring();
        });
        EXPECT_EQ(counts.found, c.found);
        if (c.found == 200000) {
            EXPECT_EQ(text, std::wstring(200000, L'h'));
        } else {
            EXPECT_EQ(text, c.input);
        }
    }
}

TEST(ImagePathParts, SplitsAPathAsWsplitpathDoes) {
    struct Case {
        const char* what;
        std::wstring path;
        std::wstring all;
        std::wstring folder;
        std::wstring name;
        std::wstring binary;
    };
    const std::wstring deep = L"C:\\" + std::wstring(400, L'd') + L"\\";
    const Case cases[] = {
        {"plain", L"C:\\Program Files\\Host\\host.exe", L"C:\\Program Files\\Host\\host.exe",
         L"C:\\Program Files\\Host\\", L"host", L"host.exe"},
        {"no extension", L"D:\\x\\tool", L"D:\\x\\tool", L"D:\\x\\", L"tool", L"tool"},
        {"two dots", L"D:\\x.y\\a.b.exe", L"D:\\x.y\\a.b.exe", L"D:\\x.y\\", L"a.b", L"a.b.exe"},
        {"no drive", L"\\\\server\\share\\h.exe", L"\\\\server\\share\\h.exe", L"\\\\server\\share\\", L"h",
         L"h.exe"},
        {"longer than MAX_PATH", deep + L"h.exe", deep + L"h.exe", deep, L"h", L"h.exe"},
        {"empty", L"", L"", L"", L"", L""},
    };
    for (const Case& c : cases) {
        auto parts = ImagePathParts::Split(c.path);
        EXPECT_EQ(parts.Join(15), c.all) << c.what;
        EXPECT_EQ(parts.Join(3), c.folder) << c.what;
        EXPECT_EQ(parts.Join(4), c.name) << c.what;
        EXPECT_EQ(parts.Join(12), c.binary) << c.what;
    }
}

TEST(ImagePathParts, ReadsTheRunningProgram) {
    auto parts = ImagePathParts::Read();
    EXPECT_EQ(parts.Join(4), L"PlaceholderExpansion_test");
    EXPECT_EQ(parts.Join(8), L".exe");
    ASSERT_FALSE(parts.folder.empty());
    EXPECT_EQ(parts.folder.back(), L'\\');
}
