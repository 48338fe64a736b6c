#include "alerts/src/queue/AlertQueue.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace Drem {

CriticalSection::CriticalSection(DWORD spinCount) {
    InitializeCriticalSectionAndSpinCount(&section_, spinCount);
}

CriticalSection::~CriticalSection() { DeleteCriticalSection(&section_); }

void CriticalSection::lock() { EnterCriticalSection(&section_); }

void CriticalSection::unlock() { LeaveCriticalSection(&section_); }

namespace {

using Slot = std::uint32_t;
constexpr Slot kNoSlot = ~Slot{0};

// Alert::isDuplicate holds only between alerts of at most 4 actions whose
// action texts, title, default and details content are equal: the key of
// an alert is those fields, and alerts with more actions have none.
constexpr std::size_t kMostKeyedActions = 4;

// While there are at most this many arrival lists, an empty one stays for
// the next alerts of its priority; beyond, it goes, so that finding the
// first alert stays short.
constexpr std::size_t kMostKeptLists = 8;

bool hasKey(const AlertContent& content) { return content.actions.size() <= kMostKeyedActions; }

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

// Asks for the key's texts before they are read: an alert built a while
// ago has them far from the processor.
void prefetchKey(const AlertContent& content) {
    __builtin_prefetch(content.title.data());
    __builtin_prefetch(content.defaultcontent.data());
    __builtin_prefetch(content.detailscontent.data());
    for (const auto& action : content.actions) __builtin_prefetch(action.text.data());
}

std::size_t hashOfKey(const AlertContent& content) {
    prefetchKey(content);
    TextHash hash(content.actions.size());
    hash.add(content.title);
    hash.add(content.defaultcontent);
    hash.add(content.detailscontent);
    for (const auto& action : content.actions) hash.add(action.text);
    return static_cast<std::size_t>(hash.value());
}

}  // namespace

class AlertQueue::Impl {
public:
    // Queues the alert; false, with nothing changed, when a queued alert is
    // a duplicate of it.
    bool push(std::shared_ptr<Alert>&& alert) {
        const AlertContent& content = alert->getAlertContent();
        const bool keyed = hasKey(content);
        const std::size_t key = keyed ? hashOfKey(content) : 0;
        if (keyed && findDuplicate(key, *alert)) return false;
        if (keyed && keys_ == buckets_.size()) grow();  // before the new entry is filled in

        // Everything that may fail to allocate comes before the alert is taken.
        const std::int32_t priority = alert->getAlertInfo().priority;
        Arrivals& arrivals = arrivalsOf(priority);
        const Slot slot = newSlot();
        Entry& entry = entries_[slot];
        entry.alert = std::move(alert);
        entry.priority = priority;
        entry.key = key;
        entry.keyed = keyed;
        entry.prev = arrivals.last;
        entry.next = kNoSlot;
        if (arrivals.last != kNoSlot) {
            entries_[arrivals.last].next = slot;
        } else {
            arrivals.first = slot;
        }
        arrivals.last = slot;
        if (keyed) addKey(slot);
        ++count_;
        return true;
    }

    Slot first() const {
        for (const Arrivals& arrivals : byPriority_) {
            if (arrivals.first != kNoSlot) return arrivals.first;
        }
        return kNoSlot;
    }

    const std::shared_ptr<Alert>& at(Slot slot) const { return entries_[slot].alert; }

    // The first queued alert (in leaving order) with that instance id.
    Slot find(const std::wstring& instanceId) const {
        for (const Arrivals& arrivals : byPriority_) {
            for (Slot s = arrivals.first; s != kNoSlot; s = entries_[s].next) {
                if (entries_[s].alert->getAlertInfo().instanceId == instanceId) return s;
            }
        }
        return kNoSlot;
    }

    std::shared_ptr<Alert> take(Slot slot) {
        Entry& entry = entries_[slot];
        const auto arrivals = std::find_if(byPriority_.begin(), byPriority_.end(),
                                           [&entry](const Arrivals& a) { return a.priority == entry.priority; });
        if (entry.prev != kNoSlot) {
            entries_[entry.prev].next = entry.next;
        } else {
            arrivals->first = entry.next;
        }
        if (entry.next != kNoSlot) {
            entries_[entry.next].prev = entry.prev;
        } else {
            arrivals->last = entry.prev;
        }
        if (arrivals->first == kNoSlot && byPriority_.size() > kMostKeptLists) {
            byPriority_.erase(arrivals);
        }
        if (entry.keyed) removeKey(slot);
        std::shared_ptr<Alert> alert = std::move(entry.alert);
        entry.next = freeSlots_;
        freeSlots_ = slot;
        --count_;
        return alert;
    }

