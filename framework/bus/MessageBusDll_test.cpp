// End-to-end: the bus client over the real "MessageBus.dll" neighbour, loaded
// with LoadLibraryW, CreateObject(2001000) and open.
#include "framework/bus/MessageBusClient.h"
#include "framework/bus/MessageBusShimImpl.h"
#include "framework/bus/testing/FakeMessageBusShim.h"
#include "framework/message/ModuleStatus.h"
#include "neighbours/MessageBus/MessageBusScript.h"
#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace Tessil {
namespace {

using namespace std::chrono_literals;
using ETWLogging::testing::ScopedCapturingLogger;

struct Dll {
    HMODULE module = nullptr;
    void* (*createObject)(std::uint32_t) = nullptr;
    std::uint32_t (*getVersionNum)() = nullptr;
    const char* (*getVersionStr)() = nullptr;
    void (*releaseObject)(void*) = nullptr;
    template <typename T>
    T get(const char* name) {
        return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }
    Dll() {
        module = LoadLibraryW(L"MessageBus.dll");
        if (module == nullptr) return;
        createObject = get<void* (*)(std::uint32_t)>("CreateObject");
        getVersionNum = get<std::uint32_t (*)()>("GetVersionNum");
        getVersionStr = get<const char* (*)()>("GetVersionStr");
        releaseObject = get<void (*)(void*)>("ReleaseObject");
    }
};

Dll& dll() {
    static Dll d;
    return d;
}

class BusDll : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(dll().module, nullptr) << "MessageBus.dll not found beside the test";
        dll().get<VtBusScript_Reset_t>("VtBusScript_Reset")();
        table = static_cast<const MessageBusFunctions*>(dll().createObject(MESSAGE_BUS_INTERFACE_VERSION));
        ASSERT_NE(table, nullptr);
    }
    void TearDown() override {
        clients.clear();
        for (MessageBusHandle h : handles) table->close(h);
        handles.clear();
        dll().get<VtBusScript_Reset_t>("VtBusScript_Reset")();
    }
    MessageBusHandle open() {
        MessageBusHandle h = nullptr;
        EXPECT_EQ(table->open(&h), 0u);
        handles.push_back(h);
        return h;
    }
    std::shared_ptr<MessageBusClient> client(std::uint32_t session = 0) {
        MessageBusHandle h = open();
        auto c = std::make_shared<MessageBusClient>(
            std::make_shared<MessageBusShimImpl>(h, table),
            std::make_shared<testing::FakeProcessAPI>(session));
        clients.push_back(c);
        return c;
    }
    bool waitIdle() { return dll().get<VtBusScript_WaitIdle_t>("VtBusScript_WaitIdle")(10000) == 1; }
    std::vector<std::wstring> journal() {
        auto count = dll().get<VtBusScript_JournalCount_t>("VtBusScript_JournalCount");
        auto entry = dll().get<VtBusScript_JournalEntry_t>("VtBusScript_JournalEntry");
        std::vector<std::wstring> out;
        for (std::uint32_t i = 0; i < count(); ++i) {
            wchar_t buf[512];
            entry(i, buf, 512);
            out.push_back(buf);
        }
        return out;
    }
    static MessagePtr msg(const std::wstring& name, const std::wstring& payload = L"{}") {
        return Message::create(name, L"tester", payload);
    }

    const MessageBusFunctions* table = nullptr;
    std::vector<MessageBusHandle> handles;
    std::vector<std::shared_ptr<MessageBusClient>> clients;
};

TEST_F(BusDll, StandardExports) {
    EXPECT_EQ(dll().createObject(MESSAGE_BUS_INTERFACE_VERSION), table);
    EXPECT_EQ(dll().createObject(2000000), nullptr);
    EXPECT_EQ(dll().getVersionNum(), 2001000u);
    EXPECT_STREQ(dll().getVersionStr(), "2.1.0");
    dll().releaseObject(nullptr);
    dll().get<VtBusScript_SetCreateObjectNull_t>("VtBusScript_SetCreateObjectNull")(1);
    EXPECT_EQ(dll().createObject(MESSAGE_BUS_INTERFACE_VERSION), nullptr);
}

