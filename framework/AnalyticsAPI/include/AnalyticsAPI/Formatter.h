// The JSON text of an event: one flat object of string members. Free of Win32.
#pragma once

#include "framework/AnalyticsAPI/include/AnalyticsAPI/internal/Tracker.h"

#include <string>

namespace Tessil::Analytics {

class IFormatter {
public:
    virtual ~IFormatter() = default;
    // Clears out; false (out empty) for an empty map.
    virtual bool Format(const Dimensions& dimensions, std::wstring& out) = 0;
};

class CJSONFormatter : public IFormatter {
public:
    bool Format(const Dimensions& dimensions, std::wstring& out) override;
};

}  // namespace Tessil::Analytics
