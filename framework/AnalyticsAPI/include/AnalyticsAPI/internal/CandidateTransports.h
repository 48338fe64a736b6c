// The transports a connector tries, in order, and the lock that serialises
// selection. The library's own definition holds the fixed list; tests link
// one they can switch instead (testing/ScopedCandidateTransports.h).
#pragma once

#include "framework/AnalyticsAPI/include/AnalyticsAPI/internal/Transport.h"

#include <memory>
#include <mutex>
#include <vector>

namespace Tessil::Analytics::internal {

struct CandidateTransports {
    std::mutex mutex;
    std::vector<std::shared_ptr<ITransport>> transports;  // guarded by mutex
};

// The candidates of the process, DefaultCandidateTransports at first.
CandidateTransports& ProcessCandidateTransports();

// The legacy transport, then the null one.
std::vector<std::shared_ptr<ITransport>> DefaultCandidateTransports();

}  // namespace Tessil::Analytics::internal
