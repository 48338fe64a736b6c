#include "framework/module/ModuleFunctions.h"

#include "framework/bus/MessageBusClient.h"
#include "framework/bus/MessageBusShimImpl.h"
#include "framework/buslib/MessageBusLib.h"
#include "framework/message/CallGuarded.h"
#include "framework/message/Message.h"
#include "framework/message/ModuleStatus.h"
#include "framework/module/BaseModule.h"
#include "platform/Logging/Logging.h"

#include <string>

namespace {

const wchar_t kSource[] = L"ModuleFunctions";

std::uint32_t newModule(ModuleHandle** out, const wchar_t* logName);
std::uint32_t destroyModuleEntry(ModuleHandle* handle);
std::uint32_t initializeModule(ModuleHandle* handle, const wchar_t* name, const wchar_t* name2,
                               std::uint32_t propertyCount, const wchar_t* const* propertyNames,
                               const wchar_t* const* propertyValues, void* managerContext,
                               ModuleManagerCallback managerCallback);
std::uint32_t startModule(ModuleHandle* handle);
std::uint32_t stopModule(ModuleHandle* handle);
std::uint32_t uninitializeModule(ModuleHandle* handle);
std::uint32_t directMessage(ModuleHandle* handle, const Tessil::MessageHeader* header,
                            const wchar_t* name, const wchar_t* source, const wchar_t* payload);
std::uint32_t initializeModuleV2(ModuleHandle* handle, const wchar_t* name, const wchar_t* name2,
                                 std::uint32_t propertyCount, const wchar_t* const* propertyNames,
                                 const wchar_t* const* propertyValues, void* managerContext,
                                 ModuleManagerCallback managerCallback,
                                 Tessil::MessageBusHandle busHandle,
                                 const Tessil::MessageBusFunctions* busFunctions);

const ModuleFunctions kModuleFunctions = {
    newModule,          destroyModuleEntry, initializeModule,  startModule,
    stopModule,         uninitializeModule, directMessage,     initializeModuleV2,
};

// Host strings may be null: they count as empty.
std::wstring hostText(const wchar_t* text) {
    return text != nullptr ? std::wstring(text) : std::wstring();
}

// The handle's module, or null (logged) for a null handle or an empty one.
Tessil::Module* moduleOf(ModuleHandle* handle, const wchar_t* function) {
    if (handle == nullptr || handle->get() == nullptr) {
        VT_LOG(ETWLogging::LevelError, kSource, function, L"Invalid handle.");
        return nullptr;
    }
    return handle->get();
}

std::uint32_t newModule(ModuleHandle** out, const wchar_t* logName) {
    if (out == nullptr) {
        VT_LOG(ETWLogging::LevelError, kSource, L"NewModule", L"Invalid handle address.");
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    if (logName != nullptr && logName[0] != L'\0') {
        ETWLogging::ConfigureLogging(nullptr, logName, ETWLogging::GetCurrentModuleHandle(), nullptr,
                                     0);
    }
    return Tessil::callGuarded([&]() -> std::uint32_t {
        auto handle = std::make_unique<ModuleHandle>(nullptr, [](Tessil::Module* module) {
            if (module != nullptr) {
                Tessil::destroyModule(module);
            }
        });
        Tessil::Module* module = nullptr;
        const std::uint32_t status = Tessil::createModule(&module);
        handle->reset(module);
        if (status != MODULE_STATUS_SUCCESS) {
            return status;
        }
        *out = handle.release();
        return MODULE_STATUS_SUCCESS;
    });
}

std::uint32_t destroyModuleEntry(ModuleHandle* handle) {
    if (handle == nullptr) {
        VT_LOG(ETWLogging::LevelError, kSource, L"DestroyModule", L"Invalid handle.");
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    return Tessil::callGuarded([&]() -> std::uint32_t {
        delete handle;
        return MODULE_STATUS_SUCCESS;
    });
}

std::uint32_t initializeCommon(ModuleHandle* handle, const wchar_t* function, const wchar_t* name,
                               const wchar_t* name2, std::uint32_t propertyCount,
                               const wchar_t* const* propertyNames,
                               const wchar_t* const* propertyValues, void* managerContext,
                               ModuleManagerCallback managerCallback, bool hostBus,
                               Tessil::MessageBusHandle busHandle,
                               const Tessil::MessageBusFunctions* busFunctions) {
    Tessil::Module* module = moduleOf(handle, function);
    if (module == nullptr) {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    return Tessil::callGuarded([&]() -> std::uint32_t {
        auto* base = dynamic_cast<Tessil::BaseModule*>(module);
        if (base == nullptr) {
            return module->initialize();
        }
        Tessil::PropertyMap properties;
        if (propertyNames != nullptr && propertyValues != nullptr) {
            for (std::uint32_t i = 0; i < propertyCount; ++i) {
                properties.emplace(hostText(propertyNames[i]), hostText(propertyValues[i]));
            }
        }
        auto manager =
            std::make_shared<Tessil::internal::ModuleManagerShim>(managerContext, managerCallback);
        std::shared_ptr<Tessil::MessageBus> bus;
        if (hostBus) {
            bus = std::make_shared<Tessil::MessageBusClient>(
                std::make_shared<Tessil::MessageBusShimImpl>(busHandle, busFunctions));
        } else {
            bus = std::make_shared<Tessil::MessageBusClient>(std::make_shared<Tessil::MessageBusLib>());
        }
        const std::uint32_t status = base->baseInitialize(hostText(name), hostText(name2),
                                                          properties, manager, bus);
        if (status != MODULE_STATUS_SUCCESS) {
            VT_LOG(ETWLogging::LevelError, kSource, function,
                   L"Failed to initialize base module. Error code %lu.",
                   static_cast<unsigned long>(status));
            return status;
        }
        return module->initialize();
    });
}

std::uint32_t initializeModule(ModuleHandle* handle, const wchar_t* name, const wchar_t* name2,
                               std::uint32_t propertyCount, const wchar_t* const* propertyNames,
                               const wchar_t* const* propertyValues, void* managerContext,
                               ModuleManagerCallback managerCallback) {
    return initializeCommon(handle, L"InitializeModule", name, name2, propertyCount, propertyNames,
                            propertyValues, managerContext, managerCallback, false, nullptr,
                            nullptr);
}

std::uint32_t initializeModuleV2(ModuleHandle* handle, const wchar_t* name, const wchar_t* name2,
                                 std::uint32_t propertyCount, const wchar_t* const* propertyNames,
                                 const wchar_t* const* propertyValues, void* managerContext,
                                 ModuleManagerCallback managerCallback,
                                 Tessil::MessageBusHandle busHandle,
                                 const Tessil::MessageBusFunctions* busFunctions) {
    return initializeCommon(handle, L"InitializeModuleV2", name, name2, propertyCount,
                            propertyNames, propertyValues, managerContext, managerCallback, true,
                            busHandle, busFunctions);
}

std::uint32_t runOperation(ModuleHandle* handle, const wchar_t* function,
                           std::uint32_t (Tessil::Module::*operation)()) {
    Tessil::Module* module = moduleOf(handle, function);
    if (module == nullptr) {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    return Tessil::callGuarded([&]() -> std::uint32_t { return (module->*operation)(); });
}

std::uint32_t startModule(ModuleHandle* handle) {
    return runOperation(handle, L"StartModule", &Tessil::Module::start);
}

std::uint32_t stopModule(ModuleHandle* handle) {
    return runOperation(handle, L"StopModule", &Tessil::Module::stop);
}

std::uint32_t uninitializeModule(ModuleHandle* handle) {
    return runOperation(handle, L"UninitializeModule", &Tessil::Module::uninitialize);
}

std::uint32_t directMessage(ModuleHandle* handle, const Tessil::MessageHeader* header,
                            const wchar_t* name, const wchar_t* source, const wchar_t* payload) {
    Tessil::Module* module = moduleOf(handle, L"DirectMessage");
    if (module == nullptr) {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    return Tessil::callGuarded([&]() -> std::uint32_t {
        auto message = Tessil::Message::create(hostText(name), hostText(source), hostText(payload));
        if (!message) {
            return MODULE_STATUS_NO_MEMORY;
        }
        Tessil::copyHeader(message->getHeader(), header);
        auto* base = dynamic_cast<Tessil::BaseModule*>(module);
        if (base == nullptr) {
            return MODULE_STATUS_SUCCESS;
        }
        return base->directMessage(message);
    });
}

}  // namespace

extern "C" {

const ModuleFunctions* CreateObject(std::uint32_t /*version*/) {
    return &kModuleFunctions;
}

void ReleaseObject(void* /*object*/) {}

const char* GetVersionStr() {
    return kModuleVersionStr;
}

std::uint32_t GetVersionNum() {
    return kModuleVersionNum;
}

}  // extern "C"

namespace Tessil {

std::uint32_t createModule(Module** out) {
    if (out == nullptr) {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    *out = internal::makeModule();
    VT_LOG(ETWLogging::LevelInformation, kSource, L"Tessil::createModule",
           L"Created Vantrel module.");
    return MODULE_STATUS_SUCCESS;
}

void destroyModule(Module* module) {
    VT_LOG(ETWLogging::LevelInformation, kSource, L"Tessil::destroyModule",
           L"Destroying Vantrel module.");
    if (module == nullptr) {
        return;
    }
    // Handlers must be gone before the module's own members are.
    if (auto* base = dynamic_cast<BaseModule*>(module)) {
        base->releaseBusSubscriptions();
    }
    delete module;
}

}  // namespace Tessil
