#include "platform/paths/PlaceholderExpansion.h"

namespace Kelmora::internal {

bool FindPlaceholder(std::wstring_view text, std::size_t from, PlaceholderMatch& match) {
    const std::size_t n = text.size();
    std::size_t i = from;
    while (i + 1 < n) {
        if (text[i] != L'$' || text[i + 1] != L'(') {
            ++i;
            continue;
        }
        std::size_t j = i + 2;
        while (j < n && text[j] != L'$' && text[j] != L'(' && text[j] != L')') {
            ++j;
        }
        if (j > i + 2 && j < n && text[j] == L')') {
            match.position = i;
            match.length = j + 1 - i;
            return true;
        }
        // No match can start between i and j: resume at the stopping character.
        i = (j > i + 2) ? j : i + 1;
    }
    return false;
}

ExpansionCounts ExpandPlaceholders(std::wstring& text, const PlaceholderValue& valueOf) {
    ExpansionCounts counts;
    const std::wstring rest = std::move(text);
    text.clear();
    std::size_t from = 0;
    PlaceholderMatch match;
    while (FindPlaceholder(rest, from, match)) {
        ++counts.found;
        const std::wstring placeholder = rest.substr(match.position, match.length);
        std::wstring value = valueOf ? valueOf(placeholder) : std::wstring();
        if (value.empty()) {
            value = placeholder;
        }
        if (value != placeholder) {
            ++counts.replaced;
        }
        text.append(rest, from, match.position - from);
        text.append(value);
        from = match.position + match.length;
    }
    text.append(rest, from, std::wstring::npos);
    return counts;
}

}  // namespace Kelmora::internal
