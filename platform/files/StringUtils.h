// String helpers.
#pragma once

#include <string>
#include <vector>

// printf-style formatting with the Windows meaning of the conversions ("%s"
// is a wide string) into a string sized exactly to the result; an invalid
// format gives an empty string.
std::wstring formatString(const wchar_t* format, ...);

namespace Kelmora {

// The pieces between separators, left to right, the last included; an
// empty text gives none; with skipEmpty the empty pieces are dropped.
std::vector<std::wstring> SplitString(const std::wstring& text, wchar_t separator,
                                      bool skipEmpty);

}  // namespace Kelmora
