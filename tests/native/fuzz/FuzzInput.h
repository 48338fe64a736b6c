// Helpers shared by the fuzz targets: reading fuzz bytes as the inputs of
// the code under test, and failing loudly when an invariant breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// Aborts with the failed condition, which libFuzzer reports as a crash.
#define FUZZ_CHECK(condition)                                                          \
    do {                                                                               \
        if (!(condition)) {                                                            \
            std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #condition, __FILE__, \
                         __LINE__);                                                    \
            std::abort();                                                              \
        }                                                                              \
    } while (0)

namespace fuzz {

// UTF-16 code units from bytes, as Windows holds them in a wchar_t: a byte
// below 0xF0 is one unit (so text seeds read as themselves), and 0xF0 to 0xFF
// takes the next two bytes as one unit, high byte first (any unit, lone
// surrogates and NUL included). Units stay below 0x10000 although the native
// wchar_t is wider.
inline std::wstring WideFromBytes(const std::uint8_t* data, std::size_t size) {
    std::wstring text;
    text.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] < 0xF0) {
            text.push_back(static_cast<wchar_t>(data[i]));
        } else if (i + 2 < size) {
            text.push_back(static_cast<wchar_t>((data[i + 1] << 8) | data[i + 2]));
            i += 2;
        }
    }
    return text;
}

inline std::wstring WideFromBytes(std::string_view bytes) {
    return WideFromBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// Splits the input at every NUL byte (the last piece may be empty).
inline std::vector<std::string_view> SplitAtNul(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string_view> pieces;
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (;;) {
        const std::size_t end = rest.find('\0');
        pieces.push_back(rest.substr(0, end));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return pieces;
}

// True when every unit is below 0x10000 and surrogates come in pairs.
inline bool IsValidUtf16(std::wstring_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto unit = static_cast<std::uint32_t>(text[i]);
        if (unit > 0xFFFF) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 >= text.size()) return false;
            const auto next = static_cast<std::uint32_t>(text[i + 1]);
            if (next < 0xDC00 || next > 0xDFFF) return false;
            ++i;
        }
    }
    return true;
}

}  // namespace fuzz
