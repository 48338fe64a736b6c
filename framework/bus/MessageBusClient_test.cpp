#include "framework/bus/MessageBusClient.h"

#include "framework/bus/MessageBusShimImpl.h"
#include "framework/bus/testing/FakeMessageBusShim.h"
#include "framework/message/ModuleException.h"
#include "framework/message/ModuleStatus.h"
#include "framework/message/testing/MessageTesting.h"
#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

namespace Tessil {
namespace {

using ETWLogging::testing::ScopedCapturingLogger;
using testing::FakeMessageBusShim;
using testing::FakeProcessAPI;

struct Fixture : ::testing::Test {
    std::shared_ptr<FakeMessageBusShim> shim = std::make_shared<FakeMessageBusShim>();
    std::shared_ptr<MessageBusClient> client =
        std::make_shared<MessageBusClient>(shim, std::make_shared<FakeProcessAPI>(0));
    static MessagePtr msg(const std::wstring& name = L"A.B") {
        return Message::create(name, L"tester", L"{}");
    }
};

bool hasRecord(ETWLogging::testing::CapturingLogger& log, ETWLogging::LogLevel level,
               const std::wstring& text, const std::wstring& function) {
    for (const auto& r : log.Records()) {
        if (r.level == level && r.text.find(text) != std::wstring::npos &&
            r.file == L"MessageBusClient" && r.function == function) {
            return true;
        }
    }
    return false;
}

using ClientTest = Fixture;

TEST_F(ClientTest, ReplyIndicesStartAtZeroAlsoAfterARefusedRequest) {
    shim->requestResults = {MODULE_STATUS_NO_SUBSCRIBERS, 0, 0};
    std::shared_ptr<Reply> r1, r2, r3;
    EXPECT_EQ(client->request(msg(), r1, 100), MODULE_STATUS_NO_SUBSCRIBERS);
    EXPECT_FALSE(r1);
    EXPECT_EQ(client->request(msg(), r2, 100), 0u);
    EXPECT_EQ(client->requestEx(msg(), r3, 100), 0u);
    ASSERT_EQ(shim->requests.size(), 3u);
    EXPECT_EQ(shim->requests[0].index, 0u);
    EXPECT_EQ(shim->requests[1].index, 1u);
    EXPECT_EQ(shim->requests[2].index, 2u);
    EXPECT_FALSE(shim->requests[1].ex);
    EXPECT_TRUE(shim->requests[2].ex);
    EXPECT_EQ(shim->requests[1].timeoutMs, 100u);
    EXPECT_EQ(shim->requests[1].context, shim->requests[2].context);
}

TEST_F(ClientTest, FailedRequestLogsAndLeavesReplyUntouched) {
    ScopedCapturingLogger log;
    shim->requestResults = {MODULE_STATUS_UNSUCCESSFUL};
    std::shared_ptr<Reply> r;
    bool ran = false;
    EXPECT_EQ(client->request(msg(), [&](std::shared_ptr<Reply>) { ran = true; }, 10),
              MODULE_STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(hasRecord(*log, 4, L"Failed to make request. Error code 2147483650.",
                          L"Tessil::MessageBusClient::internalRequest"));
    // The entry was removed: a late reply for index 0 is not found.
    EXPECT_EQ(FakeMessageBusShim::reply(shim->requests[0], 0), MODULE_STATUS_NOT_FOUND);
    EXPECT_FALSE(ran);
}

TEST_F(ClientTest, EmptyMessageIsInvalidParameter) {
    std::shared_ptr<Reply> r;
    EXPECT_EQ(client->publish(nullptr), MODULE_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client->request(nullptr, r, 1), MODULE_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client->request(nullptr, ReplyHandler(), 1), MODULE_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(shim->published.empty());
    EXPECT_TRUE(shim->requests.empty());
}

TEST_F(ClientTest, ReplyBeforeRequestReturnsIsMatched) {
    shim->onRequest = [](const FakeMessageBusShim::Request& r) {
        EXPECT_EQ(FakeMessageBusShim::reply(r, 0, L"Early"), 0u);
    };
    std::shared_ptr<Reply> r;
    ASSERT_EQ(client->request(msg(), r, 5000), 0u);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->wait(), REPLY_STATUS_RECEIVED);
    ASSERT_TRUE(r->getMessage());
    EXPECT_EQ(r->getMessage()->getName(), L"Early");
    EXPECT_EQ(r->getMessage()->getHeader()->sequence, 77u);
}

TEST_F(ClientTest, BusStatusesGiveReplyStatuses) {
    std::shared_ptr<Reply> ok, timedOut, failed;
    client->request(msg(), ok, 100);
    client->request(msg(), timedOut, 100);
    client->request(msg(), failed, 100);
    EXPECT_EQ(FakeMessageBusShim::reply(shim->requests[0], 0), 0u);
    EXPECT_EQ(FakeMessageBusShim::reply(shim->requests[1], MODULE_STATUS_TIMEOUT), 0u);
    EXPECT_EQ(FakeMessageBusShim::reply(shim->requests[2], MODULE_STATUS_UNSUCCESSFUL), 0u);
    EXPECT_EQ(ok->wait(), REPLY_STATUS_RECEIVED);
    EXPECT_EQ(timedOut->wait(), REPLY_STATUS_TIMED_OUT);
    EXPECT_EQ(failed->wait(), REPLY_STATUS_FAILED);
    EXPECT_FALSE(timedOut->getMessage());
}

TEST_F(ClientTest, SecondReplyForAnIndexIsNotFound) {
    ScopedCapturingLogger log;
    std::shared_ptr<Reply> r;
    client->request(msg(), r, 100);
    EXPECT_EQ(FakeMessageBusShim::reply(shim->requests[0], 0), 0u);
    EXPECT_EQ(FakeMessageBusShim::reply(shim->requests[0], 0), MODULE_STATUS_NOT_FOUND);
    EXPECT_TRUE(hasRecord(*log, 2, L"Reply index not found. Returning",
                          L"Tessil::MessageBusClient::replyCallback"));
}

TEST_F(ClientTest, CallbackFormRunsHandlerOnceWithTheOutcome) {
    std::vector<std::pair<ReplyStatus, std::wstring>> seen;
    client->request(msg(), [&](std::shared_ptr<Reply> r) {
        seen.emplace_back(r->getStatus(), r->getMessage() ? r->getMessage()->getName() : L"");
    }, 100);
    client->request(msg(), [&](std::shared_ptr<Reply> r) {
        seen.emplace_back(r->getStatus(), L"");
    }, 100);
    FakeMessageBusShim::reply(shim->requests[0], 0, L"R0");
    FakeMessageBusShim::reply(shim->requests[1], MODULE_STATUS_TIMEOUT);
    FakeMessageBusShim::reply(shim->requests[0], 0, L"again");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].first, REPLY_STATUS_RECEIVED);
    EXPECT_EQ(seen[0].second, L"R0");
    EXPECT_EQ(seen[1].first, REPLY_STATUS_TIMED_OUT);
}

TEST_F(ClientTest, ThrowingReplyHandlerIsSwallowed) {
    client->request(msg(), [](std::shared_ptr<Reply>) { throw std::runtime_error("x"); }, 100);
    EXPECT_EQ(FakeMessageBusShim::reply(shim->requests[0], 0), 0u);
}

TEST_F(ClientTest, ReplyMessageThatCannotBeBuiltFails) {
    std::shared_ptr<Reply> r;
    client->request(msg(), r, 100);
    testing::failNextMessageCreations(1);
    EXPECT_EQ(FakeMessageBusShim::reply(shim->requests[0], 0), 0u);
    EXPECT_EQ(r->wait(), REPLY_STATUS_FAILED);
}

TEST_F(ClientTest, DestroyingClientWithOutstandingRequestFailsItQuickly) {
    std::shared_ptr<Reply> r;
    ASSERT_EQ(client->request(msg(), r, 60000), 0u);
    bool ran = false;
    client->request(msg(), [&](std::shared_ptr<Reply>) { ran = true; }, 60000);
    client.reset();
    EXPECT_EQ(shim->unregisterCount, 1);
    // Failed long before its minute is up.
    EXPECT_EQ(r->waitFor(30000), REPLY_STATUS_FAILED);
    EXPECT_FALSE(ran);
}

TEST_F(ClientTest, ClientReleasedFromInsideItsOwnReplyHandler) {
    std::weak_ptr<MessageBusClient> weak = client;
    client->request(msg(), [this](std::shared_ptr<Reply>) { client.reset(); }, 100);
    auto request = shim->requests[0];
    EXPECT_EQ(FakeMessageBusShim::reply(request, 0), 0u);
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(shim->unregisterCount, 1);
}

TEST_F(ClientTest, PublishingAReplyToARequestSendsAPlainCopy) {
    auto request = msg(L"Req");
    request->getHeader()->setFlag(MESSAGE_FLAG_REQUEST);
    request->getHeader()->sequence = 99;
    auto reply = request->createReply(L"Req.Response", L"me", L"{}");
    EXPECT_EQ(client->publish(reply), 0u);
    ASSERT_EQ(shim->published.size(), 2u);
    EXPECT_TRUE(shim->published[0].header.testFlag(MESSAGE_FLAG_REPLY));
    EXPECT_TRUE(shim->published[0].header.testFlag(MESSAGE_FLAG_PLAIN_COPY_SENT));
    EXPECT_EQ(shim->published[0].header.replyToSequence, 99u);
    EXPECT_FALSE(shim->published[1].header.testFlag(MESSAGE_FLAG_REPLY));
    EXPECT_EQ(shim->published[1].header.replyToSequence, 0u);
    const MessageHeader* h = reply->getHeader();
    EXPECT_FALSE(h->testFlag(MESSAGE_FLAG_REPLY));
    EXPECT_TRUE(h->testFlag(MESSAGE_FLAG_PLAIN_COPY_SENT));
    EXPECT_EQ(h->replyToSequence, 0u);
    EXPECT_EQ(client->publishEx(reply), 0u);
    ASSERT_EQ(shim->published.size(), 3u);
    EXPECT_TRUE(shim->published[2].ex);
}

TEST_F(ClientTest, ReplyWithNoPlainCopyIsPublishedOnce) {
    auto request = msg(L"Req");
    request->getHeader()->setFlag(MESSAGE_FLAG_REQUEST);
    request->getHeader()->sequence = 5;
    auto reply = request->createReply(L"Req.Response", L"me", L"{}");
    reply->getHeader()->setFlag(MESSAGE_FLAG_NO_PLAIN_COPY);
    const std::uint32_t flags = reply->getHeader()->flags;
    EXPECT_EQ(client->publish(reply), 0u);
    EXPECT_EQ(shim->published.size(), 1u);
    EXPECT_EQ(reply->getHeader()->flags, flags);
    EXPECT_EQ(reply->getHeader()->replyToSequence, 5u);
}

TEST_F(ClientTest, PlainMessageIsPublishedOnceUnchanged) {
    auto m = msg();
    EXPECT_EQ(client->publish(m), 0u);
    ASSERT_EQ(shim->published.size(), 1u);
    EXPECT_FALSE(shim->published[0].ex);
    EXPECT_EQ(m->getHeader()->flags, 0u);
}

TEST_F(ClientTest, PublishFailuresAndLogs) {
    ScopedCapturingLogger log;
    shim->publishResults = {MODULE_STATUS_UNSUCCESSFUL};
    auto request = msg(L"Req");
    request->getHeader()->setFlag(MESSAGE_FLAG_REQUEST);
    auto reply = request->createReply(L"R", L"me", L"");
    EXPECT_EQ(client->publish(reply), MODULE_STATUS_UNSUCCESSFUL);
    EXPECT_EQ(shim->published.size(), 1u);
    EXPECT_TRUE(hasRecord(*log, 4, L"Failed to publish message. Error code 2147483650.",
                          L"Tessil::MessageBusClient::internalPublish"));
    auto reply2 = request->createReply(L"R", L"me", L"");
    shim->publishResults = {0, MODULE_STATUS_NOT_FOUND};
    EXPECT_EQ(client->publish(reply2), 0u);
    EXPECT_EQ(shim->published.size(), 3u);
    EXPECT_TRUE(hasRecord(*log, 2,
                          L"Failed to publish non-reply copy of the message. Error code 2147483658.",
                          L"Tessil::MessageBusClient::internalPublish"));
}

TEST_F(ClientTest, AReplyWhoseFirstPublishFailedSendsItsPlainCopyOnRetry) {
    auto request = msg(L"Req");
    request->getHeader()->setFlag(MESSAGE_FLAG_REQUEST);
    request->getHeader()->sequence = 7;
    auto reply = request->createReply(L"R", L"me", L"");
    shim->publishResults = {MODULE_STATUS_UNSUCCESSFUL};
    EXPECT_EQ(client->publish(reply), MODULE_STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(reply->getHeader()->testFlag(MESSAGE_FLAG_PLAIN_COPY_SENT));
    EXPECT_TRUE(reply->getHeader()->testFlag(MESSAGE_FLAG_REPLY));
    EXPECT_EQ(client->publish(reply), 0u);
    ASSERT_EQ(shim->published.size(), 3u);
    EXPECT_TRUE(shim->published[1].header.testFlag(MESSAGE_FLAG_REPLY));
    EXPECT_EQ(shim->published[1].header.replyToSequence, 7u);
    EXPECT_FALSE(shim->published[2].header.testFlag(MESSAGE_FLAG_REPLY));
    EXPECT_TRUE(reply->getHeader()->testFlag(MESSAGE_FLAG_PLAIN_COPY_SENT));
}

TEST_F(ClientTest, OneUnsubscribeRemovesEverySubscriptionOfTheAliasOnce) {
    int calls = 0;
    EXPECT_EQ(client->subscribe(L"A.B", L"alias", [&](MessagePtr) { ++calls; return 0u; }), 0u);
    EXPECT_EQ(client->subscribeFilter(L"A\\..*", L"alias", [&](MessagePtr) { ++calls; return 0u; }), 0u);
    EXPECT_EQ(client->subscribe(L"Other", [&](MessagePtr) { return 0u; }), 0u);
    ASSERT_EQ(shim->subscriptions.size(), 3u);
    EXPECT_FALSE(shim->subscriptions[0].filter);
    EXPECT_TRUE(shim->subscriptions[1].filter);
    EXPECT_EQ(shim->subscriptions[1].text, L"A\\..*");
    EXPECT_EQ(client->unsubscribe(L"alias"), 0u);
    EXPECT_EQ(shim->unsubscribed, (std::vector<std::uint32_t>{1, 2}));
    ScopedCapturingLogger log;
    EXPECT_EQ(client->unsubscribe(L"alias"), 0u);
    EXPECT_EQ(shim->unsubscribed.size(), 2u);
    EXPECT_TRUE(hasRecord(*log, 2, L"Subscription not found. Alias: alias.",
                          L"Tessil::MessageBusClient::unsubscribe"));
    EXPECT_EQ(client->unsubscribe(L"Other"), 0u);
    EXPECT_EQ(shim->unsubscribed, (std::vector<std::uint32_t>{1, 2, 3}));
}

TEST_F(ClientTest, InvalidExpressionIsInvalidParameterWithoutAlias) {
    ScopedCapturingLogger log;
    EXPECT_EQ(client->subscribeFilter(L"(", [](MessagePtr) { return 0u; }),
              MODULE_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(shim->subscriptions.empty());
    bool found = false;
    for (const auto& r : log->Records()) {
        if (r.level == 4 && r.text.rfind(L"subscribeFilter failed. Regex error with regex \"(\" [caught: ", 0) == 0 &&
            r.function == L"Tessil::MessageBusClient::subscribeFilter") {
            found = true;
        }
    }
    EXPECT_TRUE(found);
    log->Clear();
    EXPECT_EQ(client->unsubscribe(L"("), 0u);
    EXPECT_TRUE(log->Contains(2, L"Subscription not found. Alias: (."));
}

TEST_F(ClientTest, RefusedSubscriptionsAreRemovedAliasKept) {
    ScopedCapturingLogger log;
    shim->refuse = true;
    EXPECT_EQ(client->subscribe(L"N", L"al", [](MessagePtr) { return 0u; }), MODULE_STATUS_UNSUCCESSFUL);
    EXPECT_EQ(client->subscribeFilter(L"N.*", L"al", [](MessagePtr) { return 0u; }), MODULE_STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(hasRecord(*log, 4, L"Failed to subscribe. Alias: al Message name: N",
                          L"Tessil::MessageBusClient::subscribe"));
    EXPECT_TRUE(hasRecord(*log, 4, L"Failed to subscribeFilter. Alias: al Message nameRegex: N.*",
                          L"Tessil::MessageBusClient::subscribeFilter"));
    log->Clear();
    EXPECT_EQ(client->unsubscribe(L"al"), 0u);
    EXPECT_FALSE(log->Contains(2, L"Subscription not found"));
    EXPECT_TRUE(shim->unsubscribed.empty());
}

TEST_F(ClientTest, BusDeliveryRunsHandlerWithReceivedHeader) {
    MessagePtr got;
    client->subscribe(L"A.B", [&](MessagePtr m) { got = m; return 7u; });
    MessageHeader h;
    initHeader(&h);
    h.sequence = 1234;
    h.totalSize = 999;
    EXPECT_EQ(shim->deliver(L"A.B", &h, L"A.B", L"sender", L"payload"), 7u);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->getSource(), L"sender");
    EXPECT_EQ(got->getPayload(), L"payload");
    EXPECT_EQ(got->getHeader()->sequence, 1234u);
    EXPECT_EQ(got->getHeader()->totalSize, 999u);
}

TEST_F(ClientTest, DeliveryFailuresBecomeUnknownException) {
    int calls = 0;
    client->subscribe(L"A", [&](MessagePtr) -> std::uint32_t { ++calls; throw std::runtime_error("x"); });
    MessageHeader h;
    initHeader(&h);
    EXPECT_EQ(shim->deliver(L"A", &h, L"A"), MODULE_STATUS_UNKNOWN_EXCEPTION);
    EXPECT_EQ(calls, 1);
    testing::failNextMessageCreations(1);
    EXPECT_EQ(shim->deliver(L"A", &h, L"A"), MODULE_STATUS_UNKNOWN_EXCEPTION);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(SubscriptionCallback(nullptr, &h, L"A", L"s", L"p"), MODULE_STATUS_UNKNOWN_EXCEPTION);
    HandlerCell empty{MessageHandler()};
    EXPECT_EQ(SubscriptionCallback(&empty, &h, L"A", L"s", L"p"), MODULE_STATUS_UNKNOWN_EXCEPTION);
    EXPECT_EQ(ReplyCallback(nullptr, 0, &h, L"A", L"s", L"p", 0), MODULE_STATUS_INVALID_PARAMETER);
}

TEST_F(ClientTest, UnsubscribingFromInsideTheOwnHandlerKeepsTheHandlerAlive) {
    auto sentinel = std::make_shared<int>(41);
    std::weak_ptr<int> watch = sentinel;
    bool aliveAfterUnsubscribe = false;
    client->subscribe(L"A", [this, sentinel, &aliveAfterUnsubscribe](MessagePtr) {
        client->unsubscribe(L"A");
        aliveAfterUnsubscribe = (*sentinel == 41);
        return 0u;
    });
    sentinel.reset();
    MessageHeader h;
    initHeader(&h);
    auto sub = shim->subscriptions[0];
    EXPECT_EQ(SubscriptionCallback(sub.context, &h, L"A", L"s", L"p"), 0u);
    EXPECT_TRUE(aliveAfterUnsubscribe);
    EXPECT_TRUE(watch.expired());
}

// The bus waits in unsubscribe for a running handler; that handler may use
// the client meanwhile, from the delivery thread.
TEST_F(ClientTest, AHandlerRunningDuringUnsubscribeMayUseTheClient) {
    client->subscribe(L"A", [](MessagePtr) { return 0u; });
    bool handlerFinished = false;
    shim->onUnsubscribe = [&](std::uint32_t) {
        shim->onUnsubscribe = nullptr;  // once
        auto done = std::make_shared<std::promise<void>>();
        std::thread([this, done] {
            client->subscribe(L"B", [](MessagePtr) { return 0u; });
            client->unsubscribe(L"B");
            done->set_value();
        }).detach();
        handlerFinished = done->get_future().wait_for(std::chrono::seconds(20)) ==
                          std::future_status::ready;
    };
    client->unsubscribe(L"A");
    EXPECT_TRUE(handlerFinished);

    client->subscribe(L"C", [](MessagePtr) { return 0u; });
    handlerFinished = false;
    shim->onUnsubscribe = [&](std::uint32_t) {
        shim->onUnsubscribe = nullptr;  // once
        auto done = std::make_shared<std::promise<void>>();
        std::thread([this, done] {
            client->subscribe(L"D", [](MessagePtr) { return 0u; });
            done->set_value();
        }).detach();
        handlerFinished = done->get_future().wait_for(std::chrono::seconds(20)) ==
                          std::future_status::ready;
    };
    client->unsubscribeAll();
    EXPECT_TRUE(handlerFinished);
}

TEST_F(ClientTest, ADirectlyDeliveredHandlerMaySubscribeAndUnsubscribe) {
    client->subscribe(L"A.B", [this](MessagePtr) {
        client->subscribe(L"Other", [](MessagePtr) { return 0u; });
        client->unsubscribe(L"A.B");
        return 0u;
    });
    auto done = std::make_shared<std::promise<std::uint32_t>>();
    std::thread([this, done] { done->set_value(client->deliverDirect(msg(L"A.B"))); }).detach();
    auto result = done->get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(result.get(), 0u);
    ASSERT_EQ(shim->subscriptions.size(), 1u);
    EXPECT_EQ(shim->subscriptions[0].text, L"Other");
}

// A host thread runs a direct handler while another thread removes its
// alias: the removal returns only once the handler has finished.
TEST_F(ClientTest, RemovingAnAliasWaitsForItsRunningDirectHandler) {
    using namespace std::chrono_literals;
    const std::pair<const char*, std::function<void()>> removals[] = {
        {"unsubscribe", [this] { client->unsubscribe(L"A.B"); }},
        {"unsubscribeAll", [this] { client->unsubscribeAll(); }},
    };
    for (const auto& [what, remove] : removals) {
        std::promise<void> entered, release, reachedBus;
        std::shared_future<void> released = release.get_future().share();
        std::atomic<bool> removed{false}, removedWhileRunning{false};
        client->subscribe(L"A.B", [&](MessagePtr) {
            entered.set_value();
            released.wait_for(20s);
            removedWhileRunning = removed.load();
            return 0u;
        });
        shim->onUnsubscribe = [&](std::uint32_t) { reachedBus.set_value(); };
        std::thread host([&] { client->deliverDirect(msg(L"A.B")); });
        ASSERT_EQ(entered.get_future().wait_for(20s), std::future_status::ready) << what;
        std::thread remover([&] {
            remove();
            removed = true;
        });
        ASSERT_EQ(reachedBus.get_future().wait_for(20s), std::future_status::ready) << what;
        // Time for a removal that does not wait to come back.
        for (int i = 0; i < 100 && !removed; ++i) std::this_thread::sleep_for(5ms);
        release.set_value();
        host.join();
        remover.join();
        shim->onUnsubscribe = nullptr;
        EXPECT_TRUE(removed.load()) << what;
        EXPECT_FALSE(removedWhileRunning.load()) << what;
    }
}

TEST_F(ClientTest, ADirectHandlerThatRemovesItsOwnAliasesDoesNotWaitForItself) {
    const std::pair<const char*, std::function<void()>> removals[] = {
        {"unsubscribe", [this] { client->unsubscribe(L"A.B"); }},
        {"unsubscribeAll", [this] { client->unsubscribeAll(); }},
    };
    for (const auto& [what, remove] : removals) {
        client->subscribe(L"A.B", [&](MessagePtr) {
            remove();
            return 0u;
        });
        auto done = std::make_shared<std::promise<std::uint32_t>>();
        std::thread([this, done] { done->set_value(client->deliverDirect(msg(L"A.B"))); }).detach();
        auto result = done->get_future();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready) << what;
        EXPECT_EQ(result.get(), 0u) << what;
        EXPECT_TRUE(shim->subscriptions.empty()) << what;
    }
}

// Which handlers of a race started and finished, and a release they wait
// for. Shared with threads that may outlive a failed test; every wait is
// bounded.
struct HandlerTrace {
    void start(const std::wstring& alias) { add(started, alias); }
    void finish(const std::wstring& alias) { add(finished, alias); }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
    bool waitStarted(std::size_t count) {
        return waitFor([&] { return started.size() >= count; });
    }
    bool waitFinished(const std::wstring& alias, std::chrono::seconds bound) {
        return waitFor([&] { return contains(finished, alias); }, bound);
    }
    bool hasFinished(const std::wstring& alias) {
        std::lock_guard<std::mutex> lock(mutex);
        return contains(finished, alias);
    }
    bool waitReleased() {
        return waitFor([&] { return released; });
    }
    std::vector<std::wstring> seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return started;
    }

private:
    static bool contains(const std::vector<std::wstring>& in, const std::wstring& alias) {
        return std::find(in.begin(), in.end(), alias) != in.end();
    }
    void add(std::vector<std::wstring>& to, const std::wstring& alias) {
        std::lock_guard<std::mutex> lock(mutex);
        to.push_back(alias);
        changed.notify_all();
    }
    template <typename Done>
    bool waitFor(Done done, std::chrono::seconds bound = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, bound, done);
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::wstring> started, finished;  // guarded by mutex
    bool released = false;                        // guarded by mutex
};

// Runs work on a detached thread: one that hangs holds only what work owns,
// so a deadlock fails the test instead of hanging it.
std::future<void> startDetached(std::function<void()> work) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([done, work = std::move(work)] {
        work();
        done->set_value();
    }).detach();
    return finished;
}

