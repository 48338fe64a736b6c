#include "platform/Registry/MD5.h"

#include <cstring>

namespace Kelmora {

namespace {

constexpr std::uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
    0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
    0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
    0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
    0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
    0xeb86d391};
constexpr int kShift[64] = {7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22,
                            5,  9,  14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 5,  9,  14, 20,
                            4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
                            6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21};

std::uint32_t Rotate(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Transform(std::uint32_t state[4], const std::uint8_t block[64]) {
    std::uint32_t m[16];
    for (int k = 0; k < 16; ++k) {
        m[k] = static_cast<std::uint32_t>(block[k * 4]) |
               (static_cast<std::uint32_t>(block[k * 4 + 1]) << 8) |
               (static_cast<std::uint32_t>(block[k * 4 + 2]) << 16) |
               (static_cast<std::uint32_t>(block[k * 4 + 3]) << 24);
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int k = 0; k < 64; ++k) {
        std::uint32_t f;
        int g;
        if (k < 16) {
            f = (b & c) | (~b & d);
            g = k;
        } else if (k < 32) {
            f = (d & b) | (~d & c);
            g = (5 * k + 1) % 16;
        } else if (k < 48) {
            f = b ^ c ^ d;
            g = (3 * k + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * k) % 16;
        }
        const std::uint32_t next = b + Rotate(a + f + kT[k] + m[g], kShift[k]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void Digest(const std::uint8_t* data, std::size_t length, std::uint8_t out[16]) {
    std::uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    std::size_t offset = 0;
    for (; length - offset >= 64; offset += 64) {
        Transform(state, data + offset);
    }
    std::uint8_t tail[128] = {};
    const std::size_t rest = length - offset;
    std::memcpy(tail, data + offset, rest);
    tail[rest] = 0x80;
    const std::size_t tailLength = rest < 56 ? 64 : 128;
    const std::uint64_t bits = static_cast<std::uint64_t>(length) * 8;
    for (int k = 0; k < 8; ++k) {
        tail[tailLength - 8 + k] = static_cast<std::uint8_t>(bits >> (8 * k));
    }
    Transform(state, tail);
    if (tailLength == 128) {
        Transform(state, tail + 64);
    }
    for (int k = 0; k < 4; ++k) {
        for (int b = 0; b < 4; ++b) {
            out[k * 4 + b] = static_cast<std::uint8_t>(state[k] >> (8 * b));
        }
    }
}

}  // namespace

int ComputeMD5(const void* data, std::size_t length, std::uint8_t* digest,
               std::size_t digestSize) {
    if (data == nullptr || digest == nullptr || length == 0 || digestSize != kMD5DigestSize) {
        return -1;
    }
    Digest(static_cast<const std::uint8_t*>(data), length, digest);
    return 0;
}

int VerifyMD5(const void* data, std::size_t length, const std::uint8_t* expected,
              std::size_t digestSize) {
    if (expected == nullptr) {
        return -1;
    }
    std::uint8_t actual[kMD5DigestSize];
    if (ComputeMD5(data, length, actual, digestSize) != 0) {
        return -1;
    }
    return std::memcmp(actual, expected, kMD5DigestSize) == 0 ? 0 : -1;
}

}  // namespace Kelmora
