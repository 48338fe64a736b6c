#include "platform/Thread/StopSignal.h"

namespace Kelmora {

void StopSignal::request() {
    if (requested_.exchange(true)) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    // A waiter that saw no stop holds its mutex until it sleeps: taking that
    // mutex first makes the notification reach it.
    for (Waiter& waiter : waiters_) {
        std::lock_guard<std::mutex> own(waiter.mutex);
        waiter.condition.notify_all();
    }
}

StopSignal::Waiters::iterator StopSignal::enter(std::mutex& mutex, std::condition_variable& condition) {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiters_.insert(waiters_.end(), Waiter{mutex, condition});
}

void StopSignal::leave(Waiters::iterator waiter) {
    std::lock_guard<std::mutex> lock(mutex_);
    waiters_.erase(waiter);
}

}  // namespace Kelmora