bool finishesInTime(std::future<void>& work) {
    return work.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
}

// Delivers name on a detached thread: through the bus callback, or directly.
std::future<void> deliverElsewhere(const std::shared_ptr<MessageBusClient>& bus,
                                   const std::shared_ptr<FakeMessageBusShim>& busShim,
                                   const std::wstring& name, bool onTheBus) {
    return startDetached([bus, busShim, name, onTheBus] {
        if (!onTheBus) {
            bus->deliverDirect(Fixture::msg(name));
            return;
        }
        MessageHeader h;
        initHeader(&h);
        busShim->deliver(name, &h, name);
    });
}

// Two aliases of one direct delivery each remove the other: the handler that
// runs first removes the other alias, whose handler then never runs.
TEST_F(ClientTest, ADirectHandlerRemovingAnotherAliasOfItsDeliveryKeepsThatHandlerFromRunning) {
    auto trace = std::make_shared<HandlerTrace>();
    MessageBusClient* self = client.get();
    const std::pair<std::wstring, std::wstring> aliases[] = {{L"P", L"Q"}, {L"Q", L"P"}};
    for (const auto& [alias, other] : aliases) {
        client->subscribe(L"A.B", alias, [trace, self, alias, other](MessagePtr) {
            trace->start(alias);
            self->unsubscribe(other);
            return 0u;
        });
    }
    auto delivery = startDetached([bus = client] { bus->deliverDirect(msg(L"A.B")); });
    ASSERT_TRUE(finishesInTime(delivery));
    EXPECT_EQ(trace->seen().size(), 1u);
    EXPECT_EQ(shim->subscriptions.size(), 1u);
}

