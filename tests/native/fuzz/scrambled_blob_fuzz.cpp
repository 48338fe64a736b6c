// Registry blobs and the scrambler under them. The first byte picks the mode:
//   'R' + blob bytes: checked as read from the registry;
//   'B' + flags + blob bytes: the blob gets a correct digest first (flag bits:
//       1 magic, 2 version 1, 4 stored length matching), so the checks past
//       the digest are reached;
//   'S' + rounds + key length + key + bytes: scramble then unscramble.
#include "platform/Registry/MD5.h"
#include "platform/Registry/ScrambledFormat.h"
#include "platform/Registry/ValueScrambler.h"
#include "tests/native/fuzz/FuzzInput.h"

#include <cstring>
#include <vector>

namespace sc = Kelmora::scrambled;

namespace {

void PutU32(std::uint8_t* at, std::uint32_t value) {
    for (int k = 0; k < 4; ++k) at[k] = static_cast<std::uint8_t>(value >> (8 * k));
}

std::uint32_t GetU32(const std::uint8_t* at) {
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

void CheckBlob(const std::vector<std::uint8_t>& blob, bool digestRight) {
    std::uint32_t type = 0;
    std::uint32_t n = 0;
    const unsigned long checked = sc::CheckRegistryBlob(blob.data(), blob.size(), type, n);
    FUZZ_CHECK(checked == sc::kSuccess || checked == sc::kInvalidData);
    if (digestRight) {
        const bool wellFormed = blob.size() >= sc::kRegistryHeaderSize &&
                                std::memcmp(blob.data(), sc::kMagic, 4) == 0 &&
                                GetU32(blob.data() + 8) + sc::kRegistryHeaderSize == blob.size();
        FUZZ_CHECK((checked == sc::kSuccess) == wellFormed);
    }
    if (checked != sc::kSuccess) return;
    FUZZ_CHECK(n + sc::kRegistryHeaderSize == blob.size());
    FUZZ_CHECK(type == GetU32(blob.data() + 12));
    if (n == 0) {
        std::uint8_t none = 0;
        FUZZ_CHECK(sc::UnscrambleRegistryPayload(blob.data(), blob.size(), &none) ==
                   sc::kUnscrambleFailed);
        return;
    }
    std::vector<std::uint8_t> plain(n);
    FUZZ_CHECK(sc::UnscrambleRegistryPayload(blob.data(), blob.size(), plain.data()) == sc::kSuccess);
    // The format is deterministic: the plain bytes build the same blob again.
    if (GetU32(blob.data() + 4) == sc::kVersion) {
        std::vector<std::uint8_t> rebuilt;
        FUZZ_CHECK(sc::BuildRegistryBlob(type, plain.data(), n, rebuilt) == sc::kSuccess);
        FUZZ_CHECK(rebuilt == blob);
    }
}

void FixDigest(std::vector<std::uint8_t>& blob) {
    if (blob.size() < sc::kRegistryHeaderSize) return;
    std::memset(blob.data() + sc::kRegistryDigestOffset, 0, Kelmora::kMD5DigestSize);
    std::uint8_t digest[Kelmora::kMD5DigestSize];
    FUZZ_CHECK(Kelmora::ComputeMD5(blob.data(), blob.size(), digest, sizeof digest) == 0);
    std::memcpy(blob.data() + sc::kRegistryDigestOffset, digest, sizeof digest);
}

void ScrambleRoundTrip(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return;
    const unsigned rounds = data[0] % 8;
    const int keyLength = data[1] % 48;
    data += 2;
    size -= 2;
    if (static_cast<std::size_t>(keyLength) > size) return;
    const std::vector<std::uint8_t> key(data, data + keyLength);
    const std::vector<std::uint8_t> plain(data + keyLength, data + size);
    const void* keyData = key.empty() ? nullptr : key.data();

    Kelmora::CValueScrambler scrambler(keyData, keyLength, rounds);
    std::vector<std::uint8_t> scrambled(plain.size());
    const bool done = scrambler.Scramble(plain.data(), scrambled.data(), plain.size());
    FUZZ_CHECK(done == !plain.empty());
    if (!done) return;
    Kelmora::CValueScrambler unscrambler(keyData, keyLength, rounds);
    std::vector<std::uint8_t> back(plain.size());
    FUZZ_CHECK(unscrambler.Unscramble(scrambled.data(), back.data(), scrambled.size()));
    FUZZ_CHECK(back == plain);
    // In place gives the same bytes.
    Kelmora::CValueScrambler inPlace(keyData, keyLength, rounds);
    std::vector<std::uint8_t> buffer = plain;
    FUZZ_CHECK(inPlace.Scramble(buffer.data(), buffer.data(), buffer.size()));
    FUZZ_CHECK(buffer == scrambled);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[0];
    ++data;
    --size;
    if (mode == 'R') {
        CheckBlob(std::vector<std::uint8_t>(data, data + size), false);
    } else if (mode == 'B' && size > 0) {
        const std::uint8_t flags = data[0];
        std::vector<std::uint8_t> blob(data + 1, data + size);
        if (blob.size() >= sc::kRegistryHeaderSize) {
            if (flags & 1) std::memcpy(blob.data(), sc::kMagic, 4);
            if (flags & 2) PutU32(blob.data() + 4, sc::kVersion);
            if (flags & 4) {
                PutU32(blob.data() + 8,
                       static_cast<std::uint32_t>(blob.size() - sc::kRegistryHeaderSize));
            }
        }
        FixDigest(blob);
        CheckBlob(blob, true);
    } else if (mode == 'S') {
        ScrambleRoundTrip(data, size);
    }
    return 0;
}
