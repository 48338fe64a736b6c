#include "alerts/src/queue/DuplicateKey.h"

#include <emmintrin.h>

#include <cstring>
#include <string>

namespace Drem {

namespace {

constexpr std::size_t kMostKeyedActions = 4;

// A hash of texts: sixteen bytes at a time, each block with a factor of its
// own so that the order of blocks and texts counts.
class TextHash {
public:
    explicit TextHash(std::uint64_t seed)
        : acc_(_mm_set_epi64x(static_cast<long long>(seed), static_cast<long long>(kOdd1))),
          factor_(_mm_set_epi64x(static_cast<long long>(kOdd2), static_cast<long long>(kOdd1))) {}

    // The text's length and code units; the last block overlaps the one
    // before it.
    void add(const std::wstring& text) {
        const wchar_t* units = text.data();
        const std::size_t n = text.size();
        mix(_mm_set_epi64x(0, static_cast<long long>(n)));
        if (n >= kBlock) {
            std::size_t i = 0;
            for (; i + kBlock <= n; i += kBlock) mix(load(units + i));
            if (i < n) mix(load(units + n - kBlock));
        } else if (n > 0) {
            wchar_t last[kBlock] = {};
            std::memcpy(last, units, n * sizeof(wchar_t));
            mix(load(last));
        }
    }

    std::uint64_t value() const {
        const std::uint64_t low = static_cast<std::uint64_t>(_mm_cvtsi128_si64(acc_));
        const std::uint64_t high = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc_, acc_)));
        const std::uint64_t mixed = (low ^ (high * kOdd2)) * kOdd1;
        return mixed ^ (mixed >> 29);
    }

private:
    static constexpr std::uint64_t kOdd1 = 0x9e3779b97f4a7c15ULL;
    static constexpr std::uint64_t kOdd2 = 0xc2b2ae3d27d4eb4fULL;
    static constexpr std::size_t kBlock = sizeof(__m128i) / sizeof(wchar_t);

    static __m128i load(const wchar_t* units) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(units)); }

    void mix(__m128i block) {
        const __m128i keyed = _mm_xor_si128(block, factor_);
        const __m128i product = _mm_mul_epu32(keyed, _mm_srli_epi64(keyed, 32));
        acc_ = _mm_add_epi64(_mm_add_epi64(acc_, product), _mm_shuffle_epi32(block, _MM_SHUFFLE(1, 0, 3, 2)));
        factor_ = _mm_add_epi64(factor_, _mm_set_epi64x(0x165667b19e3779f9LL, 0x27d4eb2f165667c5LL));
    }

    __m128i acc_;
    __m128i factor_;
};



}  // namespace

bool hasDuplicateKey(const AlertContent& content) { return content.actions.size() <= kMostKeyedActions; }

std::uint64_t hashOfDuplicateKey(const AlertContent& content) {
    if (!hasDuplicateKey(content)) return 0;
    TextHash hash(content.actions.size());
    hash.add(content.title);
    hash.add(content.defaultcontent);
    hash.add(content.detailscontent);
    for (const auto& action : content.actions) hash.add(action.text);
    return hash.value();
}

}  // namespace Drem
