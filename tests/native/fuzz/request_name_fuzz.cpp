// The instance number at the end of a request name: the first four bytes
// are the highest number handed out, the rest the name.
#include "alerts/src/common/RequestNames.h"
#include "tests/native/fuzz/FuzzInput.h"

#include <cwctype>
#include <string>

namespace {

// A plain decimal number of at most nine digits, nothing before or after.
bool plainSmallNumber(const std::wstring& text, std::uint32_t& value) {
    if (text.empty() || text.size() > 9) return false;
    value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + static_cast<std::uint32_t>(c - L'0');
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::uint32_t highest = static_cast<std::uint32_t>(data[0]) << 24 |
                                  static_cast<std::uint32_t>(data[1]) << 16 |
                                  static_cast<std::uint32_t>(data[2]) << 8 | data[3];
    const std::wstring name = fuzz::WideFromBytes(data + 4, size - 4);
    std::wstring instance = L"untouched";
    const bool parsed = Drem::parseInstanceName(name, highest, instance);

    const std::size_t dot = name.rfind(L'.');
    if (parsed) {
        FUZZ_CHECK(dot != std::wstring::npos);
        FUZZ_CHECK(instance == name.substr(dot + 1));
        bool digit = false;
        for (wchar_t c : instance) digit = digit || (c >= L'0' && c <= L'9');
        FUZZ_CHECK(digit);
    } else {
        FUZZ_CHECK(instance == L"untouched");
    }
    std::uint32_t value = 0;
    if (dot != std::wstring::npos && plainSmallNumber(name.substr(dot + 1), value)) {
        FUZZ_CHECK(parsed == (value <= highest));
    }
    if (dot == std::wstring::npos) {
        FUZZ_CHECK(!parsed);
    }
    return 0;
}
