// Drem::AlertInfo: an alert read from text is written back to text that
// reads as the same alert.
#include "alerts/data/AlertInfo.h"
#include "tests/native/fuzz/JsonCompare.h"

using Drem::AlertInfo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    AlertInfo info;
    if (!AlertInfo::fromJson(fuzz::WideFromBytes(data, size), info)) {
        return 0;
    }
    const std::wstring written = AlertInfo::toJson(info);
    AlertInfo again;
    FUZZ_CHECK(AlertInfo::fromJson(written, again));
    again.created = info.created;  // the time of reading, not in the text
    // The context is text read again: its doubles may move by a unit or two.
    FUZZ_CHECK(fuzz::SameJson(again.context, info.context));
    again.context = info.context;
    FUZZ_CHECK(again == info);
    FUZZ_CHECK(fuzz::SameJson(AlertInfo::toJson(again), written));
    return 0;
}
