// A stopwatch that logs, once, how long a named piece of work took.
#pragma once

#include <cstdint>
#include <string>

namespace Tessil::internal {

class PerfTimer {
public:
    explicit PerfTimer(const std::wstring& name);
    ~PerfTimer();
    PerfTimer(const PerfTimer&) = delete;
    PerfTimer& operator=(const PerfTimer&) = delete;

    // Logs the timing line at level 1 the first time; later calls do nothing.
    void stop();

private:
    std::uint64_t start_;
    std::wstring name_;
    bool stopped_ = false;
};

}  // namespace Tessil::internal
