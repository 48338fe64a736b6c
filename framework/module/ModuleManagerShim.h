// Keeps the host's module-manager callback alive with the module.
#pragma once

#include <cstdint>

// The host's module-manager function: (context, a, pointer, b) -> status.
using ModuleManagerCallback = std::uint32_t (*)(void* context, std::uint64_t a, void* pointer,
                                                std::uint64_t b);

namespace Tessil::internal {

class ModuleManagerShim {
public:
    ModuleManagerShim(void* context, ModuleManagerCallback callback)
        : context_(context), callback_(callback) {}
    virtual ~ModuleManagerShim() = default;

    // callback(context, a, null, b); MODULE_STATUS_INVALID_STATE without a callback.
    virtual std::uint32_t invoke(std::uint64_t a, void* ignored, std::uint64_t b);

private:
    void* context_;
    ModuleManagerCallback callback_;
};

}  // namespace Tessil::internal
