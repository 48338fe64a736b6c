#include "alerts/src/common/UnixTime.h"

#include <windows.h>

namespace Drem {

std::int64_t unixTimeNow100ns() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks{};
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    constexpr std::uint64_t kEpochDifference = 116444736000000000ull;  // 1601 -> 1970
    return static_cast<std::int64_t>(ticks.QuadPart - kEpochDifference);
}

}  // namespace Drem
