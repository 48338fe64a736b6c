// Timing program on the bus neighbour "MessageBus.dll" (copied beside it):
// publish-to-delivery latency, request-to-reply round trip, the round trip
// side by side with a bare two-thread ping-pong for 1, 8 and 64 requesters,
// a direct delivery through 1 and 4 handlers, and the cost of a log site
// filtered out by severity.
// Run: wine bus_benchmark.exe [iterations]
#include "framework/bus/MessageBusClient.h"
#include "framework/bus/MessageBusShimImpl.h"
#include "framework/performance/testing/SideBySide.h"
#include "platform/Logging/Logging.h"
#include "platform/Logging/testing/CapturingLogger.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace Tessil;

namespace {

double ticksToMicros(LONGLONG ticks) {
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    return static_cast<double>(ticks) * 1e6 / static_cast<double>(freq.QuadPart);
}

LONGLONG now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

void report(const char* what, std::vector<double>& us) {
    if (us.empty()) {
        std::printf("%-34s no samples\n", what);
        return;
    }
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double v : us) sum += v;
    auto pct = [&](double p) { return us[std::min(us.size() - 1, static_cast<std::size_t>(p * us.size()))]; };
    std::printf("%-34s n=%zu  min=%.1f us  median=%.1f us  p99=%.1f us  mean=%.1f us\n", what,
                us.size(), us.front(), pct(0.5), pct(0.99), sum / us.size());
}

// The anchor: a bare two-thread ping-pong. A round trip hands a value to the
// server thread and its answer back, through a mutex and a condition variable.
class PingPong {
public:
    PingPong() : server_([this] { serve(); }) {}
    ~PingPong() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        server_.join();
    }
    std::uint64_t roundTrip(std::uint64_t value) {
        std::unique_lock<std::mutex> lock(mutex_);
        request_ = value;
        hasRequest_ = true;
        cv_.notify_all();
        cv_.wait(lock, [&] { return hasReply_; });
        hasReply_ = false;
        return reply_;
    }

private:
    void serve() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            cv_.wait(lock, [&] { return hasRequest_ || stop_; });
            if (stop_) return;
            hasRequest_ = false;
            reply_ = request_;
            hasReply_ = true;
            cv_.notify_all();
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::uint64_t request_ = 0, reply_ = 0;
    bool hasRequest_ = false, hasReply_ = false, stop_ = false;
    std::thread server_;
};

// Runs work(i) on n threads made beforehand; answers the seconds from their
// common start until the last has finished.
double concurrentSeconds(int n, const std::function<void(int)>& work) {
    std::mutex m;
    std::condition_variable cv;
    bool go = false;
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i) {
        threads.emplace_back([&, i] {
            {
                std::unique_lock<std::mutex> lock(m);
                cv.wait(lock, [&] { return go; });
            }
            work(i);
        });
    }
    const LONGLONG t0 = now();
    {
        std::lock_guard<std::mutex> lock(m);
        go = true;
    }
    cv.notify_all();
    for (auto& t : threads) t.join();
    return ticksToMicros(now() - t0) / 1e6;
}