TEST_F(BusDll, OpenFailuresAndUnknownHandles) {
    EXPECT_EQ(table->open(nullptr), MODULE_STATUS_INVALID_PARAMETER);
    dll().get<VtBusScript_SetOpenFailure_t>("VtBusScript_SetOpenFailure")(MODULE_STATUS_NOT_FOUND);
    MessageBusHandle h = nullptr;
    EXPECT_EQ(table->open(&h), MODULE_STATUS_NOT_FOUND);
    dll().get<VtBusScript_SetOpenFailure_t>("VtBusScript_SetOpenFailure")(0);
    MessageHeader hd;
    initHeader(&hd);
    void* bogus = reinterpret_cast<void*>(0x1234);
    EXPECT_NE(table->publish(bogus, &hd, L"n", L"s", L"p"), 0u);
    EXPECT_EQ(table->subscribe(bogus, nullptr, &SubscriptionCallback, L"n"), 0u);
    EXPECT_NE(table->close(bogus), 0u);
    EXPECT_NE(table->unregisterReplyCallback(bogus, &ReplyCallback), 0u);
    MessageBusHandle good = open();
    EXPECT_EQ(table->subscribeFilter(good, nullptr, &SubscriptionCallback, L"("), 0u);
    EXPECT_EQ(table->unregisterReplyCallback(good, &ReplyCallback), 0u);
    EXPECT_EQ(table->unregisterReplyCallback(good, &ReplyCallback), 0u);
}

TEST_F(BusDll, PublishReachesNameSubscriberOnAnotherThreadWithStampedHeader) {
    auto producer = client();
    auto consumer = client();
    std::promise<std::pair<MessagePtr, DWORD>> got;
    ASSERT_EQ(consumer->subscribe(L"Vt.Test.Hello", [&](MessagePtr m) {
        got.set_value({m, GetCurrentThreadId()});
        return 0u;
    }), 0u);
    ASSERT_EQ(producer->publish(msg(L"Vt.Test.Hello", L"payload")), 0u);
    auto f = got.get_future();
    ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
    auto [m, thread] = f.get();
    EXPECT_NE(thread, GetCurrentThreadId());
    EXPECT_EQ(m->getPayload(), L"payload");
    EXPECT_EQ(m->getSource(), L"tester");
    const MessageHeader* h = m->getHeader();
    EXPECT_EQ(h->version, 2);
    EXPECT_NE(h->sequence, 0u);
    EXPECT_FALSE(h->testFlag(MESSAGE_FLAG_REQUEST));
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    EXPECT_EQ(h->extension.senderSessionId, session);
    static const std::uint8_t zero[24] = {};
    EXPECT_NE(std::memcmp(h->senderAddress, zero, 24), 0);
}

TEST_F(BusDll, ExpressionSubscriptionsMatchTheWholeName) {
    auto producer = client();
    auto consumer = client();
    std::atomic<int> exact{0}, prefix{0};
    consumer->subscribeFilter(L"Vantrel\\.Alert\\.GetId", [&](MessagePtr) { ++exact; return 0u; });
    consumer->subscribeFilter(L"Vantrel\\.Alert\\.Show\\..+", [&](MessagePtr) { ++prefix; return 0u; });
    producer->publish(msg(L"Vantrel.Alert.GetId"));
    producer->publish(msg(L"Vantrel.Alert.GetId.Response"));
    producer->publish(msg(L"Vantrel.Alert.Show.12"));
    producer->publish(msg(L"Vantrel.Alert.Show."));
    producer->publish(msg(L"X.Vantrel.Alert.Show.12"));
    producer->publish(msg(L"X" + std::wstring(20000, L'y')));  // too long to match: no crash
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(exact.load(), 1);
    EXPECT_EQ(prefix.load(), 1);
}

