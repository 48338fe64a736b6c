#include "alerts/src/queue/AlertQueue.h"
#include "alerts/src/common/testing/IdleBus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <list>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

using Drem::Alert;
using Drem::AlertInfo;
using Drem::AlertQueue;

namespace {

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
    static const auto bus = std::make_shared<Drem::testing::IdleBus>();
    AlertInfo info;
    info.id = id;
    info.instanceId = instanceId;
    info.priority = priority;
    info.product = L"P-" + instanceId;
    info.context = contextText;
    return std::make_shared<Alert>(std::move(info), bus);
}

// The queueing rule in its plainest form: one list in leaving order, every
// queued alert asked whether the new one is its duplicate, and the new one
// inserted before the first alert it is more urgent than; put back before
// the first it is more urgent than or that arrived after it among equals.
class ReferenceQueue {
public:
    bool push(const std::shared_ptr<Alert>& alert) {
        if (!alert) return false;
        for (const auto& queued : alerts_) {
            if (queued.alert->isDuplicate(*alert)) return false;
        }
        auto at = alerts_.begin();
        while (at != alerts_.end() && !alert->isHigherPriority(*at->alert)) ++at;
        alerts_.insert(at, {alert, ++arrivals_});
        arrival_[alert.get()] = arrivals_;
        return true;
    }
    // Back before the first alert it is more urgent than or that arrived
    // after it among equals; no duplicate test.
    bool putBack(const std::shared_ptr<Alert>& alert) {
        if (!alert) return false;
        std::uint64_t& arrival = arrival_[alert.get()];
        if (arrival == 0) arrival = ++arrivals_;
        auto at = alerts_.begin();
        while (at != alerts_.end() && !alert->isHigherPriority(*at->alert) &&
               !(at->alert->getAlertInfo().priority == alert->getAlertInfo().priority && at->arrival > arrival)) {
            ++at;
        }
        alerts_.insert(at, {alert, arrival});
        return true;
    }
    bool remove(const std::wstring& instanceId) {
        for (auto it = alerts_.begin(); it != alerts_.end(); ++it) {
            if (it->alert->getAlertInfo().instanceId == instanceId) {
                alerts_.erase(it);
                return true;
            }
        }
        return false;
    }
    std::shared_ptr<Alert> pop() {
        if (alerts_.empty()) return nullptr;
        auto first = alerts_.front().alert;
        alerts_.pop_front();
        return first;
    }
    std::shared_ptr<Alert> front() const { return alerts_.empty() ? nullptr : alerts_.front().alert; }
    std::uint64_t count() const { return alerts_.size(); }

private:
    struct Queued {
        std::shared_ptr<Alert> alert;
        std::uint64_t arrival;
    };
    std::list<Queued> alerts_;
    std::uint64_t arrivals_ = 0;
    std::map<const Alert*, std::uint64_t> arrival_;  // of each alert's last push
};

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

