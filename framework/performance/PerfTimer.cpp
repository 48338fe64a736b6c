#include "framework/performance/PerfTimer.h"

#include "platform/Logging/Logging.h"
#include "platform/Thread/UnbiasedClock.h"

namespace Tessil::internal {

PerfTimer::PerfTimer(const std::wstring& name) : start_(unbiasedNowMs()), name_(name) {}

PerfTimer::~PerfTimer() {
    stop();
}

void PerfTimer::stop() {
    if (stopped_) {
        return;
    }
    if (ETWLogging::IsLevelEnabled(ETWLogging::LevelNormal)) {
        const auto start = static_cast<long long>(start_);
        const auto end = static_cast<long long>(unbiasedNowMs());
        VT_LOG(ETWLogging::LevelNormal, L"performance\\PerfTimer", L"Tessil::internal::PerfTimer::stop",
               L"M12NPerfTimer|%ls|%lld|%lld|%lld", name_.c_str(), start, end, end - start);
    }
    stopped_ = true;
}

}  // namespace Tessil::internal
