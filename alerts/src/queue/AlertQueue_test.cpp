#include "alerts/src/queue/AlertQueue.h"

#include "framework/message/ModuleStatus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

using Drem::Alert;
using Drem::AlertInfo;
using Drem::AlertQueue;

namespace {

// A bus that is never used by queued alerts.
class IdleBus : public Tessil::MessageBus {
public:
    std::uint32_t publish(const std::shared_ptr<Tessil::Message>&) override { return 0; }
    std::uint32_t publishEx(const std::shared_ptr<Tessil::Message>&) override { return 0; }
    std::uint32_t request(const std::shared_ptr<Tessil::Message>&, Tessil::ReplyHandler,
                          const std::uint64_t&) override { return MODULE_STATUS_NOT_IMPLEMENTED; }
    std::uint32_t request(const std::shared_ptr<Tessil::Message>&, std::shared_ptr<Tessil::Reply>&,
                          const std::uint64_t&) override { return MODULE_STATUS_NOT_IMPLEMENTED; }
    std::uint32_t requestEx(const std::shared_ptr<Tessil::Message>&, Tessil::ReplyHandler,
                            const std::uint64_t&) override { return MODULE_STATUS_NOT_IMPLEMENTED; }
    std::uint32_t requestEx(const std::shared_ptr<Tessil::Message>&, std::shared_ptr<Tessil::Reply>&,
                            const std::uint64_t&) override { return MODULE_STATUS_NOT_IMPLEMENTED; }
    std::uint32_t subscribe(const std::wstring&, const std::wstring&, Tessil::MessageHandler) override { return 0; }
    std::uint32_t subscribe(const std::wstring&, Tessil::MessageHandler) override { return 0; }
    std::uint32_t subscribeSession(const std::wstring&, const std::wstring&, Tessil::MessageHandler) override { return 0; }
    std::uint32_t subscribeSession(const std::wstring&, Tessil::MessageHandler) override { return 0; }
    std::uint32_t subscribeFilter(const std::wstring&, const std::wstring&, Tessil::MessageHandler) override { return 0; }
    std::uint32_t subscribeFilter(const std::wstring&, Tessil::MessageHandler) override { return 0; }
    std::uint32_t subscribeFilterSession(const std::wstring&, const std::wstring&, Tessil::MessageHandler) override { return 0; }
    std::uint32_t subscribeFilterSession(const std::wstring&, Tessil::MessageHandler) override { return 0; }
    std::uint32_t unsubscribe(const std::wstring&) override { return 0; }
};

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// A context object with these texts and one action per text.
std::wstring context(const std::wstring& title, const std::vector<std::wstring>& actions = {},
                     const std::wstring& defaultContent = L"D", const std::wstring& details = L"X") {
    std::wstring json = L"{\"title\":" + quoted(title) + L",\"defaultcontent\":" + quoted(defaultContent) +
                        L",\"detailscontent\":" + quoted(details) + L",\"actions\":[";
    for (std::size_t i = 0; i < actions.size(); ++i) {
        json += (i != 0 ? L"," : L"") + std::wstring(L"{\"text\":") + quoted(actions[i]) +
                L",\"defaultmessage\":{\"messagename\":\"m\",\"payload\":\"\"},\"id\":\"a" +
                std::to_wstring(i) + L"\"}";
    }
    return json + L"]}";
}

std::shared_ptr<Alert> makeAlert(const std::wstring& instanceId, std::int32_t priority,
                                 const std::wstring& contextText, const std::wstring& id = L"A") {
    static const auto bus = std::make_shared<IdleBus>();
    AlertInfo info;
    info.id = id;
    info.instanceId = instanceId;
    info.priority = priority;
    info.product = L"P-" + instanceId;
    info.context = contextText;
    return std::make_shared<Alert>(std::move(info), bus);
}

std::vector<std::wstring> drain(AlertQueue& queue) {
    std::vector<std::wstring> order;
    while (auto alert = queue.pop()) {
        order.push_back(alert->getAlertInfo().instanceId);
    }
    return order;
}

}  // namespace

TEST(AlertQueue, AlertsLeaveByPriorityNumberThenByArrival) {
    AlertQueue queue;
    ASSERT_TRUE(queue.push(makeAlert(L"1", 3, context(L"first three"))));
    ASSERT_TRUE(queue.push(makeAlert(L"2", 1, context(L"one"))));
    ASSERT_TRUE(queue.push(makeAlert(L"3", 3, context(L"second three"))));
    ASSERT_TRUE(queue.push(makeAlert(L"4", 2, context(L"two"))));
    ASSERT_TRUE(queue.push(makeAlert(L"5", -1, context(L"minus one"))));
    EXPECT_EQ(queue.count(), 5u);
    EXPECT_EQ(queue.front()->getAlertInfo().instanceId, L"5");
    EXPECT_EQ(queue.count(), 5u) << "front leaves the alert queued";
    EXPECT_EQ(drain(queue), (std::vector<std::wstring>{L"5", L"2", L"4", L"1", L"3"}));
}

