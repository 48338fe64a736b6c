#include "alerts/src/common/AlertTelemetry.h"

namespace Drem {

CEvent& addHitGuid(CEvent& event, const std::wstring& alertId) {
    return event.Add(std::wstring(L"Hit.GUID"), alertId);
}

CEvent& addIntDimension(CEvent& event, const std::wstring& name, std::uint64_t value) {
    return event.Add(name, std::to_wstring(value));
}

CEvent& setAlertEventBasics(CEvent& event, const wchar_t* action, bool interactive,
                            bool userInitiated, const wchar_t* tertiaryCategory) {
    using Tessil::Analytics::BoolToString;
    event.SetCategory(std::wstring(L"Drem")).SetAction(std::wstring(action));
    event.Add(std::wstring(L"Interactive"), std::wstring(BoolToString(interactive)));
    event.Add(std::wstring(L"UserInitiated"), std::wstring(BoolToString(userInitiated)));
    event.Add(std::wstring(L"Sub.Category"), std::wstring(L"Vantrel"));
    return event.Add(std::wstring(L"Tertiary.Category"), std::wstring(tertiaryCategory));
}

}  // namespace Drem