TEST_F(BusDll, RequestAndReplyWithPlainCopy) {
    auto requester = client();
    auto responder = client();
    auto watcher = client();
    std::atomic<int> copies{0};
    std::atomic<bool> copyHadReplyFlag{false};
    responder->subscribe(L"Svc.Get", [&](MessagePtr m) {
        EXPECT_TRUE(m->getHeader()->testFlag(MESSAGE_FLAG_REQUEST));
        auto reply = m->createReply(L"Svc.Get.Response", L"svc", L"answer:" + m->getPayload());
        return responder->publish(reply);
    });
    watcher->subscribe(L"Svc.Get.Response", [&](MessagePtr m) {
        ++copies;
        copyHadReplyFlag = m->getHeader()->testFlag(MESSAGE_FLAG_REPLY);
        return 0u;
    });
    std::shared_ptr<Reply> reply;
    ASSERT_EQ(requester->request(msg(L"Svc.Get", L"q"), reply, 5000), 0u);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->wait(), REPLY_STATUS_RECEIVED);
    ASSERT_TRUE(reply->getMessage());
    EXPECT_EQ(reply->getMessage()->getName(), L"Svc.Get.Response");
    EXPECT_EQ(reply->getMessage()->getPayload(), L"answer:q");
    EXPECT_TRUE(reply->getMessage()->getHeader()->testFlag(MESSAGE_FLAG_REPLY));
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(copies.load(), 1);
    EXPECT_FALSE(copyHadReplyFlag.load());

    std::promise<ReplyStatus> viaCallback;
    ASSERT_EQ(requester->request(msg(L"Svc.Get", L"r"),
                                 [&](std::shared_ptr<Reply> r) { viaCallback.set_value(r->getStatus()); },
                                 5000), 0u);
    auto f = viaCallback.get_future();
    ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(f.get(), REPLY_STATUS_RECEIVED);
}

TEST_F(BusDll, RequestWithoutSubscriberFails) {
    ScopedCapturingLogger log;
    auto requester = client();
    std::shared_ptr<Reply> reply;
    EXPECT_EQ(requester->request(msg(L"Nobody.Listens"), reply, 100), MODULE_STATUS_NO_SUBSCRIBERS);
    EXPECT_FALSE(reply);
    EXPECT_TRUE(log->Contains(4, L"Failed to make request. Error code 2147483662."));
}

TEST_F(BusDll, RequestTimesOut) {
    auto requester = client();
    auto silent = client();
    silent->subscribe(L"Svc.Silent", [](MessagePtr) { return 0u; });
    std::shared_ptr<Reply> reply;
    ASSERT_EQ(requester->request(msg(L"Svc.Silent"), reply, 50), 0u);
    EXPECT_EQ(reply->wait(), REPLY_STATUS_TIMED_OUT);
}

TEST_F(BusDll, ScriptedTimeOutAtOnce) {
    dll().get<VtBusScript_SetRequestTimeoutAtOnce_t>("VtBusScript_SetRequestTimeoutAtOnce")(1);
    auto requester = client();
    auto responder = client();
    responder->subscribe(L"Svc.Get", [&](MessagePtr m) {
        return responder->publish(m->createReply(L"R", L"", L""));
    });
    std::shared_ptr<Reply> reply;
    ASSERT_EQ(requester->request(msg(L"Svc.Get"), reply, 600000), 0u);
    EXPECT_EQ(reply->wait(), REPLY_STATUS_TIMED_OUT);
}

TEST_F(BusDll, ReplyBeforeRequestReturns) {
    dll().get<VtBusScript_SetReplyBeforeRequestReturns_t>("VtBusScript_SetReplyBeforeRequestReturns")(1);
    auto requester = client();
    auto responder = client();
    responder->subscribe(L"Svc.Fast", [&](MessagePtr m) {
        return responder->publish(m->createReply(L"Svc.Fast.Response", L"", L"fast"));
    });
    std::shared_ptr<Reply> reply;
    ASSERT_EQ(requester->request(msg(L"Svc.Fast"), reply, ~0ull), 0u);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->waitFor(0), REPLY_STATUS_RECEIVED);
    EXPECT_EQ(reply->getMessage()->getPayload(), L"fast");
}

