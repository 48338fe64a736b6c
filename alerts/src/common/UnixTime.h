// The system clock as the alert service stamps its alerts.
#pragma once

#include <cstdint>

namespace Drem {

// Now in 100-ns units since 1970-01-01 UTC.
std::int64_t unixTimeNow100ns();

}  // namespace Drem
