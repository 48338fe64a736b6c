#include "framework/AnalyticsAPI/testing/ScopedCandidateTransports.h"
#include "framework/AnalyticsAPI/include/AnalyticsAPI/internal/CandidateTransports.h"

namespace Tessil::Analytics {

namespace internal {

// The same list as the library's, here open to replacement.
CandidateTransports& ProcessCandidateTransports() {
    static CandidateTransports candidates{{}, DefaultCandidateTransports()};
    return candidates;
}

}  // namespace internal

namespace testing {

ScopedCandidateTransports::ScopedCandidateTransports(
    std::vector<std::shared_ptr<internal::ITransport>> transports) {
    internal::CandidateTransports& candidates = internal::ProcessCandidateTransports();
    std::lock_guard<std::mutex> lock(candidates.mutex);
    saved_ = std::move(candidates.transports);
    candidates.transports = std::move(transports);
}

ScopedCandidateTransports::~ScopedCandidateTransports() {
    internal::CandidateTransports& candidates = internal::ProcessCandidateTransports();
    std::lock_guard<std::mutex> lock(candidates.mutex);
    candidates.transports = std::move(saved_);
}

}  // namespace testing
}  // namespace Tessil::Analytics
