// The entry layer of a module library: the four exports, the table of eight
// module entry points and the module factory pair.
#pragma once

#include "framework/bus/MessageBusFunctions.h"
#include "framework/message/MessageHeader.h"
#include "framework/module/ModuleManagerShim.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace Tessil {
class Module;
}

// What the host holds: owns the module; deleting it destroys the module.
using ModuleHandle = std::unique_ptr<Tessil::Module, std::function<void(Tessil::Module*)>>;

// The table CreateObject hands out; the host indexes it by position.
struct ModuleFunctions {
    std::uint32_t (*NewModule)(ModuleHandle** out, const wchar_t* logName);
    std::uint32_t (*DestroyModule)(ModuleHandle* handle);
    std::uint32_t (*InitializeModule)(ModuleHandle* handle, const wchar_t* name,
                                      const wchar_t* name2, std::uint32_t propertyCount,
                                      const wchar_t* const* propertyNames,
                                      const wchar_t* const* propertyValues, void* managerContext,
                                      ModuleManagerCallback managerCallback);
    std::uint32_t (*StartModule)(ModuleHandle* handle);
    std::uint32_t (*StopModule)(ModuleHandle* handle);
    std::uint32_t (*UninitializeModule)(ModuleHandle* handle);
    std::uint32_t (*DirectMessage)(ModuleHandle* handle, const Tessil::MessageHeader* header,
                                   const wchar_t* name, const wchar_t* source,
                                   const wchar_t* payload);
    std::uint32_t (*InitializeModuleV2)(ModuleHandle* handle, const wchar_t* name,
                                        const wchar_t* name2, std::uint32_t propertyCount,
                                        const wchar_t* const* propertyNames,
                                        const wchar_t* const* propertyValues, void* managerContext,
                                        ModuleManagerCallback managerCallback,
                                        Tessil::MessageBusHandle busHandle,
                                        const Tessil::MessageBusFunctions* busFunctions);
};
static_assert(sizeof(ModuleFunctions) == 8 * sizeof(void*));

inline constexpr std::uint32_t kModuleVersionNum = 2001000;
inline constexpr char kModuleVersionStr[] = "2.1.0";

// The four standard exports (unmangled through the module's .def file).
extern "C" {
const ModuleFunctions* CreateObject(std::uint32_t version);
void ReleaseObject(void* object);
const char* GetVersionStr();
std::uint32_t GetVersionNum();
}

namespace Tessil {

// Builds the module library's module and stores it through out; a failing
// constructor throws.
std::uint32_t createModule(Module** out);
// Destroys a module made by createModule; nothing for null.
void destroyModule(Module* module);

namespace internal {
// Defined by each module library: constructs its module.
Module* makeModule();
}  // namespace internal

}  // namespace Tessil
