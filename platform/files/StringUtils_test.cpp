#include "platform/files/StringUtils.h"

#include <gtest/gtest.h>

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
