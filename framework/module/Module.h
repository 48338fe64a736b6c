// The module interface the entry layer drives.
#pragma once

#include <cstdint>

namespace Tessil {

class Module {
public:
    virtual ~Module() = default;
    virtual std::uint32_t initialize() = 0;
    virtual std::uint32_t start() = 0;
    virtual std::uint32_t stop() = 0;
    virtual std::uint32_t uninitialize() = 0;
};

}  // namespace Tessil
