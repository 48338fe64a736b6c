// Test support: a stand-in for the tracing system. It records registrations
// and events and can enable and disable the provider like a tracing session.
#pragma once

#include "platform/Logging/ETWTraceAPI.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace ETWLogging::testing {

struct TracedEvent {
    TRACEHANDLE session = 0;
    EVENT_TRACE_HEADER header{};
    MOF_FIELD fields[2]{};
    std::vector<std::uint8_t> context;  // bytes of the first MOF field
    std::string text;                   // bytes of the second MOF field
};

struct Registration {
    WMIDPREQUEST callback = nullptr;
    void* context = nullptr;
    GUID controlGuid{};
    std::vector<GUID> traceGuids;
    bool mofPathsNull = false;
    TRACEHANDLE handle = 0;
};

class FakeTraceAPI : public ETWTraceAPI {
public:
    ULONG RegisterTraceGuids(WMIDPREQUEST callback, void* context, const GUID* controlGuid,
                             ULONG guidCount, TRACE_GUID_REGISTRATION* guids,
                             const wchar_t* mofImagePath, const wchar_t* mofResourceName,
                             TRACEHANDLE* registrationHandle) override;
    ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle) override;
    ULONG TraceEvent(TRACEHANDLE sessionHandle, EVENT_TRACE_HEADER* header) override;
    TRACEHANDLE GetTraceLoggerHandle(void* buffer) override;
    UCHAR GetTraceEnableLevel(TRACEHANDLE sessionHandle) override;
    ULONG GetTraceEnableFlags(TRACEHANDLE sessionHandle) override;

    // Runs the registered control callback as a session would; answers its code.
    ULONG Enable(TRACEHANDLE session, UCHAR level, ULONG flags = 0);
    ULONG Disable(TRACEHANDLE session);
    ULONG Control(ULONG requestCode, TRACEHANDLE session);

    std::vector<Registration> Registrations() const;
    std::vector<TRACEHANDLE> Unregistrations() const;
    std::vector<TracedEvent> Events() const;
    void ClearEvents();

    // Answer of the next registrations; a failing one still hands out a handle.
    ULONG registerResult = ERROR_SUCCESS;

private:
    struct SessionState {
        TRACEHANDLE handle;
        UCHAR level;
        ULONG flags;
    };
    mutable std::mutex mutex_;
    std::vector<Registration> registrations_;  // guarded by mutex_
    std::vector<TRACEHANDLE> unregistrations_;  // guarded by mutex_
    std::vector<TracedEvent> events_;           // guarded by mutex_
    std::vector<SessionState> sessions_;        // guarded by mutex_
    TRACEHANDLE nextHandle_ = 0x5000;           // guarded by mutex_
};

}  // namespace ETWLogging::testing
