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

std::uint64_t hashOfKey(const AlertContent& content) {
    prefetchKey(content);
    TextHash hash(content.actions.size());
    hash.add(content.title);
    hash.add(content.defaultcontent);
    hash.add(content.detailscontent);
    for (const auto& action : content.actions) hash.add(action.text);
    return hash.value();
}

}  // namespace

class AlertQueue::Impl {
public:
    // Where a queued alert is: its slot and the slot before it in the
    // arrival list of its priority (kNoSlot for the first).
    struct Place {
        Slot slot = kNoSlot;
        Slot before = kNoSlot;
    };

    // Queues the alert; false, with nothing changed, when a queued alert is
    // a duplicate of it.
    bool push(std::shared_ptr<Alert>&& alert) {
        const AlertContent& content = alert->getAlertContent();
        const bool keyed = hasKey(content);
        const std::uint64_t key = keyed ? hashOfKey(content) : 0;
        if (keyed && findDuplicate(key, *alert)) return false;

        // Everything that may fail to allocate comes before the alert is taken.
        if (keyed && 2 * (keys_ + 1) > cells_.size()) grow();
        const std::int32_t priority = alert->getAlertInfo().priority;
        Arrivals& arrivals = arrivalsOf(priority);
        const Slot slot = newSlot();
        Entry& entry = entries_[slot];
        entry.alert = std::move(alert);
        entry.priority = priority;
        entry.key = key;
        entry.keyed = keyed;
        entry.next = kNoSlot;
        if (arrivals.last != kNoSlot) {
            entries_[arrivals.last].next = slot;
        } else {
            arrivals.first = slot;
        }
        arrivals.last = slot;
        if (keyed) addKey(key, slot);
        ++count_;
        return true;
    }

    Place first() const {
        for (const Arrivals& arrivals : byPriority_) {
            if (arrivals.first != kNoSlot) return {arrivals.first, kNoSlot};
        }
        return {};
    }

    const std::shared_ptr<Alert>& at(Slot slot) const { return entries_[slot].alert; }

    // The first queued alert (in leaving order) with that instance id.
    Place find(const std::wstring& instanceId) const {
        for (const Arrivals& arrivals : byPriority_) {
            Slot before = kNoSlot;
            for (Slot s = arrivals.first; s != kNoSlot; before = s, s = entries_[s].next) {
                if (entries_[s].alert->getAlertInfo().instanceId == instanceId) return {s, before};
            }
        }
        return {};
    }

    std::shared_ptr<Alert> take(Place place) {
        Entry& entry = entries_[place.slot];
        const auto arrivals = std::find_if(byPriority_.begin(), byPriority_.end(),
                                           [&entry](const Arrivals& a) { return a.priority == entry.priority; });
        if (place.before != kNoSlot) {
            entries_[place.before].next = entry.next;
        } else {
            arrivals->first = entry.next;
        }
        if (arrivals->last == place.slot) arrivals->last = place.before;
        if (arrivals->first == kNoSlot && byPriority_.size() > kMostKeptLists) {
            byPriority_.erase(arrivals);
        }
        if (entry.keyed) removeKey(entry.key, place.slot);
        std::shared_ptr<Alert> alert = std::move(entry.alert);
        entry.next = freeSlots_;
        freeSlots_ = place.slot;
        --count_;
        return alert;
    }

    std::uint64_t count() const { return count_; }

private:
    struct Entry {
        std::shared_ptr<Alert> alert;  // empty in a free slot
        std::uint64_t key = 0;
        Slot next = kNoSlot;  // the next in the arrival list; in a free slot, the next free slot
        std::int32_t priority = 0;
        bool keyed = false;
    };
    struct Arrivals {
        std::int32_t priority;
        Slot first = kNoSlot;
        Slot last = kNoSlot;
    };
    // A cell of the key index (open addressing, linear probing): the high
    // half of the key, which also gives the cell's home, and the slot.
    struct Cell {
        std::uint32_t tag = 0;
        Slot slot = kNoSlot;  // kNoSlot: empty
    };

    static std::uint32_t tagOf(std::uint64_t key) { return static_cast<std::uint32_t>(key >> 32); }

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

    std::size_t home(std::uint32_t tag) const { return tag & (cells_.size() - 1); }
    std::size_t after(std::size_t i) const { return (i + 1) & (cells_.size() - 1); }

    // The queued alert's own test decides among those with the same key.
    bool findDuplicate(std::uint64_t key, const Alert& alert) const {
        if (cells_.empty()) return false;
        const std::uint32_t tag = tagOf(key);
        for (std::size_t i = home(tag); cells_[i].slot != kNoSlot; i = after(i)) {
            const Cell& cell = cells_[i];
            if (cell.tag == tag && entries_[cell.slot].key == key && entries_[cell.slot].alert->isDuplicate(alert)) {
                return true;
            }
        }
        return false;
    }

    void addKey(std::uint64_t key, Slot slot) {
        insert(Cell{tagOf(key), slot});
        ++keys_;
    }

    void insert(const Cell& cell) {
        std::size_t i = home(cell.tag);
        while (cells_[i].slot != kNoSlot) i = after(i);
        cells_[i] = cell;
    }

    void grow() {
        std::vector<Cell> old(cells_.empty() ? 16 : 2 * cells_.size());
        old.swap(cells_);
        for (const Cell& cell : old) {
            if (cell.slot != kNoSlot) insert(cell);
        }
    }

    // Takes the slot's cell out and moves later cells of the same run back
    // into the gap, so that every probe still reaches its cell.
    void removeKey(std::uint64_t key, Slot slot) {
        std::size_t gap = home(tagOf(key));
        while (cells_[gap].slot != slot) gap = after(gap);
        for (std::size_t j = after(gap); cells_[j].slot != kNoSlot; j = after(j)) {
            const std::size_t h = home(cells_[j].tag);
            // The cell stays when its home lies cyclically in (gap, j].
            const bool stays = gap <= j ? (gap < h && h <= j) : (gap < h || h <= j);
            if (!stays) {
                cells_[gap] = cells_[j];
                gap = j;
            }
        }
        cells_[gap] = Cell{};
        --keys_;
    }

    std::vector<Entry> entries_;
    Slot freeSlots_ = kNoSlot;
    std::vector<Arrivals> byPriority_;  // by priority number; empty lists only while there are few
    std::vector<Cell> cells_;           // empty, or a power of two at least twice keys_
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
        const Impl::Place place = impl_->find(instanceId);
        if (place.slot != kNoSlot) {
            removed = impl_->take(place);
        }
    }
    return removed != nullptr;
}

std::shared_ptr<Alert> AlertQueue::pop() {
    std::lock_guard<CriticalSection> lock(lock_);
    const Impl::Place place = impl_->first();
    return place.slot == kNoSlot ? nullptr : impl_->take(place);
}

std::shared_ptr<Alert> AlertQueue::front() {
    std::lock_guard<CriticalSection> lock(lock_);
    const Impl::Place place = impl_->first();
    return place.slot == kNoSlot ? nullptr : impl_->at(place.slot);
}

std::uint64_t AlertQueue::count() {
    std::lock_guard<CriticalSection> lock(lock_);
    return impl_->count();
}

}  // namespace Drem
