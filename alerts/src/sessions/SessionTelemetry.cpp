#include "alerts/src/sessions/SessionTelemetry.h"

#include "alerts/src/common/AlertTelemetry.h"
#include "platform/Logging/Logging.h"

namespace Drem {

void sendSuppressedDuplicate(const std::wstring& alertId, const std::wstring& product) {
    CEvent event(L"Vantrel.Alert.SuppressedDuplicate");
    setAlertEventBasics(event, L"SuppressedDuplicate", false, false, L"SuppressedDuplicate");
    addHitGuid(event, alertId);
    event.Add(std::wstring(L"Hit.Label.1"), product);
    event.Send();
}

void sendDeleted(const std::wstring& alertId) {
    CEvent event(L"Vantrel.Alert.Delete");
    setAlertEventBasics(event, L"Deleted", false, false, L"Deleted");
    addHitGuid(event, alertId);
    event.Add(std::wstring(L"Hit.Label.1"), std::wstring(L"Legacy"));
    event.Send();
}

void reportSuppressedDuplicate(const wchar_t* source, const wchar_t* function, const std::wstring& alertId,
                               const std::wstring& instanceId, const std::wstring& product) {
    VT_LOG(ETWLogging::LevelError, source, function,
           L"Vantrel Alert Status SuppressedDuplicate. Alert id: %ls, Instance id: %ls.", alertId.c_str(),
           instanceId.c_str());
    sendSuppressedDuplicate(alertId, product);
}

void reportDeleted(const wchar_t* source, const wchar_t* function, const wchar_t* status,
                   const std::wstring& alertId, const std::wstring& instanceId) {
    VT_LOG(ETWLogging::LevelInformation, source, function,
           L"Vantrel Alert Status %ls. Alert id: %ls, Instance id: %ls.", status, alertId.c_str(),
           instanceId.c_str());
    sendDeleted(alertId);
}

void sendSessionFailed(std::uint32_t sessionId, std::uint32_t error) {
    CEvent event(L"Vantrel.UserSession.Failed");
    setAlertEventBasics(event, L"VT failed to get session", false, false, L"Session");
    event.SetLabel(std::to_wstring(sessionId));
    addIntDimension(event, L"Hit.Result", error);
    event.Send();
}

}  // namespace Drem
