// The settings client against the settings manager double, over the bus
// neighbour running in this process.
#include "framework/settings/SettingsManagerClient.h"

#include "framework/message/ModuleStatus.h"
#include "framework/settings/SettingsProtocol.h"
#include "neighbours/MessageBus/MessageBusScript.h"
#include "neighbours/SettingsManager/SettingsManagerNeighbour.h"
#include "neighbours/SettingsManager/testing/InProcessBus.h"
#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <future>

using ETWLogging::testing::LogRecord;
using ETWLogging::testing::ScopedCapturingLogger;
using Neighbours::SettingsManagerNeighbour;
using Tessil::PropertyResults;
using Tessil::PropertyValues;
using Tessil::SettingsManagerClient;
namespace P = Tessil::SettingsProtocol;

namespace {

const std::uint64_t kTimeout = 5000;
const wchar_t kSource[] = L"SettingsManagerClient";

// One logged line as level, source, function and text.
std::wstring Line(ETWLogging::LogLevel level, const std::wstring& function, const std::wstring& text,
                  const std::wstring& file = kSource) {
    return std::to_wstring(level) + L" " + file + L" " + function + L": " + text;
}

std::vector<std::wstring> Lines(ScopedCapturingLogger& logger) {
    std::vector<std::wstring> out;
    for (const LogRecord& r : logger->Records()) {
        out.push_back(Line(r.level, r.function, r.text, r.file));
    }
    return out;
}

std::wstring Nested(std::size_t depth) {
    return L"{\"name\":" + std::wstring(depth, L'[') + std::wstring(depth, L']') + L"}";
}

class SettingsClient : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.ok());
        clientBus_ = bus_.openClient();
        neighbourBus_ = bus_.openClient();
        ASSERT_TRUE(clientBus_ && neighbourBus_);
        neighbour_ = std::make_unique<SettingsManagerNeighbour>(neighbourBus_);
        ASSERT_TRUE(neighbour_->start());
        client_ = std::make_unique<SettingsManagerClient>(clientBus_);
    }
    void TearDown() override {
        bus_.waitIdle();
        client_.reset();
        neighbour_.reset();
        clientBus_.reset();
        neighbourBus_.reset();
    }

    // The payload of the last request the double received.
    std::wstring lastRequest() {
        auto requests = neighbour_->requests();
        return requests.empty() ? std::wstring() : requests.back().payload;
    }

    // The only line logged, checked for level, source and function.
    void expectOnlyLine(ScopedCapturingLogger& logger, ETWLogging::LogLevel level,
                        const std::wstring& text, const std::wstring& function) {
        auto records = logger->Records();
        ASSERT_EQ(records.size(), 1u) << std::string(text.begin(), text.end());
        EXPECT_EQ(records[0].level, level);
        EXPECT_EQ(records[0].text, text);
        EXPECT_EQ(records[0].file, kSource);
        EXPECT_EQ(records[0].function, function);
    }

    BusTesting::InProcessBus bus_;
    std::shared_ptr<Tessil::MessageBusClient> clientBus_;
    std::shared_ptr<Tessil::MessageBusClient> neighbourBus_;
    std::unique_ptr<SettingsManagerNeighbour> neighbour_;
    std::unique_ptr<SettingsManagerClient> client_;
};

}  // namespace

TEST_F(SettingsClient, SingleOperationsSendTheirJsonAndReadTheReply) {
    ScopedCapturingLogger logger;
    EXPECT_TRUE(client_->setProperty(L"A", std::wstring(L"x\"y"), kTimeout));
    EXPECT_EQ(lastRequest(), L"{\"name\":\"A\",\"value\":\"x\\\"y\",\"volatile\":false}");
    EXPECT_EQ(neighbour_->stored(L"A"), L"x\"y");

    EXPECT_TRUE(client_->setVolatileProperty(L"B", std::wstring(L"v"), kTimeout));
    EXPECT_EQ(lastRequest(), L"{\"name\":\"B\",\"value\":\"v\",\"volatile\":true}");

    std::wstring value;
    EXPECT_TRUE(client_->getProperty(L"A", value, kTimeout));
    EXPECT_EQ(value, L"x\"y");
    EXPECT_EQ(lastRequest(), L"{\"name\":\"A\"}");

    EXPECT_TRUE(client_->removeProperty(L"A", kTimeout));
    EXPECT_EQ(lastRequest(), L"{\"name\":\"A\"}");
    EXPECT_FALSE(neighbour_->stored(L"A").has_value());
    auto requests = neighbour_->requests();
    std::vector<std::wstring> names;
    for (const auto& r : requests) {
        names.push_back(r.name);
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{P::kSetProperty, P::kSetProperty, P::kGetProperty,
                                                P::kRemoveProperty}));
    EXPECT_TRUE(logger->Records().empty());
}

TEST_F(SettingsClient, MissingPropertyAnswersFalseWithoutLogAndKeepsTheOutput) {
    ScopedCapturingLogger logger;
    std::wstring value = L"unchanged";
    EXPECT_FALSE(client_->getProperty(L"missing", value, kTimeout));
    EXPECT_EQ(value, L"unchanged");
    EXPECT_TRUE(logger->Records().empty());
}

TEST_F(SettingsClient, StatusFalseFailsEverySingleOperation) {
    neighbour_->store(L"A", L"1");
    neighbour_->setStatusFalse(true);
    ScopedCapturingLogger logger;
    EXPECT_FALSE(client_->setProperty(L"A", std::wstring(L"2"), kTimeout));
    expectOnlyLine(logger, 2, L"Settings Manager failed to set property value.",
                   L"Tessil::SettingsManagerClient::Impl::setProperty");
    logger->Clear();
    std::wstring value = L"unchanged";
    EXPECT_FALSE(client_->getProperty(L"A", value, kTimeout));
    EXPECT_EQ(value, L"unchanged");
    EXPECT_TRUE(logger->Records().empty());
    EXPECT_FALSE(client_->removeProperty(L"A", kTimeout));
    expectOnlyLine(logger, 2, L"Settings Manager failed to remove property.",
                   L"Tessil::SettingsManagerClient::removeProperty");
    EXPECT_EQ(neighbour_->stored(L"A"), L"1");
}

