#include "alerts/src/common/testing/BusRecorder.h"

#include <chrono>

namespace Drem::testing {

BusRecorder::BusRecorder(std::shared_ptr<Tessil::MessageBus> bus, const std::wstring& expression)
    : bus_(std::move(bus)), expression_(expression) {
    subscribed_ = bus_->subscribeFilter(expression_, expression_,
                                        [this](std::shared_ptr<Tessil::Message> message) {
                                            {
                                                std::lock_guard<std::mutex> lock(mutex_);
                                                messages_.push_back({message->getName(),
                                                                     message->getSource(),
                                                                     message->getPayload()});
                                            }
                                            arrived_.notify_all();
                                            return 0u;
                                        }) == 0;
}

BusRecorder::~BusRecorder() {
    if (subscribed_) {
        bus_->unsubscribe(expression_);
    }
}

std::vector<BusRecorder::Received> BusRecorder::messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<std::wstring> BusRecorder::names() const {
    std::vector<std::wstring> names;
    for (const Received& received : messages()) {
        names.push_back(received.name);
    }
    return names;
}

bool BusRecorder::waitFor(std::size_t count, std::uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return messages_.size() >= count; });
}

}  // namespace Drem::testing
