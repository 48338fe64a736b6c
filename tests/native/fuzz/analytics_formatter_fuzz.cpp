// Tessil::Analytics::CJSONFormatter: the text of any set of dimensions is one
// JSON object holding exactly those names and values. Input: names and
// values alternating, split at NUL bytes.
#include "framework/AnalyticsAPI/include/AnalyticsAPI/Formatter.h"
#include "tests/native/fuzz/FuzzInput.h"

#include <rapidjson/document.h>

#include <string>

using Tessil::Analytics::CJSONFormatter;
using Tessil::Analytics::Dimensions;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto pieces = fuzz::SplitAtNul(data, size);
    Dimensions dimensions;
    for (std::size_t i = 0; i + 1 < pieces.size(); i += 2) {
        dimensions[fuzz::WideFromBytes(pieces[i])] = fuzz::WideFromBytes(pieces[i + 1]);
    }

    CJSONFormatter formatter;
    std::wstring text = L"left over";
    const bool formatted = formatter.Format(dimensions, text);
    FUZZ_CHECK(formatted == !dimensions.empty());
    if (!formatted) {
        FUZZ_CHECK(text.empty());
        return 0;
    }
    // Every unit below 32 is escaped: the text holds no NUL.
    FUZZ_CHECK(text.find(L'\0') == std::wstring::npos);

    rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>> document;
    document.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
    FUZZ_CHECK(!document.HasParseError());
    FUZZ_CHECK(document.IsObject());
    FUZZ_CHECK(document.MemberCount() == dimensions.size());
    for (const auto& member : document.GetObject()) {
        FUZZ_CHECK(member.name.IsString() && member.value.IsString());
        const std::wstring name(member.name.GetString(), member.name.GetStringLength());
        const std::wstring value(member.value.GetString(), member.value.GetStringLength());
        const auto it = dimensions.find(name);
        FUZZ_CHECK(it != dimensions.end());
        FUZZ_CHECK(it->second == value);
    }
    return 0;
}
