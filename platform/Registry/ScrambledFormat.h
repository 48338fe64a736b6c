// The two stored forms of a scrambled value, Win32-free:
// the registry blob "CVRG" + version + length + type + MD5 + payload, and
// the ini pair of a 36-byte header and the scrambled data, both as the hex
// text WritePrivateProfileStruct writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Kelmora::scrambled {

inline constexpr std::uint8_t kMagic[4] = {'C', 'V', 'R', 'G'};
inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::size_t kRegistryHeaderSize = 32;
inline constexpr std::size_t kRegistryDigestOffset = 16;
inline constexpr std::size_t kIniHeaderSize = 36;
inline constexpr std::size_t kIniHeaderTextLength = 74;  // 36 bytes as hex + checksum
inline constexpr std::uint32_t kIniTypeText = 1;
inline constexpr std::uint32_t kIniTypeInteger = 4;

// Codes, as the Win32 numbers of the utility library.
inline constexpr unsigned long kSuccess = 0;
inline constexpr unsigned long kNotEnoughMemory = 8;
inline constexpr unsigned long kInvalidData = 13;
inline constexpr unsigned long kInvalidParameter = 87;
inline constexpr unsigned long kScrambleFailed = 6000;
inline constexpr unsigned long kUnscrambleFailed = 6001;

// Builds the registry blob of a payload of n bytes (n > 0): 0, 87, 8 or 6000.
unsigned long BuildRegistryBlob(std::uint32_t type, const std::uint8_t* payload, std::size_t n,
                                std::vector<std::uint8_t>& blob);

// Checks a blob read from the registry: at least 32 bytes, the digest, the
// stored length against the blob's size, and the magic; the version is not
// checked. 0 with type and n filled, or 13.
unsigned long CheckRegistryBlob(const std::uint8_t* blob, std::size_t size, std::uint32_t& type,
                                std::uint32_t& n);

// Unscrambles the payload of a checked blob into out (room for n bytes): 0 or 6001.
unsigned long UnscrambleRegistryPayload(const std::uint8_t* blob, std::size_t size,
                                        std::uint8_t* out);

// Scrambles n bytes (n > 0) with the ini key and builds the 36-byte header
// (type, flag 1, digest of the scrambled bytes). False when scrambling fails.
bool BuildIniValue(std::uint32_t type, const std::uint8_t* plain, std::size_t n,
                   std::vector<std::uint8_t>& header, std::vector<std::uint8_t>& data);

// The text WritePrivateProfileStruct writes: two uppercase hex digits a
// byte, then two more for the 8-bit sum of the bytes.
std::wstring ToProfileHex(const std::uint8_t* bytes, std::size_t n);

// Reads count bytes from the start of text as pairs of hex digits; false
// when the text is shorter or a pair is not two hex digits (no spaces,
// signs or prefixes).
bool ReadHexBytes(const std::wstring& text, std::size_t count, std::uint8_t* out);

// Decodes an ini pair: the header text (74 characters from "_" + key) and
// the data text of the key. On success type is 1 or 4 and plain holds the
// unscrambled bytes (n of them for text, 4 for an integer).
bool DecodeIniValue(const std::wstring& headerText, const std::wstring& dataText,
                    std::uint32_t& type, std::vector<std::uint8_t>& plain);

}  // namespace Kelmora::scrambled
