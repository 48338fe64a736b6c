#include "framework/AnalyticsAPI/include/AnalyticsAPI/SDKConnector.h"
#include "framework/AnalyticsAPI/include/AnalyticsAPI/Transports.h"
#include "framework/AnalyticsAPI/testing/ScopedCandidateTransports.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>

using Tessil::Analytics::CLegacyTransport;
using Tessil::Analytics::CNullTransport;
using Tessil::Analytics::ComAPI;
using Tessil::Analytics::CSDKConnector;
using Tessil::Analytics::Dimensions;
using Tessil::Analytics::ITelemetryServer;
namespace internal = Tessil::Analytics::internal;

namespace {

class FakeServer : public ITelemetryServer {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE SendEvent(BSTR first, BSTR json, BSTR last) override {
        events.push_back({first, json, last});
        return result;
    }
    long refs = 0;
    HRESULT result = S_OK;
    std::vector<std::vector<std::wstring>> events;
};

// Counts every call and scripts the answers of the COM functions.
class FakeComAPI : public ComAPI {
public:
    HRESULT coInitializeEx(void*, DWORD model) override {
        ++initialised;
        lastModel = model;
        return initResult;
    }
    void coUninitialize() override { ++uninitialised; }
    HRESULT createVerifiedInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                                   void** out, bool verify) override {
        ++verifiedCalls;
        lastVerify = verify;
        return create(clsid, outer, context, iid, out, verifiedResult, verifiedGives);
    }
    HRESULT coCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                             void** out) override {
        ++directCalls;
        return create(clsid, outer, context, iid, out, directResult, directGives);
    }
    BSTR sysAllocString(const wchar_t* text) override {
        if (++allocations == failAllocation) {
            return nullptr;
        }
        ++liveStrings;
        return SysAllocString(text);
    }
    void sysFreeString(BSTR text) override {
        --liveStrings;
        SysFreeString(text);
    }

    HRESULT create(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** out,
                   HRESULT result, bool gives) {
        lastClsid = clsid;
        lastOuter = outer;
        lastContext = context;
        lastIid = iid;
        *out = nullptr;
        if (gives) {
            server.AddRef();
            *out = static_cast<ITelemetryServer*>(&server);
        }
        return result;
    }

    HRESULT initResult = S_OK;
    HRESULT verifiedResult = REGDB_E_CLASSNOTREG;
    bool verifiedGives = false;
    HRESULT directResult = S_OK;
    bool directGives = true;
    int failAllocation = 0;  // 1-based allocation that fails; 0 none

    int initialised = 0, uninitialised = 0, verifiedCalls = 0, directCalls = 0, allocations = 0;
    int liveStrings = 0;
    DWORD lastModel = 0, lastContext = 0;
    bool lastVerify = false;
    GUID lastClsid{}, lastIid{};
    IUnknown* lastOuter = reinterpret_cast<IUnknown*>(1);
    FakeServer server;
};

const Dimensions kEvent{{L"k", L"v"}};

}  // namespace

TEST(LegacyTransport, CreatesVerifiedFirstAndDirectlyOnlyWhenNotRefusedAsUntrusted) {
    struct Case {
        const char* what;
        HRESULT verifiedResult;
        bool verifiedGives;
        HRESULT directResult;
        bool directGives;
        int expectedDirectCalls;
        bool connects;
    };
    const Case cases[] = {
        {"verified", S_OK, true, S_OK, true, 0, true},
        {"untrusted", E_ACCESSDENIED, false, S_OK, true, 0, false},
        {"not registered", REGDB_E_CLASSNOTREG, false, S_OK, true, 1, true},
        {"no factory interface", E_NOINTERFACE, false, S_OK, true, 1, true},
        {"success without object", S_OK, false, S_OK, true, 1, true},
        {"failure with object", E_FAIL, true, S_OK, true, 1, true},
        {"neither", E_FAIL, false, REGDB_E_CLASSNOTREG, false, 1, false},
        {"direct failure with object", E_FAIL, false, E_FAIL, true, 1, false},
    };
    for (const Case& c : cases) {
        for (bool send : {false, true}) {
            auto api = std::make_shared<FakeComAPI>();
            api->verifiedResult = c.verifiedResult;
            api->verifiedGives = c.verifiedGives;
            api->directResult = c.directResult;
            api->directGives = c.directGives;
            CLegacyTransport transport(GUID{}, api);
            EXPECT_EQ(send ? transport.Send(kEvent) : transport.Connect(), c.connects) << c.what;
            EXPECT_EQ(api->verifiedCalls, 1) << c.what;
            EXPECT_TRUE(api->lastVerify) << c.what;
            EXPECT_EQ(api->directCalls, c.expectedDirectCalls) << c.what;
            EXPECT_EQ(api->server.refs, 0) << c.what << ": every object is released";
            EXPECT_EQ(api->server.events.size(), (send && c.connects) ? 1u : 0u) << c.what;
            EXPECT_EQ(api->initialised, 1) << c.what;
            EXPECT_EQ(api->uninitialised, 1) << c.what;
            EXPECT_EQ(api->lastModel, static_cast<DWORD>(COINIT_MULTITHREADED));
            EXPECT_EQ(api->liveStrings, 0) << c.what;
        }
    }
}

