#include "alerts/src/queue/AlertQueue.h"

#include "alerts/src/queue/DuplicateKey.h"

#include <algorithm>
#include <atomic>
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

// While there are at most this many arrival lists, an empty one stays for
// the next alerts of its priority; beyond, it goes, so that finding the
// first alert stays short.
constexpr std::size_t kMostKeptLists = 8;

// One numbering for every queue, so that arrivals compare in any of them.
std::atomic<std::uint64_t> lastArrival{0};

std::uint64_t nextArrival() { return ++lastArrival; }

}  // namespace

class AlertQueue::Impl {
public:
    // Where a queued alert is: its slot and the slot before it in the
    // arrival list of its priority (kNoSlot for the first).
    struct Place {
        Slot slot = kNoSlot;
        Slot before = kNoSlot;
    };

    // Queues the alert as the last of its priority; false, with nothing
    // changed, when a queued alert is a duplicate of it.
    bool push(std::shared_ptr<Alert>&& alert) {
        const bool keyed = hasDuplicateKey(alert->getAlertContent());
        const std::uint64_t key = alert->getDuplicateKeyHash();
        if (keyed && findDuplicate(key, *alert)) return false;
        Arrivals& arrivals = prepare(keyed, alert->getAlertInfo().priority);
        link(std::move(alert), keyed, key, nextArrival(), arrivals, arrivals.last);
        return true;
    }

    // Queues the alert before the alerts of its priority that arrived after
    // it; an alert never queued arrives now.
    void putBack(std::shared_ptr<Alert>&& alert) {
        const bool keyed = hasDuplicateKey(alert->getAlertContent());
        const std::uint64_t key = alert->getDuplicateKeyHash();
        const std::uint64_t arrival = alert->arrival() != 0 ? alert->arrival() : nextArrival();
        Arrivals& arrivals = prepare(keyed, alert->getAlertInfo().priority);
        Slot before = kNoSlot;
        for (Slot s = arrivals.first; s != kNoSlot && entries_[s].arrival < arrival; s = entries_[s].next) {
            before = s;
        }
        link(std::move(alert), keyed, key, arrival, arrivals, before);
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
        std::uint64_t arrival = 0;
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

    // Everything that may fail to allocate, before an alert is taken.
    Arrivals& prepare(bool keyed, std::int32_t priority) {
        if (keyed && 2 * (keys_ + 1) > cells_.size()) grow();
        Arrivals& arrivals = arrivalsOf(priority);
        if (freeSlots_ == kNoSlot) {
            entries_.emplace_back();
            freeSlots_ = static_cast<Slot>(entries_.size() - 1);
        }
        return arrivals;
    }

    // Links the alert into its arrival list after before (kNoSlot: first).
    void link(std::shared_ptr<Alert>&& alert, bool keyed, std::uint64_t key, std::uint64_t arrival,
              Arrivals& arrivals, Slot before) {
        const Slot slot = freeSlots_;
        Entry& entry = entries_[slot];
        freeSlots_ = entry.next;
        alert->setArrival(arrival);
        entry.priority = arrivals.priority;
        entry.alert = std::move(alert);
        entry.key = key;
        entry.keyed = keyed;
        entry.arrival = arrival;
        Slot& into = before != kNoSlot ? entries_[before].next : arrivals.first;
        entry.next = into;
        into = slot;
        if (arrivals.last == before) arrivals.last = slot;
        if (keyed) addKey(key, slot);
        ++count_;
    }

    Arrivals& arrivalsOf(std::int32_t priority) {
        auto at = byPriority_.begin();
        while (at != byPriority_.end() && at->priority < priority) ++at;
        if (at == byPriority_.end() || at->priority != priority) at = byPriority_.insert(at, Arrivals{priority});
        return *at;
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

bool AlertQueue::putBack(std::shared_ptr<Alert> alert) {
    if (!alert) {
        return false;
    }
    std::lock_guard<CriticalSection> lock(lock_);
    impl_->putBack(std::move(alert));
    return true;
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
