// The bus neighbour across processes: this process's bus client over
// "MessageBus.dll" and "BusPeer.exe" processes, joined by a broker of this
// program's own (its pipe named after this process's id).
//
// The broker handles one process's frames in the order they were sent, and
// the bus keeps that order up to the subscriber's delivery thread. So a
// peer's announcement arriving here means the broker holds every subscription
// change the peer made before it, and a message that should not arrive is
// shown absent by a later one that arrives.
#include "framework/bus/MessageBusClient.h"
#include "framework/bus/MessageBusShimImpl.h"
#include "framework/message/ModuleStatus.h"
#include "tools/common/testing/ProgramTestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace Tessil {
namespace {

using namespace std::chrono_literals;
using Tessil::testing::WinePath;

// Bound of every wait on another process; only a hang reaches it.
constexpr auto kBound = 60s;
constexpr DWORD kBoundMs = 60000;

const std::wstring kSuffix = std::to_wstring(GetCurrentProcessId());

// Owns a started process: ends it (if still running) and waits for it.
class OwnedProcess {
public:
    OwnedProcess() = default;
    explicit OwnedProcess(HANDLE process) : process_(process) {}
    ~OwnedProcess() { reset(); }
    OwnedProcess(OwnedProcess&& other) noexcept : process_(std::exchange(other.process_, nullptr)) {}
    OwnedProcess& operator=(OwnedProcess&& other) noexcept {
        if (this != &other) {
            reset();
            process_ = std::exchange(other.process_, nullptr);
        }
        return *this;
    }
    OwnedProcess(const OwnedProcess&) = delete;
    OwnedProcess& operator=(const OwnedProcess&) = delete;

    // Empty when the process could not be started.
    static OwnedProcess Start(const std::wstring& program, const std::wstring& arguments) {
        return OwnedProcess(Tessil::testing::StartProgram(program, arguments));
    }

    void reset() {
        if (process_ == nullptr) return;
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, kBoundMs);
        CloseHandle(process_);
        process_ = nullptr;
    }

    HANDLE get() const { return process_; }
    explicit operator bool() const { return process_ != nullptr; }
    bool ended(DWORD waitMs = 0) const {
        return process_ != nullptr && WaitForSingleObject(process_, waitMs) == WAIT_OBJECT_0;
    }

private:
    HANDLE process_ = nullptr;
};

// The broker and this process's first bus handle (which joins the broker),
// for the whole program.
class Broker : public ::testing::Environment {
public:
    void SetUp() override {
        const std::wstring pipe = L"\\\\.\\pipe\\vt-bus-across-" + kSuffix;
        SetEnvironmentVariableW(L"VT_BUS_BROKER", pipe.c_str());
        process = OwnedProcess::Start(WinePath(VT_BUS_BROKER_EXE), pipe + L" " + kSuffix);
        ASSERT_TRUE(process);
        ASSERT_TRUE(WaitForPipe(pipe));
        library = LoadLibraryW(WinePath(VT_BUS_DLL).c_str());
        ASSERT_NE(library, nullptr);
        auto create = reinterpret_cast<void* (*)(std::uint32_t)>(
            reinterpret_cast<void*>(GetProcAddress(library, "CreateObject")));
        ASSERT_NE(create, nullptr);
        table = static_cast<const MessageBusFunctions*>(create(MESSAGE_BUS_INTERFACE_VERSION));
        ASSERT_NE(table, nullptr);
        ASSERT_EQ(table->open(&handle), 0u);
    }
    void TearDown() override {
        if (handle != nullptr) table->close(handle);
        process.reset();
    }

    // True once the broker listens on pipe; false when it ends first.
    bool WaitForPipe(const std::wstring& pipe) const {
        const ULONGLONG until = GetTickCount64() + kBoundMs;
        while (GetTickCount64() < until) {
            if (WaitNamedPipeW(pipe.c_str(), 1000)) return true;
            if (process.ended(50)) return false;
        }
        return false;
    }

    OwnedProcess process;
    HMODULE library = nullptr;
    const MessageBusFunctions* table = nullptr;
    MessageBusHandle handle = nullptr;
};

Broker* gBroker = static_cast<Broker*>(::testing::AddGlobalTestEnvironment(new Broker));

// What a subscription received, in order.
class Inbox {
public:
    struct Item {
        std::wstring name, payload;
        bool operator==(const Item&) const = default;
    };