TEST_F(SettingsClient, StatusFalseFailsEveryListOperation) {
    neighbour_->store(L"A", L"1");
    neighbour_->store(L"V/1", L"x");
    neighbour_->setStatusFalse(true);
    struct Case {
        const char* operation;
        std::function<void()> run;        // checks what it answers
        std::vector<std::wstring> lines;  // every line logged, in any order
    };
    auto notSet = [](const wchar_t* name) {
        return Line(2, L"Tessil::SettingsManagerClient::Impl::setProperties",
                    std::wstring(L"Settings Manager failed to set property value. Property Name: ") + name);
    };
    auto notRemoved = [](const wchar_t* function, const wchar_t* name) {
        return Line(2, function,
                    std::wstring(L"Settings Manager failed to remove property. Property Name: ") + name);
    };
    const wchar_t* removeList = L"Tessil::SettingsManagerClient::removeProperties";
    const wchar_t* removePrefix = L"Tessil::SettingsManagerClient::removePropertiesByPrefix";
    auto expectUnchanged = [](const PropertyValues& values) {
        EXPECT_EQ(values, (PropertyValues{{L"keep", L"k"}}));
    };
    // Entries with status false are skipped: reads fill nothing and log nothing,
    // a prefix read still succeeds; every set and removal entry is logged.
    const Case cases[] = {
        {"getProperties",
         [&] {
             PropertyValues values{{L"keep", L"k"}};
             EXPECT_EQ(client_->getProperties({L"A", L"missing"}, values, kTimeout),
                       (PropertyResults{{L"A", false}, {L"missing", false}}));
             expectUnchanged(values);
         },
         {}},
        {"getPropertiesByPrefix(list)",
         [&] {
             PropertyValues values{{L"keep", L"k"}};
             EXPECT_TRUE(
                 client_->getPropertiesByPrefix(std::vector<std::wstring>{L"V/", L"A"}, values, kTimeout));
             expectUnchanged(values);
         },
         {}},
        {"getPropertiesByPrefix",
         [&] {
             PropertyValues values{{L"keep", L"k"}};
             EXPECT_TRUE(client_->getPropertiesByPrefix(L"V/", values, kTimeout));
             expectUnchanged(values);
         },
         {}},
        {"setProperties",
         [&] {
             EXPECT_EQ(client_->setProperties({{L"A", L"2"}, {L"B", L"3"}}, kTimeout),
                       (PropertyResults{{L"A", false}, {L"B", false}}));
         },
         {notSet(L"A"), notSet(L"B")}},
        {"setVolatileProperties",
         [&] {
             EXPECT_EQ(client_->setVolatileProperties({{L"A", L"2"}, {L"B", L"3"}}, kTimeout),
                       (PropertyResults{{L"A", false}, {L"B", false}}));
         },
         {notSet(L"A"), notSet(L"B")}},
        {"removeProperties",
         [&] {
             EXPECT_EQ(client_->removeProperties({L"A", L"missing"}, kTimeout),
                       (PropertyResults{{L"A", false}, {L"missing", false}}));
         },
         {notRemoved(removeList, L"A"), notRemoved(removeList, L"missing")}},
        {"removePropertiesByPrefix(list)",
         [&] {
             EXPECT_EQ(client_->removePropertiesByPrefix(std::vector<std::wstring>{L"V/", L"A"}, kTimeout),
                       (PropertyResults{{L"V/", false}, {L"A", false}}));
         },
         {notRemoved(removePrefix, L"V/1"), notRemoved(removePrefix, L"A")}},
        {"removePropertiesByPrefix",
         [&] { EXPECT_FALSE(client_->removePropertiesByPrefix(L"V/", kTimeout)); },
         {notRemoved(removePrefix, L"V/1")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.operation);
        ScopedCapturingLogger logger;
        c.run();
        std::vector<std::wstring> logged = Lines(logger);
        std::vector<std::wstring> expected = c.lines;
        std::sort(logged.begin(), logged.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(logged, expected);
    }
    EXPECT_EQ(neighbour_->all(), (std::map<std::wstring, std::wstring>{{L"A", L"1"}, {L"V/1", L"x"}}));
}

TEST_F(SettingsClient, ReplyNamingAnotherPropertyIsRefused) {
    neighbour_->store(L"A", L"1");
    neighbour_->setWrongReplyName(true);
    struct Case {
        std::function<bool()> operation;
    };
    std::wstring value = L"unchanged";
    const std::function<bool()> operations[] = {
        [&] { return client_->getProperty(L"A", value, kTimeout); },
        [&] { return client_->setProperty(L"A", std::wstring(L"2"), kTimeout); },
        [&] { return client_->removeProperty(L"A", kTimeout); },
    };
    for (const auto& operation : operations) {
        ScopedCapturingLogger logger;
        EXPECT_FALSE(operation());
        expectOnlyLine(logger, 2,
                       L"Response property name (Other.A) does not match expected property name (A).",
                       L"Tessil::SettingsManagerClient::Impl::verifyPropertyName");
    }
    EXPECT_EQ(value, L"unchanged");
}

TEST_F(SettingsClient, TypedSettersSendTheValueText) {
    struct Case {
        std::function<bool(SettingsManagerClient&)> set;
        const wchar_t* text;
        bool isVolatile;
    };
    const Case cases[] = {
        {[](auto& c) { return c.setProperty(L"P", 0.1, kTimeout); }, L"0.1", false},
        {[](auto& c) { return c.setProperty(L"P", 100.0, kTimeout); }, L"100", false},
        {[](auto& c) { return c.setProperty(L"P", 1e21, kTimeout); }, L"1e+21", false},
        {[](auto& c) { return c.setVolatileProperty(L"P", 0.1, kTimeout); }, L"0.100000", true},
        {[](auto& c) { return c.setProperty(L"P", 4294967295ul, kTimeout); }, L"4294967295", false},
        {[](auto& c) { return c.setProperty(L"P", UINT64_MAX, kTimeout); }, L"18446744073709551615", false},
        {[](auto& c) { return c.setVolatileProperty(L"P", 7u, kTimeout); }, L"7", true},
        {[](auto& c) { return c.setProperty(L"P", INT64_MIN, kTimeout); }, L"-9223372036854775808", false},
        {[](auto& c) { return c.setProperty(L"P", -5, kTimeout); }, L"-5", false},
        {[](auto& c) { return c.setProperty(L"P", true, kTimeout); }, L"1", false},
        {[](auto& c) { return c.setVolatileProperty(L"P", false, kTimeout); }, L"0", true},
        {[](auto& c) { return c.setProperty(L"P", L"wide", kTimeout); }, L"wide", false},
        {[](auto& c) { return c.setVolatileProperty(L"P", std::int64_t{-1}, kTimeout); }, L"-1", true},
        {[](auto& c) { return c.setVolatileProperty(L"P", 3ul, kTimeout); }, L"3", true},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(c.set(*client_)) << c.text;
        EXPECT_EQ(neighbour_->stored(L"P"), c.text);
        EXPECT_EQ(lastRequest(), std::wstring(L"{\"name\":\"P\",\"value\":\"") + c.text +
                                     L"\",\"volatile\":" + (c.isVolatile ? L"true" : L"false") + L"}");
    }
}

TEST_F(SettingsClient, TypedGettersConvertTheTextOrFail) {
    enum Type { Double, ULong, U64, UInt, I64, Int, Bool };
    struct Case {
        const wchar_t* text;
        Type type;
        bool ok;
        long double expected;
        const wchar_t* logged;  // null: no line
    };
    const wchar_t* invalid = L"Conversion failed due to invalid arguments.";
    const wchar_t* range = L"Conversion failed, out of range for destination type.";
    const Case cases[] = {
        {L"12abc", Int, true, 12, nullptr},
        {L" -7", Int, true, -7, nullptr},
        {L"abc", Int, false, 0, invalid},
        {L"", Int, false, 0, invalid},
        {L"2147483648", Int, false, 0, range},
        {L"-1", UInt, true, 4294967295.0L, nullptr},
        {L"-1", ULong, true, 4294967295.0L, nullptr},
        {L"4294967295", ULong, true, 4294967295.0L, nullptr},
        {L"4294967296", ULong, false, 0, range},
        {L"4294967296", UInt, false, 0, range},
        {L"18446744073709551615", U64, true, 18446744073709551615.0L, nullptr},
        {L"18446744073709551616", U64, false, 0, range},
        {L"-9223372036854775808", I64, true, -9223372036854775808.0L, nullptr},
        {L"9223372036854775808", I64, false, 0, range},
        {L"1e3", Double, true, 1000, nullptr},
        {L"0.5x", Double, true, 0.5, nullptr},
        {L"x0.5", Double, false, 0, invalid},
        {L"1", Bool, true, 1, nullptr},
        {L"0", Bool, true, 0, nullptr},
        {L"42", Bool, true, 1, nullptr},
        {L"true", Bool, false, 0, invalid},
    };
    for (const Case& c : cases) {
        neighbour_->store(L"P", c.text);
        ScopedCapturingLogger logger;
        bool ok = false;
        long double got = -123;
        switch (c.type) {
            case Double: { double v = -123; ok = client_->getProperty(L"P", v, kTimeout); got = v; break; }
            case ULong: { unsigned long v = 123; ok = client_->getProperty(L"P", v, kTimeout); got = ok ? static_cast<long double>(v) : -123.0L; break; }
            case U64: { std::uint64_t v = 123; ok = client_->getProperty(L"P", v, kTimeout); got = ok ? static_cast<long double>(v) : -123.0L; break; }
            case UInt: { unsigned int v = 123; ok = client_->getProperty(L"P", v, kTimeout); got = ok ? static_cast<long double>(v) : -123.0L; break; }
            case I64: { std::int64_t v = -123; ok = client_->getProperty(L"P", v, kTimeout); got = v; break; }
            case Int: { int v = -123; ok = client_->getProperty(L"P", v, kTimeout); got = v; break; }
            case Bool: { bool v = false; ok = client_->getProperty(L"P", v, kTimeout); got = ok ? (v ? 1 : 0) : -123; break; }
        }
        EXPECT_EQ(ok, c.ok) << c.text;
        EXPECT_EQ(got, c.ok ? c.expected : -123) << c.text << ": out written only on success";
        if (c.logged != nullptr) {
            expectOnlyLine(logger, 2, c.logged, L"Tessil::SettingsManagerClient::Impl::tryConvert");
        } else {
            EXPECT_TRUE(logger->Records().empty()) << c.text;
        }
    }
}

TEST_F(SettingsClient, MalformedSingleRepliesAreRefusedWithoutCrash) {
    struct Case {
        std::wstring reply;
        const wchar_t* logged;
        const wchar_t* function;
    };
    const wchar_t* parse = L"Failed to parse settings manager response message. Returning.";
    const wchar_t* response = L"Tessil::SettingsManagerClient::Impl::getSettingPropertyResponse";
    const wchar_t* value = L"Tessil::SettingsManagerClient::Impl::getPropertyValue";
    const Case cases[] = {
        {L"{", parse, response},
        {L"", parse, response},
        {L"[1,2]", parse, response},
        {L"\"A\"", parse, response},
        {L"{} x", parse, response},
        {Nested(100000), parse, response},
        {L"{\"name\":" + std::wstring(600, L'[') + std::wstring(600, L']') + L"}", parse, response},
        {L"{\"status\":true,\"value\":\"v\"}", L"Failed to read settings manager response property name.",
         L"Tessil::SettingsManagerClient::Impl::verifyPropertyName"},
        {L"{\"name\":5,\"status\":true,\"value\":\"v\"}",
         L"Failed to read settings manager response property name.",
         L"Tessil::SettingsManagerClient::Impl::verifyPropertyName"},
        {L"{\"name\":\"a\",\"status\":true,\"value\":\"v\"}",
         L"Response property name (a) does not match expected property name (A).",
         L"Tessil::SettingsManagerClient::Impl::verifyPropertyName"},
        {L"{\"name\":\"A\",\"status\":\"true\",\"value\":\"v\"}",
         L"Failed to read settings manager response status.", value},
        {L"{\"name\":\"A\",\"status\":1,\"value\":\"v\"}",
         L"Failed to read settings manager response status.", value},
        {L"{\"name\":\"A\",\"status\":true,\"value\":5}", L"Failed to read settings manager response value.",
         value},
        {L"{\"name\":\"A\",\"status\":true}", L"Failed to read settings manager response value.", value},
        {L"{\"name\":\"A\",\"status\":true,\"value\":{\"nested\":\"v\"}}",
         L"Failed to read settings manager response value.", value},
    };
    for (const Case& c : cases) {
        neighbour_->setRawReply(P::kGetProperty, c.reply);
        ScopedCapturingLogger logger;
        std::wstring out = L"unchanged";
        EXPECT_FALSE(client_->getProperty(L"A", out, kTimeout)) << c.reply.substr(0, 40).c_str();
        EXPECT_EQ(out, L"unchanged");
        expectOnlyLine(logger, 2, c.logged, c.function);
    }
    // A reply with escapes and surrogates is read exactly.
    neighbour_->setRawReply(P::kGetProperty,
                            L"{\"name\":\"A\",\"status\":true,\"value\":\"\\u00e9\\ud83d\\ude00\\n\\\"\",\"x\":1}");
    std::wstring out;
    EXPECT_TRUE(client_->getProperty(L"A", out, kTimeout));
    EXPECT_EQ(out, L"\xE9\xD83D\xDE00\n\"");
}

TEST_F(SettingsClient, SetAndRemoveReadTheirReplyStatus) {
    struct Case {
        const std::wstring* request;
        std::wstring reply;
        const wchar_t* logged;
        const wchar_t* function;
    };
    const Case cases[] = {
        {&P::kSetProperty, L"{\"name\":\"A\"}", L"Failed to read settings manager response status.",
         L"Tessil::SettingsManagerClient::Impl::setProperty"},
        {&P::kSetProperty, L"{\"name\":\"A\",\"status\":\"false\"}",
         L"Failed to read settings manager response status.",
         L"Tessil::SettingsManagerClient::Impl::setProperty"},
        {&P::kSetProperty, L"[]", L"Failed to parse settings manager response message. Returning.",
         L"Tessil::SettingsManagerClient::Impl::getSettingPropertyResponse"},
        {&P::kRemoveProperty, L"{\"name\":\"A\",\"status\":null}",
         L"Failed to read settings manager response status.",
         L"Tessil::SettingsManagerClient::removeProperty"},
        {&P::kRemoveProperty, L"{\"name\":\"A\",\"status\":false}",
         L"Settings Manager failed to remove property.",
         L"Tessil::SettingsManagerClient::removeProperty"},
    };
    for (const Case& c : cases) {
        neighbour_->setRawReply(*c.request, c.reply);
        ScopedCapturingLogger logger;
        EXPECT_FALSE(*c.request == P::kSetProperty ? client_->setProperty(L"A", std::wstring(L"v"), kTimeout)
                                                   : client_->removeProperty(L"A", kTimeout));
        expectOnlyLine(logger, 2, c.logged, c.function);
        neighbour_->setRawReply(*c.request, std::nullopt);
    }
}

TEST_F(SettingsClient, UnansweredRequestsTimeOut) {
    neighbour_->store(L"A", L"1");
    neighbour_->store(L"V/1", L"x");
    neighbour_->setNoAnswer(true);
    struct Case {
        const char* operation;
        const std::wstring* request;      // the one request it makes
        std::function<void()> run;        // checks what it answers
        std::vector<std::wstring> lines;  // every line logged, in order
    };
    const std::wstring singleTimedOut =
        Line(2, L"Tessil::SettingsManagerClient::Impl::getSettingPropertyResponse",
             L"Property request timed out. Returning.");
    const std::wstring listTimedOut =
        Line(2, L"Tessil::SettingsManagerClient::Impl::getSettingPropertyResponseList",
             L"Property list request timed out. Returning.");
    const std::wstring setListFailed = Line(4, L"Tessil::SettingsManagerClient::Impl::setProperties",
                                            L"Failed to set properties. Unable to make request.");
    auto removeListFailed = [](const wchar_t* function) {
        return Line(2, function,
                    L"Failed to parse remove properties response. Error code: MODULE_STATUS_SUCCESS(0)");
    };
    const std::wstring removeFailed = removeListFailed(L"Tessil::SettingsManagerClient::removeProperties");
    const std::wstring removePrefixFailed =
        removeListFailed(L"Tessil::SettingsManagerClient::removePropertiesByPrefix");
    const PropertyResults noneDone{{L"A", false}, {L"B", false}};
    auto expectUnchanged = [](const PropertyValues& values) {
        EXPECT_EQ(values, (PropertyValues{{L"keep", L"k"}}));
    };
    const Case cases[] = {
        {"getProperty", &P::kGetProperty,
         [&] {
             std::wstring value = L"unchanged";
             EXPECT_FALSE(client_->getProperty(L"A", value, 0));
             EXPECT_EQ(value, L"unchanged");
         },
         {singleTimedOut}},
        {"getProperty(int)", &P::kGetProperty,
         [&] {
             int value = -123;
             EXPECT_FALSE(client_->getProperty(L"A", value, 0));
             EXPECT_EQ(value, -123);
         },
         {singleTimedOut}},
        {"getProperties", &P::kGetProperties,
         [&] {
             PropertyValues values{{L"keep", L"k"}};
             EXPECT_EQ(client_->getProperties({L"A", L"B"}, values, 0), noneDone);
             expectUnchanged(values);
         },
         {listTimedOut}},
        {"getPropertiesByPrefix(list)", &P::kGetProperties,
         [&] {
             PropertyValues values{{L"keep", L"k"}};
             EXPECT_FALSE(client_->getPropertiesByPrefix(std::vector<std::wstring>{L"V/", L"A"}, values, 0));
             expectUnchanged(values);
         },
         {listTimedOut}},
        {"getPropertiesByPrefix", &P::kGetProperties,
         [&] {
             PropertyValues values{{L"keep", L"k"}};
             EXPECT_FALSE(client_->getPropertiesByPrefix(L"V/", values, 0));
             expectUnchanged(values);
         },
         {listTimedOut}},
        {"setProperty", &P::kSetProperty,
         [&] { EXPECT_FALSE(client_->setProperty(L"A", std::wstring(L"2"), 0)); }, {singleTimedOut}},
        {"setProperty(int)", &P::kSetProperty, [&] { EXPECT_FALSE(client_->setProperty(L"A", 2, 0)); },
         {singleTimedOut}},
        {"setVolatileProperty", &P::kSetProperty,
         [&] { EXPECT_FALSE(client_->setVolatileProperty(L"A", std::wstring(L"2"), 0)); }, {singleTimedOut}},
        {"setVolatileProperty(bool)", &P::kSetProperty,
         [&] { EXPECT_FALSE(client_->setVolatileProperty(L"A", true, 0)); }, {singleTimedOut}},
        {"setProperties", &P::kSetProperties,
         [&] { EXPECT_EQ(client_->setProperties({{L"A", L"2"}, {L"B", L"3"}}, 0), noneDone); },
         {listTimedOut, setListFailed}},
        {"setVolatileProperties", &P::kSetProperties,
         [&] { EXPECT_EQ(client_->setVolatileProperties({{L"A", L"2"}, {L"B", L"3"}}, 0), noneDone); },
         {listTimedOut, setListFailed}},
        {"removeProperty", &P::kRemoveProperty, [&] { EXPECT_FALSE(client_->removeProperty(L"A", 0)); },
         {singleTimedOut}},
        {"removeProperties", &P::kRemoveProperties,
         [&] { EXPECT_EQ(client_->removeProperties({L"A", L"B"}, 0), noneDone); },
         {listTimedOut, removeFailed}},
        {"removePropertiesByPrefix(list)", &P::kRemoveProperties,
         [&] {
             EXPECT_EQ(client_->removePropertiesByPrefix(std::vector<std::wstring>{L"A", L"B"}, 0), noneDone);
         },
         {listTimedOut, removePrefixFailed}},
        {"removePropertiesByPrefix", &P::kRemoveProperties,
         [&] { EXPECT_FALSE(client_->removePropertiesByPrefix(L"V/", 0)); },
         {listTimedOut, removePrefixFailed}},
    };
    std::vector<std::wstring> expectedRequests;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.operation);
        ScopedCapturingLogger logger;
        c.run();
        EXPECT_EQ(Lines(logger), c.lines);
        expectedRequests.push_back(*c.request);
    }
    // Each operation made its one request, and the unanswered double changed nothing.
    ASSERT_TRUE(neighbour_->waitForRequests(expectedRequests.size(), 10000));
    std::vector<std::wstring> received;
    for (const auto& r : neighbour_->requests()) {
        received.push_back(r.name);
    }
    EXPECT_EQ(received, expectedRequests);
    EXPECT_EQ(neighbour_->all(), (std::map<std::wstring, std::wstring>{{L"A", L"1"}, {L"V/1", L"x"}}));
}

