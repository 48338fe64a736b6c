#include "framework/message/MessageHeader.h"

#include <cstring>

namespace Tessil {

void initHeader(MessageHeader* header) {
    if (header == nullptr) {
        return;
    }
    std::memset(static_cast<void*>(header), 0, sizeof(MessageHeader));
    header->headerMark = 1;
    header->version = MESSAGE_HEADER_VERSION_2;
    header->extension.extensionType = MESSAGE_HEADER_EXTENSION_TYPE;
    header->extension.extensionLength = MESSAGE_HEADER_EXTENSION_LENGTH;
}

void copyHeader(MessageHeader* destination, const MessageHeader* source) {
    if (destination == nullptr) {
        return;
    }
    initHeader(destination);
    if (source == nullptr) {
        return;
    }
    if (source->version == MESSAGE_HEADER_VERSION_2) {
        std::memcpy(static_cast<void*>(destination), source, MESSAGE_HEADER_V2_SIZE);
        return;
    }
    std::memcpy(static_cast<void*>(destination), source, MESSAGE_HEADER_V1_SIZE);
    destination->totalSize += 8;
    destination->version = MESSAGE_HEADER_VERSION_2;
}

}  // namespace Tessil
