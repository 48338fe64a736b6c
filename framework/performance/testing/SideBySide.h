#pragma once
// Benchmark support: the project and its anchor measured in alternating
// repetitions in one process, reported as medians with their spread and the
// ratio beside its target. Timing only; nothing here asserts.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace bench {

struct Spread {
    double median = 0, min = 0, max = 0;
};

inline Spread spreadOf(std::vector<double> values) {
    Spread s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    s.min = values.front();
    s.max = values.back();
    const std::size_t n = values.size();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return s;
}

// Percentile p (0..1) of samples, nearest rank.
inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    std::size_t i = static_cast<std::size_t>(p * static_cast<double>(values.size()));
    return values[std::min(values.size() - 1, i)];
}

// Seconds one call of work takes.
inline double secondsOf(const std::function<void()>& work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One side: a rate (operations per second, higher is better) measured by
// running `round` once per repetition; `round` does `operations` operations.
// `prepare`, when set, runs before each round, untimed.
struct Side {
    std::string name;
    std::function<void()> round;
    double operations = 1;
    std::function<void()> prepare = {};
};

// Seconds one round of side takes, after its preparation.
inline double secondsOfRound(const Side& side) {
    if (side.prepare) side.prepare();
    return secondsOf(side.round);
}

struct Comparison {
    Spread project, anchor, ratio;  // rates, and project/anchor per repetition pair
};

// Alternates project and anchor `repetitions` times (after one warm-up each).
inline Comparison compareRates(const Side& project, const Side& anchor, int repetitions) {
    secondsOfRound(project);
    secondsOfRound(anchor);
    std::vector<double> p, a, r;
    for (int i = 0; i < repetitions; ++i) {
        double pr = project.operations / secondsOfRound(project);
        double ar = anchor.operations / secondsOfRound(anchor);
        p.push_back(pr);
        a.push_back(ar);
        r.push_back(pr / ar);
    }
    return {spreadOf(p), spreadOf(a), spreadOf(r)};
}

// One side measured as the samples of one repetition (for example round-trip
// times in microseconds), of which a statistic such as a percentile is compared.
struct SampleSide {
    std::string name;
    std::function<std::vector<double>()> round;
};

// Alternates project and anchor `repetitions` times (after one warm-up each),
// comparing statistic(samples) of each repetition pair.
inline Comparison compareStatistic(const SampleSide& project, const SampleSide& anchor,
                                   int repetitions,
                                   const std::function<double(const std::vector<double>&)>& statistic) {
    project.round();
    anchor.round();
    std::vector<double> p, a, r;
    for (int i = 0; i < repetitions; ++i) {
        const double ps = statistic(project.round());
        const double as = statistic(anchor.round());
        p.push_back(ps);
        a.push_back(as);
        r.push_back(as > 0 ? ps / as : 0);
    }
    return {spreadOf(p), spreadOf(a), spreadOf(r)};
}

inline void printSpread(const char* label, const Spread& s, const char* unit) {
    std::printf("  %-28s median %12.1f %s  (min %.1f, max %.1f)\n", label, s.median, unit, s.min, s.max);
}

// Prints both rates and the ratio with its target. `atLeast`: the ratio must
// be at least `target` (else at most).
inline void printRatio(const std::string& title, const std::string& projectName,
                       const std::string& anchorName, const Comparison& c, double target,
                       bool atLeast, const char* unit) {
    std::printf("%s\n", title.c_str());
    printSpread(projectName.c_str(), c.project, unit);
    printSpread(anchorName.c_str(), c.anchor, unit);
    const bool met = atLeast ? c.ratio.median >= target : c.ratio.median <= target;
    std::printf("  ratio project/anchor         median %.3f (min %.3f, max %.3f)  target %s %.2f  %s\n",
                c.ratio.median, c.ratio.min, c.ratio.max, atLeast ? ">=" : "<=", target,
                met ? "met" : "NOT met");
}

inline void printRatio(const std::string& title, const Side& project, const Side& anchor,
                       const Comparison& c, double target, bool atLeast, const char* unit = "ops/s") {
    printRatio(title, project.name, anchor.name, c, target, atLeast, unit);
}

// The spread of 1/x for the values whose spread is s: exact for an odd
// number of values, as the median is then one of them.
inline Spread inverseOf(const Spread& s) {
    return {1 / s.median, 1 / s.max, 1 / s.min};
}

// Prints both costs per operation (scale / rate, e.g. 1e9 for ns) and the
// cost ratio project/anchor with the most it may be.
inline void printCostRatio(const std::string& title, const Side& project, const Side& anchor,
                           const Comparison& c, double atMost, double scale = 1e9,
                           const char* unit = "ns/op") {
    auto cost = [scale](const Spread& rate) {
        Spread s = inverseOf(rate);
        return Spread{s.median * scale, s.min * scale, s.max * scale};
    };
    std::printf("%s\n", title.c_str());
    printSpread(project.name.c_str(), cost(c.project), unit);
    printSpread(anchor.name.c_str(), cost(c.anchor), unit);
    const Spread ratio = inverseOf(c.ratio);
    std::printf("  cost ratio project/anchor    median %.3f (min %.3f, max %.3f)  target <= %.2f  %s\n",
                ratio.median, ratio.min, ratio.max, atMost, ratio.median <= atMost ? "met" : "NOT met");
}

// Prints whether the measured work gave the expected results.
inline void printCheck(const std::string& what, bool ok) {
    std::printf("  check: %s: %s\n", what.c_str(), ok ? "ok" : "FAILED");
}

}  // namespace bench
