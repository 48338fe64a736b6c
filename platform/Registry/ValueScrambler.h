// Kelmora::CValueScrambler: the RC4-keyed byte scrambler with feedback used
// for scrambled registry and ini values. Win32-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Kelmora {

// The three 38-byte keys (braced GUID text, no terminating NUL).
extern const char kRegistryScrambleKey[39];
extern const char kIniScrambleKey[39];
extern const char kDefaultScrambleKey[39];
inline constexpr int kScrambleKeyLength = 38;

// One object per value: the keystream runs on from byte to byte, so an
// object is never reused for a second value.
class CValueScrambler {
public:
    // A null key or a length of 0 or less selects the default key; rounds
    // of 1 or less leave 1.
    CValueScrambler(const void* key, int keyLength, unsigned rounds = 1);

    // False when a pointer is null or the length is 0; else processes all
    // bytes. In and out may be the same buffer.
    bool Scramble(const void* in, void* out, std::size_t length);
    bool Unscramble(const void* in, void* out, std::size_t length);

private:
    std::uint8_t NextKeystreamByte();

    std::uint8_t state_[256];
    std::uint8_t i_ = 0;
    std::uint8_t j_ = 0;
    bool initialised_ = false;
    unsigned rounds_ = 1;
    std::uint8_t feedback_ = 0;
    std::vector<std::uint8_t> scratchK1_;  // one byte a round, for unscrambling
    std::vector<std::uint8_t> scratchK2_;
};

}  // namespace Kelmora
