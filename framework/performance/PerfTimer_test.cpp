#include "framework/performance/PerfTimer.h"

#include "platform/Logging/testing/CapturingLogger.h"
#include "platform/Thread/UnbiasedClock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using ETWLogging::testing::ScopedCapturingLogger;

namespace {

std::vector<std::wstring> TimerLines(ETWLogging::testing::CapturingLogger& logger) {
    std::vector<std::wstring> lines;
    for (const auto& record : logger.Records()) {
        if (record.text.rfind(L"M12NPerfTimer|", 0) == 0) {
            EXPECT_EQ(record.level, ETWLogging::LevelNormal);
            EXPECT_EQ(record.file, L"performance\\PerfTimer");
            EXPECT_EQ(record.function, L"Tessil::internal::PerfTimer::stop");
            lines.push_back(record.text);
        }
    }
    return lines;
}

}  // namespace

TEST(PerfTimer, LineCarriesNameStartEndAndDifference) {
    ScopedCapturingLogger logger;
    const std::uint64_t before = Tessil::unbiasedNowMs();
    { Tessil::internal::PerfTimer timer(L"MessageBusLib::MessageBusLib"); }
    const std::uint64_t after = Tessil::unbiasedNowMs();

    auto lines = TimerLines(*logger);
    ASSERT_EQ(lines.size(), 1u);
    std::vector<std::wstring> fields;
    std::size_t from = 0;
    for (std::size_t bar; (bar = lines[0].find(L'|', from)) != std::wstring::npos; from = bar + 1) {
        fields.push_back(lines[0].substr(from, bar - from));
    }
    fields.push_back(lines[0].substr(from));
    ASSERT_EQ(fields.size(), 5u) << lines[0];
    EXPECT_EQ(fields[1], L"MessageBusLib::MessageBusLib");
    const long long start = std::stoll(fields[2]);
    const long long end = std::stoll(fields[3]);
    const long long diff = std::stoll(fields[4]);
    EXPECT_LE(static_cast<std::uint64_t>(start), static_cast<std::uint64_t>(end));
    EXPECT_GE(static_cast<std::uint64_t>(start), before);
    EXPECT_LE(static_cast<std::uint64_t>(end), after);
    EXPECT_EQ(diff, end - start);
}

TEST(PerfTimer, LogsOnceWhateverTheNumberOfStops) {
    struct Case {
        const char* what;
        int explicitStops;
        ETWLogging::LogLevel severity;
        std::size_t lines;
    };
    const Case cases[] = {
        {"destroyed only", 0, 1, 1},
        {"stopped then destroyed", 1, 1, 1},
        {"stopped twice", 2, 1, 1},
        {"level 1 disabled", 1, 2, 0},
        {"level 1 disabled, destroyed only", 0, 2, 0},
    };
    for (const Case& c : cases) {
        ScopedCapturingLogger logger;
        logger->SetSeverity(c.severity);
        {
            Tessil::internal::PerfTimer timer(L"t");
            for (int i = 0; i < c.explicitStops; ++i) {
                timer.stop();
            }
        }
        EXPECT_EQ(TimerLines(*logger).size(), c.lines) << c.what;
    }
}

TEST(PerfTimer, StopWhileDisabledStillEndsTheWatch) {
    ScopedCapturingLogger logger;
    logger->SetSeverity(2);
    {
        Tessil::internal::PerfTimer timer(L"t");
        timer.stop();
        logger->SetSeverity(1);
    }
    EXPECT_TRUE(TimerLines(*logger).empty());
}