    MessageHandler handler() {
        return [this](MessagePtr m) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                items_.push_back({m->getName(), m->getPayload()});
            }
            changed_.notify_all();
            return 0u;
        };
    }

    // True once item has arrived, within the bound.
    bool waitFor(const Item& item) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kBound, [&] {
            for (const Item& i : items_) {
                if (i == item) return true;
            }
            return false;
        });
    }

    std::vector<Item> of(const std::wstring& name) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Item> out;
        for (const Item& i : items_) {
            if (i.name == name) out.push_back(i);
        }
        return out;
    }

    std::vector<Item> all() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Item> items_;  // guarded by mutex_
};

void PrintTo(const Inbox::Item& item, std::ostream* os) {
    *os << "{" << ::testing::PrintToString(item.name) << ", " << ::testing::PrintToString(item.payload)
        << "}";
}

// The end of one request made through the client's callback form.
struct Outcome {
    std::mutex mutex;
    std::condition_variable done;
    bool ended = false;           // guarded by mutex
    int calls = 0;                // guarded by mutex
    ReplyStatus status = REPLY_STATUS_PENDING;  // guarded by mutex
    std::wstring payload;                      // guarded by mutex

    ReplyHandler handler(const std::shared_ptr<Outcome>& self) {
        return [self](std::shared_ptr<Reply> reply) {
            {
                std::lock_guard<std::mutex> lock(self->mutex);
                self->status = reply->getStatus();
                if (auto m = reply->getMessage()) self->payload = m->getPayload();
                self->ended = true;
                ++self->calls;
            }
            self->done.notify_all();
        };
    }
    bool wait() {
        std::unique_lock<std::mutex> lock(mutex);
        return done.wait_for(lock, kBound, [&] { return ended; });
    }
};

std::atomic<int> gTestNumber{0};

// One bus handle and client per test; every peer started is ended in TearDown.
class BusAcrossProcesses : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(gBroker->table, nullptr);
        tag = L"t" + std::to_wstring(++gTestNumber);
        ASSERT_EQ(gBroker->table->open(&handle), 0u);
        bus = std::make_shared<MessageBusClient>(
            std::make_shared<MessageBusShimImpl>(handle, gBroker->table));
        for (const wchar_t* what : {L"Ready", L"Got", L"Unsubscribed", L"Answered"}) {
            ASSERT_EQ(bus->subscribe(Announcement(what), announcements.handler()), 0u);
        }
    }
    void TearDown() override {
        peers.clear();
        bus.reset();
        if (handle != nullptr) gBroker->table->close(handle);
    }

    // "{T}" in text becomes this test's tag.
    std::wstring Named(std::wstring text) const {
        for (auto at = text.find(L"{T}"); at != std::wstring::npos; at = text.find(L"{T}", at)) {
            text.replace(at, 3, tag);
        }
        return text;
    }
    std::wstring Announcement(const wchar_t* what) const { return L"Vt.Peer." + tag + L"." + what; }
    Inbox::Item Got(const std::wstring& name, const std::wstring& payload) const {
        return {Announcement(L"Got"), name + L"|" + payload};
    }

    // Returns once the broker holds this process's subscriptions made so far:
    // it answers a request's question only after the frames sent before it.
    void SubscriptionsKnownToBroker() {
        std::shared_ptr<Reply> reply;
        ASSERT_EQ(bus->request(Message::create(L"Vt.Cross.Nobody." + tag, L"", L"{}"), reply, 1000),
                  MODULE_STATUS_NO_SUBSCRIBERS);
    }

    // Starts a peer with arguments and waits until it is subscribed.
    void StartPeer(const std::wstring& arguments) {
        ASSERT_NO_FATAL_FAILURE(SubscriptionsKnownToBroker());
        peers.push_back(OwnedProcess::Start(
            WinePath(VT_BUS_PEER_EXE), L"--tag " + tag + L" --watch " + kSuffix + L" " + arguments));
        ASSERT_TRUE(peers.back()) << "BusPeer.exe not started";
        ASSERT_TRUE(announcements.waitFor({Announcement(L"Ready"), L""})) << "the peer never got ready";
    }

    std::uint32_t Publish(const std::wstring& name, const std::wstring& payload) {
        return bus->publish(Message::create(name, L"", payload));
    }

    std::wstring tag;
    Inbox announcements;  // of the peers
    Inbox received;       // of a test's own subscription
    MessageBusHandle handle = nullptr;
    std::shared_ptr<MessageBusClient> bus;
    std::deque<OwnedProcess> peers;
};

// ---- publish ----

