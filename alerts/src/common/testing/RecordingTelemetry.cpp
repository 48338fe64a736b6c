#include "alerts/src/common/testing/RecordingTelemetry.h"

namespace Drem::testing {

bool RecordingTransport::Send(const Dimensions& dimensions) {
    Dimensions kept;
    for (const auto& entry : dimensions) {
        if (entry.first.rfind(L"__", 0) != 0 && entry.first != L"Tracker.Type") {
            kept.insert(entry);
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(kept));
    return true;
}

std::vector<Dimensions> RecordingTransport::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<Dimensions> RecordingTransport::named(const std::wstring& id) const {
    std::vector<Dimensions> found;
    for (const Dimensions& event : events()) {
        auto it = event.find(L"UniqueIdentifier");
        if (it != event.end() && it->second == id) {
            found.push_back(event);
        }
    }
    return found;
}

void RecordingTransport::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

ScopedRecordingTelemetry::ScopedRecordingTelemetry()
    : transport_(std::make_shared<RecordingTransport>()), scope_({transport_}) {}

}  // namespace Drem::testing
