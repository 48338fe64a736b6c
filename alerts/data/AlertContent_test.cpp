#include "alerts/data/AlertContent.h"

#include <gtest/gtest.h>

#include <string>

using Drem::AlertAction;
using Drem::AlertActionOption;
using Drem::AlertContent;
using Drem::AlertMessage;
using Drem::AlertOption;

TEST(AlertContent, ReadsEveryField) {
    AlertContent c;
    ASSERT_TRUE(Drem::parseAlertContent(
        c, L"{\"category\":\"c1\",\"title\":\"t\",\"shortdescription\":\"s\",\"longdescription\":\"l\","
           L"\"langid\":\"en\",\"detailscontent\":\"d\",\"defaultcontent\":\"dc\",\"recommendedtext\":\"r\","
           L"\"detaillinktext\":\"dl\",\"detaillinkcontext\":\"dlc\",\"appid\":\"a\",\"plugin\":\"p\","
           L"\"alertmarketdescription\":\"am\",\"typedescription\":\"td\",\"telemetry\":\"tel\","
           L"\"timeout\":5,\"width\":400,\"status\":2,\"detaillinktype\":1,\"SuppressAlertByDefault\":true,"
           L"\"legacy\":true,"
           L"\"timeoutactions\":[{\"messagename\":\"m1\",\"payload\":\"p1\"},{}],"
           L"\"dismissalactions\":[{\"payload\":\"p2\"}],"
           L"\"options\":[{\"id\":\"o\",\"text\":\"ot\",\"selected\":true}],"
           L"\"actions\":[{\"id\":\"a1\",\"text\":\"at\",\"default\":true,"
           L"\"defaultmessage\":{\"messagename\":\"dm\",\"payload\":\"dp\"},"
           L"\"options\":[{\"idList\":[\"o\",\"x\"],\"message\":{\"messagename\":\"om\"}},{}]}]}"));
    AlertContent expected;
    expected.category = L"c1";
    expected.title = L"t";
    expected.shortdescription = L"s";
    expected.longdescription = L"l";
    expected.langid = L"en";
    expected.detailscontent = L"d";
    expected.defaultcontent = L"dc";
    expected.recommendedtext = L"r";
    expected.detaillinktext = L"dl";
    expected.detaillinkcontext = L"dlc";
    expected.appid = L"a";
    expected.plugin = L"p";
    expected.alertmarketdescription = L"am";
    expected.typedescription = L"td";
    expected.telemetry = L"tel";
    expected.timeout = 5;
    expected.width = 400;
    expected.status = 2;
    expected.detaillinktype = 1;
    expected.SuppressAlertByDefault = true;
    expected.legacy = true;
    expected.timeoutactions = {AlertMessage{L"m1", L"p1"}, AlertMessage{}};
    expected.dismissalactions = {AlertMessage{L"", L"p2"}};
    expected.options = {AlertOption{L"o", L"ot", true}};
    expected.actions = {AlertAction{L"a1", L"at", AlertMessage{L"dm", L"dp"}, true,
                                    {AlertActionOption{{L"o", L"x"}, AlertMessage{L"om", L""}},
                                     AlertActionOption{}}}};
    EXPECT_EQ(c, expected);
}

TEST(AlertContent, OnlyTitleIsRequired) {
    AlertContent c;
    EXPECT_TRUE(Drem::parseAlertContent(c, L"{\"title\":\"\"}"));
    EXPECT_EQ(c, AlertContent());
}

// Contexts whose reading fails, and what the record keeps.
struct FailCase {
    std::wstring text;
    std::size_t options;
    std::size_t actions;
};

class ContentFailure : public ::testing::TestWithParam<FailCase> {};

TEST_P(ContentFailure, KeepsWhatWasReadBefore) {
    AlertContent c;
    EXPECT_FALSE(Drem::parseAlertContent(c, GetParam().text));
    EXPECT_EQ(c.options.size(), GetParam().options);
    EXPECT_EQ(c.actions.size(), GetParam().actions);
}