TEST_F(SettingsClient, RequestsTheBusRefusesAreLoggedWithTheirStatus) {
    auto failNth = bus_.script<VtBusScript_FailNthRequest_t>("VtBusScript_FailNthRequest");
    ASSERT_NE(failNth, nullptr);
    struct Case {
        std::function<bool()> operation;
        const wchar_t* text;
        const wchar_t* function;
    };
    PropertyValues values;
    std::wstring text;
    const Case cases[] = {
        {[&] { return client_->getProperty(L"A", text, kTimeout); },
         L"Failed to make get property request. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650)",
         L"Tessil::SettingsManagerClient::getProperty"},
        {[&] { return client_->getProperties({L"A"}, values, kTimeout).at(L"A"); },
         L"Failed to make get properties request. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650)",
         L"Tessil::SettingsManagerClient::getProperties"},
        {[&] { return client_->getPropertiesByPrefix(L"A", values, kTimeout); },
         L"Failed to make get properties request. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650)",
         L"Tessil::SettingsManagerClient::getPropertiesByPrefix"},
        {[&] { return client_->setVolatileProperty(L"A", 1, kTimeout); },
         L"Failed to make set property request. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650)",
         L"Tessil::SettingsManagerClient::Impl::setProperty"},
        {[&] { return client_->removeProperty(L"A", kTimeout); },
         L"Failed to make remove property request. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650)",
         L"Tessil::SettingsManagerClient::removeProperty"},
        {[&] { return client_->removeProperties({L"A"}, kTimeout).at(L"A"); },
         L"Failed to make remove properties request. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650)",
         L"Tessil::SettingsManagerClient::removeProperties"},
        {[&] { return client_->removePropertiesByPrefix(L"A", kTimeout); },
         L"Failed to make remove properties by prefix request. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650)",
         L"Tessil::SettingsManagerClient::removePropertiesByPrefix"},
    };
    for (const Case& c : cases) {
        failNth(1, MODULE_STATUS_UNSUCCESSFUL);
        ScopedCapturingLogger logger;
        EXPECT_FALSE(c.operation()) << c.function;
        EXPECT_EQ(logger->Count(2, c.text), 1u) << c.function;
        bool named = false;
        for (const LogRecord& r : logger->Records()) {
            named = named || (r.text == c.text && r.function == c.function && r.file == kSource);
        }
        EXPECT_TRUE(named) << c.function;
    }
    failNth(1, MODULE_STATUS_UNSUCCESSFUL);
    ScopedCapturingLogger logger;
    EXPECT_EQ(client_->setProperties({{L"A", L"1"}}, kTimeout), (PropertyResults{{L"A", false}}));
    EXPECT_TRUE(logger->Contains(
        2, L"Failed to make set properties request. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650)"));
    EXPECT_TRUE(logger->Contains(4, L"Failed to set properties. Unable to make request."));
}

