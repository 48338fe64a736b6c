// The one-pass placeholder expansion shared by both expanders. Scans by hand
// (linear, no recursion), so any length of text is safe. Free of Win32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace Kelmora::internal {

struct PlaceholderMatch {
    std::size_t position = 0;
    std::size_t length = 0;
};

// First "$(" name ")" at or after from, the name being one or more
// characters none of which is '$', '(' or ')'. False when there is none.
bool FindPlaceholder(std::wstring_view text, std::size_t from, PlaceholderMatch& match);

struct ExpansionCounts {
    std::uint64_t found = 0;
    std::uint64_t replaced = 0;
};

// The value of a placeholder given its full text; empty keeps it as written.
using PlaceholderValue = std::function<std::wstring(const std::wstring& placeholder)>;

// Replaces every placeholder from left to right; values are never searched
// again. A placeholder counts as replaced when its value differs from it.
ExpansionCounts ExpandPlaceholders(std::wstring& text, const PlaceholderValue& valueOf);

}  // namespace Kelmora::internal
