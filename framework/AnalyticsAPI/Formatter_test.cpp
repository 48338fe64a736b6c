#include "framework/AnalyticsAPI/include/AnalyticsAPI/Formatter.h"

#include <gtest/gtest.h>

using Tessil::Analytics::CJSONFormatter;
using Tessil::Analytics::Dimensions;

TEST(AnalyticsJSONFormatter, EscapesEachUnitOfNameAndValue) {
    struct Case {
        std::wstring raw;
        std::wstring written;
    };
    const Case cases[] = {
        {L"plain", L"plain"},
        {L"\b\t\n\f\r", L"\\b\\t\\n\\f\\r"},
        {L"\"/\\", L"\\\"\\/\\\\"},
        {std::wstring(1, L'\0'), L"\\u0000"},
        {L"\x01\x0B\x1F", L"\\u0001\\u000B\\u001F"},
        {L"\x7F\x80\x9F", L"\\u007F\\u0080\\u009F"},
        {L"\x7E\xA0\xE9\x20AC\xD83D\xDE00", L"\x7E\xA0\xE9\x20AC\xD83D\xDE00"},
        {L"a\tb/\x7F\xE9", L"a\\tb\\/\\u007F\xE9"},
        {L"", L""},
    };
    CJSONFormatter formatter;
    for (const Case& c : cases) {
        std::wstring out = L"old";
        ASSERT_TRUE(formatter.Format(Dimensions{{L"n", c.raw}}, out));
        EXPECT_EQ(out, L"{\"n\":\"" + c.written + L"\"}");
        if (!c.raw.empty()) {
            ASSERT_TRUE(formatter.Format(Dimensions{{c.raw, L"v"}}, out));
            EXPECT_EQ(out, L"{\"" + c.written + L"\":\"v\"}");
        }
    }
}

TEST(AnalyticsJSONFormatter, EmptyMapIsRefusedWithEmptyOutput) {
    CJSONFormatter formatter;
    std::wstring out = L"left over";
    EXPECT_FALSE(formatter.Format(Dimensions{}, out));
    EXPECT_TRUE(out.empty());
}

TEST(AnalyticsJSONFormatter, WritesEveryMemberOnceWithoutSpaces) {
    Dimensions dimensions{{L"Event.Category", L"x"}, {L"Event.Value", L"5"}, {L"k", L"v"}};
    CJSONFormatter formatter;
    std::wstring out;
    ASSERT_TRUE(formatter.Format(dimensions, out));
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out.front(), L'{');
    EXPECT_EQ(out.back(), L'}');
    EXPECT_EQ(out.find(L' '), std::wstring::npos);
    std::size_t total = 2;  // the braces
    for (const auto& [name, value] : dimensions) {
        const std::wstring member = L"\"" + name + L"\":\"" + value + L"\"";
        EXPECT_NE(out.find(member), std::wstring::npos) << name;
        total += member.size();
    }
    total += dimensions.size() - 1;  // separating commas
    EXPECT_EQ(out.size(), total);
}
