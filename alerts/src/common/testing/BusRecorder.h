// Test support: collects the messages that match an expression on a bus.
#pragma once

#include "framework/bus/MessageBus.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Drem::testing {

class BusRecorder {
public:
    struct Received {
        std::wstring name;
        std::wstring source;
        std::wstring payload;
    };

    // Subscribes on bus at once; subscribed() tells whether the bus took it.
    BusRecorder(std::shared_ptr<Tessil::MessageBus> bus, const std::wstring& expression);
    ~BusRecorder();
    BusRecorder(const BusRecorder&) = delete;
    BusRecorder& operator=(const BusRecorder&) = delete;

    bool subscribed() const { return subscribed_; }
    std::vector<Received> messages() const;
    std::vector<std::wstring> names() const;
    // Waits until at least count messages have come; false after timeoutMs.
    bool waitFor(std::size_t count, std::uint32_t timeoutMs = 10000) const;

private:
    std::shared_ptr<Tessil::MessageBus> bus_;
    std::wstring expression_;
    bool subscribed_ = false;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<Received> messages_;  // guarded by mutex_
};

}  // namespace Drem::testing