// A direct delivery runs the handler of one alias and holds it; removing the
// alias whose handler has not started yet returns meanwhile, and that
// handler never runs.
TEST_F(ClientTest, RemovingAnAliasWaitsForNoOtherAliasHandlerAndStopsItsOwnUnstarted) {
    auto trace = std::make_shared<HandlerTrace>();
    for (const std::wstring alias : {L"P", L"Q"}) {
        client->subscribe(L"A.B", alias, [trace, alias](MessagePtr) {
            trace->start(alias);
            trace->waitReleased();
            return 0u;
        });
    }
    auto delivery = startDetached([bus = client] { bus->deliverDirect(msg(L"A.B")); });
    ASSERT_TRUE(trace->waitStarted(1));
    const std::wstring first = trace->seen().front();
    const std::wstring second = first == L"P" ? L"Q" : L"P";
    auto removal = startDetached([bus = client, second] { bus->unsubscribe(second); });
    const bool removedWhileTheFirstRan = finishesInTime(removal);
    trace->release();
    EXPECT_TRUE(removedWhileTheFirstRan);
    ASSERT_TRUE(finishesInTime(delivery));
    ASSERT_TRUE(finishesInTime(removal));
    EXPECT_EQ(trace->seen(), (std::vector<std::wstring>{first}));
}