TEST_F(BusDll, HugeTimeOutDoesNotExpire) {
    auto requester = client();
    auto responder = client();
    responder->subscribe(L"Svc.Slow", [&](MessagePtr m) {
        std::this_thread::sleep_for(100ms);
        return responder->publish(m->createReply(L"Svc.Slow.Response", L"", L"slow"));
    });
    std::shared_ptr<Reply> reply;
    ASSERT_EQ(requester->request(msg(L"Svc.Slow"), reply, ~0ull), 0u);
    EXPECT_EQ(reply->wait(), REPLY_STATUS_RECEIVED);
}

TEST_F(BusDll, UnsubscribeStopsDeliveryAndWaitsForARunningCallback) {
    auto producer = client();
    auto consumer = client();
    std::atomic<int> calls{0};
    std::atomic<bool> inside{false}, finished{false};
    std::promise<void> entered;
    consumer->subscribe(L"Slow", [&](MessagePtr) {
        if (++calls == 1) {
            inside = true;
            entered.set_value();
            std::this_thread::sleep_for(200ms);
            finished = true;
        }
        return 0u;
    });
    producer->publish(msg(L"Slow"));
    ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_EQ(consumer->unsubscribe(L"Slow"), 0u);
    EXPECT_TRUE(finished.load());
    producer->publish(msg(L"Slow"));
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(BusDll, UnsubscribeAndReleaseFromInsideTheOwnHandler) {
    auto producer = client();
    auto consumer = std::make_shared<MessageBusClient>(
        std::make_shared<MessageBusShimImpl>(open(), table), std::make_shared<testing::FakeProcessAPI>(0));
    std::promise<void> done;
    auto sentinel = std::make_shared<int>(7);
    std::atomic<int> seen{0};
    consumer->subscribe(L"Self", [&, sentinel](MessagePtr) {
        consumer->unsubscribe(L"Self");
        seen = *sentinel;
        consumer.reset();  // the last owner goes on the delivery thread
        seen = seen + *sentinel;
        done.set_value();
        return 0u;
    });
    sentinel.reset();
    producer->publish(msg(L"Self"));
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(seen.load(), 14);
}

TEST_F(BusDll, ClientReleasedInsideItsOwnReplyHandler) {
    auto responder = client();
    responder->subscribe(L"Svc.Get", [&](MessagePtr m) {
        return responder->publish(m->createReply(L"Svc.Get.Response", L"", L""));
    });
    MessageBusHandle h = open();
    auto requester = std::make_shared<MessageBusClient>(
        std::make_shared<MessageBusShimImpl>(h, table), std::make_shared<testing::FakeProcessAPI>(0));
    std::weak_ptr<MessageBusClient> weak = requester;
    std::promise<ReplyStatus> done;
    ASSERT_EQ(requester->request(msg(L"Svc.Get"), [&](std::shared_ptr<Reply> r) {
        requester.reset();
        done.set_value(r->getStatus());
    }, 5000), 0u);
    auto f = done.get_future();
    ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(f.get(), REPLY_STATUS_RECEIVED);
    ASSERT_TRUE(waitIdle());
    EXPECT_TRUE(weak.expired());
}

// Clients sharing one handle, as the clients of successive version-2
// initialisations share the host's: one going leaves the other's replies.
TEST_F(BusDll, ClientsSharingAHandleKeepEachOthersReplies) {
    auto responder = client();
    std::mutex m;
    std::vector<MessagePtr> held;
    std::promise<void> bothHeld;
    responder->subscribe(L"Svc.Hold", [&](MessagePtr r) {
        std::lock_guard<std::mutex> lock(m);
        held.push_back(r);
        if (held.size() == 2) bothHeld.set_value();
        return 0u;
    });
    MessageBusHandle h = open();
    auto first = std::make_shared<MessageBusClient>(std::make_shared<MessageBusShimImpl>(h, table),
                                                    std::make_shared<testing::FakeProcessAPI>(0));
    auto second = std::make_shared<MessageBusClient>(std::make_shared<MessageBusShimImpl>(h, table),
                                                     std::make_shared<testing::FakeProcessAPI>(0));
    clients.push_back(second);
    std::shared_ptr<Reply> firstReply, secondReply;
    ASSERT_EQ(first->request(msg(L"Svc.Hold", L"first"), firstReply, 600000), 0u);
    ASSERT_EQ(second->request(msg(L"Svc.Hold", L"second"), secondReply, 600000), 0u);
    ASSERT_EQ(bothHeld.get_future().wait_for(10s), std::future_status::ready);
    first.reset();
    EXPECT_EQ(firstReply->waitFor(10000), REPLY_STATUS_FAILED);
    // The first client's late answer finds nobody; the second's arrives.
    for (const auto& r : held) {
        EXPECT_EQ(responder->publish(r->createReply(L"Svc.Hold.Response", L"", L"re:" + r->getPayload())), 0u);
    }
    ASSERT_EQ(secondReply->waitFor(10000), REPLY_STATUS_RECEIVED);
    EXPECT_EQ(secondReply->getMessage()->getPayload(), L"re:second");
    ASSERT_TRUE(waitIdle());
    // The last client of the handle unregisters the reply callback.
    const std::wstring unregister =
        L"unregisterReplyCallback " + std::to_wstring(dll().get<VtBusScript_HandleId_t>("VtBusScript_HandleId")(h));
    auto count = [&] {
        int n = 0;
        for (const auto& line : journal()) n += line == unregister;
        return n;
    };
    EXPECT_EQ(count(), 0);
    clients.pop_back();
    second.reset();
    EXPECT_GE(count(), 1);
}

TEST_F(BusDll, AReplyWhoseFirstPublishFailedSendsItsPlainCopyOnRetry) {
    auto requester = client();
    auto responder = client();
    auto watcher = client();
    std::atomic<int> copies{0};
    watcher->subscribe(L"Svc.Get.Response", [&](MessagePtr) { ++copies; return 0u; });
    std::promise<std::pair<std::uint32_t, std::uint32_t>> results;
    responder->subscribe(L"Svc.Get", [&](MessagePtr m) {
        auto reply = m->createReply(L"Svc.Get.Response", L"svc", L"answer");
        dll().get<VtBusScript_FailNthPublish_t>("VtBusScript_FailNthPublish")(1, MODULE_STATUS_UNSUCCESSFUL);
        const std::uint32_t firstTry = responder->publish(reply);
        results.set_value({firstTry, responder->publish(reply)});
        return 0u;
    });
    std::shared_ptr<Reply> reply;
    ASSERT_EQ(requester->request(msg(L"Svc.Get"), reply, 5000), 0u);
    EXPECT_EQ(reply->wait(), REPLY_STATUS_RECEIVED);
    auto f = results.get_future();
    ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(f.get(), std::make_pair(MODULE_STATUS_UNSUCCESSFUL, MODULE_STATUS_SUCCESS));
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(copies.load(), 1);
}

TEST_F(BusDll, DeliveriesOfOneHandleArriveInOrder) {
    auto producer = client();
    auto consumer = client();
    std::vector<int> order;
    std::mutex m;
    consumer->subscribeFilter(L"Order\\..*", [&](MessagePtr msg) {
        std::lock_guard<std::mutex> lock(m);
        order.push_back(std::stoi(msg->getPayload()));
        return 0u;
    });
    for (int i = 0; i < 200; ++i) producer->publish(msg(L"Order.X", std::to_wstring(i)));
    ASSERT_TRUE(waitIdle());
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(order[i], i);
}

TEST_F(BusDll, ConcurrentRequestsPublishesAndSubscriptionChurn) {
    auto requester = client();
    auto responder = client();
    auto churner = client();
    std::atomic<int> stable{0};
    responder->subscribe(L"Echo", [&](MessagePtr m) {
        return responder->publish(m->createReply(L"Echo.Response", L"", m->getPayload()));
    });
    responder->subscribe(L"Count", [&](MessagePtr) { ++stable; return 0u; });
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop) {
            churner->subscribe(L"Count", L"churn", [](MessagePtr) { return 0u; });
            churner->unsubscribe(L"churn");
        }
    });
    std::atomic<int> mismatches{0}, failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                const std::wstring payload = std::to_wstring(t * 1000 + i);
                std::shared_ptr<Reply> r;
                if (requester->request(msg(L"Echo", payload), r, 10000) != 0 || r->wait() != 0) {
                    ++failures;
                    continue;
                }
                if (r->getMessage()->getPayload() != payload) ++mismatches;
                requester->publish(msg(L"Count"));
            }
        });
    }
    for (auto& w : workers) w.join();
    stop = true;
    churn.join();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(stable.load(), 400);
}

