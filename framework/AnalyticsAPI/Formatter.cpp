#include "framework/AnalyticsAPI/include/AnalyticsAPI/Formatter.h"

namespace Tessil::Analytics {

namespace {

// The two-character escape of a unit, or 0.
wchar_t ShortEscape(wchar_t unit) {
    switch (unit) {
        case L'\b': return L'b';
        case L'\t': return L't';
        case L'\n': return L'n';
        case L'\f': return L'f';
        case L'\r': return L'r';
        case L'"': return L'"';
        case L'/': return L'/';
        case L'\\': return L'\\';
        default: return 0;
    }
}

bool NeedsUnicodeEscape(wchar_t unit) { return unit < 32 || (unit >= 127 && unit <= 159); }

std::size_t EscapedLength(const std::wstring& text) {
    std::size_t length = 0;
    for (wchar_t unit : text) {
        length += ShortEscape(unit) != 0 ? 2 : (NeedsUnicodeEscape(unit) ? 6 : 1);
    }
    return length;
}

void AppendEscaped(const std::wstring& text, std::wstring& out) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    for (wchar_t unit : text) {
        if (wchar_t escape = ShortEscape(unit); escape != 0) {
            out += L'\\';
            out += escape;
        } else if (NeedsUnicodeEscape(unit)) {
            out += L"\\u00";
            out += kHex[(unit >> 4) & 0xF];
            out += kHex[unit & 0xF];
        } else {
            out += unit;
        }
    }
}

}  // namespace

bool CJSONFormatter::Format(const Dimensions& dimensions, std::wstring& out) {
    out.clear();
    if (dimensions.empty()) {
        return false;
    }
    std::size_t capacity = 6 * dimensions.size() + 1;
    for (const auto& [name, value] : dimensions) {
        capacity += EscapedLength(name) + EscapedLength(value);
    }
    out.reserve(capacity);
    out += L'{';
    for (const auto& [name, value] : dimensions) {
        out += L'"';
        AppendEscaped(name, out);
        out += L"\":\"";
        AppendEscaped(value, out);
        out += L"\",";
    }
    out.back() = L'}';
    return true;
}

}  // namespace Tessil::Analytics
