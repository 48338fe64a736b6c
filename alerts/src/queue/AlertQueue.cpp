#include "alerts/src/queue/AlertQueue.h"

#include <mutex>

namespace Drem {

CriticalSection::CriticalSection(DWORD spinCount) {
    InitializeCriticalSectionAndSpinCount(&section_, spinCount);
}

CriticalSection::~CriticalSection() { DeleteCriticalSection(&section_); }

void CriticalSection::lock() { EnterCriticalSection(&section_); }

void CriticalSection::unlock() { LeaveCriticalSection(&section_); }

AlertQueue::AlertQueue() : lock_(4000) {}

AlertQueue::~AlertQueue() = default;

bool AlertQueue::push(std::shared_ptr<Alert> alert) {
    if (!alert) {
        return false;
    }
    std::lock_guard<CriticalSection> lock(lock_);
    for (const auto& queued : alerts_) {
        if (queued->isDuplicate(*alert)) {
            return false;
        }
    }
    auto at = alerts_.begin();
    while (at != alerts_.end() && !alert->isHigherPriority(**at)) {
        ++at;
    }
    alerts_.insert(at, std::move(alert));
    return true;
}

bool AlertQueue::remove(const std::wstring& instanceId) {
    std::shared_ptr<Alert> removed;  // released after the lock
    {
        std::lock_guard<CriticalSection> lock(lock_);
        for (auto it = alerts_.begin(); it != alerts_.end(); ++it) {
            if ((*it)->getAlertInfo().instanceId == instanceId) {
                removed = std::move(*it);
                alerts_.erase(it);
                break;
            }
        }
    }
    return removed != nullptr;
}

std::shared_ptr<Alert> AlertQueue::pop() {
    std::lock_guard<CriticalSection> lock(lock_);
    if (alerts_.empty()) {
        return nullptr;
    }
    std::shared_ptr<Alert> first = std::move(alerts_.front());
    alerts_.pop_front();
    return first;
}

std::shared_ptr<Alert> AlertQueue::front() {
    std::lock_guard<CriticalSection> lock(lock_);
    return alerts_.empty() ? nullptr : alerts_.front();
}

std::uint64_t AlertQueue::count() {
    std::lock_guard<CriticalSection> lock(lock_);
    return alerts_.size();
}

}  // namespace Drem
