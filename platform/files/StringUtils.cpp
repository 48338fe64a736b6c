#include "platform/files/StringUtils.h"

#include <windows.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cwchar>

std::wstring formatString(const wchar_t* format, ...) {
    if (format == nullptr) {
        return {};
    }
    va_list args;
    va_start(args, format);
    va_list counting;
    va_copy(counting, args);
    // msvcrt's own functions: "%s" is a wide string there.
    const int length = _vscwprintf(format, counting);
    va_end(counting);
    std::wstring text;
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length));
        const int written = _vsnwprintf(text.data(), text.size() + 1, format, args);
        if (written != length) {
            text.clear();
        }
    }
    va_end(args);
    return text;
}

namespace Kelmora {

std::vector<std::wstring> SplitString(const std::wstring& text, wchar_t separator,
                                      bool skipEmpty) {
    std::vector<std::wstring> parts;
    if (text.empty()) {
        return parts;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        std::wstring piece = text.substr(start, at == std::wstring::npos ? std::wstring::npos
                                                                         : at - start);
        if (!skipEmpty || !piece.empty()) {
            parts.push_back(std::move(piece));
        }
        if (at == std::wstring::npos) {
            break;
        }
        start = at + 1;
    }
    return parts;
}

std::wstring WidenFromCodePage(unsigned codePage, const char* text, std::size_t length) {
    if (text == nullptr || length == 0 || length > INT_MAX) {
        return {};
    }
    const int needed = MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), nullptr, 0);
    if (needed <= 0) {
        return {};
    }
    std::wstring out(static_cast<std::size_t>(needed), L'\0');
    if (MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), out.data(), needed) != needed) {
        return {};
    }
    return out;
}

bool NarrowToCodePage(unsigned codePage, const std::wstring& text, std::string& out) {
    out.clear();
    if (text.empty()) {
        return true;
    }
    if (text.size() > INT_MAX) {
        return false;
    }
    const int size = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return false;
    }
    out.resize(static_cast<std::size_t>(needed));
    return WideCharToMultiByte(codePage, 0, text.data(), size, out.data(), needed, nullptr, nullptr) == needed;
}

}  // namespace Kelmora