enum class Direction { ToPeer, FromPeer };

struct PublishCase {
    const char* label;
    Direction direction;
    bool expression;             // subscribed by expression, else by name
    std::wstring subscription;   // "{T}" is the test's tag
    // Published in this order, each with its own payload; whether it arrives.
    // The last one arrives.
    std::vector<std::pair<std::wstring, bool>> published;
};

class PublishAcross : public BusAcrossProcesses, public ::testing::WithParamInterface<PublishCase> {};
void PrintTo(const PublishCase& c, std::ostream* os) { *os << c.label; }

TEST_P(PublishAcross, ReachesExactlyTheMatchingSubscriptionInTheOtherProcess) {
    const PublishCase& c = GetParam();
    ASSERT_TRUE(c.published.back().second);
    const std::wstring subscription = Named(c.subscription);
    std::vector<Inbox::Item> sent, expected;
    for (std::size_t i = 0; i < c.published.size(); ++i) {
        sent.push_back({Named(c.published[i].first), L"n" + std::to_wstring(i)});
        if (c.published[i].second) expected.push_back(sent.back());
    }

    if (c.direction == Direction::ToPeer) {
        ASSERT_NO_FATAL_FAILURE(StartPeer((c.expression ? L"--expression " : L"--name ") + subscription));
        for (const Inbox::Item& m : sent) ASSERT_EQ(Publish(m.name, m.payload), 0u);
        std::vector<Inbox::Item> got;
        for (const Inbox::Item& e : expected) got.push_back(Got(e.name, e.payload));
        ASSERT_TRUE(announcements.waitFor(got.back()));
        EXPECT_EQ(announcements.of(Announcement(L"Got")), got);
    } else {
        ASSERT_EQ(c.expression ? bus->subscribeFilter(subscription, received.handler())
                               : bus->subscribe(subscription, received.handler()),
                  0u);
        std::wstring arguments;
        for (const Inbox::Item& m : sent) arguments += L" --publish " + m.name + L" " + m.payload;
        ASSERT_NO_FATAL_FAILURE(StartPeer(arguments));
        ASSERT_TRUE(received.waitFor(expected.back()));
        EXPECT_EQ(received.all(), expected);
    }
}

const std::vector<std::pair<std::wstring, bool>> kByName = {
    {L"Vt.Cross.{T}.Hello.Response", false}, {L"Vt.Cross.{T}.hello", false}, {L"Vt.Cross.{T}.Hello", true},
    {L"Vt.Cross.{T}.Other", false},          {L"Vt.Cross.{T}.Hello", true}};
const std::wstring kAlertExpression = LR"(Vt\.Cross\.{T}\.Alert\.[0-9]+)";
const std::vector<std::pair<std::wstring, bool>> kByExpression = {
    {L"Vt.Cross.{T}.Alert.7.Response", false}, {L"Vt.Cross.{T}.Alert.x", false},
    {L"Vt.Cross.{T}.Alert.12", true},          {L"Vt.Cross.{T}.Alert.", false},
    {L"Vt.Cross.{T}.Alert.3", true}};

INSTANTIATE_TEST_SUITE_P(
    Cases, PublishAcross,
    ::testing::Values(
        PublishCase{"ToPeerByName", Direction::ToPeer, false, L"Vt.Cross.{T}.Hello", kByName},
        PublishCase{"ToPeerByExpression", Direction::ToPeer, true, kAlertExpression, kByExpression},
        PublishCase{"FromPeerByName", Direction::FromPeer, false, L"Vt.Cross.{T}.Hello", kByName},
        PublishCase{"FromPeerByExpression", Direction::FromPeer, true, kAlertExpression, kByExpression}),
    [](const ::testing::TestParamInfo<PublishCase>& info) { return std::string(info.param.label); });

TEST_F(BusAcrossProcesses, LargePayloadCrossesBothWaysIntact) {
    const std::wstring name = Named(L"Vt.Cross.{T}.Large");
    std::wstring payload(300000, L' ');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<wchar_t>(0x20 + i % 0xD7E0);
    ASSERT_NO_FATAL_FAILURE(StartPeer(L"--name " + name));
    ASSERT_EQ(Publish(name, payload), 0u);
    EXPECT_TRUE(announcements.waitFor(Got(name, payload)));
}

// ---- after the peer unsubscribed ----

struct UnsubscribeCase {
    const char* label;
    bool expression;
    std::wstring subscription;
    std::wstring name;  // a name the subscription matches
};