// Two threads each run a handler of one alias and, once both run, remove the
// other's alias: neither waits for a thread that waits in unsubscribe, so
// both return. On the bus row the second handler runs as a bus callback,
// and the bus waits in unsubscribe for it.
TEST_F(ClientTest, TwoHandlersRemovingEachOthersAliasBothReturn) {
    struct Case {
        const char* what;
        bool secondOnTheBus;
    };
    const Case cases[] = {{"two direct deliveries", false}, {"a direct and a bus delivery", true}};
    for (const Case& c : cases) {
        auto busShim = std::make_shared<FakeMessageBusShim>();
        auto bus = std::make_shared<MessageBusClient>(busShim, std::make_shared<FakeProcessAPI>(0));
        auto trace = std::make_shared<HandlerTrace>();
        MessageBusClient* self = bus.get();
        const std::pair<std::wstring, std::wstring> aliases[] = {{L"A", L"B"}, {L"B", L"A"}};
        for (const auto& [alias, other] : aliases) {
            bus->subscribe(alias, [trace, self, alias, other](MessagePtr) {
                trace->start(alias);
                trace->waitStarted(2);
                self->unsubscribe(other);
                trace->finish(alias);
                return 0u;
            });
        }
        if (c.secondOnTheBus) {
            const std::uint32_t idOfB = busShim->subscriptions[1].id;
            busShim->onUnsubscribe = [trace, idOfB](std::uint32_t gone) {
                if (gone == idOfB) trace->waitFinished(L"B", std::chrono::seconds(60));
            };
        }
        auto first = deliverElsewhere(bus, busShim, L"A", false);
        auto second = deliverElsewhere(bus, busShim, L"B", c.secondOnTheBus);
        const bool firstReturned = finishesInTime(first);
        const bool secondReturned = finishesInTime(second);
        EXPECT_TRUE(firstReturned && secondReturned) << c.what;
        if (!firstReturned || !secondReturned) continue;
        EXPECT_TRUE(busShim->subscriptions.empty()) << c.what;
        EXPECT_EQ(trace->seen().size(), 2u) << c.what;
    }
}

