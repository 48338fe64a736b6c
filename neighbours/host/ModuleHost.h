// The module host neighbour: loads a module library by path, takes its entry
// table from CreateObject and drives one module through the life cycle.
#pragma once

#include "framework/bus/MessageBusFunctions.h"
#include "framework/module/ModuleFunctions.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace Tessil::host {

// Owns one loaded library.
class LoadedLibrary {
public:
    LoadedLibrary() = default;
    explicit LoadedLibrary(HMODULE module) : module_(module) {}
    ~LoadedLibrary() { reset(); }
    LoadedLibrary(LoadedLibrary&& other) noexcept : module_(std::exchange(other.module_, nullptr)) {}
    LoadedLibrary& operator=(LoadedLibrary&& other) noexcept {
        if (this != &other) {
            reset();
            module_ = std::exchange(other.module_, nullptr);
        }
        return *this;
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;
    HMODULE get() const { return module_; }
    void reset() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
            module_ = nullptr;
        }
    }

private:
    HMODULE module_ = nullptr;
};

struct HostDirectMessage {
    std::wstring name;
    std::wstring payload;
};

struct LifeCycleOptions {
    int initializeVersion = 1;        // 1: the module's own bus; 2: the host's bus
    std::wstring logName;
    std::wstring moduleName = L"Vantrel";
    std::vector<std::pair<std::wstring, std::wstring>> properties;
    std::vector<HostDirectMessage> directMessages;
    // Runs between StartModule and StopModule (after the direct messages).
    std::function<void()> whileStarted;
};

struct StepResult {
    std::wstring entry;
    std::uint32_t status;
};

class ModuleHost {
public:
    // Loads the module library; false when it cannot be loaded or has no table.
    bool loadModule(const std::wstring& path);
    // Loads the bus library and opens the host's own handle (for version 2).
    bool openHostBus(const std::wstring& busLibraryPath);
    // Drives NewModule, InitializeModule or InitializeModuleV2, StartModule,
    // the direct messages, StopModule, UninitializeModule and DestroyModule.
    // A failing NewModule or initialisation ends the run early (after
    // destroying the module it built).
    std::vector<StepResult> runLifeCycle(const LifeCycleOptions& options);
    void closeHostBus();
    ~ModuleHost();

    const ModuleFunctions* table() const { return table_; }
    HMODULE moduleLibrary() const { return module_.get(); }
    MessageBusHandle hostBusHandle() const { return busHandle_; }
    const MessageBusFunctions* hostBusFunctions() const { return busFunctions_; }

private:
    LoadedLibrary module_;
    const ModuleFunctions* table_ = nullptr;
    LoadedLibrary busLibrary_;
    const MessageBusFunctions* busFunctions_ = nullptr;
    MessageBusHandle busHandle_ = nullptr;  // closed by closeHostBus
};

// True when every step answered success.
bool allSucceeded(const std::vector<StepResult>& steps);

}  // namespace Tessil::host