TEST(LegacyTransport, AsksForTheServerClassAndInterfaceInEveryContext) {
    const GUID own = {0x01020304, 0x0506, 0x0708, {1, 2, 3, 4, 5, 6, 7, 8}};
    for (const GUID& given : {GUID{}, own}) {
        auto api = std::make_shared<FakeComAPI>();
        CLegacyTransport transport(given, api);
        ASSERT_TRUE(transport.Connect());
        const GUID& expected =
            std::memcmp(&given, &own, sizeof(GUID)) == 0 ? own : Tessil::Analytics::CLSID_TelemetryServer;
        EXPECT_TRUE(IsEqualGUID(api->lastClsid, expected));
        EXPECT_TRUE(IsEqualGUID(transport.GetClassId(), expected));
        EXPECT_TRUE(IsEqualGUID(api->lastIid, Tessil::Analytics::IID_ITelemetryServer));
        EXPECT_EQ(api->lastContext, 0x17u);
        EXPECT_EQ(api->lastOuter, nullptr);
    }
    CLegacyTransport transport;
    EXPECT_EQ(transport.GetName(), L"Legacy");
    EXPECT_EQ(transport.GetVersion(), 1);
}

TEST(LegacyTransport, SendHandsTheJsonBetweenTwoEmptyTexts) {
    auto api = std::make_shared<FakeComAPI>();
    CLegacyTransport transport(GUID{}, api);
    ASSERT_TRUE(transport.Send(kEvent));
    ASSERT_EQ(api->server.events.size(), 1u);
    EXPECT_EQ(api->server.events[0], (std::vector<std::wstring>{L"", L"{\"k\":\"v\"}", L""}));
    EXPECT_EQ(api->allocations, 3);
}

TEST(LegacyTransport, ServerAnswerDecidesTheSend) {
    struct Case {
        HRESULT answer;
        bool sent;
    };
    for (const Case& c : {Case{S_OK, true}, Case{S_FALSE, true}, Case{0x7FFFFFFF, true},
                          Case{E_FAIL, false}, Case{static_cast<HRESULT>(0x80000000), false}}) {
        auto api = std::make_shared<FakeComAPI>();
        api->server.result = c.answer;
        CLegacyTransport transport(GUID{}, api);
        EXPECT_EQ(transport.Send(kEvent), c.sent) << std::hex << c.answer;
        EXPECT_EQ(api->server.refs, 0);
        EXPECT_EQ(api->liveStrings, 0);
    }
}

TEST(LegacyTransport, FailedStringAllocationFailsTheSendAndFreesEverything) {
    for (int failing = 1; failing <= 3; ++failing) {
        auto api = std::make_shared<FakeComAPI>();
        api->failAllocation = failing;
        CLegacyTransport transport(GUID{}, api);
        EXPECT_FALSE(transport.Send(kEvent)) << failing;
        EXPECT_TRUE(api->server.events.empty()) << failing;
        EXPECT_EQ(api->liveStrings, 0) << failing;
        EXPECT_EQ(api->server.refs, 0) << failing;
        EXPECT_EQ(api->uninitialised, 1) << failing;
    }
}

TEST(LegacyTransport, EmptyEventIsNotSentButTheObjectIsReleased) {
    auto api = std::make_shared<FakeComAPI>();
    CLegacyTransport transport(GUID{}, api);
    EXPECT_FALSE(transport.Send(Dimensions{}));
    EXPECT_TRUE(api->server.events.empty());
    EXPECT_EQ(api->server.refs, 0);
    EXPECT_EQ(api->allocations, 0);
    EXPECT_EQ(api->uninitialised, 1);
}

TEST(LegacyTransport, UninitialisesOnlyWhenItsInitialisationSucceeded) {
    struct Case {
        HRESULT init;
        int uninitialised;
    };
    for (const Case& c : {Case{S_OK, 1}, Case{S_FALSE, 1}, Case{RPC_E_CHANGED_MODE, 0}}) {
        auto api = std::make_shared<FakeComAPI>();
        api->initResult = c.init;
        CLegacyTransport transport(GUID{}, api);
        EXPECT_TRUE(transport.Connect());
        EXPECT_TRUE(transport.Send(kEvent));
        EXPECT_EQ(api->uninitialised, 2 * c.uninitialised) << std::hex << c.init;
    }
}

