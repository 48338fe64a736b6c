#include "platform/Registry/ValueScrambler.h"

#include <utility>

namespace Kelmora {

const char kRegistryScrambleKey[39] = "{3A91C6B2-5D04-47e8-8C1F-2B6E90A4D7C3}";
const char kIniScrambleKey[39] = "{9F2E0B47-C815-4d6a-A3B9-71D4E8C2F065}";
const char kDefaultScrambleKey[39] = "{B4D86A1C-0E37-4f92-9A65-C3F1072E8B94}";

CValueScrambler::CValueScrambler(const void* key, int keyLength, unsigned rounds)
    : rounds_(rounds <= 1 ? 1 : rounds), scratchK1_(rounds_), scratchK2_(rounds_) {
    const std::uint8_t* keyBytes = static_cast<const std::uint8_t*>(key);
    if (keyBytes == nullptr || keyLength <= 0) {
        keyBytes = reinterpret_cast<const std::uint8_t*>(kDefaultScrambleKey);
        keyLength = kScrambleKeyLength;
    }
    for (int k = 0; k < 256; ++k) {
        state_[k] = static_cast<std::uint8_t>(k);
    }
    std::uint8_t j = 0;
    for (int k = 0; k < 256; ++k) {
        j = static_cast<std::uint8_t>(j + state_[k] + keyBytes[k % keyLength]);
        std::swap(state_[k], state_[j]);
    }
    i_ = 0;
    j_ = 0;
    initialised_ = true;
    feedback_ = NextKeystreamByte();
}

std::uint8_t CValueScrambler::NextKeystreamByte() {
    i_ = static_cast<std::uint8_t>(i_ + 1);
    j_ = static_cast<std::uint8_t>(j_ + state_[i_]);
    std::swap(state_[i_], state_[j_]);
    return state_[static_cast<std::uint8_t>(state_[i_] + state_[j_])];
}

bool CValueScrambler::Scramble(const void* in, void* out, std::size_t length) {
    if (in == nullptr || out == nullptr || length == 0 || !initialised_) {
        return false;
    }
    const std::uint8_t* src = static_cast<const std::uint8_t*>(in);
    std::uint8_t* dst = static_cast<std::uint8_t*>(out);
    for (std::size_t n = 0; n < length; ++n) {
        feedback_ = static_cast<std::uint8_t>(feedback_ ^ src[n]);
        const std::uint8_t k1 = NextKeystreamByte();
        const std::uint8_t k2 = NextKeystreamByte();
        std::uint8_t c = static_cast<std::uint8_t>((k1 ^ feedback_) + k2);
        for (unsigned round = 1; round < rounds_; ++round) {
            const std::uint8_t a = NextKeystreamByte();
            const std::uint8_t b = NextKeystreamByte();
            c = static_cast<std::uint8_t>((c ^ a) + b);
        }
        dst[n] = c;
    }
    return true;
}

bool CValueScrambler::Unscramble(const void* in, void* out, std::size_t length) {
    if (in == nullptr || out == nullptr || length == 0 || !initialised_) {
        return false;
    }
    const std::uint8_t* src = static_cast<const std::uint8_t*>(in);
    std::uint8_t* dst = static_cast<std::uint8_t*>(out);
    for (std::size_t n = 0; n < length; ++n) {
        for (unsigned round = 0; round < rounds_; ++round) {
            scratchK1_[round] = NextKeystreamByte();
            scratchK2_[round] = NextKeystreamByte();
        }
        std::uint8_t c = src[n];
        for (unsigned round = rounds_ - 1; round >= 1; --round) {
            c = static_cast<std::uint8_t>(static_cast<std::uint8_t>(c - scratchK2_[round]) ^
                                          scratchK1_[round]);
        }
        const std::uint8_t p = static_cast<std::uint8_t>(
            static_cast<std::uint8_t>(c - scratchK2_[0]) ^ scratchK1_[0] ^ feedback_);
        feedback_ = static_cast<std::uint8_t>(feedback_ ^ p);
        dst[n] = p;
    }
    return true;
}

}  // namespace Kelmora
