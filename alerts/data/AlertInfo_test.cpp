#include "alerts/data/AlertInfo.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using Drem::AlertInfo;

namespace {

// Raw JSON of each member; an override replaces a member's text, removes it
// (nullopt) or, for a new name, adds it at the end.
using Members = std::vector<std::pair<std::wstring, std::optional<std::wstring>>>;

const Members kRequired = {
    {L"id", L"\"alert.id\""},
    {L"instanceId", L"\"7\""},
    {L"priority", L"\"P2\""},
    {L"product", L"\"prod\""},
    {L"source", L"\"web\""},
    {L"forcePreferredViewer", L"false"},
    {L"context", L"{}"},
};

std::wstring alertJson(const Members& overrides = {}) {
    Members members = kRequired;
    for (const auto& [name, value] : overrides) {
        bool found = false;
        for (auto& m : members) {
            if (m.first == name) {
                m.second = value;
                found = true;
            }
        }
        if (!found) members.emplace_back(name, value);
    }
    std::wstring text = L"{";
    for (const auto& [name, value] : members) {
        if (!value) continue;
        if (text.size() > 1) text += L",";
        text += L"\"" + name + L"\":" + *value;
    }
    return text + L"}";
}

std::string narrow(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

}  // namespace

TEST(AlertInfo, DefaultsAndCreationTime) {
    using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;
    const auto now = std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch()).count();
    AlertInfo info;
    EXPECT_TRUE(info.id.empty());
    EXPECT_TRUE(info.instanceId.empty());
    EXPECT_EQ(info.priority, 3);
    EXPECT_TRUE(info.product.empty());
    EXPECT_EQ(info.source, 0);
    EXPECT_TRUE(info.preferredViewer.empty());
    EXPECT_FALSE(info.forcePreferredViewer);
    EXPECT_TRUE(info.context.empty());
    EXPECT_TRUE(info.content.empty());
    EXPECT_EQ(info.timeout, 30u);
    EXPECT_EQ(info.sessionId, 0u);
    EXPECT_GE(info.created, now);
    EXPECT_LT(info.created, now + 600'000'000);  // within a minute

    AlertInfo later;
    later.created = info.created + 1;
    later = info;
    EXPECT_EQ(later.created, info.created);  // copy assignment copies created
}

TEST(AlertInfo, RequiredMembersOnly) {
    AlertInfo info;
    ASSERT_TRUE(AlertInfo::fromJson(alertJson(), info));
    EXPECT_EQ(info.id, L"alert.id");
    EXPECT_EQ(info.instanceId, L"7");
    EXPECT_EQ(info.priority, 2);
    EXPECT_EQ(info.product, L"prod");
    EXPECT_EQ(info.source, 1);
    EXPECT_FALSE(info.forcePreferredViewer);
    EXPECT_TRUE(info.content.empty());
    EXPECT_EQ(info.timeout, 30u);
    EXPECT_EQ(info.sessionId, 0u);
    EXPECT_TRUE(info.preferredViewer.empty());
    EXPECT_EQ(info.context, L"{}");
    EXPECT_EQ(AlertInfo::toJson(info),
              L"{\"id\":\"alert.id\",\"instanceId\":\"7\",\"priority\":\"P2\",\"product\":\"prod\","
              L"\"content\":\"\",\"timeout\":30,\"sessionId\":0,\"source\":\"web\","
              L"\"forcePreferredViewer\":false,\"context\":{}}");
}

struct PriorityCase {
    std::wstring json;  // the member's raw JSON
    std::optional<int> priority;  // nullopt: the reading fails
};

class Priority : public ::testing::TestWithParam<PriorityCase> {};

