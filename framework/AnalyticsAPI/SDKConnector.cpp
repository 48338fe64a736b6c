#include "framework/AnalyticsAPI/include/AnalyticsAPI/SDKConnector.h"

#include "framework/AnalyticsAPI/include/AnalyticsAPI/Transports.h"

#include "platform/paths/CommonReplacements.h"

#include <mutex>

namespace Tessil::Analytics {

namespace {

// The candidates in the order they are tried, and the lock that serialises
// selection.
struct Candidates {
    std::mutex mutex;
    std::vector<std::shared_ptr<internal::ITransport>> transports;  // guarded by mutex
};

Candidates& ProcessCandidates() {
    static Candidates candidates{
        {},
        {std::make_shared<CLegacyTransport>(), std::make_shared<CNullTransport>()}};
    return candidates;
}

// Kept when this module is loaded, so the list exists before any send.
[[maybe_unused]] Candidates& gCandidatesAtLoad = ProcessCandidates();

}  // namespace

std::wstring CallerNameDimension() {
    std::wstring path = L"$(App.Path)";
    Kelmora::CommonReplacements().Replace(path);
    std::wstring doubled;
    doubled.reserve(path.size() * 2);
    for (wchar_t unit : path) {
        doubled += unit;
        if (unit == L'\\') {
            doubled += L'\\';
        }
    }
    return doubled;
}

bool CSDKConnector::Connect() {
    transport_.reset();
    transport_ = SelectTransport();
    return transport_ != nullptr;
}

std::shared_ptr<internal::ITransport> CSDKConnector::SelectTransport() {
    Candidates& candidates = ProcessCandidates();
    std::lock_guard<std::mutex> lock(candidates.mutex);
    for (const auto& candidate : candidates.transports) {
        if (!candidate) {
            continue;
        }
        if (candidate->Connect()) {
            return candidate;
        }
        candidate->Disconnect();
    }
    return std::make_shared<CNullTransport>();
}

bool CSDKConnector::Send(Dimensions& dimensions) {
    if (!transport_) {
        return false;
    }
    dimensions[L"__caller.name"] = CallerNameDimension();
    dimensions[L"__transport.name"] =
        transport_->GetName() + L" v" + std::to_wstring(transport_->GetVersion());
    return transport_->Send(dimensions);
}

void CSDKConnector::Disconnect() {
    if (transport_) {
        transport_->Disconnect();
    }
    transport_.reset();
}

namespace testing {

ScopedCandidateTransports::ScopedCandidateTransports(
    std::vector<std::shared_ptr<internal::ITransport>> transports) {
    Candidates& candidates = ProcessCandidates();
    std::lock_guard<std::mutex> lock(candidates.mutex);
    saved_ = std::move(candidates.transports);
    candidates.transports = std::move(transports);
}

ScopedCandidateTransports::~ScopedCandidateTransports() {
    Candidates& candidates = ProcessCandidates();
    std::lock_guard<std::mutex> lock(candidates.mutex);
    candidates.transports = std::move(saved_);
}

}  // namespace testing
}  // namespace Tessil::Analytics
