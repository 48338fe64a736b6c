#include "neighbours/monitor/SystemMonitorNeighbour.h"

#include "framework/message/ModuleStatus.h"

#include <string>

namespace Neighbours {

SystemMonitorNeighbour::SystemMonitorNeighbour(std::shared_ptr<Tessil::MessageBus> bus) : bus_(std::move(bus)) {}

std::uint32_t SystemMonitorNeighbour::publish(const wchar_t* name, std::uint32_t sessionId) {
    auto message = Tessil::Message::create(name, L"SystemMonitor",
                                           L"{\"sessionId\":" + std::to_wstring(sessionId) + L"}");
    return message ? bus_->publish(message) : MODULE_STATUS_NO_MEMORY;
}

std::uint32_t SystemMonitorNeighbour::logon(std::uint32_t sessionId) {
    return publish(L"SystemMonitor.UserSession.Logon", sessionId);
}

std::uint32_t SystemMonitorNeighbour::consoleConnect(std::uint32_t sessionId) {
    return publish(L"SystemMonitor.UserSession.Console.Connect", sessionId);
}

std::uint32_t SystemMonitorNeighbour::remoteConnect(std::uint32_t sessionId) {
    return publish(L"SystemMonitor.UserSession.Remote.Connect", sessionId);
}

std::uint32_t SystemMonitorNeighbour::logoff(std::uint32_t sessionId) {
    return publish(L"SystemMonitor.UserSession.Logoff", sessionId);
}

}  // namespace Neighbours
