// Names of the status messages about one alert.
#pragma once

#include <string>

namespace Drem {

// "Vantrel.Alert." + alertId + word + instanceId, word being a status word
// between dots such as ".Queued.".
inline std::wstring alertStatusName(const std::wstring& alertId, const wchar_t* word,
                                    const std::wstring& instanceId) {
    return L"Vantrel.Alert." + alertId + word + instanceId;
}

}  // namespace Drem
