// The bus library in the program's own folder, for the neighbour programs
// and test helpers that talk to it directly.
#pragma once

#include "framework/bus/MessageBusClient.h"
#include "framework/bus/MessageBusFunctions.h"
#include "framework/bus/MessageBusShimImpl.h"
#include "platform/files/FileUtils.h"

#include <windows.h>

#include <cstdint>
#include <memory>

namespace Neighbours {

struct BusLibrary {
    HMODULE module = nullptr;                              // null: not found
    const Tessil::MessageBusFunctions* functions = nullptr;  // null: no table
};

// Loads "MessageBus.dll" from beside the program and takes its table.
inline BusLibrary LoadBusLibraryBesideProgram() {
    BusLibrary bus;
    bus.module = LoadLibraryW(Kelmora::PathBesideProgram(L"MessageBus.dll").c_str());
    if (bus.module == nullptr) {
        return bus;
    }
    using CreateObjectFn = void* (*)(std::uint32_t);
    auto create = reinterpret_cast<CreateObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(bus.module, "CreateObject")));
    if (create != nullptr) {
        bus.functions = static_cast<const Tessil::MessageBusFunctions*>(
            create(Tessil::MESSAGE_BUS_INTERFACE_VERSION));
    }
    return bus;
}

// A client on a handle of its own of the bus library beside the program;
// the handle is closed when this goes, after the client.
class ProgramBus {
public:
    ProgramBus() {
        library_ = LoadBusLibraryBesideProgram();
        if (library_.functions != nullptr && library_.functions->open(&handle_) == 0 && handle_ != nullptr) {
            client_ = std::make_shared<Tessil::MessageBusClient>(
                std::make_shared<Tessil::MessageBusShimImpl>(handle_, library_.functions));
        }
    }
    ~ProgramBus() {
        if (client_) client_->unsubscribeAll();
        client_.reset();
        if (handle_ != nullptr) library_.functions->close(handle_);
    }
    ProgramBus(const ProgramBus&) = delete;
    ProgramBus& operator=(const ProgramBus&) = delete;

    // Null when the library is missing or gave no handle.
    const std::shared_ptr<Tessil::MessageBusClient>& client() const { return client_; }

private:
    BusLibrary library_;
    Tessil::MessageBusHandle handle_ = nullptr;
    std::shared_ptr<Tessil::MessageBusClient> client_;
};

}  // namespace Neighbours