// Request to reply through the bus client, side by side with the ping-pong:
// the latency of one requester and the throughput of 8 and 64. Every reply
// must carry its own request's payload.
void compareRequestToReply(MessageBusClient& requester, MessageBusClient& responder, int iterations) {
    responder.subscribe(L"Bench.Echo", [&](MessagePtr m) {
        return responder.publish(m->createReply(L"Bench.Echo.Response", L"bench", m->getPayload()));
    });
    std::atomic<long long> requests{0}, ownPayload{0};
    auto ask = [&](const std::wstring& payload) {
        std::shared_ptr<Reply> reply;
        ++requests;
        if (requester.request(Message::create(L"Bench.Echo", L"bench", payload), reply, 5000) == 0 &&
            reply->wait() == REPLY_STATUS_RECEIVED && reply->getMessage()->getPayload() == payload) {
            ++ownPayload;
        }
    };
    const int repetitions = 5;

    const bench::SampleSide busLatency{"bus client round trip", [&] {
        std::vector<double> us;
        for (int i = 0; i < iterations; ++i) {
            const LONGLONG t0 = now();
            ask(L"one-" + std::to_wstring(i));
            us.push_back(ticksToMicros(now() - t0));
        }
        return us;
    }};
    const bench::SampleSide pingLatency{"ping-pong round trip", [&] {
        PingPong pair;
        std::vector<double> us;
        for (int i = 0; i < iterations; ++i) {
            const LONGLONG t0 = now();
            pair.roundTrip(static_cast<std::uint64_t>(i));
            us.push_back(ticksToMicros(now() - t0));
        }
        return us;
    }};
    for (const double p : {0.5, 0.99}) {
        const bench::Comparison c = bench::compareStatistic(
            busLatency, pingLatency, repetitions,
            [p](const std::vector<double>& us) { return bench::percentile(us, p); });
        bench::printRatio(p < 0.9 ? "request -> reply, 1 requester, p50" : "request -> reply, 1 requester, p99",
                          busLatency.name, pingLatency.name, c, p < 0.9 ? 2.0 : 3.0, false, "us");
    }

    for (const int n : {8, 64}) {
        const int each = std::max(1, iterations / n);
        const bench::SampleSide busRate{"bus client", [&] {
            const double seconds = concurrentSeconds(n, [&](int t) {
                for (int i = 0; i < each; ++i) ask(std::to_wstring(t) + L"-" + std::to_wstring(i));
            });
            return std::vector<double>{n * each / seconds};
        }};
        const bench::SampleSide pingRate{"ping-pong pairs", [&] {
            std::vector<std::unique_ptr<PingPong>> pairs;
            for (int t = 0; t < n; ++t) pairs.push_back(std::make_unique<PingPong>());
            const double seconds = concurrentSeconds(n, [&](int t) {
                for (int i = 0; i < each; ++i) pairs[t]->roundTrip(static_cast<std::uint64_t>(i));
            });
            return std::vector<double>{n * each / seconds};
        }};
        const bench::Comparison c = bench::compareStatistic(
            busRate, pingRate, repetitions, [](const std::vector<double>& v) { return v.front(); });
        bench::printRatio("request -> reply, " + std::to_string(n) + " requesters, throughput",
                          busRate.name, pingRate.name, c, 0.5, true, "req/s");
    }
    std::printf("replies carrying their own payload: %lld of %lld\n", ownPayload.load(), requests.load());
    responder.unsubscribe(L"Bench.Echo");
}

