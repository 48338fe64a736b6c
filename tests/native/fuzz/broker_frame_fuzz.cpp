// Tessil::broker::decode on a frame body received from another process. A
// body that decodes writes back to exactly the same bytes.
#include "neighbours/MessageBus/BrokerProtocol.h"
#include "tests/native/fuzz/FuzzInput.h"

#include <cstring>

using namespace Tessil::broker;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto frame = decode(data, size);
    if (!frame) return 0;
    const auto bytes = encode(*frame);
    FUZZ_CHECK(bytes.size() == size + 4);
    FUZZ_CHECK(std::memcmp(bytes.data() + 4, data, size) == 0);
    return 0;
}
