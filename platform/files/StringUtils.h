// String helpers.
#pragma once

#include <cstddef>
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

// length bytes of 8-bit text in the code page (CP_ACP, CP_THREAD_ACP...) as
// UTF-16, without a terminator; empty when there is nothing to convert or
// the conversion fails.
std::wstring WidenFromCodePage(unsigned codePage, const char* text, std::size_t length);
// The text in the code page, out holding its bytes without a terminator;
// false when it cannot be converted (out is then unspecified).
bool NarrowToCodePage(unsigned codePage, const std::wstring& text, std::string& out);

}  // namespace Kelmora