TEST_F(SettingsClient, GetPropertiesAsksInOrderAndFillsOnlyWhatCame) {
    neighbour_->store(L"A", L"1");
    neighbour_->store(L"C", L"3");
    PropertyValues values{{L"keep", L"k"}, {L"A", L"old"}};
    ScopedCapturingLogger logger;
    PropertyResults results = client_->getProperties({L"A", L"B", L"A", L"C"}, values, kTimeout);
    EXPECT_EQ(lastRequest(),
              L"{\"properties\":[{\"name\":\"A\"},{\"name\":\"B\"},{\"name\":\"A\"},{\"name\":\"C\"}]}");
    EXPECT_EQ(results, (PropertyResults{{L"A", true}, {L"B", false}, {L"C", true}}));
    EXPECT_EQ(values, (PropertyValues{{L"keep", L"k"}, {L"A", L"1"}, {L"C", L"3"}}));
    EXPECT_TRUE(logger->Records().empty());

    values.clear();
    EXPECT_TRUE(client_->getProperties({}, values, kTimeout).empty());
    EXPECT_EQ(lastRequest(), L"{}");
}

TEST_F(SettingsClient, ListRepliesWithBadEntriesKeepTheGoodOnes) {
    neighbour_->setRawReply(
        P::kGetProperties,
        L"{\"responses\":[{\"status\":true,\"value\":\"x\"},{\"name\":\"Z\",\"status\":true,\"value\":\"z\"},"
        L"{\"name\":\"B\",\"status\":false,\"value\":\"b\"},{\"name\":\"C\",\"value\":\"c\"},"
        L"{\"name\":\"D\",\"status\":true,\"value\":7},{\"name\":\"A\",\"status\":true,\"value\":\"a\"}]}");
    ScopedCapturingLogger logger;
    PropertyValues values;
    PropertyResults results = client_->getProperties({L"A", L"B", L"C", L"D"}, values, kTimeout);
    EXPECT_EQ(results, (PropertyResults{{L"A", true}, {L"B", false}, {L"C", false}, {L"D", false}}));
    EXPECT_EQ(values, (PropertyValues{{L"A", L"a"}}));
    EXPECT_EQ(logger->Count(2, L"Failed to read settings property response name."), 1u);
    EXPECT_EQ(logger->Count(2, L"Received an unexpected setting property. Name: Z."), 1u);
    EXPECT_EQ(logger->Count(2, L"Failed to read settings manager response status."), 1u);
    EXPECT_EQ(logger->Count(2, L"Failed to read settings manager response value."), 1u);
    EXPECT_EQ(logger->Records().size(), 4u);
}

