// Telemetry helpers of the alert service: every event carries the category
// "Drem", "Sub.Category" "Vantrel" and the alert id as "Hit.GUID".
#pragma once

#include "framework/AnalyticsAPI/include/AnalyticsAPI/Event.h"

#include <cstdint>
#include <string>

namespace Drem {

using Tessil::Analytics::v2::CEvent;

// "Hit.GUID" = alertId.
CEvent& addHitGuid(CEvent& event, const std::wstring& alertId);
// name = the value in unsigned decimal.
CEvent& addIntDimension(CEvent& event, const std::wstring& name, std::uint64_t value);

// Category "Drem", the given action, "Interactive" and "UserInitiated" as
// "true"/"false", "Sub.Category" "Vantrel" and the "Tertiary.Category".
CEvent& setAlertEventBasics(CEvent& event, const wchar_t* action, bool interactive,
                            bool userInitiated, const wchar_t* tertiaryCategory);

}  // namespace Drem
