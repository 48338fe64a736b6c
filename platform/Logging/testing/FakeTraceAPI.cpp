#include "platform/Logging/testing/FakeTraceAPI.h"

namespace ETWLogging::testing {

ULONG FakeTraceAPI::RegisterTraceGuids(WMIDPREQUEST callback, void* context, const GUID* controlGuid,
                                       ULONG guidCount, TRACE_GUID_REGISTRATION* guids,
                                       const wchar_t* mofImagePath, const wchar_t* mofResourceName,
                                       TRACEHANDLE* registrationHandle) {
    std::lock_guard<std::mutex> lock(mutex_);
    Registration registration;
    registration.callback = callback;
    registration.context = context;
    if (controlGuid != nullptr) {
        registration.controlGuid = *controlGuid;
    }
    for (ULONG i = 0; guids != nullptr && i < guidCount; ++i) {
        registration.traceGuids.push_back(guids[i].Guid ? *guids[i].Guid : GUID{});
    }
    registration.mofPathsNull = mofImagePath == nullptr && mofResourceName == nullptr;
    registration.handle = ++nextHandle_;
    if (registrationHandle != nullptr) {
        *registrationHandle = registration.handle;
    }
    registrations_.push_back(registration);
    return registerResult;
}

ULONG FakeTraceAPI::UnregisterTraceGuids(TRACEHANDLE registrationHandle) {
    std::lock_guard<std::mutex> lock(mutex_);
    unregistrations_.push_back(registrationHandle);
    return ERROR_SUCCESS;
}

ULONG FakeTraceAPI::TraceEvent(TRACEHANDLE sessionHandle, EVENT_TRACE_HEADER* header) {
    TracedEvent event;
    event.session = sessionHandle;
    event.header = *header;
    auto* fields = reinterpret_cast<MOF_FIELD*>(header + 1);
    event.fields[0] = fields[0];
    event.fields[1] = fields[1];
    auto* context = reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(fields[0].DataPtr));
    event.context.assign(context, context + fields[0].Length);
    auto* text = reinterpret_cast<const char*>(static_cast<std::uintptr_t>(fields[1].DataPtr));
    event.text.assign(text, fields[1].Length);
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
    return sessionHandle == 0 ? ERROR_INVALID_HANDLE : ERROR_SUCCESS;
}

TRACEHANDLE FakeTraceAPI::GetTraceLoggerHandle(void* buffer) {
    if (buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return kInvalidTraceHandle;
    }
    TRACEHANDLE handle = static_cast<WNODE_HEADER*>(buffer)->HistoricalContext;
    if (handle == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return kInvalidTraceHandle;
    }
    return handle;
}

UCHAR FakeTraceAPI::GetTraceEnableLevel(TRACEHANDLE sessionHandle) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const SessionState& session : sessions_) {
        if (session.handle == sessionHandle) {
            if (session.level == 0) {
                SetLastError(ERROR_INVALID_HANDLE);
            }
            return session.level;
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
}

ULONG FakeTraceAPI::GetTraceEnableFlags(TRACEHANDLE sessionHandle) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const SessionState& session : sessions_) {
        if (session.handle == sessionHandle) {
            return session.flags;
        }
    }
    return 0;
}

ULONG FakeTraceAPI::Enable(TRACEHANDLE session, UCHAR level, ULONG flags) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bool found = false;
        for (SessionState& state : sessions_) {
            if (state.handle == session) {
                state.level = level;
                state.flags = flags;
                found = true;
            }
        }
        if (!found) {
            sessions_.push_back({session, level, flags});
        }
    }
    return Control(WMI_ENABLE_EVENTS, session);
}

ULONG FakeTraceAPI::Disable(TRACEHANDLE session) {
    return Control(WMI_DISABLE_EVENTS, session);
}

ULONG FakeTraceAPI::Control(ULONG requestCode, TRACEHANDLE session) {
    Registration registration;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (registrations_.empty()) {
            return ERROR_INVALID_HANDLE;
        }
        registration = registrations_.back();
    }
    WNODE_HEADER buffer{};
    buffer.BufferSize = sizeof(buffer);
    buffer.HistoricalContext = session;
    ULONG size = sizeof(buffer);
    return registration.callback(static_cast<WMIDPREQUESTCODE>(requestCode), registration.context,
                                 &size, &buffer);
}

std::vector<Registration> FakeTraceAPI::Registrations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return registrations_;
}

std::vector<TRACEHANDLE> FakeTraceAPI::Unregistrations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unregistrations_;
}

std::vector<TracedEvent> FakeTraceAPI::Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

void FakeTraceAPI::ClearEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

}  // namespace ETWLogging::testing
