// The viewer id and the product id taken from settings key names.
#include "alerts/src/common/RequestNames.h"
#include "tests/native/fuzz/FuzzInput.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring key = fuzz::WideFromBytes(data, size);
    const std::wstring prefix = L"Vantrel/Viewer";

    std::wstring viewer = L"untouched";
    const bool parsed = Drem::parseViewerKey(key, viewer);
    const bool expected = key.size() > prefix.size() && key.compare(0, prefix.size(), prefix) == 0;
    FUZZ_CHECK(parsed == expected);
    if (parsed) {
        FUZZ_CHECK(viewer == key.substr(prefix.size() + 1));
    } else {
        FUZZ_CHECK(viewer == L"untouched");
    }

    const std::wstring product = Drem::productOfKey(key);
    FUZZ_CHECK(product.find(L'/') == std::wstring::npos);
    FUZZ_CHECK(product.size() <= key.size());
    FUZZ_CHECK(key.compare(key.size() - product.size(), product.size(), product) == 0);
    if (key.find(L'/') != std::wstring::npos) {
        FUZZ_CHECK(key[key.size() - product.size() - 1] == L'/');
    } else {
        FUZZ_CHECK(product == key);
    }
    return 0;
}