TEST_F(SettingsClient, MalformedListRepliesAreRefusedWithoutCrash) {
    struct Case {
        std::wstring reply;
        bool prefixAnswer;  // what getPropertiesByPrefix answers
        const wchar_t* logged;
    };
    const Case cases[] = {
        {L"{", false, L"Failed to parse settings manager response message. Returning."},
        {L"[{\"name\":\"A\"}]", false, L"Failed to parse settings manager response message. Returning."},
        {L"{\"responses\":" + std::wstring(100000, L'[') + L"}", false,
         L"Failed to parse settings manager response message. Returning."},
        {L"{\"responses\":5}", false, nullptr},
        {L"{\"responses\":[{\"name\":\"A\",\"status\":true,\"value\":\"a\"},3]}", false, nullptr},
        {L"{}", true, nullptr},
        {L"{\"responses\":[]}", true, nullptr},
    };
    for (const Case& c : cases) {
        neighbour_->setRawReply(P::kGetProperties, c.reply);
        ScopedCapturingLogger logger;
        PropertyValues values;
        EXPECT_EQ(client_->getPropertiesByPrefix(L"A", values, kTimeout), c.prefixAnswer)
            << c.reply.substr(0, 40).c_str();
        EXPECT_TRUE(values.empty());
        EXPECT_EQ(client_->getProperties({L"A"}, values, kTimeout), (PropertyResults{{L"A", false}}));
        EXPECT_TRUE(values.empty());
        if (c.logged != nullptr) {
            EXPECT_EQ(logger->Count(2, c.logged), 2u);
        } else {
            EXPECT_TRUE(logger->Records().empty());
        }
    }
}

