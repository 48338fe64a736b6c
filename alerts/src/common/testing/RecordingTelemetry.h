// Test support: records every telemetry event sent while it lives, from any
// thread, without the stamps.
#pragma once

#include "framework/AnalyticsAPI/testing/ScopedCandidateTransports.h"
#include "framework/AnalyticsAPI/include/AnalyticsAPI/internal/Transport.h"

#include <memory>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace Drem::testing {

using Tessil::Analytics::Dimensions;

class RecordingTransport : public Tessil::Analytics::internal::CBaseTransport {
public:
    RecordingTransport() : CBaseTransport(L"Recording", 1) {}
    bool Connect() override { return true; }
    bool Send(const Dimensions& dimensions) override;
    void Disconnect() override {}

    // The events sent so far, the private stamps ("__...") and "Tracker.Type" left out.
    std::vector<Dimensions> events() const;
    // The events named id ("UniqueIdentifier").
    std::vector<Dimensions> named(const std::wstring& id) const;
    // Waits until at least count events named id have been sent; false after timeoutMs.
    bool waitForNamed(const std::wstring& id, std::size_t count, std::uint32_t timeoutMs = 20000) const;
    void clear();

private:
    std::size_t countNamed(const std::wstring& id) const;  // with mutex_ held

    mutable std::mutex mutex_;
    mutable std::condition_variable sent_;
    std::vector<Dimensions> events_;  // guarded by mutex_
};

// Makes the recording transport the only candidate for its lifetime.
class ScopedRecordingTelemetry {
public:
    ScopedRecordingTelemetry();
    RecordingTransport* operator->() { return transport_.get(); }
    RecordingTransport& operator*() { return *transport_; }

private:
    std::shared_ptr<RecordingTransport> transport_;
    Tessil::Analytics::testing::ScopedCandidateTransports scope_;
};

}  // namespace Drem::testing
