#include "neighbours/SettingsManager/testing/InProcessBus.h"

#include "framework/bus/MessageBusShimImpl.h"
#include "neighbours/MessageBus/BusLibraryBesideProgram.h"
#include "neighbours/MessageBus/MessageBusScript.h"

namespace BusTesting {

InProcessBus::InProcessBus() {
    const Neighbours::BusLibrary bus = Neighbours::LoadBusLibraryBesideProgram();
    library_ = bus.module;
    functions_ = bus.functions;
}

InProcessBus::~InProcessBus() {
    if (functions_ != nullptr) {
        for (Tessil::MessageBusHandle handle : handles_) {
            functions_->close(handle);
        }
    }
    // The library pins itself once a handle was opened.
    if (library_ != nullptr) {
        FreeLibrary(library_);
    }
}

std::shared_ptr<Tessil::MessageBusClient> InProcessBus::openClient() {
    if (functions_ == nullptr) {
        return nullptr;
    }
    Tessil::MessageBusHandle handle = nullptr;
    if (functions_->open(&handle) != 0 || handle == nullptr) {
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handles_.push_back(handle);
    }
    return std::make_shared<Tessil::MessageBusClient>(
        std::make_shared<Tessil::MessageBusShimImpl>(handle, functions_));
}

FARPROC InProcessBus::export_(const char* name) const {
    return library_ != nullptr ? GetProcAddress(library_, name) : nullptr;
}

bool InProcessBus::waitIdle(std::uint32_t timeoutMs) const {
    auto wait = script<VtBusScript_WaitIdle_t>("VtBusScript_WaitIdle");
    return wait != nullptr && wait(timeoutMs) != 0;
}

}  // namespace BusTesting