TEST_F(SettingsClient, PrefixReadsTakeEveryNameTheManagerGives) {
    neighbour_->store(L"Vantrel/Viewer/1", L"one");
    neighbour_->store(L"Vantrel/Viewer/2", L"two");
    neighbour_->store(L"Vantrel/Product/1", L"p");
    PropertyValues values;
    EXPECT_TRUE(client_->getPropertiesByPrefix(std::vector<std::wstring>{L"Vantrel/Viewer", L"Nothing"}, values, kTimeout));
    EXPECT_EQ(lastRequest(), L"{\"properties\":[{\"name\":\"Vantrel/Viewer\",\"isPrefix\":true},"
                             L"{\"name\":\"Nothing\",\"isPrefix\":true}]}");
    EXPECT_EQ(values, (PropertyValues{{L"Vantrel/Viewer/1", L"one"}, {L"Vantrel/Viewer/2", L"two"}}));

    neighbour_->setRawReply(P::kGetProperties,
                            L"{\"responses\":[{\"value\":\"x\"},{\"name\":\"Elsewhere\",\"status\":true,\"value\":\"e\"}]}");
    ScopedCapturingLogger logger;
    EXPECT_TRUE(client_->getPropertiesByPrefix(L"Vantrel/Viewer", values, kTimeout));
    EXPECT_EQ(values.at(L"Elsewhere"), L"e");
    expectOnlyLine(logger, 2, L"Failed to read settings property response name. Skipping",
                   L"Tessil::SettingsManagerClient::getPropertiesByPrefix");
}

TEST_F(SettingsClient, SetPropertiesSendsEveryEntryAndReadsEachStatus) {
    PropertyValues wanted{{L"A", L"1"}, {L"B", L"2"}};
    EXPECT_EQ(client_->setVolatileProperties(wanted, kTimeout), (PropertyResults{{L"A", true}, {L"B", true}}));
    EXPECT_EQ(neighbour_->all(), (std::map<std::wstring, std::wstring>{{L"A", L"1"}, {L"B", L"2"}}));
    const std::wstring request = lastRequest();
    EXPECT_NE(request.find(L"{\"name\":\"A\",\"value\":\"1\",\"volatile\":true}"), std::wstring::npos);
    EXPECT_NE(request.find(L"{\"name\":\"B\",\"value\":\"2\",\"volatile\":true}"), std::wstring::npos);
    EXPECT_EQ(request.rfind(L"{\"properties\":[", 0), 0u);

    EXPECT_EQ(client_->setProperties({{L"C", L"3"}}, kTimeout), (PropertyResults{{L"C", true}}));
    EXPECT_EQ(lastRequest(), L"{\"properties\":[{\"name\":\"C\",\"value\":\"3\",\"volatile\":false}]}");

    neighbour_->setRawReply(
        P::kSetProperties,
        L"{\"responses\":[{\"status\":true},{\"name\":\"Z\",\"status\":true},{\"name\":\"A\"},"
        L"{\"name\":\"B\",\"status\":false},{\"name\":\"C\",\"status\":true}]}");
    ScopedCapturingLogger logger;
    EXPECT_EQ(client_->setProperties({{L"A", L"1"}, {L"B", L"2"}, {L"C", L"3"}, {L"D", L"4"}}, kTimeout),
              (PropertyResults{{L"A", false}, {L"B", false}, {L"C", true}, {L"D", false}}));
    const wchar_t* function = L"Tessil::SettingsManagerClient::Impl::setProperties";
    std::vector<std::wstring> texts;
    for (const LogRecord& r : logger->Records()) {
        EXPECT_EQ(r.function, function);
        EXPECT_EQ(r.level, 2u);
        texts.push_back(r.text);
    }
    EXPECT_EQ(texts, (std::vector<std::wstring>{
                         L"Failed to read settings property response name.",
                         L"Received unexpected setting property response. Name: Z.",
                         L"Failed to read settings manager response status. Property Name: A",
                         L"Settings Manager failed to set property value. Property Name: B"}));

    neighbour_->setRawReply(P::kSetProperties, L"{\"responses\":{}}");
    logger->Clear();
    EXPECT_EQ(client_->setProperties({{L"A", L"1"}}, kTimeout), (PropertyResults{{L"A", false}}));
    expectOnlyLine(logger, 4, L"Failed to set properties. Unable to parse responses.", function);

    neighbour_->setRawReply(P::kSetProperties, std::nullopt);
    EXPECT_TRUE(client_->setProperties({}, kTimeout).empty());
    EXPECT_EQ(lastRequest(), L"{}");
}

TEST_F(SettingsClient, RemovePropertiesByNameAndByPrefix) {
    for (const wchar_t* name : {L"A", L"B", L"V/1", L"V/2", L"V"}) {
        neighbour_->store(name, L"x");
    }
    EXPECT_EQ(client_->removeProperties({L"A", L"missing"}, kTimeout),
              (PropertyResults{{L"A", true}, {L"missing", false}}));
    EXPECT_EQ(lastRequest(), L"{\"properties\":[{\"name\":\"A\"},{\"name\":\"missing\"}]}");

    EXPECT_EQ(client_->removePropertiesByPrefix(std::vector<std::wstring>{L"V/"}, kTimeout),
              (PropertyResults{{L"V/", false}, {L"V/1", true}, {L"V/2", true}}));
    EXPECT_EQ(lastRequest(), L"{\"properties\":[{\"name\":\"V/\",\"isPrefix\":true}]}");

    neighbour_->store(L"V/3", L"x");
    // True only when a response names the prefix itself.
    EXPECT_TRUE(client_->removePropertiesByPrefix(L"V", kTimeout));
    neighbour_->store(L"W/1", L"x");
    EXPECT_FALSE(client_->removePropertiesByPrefix(L"W", kTimeout));
    EXPECT_EQ(neighbour_->all(), (std::map<std::wstring, std::wstring>{{L"B", L"x"}}));

    neighbour_->setRawReply(
        P::kRemoveProperties,
        L"{\"responses\":[{\"status\":true},{\"name\":\"Z\",\"status\":true},{\"name\":\"A\",\"status\":7},"
        L"{\"name\":\"B\",\"status\":false}]}");
    ScopedCapturingLogger logger;
    EXPECT_EQ(client_->removeProperties({L"A", L"B"}, kTimeout), (PropertyResults{{L"A", false}, {L"B", false}}));
    std::vector<std::wstring> texts;
    for (const LogRecord& r : logger->Records()) {
        EXPECT_EQ(r.function, L"Tessil::SettingsManagerClient::removeProperties");
        texts.push_back(r.text);
    }
    EXPECT_EQ(texts, (std::vector<std::wstring>{
                         L"Failed to read settings property response name.",
                         L"Received unexpected setting property. Name: Z.",
                         L"Failed to read settings manager response status. Property Name: A",
                         L"Settings Manager failed to remove property. Property Name: B"}));
    logger->Clear();
    // By prefix, response names are taken whatever they are.
    EXPECT_EQ(client_->removePropertiesByPrefix(std::vector<std::wstring>{L"A"}, kTimeout),
              (PropertyResults{{L"A", false}, {L"Z", true}}));

    neighbour_->setRawReply(P::kRemoveProperties, L"{\"responses\":[7]}");
    logger->Clear();
    EXPECT_EQ(client_->removeProperties({L"A"}, kTimeout), (PropertyResults{{L"A", false}}));
    expectOnlyLine(logger, 4, L"Failed to parse statuses from remove properties response.",
                   L"Tessil::SettingsManagerClient::removeProperties");
}

