// Tessil::JSONFormatter: parse, write back, copy and nest.
#include "framework/json/JSONFormatter.h"
#include "tests/native/fuzz/JsonCompare.h"

#include <string>
#include <utility>

using Tessil::JSONFormatter;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring text = fuzz::WideFromBytes(data, size);
    JSONFormatter json;
    if (!json.parse(text)) {
        (void)json.toString();
        return 0;
    }
    const std::wstring written = json.toString();

    // Text written from a parsed document parses again to the same document.
    JSONFormatter again;
    FUZZ_CHECK(again.parse(written));
    FUZZ_CHECK(fuzz::SameJson(again.toString(), written));

    // Copies and moves keep the content.
    JSONFormatter copy(json);
    FUZZ_CHECK(copy.toString() == written);
    JSONFormatter moved(std::move(copy));
    FUZZ_CHECK(moved.toString() == written);
    FUZZ_CHECK(copy.toString() == L"{}");

    // Nesting one level deeper is refused only past the depth limit.
    JSONFormatter outer;
    outer.setObject(L"x", json);
    const std::wstring nested = outer.toString();
    FUZZ_CHECK(nested == L"{\"x\":" + written + L"}" || nested == L"{}");
    if (nested != L"{}") {
        JSONFormatter inner;
        FUZZ_CHECK(outer.getObject(L"x", inner));
        FUZZ_CHECK(inner.toString() == written);
    }

    // Appending the formatter to itself copies it first.
    json.appendObject(L"self", json);
    const std::wstring grown = json.toString();
    JSONFormatter reparsed;
    FUZZ_CHECK(reparsed.parse(grown));
    FUZZ_CHECK(fuzz::SameJson(reparsed.toString(), grown));

    // Typed getters on the members a parsed text may hold.
    std::wstring s;
    std::int64_t i64 = 0;
    double d = 0;
    std::vector<std::wstring> strings;
    std::vector<JSONFormatter> objects;
    for (const wchar_t* key : {L"a", L"id", L"self", L""}) {
        json.getString(key, s);
        json.getInt64(key, i64);
        json.getDouble(key, d);
        json.getStringArray(key, strings);
        json.getObjectArray(key, objects);
    }
    return 0;
}
