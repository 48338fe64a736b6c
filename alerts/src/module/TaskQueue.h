// The alert module's FIFO of show and delete tasks, run one at a time by
// its executor thread.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace Drem {

class TaskQueue {
public:
    using Task = std::function<DWORD()>;

    // onWait runs, under the queue's lock, each time a pop is about to wait.
    explicit TaskQueue(std::function<void()> onWait = {}) : onWait_(std::move(onWait)) {}

    // Appends the task unless the queue has stopped accepting; then wakes one waiter.
    bool push(Task task);
    // Waits for a task; false once stopped. Tasks left at the stop never run.
    bool pop(Task& task);
    // Stops the queue and wakes every waiter.
    void stop();

private:
    const std::function<void()> onWait_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable drained_;
    std::deque<Task> tasks_;  // guarded by mutex_
    bool stopped_ = false;    // guarded by mutex_
    bool accepting_ = true;   // guarded by mutex_
};

}  // namespace Drem
