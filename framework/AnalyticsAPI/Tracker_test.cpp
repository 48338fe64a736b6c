#include "framework/AnalyticsAPI/include/AnalyticsAPI/Event.h"
#include "framework/AnalyticsAPI/include/AnalyticsAPI/SDKConnector.h"
#include "framework/AnalyticsAPI/include/AnalyticsAPI/Transports.h"
#include "framework/AnalyticsAPI/testing/ScopedCandidateTransports.h"
#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

using ETWLogging::testing::ScopedCapturingLogger;
using Tessil::Analytics::Dimensions;
using Tessil::Analytics::v2::CEvent;
namespace internal = Tessil::Analytics::internal;

namespace {

const wchar_t kSource[] = L"AnalyticsAPI/internal/Tracker";
const wchar_t kFunction[] =
    L"Tessil::Analytics::internal::CFluentTracker<class Tessil::Analytics::v2::CEvent,"
    L"class Tessil::Analytics::internal::CTracker>::Add";

// Records what it is asked to send.
class RecordingTransport : public internal::CBaseTransport {
public:
    RecordingTransport() : CBaseTransport(L"Recording", 7) {}
    bool Connect() override { return true; }
    bool Send(const Dimensions& dimensions) override {
        sent.push_back(dimensions);
        return true;
    }
    void Disconnect() override {}
    std::vector<Dimensions> sent;
};

}  // namespace

TEST(AnalyticsEvent, NamedEventHoldsItsIdentifierAndType) {
    CEvent named(L"Vantrel.Alert.Request");
    EXPECT_EQ(named.GetTrackerType(), L"event");
    EXPECT_EQ(named.GetDimensions(), (Dimensions{{L"UniqueIdentifier", L"Vantrel.Alert.Request"}}));
    CEvent plain;
    EXPECT_EQ(plain.GetTrackerType(), L"event");
    EXPECT_TRUE(plain.GetDimensions().empty());
}

TEST(AnalyticsEvent, SettersChainAndStoreTheirDimensions) {
    ScopedCapturingLogger logger;
    CEvent event;
    const wchar_t* nullText = nullptr;
    event.SetCategory(L"Drem").SetAction(std::wstring(L"act")).SetLabel(nullText).SetValue(0);
    EXPECT_EQ(event.GetDimensions(), (Dimensions{{L"Event.Category", L"Drem"},
                                                 {L"Event.Action", L"act"},
                                                 {L"Event.Label", L""},
                                                 {L"Event.Value", L"0"}}));
    event.SetCategory(std::wstring(L"second")).SetAction(L"p").SetLabel(std::wstring(L"l"))
        .SetValue(UINT32_MAX);
    EXPECT_EQ(event.GetDimensions().at(L"Event.Category"), L"second");
    EXPECT_EQ(event.GetDimensions().at(L"Event.Action"), L"p");
    EXPECT_EQ(event.GetDimensions().at(L"Event.Label"), L"l");
    EXPECT_EQ(event.GetDimensions().at(L"Event.Value"), L"4294967295");
    EXPECT_TRUE(logger->Records().empty());
}

TEST(AnalyticsEvent, AddRefusesPrivateAndNullNamesAndIgnoresEmptyOnes) {
    struct Case {
        const wchar_t* name;
        const wchar_t* value;
        Dimensions expected;
        std::wstring logged;  // empty: no line
    };
    const Case cases[] = {
        {L"k", L"v", {{L"k", L"v"}}, L""},
        {L"k", nullptr, {{L"k", L""}}, L""},
        {L"_k", L"v", {{L"_k", L"v"}}, L""},
        {L"__k", L"v", {}, L"Illegal request to add private dimension ('__k ='v') - Ignored"},
        {L"__", L"", {}, L"Illegal request to add private dimension ('__ ='') - Ignored"},
        {nullptr, L"v", {}, L"Adding dimension with a [null] name - ignored."},
        {L"", L"v", {}, L""},
    };
    for (const Case& c : cases) {
        ScopedCapturingLogger logger;
        CEvent event;
        event.Add(c.name, c.value);
        EXPECT_EQ(event.GetDimensions(), c.expected) << (c.name ? c.name : L"(null)");
        auto records = logger->Records();
        if (c.logged.empty()) {
            EXPECT_TRUE(records.empty());
        } else {
            ASSERT_EQ(records.size(), 1u);
            EXPECT_EQ(records[0].level, 2u);
            EXPECT_EQ(records[0].text, c.logged);
            EXPECT_EQ(records[0].file, kSource);
            EXPECT_EQ(records[0].function, kFunction);
        }
    }
}