TEST_F(BusDll, SessionFilterWithInjectedHeaders) {
    auto consumer = client(1);
    ASSERT_EQ(consumer->sessionId(), 1u);
    std::atomic<int> calls{0};
    consumer->subscribeSession(L"Sess", [&](MessagePtr) { ++calls; return 0u; });
    auto inject = dll().get<VtBusScript_InjectWithSession_t>("VtBusScript_InjectWithSession");
    auto raw = dll().get<VtBusScript_InjectRawHeader_t>("VtBusScript_InjectRawHeader");
    EXPECT_EQ(inject(L"Sess", L"s", L"", 0), 0u);
    EXPECT_EQ(inject(L"Sess", L"s", L"", 1), 0u);
    EXPECT_EQ(inject(L"Sess", L"s", L"", 2), 0u);
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(calls.load(), 2);
    MessageHeader v1;
    initHeader(&v1);
    v1.version = 1;
    v1.extension.senderSessionId = 2;  // beyond the 100 bytes: not read
    EXPECT_EQ(raw(&v1, 100, L"Sess", L"s", L""), 0u);
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(calls.load(), 3);
}

TEST_F(BusDll, ScriptedFailuresAndJournal) {
    ScopedCapturingLogger log;
    auto c = client();
    const std::uint32_t id = dll().get<VtBusScript_HandleId_t>("VtBusScript_HandleId")(handles.back());
    dll().get<VtBusScript_FailNthPublish_t>("VtBusScript_FailNthPublish")(2, MODULE_STATUS_UNSUCCESSFUL);
    EXPECT_EQ(c->publish(msg(L"P1")), 0u);
    EXPECT_EQ(c->publish(msg(L"P2")), MODULE_STATUS_UNSUCCESSFUL);
    EXPECT_EQ(c->publish(msg(L"P3")), 0u);
    EXPECT_TRUE(log->Contains(4, L"Failed to publish message. Error code 2147483650."));
    dll().get<VtBusScript_SetSubscribeRefuse_t>("VtBusScript_SetSubscribeRefuse")(1);
    EXPECT_EQ(c->subscribe(L"N", [](MessagePtr) { return 0u; }), MODULE_STATUS_UNSUCCESSFUL);
    dll().get<VtBusScript_SetSubscribeRefuse_t>("VtBusScript_SetSubscribeRefuse")(0);
    EXPECT_EQ(c->subscribe(L"N", [](MessagePtr) { return 0u; }), 0u);
    dll().get<VtBusScript_FailNthRequest_t>("VtBusScript_FailNthRequest")(1, MODULE_STATUS_DATA_ERROR);
    std::shared_ptr<Reply> r;
    EXPECT_EQ(c->request(msg(L"N"), r, 10), MODULE_STATUS_DATA_ERROR);
    EXPECT_EQ(c->unsubscribe(L"N"), 0u);
    const std::wstring h = std::to_wstring(id);
    std::vector<std::wstring> expected = {
        L"publish " + h + L" P1", L"publish " + h + L" P2", L"publish " + h + L" P3",
        L"subscribe " + h + L" N refused", L"subscribe " + h + L" N id=",
        L"request " + h + L" N index=0 timeout=10", L"unsubscribe " + h + L" id="};
    auto j = journal();
    std::size_t at = 0;
    for (const auto& line : j) {
        if (at < expected.size() && line.rfind(expected[at], 0) == 0) ++at;
    }
    EXPECT_EQ(at, expected.size());
}

