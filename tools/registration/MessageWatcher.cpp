#include "tools/registration/MessageWatcher.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace Drem {

namespace {

// Waits on the condition in slices: a huge duration makes wait_for return at once.
constexpr std::int64_t kSliceMs = 100;

std::uint64_t nowMs() {
    ULONGLONG t = 0;
    QueryUnbiasedInterruptTime(&t);
    return static_cast<std::uint64_t>(t) / 10000;
}

}  // namespace

MessageWatcher::MessageWatcher(std::shared_ptr<Tessil::MessageBusClient> bus,
                               std::function<void()> received)
    : bus_(std::move(bus)), receivedSeam_(std::move(received)) {}

MessageWatcher::~MessageWatcher() {
    if (bus_) {
        bus_->unsubscribe(messageName);
    }
}

std::uint32_t MessageWatcher::onMessage(std::shared_ptr<Tessil::Message>) {
    std::lock_guard<std::mutex> guard(lock_);
    received_ = true;
    if (receivedSeam_) {
        receivedSeam_();
    }
    // Signalled under the lock: once the waiter sees received_ it may destroy
    // this object, and this thread touches nothing of it after the unlock.
    condition_.notify_all();
    return 0;
}

bool MessageWatcher::wait(std::int64_t ms) {
    const std::uint64_t start = nowMs();
    const std::uint64_t deadline =
        ms > 0 ? start + std::min<std::uint64_t>(static_cast<std::uint64_t>(ms), UINT64_MAX - start)
               : 0;
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        if (received_) {
            return true;
        }
        const std::uint64_t now = nowMs();
        if (now >= deadline) {
            return received_;
        }
        const auto slice = std::min<std::uint64_t>(deadline - now, kSliceMs);
        condition_.wait_for(guard, std::chrono::milliseconds(slice));
    }
}

}  // namespace Drem
