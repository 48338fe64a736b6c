// Drem::AlertQueue push+pop beside std::priority_queue of the same alerts
// (priority number, then arrival), at several queue lengths, in alternating
// repetitions. Usage: alert_queue_benchmark [repetitions]
#include "alerts/src/queue/AlertQueue.h"
#include "alerts/src/queue/DuplicateKey.h"
#include "alerts/src/common/testing/IdleBus.h"
#include "framework/performance/testing/SideBySide.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <queue>
#include <string>
#include <vector>

namespace {

using Drem::Alert;

constexpr int kOperationsPerRound = 2000;

// An alert context of the usual size, with a title of its own.
std::wstring contextOf(int n) {
    return L"{\"title\":\"Your protection needs attention (" + std::to_wstring(n) +
           L")\",\"defaultcontent\":\"Turn on real-time scanning\",\"detailscontent\":\"<p>Details about "
           L"the threat and the fix.</p>\",\"actions\":[{\"id\":\"fix\",\"text\":\"Fix now\","
           L"\"defaultmessage\":{\"messagename\":\"Product.Alert.Fix\",\"payload\":\"\"}},{\"id\":\"later\","
           L"\"text\":\"Remind me later\",\"defaultmessage\":{\"messagename\":\"Product.Alert.Later\","
           L"\"payload\":\"\"}}]}";
}

std::vector<std::shared_ptr<Alert>> makeAlerts(std::size_t count) {
    const auto bus = std::make_shared<Drem::testing::IdleBus>();
    std::vector<std::shared_ptr<Alert>> alerts;
    std::uint32_t random = 12345;
    for (std::size_t i = 0; i < count; ++i) {
        random = random * 1103515245u + 12345u;
        Drem::AlertInfo info;
        info.id = L"product.alert";
        info.instanceId = std::to_wstring(i + 1);
        info.priority = 1 + static_cast<std::int32_t>((random >> 16) % 3);
        info.product = L"product";
        info.context = contextOf(static_cast<int>(i));
        alerts.push_back(std::make_shared<Alert>(std::move(info), bus));
    }
    return alerts;
}

// Order-sensitive digest of the popped alerts.
void fold(std::uint64_t& digest, const Alert* alert) {
    digest = (digest ^ reinterpret_cast<std::uintptr_t>(alert)) * 0x100000001b3ULL;
}

// Reads what the queue's duplicate test reads, as the module has just done
// when it built the alert.
std::size_t touch(const Alert& alert) {
    const Drem::AlertContent& content = alert.getAlertContent();
    std::size_t sum = content.title.size() + content.defaultcontent.size() + content.detailscontent.size();
    for (const std::wstring* text : {&content.title, &content.defaultcontent, &content.detailscontent}) {
        sum += (*text)[0];
    }
    for (const auto& action : content.actions) sum += action.text.size() + action.text[0];
    return sum;
}

// One side's queue: each operation pops the first alert and pushes one of
// the alerts popped in the round before, which are touched before the
// round (untimed) as if the module had just built them.
template <typename Queue>
struct Steady {
    Queue queue;
    std::vector<std::shared_ptr<Alert>> toPush;
    std::vector<std::shared_ptr<Alert>> popped;
    std::vector<std::uint64_t> digests;  // one per round
    long refused = 0;
    std::size_t touched = 0;

    Steady(const std::vector<std::shared_ptr<Alert>>& alerts, std::size_t pending)
        : toPush(alerts.begin() + static_cast<std::ptrdiff_t>(pending), alerts.end()) {
        for (std::size_t i = 0; i < pending; ++i) refused += !queue.push(alerts[i]);
        popped.reserve(toPush.size());
    }

    void prepare() {
        if (!popped.empty()) toPush.swap(popped);
        popped.clear();
        for (const auto& alert : toPush) touched += touch(*alert);
    }

