// The default bus connection of the alert service's classes: a bus client
// on a connection of its own through the bus library.
#pragma once

#include "framework/bus/MessageBus.h"

#include <memory>

namespace Drem {

// Throws ModuleException when the bus library cannot be bound.
std::shared_ptr<Tessil::MessageBus> newDefaultMessageBus();

// bus itself, or a new default connection when it is empty.
inline std::shared_ptr<Tessil::MessageBus> orDefaultMessageBus(std::shared_ptr<Tessil::MessageBus> bus) {
    return bus ? std::move(bus) : newDefaultMessageBus();
}

}  // namespace Drem