// A message delivered directly on the calling thread through a number of
// matching handlers (each under its own alias), beside as many aliases that
// do not match; prints the best of five runs in ns per delivery.
void directDelivery(MessageBusClient& client, int handlers, int iterations) {
    long long calls = 0;
    for (int i = 0; i < handlers; ++i) {
        client.subscribe(L"Bench.Direct", L"Bench.Direct." + std::to_wstring(i), [&](MessagePtr) {
            ++calls;
            return 0u;
        });
        client.subscribe(L"Bench.Other." + std::to_wstring(i), [](MessagePtr) { return 0u; });
    }
    const MessagePtr m = Message::create(L"Bench.Direct", L"bench", L"{}");
    const int deliveries = iterations * 50;
    double best = 0;
    for (int run = 0; run < 5; ++run) {
        const LONGLONG t0 = now();
        for (int i = 0; i < deliveries; ++i) client.deliverDirect(m);
        const double ns = ticksToMicros(now() - t0) * 1000.0 / deliveries;
        best = run == 0 ? ns : std::min(best, ns);
    }
    std::printf("%-34s %.1f ns/delivery (best of 5 runs of %d); handler calls: %lld\n",
                ("direct delivery, " + std::to_string(handlers) + " handler(s)").c_str(), best,
                deliveries, calls);
    for (int i = 0; i < handlers; ++i) {
        client.unsubscribe(L"Bench.Direct." + std::to_wstring(i));
        client.unsubscribe(L"Bench.Other." + std::to_wstring(i));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    HMODULE dll = LoadLibraryW(L"MessageBus.dll");
    if (dll == nullptr) {
        std::printf("MessageBus.dll not found beside the benchmark\n");
        return 1;
    }
    auto createObject = reinterpret_cast<void* (*)(std::uint32_t)>(
        reinterpret_cast<void*>(GetProcAddress(dll, "CreateObject")));
    auto* table = static_cast<const MessageBusFunctions*>(createObject(MESSAGE_BUS_INTERFACE_VERSION));
    if (table == nullptr) {
        std::printf("CreateObject(2001000) answered null\n");
        return 1;
    }
    MessageBusHandle h1 = nullptr, h2 = nullptr;
    if (table->open(&h1) != 0 || table->open(&h2) != 0) {
        std::printf("open failed\n");
        return 1;
    }
    int rc = 0;
    {
        auto producer = std::make_shared<MessageBusClient>(std::make_shared<MessageBusShimImpl>(h1, table));
        auto consumer = std::make_shared<MessageBusClient>(std::make_shared<MessageBusShimImpl>(h2, table));

        // 1. publish -> delivery, one message in flight at a time.
        HANDLE delivered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        std::atomic<LONGLONG> arrival{0};
        consumer->subscribe(L"Bench.Publish", [&](MessagePtr) {
            arrival = now();
            SetEvent(delivered);
            return 0u;
        });
        std::vector<double> latency;
        for (int i = 0; i < iterations; ++i) {
            auto m = Message::create(L"Bench.Publish", L"bench", L"{}");
            const LONGLONG t0 = now();
            if (producer->publish(m) != 0 || WaitForSingleObject(delivered, 5000) != WAIT_OBJECT_0) {
                std::printf("publish %d was not delivered\n", i);
                rc = 1;
                break;
            }
            latency.push_back(ticksToMicros(arrival.load() - t0));
        }
        report("publish -> delivery", latency);
        CloseHandle(delivered);

        // 2. request -> reply round trip.
        consumer->subscribe(L"Bench.Request", [&](MessagePtr m) {
            return consumer->publish(m->createReply(L"Bench.Request.Response", L"bench", L"{}"));
        });
        std::vector<double> roundTrip;
        for (int i = 0; i < iterations; ++i) {
            std::shared_ptr<Reply> reply;
            const LONGLONG t0 = now();
            if (producer->request(Message::create(L"Bench.Request", L"bench", L"{}"), reply, 5000) != 0 ||
                reply->wait() != REPLY_STATUS_RECEIVED) {
                std::printf("request %d got no reply\n", i);
                rc = 1;
                break;
            }
            roundTrip.push_back(ticksToMicros(now() - t0));
        }
        report("request -> reply round trip", roundTrip);

        // 3. the round trip beside a bare ping-pong.
        compareRequestToReply(*producer, *consumer, iterations);

        // 4. direct delivery on the calling thread.
        for (const int handlers : {1, 4}) directDelivery(*consumer, handlers, iterations);
    }
    table->close(h1);
    table->close(h2);

    // 5. a log site at level 1 under severity 3, against an empty loop.
    {
        ETWLogging::testing::ScopedCapturingLogger logger;
        logger->SetSeverity(3);
        const long long loops = 10000000LL;
        volatile long long sink = 0;
        LONGLONG t0 = now();
        for (long long i = 0; i < loops; ++i) {
            sink = sink + 1;
        }
        const double emptyUs = ticksToMicros(now() - t0);
        t0 = now();
        for (long long i = 0; i < loops; ++i) {
            VT_LOG(ETWLogging::LevelNormal, L"bus_benchmark", L"main", L"filtered %lld", i);
            sink = sink + 1;
        }
        const double logUs = ticksToMicros(now() - t0);
        std::printf("%-34s %.2f ns/iteration (empty loop %.2f ns, difference %.2f ns); records written: %zu\n",
                    "filtered VT_LOG(1) at severity 3", logUs * 1000.0 / loops, emptyUs * 1000.0 / loops,
                    (logUs - emptyUs) * 1000.0 / loops, logger->Records().size());
    }
    return rc;
}
