// Module status codes: 32-bit, 0 success, failures with the top bit set.
#pragma once

#include <cstdint>

using ModuleStatus = std::uint32_t;

inline constexpr ModuleStatus MODULE_STATUS_SUCCESS = 0x00000000u;
inline constexpr ModuleStatus MODULE_STATUS_NOT_SUPPORTED = 0x80000001u;
inline constexpr ModuleStatus MODULE_STATUS_UNSUCCESSFUL = 0x80000002u;
inline constexpr ModuleStatus MODULE_STATUS_BUFFER_TOO_SMALL = 0x80000003u;
inline constexpr ModuleStatus MODULE_STATUS_NOT_IMPLEMENTED = 0x80000004u;
inline constexpr ModuleStatus MODULE_STATUS_INVALID_BUFFER_SIZE = 0x80000005u;
inline constexpr ModuleStatus MODULE_STATUS_DATA_ERROR = 0x80000006u;
inline constexpr ModuleStatus MODULE_STATUS_INVALID_HANDLE = 0x80000007u;
inline constexpr ModuleStatus MODULE_STATUS_INVALID_PARAMETER = 0x80000008u;
inline constexpr ModuleStatus MODULE_STATUS_NO_MEMORY = 0x80000009u;
inline constexpr ModuleStatus MODULE_STATUS_NOT_FOUND = 0x8000000Au;
inline constexpr ModuleStatus MODULE_STATUS_ON_DEMAND_ENABLED = 0x8000000Bu;
inline constexpr ModuleStatus MODULE_STATUS_PROPERTY_NOT_FOUND = 0x8000000Cu;
inline constexpr ModuleStatus MODULE_STATUS_TIMEOUT = 0x8000000Du;
inline constexpr ModuleStatus MODULE_STATUS_NO_SUBSCRIBERS = 0x8000000Eu;
inline constexpr ModuleStatus MODULE_STATUS_UNKNOWN_EXCEPTION = 0x8000000Fu;
inline constexpr ModuleStatus MODULE_STATUS_DUPLICATE_MODULE = 0x80000010u;
inline constexpr ModuleStatus MODULE_STATUS_PARTIAL_SUCCESS = 0x80000011u;
inline constexpr ModuleStatus MODULE_STATUS_UWP_APP_NOT_INSTALLED = 0x80000012u;
inline constexpr ModuleStatus MODULE_STATUS_APP_SERVICE_UNAVAILABLE = 0x80000013u;
inline constexpr ModuleStatus MODULE_STATUS_APP_SERVICE_UNAUTHORIZED = 0x80000014u;
inline constexpr ModuleStatus MODULE_STATUS_SESSION_INVALID = 0x80000015u;
inline constexpr ModuleStatus MODULE_STATUS_INVALID_STATE = 0x800000FFu;

namespace Tessil {

// Name of the code as in the status table; "MODULE_STATUS_UNKNOWN" for any
// other value. The text is static.
const wchar_t* moduleStatusName(std::uint32_t status);

}  // namespace Tessil
