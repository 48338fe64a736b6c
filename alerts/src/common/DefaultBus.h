// The default bus connection of the alert service's classes: a bus client
// on a connection of its own through the bus library.
#pragma once

#include "framework/bus/MessageBus.h"

#include <functional>
#include <memory>
#include <mutex>

namespace Drem {

// Throws ModuleException when the bus library cannot be bound.
std::shared_ptr<Tessil::MessageBus> newDefaultMessageBus();

// bus itself, or a new default connection when it is empty.
inline std::shared_ptr<Tessil::MessageBus> orDefaultMessageBus(std::shared_ptr<Tessil::MessageBus> bus) {
    return bus ? std::move(bus) : newDefaultMessageBus();
}

// Opens a bus connection.
using BusConnector = std::function<std::shared_ptr<Tessil::MessageBus>()>;

// A bus connection opened on first use: the one given, else one from
// connect, else a new default one. Objects that may never need the bus
// (an alert never shown, a session never logged on) cost no connection.
class LazyBus {
public:
    explicit LazyBus(std::shared_ptr<Tessil::MessageBus> bus, BusConnector connect = {})
        : bus_(std::move(bus)), connect_(std::move(connect)) {}

    // Opens the connection when it is not open yet; empty when it cannot be
    // opened, and the next call tries again.
    std::shared_ptr<Tessil::MessageBus> get() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!bus_) {
            try {
                bus_ = orDefaultMessageBus(connect_ ? connect_() : nullptr);
            } catch (...) {
                bus_.reset();
            }
        }
        return bus_;
    }
    // The connection when it is open, else empty.
    std::shared_ptr<Tessil::MessageBus> ifOpen() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return bus_;
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<Tessil::MessageBus> bus_;  // guarded by mutex_
    const BusConnector connect_;
};

}  // namespace Drem