    void round() {
        std::uint64_t digest = 0;
        for (int i = 0; i < kOperationsPerRound; ++i) {
            std::shared_ptr<Alert> first = queue.pop();
            fold(digest, first.get());
            refused += !queue.push(std::move(toPush[i]));
            popped.push_back(std::move(first));
        }
        digests.push_back(digest);
    }
};

// std::priority_queue ordered as the alert queue orders: priority number,
// then arrival.
class HeapQueue {
public:
    bool push(std::shared_ptr<Alert> alert) {
        const std::int32_t priority = alert->getAlertInfo().priority;
        heap_.push(Item{priority, arrivals_++, std::move(alert)});
        return true;
    }
    std::shared_ptr<Alert> pop() {
        std::shared_ptr<Alert> first = std::move(const_cast<Item&>(heap_.top()).alert);
        heap_.pop();
        return first;
    }

private:
    struct Item {
        std::int32_t priority;
        std::uint64_t arrival;
        std::shared_ptr<Alert> alert;
    };
    struct LeavesLater {
        bool operator()(const Item& a, const Item& b) const {
            return a.priority != b.priority ? a.priority > b.priority : a.arrival > b.arrival;
        }
    };
    std::priority_queue<Item, std::vector<Item>, LeavesLater> heap_;
    std::uint64_t arrivals_ = 0;
};

// The duplicate-key hash that each alert takes once when it is built, and
// that a push no longer takes.
void printHashCost(int repetitions) {
    const auto alerts = makeAlerts(kOperationsPerRound);
    std::uint64_t sum = 0;
    std::vector<double> costs;
    for (int i = 0; i < repetitions; ++i) {
        const double seconds = bench::secondsOf([&] {
            for (const auto& alert : alerts) sum += Drem::hashOfDuplicateKey(alert->getAlertContent());
        });
        costs.push_back(1e9 * seconds / static_cast<double>(alerts.size()));
    }
    bool same = true;
    for (const auto& alert : alerts) {
        same = same && alert->getDuplicateKeyHash() == Drem::hashOfDuplicateKey(alert->getAlertContent());
    }
    std::printf("duplicate-key hash, taken once when an alert is built (not in the figures above)\n");
    bench::printSpread("hashOfDuplicateKey", bench::spreadOf(costs), "ns/alert");
    bench::printCheck("the hash each alert keeps", same && sum != 0);
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::atoi(argv[1]) : 31;
    if (repetitions <= 0) {
        std::fprintf(stderr, "usage: alert_queue_benchmark [repetitions > 0]\n");
        return 2;
    }
    const std::size_t lengths[] = {100, 1000, 10000, 100000};
    std::vector<double> costs;
    for (const std::size_t pending : lengths) {
        const auto alerts = makeAlerts(pending + kOperationsPerRound);
        Steady<Drem::AlertQueue> project(alerts, pending);
        Steady<HeapQueue> anchor(alerts, pending);
        const bench::Side projectSide{"AlertQueue", [&] { project.round(); }, kOperationsPerRound,
                                      [&] { project.prepare(); }};
        const bench::Side anchorSide{"std::priority_queue", [&] { anchor.round(); }, kOperationsPerRound,
                                     [&] { anchor.prepare(); }};
        const bench::Comparison c = bench::compareRates(projectSide, anchorSide, repetitions);
        char title[120];
        std::snprintf(title, sizeof title, "alert queue push+pop at %zu pending (the target holds at 10000)",
                      pending);
        bench::printCostRatio(title, projectSide, anchorSide, c, 1.5);
        bench::printCheck("same alerts popped in the same order, none refused",
                          project.digests == anchor.digests && project.refused == 0 && project.touched == anchor.touched &&
                              project.queue.count() == pending);
        costs.push_back(1e9 / c.project.median);
    }
    std::printf("alert queue cost per push+pop by length:");
    for (std::size_t i = 0; i < costs.size(); ++i) std::printf(" %zu: %.0f ns", lengths[i], costs[i]);
    std::printf("  (largest/smallest %.2f)\n", costs.back() / costs.front());
    printHashCost(repetitions);
    return 0;
}
