// Tessil::copyHeader on header bytes received from outside. The first byte
// sets the version field: '1' version 1, '2' version 2, anything else leaves
// the bytes as they are. The source holds exactly the bytes its version has.
#include "framework/message/MessageHeader.h"
#include "tests/native/fuzz/FuzzInput.h"

#include <algorithm>
#include <cstring>
#include <memory>

using namespace Tessil;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[0];
    std::uint8_t bytes[MESSAGE_HEADER_V2_SIZE] = {};
    std::memcpy(bytes, data + 1, std::min(size - 1, sizeof bytes));
    if (mode == '1' || mode == '2') {
        const std::uint16_t version = mode == '1' ? MESSAGE_HEADER_VERSION_1 : MESSAGE_HEADER_VERSION_2;
        std::memcpy(bytes + offsetof(MessageHeader, version), &version, sizeof version);
    }
    std::uint16_t version = 0;
    std::memcpy(&version, bytes + offsetof(MessageHeader, version), sizeof version);
    const std::size_t held =
        version == MESSAGE_HEADER_VERSION_2 ? MESSAGE_HEADER_V2_SIZE : MESSAGE_HEADER_V1_SIZE;
    // On the heap at its exact size, so reading past it is reported.
    std::unique_ptr<std::uint8_t[]> source(new std::uint8_t[held]);
    std::memcpy(source.get(), bytes, held);

    MessageHeader destination;
    std::memset(static_cast<void*>(&destination), 0xA5, sizeof destination);
    copyHeader(&destination, reinterpret_cast<const MessageHeader*>(source.get()));

    std::uint8_t out[sizeof(MessageHeader)];
    std::memcpy(out, &destination, sizeof out);
    FUZZ_CHECK(destination.version == MESSAGE_HEADER_VERSION_2);
    FUZZ_CHECK(destination.getExtension(MESSAGE_HEADER_VERSION_2) == &destination.extension);
    std::uint32_t totalSize = 0;
    std::memcpy(&totalSize, bytes + offsetof(MessageHeader, totalSize), sizeof totalSize);
    if (version == MESSAGE_HEADER_VERSION_2) {
        FUZZ_CHECK(std::memcmp(out, bytes, MESSAGE_HEADER_V2_SIZE) == 0);
    } else {
        // Converted: the extension of the template, 8 more bytes in all.
        FUZZ_CHECK(destination.totalSize == static_cast<std::uint32_t>(totalSize + 8));
        FUZZ_CHECK(std::memcmp(out, bytes, 2) == 0);
        FUZZ_CHECK(std::memcmp(out + 6, bytes + 6, 4) == 0);
        FUZZ_CHECK(std::memcmp(out + 12, bytes + 12, MESSAGE_HEADER_V1_SIZE - 12) == 0);
        FUZZ_CHECK(destination.extension.extensionType == MESSAGE_HEADER_EXTENSION_TYPE);
        FUZZ_CHECK(destination.extension.extensionLength == MESSAGE_HEADER_EXTENSION_LENGTH);
        FUZZ_CHECK(destination.extension.senderSessionId == 0);
    }

    // A null source leaves the template.
    copyHeader(&destination, nullptr);
    MessageHeader blank;
    initHeader(&blank);
    FUZZ_CHECK(std::memcmp(&destination, &blank, sizeof blank) == 0);
    copyHeader(nullptr, reinterpret_cast<const MessageHeader*>(source.get()));
    return 0;
}
