// The telemetry event: a tracker of type "event" with chainable setters.
#pragma once

#include "framework/AnalyticsAPI/include/AnalyticsAPI/internal/Tracker.h"

#include <cstdint>
#include <string>

namespace Tessil::Analytics {

inline const wchar_t* BoolToString(bool value) { return value ? L"true" : L"false"; }

namespace v2 {

class CEvent : public internal::CFluentTracker<CEvent, internal::CTracker> {
public:
    CEvent();
    // Names the event: the dimension "UniqueIdentifier".
    explicit CEvent(const wchar_t* id);

    virtual CEvent& SetCategory(const std::wstring& category);
    virtual CEvent& SetCategory(const wchar_t* category);
    virtual CEvent& SetAction(const std::wstring& action);
    virtual CEvent& SetAction(const wchar_t* action);
    virtual CEvent& SetLabel(const std::wstring& label);
    virtual CEvent& SetLabel(const wchar_t* label);
    // The number in decimal.
    virtual CEvent& SetValue(std::uint32_t value);
};

}  // namespace v2
}  // namespace Tessil::Analytics
