// The bus message's binary header: a packed little-endian 108-byte record
// (version 2; version 1 is its first 100 bytes). Free of Win32.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Tessil {

inline constexpr std::uint32_t MESSAGE_FLAG_REPLY = 0;
inline constexpr std::uint32_t MESSAGE_FLAG_REQUEST = 1;
inline constexpr std::uint32_t MESSAGE_FLAG_NO_PLAIN_COPY = 3;
inline constexpr std::uint32_t MESSAGE_FLAG_PLAIN_COPY_SENT = 4;

inline constexpr std::uint16_t MESSAGE_HEADER_VERSION_1 = 1;
inline constexpr std::uint16_t MESSAGE_HEADER_VERSION_2 = 2;
inline constexpr std::size_t MESSAGE_HEADER_V1_SIZE = 100;
inline constexpr std::size_t MESSAGE_HEADER_V2_SIZE = 108;
inline constexpr std::uint16_t MESSAGE_HEADER_EXTENSION_TYPE = 11;
inline constexpr std::uint16_t MESSAGE_HEADER_EXTENSION_LENGTH = 8;

#pragma pack(push, 1)
struct MessageHeaderExtension {
    std::uint16_t extensionType;
    std::uint16_t extensionLength;
    std::uint32_t senderSessionId;
};

struct MessageHeader {
    std::uint16_t headerMark;
    std::uint32_t totalSize;
    std::uint32_t flags;
    std::uint16_t version;
    std::uint8_t senderAddress[24];
    std::uint8_t recipientAddress[24];
    std::uint8_t senderRoute[12];
    std::uint8_t recipientRoute[12];
    std::uint64_t sequence;
    std::uint64_t replyToSequence;
    MessageHeaderExtension extension;

    // Bit n of flags, n taken modulo 32.
    bool testFlag(std::uint32_t n) const { return ((flags >> (n % 32)) & 1u) != 0; }
    void setFlag(std::uint32_t n) { flags |= (1u << (n % 32)); }
    void clearFlag(std::uint32_t n) { flags &= ~(1u << (n % 32)); }
    void clearReplyTo() { replyToSequence = 0; }
    // The extension when wantedVersion is 2 and the header's version is 2, else null.
    MessageHeaderExtension* getExtension(std::uint16_t wantedVersion);
    const MessageHeaderExtension* getExtension(std::uint16_t wantedVersion) const;
};
#pragma pack(pop)

static_assert(sizeof(MessageHeaderExtension) == 8);
static_assert(offsetof(MessageHeaderExtension, extensionType) == 0);
static_assert(offsetof(MessageHeaderExtension, extensionLength) == 2);
static_assert(offsetof(MessageHeaderExtension, senderSessionId) == 4);
static_assert(sizeof(MessageHeader) == 108);
static_assert(offsetof(MessageHeader, headerMark) == 0);
static_assert(offsetof(MessageHeader, totalSize) == 2);
static_assert(offsetof(MessageHeader, flags) == 6);
static_assert(offsetof(MessageHeader, version) == 10);
static_assert(offsetof(MessageHeader, senderAddress) == 12);
static_assert(offsetof(MessageHeader, recipientAddress) == 36);
static_assert(offsetof(MessageHeader, senderRoute) == 60);
static_assert(offsetof(MessageHeader, recipientRoute) == 72);
static_assert(offsetof(MessageHeader, sequence) == 84);
static_assert(offsetof(MessageHeader, replyToSequence) == 92);
static_assert(offsetof(MessageHeader, extension) == 100);
static_assert(offsetof(MessageHeader, extension) + offsetof(MessageHeaderExtension, extensionType) == 100);
static_assert(offsetof(MessageHeader, extension) + offsetof(MessageHeaderExtension, extensionLength) == 102);
static_assert(offsetof(MessageHeader, extension) + offsetof(MessageHeaderExtension, senderSessionId) == 104);

inline MessageHeaderExtension* MessageHeader::getExtension(std::uint16_t wantedVersion) {
    return (wantedVersion == MESSAGE_HEADER_VERSION_2 && version == MESSAGE_HEADER_VERSION_2)
               ? &extension
               : nullptr;
}

inline const MessageHeaderExtension* MessageHeader::getExtension(std::uint16_t wantedVersion) const {
    return (wantedVersion == MESSAGE_HEADER_VERSION_2 && version == MESSAGE_HEADER_VERSION_2)
               ? &extension
               : nullptr;
}

// Fills the header with the template: zero but headerMark 1, version 2,
// extension type 11 and length 8. totalSize is 0.
void initHeader(MessageHeader* header);

// Overwrites destination with a copy of a header received from outside,
// converting version 1 (100 bytes: totalSize + 8, version 2, session 0).
// A null source leaves the template; a null destination does nothing.
void copyHeader(MessageHeader* destination, const MessageHeader* source);

}  // namespace Tessil
