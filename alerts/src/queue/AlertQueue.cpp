#include "alerts/src/queue/AlertQueue.h"

#include <functional>
#include <map>
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

std::size_t hashOfKey(const AlertContent& content) {
    const std::hash<std::wstring> hash;
    std::size_t h = content.actions.size();
    auto mix = [&h, &hash](const std::wstring& text) { h = (h ^ hash(text)) * 0x100000001b3ULL + 0x9e37; };
    mix(content.title);
    mix(content.defaultcontent);
    mix(content.detailscontent);
    for (const auto& action : content.actions) mix(action.text);
    return h;
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

        const std::int32_t priority = alert->getAlertInfo().priority;
        const Slot slot = newSlot();
        Entry& entry = entries_[slot];
        entry.alert = std::move(alert);
        entry.priority = priority;
        entry.key = key;
        entry.keyed = keyed;
        Arrivals& arrivals = byPriority_[priority];
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
        for (const auto& [priority, arrivals] : byPriority_) {
            if (arrivals.first != kNoSlot) return arrivals.first;
        }
        return kNoSlot;
    }

    const std::shared_ptr<Alert>& at(Slot slot) const { return entries_[slot].alert; }

    // The first queued alert (in leaving order) with that instance id.
    Slot find(const std::wstring& instanceId) const {
        for (const auto& [priority, arrivals] : byPriority_) {
            for (Slot s = arrivals.first; s != kNoSlot; s = entries_[s].next) {
                if (entries_[s].alert->getAlertInfo().instanceId == instanceId) return s;
            }
        }
        return kNoSlot;
    }

    std::shared_ptr<Alert> take(Slot slot) {
        Entry& entry = entries_[slot];
        auto arrivals = byPriority_.find(entry.priority);
        if (entry.prev != kNoSlot) {
            entries_[entry.prev].next = entry.next;
        } else {
            arrivals->second.first = entry.next;
        }
        if (entry.next != kNoSlot) {
            entries_[entry.next].prev = entry.prev;
        } else {
            arrivals->second.last = entry.prev;
        }
        if (arrivals->second.first == kNoSlot && byPriority_.size() > kMostKeptLists) {
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
        Slot first = kNoSlot;
        Slot last = kNoSlot;
    };
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
    std::map<std::int32_t, Arrivals> byPriority_;  // empty lists only while there are few
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