class UnsubscribedAcross : public BusAcrossProcesses,
                           public ::testing::WithParamInterface<UnsubscribeCase> {};
void PrintTo(const UnsubscribeCase& c, std::ostream* os) { *os << c.label; }

TEST_P(UnsubscribedAcross, NameIsNotDeliveredAndARequestHasNoSubscribers) {
    const UnsubscribeCase& c = GetParam();
    const std::wstring subscription = Named(c.subscription);
    const std::wstring name = Named(c.name);
    const std::wstring marker = Named(L"Vt.Cross.{T}.Marker");
    const std::wstring drop = Named(L"Vt.Cross.{T}.Drop");
    ASSERT_NO_FATAL_FAILURE(StartPeer((c.expression ? L"--expression " : L"--name ") + subscription +
                                      L" --name " + marker + L" --unsubscribe-on " + drop));

    ASSERT_EQ(Publish(name, L"before"), 0u);
    ASSERT_TRUE(announcements.waitFor(Got(name, L"before")));
    ASSERT_EQ(Publish(drop, subscription), 0u);
    ASSERT_TRUE(announcements.waitFor({Announcement(L"Unsubscribed"), subscription}));

    ASSERT_EQ(Publish(name, L"after"), 0u);
    std::shared_ptr<Reply> reply;
    EXPECT_EQ(bus->request(Message::create(name, L"", L"ask"), reply, 30000), MODULE_STATUS_NO_SUBSCRIBERS);
    EXPECT_EQ(reply, nullptr);
    ASSERT_EQ(Publish(marker, L"last"), 0u);
    ASSERT_TRUE(announcements.waitFor(Got(marker, L"last")));
    EXPECT_EQ(announcements.of(Announcement(L"Got")),
              (std::vector<Inbox::Item>{Got(name, L"before"), Got(marker, L"last")}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnsubscribedAcross,
    ::testing::Values(UnsubscribeCase{"ByName", false, L"Vt.Cross.{T}.Hello", L"Vt.Cross.{T}.Hello"},
                      UnsubscribeCase{"ByExpression", true, LR"(Vt\.Cross\.{T}\.Alert\..*)",
                                      L"Vt.Cross.{T}.Alert.5"}),
    [](const ::testing::TestParamInfo<UnsubscribeCase>& info) { return std::string(info.param.label); });

// ---- request and reply ----

struct RequestCase {
    const char* label;
    const wchar_t* onRequest;  // the peer's --on-request
    bool expression;
    bool replyObject;          // the client's Reply form, else its callback form
    std::uint64_t timeoutMs;
    ReplyStatus status;
};

class RequestAcross : public BusAcrossProcesses, public ::testing::WithParamInterface<RequestCase> {};
void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.label; }

TEST_P(RequestAcross, EndsWithTheReplyOrTheTimeOut) {
    const RequestCase& c = GetParam();
    const std::wstring name = Named(L"Vt.Cross.{T}.Ask.1");
    const std::wstring subscription =
        c.expression ? Named(LR"(--expression Vt\.Cross\.{T}\.Ask\.[0-9])") : L"--name " + name;
    ASSERT_NO_FATAL_FAILURE(StartPeer(std::wstring(L"--on-request ") + c.onRequest + L" " + subscription));

    ReplyStatus status = REPLY_STATUS_PENDING;
    std::wstring payload, replyName;
    if (c.replyObject) {
        std::shared_ptr<Reply> reply;
        ASSERT_EQ(bus->request(Message::create(name, L"", L"question"), reply, c.timeoutMs), 0u);
        ASSERT_NE(reply, nullptr);
        status = reply->wait();
        if (auto m = reply->getMessage()) {
            payload = m->getPayload();
            replyName = m->getName();
        }
    } else {
        auto outcome = std::make_shared<Outcome>();
        ASSERT_EQ(
            bus->request(Message::create(name, L"", L"question"), outcome->handler(outcome), c.timeoutMs),
            0u);
        ASSERT_TRUE(outcome->wait()) << "the request never ended";
        std::lock_guard<std::mutex> lock(outcome->mutex);
        EXPECT_EQ(outcome->calls, 1);
        status = outcome->status;
        payload = outcome->payload;
    }
    EXPECT_EQ(status, c.status);
    EXPECT_TRUE(announcements.waitFor(Got(name, L"question")));
    if (c.status == REPLY_STATUS_RECEIVED) {
        EXPECT_EQ(payload, L"re:question");
        if (c.replyObject) {
            EXPECT_EQ(replyName, Announcement(L"Reply"));
        }
    } else {
        EXPECT_EQ(payload, L"");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RequestAcross,
    ::testing::Values(
        RequestCase{"ReplyObjectByName", L"reply", false, true, 60000, REPLY_STATUS_RECEIVED},
        RequestCase{"ReplyHandlerByExpression", L"reply", true, false, 60000, REPLY_STATUS_RECEIVED},
        RequestCase{"SilentPeerReplyObject", L"silent", false, true, 1500, REPLY_STATUS_TIMED_OUT},
        RequestCase{"SilentPeerReplyHandler", L"silent", true, false, 1500, REPLY_STATUS_TIMED_OUT}),
    [](const ::testing::TestParamInfo<RequestCase>& info) { return std::string(info.param.label); });

// The other way: the peer asks, a subscription here answers.
TEST_F(BusAcrossProcesses, PeerRequestGetsTheReplyMadeHereOrNoSubscribers) {
    const std::wstring service = Named(L"Vt.Cross.{T}.Service");
    MessageBusClient* self = bus.get();
    ASSERT_EQ(bus->subscribe(service, [self](MessagePtr m) {
        return self->publish(m->createReply(m->getName() + L".Answer", L"", L"re:" + m->getPayload()));
    }), 0u);
    ASSERT_NO_FATAL_FAILURE(StartPeer(L"--request " + service + L" q1 --request " +
                                      Named(L"Vt.Cross.{T}.Nobody") + L" q2"));
    const Inbox::Item noSubscribers = {Announcement(L"Answered"),
                                       L"bus " + std::to_wstring(MODULE_STATUS_NO_SUBSCRIBERS) + L"|"};
    ASSERT_TRUE(announcements.waitFor(noSubscribers));
    EXPECT_EQ(announcements.of(Announcement(L"Answered")),
              (std::vector<Inbox::Item>{
                  {Announcement(L"Answered"), std::to_wstring(REPLY_STATUS_RECEIVED) + L"|re:q1"},
                  noSubscribers}));
}

// ---- the peer goes while a request to it is outstanding ----

enum class Goes { ExitsOnTheRequest, ClosesItsHandleOnTheRequest, IsEndedAfterGettingTheRequest };

struct GoneCase {
    const char* label;
    Goes goes;
};

class PeerGoneAcross : public BusAcrossProcesses, public ::testing::WithParamInterface<GoneCase> {};
void PrintTo(const GoneCase& c, std::ostream* os) { *os << c.label; }

TEST_P(PeerGoneAcross, OutstandingRequestEndsUnanswered) {
    const GoneCase& c = GetParam();
    const std::wstring name = Named(L"Vt.Cross.{T}.Ask");
    const wchar_t* mode = c.goes == Goes::ExitsOnTheRequest             ? L"exit"
                          : c.goes == Goes::ClosesItsHandleOnTheRequest ? L"close"
                                                                        : L"silent";
    ASSERT_NO_FATAL_FAILURE(StartPeer(std::wstring(L"--on-request ") + mode + L" --name " + name));
    OwnedProcess& peer = peers.back();

    auto outcome = std::make_shared<Outcome>();
    ASSERT_EQ(bus->request(Message::create(name, L"", L"question"), outcome->handler(outcome), 5000), 0u);
    ASSERT_TRUE(announcements.waitFor(Got(name, L"question")));
    if (c.goes == Goes::ExitsOnTheRequest) {
        EXPECT_TRUE(peer.ended(kBoundMs)) << "the peer did not exit";
    } else if (c.goes == Goes::IsEndedAfterGettingTheRequest) {
        peer.reset();
    }
    ASSERT_TRUE(outcome->wait()) << "the request never ended";
    std::lock_guard<std::mutex> lock(outcome->mutex);
    EXPECT_EQ(outcome->calls, 1);
    EXPECT_TRUE(outcome->status == REPLY_STATUS_TIMED_OUT || outcome->status == REPLY_STATUS_FAILED)
        << outcome->status;
    EXPECT_EQ(outcome->payload, L"");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PeerGoneAcross,
    ::testing::Values(GoneCase{"ExitsOnTheRequest", Goes::ExitsOnTheRequest},
                      GoneCase{"ClosesItsHandleOnTheRequest", Goes::ClosesItsHandleOnTheRequest},
                      GoneCase{"IsEndedAfterGettingTheRequest", Goes::IsEndedAfterGettingTheRequest}),
    [](const ::testing::TestParamInfo<GoneCase>& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace Tessil
