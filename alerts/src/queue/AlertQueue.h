// The alerts waiting in one session: by ascending priority number, first
// come first served among equals, without duplicates.
#pragma once

#include "alerts/src/queue/Alert.h"

#include <windows.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>

namespace Drem {

// Owns one critical section.
class CriticalSection {
public:
    explicit CriticalSection(DWORD spinCount);
    ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void lock();
    void unlock();

private:
    CRITICAL_SECTION section_;
};

class AlertQueue {
public:
    AlertQueue();
    ~AlertQueue();
    AlertQueue(const AlertQueue&) = delete;
    AlertQueue& operator=(const AlertQueue&) = delete;

    // False for an empty pointer or a duplicate of a queued alert.
    bool push(std::shared_ptr<Alert> alert);
    // Takes out the first alert with that instance id.
    bool remove(const std::wstring& instanceId);
    // Takes out the first alert; empty when none.
    std::shared_ptr<Alert> pop();
    // The first alert, which stays queued; empty when none.
    std::shared_ptr<Alert> front();
    std::uint64_t count();

private:
    // A leaf lock: nothing else is locked while it is held.
    CriticalSection lock_;
    std::list<std::shared_ptr<Alert>> alerts_;  // guarded by lock_
};

}  // namespace Drem
