// Runs the bus neighbour "MessageBus.dll" inside a test process and opens
// bus clients on handles of their own.
#pragma once

#include "framework/bus/MessageBusClient.h"
#include "framework/bus/MessageBusFunctions.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace BusTesting {

class InProcessBus {
public:
    // Loads MessageBus.dll from the folder of the running program.
    InProcessBus();
    ~InProcessBus();
    InProcessBus(const InProcessBus&) = delete;
    InProcessBus& operator=(const InProcessBus&) = delete;

    bool ok() const { return functions_ != nullptr; }
    // A client on a new handle; the handle is closed when this object goes,
    // so every client must be released before. Callable from any thread.
    std::shared_ptr<Tessil::MessageBusClient> openClient();
    // An exported scripting function of the neighbour, or null.
    template <typename Function>
    Function script(const char* name) const {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(export_(name)));
    }
    // Waits until every queued delivery has run.
    bool waitIdle(std::uint32_t timeoutMs = 10000) const;

private:
    FARPROC export_(const char* name) const;

    HMODULE library_ = nullptr;
    const Tessil::MessageBusFunctions* functions_ = nullptr;
    std::mutex mutex_;
    std::vector<Tessil::MessageBusHandle> handles_;  // guarded by mutex_
};

}  // namespace BusTesting