TEST_F(BusDll, DestroyingClientWithOutstandingRequestFailsItQuickly) {
    auto requester = client();
    auto silent = client();
    silent->subscribe(L"Svc.Silent", [](MessagePtr) { return 0u; });
    std::shared_ptr<Reply> reply;
    ASSERT_EQ(requester->request(msg(L"Svc.Silent"), reply, 600000), 0u);
    clients.erase(clients.begin());
    requester.reset();
    // Failed long before its ten minutes are up.
    EXPECT_EQ(reply->waitFor(30000), REPLY_STATUS_FAILED);
}

TEST_F(BusDll, DestroyingClientOnAnotherThreadWaitsForItsRunningReplyHandler) {
    auto responder = client();
    std::promise<MessagePtr> held;
    responder->subscribe(L"Svc.Hold", [&](MessagePtr m) {
        held.set_value(m);  // answered only after the requester is gone
        return 0u;
    });
    responder->subscribe(L"Svc.Get", [&](MessagePtr m) {
        return responder->publish(m->createReply(L"Svc.Get.Response", L"", L"got"));
    });
    MessageBusHandle h = open();
    const std::uint32_t id = dll().get<VtBusScript_HandleId_t>("VtBusScript_HandleId")(h);
    auto requester = std::make_shared<MessageBusClient>(
        std::make_shared<MessageBusShimImpl>(h, table), std::make_shared<testing::FakeProcessAPI>(0));

    std::atomic<int> heldCalls{0};
    ASSERT_EQ(requester->request(msg(L"Svc.Hold"), [&](std::shared_ptr<Reply>) { ++heldCalls; }, 600000), 0u);
    auto heldFuture = held.get_future();
    ASSERT_EQ(heldFuture.wait_for(10s), std::future_status::ready);

    std::promise<void> entered, destroying;
    std::shared_future<void> destroyingFuture = destroying.get_future().share();
    std::atomic<bool> destroyed{false}, handlerReturned{false};
    std::atomic<bool> sawWaitingDestructor{false}, aliveInside{false};
    std::atomic<int> calls{0};
    std::promise<ReplyStatus> handled;
    ASSERT_EQ(requester->request(msg(L"Svc.Get"), [&](std::shared_ptr<Reply> r) {
        ++calls;
        entered.set_value();
        if (destroyingFuture.wait_for(10s) == std::future_status::ready) {
            // The destructor has reached the bus and waits there for this handler.
            const std::wstring waiting = L"unregisterReplyCallback " + std::to_wstring(id);
            const auto until = std::chrono::steady_clock::now() + 10s;
            while (!sawWaitingDestructor && std::chrono::steady_clock::now() < until) {
                for (const auto& line : journal()) {
                    sawWaitingDestructor = sawWaitingDestructor || line == waiting;
                }
                std::this_thread::yield();
            }
        }
        aliveInside = !destroyed;
        handled.set_value(r->getStatus());
        handlerReturned = true;
    }, 5000), 0u);

    std::atomic<bool> returnedBeforeDestroyed{false};
    std::thread destroyer([&] {
        if (entered.get_future().wait_for(10s) != std::future_status::ready) return;
        destroying.set_value();
        requester.reset();
        returnedBeforeDestroyed = handlerReturned.load();
        destroyed = true;
    });
    auto handledFuture = handled.get_future();
    ASSERT_EQ(handledFuture.wait_for(10s), std::future_status::ready);
    destroyer.join();
    EXPECT_EQ(handledFuture.get(), REPLY_STATUS_RECEIVED);
    EXPECT_TRUE(sawWaitingDestructor.load());
    EXPECT_TRUE(aliveInside.load());
    EXPECT_TRUE(destroyed.load());
    EXPECT_TRUE(returnedBeforeDestroyed.load());

    // The held request is answered now: nothing of the destroyed client runs.
    MessagePtr late = heldFuture.get();
    EXPECT_EQ(responder->publish(late->createReply(L"Svc.Hold.Response", L"", L"late")), 0u);
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(heldCalls.load(), 0);
}