    std::uint64_t count() const { return count_; }

private:
    struct Entry {
        std::shared_ptr<Alert> alert;  // empty in a free slot
        std::size_t key = 0;
        Slot prev = kNoSlot;  // neighbours in the arrival list of its priority
        Slot next = kNoSlot;  // in a free slot: the next free slot
        Slot sameBucket = kNoSlot;  // the next keyed alert in its hash bucket
        std::int32_t priority = 0;
        bool keyed = false;
    };
    struct Arrivals {
        std::int32_t priority;
        Slot first = kNoSlot;
        Slot last = kNoSlot;
    };

    Arrivals& arrivalsOf(std::int32_t priority) {
        auto at = byPriority_.begin();
        while (at != byPriority_.end() && at->priority < priority) ++at;
        if (at == byPriority_.end() || at->priority != priority) at = byPriority_.insert(at, Arrivals{priority});
        return *at;
    }

    Slot newSlot() {
        if (freeSlots_ == kNoSlot) {
            entries_.emplace_back();
            return static_cast<Slot>(entries_.size() - 1);
        }
        const Slot slot = freeSlots_;
        freeSlots_ = entries_[slot].next;
        return slot;
    }

    std::size_t bucketOf(std::size_t key) const { return key & (buckets_.size() - 1); }

    // The queued alert's own test decides among those with the same hash.
    bool findDuplicate(std::size_t key, const Alert& alert) const {
        if (buckets_.empty()) return false;
        for (Slot s = buckets_[bucketOf(key)]; s != kNoSlot; s = entries_[s].sameBucket) {
            if (entries_[s].key == key && entries_[s].alert->isDuplicate(alert)) return true;
        }
        return false;
    }

    void addKey(Slot slot) {
        link(slot);
        ++keys_;
    }

    void link(Slot slot) {
        Slot& first = buckets_[bucketOf(entries_[slot].key)];
        entries_[slot].sameBucket = first;
        first = slot;
    }

    void grow() {
        buckets_.assign(buckets_.empty() ? 16 : 2 * buckets_.size(), kNoSlot);
        for (Slot s = 0; s < entries_.size(); ++s) {
            if (entries_[s].alert && entries_[s].keyed) link(s);
        }
    }

    void removeKey(Slot slot) {
        Slot* at = &buckets_[bucketOf(entries_[slot].key)];
        while (*at != slot) at = &entries_[*at].sameBucket;
        *at = entries_[slot].sameBucket;
        --keys_;
    }

    std::vector<Entry> entries_;
    Slot freeSlots_ = kNoSlot;
    std::vector<Arrivals> byPriority_;  // by priority number; empty lists only while there are few
    // The keyed alerts by hash, each bucket a list through sameBucket; empty,
    // or a power of two not below keys_.
    std::vector<Slot> buckets_;
    std::size_t keys_ = 0;
    std::uint64_t count_ = 0;
};

AlertQueue::AlertQueue() : lock_(4000), impl_(std::make_unique<Impl>()) {}

AlertQueue::~AlertQueue() = default;

bool AlertQueue::push(std::shared_ptr<Alert> alert) {
    if (!alert) {
        return false;
    }
    std::lock_guard<CriticalSection> lock(lock_);
    return impl_->push(std::move(alert));
}

bool AlertQueue::remove(const std::wstring& instanceId) {
    std::shared_ptr<Alert> removed;  // released after the lock
    {
        std::lock_guard<CriticalSection> lock(lock_);
        const Slot slot = impl_->find(instanceId);
        if (slot != kNoSlot) {
            removed = impl_->take(slot);
        }
    }
    return removed != nullptr;
}

std::shared_ptr<Alert> AlertQueue::pop() {
    std::lock_guard<CriticalSection> lock(lock_);
    const Slot slot = impl_->first();
    return slot == kNoSlot ? nullptr : impl_->take(slot);
}

std::shared_ptr<Alert> AlertQueue::front() {
    std::lock_guard<CriticalSection> lock(lock_);
    const Slot slot = impl_->first();
    return slot == kNoSlot ? nullptr : impl_->at(slot);
}

std::uint64_t AlertQueue::count() {
    std::lock_guard<CriticalSection> lock(lock_);
    return impl_->count();
}

}  // namespace Drem
