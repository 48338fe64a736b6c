// Telemetry events of the alert sessions, and the log lines that go with them.
#pragma once

#include <cstdint>
#include <string>

namespace Drem {

// "Vantrel.Alert.SuppressedDuplicate".
void sendSuppressedDuplicate(const std::wstring& alertId, const std::wstring& product);
// "Vantrel.Alert.Delete" with the request's alert id.
void sendDeleted(const std::wstring& alertId);
// The log line and event of an alert already in the queue.
void reportSuppressedDuplicate(const wchar_t* source, const wchar_t* function, const std::wstring& alertId,
                               const std::wstring& instanceId, const std::wstring& product);
// The log line ("Delete" or "Dismissed") and event of an alert taken away on request.
void reportDeleted(const wchar_t* source, const wchar_t* function, const wchar_t* status,
                   const std::wstring& alertId, const std::wstring& instanceId);
// "Vantrel.UserSession.Failed".
void sendSessionFailed(std::uint32_t sessionId, std::uint32_t error);

}  // namespace Drem
