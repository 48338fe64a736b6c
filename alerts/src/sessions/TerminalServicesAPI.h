// The terminal-services calls of the alert sessions, as virtual operations so
// that tests can script the sessions of the machine.
#pragma once

#include <windows.h>

#include <wtsapi32.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace Drem {

class TerminalServicesAPI {
public:
    virtual ~TerminalServicesAPI() = default;
    // WTSEnumerateSessionsW on the current server, version 1.
    virtual BOOL EnumerateSessions(WTS_SESSION_INFOW** sessions, DWORD* count);
    // WTSQuerySessionInformationW on the current server.
    virtual BOOL QuerySessionInformation(DWORD sessionId, WTS_INFO_CLASS infoClass, LPWSTR* buffer,
                                         DWORD* bytes);
    virtual void FreeMemory(void* memory);
};

// api itself, or the real calls when it is empty.
std::shared_ptr<TerminalServicesAPI> orDefaultTerminalServices(std::shared_ptr<TerminalServicesAPI> api);

// Owns one block handed out by the terminal services.
class TerminalServicesMemory {
public:
    TerminalServicesMemory(TerminalServicesAPI& api, void* memory) : api_(&api), memory_(memory) {}
    ~TerminalServicesMemory() { reset(); }
    TerminalServicesMemory(TerminalServicesMemory&& other) noexcept
        : api_(other.api_), memory_(std::exchange(other.memory_, nullptr)) {}
    TerminalServicesMemory& operator=(TerminalServicesMemory&&) = delete;
    TerminalServicesMemory(const TerminalServicesMemory&) = delete;
    TerminalServicesMemory& operator=(const TerminalServicesMemory&) = delete;
    void reset() {
        if (memory_ != nullptr) {
            api_->FreeMemory(std::exchange(memory_, nullptr));
        }
    }

private:
    TerminalServicesAPI* api_;
    void* memory_;
};

// The id of the first session in the active state, 0 when none is; false
// when the sessions cannot be enumerated (error then holds GetLastError).
bool findActiveSession(TerminalServicesAPI& api, DWORD& activeId, DWORD& error);

// Whether the machine has a session of that id that a user is logged on to
// (listed in a state other than listening, reset, down or initialising);
// true also when the sessions cannot be enumerated.
bool isSessionLoggedOn(TerminalServicesAPI& api, DWORD sessionId);
// The ids among sessionIds that isSessionLoggedOn answers true for, from one
// enumeration.
std::vector<std::uint32_t> loggedOnAmong(TerminalServicesAPI& api, const std::vector<std::uint32_t>& sessionIds);

}  // namespace Drem
