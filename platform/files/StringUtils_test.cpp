#include "platform/files/StringUtils.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

TEST(SplitStringTest, Table) {
    struct Case {
        std::wstring text;
        wchar_t separator;
        bool skipEmpty;
        std::vector<std::wstring> parts;
    };
    const Case cases[] = {
        {L"6..1", L'.', false, {L"6", L"", L"1"}},
        {L"6..1", L'.', true, {L"6", L"1"}},
        {L"", L'.', false, {}},
        {L"", L'.', true, {}},
        {L".", L'.', false, {L"", L""}},
        {L".", L'.', true, {}},
        {L"abc", L'.', false, {L"abc"}},
        {L"10.0.100.1", L'.', false, {L"10", L"0", L"100", L"1"}},
        {L"a;b;", L';', false, {L"a", L"b", L""}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.parts, Kelmora::SplitString(c.text, c.separator, c.skipEmpty)) << c.text;
    }
}

TEST(FormatStringTest, WindowsMeaningOfConversions) {
    EXPECT_EQ(L"a-5", formatString(L"%s-%d", L"a", 5));
    EXPECT_EQ(L"x=narrow", formatString(L"x=%hs", "narrow"));
    EXPECT_EQ(L"", formatString(L""));
    EXPECT_EQ(L"", formatString(nullptr));
    const std::wstring big(5000, L'z');
    EXPECT_EQ(big + L"!", formatString(L"%s!", big.c_str()));
}

}  // namespace

TEST(CodePageTextTest, RoundTripsAndRefusesWhatCannotBeConverted) {
    struct Case {
        const char* what;
        unsigned codePage;
        std::wstring wide;
        std::string narrow;
    };
    const Case cases[] = {
        {"empty", CP_ACP, L"", ""},
        {"plain", CP_ACP, L"C:\\Program Files\\x", "C:\\Program Files\\x"},
        {"thread code page", CP_THREAD_ACP, L"value=1", "value=1"},
        {"utf-8", CP_UTF8, L"\x00E9t\x00E9", "\xC3\xA9t\xC3\xA9"},
        {"inner NUL kept", CP_UTF8, std::wstring(L"a\0b", 3), std::string("a\0b", 3)},
    };
    for (const Case& c : cases) {
        std::string narrow = "stale";
        EXPECT_TRUE(Kelmora::NarrowToCodePage(c.codePage, c.wide, narrow)) << c.what;
        EXPECT_EQ(narrow, c.narrow) << c.what;
        EXPECT_EQ(Kelmora::WidenFromCodePage(c.codePage, c.narrow.data(), c.narrow.size()), c.wide) << c.what;
    }
    EXPECT_EQ(Kelmora::WidenFromCodePage(CP_ACP, nullptr, 4), L"");
    // An unknown code page converts nothing.
    std::string out;
    EXPECT_FALSE(Kelmora::NarrowToCodePage(12345, L"x", out));
    EXPECT_EQ(Kelmora::WidenFromCodePage(12345, "x", 1), L"");
}