TEST_P(Priority, ReadsPAndTheNumberOneToThree) {
    AlertInfo info;
    const bool ok = AlertInfo::fromJson(alertJson({{L"priority", GetParam().json}}), info);
    EXPECT_EQ(ok, GetParam().priority.has_value());
    if (GetParam().priority) {
        EXPECT_EQ(info.priority, *GetParam().priority);
    } else {
        EXPECT_EQ(info.priority, 3);
        EXPECT_EQ(info.instanceId, L"7");  // read before the failure
        EXPECT_TRUE(info.product.empty());  // never reached
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Priority,
    ::testing::Values(PriorityCase{L"\"P1\"", 1}, PriorityCase{L"\"P2\"", 2}, PriorityCase{L"\"P3\"", 3},
                      PriorityCase{L"\"P3 \"", 3}, PriorityCase{L"\"P+1\"", 1}, PriorityCase{L"\"P 2\"", 2},
                      PriorityCase{L"\"P\\t2\"", 2}, PriorityCase{L"\"P02\"", 2}, PriorityCase{L"\"P2x\"", 2},
                      PriorityCase{L"\"P0\"", std::nullopt}, PriorityCase{L"\"P4\"", std::nullopt},
                      PriorityCase{L"\"P-1\"", std::nullopt}, PriorityCase{L"\"p1\"", std::nullopt},
                      PriorityCase{L"\"1\"", std::nullopt}, PriorityCase{L"\"P\"", std::nullopt},
                      PriorityCase{L"\"Px\"", std::nullopt}, PriorityCase{L"\"\"", std::nullopt},
                      PriorityCase{L"\" P1\"", std::nullopt}, PriorityCase{L"\"P--1\"", std::nullopt},
                      PriorityCase{L"\"P4294967297\"", std::nullopt},
                      PriorityCase{L"\"P99999999999999999999\"", std::nullopt},
                      PriorityCase{L"\"P\\u00002\"", std::nullopt},  // the number ends at the NUL
                      PriorityCase{L"1", std::nullopt}, PriorityCase{L"null", std::nullopt},
                      PriorityCase{L"[\"P1\"]", std::nullopt}));

TEST(AlertInfo, MissingPriorityFails) {
    AlertInfo info;
    EXPECT_FALSE(AlertInfo::fromJson(alertJson({{L"priority", std::nullopt}}), info));
}

// Optional unsigned members: a value that getUInt refuses keeps the default.
struct UIntCase {
    std::optional<std::wstring> json;
    std::optional<std::uint32_t> value;  // nullopt: the defaults 30 and 0 stay
};

class OptionalNumbers : public ::testing::TestWithParam<UIntCase> {};

TEST_P(OptionalNumbers, TimeoutAndSessionId) {
    const UIntCase& c = GetParam();
    AlertInfo info;
    ASSERT_TRUE(AlertInfo::fromJson(alertJson({{L"timeout", c.json}, {L"sessionId", c.json}}), info));
    EXPECT_EQ(info.timeout, c.value.value_or(30));
    EXPECT_EQ(info.sessionId, c.value.value_or(0));
}

INSTANTIATE_TEST_SUITE_P(
    Values, OptionalNumbers,
    ::testing::Values(UIntCase{std::nullopt, std::nullopt}, UIntCase{L"-1", std::nullopt},
                      UIntCase{L"30.5", std::nullopt}, UIntCase{L"60.0", std::nullopt},
                      UIntCase{L"\"60\"", std::nullopt}, UIntCase{L"4294967296", std::nullopt},
                      UIntCase{L"1e2", std::nullopt}, UIntCase{L"true", std::nullopt},
                      UIntCase{L"null", std::nullopt}, UIntCase{L"[60]", std::nullopt}, UIntCase{L"0", 0u},
                      UIntCase{L"60", 60u}, UIntCase{L"4294967295", 4294967295u}));

TEST(AlertInfo, OptionalContent) {
    AlertInfo info;
    ASSERT_TRUE(AlertInfo::fromJson(alertJson({{L"content", L"\"<b>x</b>\""}}), info));
    EXPECT_EQ(info.content, L"<b>x</b>");
    AlertInfo other;
    ASSERT_TRUE(AlertInfo::fromJson(alertJson({{L"content", L"5"}}), other));
    EXPECT_TRUE(other.content.empty());
}

struct ViewerCase {
    std::optional<std::wstring> json;
    bool ok;
    std::vector<std::wstring> viewers;
};

class PreferredViewer : public ::testing::TestWithParam<ViewerCase> {};

TEST_P(PreferredViewer, ListRules) {
    AlertInfo info;
    EXPECT_EQ(AlertInfo::fromJson(alertJson({{L"preferredViewer", GetParam().json}}), info), GetParam().ok);
    EXPECT_EQ(info.preferredViewer, GetParam().viewers);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, PreferredViewer,
    ::testing::Values(ViewerCase{std::nullopt, true, {}}, ViewerCase{L"[]", true, {}},
                      ViewerCase{L"[\"toast\",\"tray\"]", true, {L"toast", L"tray"}},
                      ViewerCase{L"[\"a\",\"a\"]", true, {L"a", L"a"}},
                      ViewerCase{L"[1]", false, {}}, ViewerCase{L"[\"a\",1,\"b\"]", false, {L"a"}},
                      ViewerCase{L"\"toast\"", false, {}}, ViewerCase{L"{}", false, {}},
                      ViewerCase{L"null", false, {}}));

// Members whose value decides whether the reading succeeds.
struct MemberCase {
    std::wstring name;
    std::optional<std::wstring> json;
    bool ok;
};

class RequiredMember : public ::testing::TestWithParam<MemberCase> {};

TEST_P(RequiredMember, DecidesTheAnswer) {
    AlertInfo info;
    EXPECT_EQ(AlertInfo::fromJson(alertJson({{GetParam().name, GetParam().json}}), info), GetParam().ok)
        << narrow(alertJson({{GetParam().name, GetParam().json}}));
}

INSTANTIATE_TEST_SUITE_P(
    Members, RequiredMember,
    ::testing::Values(
        MemberCase{L"id", std::nullopt, false}, MemberCase{L"id", L"1", false},
        MemberCase{L"id", L"\"\"", true}, MemberCase{L"instanceId", std::nullopt, false},
        MemberCase{L"instanceId", L"7", false}, MemberCase{L"product", std::nullopt, false},
        MemberCase{L"product", L"null", false}, MemberCase{L"source", std::nullopt, false},
        MemberCase{L"source", L"\"client\"", true}, MemberCase{L"source", L"\"Client\"", false},
        MemberCase{L"source", L"\"WEB\"", false}, MemberCase{L"source", L"\"web \"", false},
        MemberCase{L"source", L"\"web\\u0000\"", false}, MemberCase{L"source", L"\"\"", false},
        MemberCase{L"source", L"1", false}, MemberCase{L"forcePreferredViewer", std::nullopt, false},
        MemberCase{L"forcePreferredViewer", L"true", true},
        MemberCase{L"forcePreferredViewer", L"\"true\"", false},
        MemberCase{L"forcePreferredViewer", L"1", false}, MemberCase{L"context", std::nullopt, false},
        MemberCase{L"context", L"[]", false}, MemberCase{L"context", L"\"{}\"", false},
        MemberCase{L"context", L"null", false}, MemberCase{L"context", L"{\"a\":{}}", true},
        MemberCase{L"unknownMember", L"[1,{\"x\":null}]", true}));

TEST(AlertInfo, SourceValues) {
    AlertInfo client;
    ASSERT_TRUE(AlertInfo::fromJson(alertJson({{L"source", L"\"client\""}}), client));
    EXPECT_EQ(client.source, 0);
    AlertInfo web;
    ASSERT_TRUE(AlertInfo::fromJson(alertJson(), web));
    EXPECT_EQ(web.source, 1);
}

TEST(AlertInfo, ContextIsKeptCompactInOrder) {
    struct Case {
        std::wstring json;
        std::wstring context;
    };
    const Case cases[] = {
        {L"{ \"title\" : \"T\\/\\u00e9\" ,\n \"b\" : [ 1 , 2.50 ], \"a\": {} }",
         L"{\"title\":\"T/\u00e9\",\"b\":[1,2.5],\"a\":{}}"},
        {L"{\"e\":\"\\\"\\\\\\b\\f\\n\\r\\t\\u0001\\u001f\\u007f\"}",
         L"{\"e\":\"\\\"\\\\\\b\\f\\n\\r\\t\\u0001\\u001F\x007f\"}"},
        {L"{\"s\":\"\\ud83d\\ude00\",\"z\":\"a\\u0000b\"}", L"{\"s\":\"\xD83D\xDE00\",\"z\":\"a\\u0000b\"}"},
        {L"{\"n\":[1E2,1e-7,-2.5,18446744073709551615,-9223372036854775808]}",
         L"{\"n\":[100.0,1e-7,-2.5,18446744073709551615,-9223372036854775808]}"},
        {L"{\"t\":1,\"t\":2,\"o\":{\"x\":[{\"y\":[[],{}]},null,true,false]}}",
         L"{\"t\":1,\"t\":2,\"o\":{\"x\":[{\"y\":[[],{}]},null,true,false]}}"},
    };
    for (const Case& c : cases) {
        AlertInfo info;
        ASSERT_TRUE(AlertInfo::fromJson(alertJson({{L"context", c.json}}), info)) << narrow(c.json);
        EXPECT_EQ(info.context, c.context) << narrow(c.json);
    }
}

TEST(AlertInfo, DuplicateMembersReadTheFirst) {
    AlertInfo info;
    ASSERT_TRUE(AlertInfo::fromJson(L"{\"id\":\"first\",\"id\":\"second\",\"instanceId\":\"1\",\"priority\":"
                                    L"\"P1\",\"product\":\"p\",\"source\":\"client\",\"forcePreferredViewer\":"
                                    L"true,\"context\":{}}",
                                    info));
    EXPECT_EQ(info.id, L"first");
}

TEST(AlertInfo, BadTextFailsWithoutHarm) {
    std::wstring deep;
    for (int i = 0; i < 100000; ++i) deep += L"{\"context\":";
    const std::vector<std::wstring> texts = {
        L"", L"{", L"}", L"[]", L"null", L"\"text\"", L"42", alertJson() + L"x", alertJson().substr(0, 40),
        deep, std::wstring(100000, L'['), L"{\"id\":\"\\udc00\"}"};
    for (const auto& text : texts) {
        AlertInfo info;
        EXPECT_FALSE(AlertInfo::fromJson(text, info)) << narrow(text.substr(0, 60));
        EXPECT_TRUE(info.id.empty());
    }
}

TEST(AlertInfo, DeepContextAtTheLimitRoundTrips) {
    // The alert object holds the context, so the context may nest one level
    // less than the formatter's limit (512).
    std::wstring context;
    for (int i = 0; i < 510; ++i) context += L"{\"a\":";
    context += L"{}" + std::wstring(510, L'}');
    AlertInfo info;
    ASSERT_TRUE(AlertInfo::fromJson(alertJson({{L"context", context}}), info));
    EXPECT_EQ(info.context, context);
    AlertInfo back;
    ASSERT_TRUE(AlertInfo::fromJson(AlertInfo::toJson(info), back));
    EXPECT_EQ(back.context, context);
    AlertInfo tooDeep;
    EXPECT_FALSE(AlertInfo::fromJson(alertJson({{L"context", L"{\"a\":" + context + L"}"}}), tooDeep));
}

TEST(AlertInfo, RoundTripKeepsEveryMemberAndTheWritingOrder) {
    AlertInfo x;
    x.id = L"product.alert \"quoted\" {braces}";
    x.instanceId = L"12345";
    x.priority = 1;
    x.product = L"prod\u00e9";
    x.source = 0;
    x.preferredViewer = {L"toast", L"tray\\one"};
    x.forcePreferredViewer = true;
    x.context = L"{\"title\":\"Tab\\there\",\"n\":[1,-2,3.5],\"o\":{\"deep\":null}}";
    x.content = L"line\nbreak\x0001";
    x.timeout = 4294967295u;
    x.sessionId = 3;

    const std::wstring json = AlertInfo::toJson(x);
    EXPECT_EQ(json,
              L"{\"id\":\"product.alert \\\"quoted\\\" {braces}\",\"instanceId\":\"12345\",\"priority\":\"P1\","
              L"\"product\":\"prod\u00e9\",\"content\":\"line\\nbreak\\u0001\",\"timeout\":4294967295,"
              L"\"sessionId\":3,\"source\":\"client\",\"forcePreferredViewer\":true,"
              L"\"preferredViewer\":[\"toast\",\"tray\\\\one\"],"
              L"\"context\":{\"title\":\"Tab\\there\",\"n\":[1,-2,3.5],\"o\":{\"deep\":null}}}");

    AlertInfo y;
    ASSERT_TRUE(AlertInfo::fromJson(json, y));
    y.created = x.created;  // stamped by construction, not carried in the JSON
    EXPECT_EQ(y, x);
    EXPECT_EQ(AlertInfo::toJson(y), json);
}

TEST(AlertInfo, WriterEdgeCases) {
    AlertInfo info;  // never read: empty context, source 0
    info.source = 7;
    info.priority = 9;
    EXPECT_EQ(AlertInfo::toJson(info),
              L"{\"id\":\"\",\"instanceId\":\"\",\"priority\":\"P9\",\"product\":\"\",\"content\":\"\","
              L"\"timeout\":30,\"sessionId\":0,\"source\":\"unknown\",\"forcePreferredViewer\":false,"
              L"\"context\":null}");
    info.context = L"[1,2]";  // copied whatever its type
    EXPECT_NE(AlertInfo::toJson(info).find(L"\"context\":[1,2]}"), std::wstring::npos);
    info.context = L"{";
    EXPECT_NE(AlertInfo::toJson(info).find(L"\"context\":null}"), std::wstring::npos);
}
