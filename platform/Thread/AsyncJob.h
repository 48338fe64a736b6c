// Kelmora::AsyncJob: one function run on a thread of its own, started by the
// constructor and joined by the destructor.
#pragma once

#include <functional>
#include <future>
#include <thread>

namespace Kelmora {

class AsyncJob {
public:
    // Runs (owner->*job)() on the new thread; returns once that thread runs.
    template <typename Result, typename Owner>
    AsyncJob(Result (Owner::*job)(), Owner* owner)
        : AsyncJob(std::function<void()>([job, owner] { (owner->*job)(); })) {}
    // Runs job on the new thread; returns once that thread runs. A thread
    // that cannot be created raises the standard thread's exception.
    explicit AsyncJob(std::function<void()> job);
    // Waits until the job has returned. The job must end by itself, and the
    // object is never destroyed from within the job.
    ~AsyncJob();
    AsyncJob(const AsyncJob&) = delete;
    AsyncJob& operator=(const AsyncJob&) = delete;

private:
    // The job thread's body: signals the start, runs the job, logs any exception.
    void _execute(std::function<void()> job);

    std::promise<bool> started_;
    std::thread thread_;
};

}  // namespace Kelmora
