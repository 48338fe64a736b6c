// Events delivered to the telemetry server double through real COM.
#include "framework/AnalyticsAPI/include/AnalyticsAPI/Event.h"
#include "framework/AnalyticsAPI/include/AnalyticsAPI/SDKConnector.h"
#include "framework/AnalyticsAPI/include/AnalyticsAPI/Transports.h"
#include "framework/AnalyticsAPI/testing/ScopedCandidateTransports.h"
#include "neighbours/telemetry/testing/TelemetryServerTesting.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <objbase.h>

#include <algorithm>
#include <map>
#include <thread>

using Tessil::Analytics::CLegacyTransport;
using Tessil::Analytics::CNullTransport;
using Tessil::Analytics::CSDKConnector;
using Tessil::Analytics::v2::CEvent;
using TelemetryServerTesting::JournalRecord;
using TelemetryServerTesting::ScopedEnvironment;
using TelemetryServerTesting::ScopedServerRegistration;

namespace {

class TelemetryDelivery : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        journal_ = std::wstring(folder) + L"vt-telemetry-" + std::to_wstring(GetCurrentProcessId()) +
                   L"-" + std::to_wstring(++counter_) + L".journal";
        DeleteFileW(journal_.c_str());
        journalVariable_ = std::make_unique<ScopedEnvironment>(L"VT_TELEMETRY_JOURNAL", journal_.c_str());
        registration_ =
            std::make_unique<ScopedServerRegistration>(TelemetryServerTesting::ServerPathBesideProgram());
        ASSERT_TRUE(registration_->ok());
    }
    void TearDown() override {
        registration_.reset();
        journalVariable_.reset();
        DeleteFileW(journal_.c_str());
    }

    std::vector<JournalRecord> journal() const { return TelemetryServerTesting::ReadJournal(journal_); }

    std::vector<std::shared_ptr<Tessil::Analytics::internal::ITransport>> candidates(const GUID& clsid) {
        return {std::make_shared<CLegacyTransport>(clsid), std::make_shared<CNullTransport>()};
    }

    static int counter_;
    std::wstring journal_;
    std::unique_ptr<ScopedEnvironment> journalVariable_;
    std::unique_ptr<ScopedServerRegistration> registration_;
};

int TelemetryDelivery::counter_ = 0;

std::wstring Kinds(const std::vector<JournalRecord>& records) {
    std::wstring kinds;
    for (const JournalRecord& record : records) {
        kinds += record.kind;
    }
    return kinds;
}

// The members of a flat JSON object of strings; fails the test otherwise.
std::map<std::wstring, std::wstring> Members(const std::wstring& json) {
    std::map<std::wstring, std::wstring> members;
    rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>> document;
    document.Parse(json.c_str());
    EXPECT_FALSE(document.HasParseError()) << std::string(json.begin(), json.end());
    if (document.HasParseError() || !document.IsObject()) {
        return members;
    }
    for (auto& member : document.GetObject()) {
        EXPECT_TRUE(member.value.IsString());
        if (member.value.IsString()) {
            members[std::wstring(member.name.GetString(), member.name.GetStringLength())] =
                std::wstring(member.value.GetString(), member.value.GetStringLength());
        }
    }
    return members;
}

}  // namespace

TEST_F(TelemetryDelivery, ServerReceivesTheEventWithExactDimensionsAndEscapes) {
    Tessil::Analytics::testing::ScopedCandidateTransports scoped(candidates(registration_->clsid()));
    CEvent event(L"Vantrel.Alert.Request");
    event.SetCategory(L"Drem").SetLabel(L"a\tb/\x7F\xE9").SetValue(4294967295u);
    event.Add(L"Interactive", Tessil::Analytics::BoolToString(true));
    event.Send();

    auto records = journal();
    // Connect probes with an object of its own, the send uses another.
    ASSERT_EQ(Kinds(records), L"CRCER");
    const JournalRecord& received = records[3];
    ASSERT_EQ(received.fields.size(), 3u);
    EXPECT_EQ(received.fields[0], L"");
    EXPECT_EQ(received.fields[2], L"");
    const std::wstring& json = received.fields[1];
    EXPECT_NE(json.find(L"\"Event.Label\":\"a\\tb\\/\\u007F\xE9\""), std::wstring::npos);

    auto members = Members(json);
    std::vector<std::wstring> names;
    for (const auto& entry : members) {
        names.push_back(entry.first);
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{
                         L"Event.Category", L"Event.Label", L"Event.Value", L"Interactive",
                         L"Tracker.Type", L"UniqueIdentifier", L"__caller.name",
                         L"__record.created", L"__record.created.seconds", L"__track.api.version",
                         L"__transport.name"}));
    EXPECT_EQ(members[L"UniqueIdentifier"], L"Vantrel.Alert.Request");
    EXPECT_EQ(members[L"Event.Category"], L"Drem");
    EXPECT_EQ(members[L"Event.Label"], L"a\tb/\x7F\xE9");
    EXPECT_EQ(members[L"Event.Value"], L"4294967295");
    EXPECT_EQ(members[L"Interactive"], L"true");
    EXPECT_EQ(members[L"Tracker.Type"], L"event");
    EXPECT_EQ(members[L"__track.api.version"], L"1.2.0");
    EXPECT_EQ(members[L"__transport.name"], L"Legacy v1");
    EXPECT_EQ(members[L"__record.created"].size(), 20u);
    EXPECT_EQ(members[L"__record.created"].back(), L'Z');

    // Each backslash of the image path reaches the server as four.
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring quadrupled;
    for (DWORD i = 0; i < length; ++i) {
        quadrupled += path[i] == L'\\' ? std::wstring(L"\\\\\\\\") : std::wstring(1, path[i]);
    }
    EXPECT_NE(json.find(L"\"__caller.name\":\"" + quadrupled + L"\""), std::wstring::npos);
}

