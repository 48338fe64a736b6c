// Test double of the system monitor: a bus endpoint that publishes the user
// session messages when asked.
#pragma once

#include "framework/bus/MessageBus.h"

#include <cstdint>
#include <memory>

namespace Neighbours {

class SystemMonitorNeighbour {
public:
    explicit SystemMonitorNeighbour(std::shared_ptr<Tessil::MessageBus> bus);

    // Each publishes its message with {"sessionId":N}; answers the publish status.
    std::uint32_t logon(std::uint32_t sessionId);
    std::uint32_t consoleConnect(std::uint32_t sessionId);
    std::uint32_t remoteConnect(std::uint32_t sessionId);
    std::uint32_t logoff(std::uint32_t sessionId);

private:
    std::uint32_t publish(const wchar_t* name, std::uint32_t sessionId);

    std::shared_ptr<Tessil::MessageBus> bus_;
};

}  // namespace Neighbours
