// printf-style wide formatting with the Windows meaning of the conversions
// ("%s" is a wide string), through msvcrt's own functions.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace Kelmora {

// Length in characters the text would have, or -1 on a bad format.
int FormattedLengthV(const wchar_t* format, va_list args);

// Formats into buffer (capacity characters including the terminator), always
// terminating it. Answers the number of characters written, or -1 when the
// text was cut or the format is bad.
int FormatIntoV(wchar_t* buffer, std::size_t capacity, const wchar_t* format, va_list args);

// Formats into a growing string. An invalid format gives an empty string.
std::wstring FormatV(const wchar_t* format, va_list args);
std::wstring Format(const wchar_t* format, ...);

}  // namespace Kelmora
