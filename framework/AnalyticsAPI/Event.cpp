#include "framework/AnalyticsAPI/include/AnalyticsAPI/Event.h"

namespace Tessil::Analytics::v2 {

CEvent::CEvent() : CFluentTracker(L"event") {}

CEvent::CEvent(const wchar_t* id) : CFluentTracker(L"event") {
    CFluentTracker::Add(L"UniqueIdentifier", id);
}

CEvent& CEvent::SetCategory(const std::wstring& category) {
    CTracker::Add(L"Event.Category", category);
    return *this;
}

CEvent& CEvent::SetCategory(const wchar_t* category) { return Add(L"Event.Category", category); }

CEvent& CEvent::SetAction(const std::wstring& action) {
    CTracker::Add(L"Event.Action", action);
    return *this;
}

CEvent& CEvent::SetAction(const wchar_t* action) { return Add(L"Event.Action", action); }

CEvent& CEvent::SetLabel(const std::wstring& label) {
    CTracker::Add(L"Event.Label", label);
    return *this;
}

CEvent& CEvent::SetLabel(const wchar_t* label) { return Add(L"Event.Label", label); }

CEvent& CEvent::SetValue(std::uint32_t value) {
    CTracker::Add(L"Event.Value", std::to_wstring(value));
    return *this;
}

}  // namespace Tessil::Analytics::v2
