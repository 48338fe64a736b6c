// The settings manager's wire protocol: message names and JSON keys, and the
// conversions between typed values and the text that travels. Free of Win32.
#pragma once

#include <cstdint>
#include <string>

namespace Tessil::SettingsProtocol {

inline const std::wstring kGetProperty = L"SETTINGS_MANAGER_GET_PROPERTY";
inline const std::wstring kSetProperty = L"SETTINGS_MANAGER_SET_PROPERTY";
inline const std::wstring kRemoveProperty = L"SETTINGS_MANAGER_REMOVE_PROPERTY";
inline const std::wstring kGetProperties = L"SettingsManager.GetProperties.Request";
inline const std::wstring kSetProperties = L"SettingsManager.SetProperties.Request";
inline const std::wstring kRemoveProperties = L"SettingsManager.RemoveProperties.Request";
inline const std::wstring kPropertySet = L"SETTINGS_MANAGER_PROPERTY_SET";
inline const std::wstring kPropertyRemoved = L"SETTINGS_MANAGER_PROPERTY_REMOVED";
inline const std::wstring kNotifySetPrefix = L"SettingsManager.Notify.Set.";
inline const std::wstring kNotifyDeletePrefix = L"SettingsManager.Notify.Delete.";

inline const std::wstring kName = L"name";
inline const std::wstring kValue = L"value";
inline const std::wstring kVolatile = L"volatile";
inline const std::wstring kIsPrefix = L"isPrefix";
inline const std::wstring kProperties = L"properties";
inline const std::wstring kResponses = L"responses";
inline const std::wstring kStatus = L"status";

// The expression of a prefix subscription; the prefix goes in unescaped.
inline std::wstring notifySetExpression(const std::wstring& prefix) {
    return L"^" + kNotifySetPrefix + prefix + L".*";
}
inline std::wstring notifyDeleteExpression(const std::wstring& prefix) {
    return L"^" + kNotifyDeletePrefix + prefix + L".*";
}

// Text of a double for a persistent property: up to 16 significant digits.
std::wstring persistentDoubleText(double value);
// Text of a double for a volatile property: six decimals.
std::wstring volatileDoubleText(double value);

}  // namespace Tessil::SettingsProtocol
