// Telemetry events of the alert sessions.
#pragma once

#include <cstdint>
#include <string>

namespace Drem {

// "Vantrel.Alert.SuppressedDuplicate".
void sendSuppressedDuplicate(const std::wstring& alertId, const std::wstring& product);
// "Vantrel.Alert.Delete" with the request's alert id.
void sendDeleted(const std::wstring& alertId);
// "Vantrel.UserSession.Failed".
void sendSessionFailed(std::uint32_t sessionId, std::uint32_t error);

}  // namespace Drem
