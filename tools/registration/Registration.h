// The registration program's run: registers or unregisters one product
// plug-in or viewer through the settings manager.
#pragma once

#include "framework/bus/MessageBusClient.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace Drem {

// Exit codes of the program.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailed = 1;        // search path, or settings write or removal
inline constexpr int kExitBadCommandLine = 2;
inline constexpr int kExitNoConnection = 3;  // bus or settings client not made

struct RegistrationOptions {
    // Makes the program's bus connection and may throw; empty: a bus client
    // with a connection of its own on the bus library.
    std::function<std::shared_ptr<Tessil::MessageBusClient>()> makeBus;
    std::uint64_t settingsTimeoutMs = 5000;
    std::int64_t confirmationWaitMs = 1000;
};

// Everything after the search path is restricted; answers the exit code.
int runRegistration(int argc, const wchar_t* const argv[], const RegistrationOptions& options = {});

}  // namespace Drem