TEST_F(SettingsClient, NotificationsByNameReachTheirCallbacks) {
    std::vector<std::wstring> setA, setAny, removedA, removedAny;
    std::mutex mutex;
    auto into = [&](std::vector<std::wstring>& list) {
        return [&](const std::wstring& name) {
            std::lock_guard<std::mutex> lock(mutex);
            list.push_back(name);
        };
    };
    ASSERT_TRUE(client_->subscribePropertySet(into(setA), L"A"));
    ASSERT_TRUE(client_->subscribePropertySet(into(setAny)));
    ASSERT_TRUE(client_->subscribePropertyRemoved(into(removedA), L"A"));
    ASSERT_TRUE(client_->subscribePropertyRemoved(into(removedAny)));
    ASSERT_TRUE(client_->setProperty(L"A", 1, kTimeout));
    ASSERT_TRUE(client_->setProperty(L"a", 2, kTimeout));
    ASSERT_TRUE(client_->removeProperty(L"a", kTimeout));
    ASSERT_TRUE(client_->removeProperty(L"A", kTimeout));
    ASSERT_TRUE(bus_.waitIdle());
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(setA, (std::vector<std::wstring>{L"A"}));
    EXPECT_EQ(setAny, (std::vector<std::wstring>{L"A", L"a"}));
    EXPECT_EQ(removedA, (std::vector<std::wstring>{L"A"}));
    EXPECT_EQ(removedAny, (std::vector<std::wstring>{L"a", L"A"}));
}

TEST_F(SettingsClient, PrefixNotificationsFollowSubscribeAndUnsubscribe) {
    std::vector<std::pair<std::wstring, std::wstring>> sets;
    std::vector<std::wstring> deletes;
    std::mutex mutex;
    ASSERT_TRUE(client_->subscribeSetByPrefix(
        [&](const std::wstring& name, const std::wstring& value) {
            std::lock_guard<std::mutex> lock(mutex);
            sets.emplace_back(name, value);
        },
        L"Vantrel/Viewer"));
    ASSERT_TRUE(client_->subscribeDeleteByPrefix(
        [&](const std::wstring& name) {
            std::lock_guard<std::mutex> lock(mutex);
            deletes.push_back(name);
        },
        L"Vantrel/Viewer"));
    ASSERT_TRUE(client_->setProperty(L"Vantrel/Viewer", std::wstring(L"root"), kTimeout));
    ASSERT_TRUE(client_->setProperty(L"Vantrel/Viewer/7", std::wstring(L"seven"), kTimeout));
    ASSERT_TRUE(client_->setProperty(L"Vantrel/Product/1", std::wstring(L"no"), kTimeout));
    ASSERT_TRUE(client_->removeProperty(L"Vantrel/Viewer/7", kTimeout));
    ASSERT_TRUE(client_->removeProperty(L"Vantrel/Product/1", kTimeout));
    ASSERT_TRUE(bus_.waitIdle());
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(sets, (std::vector<std::pair<std::wstring, std::wstring>>{
                            {L"Vantrel/Viewer", L"root"}, {L"Vantrel/Viewer/7", L"seven"}}));
        EXPECT_EQ(deletes, (std::vector<std::wstring>{L"Vantrel/Viewer/7"}));
    }
    EXPECT_TRUE(client_->unsubscribeSetByPrefix(L"Vantrel/Viewer"));
    EXPECT_TRUE(client_->unsubscribeDeleteByPrefix(L"Vantrel/Viewer"));
    ASSERT_TRUE(client_->setProperty(L"Vantrel/Viewer/8", std::wstring(L"eight"), kTimeout));
    ASSERT_TRUE(client_->removeProperty(L"Vantrel/Viewer/8", kTimeout));
    ASSERT_TRUE(bus_.waitIdle());
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(sets.size(), 2u);
    EXPECT_EQ(deletes.size(), 1u);
}

TEST_F(SettingsClient, EmptyPrefixSubscribesNothing) {
    auto count = bus_.script<VtBusScript_JournalCount_t>("VtBusScript_JournalCount");
    ASSERT_NE(count, nullptr);
    const std::uint32_t before = count();
    bool called = false;
    EXPECT_TRUE(client_->subscribeSetByPrefix([&](const std::wstring&, const std::wstring&) { called = true; }, L""));
    EXPECT_TRUE(client_->subscribeDeleteByPrefix([&](const std::wstring&) { called = true; }, L""));
    EXPECT_TRUE(client_->unsubscribeSetByPrefix(L""));
    EXPECT_TRUE(client_->unsubscribeDeleteByPrefix(L""));
    EXPECT_EQ(count(), before);
    ASSERT_TRUE(client_->setProperty(L"A", 1, kTimeout));
    ASSERT_TRUE(bus_.waitIdle());
    EXPECT_FALSE(called);
}

TEST_F(SettingsClient, BadNotificationsAreRefusedAndNeverReachTheCallback) {
    std::vector<std::wstring> calls;
    std::mutex mutex;
    auto record = [&](const std::wstring& name) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(name);
    };
    ASSERT_TRUE(client_->subscribeSetByPrefix([&](const std::wstring& n, const std::wstring&) { record(n); }, L"X"));
    ASSERT_TRUE(client_->subscribeDeleteByPrefix(record, L"X"));
    ASSERT_TRUE(client_->subscribePropertySet(record));
    const std::wstring payloads[] = {
        L"{\"name\":\"X1\",\"value\":5}", L"{\"name\":7,\"value\":\"v\"}", L"{\"value\":\"v\"}", L"{",
        L"[\"X1\"]", L"", Nested(100000), L"{\"name\":\"X1\",\"value\":" + std::wstring(100000, L'[')};
    for (const std::wstring& payload : payloads) {
        ASSERT_EQ(neighbour_->publish(P::kNotifySetPrefix + L"X1", payload), 0u);
        if (payload.find(L"\"value\":5") == std::wstring::npos) {
            ASSERT_EQ(neighbour_->publish(P::kNotifyDeletePrefix + L"X1", payload), 0u);
            ASSERT_EQ(neighbour_->publish(P::kPropertySet, payload), 0u);
        }
    }
    ASSERT_TRUE(bus_.waitIdle());
    std::lock_guard<std::mutex> lock(mutex);
    // Only the delete and by-name handlers accept a name without a string value.
    EXPECT_EQ(calls, (std::vector<std::wstring>{}));
}