TEST(AlertQueue, DuplicatesAreAlertsWithTheSameTitlesContentsAndActionTexts) {
    struct Case {
        const char* what;
        std::wstring queued;
        std::wstring added;
        bool duplicate;
    };
    const std::vector<std::wstring> four{L"a", L"b", L"c", L"d"};
    const std::vector<std::wstring> five{L"a", L"b", L"c", L"d", L"e"};
    const Case cases[] = {
        {"same content", context(L"T", {L"OK", L"No"}), context(L"T", {L"OK", L"No"}), true},
        {"four equal actions", context(L"T", four), context(L"T", four), true},
        {"five equal actions", context(L"T", five), context(L"T", five), false},
        {"other title", context(L"T"), context(L"U"), false},
        {"title in other case", context(L"T"), context(L"t"), false},
        {"other default content", context(L"T", {}, L"D1"), context(L"T", {}, L"D2"), false},
        {"other details content", context(L"T", {}, L"D", L"X1"), context(L"T", {}, L"D", L"X2"), false},
        {"other action text", context(L"T", {L"OK"}), context(L"T", {L"Ok"}), false},
        {"other number of actions", context(L"T", {L"OK"}), context(L"T", {L"OK", L"OK"}), false},
        {"actions in other order", context(L"T", {L"a", L"b"}), context(L"T", {L"b", L"a"}), false},
        {"no content at all", L"{}", L"{}", true},
        {"context not readable", L"not json", L"{}", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AlertQueue queue;
        ASSERT_TRUE(queue.push(makeAlert(L"1", 2, c.queued, L"A")));
        // Ids, products, instances and priorities take no part.
        EXPECT_EQ(queue.push(makeAlert(L"2", 1, c.added, L"B")), !c.duplicate);
        EXPECT_EQ(queue.count(), c.duplicate ? 1u : 2u);
    }
}

TEST(AlertQueue, AnAlertThatLeftTheQueueIsNoLongerADuplicate) {
    AlertQueue queue;
    ASSERT_TRUE(queue.push(makeAlert(L"1", 2, context(L"T", {L"OK"}))));
    ASSERT_TRUE(queue.push(makeAlert(L"2", 3, context(L"other"))));
    EXPECT_FALSE(queue.push(makeAlert(L"3", 3, context(L"T", {L"OK"}))));
    ASSERT_EQ(queue.pop()->getAlertInfo().instanceId, L"1");
    EXPECT_TRUE(queue.push(makeAlert(L"3", 3, context(L"T", {L"OK"}))));
    EXPECT_EQ(drain(queue), (std::vector<std::wstring>{L"2", L"3"}));
}

TEST(AlertQueue, EmptyQueueAndEmptyAlert) {
    AlertQueue queue;
    EXPECT_FALSE(queue.push(nullptr));
    EXPECT_EQ(queue.count(), 0u);
    EXPECT_EQ(queue.front(), nullptr);
    EXPECT_EQ(queue.pop(), nullptr);
    EXPECT_FALSE(queue.remove(L"1"));
}

TEST(AlertQueue, RemoveTakesOutOnlyTheFirstAlertOfThatInstance) {
    AlertQueue queue;
    ASSERT_TRUE(queue.push(makeAlert(L"7", 2, context(L"first"))));
    ASSERT_TRUE(queue.push(makeAlert(L"8", 2, context(L"other"))));
    ASSERT_TRUE(queue.push(makeAlert(L"7", 3, context(L"second"))));
    EXPECT_FALSE(queue.remove(L"07"));
    EXPECT_FALSE(queue.remove(L""));
    EXPECT_TRUE(queue.remove(L"7"));
    EXPECT_EQ(queue.count(), 2u);
    auto left = queue.pop();
    EXPECT_EQ(left->getAlertInfo().instanceId, L"8");
    EXPECT_EQ(queue.front()->getAlertContent().title, L"second");
    EXPECT_TRUE(queue.remove(L"7"));
    EXPECT_EQ(queue.count(), 0u);
}

TEST(AlertQueue, ConcurrentUseKeepsEveryAlert) {
    AlertQueue queue;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 100;
    std::atomic<int> popped{0};
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        while (!done || queue.count() != 0) {
            if (queue.pop()) {
                ++popped;
            } else {
                std::this_thread::yield();
            }
        }
    });
    std::vector<std::future<int>> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.push_back(std::async(std::launch::async, [&queue, t] {
            int pushed = 0;
            for (int i = 0; i < kPerThread; ++i) {
                const std::wstring name = std::to_wstring(t) + L"-" + std::to_wstring(i);
                pushed += queue.push(makeAlert(name, 1 + i % 3, context(name))) ? 1 : 0;
                queue.front();
                queue.remove(L"none");
            }
            return pushed;
        }));
    }
    int pushed = 0;
    for (auto& producer : producers) {
        pushed += producer.get();
    }
    done = true;
    consumer.join();
    EXPECT_EQ(pushed, kThreads * kPerThread);
    EXPECT_EQ(popped.load(), pushed);
}
