#include "platform/Logging/ETWTraceAPI.h"

namespace ETWLogging {

ULONG ETWTraceAPI::RegisterTraceGuids(WMIDPREQUEST callback, void* context, const GUID* controlGuid,
                                      ULONG guidCount, TRACE_GUID_REGISTRATION* guids,
                                      const wchar_t* mofImagePath, const wchar_t* mofResourceName,
                                      TRACEHANDLE* registrationHandle) {
    return ::RegisterTraceGuidsW(callback, context, controlGuid, guidCount, guids, mofImagePath,
                                 mofResourceName, registrationHandle);
}

ULONG ETWTraceAPI::UnregisterTraceGuids(TRACEHANDLE registrationHandle) {
    return ::UnregisterTraceGuids(registrationHandle);
}

ULONG ETWTraceAPI::TraceEvent(TRACEHANDLE sessionHandle, EVENT_TRACE_HEADER* header) {
    return ::TraceEvent(sessionHandle, header);
}

TRACEHANDLE ETWTraceAPI::GetTraceLoggerHandle(void* buffer) {
    return ::GetTraceLoggerHandle(buffer);
}

UCHAR ETWTraceAPI::GetTraceEnableLevel(TRACEHANDLE sessionHandle) {
    return ::GetTraceEnableLevel(sessionHandle);
}

ULONG ETWTraceAPI::GetTraceEnableFlags(TRACEHANDLE sessionHandle) {
    return ::GetTraceEnableFlags(sessionHandle);
}

std::shared_ptr<ETWTraceAPI> DefaultTraceAPI() {
    static const std::shared_ptr<ETWTraceAPI> api = std::make_shared<ETWTraceAPI>();
    return api;
}

}  // namespace ETWLogging
