// RFC 1321 message digest. Win32-free.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Kelmora {

inline constexpr std::size_t kMD5DigestSize = 16;

// 0, or -1 when a pointer is null, the length is 0 or the size is not 16.
int ComputeMD5(const void* data, std::size_t length, std::uint8_t* digest, std::size_t digestSize);
// 0 when the digest of the data equals the expected 16 bytes, else -1.
int VerifyMD5(const void* data, std::size_t length, const std::uint8_t* expected,
              std::size_t digestSize);

}  // namespace Kelmora