// A handler of X removes Y and is held there: by the bus while Y's bus
// callback runs, or by the client while Y's direct handler runs. Another
// thread removes X meanwhile; nothing that holds X's handler waits for that
// thread, so its removal returns only once X's handler has finished.
TEST_F(ClientTest, RemovingAnAliasWaitsForItsHandlerHeldWhileRemovingAnother) {
    struct Case {
        const char* what;
        bool xOnTheBus;
        bool yOnTheBus;
    };
    const Case cases[] = {
        {"X direct, the bus holds its removal of Y", false, true},
        {"X direct, the client holds its removal of Y", false, false},
        {"X on the bus, the client holds its removal of Y", true, false},
    };
    for (const Case& c : cases) {
        auto busShim = std::make_shared<FakeMessageBusShim>();
        auto bus = std::make_shared<MessageBusClient>(busShim, std::make_shared<FakeProcessAPI>(0));
        auto trace = std::make_shared<HandlerTrace>();
        MessageBusClient* self = bus.get();
        bus->subscribe(L"X", [trace, self](MessagePtr) {
            trace->start(L"X");
            self->unsubscribe(L"Y");
            trace->finish(L"X");
            return 0u;
        });
        bus->subscribe(L"Y", [trace](MessagePtr) {
            trace->start(L"Y");
            trace->waitReleased();
            trace->finish(L"Y");
            return 0u;
        });
        const std::uint32_t idOfY = busShim->subscriptions[1].id;
        const bool busHoldsY = c.yOnTheBus;
        busShim->onUnsubscribe = [trace, idOfY, busHoldsY](std::uint32_t gone) {
            if (gone != idOfY) return;
            trace->finish(L"bus asked to end Y");
            if (busHoldsY) trace->waitFinished(L"Y", std::chrono::seconds(60));
        };
        auto y = deliverElsewhere(bus, busShim, L"Y", c.yOnTheBus);
        ASSERT_TRUE(trace->waitStarted(1)) << c.what;
        auto x = deliverElsewhere(bus, busShim, L"X", c.xOnTheBus);
        ASSERT_TRUE(trace->waitFinished(L"bus asked to end Y", std::chrono::seconds(20))) << c.what;
        auto xFinishedFirst = std::make_shared<std::atomic<bool>>(false);
        auto removal = startDetached([bus, trace, xFinishedFirst] {
            bus->unsubscribe(L"X");
            *xFinishedFirst = trace->hasFinished(L"X");
        });
        // Time for a removal that does not wait to come back.
        removal.wait_for(std::chrono::milliseconds(500));
        trace->release();
        const bool yReturned = finishesInTime(y);
        const bool xReturned = finishesInTime(x);
        ASSERT_TRUE(yReturned && xReturned && finishesInTime(removal)) << c.what;
        EXPECT_TRUE(*xFinishedFirst) << c.what;
    }
}

