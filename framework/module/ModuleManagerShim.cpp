#include "framework/module/ModuleManagerShim.h"

#include "framework/message/ModuleStatus.h"

namespace Tessil::internal {

std::uint32_t ModuleManagerShim::invoke(std::uint64_t a, void* /*ignored*/, std::uint64_t b) {
    return callback_ != nullptr ? callback_(context_, a, nullptr, b) : MODULE_STATUS_INVALID_STATE;
}

}  // namespace Tessil::internal