TEST(SettingsNotifyHandlers, AnswerDataErrorForBadPayloadsAndSkipEmptyCallbacks) {
    struct Case {
        std::wstring payload;
        std::uint32_t set, del, byName;
        const wchar_t* setLog;  // what the set handler logs
    };
    const wchar_t* parse = L"Failed to parse setting property data.";
    const wchar_t* name = L"Failed to read setting property name.";
    const Case cases[] = {
        {L"{\"name\":\"N\",\"value\":\"V\"}", 0, 0, 0, nullptr},
        {L"{\"name\":\"N\",\"value\":5}", MODULE_STATUS_DATA_ERROR, 0, 0, L"Failed to read setting value."},
        {L"{\"name\":\"N\"}", MODULE_STATUS_DATA_ERROR, 0, 0, L"Failed to read setting value."},
        {L"{\"name\":null,\"value\":\"V\"}", MODULE_STATUS_DATA_ERROR, MODULE_STATUS_DATA_ERROR,
         MODULE_STATUS_DATA_ERROR, name},
        {L"{", MODULE_STATUS_DATA_ERROR, MODULE_STATUS_DATA_ERROR, MODULE_STATUS_DATA_ERROR, parse},
        {L"\"N\"", MODULE_STATUS_DATA_ERROR, MODULE_STATUS_DATA_ERROR, MODULE_STATUS_DATA_ERROR, parse},
        {Nested(100000), MODULE_STATUS_DATA_ERROR, MODULE_STATUS_DATA_ERROR, MODULE_STATUS_DATA_ERROR, parse},
    };
    for (const Case& c : cases) {
        auto message = Tessil::Message::create(L"n", L"s", c.payload);
        ASSERT_TRUE(message);
        int calls = 0;
        ScopedCapturingLogger logger;
        EXPECT_EQ(SettingsManagerClient::onPropertyNotifySet(
                      message, [&](const std::wstring& n, const std::wstring& v) {
                          ++calls;
                          EXPECT_EQ(n, L"N");
                          EXPECT_EQ(v, L"V");
                      }),
                  c.set);
        if (c.setLog != nullptr) {
            ASSERT_EQ(logger->Records().size(), 1u);
            EXPECT_EQ(logger->Records()[0].text, c.setLog);
            EXPECT_EQ(logger->Records()[0].function, L"Tessil::SettingsManagerClient::onPropertyNotifySet");
        }
        EXPECT_EQ(SettingsManagerClient::onPropertyNotifyDelete(message, [&](const std::wstring&) { ++calls; }),
                  c.del);
        EXPECT_EQ(SettingsManagerClient::onPropertyNotify(
                      message, [&](const std::wstring&) { ++calls; },
                      [](const std::wstring& n) { return n == L"N"; }),
                  c.byName);
        EXPECT_EQ(calls, (c.set == 0) + (c.del == 0) + (c.byName == 0));
        // An empty callback is never given the message.
        EXPECT_EQ(SettingsManagerClient::onPropertyNotifySet(message, {}), 0u);
        EXPECT_EQ(SettingsManagerClient::onPropertyNotifyDelete(message, {}), 0u);
        EXPECT_EQ(SettingsManagerClient::onPropertyNotify(message, {}, {}), 0u);
    }
    // The filter decides whether a well-formed notification is passed on.
    auto message = Tessil::Message::create(L"n", L"s", L"{\"name\":\"other\"}");
    int calls = 0;
    EXPECT_EQ(SettingsManagerClient::onPropertyNotify(message, [&](const std::wstring&) { ++calls; },
                                                      [](const std::wstring& n) { return n == L"N"; }),
              0u);
    EXPECT_EQ(calls, 0);
}

TEST_F(SettingsClient, GetInstanceConnectsThroughTheBusLibraryOrAnswersEmpty) {
    neighbour_->store(L"A", L"1");
    {
        std::unique_ptr<Tessil::SettingsManager> own = SettingsManagerClient::getInstance();
        ASSERT_NE(own, nullptr);
        std::wstring value;
        EXPECT_TRUE(own->getProperty(L"A", value, kTimeout));
        EXPECT_EQ(value, L"1");
    }
    auto openFailure = bus_.script<VtBusScript_SetOpenFailure_t>("VtBusScript_SetOpenFailure");
    ASSERT_NE(openFailure, nullptr);
    openFailure(MODULE_STATUS_UNSUCCESSFUL);
    ScopedCapturingLogger logger;
    EXPECT_EQ(SettingsManagerClient::getInstance(), nullptr);
    openFailure(0);
    bool logged = false;
    for (const LogRecord& r : logger->Records()) {
        if (r.function == L"Tessil::SettingsManagerClient::getInstance") {
            EXPECT_FALSE(logged);
            logged = true;
            EXPECT_EQ(r.level, 4u);
            EXPECT_EQ(r.file, kSource);
            EXPECT_EQ(r.text.rfind(L"Failed to create settings manager client. Caught ModuleException - what: ", 0), 0u)
                << std::string(r.text.begin(), r.text.end());
        }
    }
    EXPECT_TRUE(logged);
}

TEST_F(SettingsClient, ConcurrentCallersEachGetTheirOwnReply) {
    neighbour_->setDelayMs(5);
    constexpr int kThreads = 6;
    constexpr int kRounds = 10;
    std::vector<std::future<int>> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.push_back(std::async(std::launch::async, [this, t] {
            int good = 0;
            const std::wstring name = L"T" + std::to_wstring(t);
            for (int round = 0; round < kRounds; ++round) {
                int value = -1;
                if (client_->setProperty(name, t * 100 + round, kTimeout) &&
                    client_->getProperty(name, value, kTimeout) && value == t * 100 + round) {
                    ++good;
                }
            }
            return good;
        }));
    }
    for (auto& worker : workers) {
        ASSERT_EQ(worker.wait_for(std::chrono::seconds(60)), std::future_status::ready);
        EXPECT_EQ(worker.get(), kRounds);
    }
}

TEST_F(SettingsClient, RefusedSubscriptionsAnswerFalse) {
    auto refuse = bus_.script<VtBusScript_SetSubscribeRefuse_t>("VtBusScript_SetSubscribeRefuse");
    ASSERT_NE(refuse, nullptr);
    refuse(1);
    EXPECT_FALSE(client_->subscribePropertySet([](const std::wstring&) {}, L"A"));
    EXPECT_FALSE(client_->subscribePropertySet([](const std::wstring&) {}));
    EXPECT_FALSE(client_->subscribePropertyRemoved([](const std::wstring&) {}, L"A"));
    EXPECT_FALSE(client_->subscribePropertyRemoved([](const std::wstring&) {}));
    EXPECT_FALSE(client_->subscribeSetByPrefix([](const std::wstring&, const std::wstring&) {}, L"P"));
    EXPECT_FALSE(client_->subscribeDeleteByPrefix([](const std::wstring&) {}, L"P"));
    refuse(0);
    // Ending a subscription that was never made is not a failure of the bus.
    EXPECT_TRUE(client_->unsubscribeSetByPrefix(L"P"));
    EXPECT_TRUE(client_->unsubscribeDeleteByPrefix(L"P"));
}

TEST_F(SettingsClient, ReplyArrivingBeforeTheRequestReturnsIsRead) {
    auto early = bus_.script<VtBusScript_SetReplyBeforeRequestReturns_t>("VtBusScript_SetReplyBeforeRequestReturns");
    ASSERT_NE(early, nullptr);
    neighbour_->store(L"A", L"1");
    early(1);
    std::wstring value;
    EXPECT_TRUE(client_->getProperty(L"A", value, kTimeout));
    PropertyValues values;
    EXPECT_EQ(client_->getProperties({L"A"}, values, kTimeout), (PropertyResults{{L"A", true}}));
    early(0);
    EXPECT_EQ(value, L"1");
    EXPECT_EQ(values, (PropertyValues{{L"A", L"1"}}));
}