TEST_F(BusDll, ReplyAfterTheTimeOutIsDroppedAndTheClientGoesOn) {
    ScopedCapturingLogger log;
    auto requester = client();
    const std::uint32_t id = dll().get<VtBusScript_HandleId_t>("VtBusScript_HandleId")(handles.back());
    auto responder = client();
    const std::uint32_t responderId =
        dll().get<VtBusScript_HandleId_t>("VtBusScript_HandleId")(handles.back());
    std::promise<void> timedOut;
    std::shared_future<void> timedOutFuture = timedOut.get_future().share();
    std::promise<std::uint32_t> lateSent;
    std::atomic<int> requests{0};
    responder->subscribe(L"Svc.Late", [&, timedOutFuture](MessagePtr m) {
        if (++requests == 1) {
            // Answers only once the requester has seen its request time out.
            if (timedOutFuture.wait_for(10s) != std::future_status::ready) return 0u;
            lateSent.set_value(responder->publish(m->createReply(L"Svc.Late.Response", L"", L"late")));
            return 0u;
        }
        return responder->publish(m->createReply(L"Svc.Late.Response", L"", L"again:" + m->getPayload()));
    });
    std::shared_ptr<Reply> reply;
    ASSERT_EQ(requester->request(msg(L"Svc.Late", L"first"), reply, 50), 0u);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->wait(), REPLY_STATUS_TIMED_OUT);
    timedOut.set_value();
    auto sent = lateSent.get_future();
    ASSERT_EQ(sent.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(sent.get(), 0u);
    ASSERT_TRUE(waitIdle());

    EXPECT_EQ(reply->getStatus(), REPLY_STATUS_TIMED_OUT);
    EXPECT_EQ(reply->waitFor(0), REPLY_STATUS_TIMED_OUT);
    EXPECT_EQ(reply->wait(), REPLY_STATUS_TIMED_OUT);
    EXPECT_FALSE(reply->getMessage());
    // The bus no longer knows the request, so the late reply never reaches the client.
    const std::wstring notFound = L"Reply index not found. Returning";
    EXPECT_EQ(log->Count(2, notFound), 0u);
    const std::wstring h = std::to_wstring(id);
    const std::wstring requestLine = L"request " + h + L" Svc.Late index=";
    std::wstring sentRequest;
    bool replyPublished = false;
    for (const auto& line : journal()) {
        if (sentRequest.empty() && line.rfind(requestLine, 0) == 0) sentRequest = line;
        replyPublished = replyPublished ||
                         line == L"publish " + std::to_wstring(responderId) + L" Svc.Late.Response reply";
    }
    ASSERT_FALSE(sentRequest.empty());
    EXPECT_TRUE(replyPublished);

    // Had it come through, the client drops an index it no longer waits for.
    const std::uint64_t index = std::stoull(sentRequest.substr(requestLine.size()));
    EXPECT_EQ(requester->replyCallback(index, msg(L"Svc.Late.Response", L"late"), MODULE_STATUS_SUCCESS),
              MODULE_STATUS_NOT_FOUND);
    EXPECT_EQ(log->Count(2, notFound), 1u);
    bool named = false;
    for (const auto& r : log->Records()) {
        named = named || (r.text == notFound && r.function == L"Tessil::MessageBusClient::replyCallback" &&
                          r.file == L"MessageBusClient");
    }
    EXPECT_TRUE(named);
    EXPECT_EQ(reply->getStatus(), REPLY_STATUS_TIMED_OUT);

    // The same client goes on with its next request.
    std::shared_ptr<Reply> next;
    ASSERT_EQ(requester->request(msg(L"Svc.Late", L"second"), next, 5000), 0u);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->wait(), REPLY_STATUS_RECEIVED);
    ASSERT_TRUE(next->getMessage());
    EXPECT_EQ(next->getMessage()->getPayload(), L"again:second");
    EXPECT_EQ(reply->getStatus(), REPLY_STATUS_TIMED_OUT);
}

}  // namespace
}  // namespace Tessil
