// Small pieces the neighbour programs of the demo share: named events the
// demo hands them, and a clock that every process of the machine shares.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace Neighbours {

// Sets the named event; nothing when the name is empty or unknown.
inline void SignalNamedEvent(const std::wstring& name) {
    if (name.empty()) return;
    if (HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str())) {
        SetEvent(event);
        CloseHandle(event);
    }
}

// Waits for the named event; false when it cannot be opened.
inline bool WaitForNamedEvent(const std::wstring& name) {
    HANDLE event = name.empty() ? nullptr : OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
    if (event == nullptr) return false;
    WaitForSingleObject(event, INFINITE);
    CloseHandle(event);
    return true;
}

// Microseconds of the performance counter, the same in every process.
inline std::uint64_t MachineMicroseconds() {
    LARGE_INTEGER now{}, frequency{};
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    const auto ticks = static_cast<std::uint64_t>(now.QuadPart);
    const auto perSecond = static_cast<std::uint64_t>(frequency.QuadPart);
    return ticks / perSecond * 1000000u + ticks % perSecond * 1000000u / perSecond;
}

}  // namespace Neighbours
