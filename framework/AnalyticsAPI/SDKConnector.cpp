#include "framework/AnalyticsAPI/include/AnalyticsAPI/SDKConnector.h"

#include "framework/AnalyticsAPI/include/AnalyticsAPI/Transports.h"
#include "framework/AnalyticsAPI/include/AnalyticsAPI/internal/CandidateTransports.h"

#include "platform/paths/CommonReplacements.h"

namespace Tessil::Analytics {

std::vector<std::shared_ptr<internal::ITransport>> internal::DefaultCandidateTransports() {
    return {std::make_shared<CLegacyTransport>(), std::make_shared<CNullTransport>()};
}

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
    internal::CandidateTransports& candidates = internal::ProcessCandidateTransports();
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

}  // namespace Tessil::Analytics