// X's handler removes Y, and the bus holds that removal until the reply
// handler on its delivery thread has finished; that reply handler removes X.
// Waiting for X's handler would close a cycle, so both return.
TEST_F(ClientTest, AReplyHandlerRemovingTheAliasOfAHandlerTheBusHoldsForItReturns) {
    auto trace = std::make_shared<HandlerTrace>();
    MessageBusClient* self = client.get();
    client->subscribe(L"X", [trace, self](MessagePtr) {
        self->unsubscribe(L"Y");
        return 0u;
    });
    client->subscribe(L"Y", [](MessagePtr) { return 0u; });
    const std::uint32_t idOfY = shim->subscriptions[1].id;
    shim->onUnsubscribe = [trace, idOfY](std::uint32_t gone) {
        if (gone != idOfY) return;
        trace->finish(L"bus asked to end Y");
        trace->waitFinished(L"reply", std::chrono::seconds(60));
    };
    client->request(msg(), [trace, self](std::shared_ptr<Reply>) {
        self->unsubscribe(L"X");
        trace->finish(L"reply");
    }, 1000);
    auto x = deliverElsewhere(client, shim, L"X", false);
    ASSERT_TRUE(trace->waitFinished(L"bus asked to end Y", std::chrono::seconds(20)));
    auto reply =
        startDetached([request = shim->requests[0]] { FakeMessageBusShim::reply(request, 0); });
    EXPECT_TRUE(finishesInTime(reply));
    EXPECT_TRUE(finishesInTime(x));
    EXPECT_TRUE(shim->subscriptions.empty());
}

TEST_F(ClientTest, AThrowingDirectHandlerIsReportedAndTheOthersStillRun) {
    int others = 0;
    client->subscribe(L"A.B", [](MessagePtr) -> std::uint32_t { throw std::runtime_error("x"); });
    client->subscribe(L"A.B", L"second", [&](MessagePtr) { ++others; return 0u; });
    client->subscribeFilter(L"A\\..*", [&](MessagePtr) { ++others; return 0u; });
    EXPECT_EQ(client->deliverDirect(msg(L"A.B")), MODULE_STATUS_UNKNOWN_EXCEPTION);
    EXPECT_EQ(others, 2);
    EXPECT_EQ(client->deliverDirect(msg(L"A.C")), 0u);
    EXPECT_EQ(others, 3);
}

