#include "alerts/src/common/testing/RecordingTelemetry.h"

#include <chrono>

namespace Drem::testing {

bool RecordingTransport::Send(const Dimensions& dimensions) {
    Dimensions kept;
    for (const auto& entry : dimensions) {
        if (entry.first.rfind(L"__", 0) != 0 && entry.first != L"Tracker.Type") {
            kept.insert(entry);
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(kept));
    }
    sent_.notify_all();
    return true;
}

std::size_t RecordingTransport::countNamed(const std::wstring& id) const {
    std::size_t count = 0;
    for (const Dimensions& event : events_) {
        auto it = event.find(L"UniqueIdentifier");
        count += it != event.end() && it->second == id ? 1 : 0;
    }
    return count;
}

bool RecordingTransport::waitForNamed(const std::wstring& id, std::size_t count, std::uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return sent_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return countNamed(id) >= count; });
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
