#include "platform/Logging/WideFormat.h"

#include <stdio.h>
#include <wchar.h>

// msvcrt's own entry points: they keep the Windows meaning of "%s" in wide
// formats, which mingw's C++ stdio replaces.
extern "C" {
__declspec(dllimport) int __cdecl _vscwprintf(const wchar_t* format, va_list args);
__declspec(dllimport) int __cdecl _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format,
                                              va_list args);
}

namespace Kelmora {

int FormattedLengthV(const wchar_t* format, va_list args) {
    if (format == nullptr) {
        return -1;
    }
    va_list copy;
    va_copy(copy, args);
    int length = _vscwprintf(format, copy);
    va_end(copy);
    return length;
}

int FormatIntoV(wchar_t* buffer, std::size_t capacity, const wchar_t* format, va_list args) {
    if (buffer == nullptr || capacity == 0) {
        return -1;
    }
    buffer[0] = L'\0';
    if (format == nullptr) {
        return -1;
    }
    va_list copy;
    va_copy(copy, args);
    int written = _vsnwprintf(buffer, capacity - 1, format, copy);
    va_end(copy);
    buffer[capacity - 1] = L'\0';
    if (written < 0 || static_cast<std::size_t>(written) >= capacity) {
        return -1;
    }
    buffer[written] = L'\0';
    return written;
}

std::wstring FormatV(const wchar_t* format, va_list args) {
    int length = FormattedLengthV(format, args);
    if (length <= 0) {
        return {};
    }
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    va_list copy;
    va_copy(copy, args);
    int written = _vsnwprintf(text.data(), text.size(), format, copy);
    va_end(copy);
    if (written < 0) {
        return {};
    }
    text.resize(static_cast<std::size_t>(written));
    return text;
}

std::wstring Format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = FormatV(format, args);
    va_end(args);
    return text;
}

}  // namespace Kelmora