TEST_F(ClientTest, DirectDeliveryMatchesExactNamesAndWholeExpressions) {
    std::vector<std::wstring> ran;
    auto h = [&](const wchar_t* tag) {
        return [&ran, tag](MessagePtr) { ran.push_back(tag); return 0u; };
    };
    client->subscribe(L"A.B", h(L"name A.B"));
    client->subscribe(L"a.b", h(L"name a.b"));
    client->subscribe(L"A", h(L"name A"));
    client->subscribeFilter(L"A\\..*", h(L"filter A\\..*"));
    client->subscribeFilter(L"A", h(L"filter A"));
    EXPECT_EQ(client->deliverDirect(msg(L"A.B")), 0u);
    std::sort(ran.begin(), ran.end());
    EXPECT_EQ(ran, (std::vector<std::wstring>{L"filter A\\..*", L"name A.B"}));
    EXPECT_EQ(client->deliverDirect(nullptr), 0u);
}

TEST_F(ClientTest, DirectDeliveryOfAHugeNameIsNoMatchAndLogged) {
    ScopedCapturingLogger log;
    int calls = 0;
    client->subscribeFilter(L"X..+", [&](MessagePtr) { ++calls; return 0u; });
    std::wstring name = L"X" + std::wstring(20000, L'y');
    EXPECT_EQ(client->deliverDirect(msg(name)), 0u);
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(log->Contains(2, L"too long for expression matching"));
    EXPECT_EQ(client->deliverDirect(msg(L"Xyz")), 0u);
    EXPECT_EQ(calls, 1);
}

MessagePtr withSession(std::uint32_t session) {
    auto m = Message::create(L"S", L"s", L"");
    m->getHeader()->extension.senderSessionId = session;
    return m;
}

TEST(ClientSession, FilterBySessionOnAClientInSession1) {
    ScopedCapturingLogger log;
    auto shim = std::make_shared<FakeMessageBusShim>();
    MessageBusClient client(shim, std::make_shared<FakeProcessAPI>(1));
    EXPECT_EQ(client.sessionId(), 1u);
    EXPECT_TRUE(log->Contains(1, L"Found session id 1 for process 4242"));
    int calls = 0;
    client.subscribeSession(L"S", [&](MessagePtr) { ++calls; return 5u; });
    client.subscribeFilterSession(L"S|T", L"f", [&](MessagePtr) { ++calls; return 5u; });
    for (std::uint32_t s : {0u, 1u}) {
        MessageHeader h = *withSession(s)->getHeader();
        EXPECT_EQ(shim->deliver(L"S", &h, L"S"), 5u);
        EXPECT_EQ(shim->deliver(L"S|T", &h, L"S"), 5u);
    }
    EXPECT_EQ(calls, 4);
    MessageHeader h2 = *withSession(2)->getHeader();
    EXPECT_EQ(shim->deliver(L"S", &h2, L"S"), 0u);
    EXPECT_EQ(shim->deliver(L"S|T", &h2, L"S"), 0u);
    EXPECT_EQ(calls, 4);
    // Version 1 header (converted, session 0): delivered.
    std::uint8_t v1[100];
    std::memcpy(v1, withSession(2)->getHeader(), 100);
    reinterpret_cast<MessageHeader*>(v1)->version = 1;
    EXPECT_EQ(shim->deliver(L"S", reinterpret_cast<MessageHeader*>(v1), L"S"), 5u);
    EXPECT_EQ(calls, 5);
    // Direct delivery applies the wrappers too.
    EXPECT_EQ(client.deliverDirect(withSession(2)), 0u);
    EXPECT_EQ(calls, 5);
    EXPECT_EQ(client.deliverDirect(withSession(1)), 0u);
    EXPECT_EQ(calls, 7);
}

TEST(ClientSession, UnknownSessionTurnsFilteringOff) {
    ScopedCapturingLogger log;
    auto shim = std::make_shared<FakeMessageBusShim>();
    MessageBusClient client(shim, std::make_shared<FakeProcessAPI>(1, false));
    EXPECT_EQ(client.sessionId(), 0u);
    EXPECT_TRUE(hasRecord(*log, 4, L"Failed to get the session id for process 4242 - defaulting to 0",
                          L"Tessil::MessageBusClient::MessageBusClient"));
    int calls = 0;
    client.subscribeSession(L"S", [&](MessagePtr) { ++calls; return 0u; });
    MessageHeader h = *withSession(2)->getHeader();
    shim->deliver(L"S", &h, L"S");
    EXPECT_EQ(calls, 1);
}

TEST(ClientDefaults, RealProcessAccessGivesASession) {
    auto shim = std::make_shared<FakeMessageBusShim>();
    MessageBusClient client(shim);
    DWORD s = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &s));
    EXPECT_EQ(client.sessionId(), s);
    EXPECT_THROW(MessageBusClient(nullptr), ModuleException);
}