TEST(AlertQueue, AnAlertPutBackTakesItsFirstPlaceEvenBesideItsDuplicate) {
    AlertQueue queue;
    auto taken = makeAlert(L"1", 2, context(L"T", {L"OK"}));
    ASSERT_TRUE(queue.push(taken));
    ASSERT_TRUE(queue.push(makeAlert(L"2", 2, context(L"later two"))));
    ASSERT_TRUE(queue.push(makeAlert(L"3", 3, context(L"three"))));
    ASSERT_EQ(queue.pop(), taken);
    // While it is out: more alerts of its priority, one a duplicate of it.
    ASSERT_TRUE(queue.push(makeAlert(L"4", 2, context(L"T", {L"OK"}))));
    ASSERT_TRUE(queue.push(makeAlert(L"5", 1, context(L"one"))));

    EXPECT_TRUE(queue.putBack(taken));
    EXPECT_EQ(queue.count(), 5u);
    EXPECT_EQ(drain(queue), (std::vector<std::wstring>{L"5", L"1", L"2", L"4", L"3"}));
    EXPECT_FALSE(queue.putBack(nullptr));

    // Put back into an empty queue, then found by the duplicate test again.
    EXPECT_TRUE(queue.putBack(taken));
    EXPECT_FALSE(queue.push(makeAlert(L"6", 2, context(L"T", {L"OK"}))));
    // One never queued arrives now.
    EXPECT_TRUE(queue.putBack(makeAlert(L"7", 2, context(L"new"))));
    EXPECT_EQ(drain(queue), (std::vector<std::wstring>{L"1", L"7"}));
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

// Random pushes (duplicates, the same alert twice, many actions, unreadable
// contexts, any priority number), pops, put-backs, fronts and removes: the
// queue answers as the plain rule does, step by step.
TEST(AlertQueue, AnswersAsThePlainRuleForRandomWork) {
    struct Mix {
        int titles;  // few titles: many duplicates; many: a large key index
        int alerts;
        int steps;
    };
    const Mix mixes[] = {{3, 60, 3000}, {40, 300, 4000}, {2000, 1500, 6000}};
    const std::int32_t priorities[] = {-1, 1, 2, 2, 3, 3, 3, 7};
    const std::vector<std::wstring> actionTexts{L"OK", L"No", L"Later"};
    for (unsigned seed = 1; seed <= 3; ++seed) {
        for (const Mix& mix : mixes) {
            SCOPED_TRACE("seed " + std::to_string(seed) + ", titles " + std::to_string(mix.titles));
            std::mt19937 random(seed);
            auto pick = [&random](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
            std::vector<std::shared_ptr<Alert>> pool;
            for (int i = 0; i < mix.alerts; ++i) {
                std::vector<std::wstring> actions(pick(7));  // 0 to 6
                for (auto& text : actions) text = actionTexts[pick(2 + (pick(4) == 0))];
                std::wstring contextText = context(L"T" + std::to_wstring(pick(mix.titles)), actions,
                                                   pick(3) ? L"D" : L"E", pick(5) ? L"X" : L"Y");
                if (pick(40) == 0) contextText = pick(2) ? L"not json" : L"{}";
                pool.push_back(makeAlert(std::to_wstring(pick(mix.alerts / 2 + 1)),
                                         priorities[pick(8)], contextText));
            }
            AlertQueue queue;
            ReferenceQueue reference;
            std::vector<std::shared_ptr<Alert>> taken;
            for (int step = 0; step < mix.steps; ++step) {
                SCOPED_TRACE("step " + std::to_string(step));
                const int what = pick(11);
                if (what < 5) {
                    const auto& alert = pick(50) == 0 ? std::shared_ptr<Alert>() : pool[pick(mix.alerts)];
                    ASSERT_EQ(queue.push(alert), reference.push(alert));
                } else if (what < 8) {
                    auto alert = queue.pop();
                    ASSERT_EQ(alert, reference.pop());
                    if (alert) taken.push_back(std::move(alert));
                } else if (what < 9 && !taken.empty()) {
                    // A taken alert, now and then any of the pool.
                    const auto& alert =
                        pick(20) == 0 ? pool[pick(mix.alerts)] : taken[pick(static_cast<int>(taken.size()))];
                    ASSERT_EQ(queue.putBack(alert), reference.putBack(alert));
                } else if (what < 10) {
                    const std::wstring instanceId = std::to_wstring(pick(mix.alerts / 2 + 2));
                    ASSERT_EQ(queue.remove(instanceId), reference.remove(instanceId));
                } else {
                    ASSERT_EQ(queue.front(), reference.front());
                }
                ASSERT_EQ(queue.count(), reference.count());
            }
            while (reference.count() != 0) ASSERT_EQ(queue.pop(), reference.pop());
            EXPECT_EQ(queue.pop(), nullptr);
        }
    }
}

// Many queued alerts with distinct keys, taken out from the middle, the
// front and by instance: the duplicate test keeps finding the ones left.
TEST(AlertQueue, LongQueuesStillRefuseDuplicatesOfEveryQueuedAlert) {
    AlertQueue queue;
    constexpr int kAlerts = 3000;
    for (int i = 0; i < kAlerts; ++i) {
        ASSERT_TRUE(queue.push(makeAlert(std::to_wstring(i), 1 + i % 3, context(L"T" + std::to_wstring(i)))));
    }
    for (int i = 0; i < kAlerts; i += 3) ASSERT_TRUE(queue.remove(std::to_wstring(i)));
    for (int i = 0; i < kAlerts; ++i) {
        const bool queued = i % 3 != 0;
        EXPECT_EQ(queue.push(makeAlert(L"n" + std::to_wstring(i), 2, context(L"T" + std::to_wstring(i)))),
                  !queued)
            << i;
    }
    EXPECT_EQ(queue.count(), static_cast<std::uint64_t>(kAlerts));
}