TEST_F(TelemetryDelivery, UnregisteredServerSelectsTheNullTransportSilently) {
    GUID unregistered{};
    ASSERT_TRUE(SUCCEEDED(CoCreateGuid(&unregistered)));
    Tessil::Analytics::testing::ScopedCandidateTransports scoped(candidates(unregistered));
    CSDKConnector connector;
    ASSERT_TRUE(connector.Connect());
    EXPECT_EQ(connector.GetTransport()->GetName(), L"NULL-Pattern");
    CEvent(L"X").Send();
    EXPECT_TRUE(journal().empty());
}

TEST_F(TelemetryDelivery, UntrustedServerIsNeverCreatedDirectly) {
    // The double's factory now answers the verifier, which finds its
    // unsigned module untrusted.
    ScopedEnvironment verified(L"VT_TELEMETRY_VERIFIED_FACTORY", L"1");
    Tessil::Analytics::testing::ScopedCandidateTransports scoped(candidates(registration_->clsid()));
    CSDKConnector connector;
    ASSERT_TRUE(connector.Connect());
    EXPECT_EQ(connector.GetTransport()->GetName(), L"NULL-Pattern");
    CLegacyTransport transport(registration_->clsid());
    EXPECT_FALSE(transport.Send({{L"k", L"v"}}));
    EXPECT_TRUE(journal().empty());
}

TEST_F(TelemetryDelivery, DefaultCandidatesUseTheDefaultServerClass) {
    ScopedServerRegistration defaultClass(TelemetryServerTesting::ServerPathBesideProgram(),
                                          Tessil::Analytics::CLSID_TelemetryServer);
    ASSERT_TRUE(defaultClass.ok());
    CSDKConnector connector;
    ASSERT_TRUE(connector.Connect());
    EXPECT_EQ(connector.GetTransport()->GetName(), L"Legacy");
    connector.Disconnect();
    CEvent(L"Default").Send();
    auto records = journal();
    ASSERT_EQ(Kinds(records), L"CRCRCER");
    EXPECT_EQ(Members(records[5].fields[1])[L"UniqueIdentifier"], L"Default");
}

TEST_F(TelemetryDelivery, NegativeAnswerOfTheServerFailsTheSend) {
    CLegacyTransport transport(registration_->clsid());
    ASSERT_TRUE(transport.Connect());
    EXPECT_TRUE(transport.Send({{L"k", L"v"}}));
    {
        ScopedEnvironment failing(L"VT_TELEMETRY_RESULT", L"80004005");
        EXPECT_FALSE(transport.Send({{L"k", L"v"}}));
    }
    EXPECT_EQ(Kinds(journal()), L"CRCERCER");
}

TEST_F(TelemetryDelivery, DeliversInTheThreadsExistingApartment) {
    // A thread already in a single-threaded apartment: the transport's own
    // initialisation fails and must not uninitialise the thread's COM.
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    CLegacyTransport transport(registration_->clsid());
    EXPECT_TRUE(transport.Send({{L"k", L"v"}}));
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE)
        << "the thread's apartment is still there";
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(Kinds(journal()), L"CER");
}

TEST_F(TelemetryDelivery, ThreadsSendAtTheSameTimeWithoutLosingEvents) {
    Tessil::Analytics::testing::ScopedCandidateTransports scoped(candidates(registration_->clsid()));
    constexpr int kThreads = 4;
    constexpr int kEvents = 5;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEvents; ++i) {
                CEvent(L"Concurrent").SetValue(static_cast<std::uint32_t>(t * 100 + i)).Send();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::vector<std::wstring> values;
    int created = 0, released = 0;
    for (const JournalRecord& record : journal()) {
        created += record.kind == L'C';
        released += record.kind == L'R';
        if (record.kind == L'E') {
            values.push_back(Members(record.fields[1])[L"Event.Value"]);
        }
    }
    std::sort(values.begin(), values.end());
    std::vector<std::wstring> expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kEvents; ++i) {
            expected.push_back(std::to_wstring(t * 100 + i));
        }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(values, expected);
    EXPECT_EQ(created, 2 * kThreads * kEvents);
    EXPECT_EQ(released, created);
}