TEST(ProcessAPIReal, PassesToWindows) {
    ProcessAPI api;
    EXPECT_EQ(api.getCurrentProcessId(), GetCurrentProcessId());
    EXPECT_EQ(api.getCurrentProcess(), GetCurrentProcess());
    EXPECT_EQ(api.getProcessId(api.getCurrentProcess()), GetCurrentProcessId());
    SetLastError(1234);
    EXPECT_EQ(api.getLastError(), 1234u);
    HANDLE snapshot = api.createToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    bool foundSelf = false;
    for (BOOL ok = api.process32First(snapshot, &entry); ok; ok = api.process32Next(snapshot, &entry)) {
        foundSelf |= entry.th32ProcessID == GetCurrentProcessId();
    }
    EXPECT_TRUE(foundSelf);
    EXPECT_TRUE(api.closeHandle(snapshot));
    HANDLE self = api.openProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, GetCurrentProcessId());
    ASSERT_NE(self, nullptr);
    DWORD code = 0;
    EXPECT_TRUE(api.getExitCodeProcess(self, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(api.waitForSingleObject(self, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    api.closeHandle(self);
    LUID luid{};
    EXPECT_TRUE(api.lookupPrivilegeValue(nullptr, L"SeShutdownPrivilege", &luid));
}

// ---- MessageBusShimImpl over a recording table ----

struct TableRecord {
    std::vector<std::string> calls;
    MessageBusHandle handle = nullptr;
    const MessageHeader* header = nullptr;
    std::wstring name;
    std::uint64_t index = 0, timeout = 0;
    void* context = nullptr;
    ReplyCallbackFn replyCb = nullptr;
    SubscriptionCallbackFn subCb = nullptr;
};
TableRecord g_table;

MessageBusFunctions recordingTable() {
    MessageBusFunctions f{};
    f.open = [](MessageBusHandle* h) -> std::uint32_t { *h = reinterpret_cast<void*>(1); return 0; };
    f.close = [](MessageBusHandle) -> std::uint32_t { g_table.calls.push_back("close"); return 0; };
    f.publish = [](MessageBusHandle h, const MessageHeader* hd, const wchar_t* n, const wchar_t*, const wchar_t*) -> std::uint32_t {
        g_table.calls.push_back("publish"); g_table.handle = h; g_table.header = hd; g_table.name = n; return 3; };
    f.publishEx = [](MessageBusHandle, const MessageHeader*, const wchar_t*, const wchar_t*, const wchar_t*) -> std::uint32_t {
        g_table.calls.push_back("publishEx"); return 4; };
    f.request = [](MessageBusHandle, std::uint64_t i, void* c, ReplyCallbackFn cb, const MessageHeader*, const wchar_t*, const wchar_t*, const wchar_t*, std::uint64_t t) -> std::uint32_t {
        g_table.calls.push_back("request"); g_table.index = i; g_table.context = c; g_table.replyCb = cb; g_table.timeout = t; return 0; };
    f.requestEx = [](MessageBusHandle, std::uint64_t, void*, ReplyCallbackFn, const MessageHeader*, const wchar_t*, const wchar_t*, const wchar_t*, std::uint64_t) -> std::uint32_t {
        g_table.calls.push_back("requestEx"); return 0; };
    f.subscribe = [](MessageBusHandle, void* c, SubscriptionCallbackFn cb, const wchar_t* n) -> std::uint32_t {
        g_table.calls.push_back("subscribe"); g_table.context = c; g_table.subCb = cb; g_table.name = n; return 11; };
    f.subscribeFilter = [](MessageBusHandle, void*, SubscriptionCallbackFn, const wchar_t* n) -> std::uint32_t {
        g_table.calls.push_back("subscribeFilter"); g_table.name = n; return 12; };
    f.unsubscribe = [](MessageBusHandle, std::uint32_t id) -> std::uint32_t {
        g_table.calls.push_back("unsubscribe " + std::to_string(id)); return 0; };
    f.unregisterReplyCallback = [](MessageBusHandle, ReplyCallbackFn cb) -> std::uint32_t {
        g_table.calls.push_back(cb == &ReplyCallback ? "unregister" : "unregister?"); return 0; };
    return f;
}

TEST(ShimImpl, NullHandleOrTableThrowsAndLogs) {
    ScopedCapturingLogger log;
    MessageBusFunctions f = recordingTable();
    try {
        MessageBusShimImpl s(nullptr, &f);
        ADD_FAILURE();
    } catch (const ModuleException& e) {
        EXPECT_STREQ(e.what(), "Invalid message bus handle");
    }
    try {
        MessageBusShimImpl s(reinterpret_cast<void*>(1), nullptr);
        ADD_FAILURE();
    } catch (const ModuleException& e) {
        EXPECT_STREQ(e.what(), "Invalid message bus functions object");
    }
    bool a = false, b = false;
    for (const auto& r : log->Records()) {
        if (r.level == 4 && r.file == L"MessageBusShimImpl" &&
            r.function == L"Tessil::MessageBusShimImpl::MessageBusShimImpl") {
            a |= r.text == L"Invalid message bus handle. Throwing ModuleException.";
            b |= r.text == L"Invalid message bus functions object. Throwing ModuleException.";
        }
    }
    EXPECT_TRUE(a);
    EXPECT_TRUE(b);
}

TEST(ShimImpl, ForwardsToTheTableEntries) {
    g_table = TableRecord{};
    MessageBusFunctions f = recordingTable();
    void* handle = reinterpret_cast<void*>(0x1234);
    {
        auto shim = std::make_shared<MessageBusShimImpl>(handle, &f);
        auto m = Message::create(L"N", L"s", L"p");
        EXPECT_EQ(shim->publish(m, false), 3u);
        EXPECT_EQ(g_table.handle, handle);
        EXPECT_EQ(g_table.header, m->getHeader());
        EXPECT_EQ(g_table.name, L"N");
        EXPECT_EQ(shim->publish(m, true), 4u);
        EXPECT_EQ(shim->publish(nullptr, false), MODULE_STATUS_INVALID_PARAMETER);
        int ctx = 0;
        EXPECT_EQ(shim->request(m, 9, &ctx, 250, false), 0u);
        EXPECT_EQ(g_table.index, 9u);
        EXPECT_EQ(g_table.context, &ctx);
        EXPECT_EQ(g_table.timeout, 250u);
        EXPECT_EQ(g_table.replyCb, &ReplyCallback);
        EXPECT_EQ(shim->request(m, 10, &ctx, 250, true), 0u);
        EXPECT_EQ(shim->subscribe(L"X", &ctx), 11u);
        EXPECT_EQ(g_table.subCb, &SubscriptionCallback);
        EXPECT_EQ(shim->subscribeFilter(L"Y.*", &ctx), 12u);
        EXPECT_EQ(g_table.name, L"Y.*");
        EXPECT_EQ(shim->unsubscribe(11), 0u);
        MessageBusClient client(shim);
    }
    EXPECT_EQ(g_table.calls,
              (std::vector<std::string>{"publish", "publishEx", "request", "requestEx", "subscribe",
                                        "subscribeFilter", "unsubscribe 11", "unregister",
                                        "unregister"}));
}

}  // namespace
}  // namespace Tessil
