// The event-tracing functions the ETW logger calls, as a class of virtual
// operations so that tests can stand in for the tracing system.
#pragma once

#include <windows.h>
#include <wmistr.h>
#include <evntrace.h>

#include <memory>

namespace ETWLogging {

class ETWTraceAPI {
public:
    virtual ~ETWTraceAPI() = default;
    virtual ULONG RegisterTraceGuids(WMIDPREQUEST callback, void* context, const GUID* controlGuid,
                                     ULONG guidCount, TRACE_GUID_REGISTRATION* guids,
                                     const wchar_t* mofImagePath, const wchar_t* mofResourceName,
                                     TRACEHANDLE* registrationHandle);
    virtual ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle);
    virtual ULONG TraceEvent(TRACEHANDLE sessionHandle, EVENT_TRACE_HEADER* header);
    virtual TRACEHANDLE GetTraceLoggerHandle(void* buffer);
    virtual UCHAR GetTraceEnableLevel(TRACEHANDLE sessionHandle);
    virtual ULONG GetTraceEnableFlags(TRACEHANDLE sessionHandle);
};

// The system's functions; shared by every logger that was given none.
std::shared_ptr<ETWTraceAPI> DefaultTraceAPI();

// GetTraceLoggerHandle's answer for a buffer that names no session.
inline constexpr TRACEHANDLE kInvalidTraceHandle = ~TRACEHANDLE{0};

}  // namespace ETWLogging
