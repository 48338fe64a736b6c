// The bus library in the program's own folder, for the neighbour programs
// and test helpers that talk to it directly.
#pragma once

#include "framework/bus/MessageBusFunctions.h"
#include "platform/files/FileUtils.h"

#include <windows.h>

#include <cstdint>

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

}  // namespace Neighbours