TEST(LegacyTransport, ExceptionWhileSendingStillReleasesEverything) {
    // A server whose call throws stands for memory running out mid-send.
    struct ThrowingServer : FakeServer {
        HRESULT STDMETHODCALLTYPE SendEvent(BSTR, BSTR, BSTR) override { throw std::bad_alloc(); }
    };
    struct ThrowingApi : FakeComAPI {
        HRESULT coCreateInstance(REFCLSID, IUnknown*, DWORD, REFIID, void** out) override {
            ++directCalls;
            throwing.AddRef();
            *out = static_cast<ITelemetryServer*>(&throwing);
            return S_OK;
        }
        ThrowingServer throwing;
    };
    auto api = std::make_shared<ThrowingApi>();
    CLegacyTransport transport(GUID{}, api);
    EXPECT_THROW(transport.Send(kEvent), std::bad_alloc);
    EXPECT_EQ(api->throwing.refs, 0);
    EXPECT_EQ(api->liveStrings, 0);
    EXPECT_EQ(api->uninitialised, 1);
}

namespace {

class ScriptedTransport : public internal::CBaseTransport {
public:
    ScriptedTransport(std::wstring name, bool connects, std::vector<std::wstring>& journal)
        : CBaseTransport(name, 3), connects_(connects), journal_(journal), name_(std::move(name)) {}
    bool Connect() override {
        journal_.push_back(name_ + L".Connect");
        return connects_;
    }
    bool Send(const Dimensions& dimensions) override {
        journal_.push_back(name_ + L".Send");
        last = dimensions;
        return true;
    }
    void Disconnect() override { journal_.push_back(name_ + L".Disconnect"); }
    Dimensions last;

private:
    bool connects_;
    std::vector<std::wstring>& journal_;
    std::wstring name_;
};

}  // namespace

TEST(SDKConnector, SelectsTheFirstCandidateThatConnects) {
    std::vector<std::wstring> journal;
    auto a = std::make_shared<ScriptedTransport>(L"A", false, journal);
    auto b = std::make_shared<ScriptedTransport>(L"B", true, journal);
    auto c = std::make_shared<ScriptedTransport>(L"C", true, journal);
    Tessil::Analytics::testing::ScopedCandidateTransports candidates({a, b, c});
    CSDKConnector connector;
    ASSERT_TRUE(connector.Connect());
    EXPECT_EQ(connector.GetTransport(), b);
    Dimensions dimensions{{L"k", L"v"}, {L"__transport.name", L"old"}};
    EXPECT_TRUE(connector.Send(dimensions));
    connector.Disconnect();
    EXPECT_EQ(connector.GetTransport(), nullptr);
    EXPECT_EQ(journal, (std::vector<std::wstring>{L"A.Connect", L"A.Disconnect", L"B.Connect",
                                                  L"B.Send", L"B.Disconnect"}));
    EXPECT_EQ(dimensions.at(L"__transport.name"), L"B v3");
    EXPECT_EQ(dimensions.at(L"k"), L"v");
    EXPECT_EQ(b->last, dimensions);
    EXPECT_FALSE(connector.Send(dimensions)) << "no transport after Disconnect";
}

TEST(SDKConnector, FallsBackToANewNullTransport) {
    std::vector<std::wstring> journal;
    auto a = std::make_shared<ScriptedTransport>(L"A", false, journal);
    Tessil::Analytics::testing::ScopedCandidateTransports candidates({a});
    CSDKConnector connector;
    ASSERT_TRUE(connector.Connect());
    ASSERT_NE(connector.GetTransport(), nullptr);
    EXPECT_NE(connector.GetTransport(), a);
    EXPECT_EQ(connector.GetTransport()->GetName(), L"NULL-Pattern");
    Dimensions dimensions{{L"k", L"v"}};
    EXPECT_TRUE(connector.Send(dimensions));
    EXPECT_EQ(dimensions.at(L"__transport.name"), L"NULL-Pattern v1");
}

TEST(SDKConnector, CallerNameIsTheImagePathWithBackslashesDoubled) {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::wstring expected;
    for (DWORD i = 0; i < length; ++i) {
        expected += path[i];
        if (path[i] == L'\\') {
            expected += L'\\';
        }
    }
    EXPECT_NE(expected.find(L"\\\\"), std::wstring::npos);
    EXPECT_EQ(Tessil::Analytics::CallerNameDimension(), expected);
}