INSTANTIATE_TEST_SUITE_P(
    Contexts, ContentFailure,
    ::testing::Values(
        FailCase{L"", 0, 0}, FailCase{L"{", 0, 0}, FailCase{L"[]", 0, 0}, FailCase{L"null", 0, 0},
        FailCase{L"{\"category\":\"c\"}", 0, 0}, FailCase{L"{\"title\":1}", 0, 0},
        FailCase{L"{\"title\":\"t\",\"options\":[{\"id\":\"1\",\"text\":\"a\",\"selected\":false},"
                 L"{\"id\":\"2\",\"text\":\"b\"}],\"actions\":[{\"id\":\"a\",\"text\":\"t\",\"defaultmessage\":{}}]}",
                 1, 0},
        FailCase{L"{\"title\":\"t\",\"options\":[{\"id\":\"1\",\"text\":\"a\",\"selected\":\"yes\"}]}", 0, 0},
        FailCase{L"{\"title\":\"t\",\"actions\":[{\"id\":\"a\",\"text\":\"t\",\"defaultmessage\":{}},"
                 L"{\"id\":\"b\",\"text\":\"u\",\"defaultmessage\":\"m\"}]}",
                 0, 1},
        FailCase{L"{\"title\":\"t\",\"actions\":[{\"text\":\"t\",\"defaultmessage\":{}}]}", 0, 0},
        FailCase{L"{\"title\":\"t\",\"actions\":[{\"id\":\"a\",\"defaultmessage\":{}}]}", 0, 0},
        FailCase{L"{\"title\":\"t\",\"actions\":[{\"id\":\"a\",\"text\":\"t\"}]}", 0, 0}));

TEST(AlertContent, NoTitleGivesAnEmptyRecord) {
    AlertContent c;
    EXPECT_FALSE(Drem::parseAlertContent(c, L"{\"defaultcontent\":\"d\",\"actions\":[{\"id\":\"a\",\"text\":"
                                            L"\"t\",\"defaultmessage\":{}}]}"));
    EXPECT_EQ(c, AlertContent());
}

TEST(AlertContent, ActionDefaultAndOptions) {
    AlertContent c;
    ASSERT_TRUE(Drem::parseAlertContent(
        c, L"{\"title\":\"t\",\"actions\":["
           L"{\"id\":\"a\",\"text\":\"x\",\"defaultmessage\":{}},"
           L"{\"id\":\"b\",\"text\":\"y\",\"defaultmessage\":{},\"default\":\"true\","
           L"\"options\":[{\"message\":\"not an object\",\"idList\":[\"k\"]},{\"idList\":[1]}]},"
           L"{\"id\":\"c\",\"text\":\"z\",\"defaultmessage\":{},\"default\":false,\"options\":{}}]}"));
    ASSERT_EQ(c.actions.size(), 3u);
    EXPECT_FALSE(c.actions[0].default_);
    EXPECT_FALSE(c.actions[1].default_);
    ASSERT_EQ(c.actions[1].options.size(), 2u);
    EXPECT_EQ(c.actions[1].options[0], (AlertActionOption{{L"k"}, AlertMessage{}}));
    EXPECT_EQ(c.actions[1].options[1], AlertActionOption{});
    EXPECT_TRUE(c.actions[2].options.empty());
}

TEST(AlertContent, WrongTypesAreIgnored) {
    AlertContent c;
    EXPECT_TRUE(Drem::parseAlertContent(
        c, L"{\"title\":\"t\",\"category\":1,\"width\":-1,\"timeout\":2.5,\"status\":\"3\",\"legacy\":1,"
           L"\"timeoutactions\":{},\"dismissalactions\":[{\"messagename\":\"m\"},2,{}],\"options\":\"x\","
           L"\"actions\":null}"));
    AlertContent expected;
    expected.title = L"t";
    expected.dismissalactions = {AlertMessage{L"m", L""}};  // what getObjectArray appended before the 2
    EXPECT_EQ(c, expected);
}

TEST(AlertContent, DeepOrMalformedTextDoesNotCrash) {
    std::wstring deep;
    for (int i = 0; i < 100000; ++i) deep += L"{\"title\":";
    for (const std::wstring& text : {deep, std::wstring(100000, L'['), std::wstring(L"{\"title\":\"\\udfff\"}")}) {
        AlertContent c;
        EXPECT_FALSE(Drem::parseAlertContent(c, text));
        EXPECT_EQ(c, AlertContent());
    }
}
