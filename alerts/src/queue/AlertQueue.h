// The alerts waiting in one session: by ascending priority number, first
// come first served among equals, without duplicates.
#pragma once

#include "alerts/src/queue/Alert.h"

#include <windows.h>

#include <cstdint>
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

    // False for an empty pointer or a duplicate of a queued alert. The
    // alert's priority is taken as it is now.
    bool push(std::shared_ptr<Alert> alert);
    // Queues again an alert taken out of a queue, at the place its first
    // push gave it: before the alerts of its priority that arrived later,
    // and without the duplicate test. False for an empty pointer.
    bool putBack(std::shared_ptr<Alert> alert);
    // Takes out the first alert with that instance id.
    bool remove(const std::wstring& instanceId);
    // Takes out the first alert; empty when none.
    std::shared_ptr<Alert> pop();
    // The first alert, which stays queued; empty when none.
    std::shared_ptr<Alert> front();
    std::uint64_t count();

private:
    // One arrival list per priority number and an index of the queued
    // alerts' duplicate keys, so that push and pop cost the same at any
    // length.
    class Impl;

    // A leaf lock: nothing else is locked while it is held.
    CriticalSection lock_;
    std::unique_ptr<Impl> impl_;  // guarded by lock_
};

}  // namespace Drem
