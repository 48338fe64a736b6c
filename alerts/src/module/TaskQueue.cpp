#include "alerts/src/module/TaskQueue.h"

namespace Drem {

bool TaskQueue::push(Task task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!accepting_) {
            return false;
        }
        tasks_.push_back(std::move(task));
    }
    work_.notify_one();
    return true;
}

bool TaskQueue::pop(Task& task) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopped_) {
        return false;
    }
    while (tasks_.empty()) {
        if (onWait_) {
            onWait_();
        }
        work_.wait(lock);
        if (stopped_) {
            return false;
        }
    }
    task = std::move(tasks_.front());
    tasks_.pop_front();
    if (tasks_.empty()) {
        lock.unlock();
        drained_.notify_all();
    }
    return true;
}

void TaskQueue::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        accepting_ = false;
    }
    work_.notify_all();
}

}  // namespace Drem
