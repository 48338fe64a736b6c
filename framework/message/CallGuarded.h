// The guard of every entry point and bus callback: any exception becomes
// MODULE_STATUS_UNKNOWN_EXCEPTION, without a log line of its own.
#pragma once

#include "framework/message/ModuleStatus.h"

#include <cstdint>
#include <functional>

namespace Tessil {

inline std::uint32_t callGuarded(const std::function<std::uint32_t()>& work) noexcept {
    try {
        if (!work) {
            return MODULE_STATUS_UNKNOWN_EXCEPTION;
        }
        return work();
    } catch (...) {
        return MODULE_STATUS_UNKNOWN_EXCEPTION;
    }
}

}  // namespace Tessil
