#include "framework/AnalyticsAPI/include/AnalyticsAPI/internal/CandidateTransports.h"

namespace Tessil::Analytics::internal {

namespace {

// Kept when this module is loaded, so the list exists before any send.
[[maybe_unused]] CandidateTransports& gCandidatesAtLoad = ProcessCandidateTransports();

}  // namespace

CandidateTransports& ProcessCandidateTransports() {
    static CandidateTransports candidates{{}, DefaultCandidateTransports()};
    return candidates;
}

}  // namespace Tessil::Analytics::internal
