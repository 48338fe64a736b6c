// The settings protocol's double texts: any double's text reads back as a
// number close to it (16 significant digits, or six decimals).
#include "framework/settings/SettingsProtocol.h"
#include "tests/native/fuzz/FuzzInput.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <cwchar>

namespace sp = Tessil::SettingsProtocol;

namespace {

double ReadBack(const std::wstring& text) {
    wchar_t* end = nullptr;
    const double value = std::wcstod(text.c_str(), &end);
    FUZZ_CHECK(end != nullptr && *end == L'\0');  // the whole text is the number
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    double value = 0;
    std::memcpy(&value, data, std::min(size, sizeof value));

    const std::wstring persistent = sp::persistentDoubleText(value);
    const std::wstring volatileText = sp::volatileDoubleText(value);
    FUZZ_CHECK(!persistent.empty() && !volatileText.empty());
    if (std::isfinite(value)) {
        // Sixteen digits round the largest doubles (from 1.7976931348623155e308)
        // up past the largest double: that text reads back as infinity.
        const double p = ReadBack(persistent);
        if (std::isinf(p)) {
            FUZZ_CHECK(std::fabs(value) > 1.797693134862315e308);
        } else {
            FUZZ_CHECK(std::fabs(p - value) <= std::fmax(1e-15 * std::fabs(value), 2 * DBL_TRUE_MIN));
        }
        const double v = ReadBack(volatileText);
        FUZZ_CHECK(std::fabs(v - value) <= 5e-7 + 1e-15 * std::fabs(value));
    } else {
        FUZZ_CHECK(std::isnan(ReadBack(persistent)) == std::isnan(value));
    }

    return 0;
}
