// Full-match of a message name against a compiled expression with a length
// bound: libstdc++'s regex recurses per character and overflows the stack on
// names of a few thousand characters. Header-only, shared with the bus neighbour.
#pragma once

#include <cstddef>
#include <regex>
#include <string>

namespace Tessil {

inline constexpr std::size_t kMaxRegexMatchLength = 2048;

enum class RegexMatchResult { NoMatch, Match, TooLong, Error };

inline RegexMatchResult regexFullMatchBounded(const std::wregex& expression, const wchar_t* name,
                                              std::size_t length) {
    if (length > kMaxRegexMatchLength) {
        return RegexMatchResult::TooLong;
    }
    try {
        return std::regex_match(name, name + length, expression) ? RegexMatchResult::Match
                                                                 : RegexMatchResult::NoMatch;
    } catch (...) {
        return RegexMatchResult::Error;
    }
}

inline RegexMatchResult regexFullMatchBounded(const std::wregex& expression,
                                              const std::wstring& name) {
    return regexFullMatchBounded(expression, name.c_str(), name.size());
}

inline constexpr auto kBusRegexFlags =
    std::regex_constants::ECMAScript | std::regex_constants::nosubs | std::regex_constants::optimize;

}  // namespace Tessil
