// Test support: the candidate transports of the process made replaceable.
// Linking this library puts its switchable definition of the candidates in
// place of the library's fixed one.
#pragma once

#include "framework/AnalyticsAPI/include/AnalyticsAPI/internal/Transport.h"

#include <memory>
#include <vector>

namespace Tessil::Analytics::testing {

// Replaces the process-wide candidate transports for its lifetime.
class ScopedCandidateTransports {
public:
    explicit ScopedCandidateTransports(std::vector<std::shared_ptr<internal::ITransport>> transports);
    ~ScopedCandidateTransports();
    ScopedCandidateTransports(const ScopedCandidateTransports&) = delete;
    ScopedCandidateTransports& operator=(const ScopedCandidateTransports&) = delete;

private:
    std::vector<std::shared_ptr<internal::ITransport>> saved_;
};

}  // namespace Tessil::Analytics::testing
