// Drem::parseAlertContent: the content read does not depend on how the
// context text is laid out.
#include "alerts/data/AlertContent.h"
#include "framework/json/JSONFormatter.h"
#include "tests/native/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring text = fuzz::WideFromBytes(data, size);
    Drem::AlertContent content;
    const bool read = Drem::parseAlertContent(content, text);

    Tessil::JSONFormatter json;
    if (!json.parse(text)) {
        FUZZ_CHECK(!read);
        return 0;
    }
    Drem::AlertContent fromCompact;
    FUZZ_CHECK(Drem::parseAlertContent(fromCompact, json.toString()) == read);
    FUZZ_CHECK(fromCompact == content);
    return 0;
}
