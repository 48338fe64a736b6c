// Texts read from names that peers choose: the instance number at the end of
// a request name and the ids at the end of settings key names. Parse-only,
// free of system calls.
#pragma once

#include <cstdint>
#include <string>

namespace Drem {

// The text after the name's last "." when it reads as an unsigned 32-bit
// decimal number (leading white space and a sign allowed, trailing
// characters ignored) no greater than highest.
bool parseInstanceName(const std::wstring& name, std::uint32_t highest, std::wstring& instance);

// The text after "Vantrel/Viewer" and one separator character, which is not
// checked; false when the key does not begin with that prefix or is no longer.
bool parseViewerKey(const std::wstring& keyName, std::wstring& viewerId);

// The text after the key's last "/", the whole key when it has none.
std::wstring productOfKey(const std::wstring& keyName);

}  // namespace Drem
