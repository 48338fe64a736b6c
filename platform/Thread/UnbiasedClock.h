// The clock of time limits and deadlines: milliseconds of the unbiased
// interrupt time, which does not advance while the machine sleeps.
#pragma once

#include <windows.h>

#include <cstdint>

namespace Tessil {

inline std::uint64_t unbiasedNowMs() {
    ULONGLONG ticks = 0;
    QueryUnbiasedInterruptTime(&ticks);
    return static_cast<std::uint64_t>(ticks) / 10000;
}

}  // namespace Tessil