TEST(AnalyticsEvent, LaterValueReplacesEarlierAndBaseAddSkipsTheCheck) {
    ScopedCapturingLogger logger;
    CEvent event;
    event.Add(std::wstring(L"k"), std::wstring(L"1")).Add(L"k", L"2");
    EXPECT_EQ(event.GetDimensions(), (Dimensions{{L"k", L"2"}}));
    internal::CTracker& tracker = event;
    tracker.Add(L"", L"ignored");
    EXPECT_EQ(event.GetDimensions().size(), 1u);
    EXPECT_TRUE(logger->Records().empty());
}

TEST(AnalyticsRecordTime, FormatsUtcSecondsOrRefuses) {
    struct Case {
        std::int64_t seconds;
        const wchar_t* text;  // null: refused
    };
    const Case cases[] = {
        {0, L"1970-01-01 00:00:00Z"},
        {1553263509, L"2019-03-22 14:05:09Z"},
        {951782400, L"2000-02-29 00:00:00Z"},
        {4102444799, L"2099-12-31 23:59:59Z"},
        {-1, nullptr},
        {INT64_MIN, nullptr},
        {INT64_MAX, nullptr},
    };
    for (const Case& c : cases) {
        std::wstring text = L"unchanged";
        bool ok = internal::FormatRecordCreated(c.seconds, text);
        EXPECT_EQ(ok, c.text != nullptr) << c.seconds;
        EXPECT_EQ(text, c.text ? c.text : L"unchanged") << c.seconds;
    }
}

TEST(AnalyticsRecordTime, StampsReplaceEarlierValuesAndFallBackToRawSeconds) {
    Dimensions dimensions{{L"Tracker.Type", L"old"}, {L"x", L"y"}};
    internal::StampDimensions(dimensions, L"event", 1553263509, 42);
    EXPECT_EQ(dimensions, (Dimensions{{L"x", L"y"},
                                      {L"__track.api.version", L"1.2.0"},
                                      {L"Tracker.Type", L"event"},
                                      {L"__record.created", L"2019-03-22 14:05:09Z"},
                                      {L"__record.created.seconds", L"42"}}));
    Dimensions raw;
    internal::StampDimensions(raw, L"", -5, 0);
    EXPECT_EQ(raw, (Dimensions{{L"__track.api.version", L"1.2.0"},
                               {L"Tracker.Type", L""},
                               {L"__record.created.raw", L"-5"},
                               {L"__record.created.seconds", L"0"}}));
}

TEST(AnalyticsSend, DeliversExactlyTheStandardDimensionsBesideTheCallersOwn) {
    auto transport = std::make_shared<RecordingTransport>();
    Tessil::Analytics::testing::ScopedCandidateTransports candidates({transport});
    CEvent event(L"X");
    event.Send();
    ASSERT_EQ(transport->sent.size(), 1u);
    const Dimensions& sent = transport->sent[0];
    std::vector<std::wstring> names;
    for (const auto& entry : sent) {
        names.push_back(entry.first);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"Tracker.Type", L"UniqueIdentifier",
                                                L"__caller.name", L"__record.created",
                                                L"__record.created.seconds", L"__track.api.version",
                                                L"__transport.name"}));
    EXPECT_EQ(sent.at(L"UniqueIdentifier"), L"X");
    EXPECT_EQ(sent.at(L"__transport.name"), L"Recording v7");
    EXPECT_EQ(sent.at(L"__caller.name"), Tessil::Analytics::CallerNameDimension());
    // The send stamps the event's own dimensions.
    EXPECT_EQ(event.GetDimensions(), sent);
}
