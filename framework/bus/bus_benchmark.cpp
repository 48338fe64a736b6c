// Timing program on the bus neighbour "MessageBus.dll" (copied beside it):
// publish-to-delivery latency, request-to-reply round trip, and the cost of a
// log site filtered out by severity. Run: wine bus_benchmark.exe [iterations]
#include "framework/bus/MessageBusClient.h"
#include "framework/bus/MessageBusShimImpl.h"
#include "platform/Logging/Logging.h"
#include "platform/Logging/testing/CapturingLogger.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
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
    }
    table->close(h1);
    table->close(h2);

    // 3. a log site at level 1 under severity 3, against an empty loop.
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
