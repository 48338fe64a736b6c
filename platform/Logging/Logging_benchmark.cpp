// The cost of a log site whose level is filtered, beside spdlog's call at a
// level that is off, each through its process-wide logger, in one run.
#include "framework/performance/testing/SideBySide.h"
#include "platform/Logging/FileLogger.h"
#include "platform/Logging/Logging.h"
#include "platform/Logging/testing/CapturingLogger.h"

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <memory>

namespace {

constexpr int kCalls = 4'000'000;
constexpr int kRepetitions = 15;

}  // namespace

int main() {
    // The file logger at its default severity 3: level-1 sites are filtered.
    auto* logger = new ETWLogging::CLogging();
    ETWLogging::testing::InstallLogger(logger);

    auto anchorLogger =
        std::make_shared<spdlog::logger>("bench", std::make_shared<spdlog::sinks::null_sink_mt>());
    anchorLogger->set_level(spdlog::level::info);
    spdlog::set_default_logger(anchorLogger);

    long long evaluated = 0;
    auto argument = [&evaluated](int i) {
        ++evaluated;
        return i;
    };
    bench::Side project{"filtered VT_LOG site", [&] {
                            for (int i = 0; i < kCalls; ++i) {
                                VT_LOG(ETWLogging::LevelNormal, L"Bench\\Logging_benchmark", L"main",
                                       L"value %d", argument(i));
                            }
                        },
                        kCalls};
    spdlog::logger* direct = anchorLogger.get();
    bench::Side directAnchor{"spdlog logger->debug, off", [&] {
                                 for (int i = 0; i < kCalls; ++i) {
                                     direct->debug("value {}", argument(i));
                                 }
                             },
                             kCalls};
    bench::Side anchor{"spdlog::debug, level off", [&] {
                           for (int i = 0; i < kCalls; ++i) {
                               spdlog::debug("value {}", argument(i));
                           }
                       },
                       kCalls};
    const long long before = evaluated;
    project.round();
    const long long projectEvaluated = evaluated - before;
    const bench::Comparison c = bench::compareRates(project, anchor, kRepetitions);
    bench::printRatio("Filtered log call, calls/s (target: at most 1.5 times spdlog's time, "
                      "so a rate ratio of at least 0.67)",
                      project, anchor, c, 1.0 / 1.5, true, "calls/s");
    std::printf("  time per call: project %.2f ns, spdlog %.2f ns (medians)\n", 1e9 / c.project.median,
                1e9 / c.anchor.median);
    const bench::Comparison d = bench::compareRates(project, directAnchor, kRepetitions);
    bench::printRatio("The same beside spdlog's call on a logger it holds (no registry look-up)", project,
                      directAnchor, d, 1.0 / 1.5, true, "calls/s");
    // The work: the filtered site evaluated no argument and the level is on
    // for an error; spdlog evaluated its argument on every call.
    std::printf("  check: filtered site evaluated %lld arguments; error level enabled: %s\n",
                projectEvaluated, ETWLogging::IsLevelEnabled(ETWLogging::LevelError) ? "yes" : "no");
    ETWLogging::testing::InstallLogger(nullptr);
    return 0;
}
